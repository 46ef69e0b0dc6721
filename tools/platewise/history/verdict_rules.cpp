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

void update_rising(std::map<std::uint8_t, std::int64_t>& since,
                   const std::vector<AttributeSample>& table,
                   const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                   std::int64_t time_ms)
{
    for (const IndicatorRule& rule : kLeadingIndicators) {
        const auto it = std::find_if(table.begin(), table.end(),
                                     [&](const AttributeSample& a) { return a.id == rule.id; });
        const bool above = it != table.end() &&
                           indicator_count(it->raw) > baseline_of(baselines, drive_id, rule.id);
        if (!above) {
            since.erase(rule.id);
        } else if (since.find(rule.id) == since.end()) {
            since[rule.id] = time_ms;
        }
    }
}

std::map<std::uint8_t, std::int64_t> rising_since(const std::vector<Reading>& readings,
                                                   const std::vector<StoredBaseline>& baselines,
                                                   std::int64_t drive_id)
{
    std::map<std::uint8_t, std::int64_t> since;
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        apply_reading(table, r);
        update_rising(since, table, baselines, drive_id, r.time_ms);
    }
    return since;
}

std::vector<VerdictReason> degrading_reasons(const std::vector<AttributeSample>& table,
                                             const std::vector<StoredBaseline>& baselines,
                                             std::int64_t drive_id,
                                             const std::map<std::uint8_t, std::int64_t>& since,
                                             const smart::AttributeDefinitionTable& names)
{
    std::vector<VerdictReason> out;
    for (const AttributeSample& a : table) {
        if (!is_leading_indicator(a.id)) {
            continue;
        }
        const std::uint32_t baseline = baseline_of(baselines, drive_id, a.id);
        const std::uint32_t current = indicator_count(a.raw);
        if (current <= baseline) {
            continue;
        }
        VerdictReason r;
        r.kind = Verdict::degrading;
        r.attribute_id = a.id;
        r.attribute_name = smart::sanitize_text(names.definition_for(a.id).name);
        r.baseline = baseline;
        r.current = current;
        const auto s = since.find(a.id);
        r.since_ms = s == since.end() ? 0 : s->second;
        r.text = "attribute " + std::to_string(a.id) +
                 (r.attribute_name.empty() ? "" : " " + r.attribute_name) + " " +
                 std::to_string(current) + " above baseline " + std::to_string(baseline);
        if (r.since_ms != 0) {
            r.text += " since " + local_time_text_at(r.since_ms, "%Y-%m-%d %H:%M:%S");
        }
        out.push_back(std::move(r));
    }
    return out;
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
