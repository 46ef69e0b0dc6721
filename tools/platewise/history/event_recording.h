// The events and the history: each event a listener makes is recorded in
// the store, and a listener that starts again takes up the drives and the
// verdicts last announced from there, so that a restart announces only
// what changed while it was away.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "events/listen_events.h"
#include "history/history_store.h"
#include "history/listen_history.h"

namespace platewise::history {

// Adds to `tracker` what the store knows: every drive (its kind, slot and
// last sighting; the verdict of its latest event, or none when no event was
// recorded for it yet) and the drives known only from their events. Drives
// first seen at or after `fresh_from_ms` (recorded by this listener before
// the store could be read back) and drives the tracker holds already are
// left as the tracker has them.
bool seed_tracker(events::VerdictTracker& tracker, HistoryStore& store, std::int64_t fresh_from_ms,
                  std::string& error);

// Records `events` (setting their ids, and their drive ids from the
// recorder's drives when the tracker did not know them). False with the
// reason when a write failed; the events not written are left with id 0.
bool record_events(HistoryStore& store, const Recorder& recorder,
                   std::vector<events::DriveEvent>& events, std::string& error);

// Sets events.before_pass and events.record for `history`: the tracker is
// seeded as soon as the store is open (now, or once it opens), every event
// is recorded while it is, and a failed write is said on `err`.
void attach_event_recording(events::ListenEvents& events, ListenHistory& history, std::ostream& err);

}  // namespace platewise::history
