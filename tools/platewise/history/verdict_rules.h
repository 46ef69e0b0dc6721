// The verdicts the history adds to the drive's own threshold verdict:
// DEGRADING when a leading indicator's raw count is above its acknowledged
// baseline, DRIVE MISSING when a known drive has not been seen for too long.
// Pure functions over plain records, so that every rule is tested by table.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "history/history_store.h"
#include "report/drive_report.h"
#include "smart.h"

namespace platewise::history {

// Where a leading indicator comes from. ATA SMART attributes today; the
// counters of other drive kinds (NVMe media errors, percentage used) join
// as further sources with their own ids.
enum class IndicatorSource : std::uint8_t { ata_attribute };

struct IndicatorRule {
    IndicatorSource source;
    std::uint8_t id;
};

// Reallocated sectors, reported uncorrectable errors, command time-outs,
// pending sectors, offline uncorrectable sectors.
inline constexpr IndicatorRule kLeadingIndicators[] = {
    {IndicatorSource::ata_attribute, 5},   {IndicatorSource::ata_attribute, 187},
    {IndicatorSource::ata_attribute, 188}, {IndicatorSource::ata_attribute, 197},
    {IndicatorSource::ata_attribute, 198},
};

bool is_leading_indicator(std::uint8_t attribute_id) noexcept;

// What an indicator counts: raw bytes 0-1 (smart::read_count; the bytes
// above are vendor data). A value that cannot be a count counts 0: it is
// never a rise.
inline std::uint32_t indicator_count(std::uint64_t raw) noexcept
{
    const smart::CountReading r = smart::read_count(5, raw & 0xFFFFFFFFFFFFull, 0);
    return r.state == smart::CountState::count ? r.count : 0;
}

// A reading applied to a table: a full reading replaces it, the others
// update the attributes they hold.
void apply_reading(std::vector<AttributeSample>& table, const Reading& reading);

// The acknowledged baseline of `attribute_id` for a drive (0 when never
// acknowledged).
std::uint32_t baseline_of(const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                          std::uint8_t attribute_id) noexcept;

// A known drive is missing when it was last seen more than `missing_after_ms`
// before `now_ms`.
bool is_missing(std::int64_t last_seen_ms, std::int64_t now_ms, std::int64_t missing_after_ms) noexcept;
VerdictReason missing_reason(const StoredDrive& drive);

// Adds `reasons` to the drive's own and composes its verdict again.
void add_reasons(DriveReport& drive, std::vector<VerdictReason> reasons);

}  // namespace platewise::history
