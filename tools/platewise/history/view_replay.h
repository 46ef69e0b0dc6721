// Judging a drive needs every reading it ever had: its latches and first
// counts are a replay of them all. The page is drawn every few seconds
// from a store that grows by a year of readings, so the replay is kept
// between loads instead: each drive's replay goes on from where the last
// load left it, with the readings written since, and the readings before
// the time a page shows are folded into the one table they add up to.
// A load then reads a year of readings once, and afterwards only a day's.
//
// A replay is started again from the drive's first reading when anything
// it was built on changed: the drive's row (a replaced store may give its
// id to another drive, an import may move its first sighting), its
// acknowledgements, an import (readings put in before the replay's end),
// or a reading later than now (which readers take as now).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "history/latch_rules.h"

namespace platewise::history {

struct DriveReplay {
    // What it was built on.
    DriveKind kind = DriveKind::ata;
    std::string model;
    std::string serial;
    std::string wwn;
    std::int64_t first_seen_ms = 0;
    std::vector<StoredBaseline> baselines;  // the drive's
    // Every reading up to `head_ms` replayed: the table they add up to, the
    // track they moved on (stored latches are joined at each load, never
    // kept here) and, for an NVMe drive, since when each field is past its
    // boundary.
    std::int64_t head_ms = INT64_MIN;
    std::size_t replayed = 0;  // readings up to head_ms
    std::vector<AttributeSample> head_table;
    IndicatorTrack track;
    std::map<std::uint8_t, std::int64_t> nvme_since;
    // The readings up to `fold_ms` folded into one table; the ones after it
    // are read again by each load (those of the time shown).
    std::int64_t fold_ms = INT64_MIN;
    std::size_t folded = 0;  // readings up to fold_ms
    std::vector<AttributeSample> fold_table;
};

// The replays of one store, shared by the loads of a server's requests.
struct ViewReplays {
    std::mutex lock;  // held for a whole load
    std::int64_t imports = -1;  // rows of the imports table when built
    std::map<std::int64_t, DriveReplay> drives;  // by drive id
};

// The view of `drive` from its replay, moved on by the readings written
// since: `readings` gets one full reading holding the table as it stood
// before `from_ms` (when anything came before) and every reading from
// then on; `track` the replayed latches (without the stored ones) and
// `nvme_since` the NVMe fields past their boundary. False, with nothing
// changed and the replay dropped, when the drive has a reading later than
// `now_ms`: the caller then loads and clamps it as a reader without a
// replay does.
bool replay_drive(HistoryStore& store, ViewReplays& replays, const StoredDrive& drive,
                  const std::vector<StoredBaseline>& baselines, std::int64_t from_ms,
                  std::int64_t now_ms, std::vector<Reading>& readings, IndicatorTrack& track,
                  std::map<std::uint8_t, std::int64_t>& nvme_since, bool& replayed, std::string& error);

// Drops every replay when the store had an import since they were built
// and those of drives no longer in `drives`; once per load, before
// replay_drive.
bool check_replays(HistoryStore& store, ViewReplays& replays, const std::vector<StoredDrive>& drives,
                   std::string& error);

// Replaces the readings before `from_ms` with one full reading of the
// table they add up to, at the time of the last of them.
void fold_readings_before(std::vector<Reading>& readings, std::int64_t from_ms);

}  // namespace platewise::history
