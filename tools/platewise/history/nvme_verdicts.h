// The verdicts of an NVMe drive from its history. First the drive's own
// health verdict from the fields as last seen (FAILING NOW, WARNING, as the
// listener judges a live health log), then DEGRADING:
//   - media and data-integrity errors, or error-log entries, above their
//     acknowledged baselines (0 until acknowledged);
//   - available spare 10 points or more below its baseline (100 until
//     acknowledged: a new drive's spare);
//   - percentage used at 90 or above (not acknowledged away: past 100 the
//     drive's own verdict takes over).
// A count that rose or a spare that fell past its boundary latches (table
// `latches`, the worst value as the peak): the drive stays DEGRADING, "was
// N since ..., now M", until `platewise ack` takes a new baseline.
// Pure functions over plain records, so every rule is tested by table.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "history/history_store.h"
#include "history/latch_rules.h"
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

// Since when each field has been past its boundary without a break: the
// first reading of the run that lasts to the end of `readings` (in time
// order); update_nvme_rising moves `since` on by one observed table.
void update_nvme_rising(std::map<std::uint8_t, std::int64_t>& since,
                        const std::vector<AttributeSample>& table,
                        const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                        std::int64_t time_ms);
std::map<std::uint8_t, std::int64_t> nvme_rising_since(const std::vector<Reading>& readings,
                                                       const std::vector<StoredBaseline>& baselines,
                                                       std::int64_t drive_id);

// Whether the field latches when past its boundary: the ones ack takes a
// baseline of (error counts and spare).
bool is_nvme_latching(std::uint8_t field_id) noexcept;

// Moves the latches of `track` on by one observed table at `time_ms`
// (readings an acknowledgement saw set nothing); the latches set or made
// worse (a higher count, a lower spare) go to `changed` when given.
void step_nvme_track(IndicatorTrack& track, const std::vector<AttributeSample>& table,
                     const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                     std::int64_t time_ms, std::vector<StoredLatch>* changed = nullptr);

// The latches of readings up to `until_ms` (in time order) and of the
// stored ones (since at or before `until_ms`, not older than the field's
// acknowledgement).
IndicatorTrack nvme_track_of(const std::vector<Reading>& readings,
                             const std::vector<StoredBaseline>& baselines,
                             const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                             std::int64_t until_ms);

// An NVMe drive's: step_nvme_track, the fields ack takes a baseline of
// latch, a lower spare and a higher count are worse.
const TrackRules& nvme_track_rules() noexcept;

// The drive's own verdict reasons from its fields (FAILING NOW, WARNING;
// NO SMART DATA for an empty table).
std::vector<VerdictReason> nvme_own_reasons(const std::vector<AttributeSample>& table);

// The DEGRADING reasons, each saying which rule: a field past its
// boundary now, or latched and back within it ("was ... since ..., now").
std::vector<VerdictReason> nvme_degrading_reasons(const std::vector<AttributeSample>& table,
                                                  const std::vector<StoredBaseline>& baselines,
                                                  std::int64_t drive_id,
                                                  const std::map<std::uint8_t, std::int64_t>& since,
                                                  const IndicatorTrack& track);

// The report of a stored NVMe drive with its own reasons (no history ones).
DriveReport nvme_report_of_table(const StoredDrive& drive, const std::vector<AttributeSample>& table);

}  // namespace platewise::history
