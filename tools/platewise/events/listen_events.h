// The events in the listen loop: after each pass (once the history, when
// there is one, has added its verdicts) the tracker compares every drive
// with what it last announced; each change is written to the journal,
// recorded in the history when there is one, and handed to
// ListenOptions::on_events. Without a history the tracker lives in memory
// and a restart announces every drive again as new.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "commands/listen_command.h"
#include "events/verdict_tracker.h"
#include "smart.h"

namespace platewise::events {

struct ListenEvents {
    VerdictTracker tracker;
    // With a history: called before each pass is tracked (to seed the
    // tracker from the history once it is open) and with the pass's events
    // (to record them, setting their ids).
    std::function<void(VerdictTracker&)> before_pass;
    std::function<void(std::vector<DriveEvent>&)> record;
    // The listener's clock (Unix ms); the system clock unless a test sets it.
    std::function<std::int64_t()> clock;
};

// Chains onto options.on_decoded (after the history's) and
// options.on_nvme_snapshot. `options` and `err` must outlive the listener;
// options.on_events is looked up at each pass, so it may be set later.
void attach_events(ListenEvents& events, ListenOptions& options, std::ostream& err);

// One pass: seeds, tracks, records, writes the journal lines, then calls
// options.on_events (also for a steady pass: no events). The events made.
std::vector<DriveEvent> events_pass(ListenEvents& events, DriveFamily family,
                                    const std::vector<SeenDrive>& seen, const ListenOptions& options,
                                    std::int64_t now_ms, std::ostream& err);

// The world-wide name of IDENTIFY words 108-111 as 16 hex digits, when
// word 84 or 87 marks it supported and it is not zero; else "" (as the
// history keys its drives).
std::string ata_wwn(smart::SectorView identify);

// The world-wide names of the drives of `report`, from `snapshot`.
std::vector<std::string> ata_wwns(const smart::DriveSnapshot& snapshot, const SnapshotReport& report);

// "32 drives: 1 FAILING NOW, 2 DEGRADING, 29 OK" (drives not yet judged
// are counted in the total only); "no drive seen yet" before the first.
std::string counts_text(const VerdictTracker& tracker);

}  // namespace platewise::events
