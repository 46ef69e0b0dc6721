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

// A listener whose NVMe pass has not come yet waits this long after its
// first ATA pass before it calls an empty slot unreadable: the slot may
// hold an NVMe drive.
inline constexpr std::int64_t kAwaitNvmeSightMs = 30 * 1000;

struct ListenEvents {
    VerdictTracker tracker;
    // The slots of the last NVMe pass (answered or failed), to tell an NVMe
    // drive from a slot nobody could read.
    bool have_nvme = false;
    std::vector<NvmeDriveReport> nvme_slots;
    std::int64_t first_ata_ms = -1;
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

// Marks the drives of an ATA pass that nobody could read as unreadable
// slots from the live snapshot (what the history does when it is on; a
// drive it marked already is left as it is, so a slot is never raised
// twice): a current slot whose IDENTIFY DEVICE came back without model and
// serial, unless `nvme` (the last NVMe pass, when one came) read Identify
// Controller in that slot. Its verdict NO SMART DATA, its reason the slot
// and what failed.
void mark_unreadable_slots(std::vector<SeenDrive>& seen, const smart::DriveSnapshot& snapshot,
                           const std::vector<NvmeDriveReport>* nvme);

// "32 drives: 1 FAILING NOW, 2 DEGRADING, 29 OK" (drives not yet judged
// are counted in the total only); "no drive seen yet" before the first.
std::string counts_text(const VerdictTracker& tracker);

}  // namespace platewise::events
