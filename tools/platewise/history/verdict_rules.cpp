// The history's verdict rules.
#include "history/verdict_rules.h"

#include <algorithm>

#include "report/local_time_text.h"

namespace platewise::history {

bool is_leading_indicator(std::uint8_t attribute_id) noexcept
{
    return std::any_of(std::begin(kLeadingIndicators), std::end(kLeadingIndicators),
                       [&](const IndicatorRule& r) {
                           return r.source == IndicatorSource::ata_attribute && r.id == attribute_id;
                       });
}

void apply_reading(std::vector<AttributeSample>& table, const Reading& reading)
{
    if (reading.kind == ReadingKind::full) {
        table = reading.attributes;
        return;
    }
    for (const AttributeSample& a : reading.attributes) {
        auto it = std::find_if(table.begin(), table.end(),
                               [&](const AttributeSample& t) { return t.id == a.id; });
        if (it != table.end()) {
            *it = a;
        } else {
            table.push_back(a);
        }
    }
}

std::uint32_t baseline_of(const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                          std::uint8_t attribute_id) noexcept
{
    for (const StoredBaseline& b : baselines) {
        if (b.drive_id == drive_id && b.attribute_id == attribute_id) {
            return b.baseline;
        }
    }
    return 0;
}

bool is_missing(std::int64_t last_seen_ms, std::int64_t now_ms, std::int64_t missing_after_ms) noexcept
{
    return now_ms - last_seen_ms > missing_after_ms;
}

VerdictReason missing_reason(const StoredDrive& drive)
{
    VerdictReason r;
    r.kind = Verdict::missing;
    r.since_ms = drive.last_seen_ms;
    r.last_slot = drive.last_slot;
    r.text = "not seen since " + local_time_text_at(drive.last_seen_ms, "%Y-%m-%d %H:%M:%S");
    if (drive.last_slot >= 0) {
        r.text += " (last in slot " + std::to_string(drive.last_slot) + ")";
    }
    return r;
}

void add_reasons(DriveReport& drive, std::vector<VerdictReason> reasons)
{
    for (VerdictReason& r : reasons) {
        drive.reasons.push_back(std::move(r));
    }
    compose_verdict(drive);
}

}  // namespace platewise::history
