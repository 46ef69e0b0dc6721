// Times later than now in the history: a clock that ran ahead once, or a
// snapshot imported under a name from the future. Left alone they would
// freeze a drive (every live pass looks older than its last sighting, so
// its table and verdict stop changing and it is never missing). They are
// taken as now: moved in the file when the listener opens it, and in
// memory when a reader loads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace platewise::history {

// Brings every drive's first and last sighting and last sample, and every
// reading, back to `now_ms` at the latest, in one transaction. Readings
// later than now keep their order: they follow the drive's last reading
// before now one millisecond apart. `drives_moved`: how many drives had
// any time later than now.
bool settle_future_times(HistoryStore& store, std::int64_t now_ms, std::size_t& drives_moved,
                         std::string& error);

// The same in memory, for a reader that may not write: true when anything
// of `drive` or `readings` (in time order) lay later than `now_ms`.
bool clamp_future_times(StoredDrive& drive, std::vector<Reading>& readings, std::int64_t now_ms);

}  // namespace platewise::history
