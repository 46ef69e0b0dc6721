// The verdict tracker pass by pass on a chosen clock: one event for each
// change, none for a steady pass; new drives, drives gone missing (judged
// only from passes of their own kind) and come back; the journal's
// priority for each verdict and lines that no drive string can split.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "events/event_journal.h"
#include "events/listen_events.h"
#include "events/verdict_tracker.h"
#include "nvme.h"

namespace {

using platewise::events::DriveEvent;
using platewise::events::DriveFamily;
using platewise::events::SeenDrive;
using platewise::events::VerdictTracker;

constexpr std::int64_t kT0 = 1796119200000;  // 2026-12-01 10:00:00 UTC
constexpr std::int64_t kMinute = 60 * 1000;
constexpr DriveFamily kAta = DriveFamily::ata;
constexpr DriveFamily kNvme = DriveFamily::nvme;

SeenDrive drive(const char* serial, const char* verdict, int slot = 0, const char* wwn = "")
{
    SeenDrive s;
    s.model = *serial == '\0' ? "" : "PW MODEL";
    s.serial = serial;
    s.wwn = wwn;
    s.slot = slot;
    s.verdict = verdict;
    if (std::string(verdict) != "OK") {
        s.reasons.push_back(std::string("why ") + verdict);
    }
    return s;
}

// A slot the service marks present whose drive nobody could read, as the
// history lists it in an ATA pass.
SeenDrive unreadable(int slot, const char* what = "IDENTIFY DEVICE came back empty")
{
    SeenDrive s;
    s.slot = slot;
    s.verdict = "NO SMART DATA";
    s.reasons.push_back("no SMART data: slot " + std::to_string(slot) + ": " + what);
    s.unreadable_slot = true;
    return s;
}

// "kind SERIAL BEFORE>AFTER" of each event ("kind slotN ..." for a slot
// without a drive anybody could name).
std::vector<std::string> brief(const std::vector<DriveEvent>& events)
{
    std::vector<std::string> out;
    for (const DriveEvent& e : events) {
        const std::string who = e.serial.empty() && e.model.empty() ? "slot" + std::to_string(e.slot) : e.serial;
        out.push_back(e.kind + " " + who + " " + e.verdict_before + ">" + e.verdict_after);
    }
    return out;
}

struct Pass {
    DriveFamily family;
    std::int64_t at;
    std::vector<SeenDrive> seen;
    std::vector<std::string> expected;
};

struct Row {
    const char* name;
    std::vector<Pass> passes;
};

TEST(VerdictTracker, OneEventPerChangeAndNoneForASteadyPass)
{
    const Row rows[] = {
        {"the first pass: every drive new; then steady passes say nothing",
         {{kAta, kT0, {drive("A", "OK", 0), drive("B", "FAILING NOW", 1)}, {"new A >OK", "new B >FAILING NOW"}},
          {kAta, kT0 + kMinute, {drive("A", "OK", 0), drive("B", "FAILING NOW", 1)}, {}},
          {kAta, kT0 + 2 * kMinute, {drive("A", "OK", 0), drive("B", "FAILING NOW", 1)}, {}}}},
        {"each change of verdict once, however long it stays",
         {{kAta, kT0, {drive("A", "OK")}, {"new A >OK"}},
          {kAta, kT0 + 1, {drive("A", "DEGRADING")}, {"change A OK>DEGRADING"}},
          {kAta, kT0 + 2, {drive("A", "DEGRADING")}, {}},
          {kAta, kT0 + 3, {drive("A", "FAILING NOW")}, {"change A DEGRADING>FAILING NOW"}},
          {kAta, kT0 + 4, {drive("A", "FAILING NOW")}, {}},
          {kAta, kT0 + 5, {drive("A", "OK")}, {"change A FAILING NOW>OK"}}}},
        {"a drive moved to another slot is the same drive",
         {{kAta, kT0, {drive("A", "OK", 0), drive("B", "OK", 1)}, {"new A >OK", "new B >OK"}},
          {kAta, kT0 + 1, {drive("B", "OK", 0), drive("A", "OK", 5)}, {}}}},
        {"missing once after missing_after, back when seen again",
         {{kAta, kT0, {drive("A", "OK", 0), drive("B", "DEGRADING", 1)}, {"new A >OK", "new B >DEGRADING"}},
          {kAta, kT0 + 10 * kMinute, {drive("A", "OK")}, {}},
          {kAta, kT0 + 10 * kMinute + 1, {drive("A", "OK")}, {"missing B DEGRADING>DRIVE MISSING"}},
          {kAta, kT0 + 30 * kMinute, {drive("A", "OK")}, {}},
          {kAta, kT0 + 31 * kMinute, {drive("A", "OK"), drive("B", "OK", 1)}, {"back B DRIVE MISSING>OK"}},
          {kAta, kT0 + 32 * kMinute, {drive("A", "OK"), drive("B", "OK", 1)}, {}}}},
        {"ATA and NVMe passes judge only their own drives missing",
         {{kNvme, kT0, {drive("N", "WARNING")}, {"new N >WARNING"}},
          {kAta, kT0, {drive("A", "OK")}, {"new A >OK"}},
          {kAta, kT0 + 20 * kMinute, {drive("A", "OK")}, {}},
          {kNvme, kT0 + 21 * kMinute, {}, {"missing N WARNING>DRIVE MISSING"}},
          {kNvme, kT0 + 40 * kMinute, {}, {}},
          {kAta, kT0 + 41 * kMinute, {drive("A", "OK")}, {}}}},
        {"one drive through two paths counts once",
         {{kAta, kT0, {drive("A", "OK", 0), drive("A", "OK", 1)}, {"new A >OK"}},
          {kAta, kT0 + 1, {drive("A", "OK", 1)}, {}}}},
        {"the world-wide name tells two drives with one model and serial apart",
         {{kAta, kT0, {drive("A", "OK", 0, "5000c50000000001"), drive("A", "OK", 1, "5000c50000000002")},
           {"new A >OK", "new A >OK"}},
          {kAta, kT0 + 1, {drive("A", "OK", 0, "5000c50000000001"), drive("A", "FAILING NOW", 1, "5000c50000000002")},
           {"change A OK>FAILING NOW"}}}},
        {"a slot without model and serial cannot be told apart and is skipped",
         {{kAta, kT0, {drive("", "NO SMART DATA")}, {}}}},
        {"a NVMe and an ATA drive do not take each other's place",
         {{kAta, kT0, {drive("A", "OK")}, {"new A >OK"}},
          {kNvme, kT0 + 1, {drive("A", "WARNING")}, {"new A >WARNING"}}}},
        {"an NVMe drive's verdict changes as an ATA drive's do, and it goes missing by NVMe passes",
         {{kNvme, kT0, {drive("N", "OK", 1)}, {"new N >OK"}},
          {kNvme, kT0 + 1, {drive("N", "DEGRADING", 1)}, {"change N OK>DEGRADING"}},
          {kAta, kT0 + 2, {drive("A", "OK", 0)}, {"new A >OK"}},
          {kNvme, kT0 + 3, {drive("N", "FAILING NOW", 1)}, {"change N DEGRADING>FAILING NOW"}},
          {kAta, kT0 + 20 * kMinute, {drive("A", "OK", 0)}, {}},
          {kNvme, kT0 + 20 * kMinute, {}, {"missing N FAILING NOW>DRIVE MISSING"}}}},
        {"a slot turned unreadable: one event keyed by its slot, again only after it was readable",
         {{kAta, kT0, {drive("A", "OK", 0), unreadable(3)}, {"new A >OK", "unreadable slot3 >NO SMART DATA"}},
          {kAta, kT0 + 1, {drive("A", "OK", 0), unreadable(3, "NVMe: Identify Controller device_error")}, {}},
          {kNvme, kT0 + 2, {}, {}},
          {kAta, kT0 + 3, {drive("A", "OK", 0)}, {}},
          {kAta, kT0 + 4, {drive("A", "OK", 0), unreadable(3), unreadable(3), unreadable(4)},
           {"unreadable slot3 >NO SMART DATA", "unreadable slot4 >NO SMART DATA"}},
          {kAta, kT0 + 5, {unreadable(4), drive("A", "OK", 0), unreadable(3)}, {}}}},
        {"a drive whose slot turns unreadable: the slot at once, the drive missing later",
         {{kAta, kT0, {drive("A", "OK", 0), drive("B", "OK", 1)}, {"new A >OK", "new B >OK"}},
          {kAta, kT0 + kMinute, {drive("A", "OK", 0), unreadable(1)}, {"unreadable slot1 >NO SMART DATA"}},
          {kAta, kT0 + 11 * kMinute, {drive("A", "OK", 0), unreadable(1)}, {"missing B OK>DRIVE MISSING"}}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VerdictTracker tracker;
        tracker.missing_after_ms = 10 * kMinute;
        for (std::size_t i = 0; i < row.passes.size(); ++i) {
            const Pass& pass = row.passes[i];
            EXPECT_EQ(brief(platewise::events::track_pass(tracker, pass.family, pass.seen, pass.at)),
                      pass.expected)
                << "pass " << i;
        }
    }
}

TEST(VerdictTracker, EventsCarryTheDriveTheSlotTheTimeAndTheReasons)
{
    VerdictTracker tracker;
    tracker.missing_after_ms = 10 * kMinute;
    platewise::events::track_pass(tracker, kAta, {drive("A", "OK", 2)}, kT0);
    const std::vector<DriveEvent> changed =
        platewise::events::track_pass(tracker, kAta, {drive("A", "FAILING NOW", 3)}, kT0 + kMinute);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].time_ms, kT0 + kMinute);
    EXPECT_EQ(changed[0].model, "PW MODEL");
    EXPECT_EQ(changed[0].slot, 3);
    EXPECT_EQ(changed[0].reasons, std::vector<std::string>{"why FAILING NOW"});
    const std::vector<DriveEvent> gone = platewise::events::track_pass(tracker, kAta, {}, kT0 + 3 * 60 * kMinute);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].reasons, std::vector<std::string>{"drive missing: not seen for 179 min (last in slot 3)"});
    EXPECT_EQ(platewise::events::counts_text(tracker), "1 drive: 1 DRIVE MISSING");
}

TEST(VerdictTracker, ReportsOfBothKindsBecomeSeenDrives)
{
    platewise::SnapshotReport ata;
    platewise::DriveReport d;
    d.slot = 4;
    d.model = "ATA MODEL";
    d.serial = "S1";
    d.reasons.push_back({platewise::Verdict::failing_now, 5, "Reallocated", 0, 0, 0, -1,
                         "attribute 5 Reallocated Sectors Count", "threshold"});
    d.reasons.push_back({platewise::Verdict::degrading, 197, "", 0, 1, 0, -1, "attribute 197 1 above 0", "rising"});
    platewise::compose_verdict(d);
    ata.drives.push_back(d);
    // A slot the history found unreadable in both snapshots names its slot;
    // one that IDENTIFY alone could not read (no history) is not told apart.
    platewise::DriveReport u;
    u.slot = 2;
    u.reasons.push_back({platewise::Verdict::no_smart_data, -1, "", 0, 0, 0, 2,
                         "slot 2: IDENTIFY DEVICE came back empty; NVMe: Identify Controller device_error", ""});
    platewise::compose_verdict(u);
    ata.drives.push_back(u);
    platewise::DriveReport bare;
    bare.slot = 3;
    bare.reasons.push_back({platewise::Verdict::no_smart_data, -1, "", 0, 0, 0, -1, "", "no_smart_data"});
    platewise::compose_verdict(bare);
    ata.drives.push_back(bare);
    const std::vector<SeenDrive> seen = platewise::events::seen_of(ata, {"5000c500deadbeef"});
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_FALSE(seen[0].unreadable_slot);
    EXPECT_TRUE(seen[1].unreadable_slot);
    EXPECT_EQ(seen[1].slot, 2);
    EXPECT_EQ(seen[1].verdict, "NO SMART DATA");
    EXPECT_EQ(seen[1].reasons, std::vector<std::string>{
                                   "no SMART data: slot 2: IDENTIFY DEVICE came back empty; NVMe: Identify "
                                   "Controller device_error"});
    EXPECT_FALSE(seen[2].unreadable_slot);
    // The listener tells it apart from the live snapshot (slot 3's IDENTIFY
    // empty) unless the NVMe pass read a controller there; the slot the
    // history marked and the named drive stay as they are.
    auto live = std::make_unique<smart::DriveSnapshot>();
    std::memset(live.get(), 0, sizeof *live);
    live->count = 5;
    const auto nvme_at_3 = [](std::uint8_t status, std::uint8_t result, bool controller) {
        platewise::NvmeDriveReport n;
        n.slot = 3;
        n.status = status;
        n.results[0] = result;
        n.results[1] = n.results[2] = static_cast<std::uint8_t>(smart::nvme::RequestResult::not_sent);
        n.controller_read = controller;
        return std::vector<platewise::NvmeDriveReport>{n};
    };
    const auto failed = static_cast<std::uint8_t>(smart::nvme::SlotStatus::failed);
    const auto answered = static_cast<std::uint8_t>(smart::nvme::SlotStatus::answered);
    const auto read = static_cast<std::uint8_t>(smart::nvme::RequestResult::read);
    const auto device_error = static_cast<std::uint8_t>(smart::nvme::RequestResult::device_error);
    struct LiveRow {
        const char* what;
        std::uint8_t count;  // the snapshot's count byte
        std::vector<platewise::NvmeDriveReport> nvme;
        bool with_nvme;
        const char* reason;  // slot 3's; "" when not told apart
    };
    const LiveRow live_rows[] = {
        {"no NVMe pass", 5, {}, false, "no SMART data: slot 3: IDENTIFY DEVICE came back empty"},
        {"an NVMe pass without the slot", 5, {}, true,
         "no SMART data: slot 3: IDENTIFY DEVICE came back empty and the drive does not answer NVMe Identify"},
        {"NVMe failed there", 5, nvme_at_3(failed, device_error, false), true,
         "no SMART data: slot 3: IDENTIFY DEVICE came back empty; NVMe: Identify Controller device_error"},
        {"an NVMe drive there", 5, nvme_at_3(answered, read, true), true, ""},
        {"slot 3 not current in the snapshot", 3, {}, false, ""},
    };
    for (const LiveRow& row : live_rows) {
        live->count = row.count;
        std::vector<SeenDrive> marked = seen;
        platewise::events::mark_unreadable_slots(marked, *live, row.with_nvme ? &row.nvme : nullptr);
        EXPECT_EQ(marked[0].reasons, seen[0].reasons) << row.what;
        EXPECT_FALSE(marked[0].unreadable_slot) << row.what;
        EXPECT_EQ(marked[1].reasons, seen[1].reasons) << row.what << ": the history's reason kept";
        EXPECT_EQ(marked[2].unreadable_slot, *row.reason != '\0') << row.what;
        if (*row.reason != '\0') {
            EXPECT_EQ(marked[2].verdict, "NO SMART DATA") << row.what;
            EXPECT_EQ(marked[2].reasons, std::vector<std::string>{row.reason}) << row.what;
        }
    }
    EXPECT_EQ(seen[0].verdict, "FAILING NOW");
    EXPECT_EQ(seen[0].wwn, "5000c500deadbeef");
    EXPECT_EQ(seen[0].slot, 4);
    EXPECT_EQ(seen[0].reasons, (std::vector<std::string>{"failing now: attribute 5 Reallocated Sectors Count",
                                                         "degrading: attribute 197 1 above 0"}));

    platewise::NvmeSnapshotReport nvme;
    platewise::NvmeDriveReport n;
    n.slot = 1;
    n.model = "NVME MODEL";
    n.serial = "N1";
    n.verdict = platewise::NvmeVerdict::warning;
    n.reasons.push_back({platewise::NvmeVerdict::warning, "media_errors", "media and data integrity errors: 2"});
    nvme.drives.push_back(n);
    const std::vector<SeenDrive> nvme_seen = platewise::events::seen_of(nvme);
    ASSERT_EQ(nvme_seen.size(), 1u);
    EXPECT_EQ(nvme_seen[0].verdict, "WARNING");
    EXPECT_EQ(nvme_seen[0].reasons, std::vector<std::string>{"warning: media and data integrity errors: 2"});

    // With a history the pass carries each NVMe drive's verdict with it
    // (DEGRADING by its baselines): that is the verdict the events follow.
    platewise::DriveReport judged;
    judged.slot = 1;
    judged.nvme = true;
    judged.model = "NVME MODEL";
    judged.serial = "N1";
    judged.reasons.push_back({platewise::Verdict::warning, -1, "", 0, 0, 0, -1, "media errors 3", ""});
    judged.reasons.push_back({platewise::Verdict::degrading, 37, "media_errors", 2, 3, 0, -1,
                              "media and data integrity errors 3 above baseline 2", ""});
    platewise::compose_verdict(judged);
    nvme.history.push_back(judged);
    const std::vector<SeenDrive> with_history = platewise::events::seen_of(nvme);
    ASSERT_EQ(with_history.size(), 1u);
    EXPECT_EQ(with_history[0].verdict, "DEGRADING");
    EXPECT_EQ(with_history[0].reasons,
              (std::vector<std::string>{"degrading: media and data integrity errors 3 above baseline 2",
                                        "warning: media errors 3"}));
}

TEST(EventJournal, PriorityPerVerdictAndOneLineEach)
{
    struct Row {
        const char* kind;
        const char* before;
        const char* after;
        int priority;
        const char* text;  // after "<N>platewise listen: PW MODEL serial S1 (slot 2): "
        bool quiet = false;  // nothing a person needs to be told
    };
    const Row rows[] = {
        {"change", "DEGRADING", "FAILING NOW", 2, "DEGRADING -> FAILING NOW"},
        {"new", "", "FAILING NOW", 2, "new drive, FAILING NOW"},
        {"change", "OK", "DEGRADING", 4, "OK -> DEGRADING"},
        {"change", "OK", "WARNING", 4, "OK -> WARNING"},
        {"missing", "OK", "DRIVE MISSING", 4, "DRIVE MISSING (was OK)"},
        {"change", "OK", "NO SMART DATA", 4, "OK -> NO SMART DATA"},
        {"change", "FAILING NOW", "FAILED IN THE PAST", 4, "FAILING NOW -> FAILED IN THE PAST"},
        {"change", "OK", "SOMETHING NEW", 4, "OK -> SOMETHING NEW"},
        {"change", "", "DEGRADING", 4, "now DEGRADING"},
        {"change", "DEGRADING", "OK", 5, "DEGRADING -> OK"},
        {"back", "DRIVE MISSING", "OK", 5, "back, OK"},
        {"new", "", "OK", 5, "new drive, OK", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " " + row.after);
        DriveEvent e;
        e.kind = row.kind;
        e.model = "PW MODEL";
        e.serial = "S1";
        e.slot = 2;
        e.verdict_before = row.before;
        e.verdict_after = row.after;
        EXPECT_EQ(platewise::events::journal_priority(e), row.priority);
        EXPECT_EQ(platewise::events::is_quiet(e), row.quiet);
        EXPECT_EQ(platewise::events::journal_line(e),
                  "<" + std::to_string(row.priority) + ">platewise listen: PW MODEL serial S1 (slot 2): " +
                      row.text + "\n");
    }

    // A model or reason from a history file that anybody may have written:
    // no line break, no control byte, no second priority.
    DriveEvent forged;
    forged.kind = "change";
    forged.model = "EVIL\n<2>platewise listen: fake";
    forged.serial = "S\r1";
    forged.verdict_before = "OK";
    forged.verdict_after = "DEGRADING";
    forged.reasons = {"degrading: a\x1b[31m", "second\xff"};
    EXPECT_EQ(platewise::events::journal_line(forged),
              "<4>platewise listen: EVIL?<2>platewise listen: fake serial S?1: OK -> DEGRADING: "
              "degrading: a?[31m; second?\n");

    // A slot nobody could read is named by its slot.
    DriveEvent slot;
    slot.kind = "unreadable";
    slot.slot = 4;
    slot.verdict_after = "NO SMART DATA";
    slot.reasons = {"no SMART data: slot 4: IDENTIFY DEVICE came back empty"};
    EXPECT_EQ(platewise::events::journal_line(slot),
              "<4>platewise listen: slot 4: no drive readable, NO SMART DATA: no SMART data: slot 4: "
              "IDENTIFY DEVICE came back empty\n");

    std::ostringstream err;
    platewise::events::write_journal({}, err);
    EXPECT_EQ(err.str(), "") << "nothing for a steady pass";
}

TEST(ListenEvents, EachPassCallsOnEventsOnceAndTheJournalOnlyOnChange)
{
    platewise::events::ListenEvents events;
    events.tracker.missing_after_ms = 10 * kMinute;
    platewise::ListenOptions options;
    std::vector<std::pair<std::size_t, std::int64_t>> calls;
    options.on_events = [&calls](const std::vector<DriveEvent>& made, std::int64_t now_ms) {
        calls.emplace_back(made.size(), now_ms);
    };
    std::ostringstream err;
    for (std::int64_t i = 0; i < 3; ++i) {
        platewise::events::events_pass(events, kAta, {drive("A", "OK"), drive("B", "FAILING NOW", 1)}, options,
                                       kT0 + i * kMinute, err);
    }
    EXPECT_EQ(calls, (std::vector<std::pair<std::size_t, std::int64_t>>{{2, kT0}, {0, kT0 + kMinute},
                                                                         {0, kT0 + 2 * kMinute}}));
    EXPECT_EQ(err.str(),
              "<5>platewise listen: PW MODEL serial A (slot 0): new drive, OK\n"
              "<2>platewise listen: PW MODEL serial B (slot 1): new drive, FAILING NOW: why FAILING NOW\n");
    EXPECT_EQ(platewise::events::counts_text(events.tracker), "2 drives: 1 FAILING NOW, 1 OK");
}

// attach_events chains after the hooks set before it: the history's
// verdicts (on_decoded) are in the report the tracker sees, and an NVMe
// pass is tracked on its own.
TEST(ListenEvents, AttachedAfterTheHistorysHookAndForBothKinds)
{
    platewise::ListenOptions options;
    std::vector<std::string> calls;
    options.on_decoded = [&calls](const smart::DriveSnapshot&, platewise::SnapshotReport& report) {
        calls.push_back("history");
        report.drives[0].verdict = platewise::Verdict::degrading;  // as the history's rules would
    };
    options.on_nvme_snapshot = [&calls](const platewise::NvmeSnapshotReport&) { calls.push_back("metrics"); };
    platewise::events::ListenEvents events;
    events.clock = [] { return kT0; };
    std::ostringstream err;
    platewise::events::attach_events(events, options, err);
    std::vector<DriveEvent> told;
    // Set after attaching, as a channel may be: looked up at each pass.
    options.on_events = [&](const std::vector<DriveEvent>& made, std::int64_t now_ms) {
        calls.push_back("events " + std::to_string(made.size()));
        EXPECT_EQ(now_ms, kT0);
        told.insert(told.end(), made.begin(), made.end());
    };

    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    std::memset(snapshot.get(), 0, sizeof *snapshot);
    platewise::SnapshotReport ata;
    platewise::DriveReport d;
    d.model = "ATA";
    d.serial = "A1";
    d.verdict = platewise::Verdict::ok;
    ata.drives.push_back(d);
    options.on_decoded(*snapshot, ata);
    platewise::NvmeSnapshotReport nvme;
    platewise::NvmeDriveReport n;
    n.model = "NVME";
    n.serial = "N1";
    n.verdict = platewise::NvmeVerdict::ok;
    nvme.drives.push_back(n);
    options.on_nvme_snapshot(nvme);
    options.on_nvme_snapshot(nvme);

    EXPECT_EQ(calls, (std::vector<std::string>{"history", "events 1", "events 1", "metrics", "events 0", "metrics"}));
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].verdict_after, "DEGRADING") << "the history's verdict";
    EXPECT_EQ(told[1].serial, "N1");
    EXPECT_EQ(err.str(),
              "<4>platewise listen: ATA serial A1 (slot 0): new drive, DEGRADING\n"
              "<5>platewise listen: NVME serial N1 (slot 0): new drive, OK\n");
}

}  // namespace
