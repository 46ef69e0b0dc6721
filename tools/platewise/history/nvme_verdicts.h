// The verdicts of an NVMe drive from its history. First the drive's own
// health verdict from the fields as last seen (FAILING NOW, WARNING, as the
// listener judges a live health log), then DEGRADING:
//   - media and data-integrity errors, or error-log entries, above their
//     acknowledged baselines (0 until acknowledged);
//   - available spare 10 points or more below its baseline (100 until
//     acknowledged: a new drive's spare);
//   - percentage used at 90 or above (not acknowledged away: past 100 the
//     drive's own verdict takes over).
// Pure functions over plain records, so every rule is tested by table.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "history/history_store.h"
#include "report/drive_report.h"

namespace platewise::history {

inline constexpr std::uint32_t kSpareDropPoints = 10;
inline constexpr std::uint32_t kPercentageUsedDegrading = 90;
inline constexpr std::uint32_t kSpareUnacknowledged = 100;

// The fields `platewise ack` takes a baseline of on an NVMe drive: media
// errors, error-log entries, available spare.
bool is_nvme_ackable(std::uint8_t field_id) noexcept;
// The baseline of a field: acknowledged, else 0 for counts, 100 for spare.
std::uint32_t nvme_baseline_of(const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                               std::uint8_t field_id) noexcept;
// The value a baseline is taken from (counts saturate at 2^32 - 1).
std::uint32_t nvme_baseline_value(const AttributeSample& sample) noexcept;

// Whether the field is past its DEGRADING boundary in `table`.
bool nvme_field_degrading(const std::vector<AttributeSample>& table,
                          const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                          std::uint8_t field_id) noexcept;

// As update_rising and rising_since for ATA: since when each field has
// been past its boundary.
void update_nvme_rising(std::map<std::uint8_t, std::int64_t>& since,
                        const std::vector<AttributeSample>& table,
                        const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                        std::int64_t time_ms);
std::map<std::uint8_t, std::int64_t> nvme_rising_since(const std::vector<Reading>& readings,
                                                       const std::vector<StoredBaseline>& baselines,
                                                       std::int64_t drive_id);

// The drive's own verdict reasons from its fields (FAILING NOW, WARNING;
// NO SMART DATA for an empty table).
std::vector<VerdictReason> nvme_own_reasons(const std::vector<AttributeSample>& table);

// The DEGRADING reasons, each saying which rule.
std::vector<VerdictReason> nvme_degrading_reasons(const std::vector<AttributeSample>& table,
                                                  const std::vector<StoredBaseline>& baselines,
                                                  std::int64_t drive_id,
                                                  const std::map<std::uint8_t, std::int64_t>& since);

// The report of a stored NVMe drive with its own reasons (no history ones).
DriveReport nvme_report_of_table(const StoredDrive& drive, const std::vector<AttributeSample>& table);

}  // namespace platewise::history
