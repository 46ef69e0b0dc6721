// Recording events, and seeding the tracker from the history.
#include "history/event_recording.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "history/event_store.h"

namespace platewise::history {

namespace {

using events::TrackedDrive;

bool is_verdict_event(const std::string& kind)
{
    return kind == "new" || kind == "change" || kind == "missing" || kind == "back";
}

}  // namespace

bool seed_tracker(events::VerdictTracker& tracker, HistoryStore& store, std::int64_t fresh_from_ms,
                  std::string& error)
{
    std::vector<StoredDrive> drives;
    std::vector<StoredEvent> stored_events;
    if (!load_drives(store, drives, error) || !load_events(store, EventQuery{}, stored_events, error)) {
        return false;
    }
    std::vector<TrackedDrive> seeded;
    for (const StoredDrive& d : drives) {
        if (d.first_seen_ms >= fresh_from_ms) {
            continue;
        }
        TrackedDrive t;
        t.family = d.kind == DriveKind::nvme ? events::DriveFamily::nvme : events::DriveFamily::ata;
        t.model = d.model;
        t.serial = d.serial;
        t.wwn = d.wwn;
        t.drive_id = d.id;
        t.slot = d.last_slot;
        t.last_seen_ms = d.last_seen_ms;
        seeded.push_back(std::move(t));
    }
    for (const StoredEvent& e : stored_events) {
        if (!is_verdict_event(e.kind)) {
            continue;
        }
        auto found = std::find_if(seeded.begin(), seeded.end(), [&](const TrackedDrive& t) {
            return e.drive_id != 0 ? t.drive_id == e.drive_id : t.model == e.model && t.serial == e.serial;
        });
        if (found == seeded.end()) {
            if (e.drive_id != 0 && std::any_of(drives.begin(), drives.end(), [&](const StoredDrive& d) {
                    return d.id == e.drive_id;
                })) {
                continue;  // a drive recorded by this listener already
            }
            TrackedDrive t;
            t.model = e.model;
            t.serial = e.serial;
            t.drive_id = e.drive_id;
            seeded.push_back(std::move(t));
            found = seeded.end() - 1;
        }
        found->verdict = e.verdict_after;
        if (e.slot >= 0) {
            found->slot = e.slot;
        }
        found->last_seen_ms = std::max(found->last_seen_ms, e.time_ms);
    }
    for (TrackedDrive& t : seeded) {
        const bool known = std::any_of(tracker.drives.begin(), tracker.drives.end(), [&](const TrackedDrive& k) {
            return k.model == t.model && k.serial == t.serial &&
                   (k.wwn == t.wwn || k.wwn.empty() || t.wwn.empty());
        });
        if (!known) {
            tracker.drives.push_back(std::move(t));
        }
    }
    return true;
}

bool record_events(HistoryStore& store, const Recorder& recorder,
                   std::vector<events::DriveEvent>& events, std::string& error)
{
    bool all = true;
    for (events::DriveEvent& e : events) {
        if (e.drive_id == 0) {
            const auto found = std::find_if(recorder.drives.begin(), recorder.drives.end(),
                                            [&](const RecordedDrive& d) {
                                                return d.stored.model == e.model && d.stored.serial == e.serial;
                                            });
            if (found != recorder.drives.end()) {
                e.drive_id = found->stored.id;
            }
        }
        std::string failed;
        if (!insert_event(store, e, failed)) {
            e.id = 0;
            if (all) {
                error = failed;
            }
            all = false;
        }
    }
    return all;
}

void attach_event_recording(events::ListenEvents& events, ListenHistory& history, std::ostream& err)
{
    struct State {
        bool seeded = false;
        std::int64_t started_ms = 0;
        std::string last_error;
    };
    auto state = std::make_shared<State>();
    if (!events.clock) {
        events.clock = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
    }
    state->started_ms = events.clock();
    const auto seed = [state, &history, &err](events::VerdictTracker& tracker) {
        if (state->seeded || !history.open) {
            return;
        }
        std::string error;
        if (seed_tracker(tracker, history.store, state->started_ms, error)) {
            state->seeded = true;
        } else if (error != state->last_error) {
            err << "platewise listen: history: cannot read the drives' last verdicts: " << error
                << " (tried again next pass)\n";
            err.flush();
            state->last_error = error;
        }
    };
    seed(events.tracker);
    events.before_pass = seed;
    events.record = [state, &history, &err](std::vector<events::DriveEvent>& made) {
        if (!history.open) {
            return;
        }
        std::string error;
        if (!record_events(history.store, history.recorder, made, error)) {
            if (error != state->last_error) {
                err << "platewise listen: history: cannot record an event: " << error
                    << " (it is still written here and passed on)\n";
                err.flush();
                state->last_error = error;
            }
        } else {
            state->last_error.clear();
        }
    };
}

}  // namespace platewise::history
