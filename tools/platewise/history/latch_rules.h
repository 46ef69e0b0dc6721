// The leading indicators judged over a drive's history: each one's
// reference (the acknowledged baseline, or the count first seen when
// nobody acknowledged it), the latch that a rise above it sets and that
// only an acknowledgement lifts (a pending count back at 0 does not), and
// the reasons these give: DEGRADING for a latch, WARNING for counts that
// matter by their size or were present when first seen, and the
// acknowledged counts kept in sight.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "history/event_store.h"
#include "history/history_store.h"
#include "report/drive_report.h"
#include "smart.h"

namespace platewise::history {

// Reallocated sectors at or above this count keep a drive at WARNING after
// an acknowledgement: drives with hundreds of reallocations fail far more
// often than those with a few.
inline constexpr std::uint32_t kReallocatedWorthWarning = 100;

// The entries of one drive in `all`, which is in drive id order as the
// store loads baselines and latches: a search, not a scan, so that a
// fleet's thousands of drives cost no more than a few.
template <class T>
std::span<const T> of_drive(const std::vector<T>& all, std::int64_t drive_id)
{
    const auto lo = std::lower_bound(all.begin(), all.end(), drive_id,
                                     [](const T& x, std::int64_t id) { return x.drive_id < id; });
    const auto hi = std::upper_bound(lo, all.end(), drive_id,
                                     [](std::int64_t id, const T& x) { return id < x.drive_id; });
    return {lo, hi};
}

struct IndicatorTrack {
    std::map<std::uint8_t, std::uint32_t> first_count;  // the first count seen, per indicator
    std::map<std::uint8_t, StoredLatch> latched;        // risen above the reference
};

// The indicators latched, as their start times (RecordedDrive::since).
std::map<std::uint8_t, std::int64_t> since_of(const IndicatorTrack& track);

// The count a rise is measured from: the acknowledged baseline when there
// is one, else the first count seen (absent: none yet).
bool reference_of(const IndicatorTrack& track, const std::vector<StoredBaseline>& baselines,
                  std::int64_t drive_id, std::uint8_t id, std::uint32_t& reference) noexcept;

// Baselines and latches are in drive id order, as the store loads them.
//
// Moves `track` on by one observed table at `time_ms`; the latches set or
// raised (a higher peak) by it are appended to `changed` when given.
void step_track(IndicatorTrack& track, const std::vector<AttributeSample>& table,
                const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                std::int64_t time_ms, std::vector<StoredLatch>* changed = nullptr);

// What a kind of drive latches: how one observed table moves its track on
// (step_track for ATA drives), which stored indicators are its own, and
// which of two values of an indicator is the worse one.
struct TrackRules {
    void (*step)(IndicatorTrack&, const std::vector<AttributeSample>&, const std::vector<StoredBaseline>&,
                 std::int64_t, std::int64_t, std::vector<StoredLatch>*);
    bool (*latches)(std::uint8_t indicator) noexcept;
    bool (*worse)(std::uint8_t indicator, std::uint32_t value, std::uint32_t than) noexcept;
};

// The track of readings up to `until_ms` (in time order) moved on by
// `rules.step`, joined by the drive's stored latches of `rules` that are
// since at or before `until_ms` and not older than the indicator's
// acknowledgement (the earlier since and the worse peak kept).
IndicatorTrack replay_track(const std::vector<Reading>& readings,
                            const std::vector<StoredBaseline>& baselines,
                            const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                            std::int64_t until_ms, const TrackRules& rules);

// Joins to `track` the drive's stored latches of `rules` that are since at
// or before `until_ms` and not older than the indicator's acknowledgement
// (the earlier since and the worse peak kept): what replay_track does
// after its readings.
void join_stored_latches(IndicatorTrack& track, const std::vector<StoredBaseline>& baselines,
                         const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                         std::int64_t until_ms, const TrackRules& rules);

// An ATA drive's: step_track, every indicator latches, higher is worse.
const TrackRules& ata_track_rules() noexcept;

// The track of readings up to `until_ms` (in time order): only readings
// after an indicator's acknowledgement can latch it. Stored latches of the
// drive (since at or before `until_ms`, not older than the indicator's
// acknowledgement) are kept as well.
IndicatorTrack track_of(const std::vector<Reading>& readings,
                        const std::vector<StoredBaseline>& baselines,
                        const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                        std::int64_t until_ms);

// Replaces the drive report's own count reasons of the leading indicators
// with the history's judgement of `table`, sets acknowledged_text, and
// composes the verdict again. Values that cannot be counts stay WARNING.
void judge_indicators(DriveReport& report, const std::vector<AttributeSample>& table,
                      const IndicatorTrack& track, const std::vector<StoredBaseline>& baselines,
                      std::int64_t drive_id, const smart::AttributeDefinitionTable& names);

}  // namespace platewise::history
