// Replays of the drives' readings kept between loads of the views.
#include "history/view_replay.h"

#include <algorithm>
#include <set>

#include "history/event_store.h"
#include "history/nvme_verdicts.h"
#include "history/verdict_rules.h"

namespace platewise::history {

namespace {

bool same_baselines(const std::vector<StoredBaseline>& a, std::span<const StoredBaseline> b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const StoredBaseline& x, const StoredBaseline& y) {
                          return x.drive_id == y.drive_id && x.attribute_id == y.attribute_id &&
                                 x.baseline == y.baseline && x.acked_ms == y.acked_ms;
                      });
}

bool built_on(const DriveReplay& r, const StoredDrive& d, std::span<const StoredBaseline> baselines)
{
    return r.kind == d.kind && r.model == d.model && r.serial == d.serial && r.wwn == d.wwn &&
           r.first_seen_ms == d.first_seen_ms && same_baselines(r.baselines, baselines);
}

DriveReplay fresh_replay(const StoredDrive& d, std::span<const StoredBaseline> baselines)
{
    DriveReplay r;
    r.kind = d.kind;
    r.model = d.model;
    r.serial = d.serial;
    r.wwn = d.wwn;
    r.first_seen_ms = d.first_seen_ms;
    r.baselines.assign(baselines.begin(), baselines.end());
    return r;
}

bool count_imports(HistoryStore& store, std::int64_t& count, std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT count(*) FROM imports", s, error)) {
        return false;
    }
    if (s.step() != Step::row) {
        error = store.db.last_message();
        return false;
    }
    count = s.column_int(0);
    return true;
}

}  // namespace

bool check_replays(HistoryStore& store, ViewReplays& replays, const std::vector<StoredDrive>& drives,
                   std::string& error)
{
    std::int64_t imports = 0;
    if (!count_imports(store, imports, error)) {
        return false;
    }
    if (imports != replays.imports) {
        replays.drives.clear();
        replays.imports = imports;
    }
    std::set<std::int64_t> ids;
    for (const StoredDrive& d : drives) {
        ids.insert(d.id);
    }
    std::erase_if(replays.drives, [&](const auto& entry) { return ids.count(entry.first) == 0; });
    return true;
}

bool replay_drive(HistoryStore& store, ViewReplays& replays, const StoredDrive& drive,
                  const std::vector<StoredBaseline>& baselines, std::int64_t from_ms,
                  std::int64_t now_ms, std::vector<Reading>& readings, IndicatorTrack& track,
                  std::map<std::uint8_t, std::int64_t>& nvme_since, bool& replayed, std::string& error)
{
    replayed = false;
    const std::span<const StoredBaseline> own = of_drive(baselines, drive.id);
    auto it = replays.drives.find(drive.id);
    if (it != replays.drives.end() && !built_on(it->second, drive, own)) {
        replays.drives.erase(it);
        it = replays.drives.end();
    }
    if (it == replays.drives.end()) {
        it = replays.drives.emplace(drive.id, fresh_replay(drive, own)).first;
    }
    std::vector<Reading> loaded;
    for (int attempt = 0;; ++attempt) {
        DriveReplay& r = it->second;
        if (from_ms <= r.fold_ms) {
            // Earlier than the last load showed: fold again from the start.
            r.fold_ms = INT64_MIN;
            r.fold_table.clear();
            r.folded = 0;
        }
        const std::int64_t after = r.fold_ms == INT64_MIN ? INT64_MIN : r.fold_ms + 1;
        if (!load_readings(store, drive.id, after, loaded, error)) {
            replays.drives.erase(it);
            return false;
        }
        const auto seen = static_cast<std::size_t>(std::count_if(
            loaded.begin(), loaded.end(), [&](const Reading& x) { return x.time_ms <= r.head_ms; }));
        if (r.folded + seen == r.replayed || attempt > 0) {
            break;
        }
        // A reading came in before the replay's end (an import beside the
        // listener): replay the drive again from its first reading.
        r = fresh_replay(drive, own);
    }
    DriveReplay& r = it->second;
    if (now_ms != 0 && !loaded.empty() && loaded.back().time_ms > now_ms) {
        replays.drives.erase(it);
        return true;
    }
    for (const Reading& x : loaded) {
        if (x.time_ms <= r.head_ms) {
            continue;
        }
        apply_reading(r.head_table, x);
        if (drive.kind == DriveKind::nvme) {
            step_nvme_track(r.track, r.head_table, baselines, drive.id, x.time_ms);
            update_nvme_rising(r.nvme_since, r.head_table, baselines, drive.id, x.time_ms);
        } else {
            step_track(r.track, r.head_table, baselines, drive.id, x.time_ms);
        }
        r.head_ms = x.time_ms;
        ++r.replayed;
    }
    std::size_t shown = 0;
    for (; shown < loaded.size() && loaded[shown].time_ms < from_ms; ++shown) {
        apply_reading(r.fold_table, loaded[shown]);
        r.fold_ms = loaded[shown].time_ms;
        ++r.folded;
    }
    readings.clear();
    if (r.fold_ms != INT64_MIN) {
        Reading before;
        before.drive_id = drive.id;
        before.time_ms = r.fold_ms;
        before.kind = ReadingKind::full;
        before.attributes = r.fold_table;
        readings.push_back(std::move(before));
    }
    readings.insert(readings.end(), std::make_move_iterator(loaded.begin() + static_cast<std::ptrdiff_t>(shown)),
                    std::make_move_iterator(loaded.end()));
    track = r.track;
    nvme_since = r.nvme_since;
    replayed = true;
    return true;
}

void fold_readings_before(std::vector<Reading>& readings, std::int64_t from_ms)
{
    const auto shown = std::find_if(readings.begin(), readings.end(),
                                    [&](const Reading& r) { return r.time_ms >= from_ms; });
    if (shown == readings.begin()) {
        return;
    }
    Reading before;
    before.drive_id = readings.front().drive_id;
    before.time_ms = std::prev(shown)->time_ms;
    before.kind = ReadingKind::full;
    for (auto r = readings.begin(); r != shown; ++r) {
        apply_reading(before.attributes, *r);
    }
    readings.erase(readings.begin(), std::prev(shown));
    readings.front() = std::move(before);
}

}  // namespace platewise::history
