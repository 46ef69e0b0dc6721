// Recording passes into the history: which drive is which, what changed,
// the hourly samples, and the history's verdicts for the drives of a pass.
// A failed write (a full disk, a locked or vanished file) costs that pass's
// history only: the state in memory stays as last written, the failure is
// counted, and the next pass tries again.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "history/latch_rules.h"
#include "report/drive_report.h"
#include "smart.h"

namespace platewise::history {

inline constexpr std::int64_t kSampleEveryMs = 3600 * 1000;
// How often the drives' last-seen time and current table reach the file
// when nothing else is written (readers see them at most this late).
inline constexpr std::int64_t kPersistEveryMs = 60 * 1000;
inline constexpr std::int64_t kDefaultMissingAfterMs = 10 * 60 * 1000;

// The identity and attribute table of one drive record.
struct DriveIdentity {
    std::string model;  // sanitised
    std::string serial;
    std::string wwn;    // "" when IDENTIFY reports none
    std::string firmware;
    std::uint64_t capacity_bytes = 0;
};

// The world-wide name of IDENTIFY words 108-111 as 16 hex digits, when
// word 84 or 87 marks it supported and it is not zero; else "".
std::string identify_wwn(smart::SectorView identify);
DriveIdentity identity_of(const smart::DriveRecord& record);
// The attribute table with thresholds, raw as the six raw bytes.
std::vector<AttributeSample> samples_of(const smart::DriveRecord& record);

struct RecordedDrive {
    StoredDrive stored;                         // as in the drives table (current: as last seen)
    std::vector<AttributeSample> written;       // the table that the readings add up to
    bool has_readings = false;
    std::int64_t last_reading_ms = 0;
    std::int64_t persisted_ms = 0;              // when the drives row was last written
    std::map<std::uint8_t, std::int64_t> since; // indicators latched (until acknowledged): since when
    IndicatorTrack track;                       // first counts and latches (until acknowledged)
};

struct Recorder {
    std::vector<RecordedDrive> drives;
    std::vector<StoredBaseline> baselines;
    // Per slot of the last pass, the index in `drives`, or -1.
    std::vector<int> slot_drive;
    bool importing = false;  // times may go backwards: readings from older snapshots
    std::uint64_t write_failures = 0;
    std::uint64_t passes_written = 0;
};

// Loads what the store knows. `importing`: each drive's readings start
// afresh (a full table first), as for snapshots from another period.
bool load_recorder(Recorder& recorder, HistoryStore& store, bool importing, std::string& error);

// Records the current slots of `snapshot`, received at `now_ms`, in one
// transaction. False with the reason when the write failed (counted in
// write_failures); slot_drive is set either way.
bool record_snapshot(Recorder& recorder, HistoryStore& store, const smart::DriveSnapshot& snapshot,
                     std::int64_t now_ms, std::string& error);

// Writes what the drives rows lack of the last passes (last seen, current
// table), which otherwise reach the file once a minute: at the end of a
// listener or an import.
bool flush_recorder(Recorder& recorder, HistoryStore& store, std::string& error);

// Reads the baselines again (another process may have acknowledged some)
// and recomputes the rising times of the drives whose baselines changed.
bool refresh_baselines(Recorder& recorder, HistoryStore& store, std::string& error);

// Adds the history's reasons (DEGRADING latched until acknowledged, the
// counts worth a WARNING, the acknowledged counts) to the drives of
// `report`, which must be the report of the snapshot last recorded.
void judge_pass(const Recorder& recorder, SnapshotReport& report,
                const smart::AttributeDefinitionTable& names);

}  // namespace platewise::history
