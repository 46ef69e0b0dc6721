// Which drives the listener has seen and the verdict last announced for
// each, so that every change of a drive's verdict becomes one event and a
// steady pass none. Drives are told apart by what they are (model, serial
// and world-wide name where they report one), never by the slot they sit
// in. ATA and NVMe drives arrive in separate passes: a drive is judged
// missing only from the passes of its own kind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events/drive_event.h"
#include "report/drive_report.h"
#include "report/nvme_report.h"

namespace platewise::events {

// The words of a verdict as events, the journal and the status text carry
// them: "OK", "FAILING NOW", "FAILED IN THE PAST", "DEGRADING", "DRIVE
// MISSING", "NO SMART DATA"; NVMe adds "WARNING".
const char* verdict_words(Verdict verdict) noexcept;
const char* nvme_verdict_words(NvmeVerdict verdict) noexcept;
inline constexpr const char* kOkWords = "OK";
inline constexpr const char* kMissingWords = "DRIVE MISSING";

// Which passes show a drive. `unknown`: known only from an event in the
// history; it takes the kind of the first pass that shows it.
enum class DriveFamily : std::uint8_t { unknown, ata, nvme };

// One drive as a pass shows it; every string sanitised already.
struct SeenDrive {
    std::string model;
    std::string serial;
    std::string wwn;  // 16 hex digits, or "" when the drive reports none
    int slot = -1;
    std::string verdict;               // verdict_words
    std::vector<std::string> reasons;  // "failing now: attribute 5 ...", most severe first
    std::int64_t drive_id = 0;         // the history's id when known
    // A slot the service marks present whose drive nobody could read (no
    // model or serial; `reasons` say what failed): told apart by its slot.
    bool unreadable_slot = false;
};

struct TrackedDrive {
    DriveFamily family = DriveFamily::unknown;
    std::string model;
    std::string serial;
    std::string wwn;
    std::int64_t drive_id = 0;
    int slot = -1;
    // The verdict last announced (kMissingWords while missing); "" for a
    // drive the history knew before any event was recorded for it.
    std::string verdict;
    std::int64_t last_seen_ms = 0;
    friend bool operator==(const TrackedDrive&, const TrackedDrive&) = default;
};

struct VerdictTracker {
    std::int64_t missing_after_ms = 10 * 60 * 1000;
    std::vector<TrackedDrive> drives;  // in order of first sight
    std::vector<int> unreadable_slots;  // announced unreadable, as the last ATA pass listed them
};

// One pass of `family` at `now_ms` (the listener's clock): the events it
// causes, in the pass's slot order, then the drives it finds missing.
//   new      a drive not tracked yet (verdict_before "")
//   change   a tracked drive's verdict differs from the one announced; a
//            drive the history knew without an event only when not OK
//   back     a drive announced missing is seen again
//   missing  a drive of `family` not seen for more than missing_after_ms
//   unreadable  (ATA passes, which list the slots both snapshots could not
//            read) a slot turned unreadable: no model or serial, its slot,
//            NO SMART DATA and what failed; once until it is readable again
// A drive shown twice in one pass (two paths to one disk) counts once;
// any other slot without model and serial cannot be told apart and is
// skipped.
std::vector<DriveEvent> track_pass(VerdictTracker& tracker, DriveFamily family,
                                   const std::vector<SeenDrive>& seen, std::int64_t now_ms);

// A new drive that is OK: recorded, and in the journal as a notice, but
// nothing a person needs to be told about (a listener's first pass without
// a history makes one for every healthy drive).
bool is_quiet(const DriveEvent& event) noexcept;

// The drives of an ATA pass (wwns[i]: the world-wide name of the drive in
// report.drives[i]; shorter or empty: none known), with the slots the
// history found unreadable in both snapshots (a NO SMART DATA reason that
// names its slot); and of an NVMe pass, with the history's verdict of each
// drive where the pass carries one (report.history), else its own.
std::vector<SeenDrive> seen_of(const SnapshotReport& report, const std::vector<std::string>& wwns);
std::vector<SeenDrive> seen_of(const NvmeSnapshotReport& report);

// How many tracked drives have each verdict, worst first (drives not
// announced yet are left out).
struct VerdictCount {
    std::string verdict;
    std::size_t drives = 0;
    friend bool operator==(const VerdictCount&, const VerdictCount&) = default;
};
std::vector<VerdictCount> count_verdicts(const VerdictTracker& tracker);

// Orders verdict words worst first: FAILING NOW, DRIVE MISSING, FAILED IN
// THE PAST, DEGRADING, WARNING, NO SMART DATA, any other, OK.
int verdict_severity(const std::string& words) noexcept;

}  // namespace platewise::events
