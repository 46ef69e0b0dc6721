// Times later than now, taken as now.
#include "history/future_times.h"

#include <algorithm>

namespace platewise::history {

namespace {

bool clamp_drive(StoredDrive& d, std::int64_t now_ms)
{
    const StoredDrive before = d;
    d.first_seen_ms = std::min(d.first_seen_ms, now_ms);
    d.last_seen_ms = std::min(d.last_seen_ms, now_ms);
    d.last_sample_ms = std::min(d.last_sample_ms, now_ms);
    return d.first_seen_ms != before.first_seen_ms || d.last_seen_ms != before.last_seen_ms ||
           d.last_sample_ms != before.last_sample_ms;
}

}  // namespace

bool clamp_future_times(StoredDrive& drive, std::vector<Reading>& readings, std::int64_t now_ms)
{
    bool moved = clamp_drive(drive, now_ms);
    for (Reading& r : readings) {
        if (r.time_ms > now_ms) {
            r.time_ms = now_ms;  // still in order: they were sorted
            moved = true;
        }
    }
    return moved;
}

bool settle_future_times(HistoryStore& store, std::int64_t now_ms, std::size_t& drives_moved,
                         std::string& error)
{
    drives_moved = 0;
    std::vector<StoredDrive> drives;
    if (!load_drives(store, drives, error)) {
        return false;
    }
    Transaction t(store.db);
    if (!t.begin(error)) {
        return false;
    }
    for (StoredDrive& d : drives) {
        bool moved = clamp_drive(d, now_ms);
        std::vector<Reading> later;
        if (!load_readings(store, d.id, now_ms + 1, later, error)) {
            return false;
        }
        if (!later.empty()) {
            moved = true;
            Statement last;
            if (!store.db.prepare("SELECT max(time_ms) FROM readings WHERE drive_id = ? AND time_ms <= ?",
                                  last, error)) {
                return false;
            }
            last.bind(1, d.id);
            last.bind(2, now_ms);
            if (last.step() != Step::row) {
                error = store.db.last_message();
                return false;
            }
            std::int64_t at = last.column_is_null(0) ? now_ms - static_cast<std::int64_t>(later.size())
                                                     : last.column_int(0);
            Statement move;
            if (!store.db.prepare("UPDATE readings SET time_ms = ? WHERE drive_id = ? AND time_ms = ?",
                                  move, error)) {
                return false;
            }
            // In ascending order each lands before every reading still to move.
            for (const Reading& r : later) {
                move.reset();
                move.bind(1, ++at);
                move.bind(2, d.id);
                move.bind(3, r.time_ms);
                if (move.step() != Step::done) {
                    error = store.db.last_message();
                    return false;
                }
            }
        }
        if (moved) {
            ++drives_moved;
            if (!update_drive(store, d, error)) {
                return false;
            }
        }
    }
    return t.commit(error);
}

}  // namespace platewise::history
