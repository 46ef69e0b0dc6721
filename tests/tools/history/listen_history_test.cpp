// The history in the listen loop, pass by pass on a chosen clock: drives
// that stay away too long are reported as missing in the pass's text and
// JSON, a history that cannot be opened now is tried again later, and the
// passes lost meanwhile are counted.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "events/listen_events.h"
#include "history/event_recording.h"
#include "history/event_store.h"
#include "history/history_view.h"
#include "history/listen_history.h"
#include "report/json_report.h"
#include "report/text_report.h"
#include "report/nvme_json_report.h"
#include "report/nvme_text_report.h"
#include "history_test_support.h"

namespace {

using namespace platewise::history;
using historytest::Drive;
using historytest::kSecond;
using historytest::kT0;

platewise::SnapshotReport pass(ListenHistory& history, const std::vector<Drive>& drives, std::int64_t at,
                               std::ostream& err)
{
    const auto snapshot = historytest::pass_of(drives);
    platewise::SnapshotReport report;
    std::string error;
    EXPECT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    history_pass(history, *snapshot, report, at, err);
    return report;
}

TEST(ListenHistory, DrivesAwayTooLongAreMissingInThePass)
{
    historytest::use_utc();
    TempDir dir;
    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, dir / "h.db", 10 * 60 * kSecond, options, err)) << err.str();
    ASSERT_TRUE(options.on_decoded);
    const Drive a{"KEEPS", "A1", {{9, 100, 100, 0, 5}}};
    const Drive b{"LEAVES", "B2", {{9, 100, 100, 0, 5}}};
    pass(history, {a, b}, kT0, err);
    EXPECT_TRUE(pass(history, {a}, kT0 + 10 * 60 * kSecond, err).missing.empty()) << "not yet";
    const platewise::SnapshotReport report = pass(history, {a}, kT0 + 11 * 60 * kSecond, err);
    ASSERT_EQ(report.missing.size(), 1u);
    EXPECT_EQ(report.history_write_failures, 0);
    const std::string text = platewise::render_text(report, "t");
    EXPECT_NE(text.find("Missing: LEAVES   serial B2\n  Verdict: DRIVE MISSING: not seen since 2026-12-01 10:00:00 (last in slot 1)\n"),
              std::string::npos)
        << text;
    const nlohmann::json doc = platewise::report_to_json(report);
    EXPECT_EQ(doc["missing"][0]["serial"], "B2");
    EXPECT_EQ(doc["missing"][0]["reasons"][0]["last_slot"], 1);
    EXPECT_TRUE(pass(history, {a, b}, kT0 + 12 * 60 * kSecond, err).missing.empty()) << "back";
}

TEST(ListenHistory, AnUnavailableHistoryIsTriedAgainAndItsLostPassesCounted)
{
    TempDir dir;
    const std::string path = dir / "h.db";
    {
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(open_history(store, path, false, error)) << error;
    }
    Database locker;
    std::string error;
    ASSERT_TRUE(locker.open(path, false, false, error)) << error;
    // Another program holds the file for itself (even readers wait).
    ASSERT_TRUE(locker.exec("PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE", error)) << error;

    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, path, 10 * 60 * kSecond, options, err)) << "a locked file never stops the listener";
    EXPECT_NE(err.str().find("trying again every minute"), std::string::npos) << err.str();
    const Drive a{"M", "S", {{9, 100, 100, 0, 5}}};
    // attach_history tried at the real time; the passes below come later.
    const std::int64_t start = history.last_open_attempt_ms;
    EXPECT_EQ(pass(history, {a}, start + 5 * kSecond, err).history_write_failures, 1);
    ASSERT_TRUE(locker.exec("ROLLBACK", error)) << error;
    locker.close();
    EXPECT_EQ(pass(history, {a}, start + 30 * kSecond, err).history_write_failures, 2) << "retried after a minute";
    EXPECT_EQ(pass(history, {a}, start + 65 * kSecond, err).history_write_failures, 2);
    EXPECT_TRUE(history.open);
    EXPECT_NE(err.str().find("recording the history in " + path), std::string::npos) << err.str();
}

// A listener with the history and the events, as listen --history wires
// them, on a chosen clock.
struct Listener {
    platewise::ListenOptions options;
    ListenHistory history;
    platewise::events::ListenEvents events;
    std::ostringstream err;

    Listener(const std::string& path, std::int64_t at)
    {
        EXPECT_TRUE(attach_history(history, path, 10 * 60 * kSecond, options, err)) << err.str();
        events.tracker.missing_after_ms = 10 * 60 * kSecond;
        events.clock = [at] { return at; };
        attach_event_recording(events, history, err);
    }

    // "kind SERIAL BEFORE>AFTER" of each event of the pass; each recorded.
    std::vector<std::string> pass(const std::vector<Drive>& drives, std::int64_t at)
    {
        const auto snapshot = historytest::pass_of(drives);
        platewise::SnapshotReport report;
        std::string error;
        EXPECT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
        history_pass(history, *snapshot, report, at, err);
        std::vector<std::string> out;
        for (const auto& e : platewise::events::events_pass(
                 events, platewise::events::DriveFamily::ata,
                 platewise::events::seen_of(report, platewise::events::ata_wwns(*snapshot, report)), options,
                 at, err)) {
            EXPECT_NE(e.id, 0) << "recorded";
            EXPECT_NE(e.drive_id, 0) << "with the history's drive";
            out.push_back(e.kind + " " + e.serial + " " + e.verdict_before + ">" + e.verdict_after);
        }
        return out;
    }
};

TEST(ListenHistory, EventsAreRecordedAndARestartAnnouncesOnlyWhatChanged)
{
    TempDir dir;
    const std::string path = dir / "h.db";
    const Drive ok{"PW EVENTS", "A1", {{5, 100, 100, 36, 0}}};
    const Drive now_failing{"PW EVENTS", "A1", {{5, 30, 30, 36, 0}}};
    const Drive failing{"PW EVENTS", "B2", {{5, 30, 30, 36, 0}}};
    constexpr std::int64_t kMinute = 60 * kSecond;
    struct Step {
        const char* name;
        bool restart;  // a new listener on the same file
        std::vector<Drive> drives;
        std::int64_t at;
        std::vector<std::string> expected;
    };
    const Step steps[] = {
        {"first pass: both new", true, {ok, failing}, kT0, {"new A1 >OK", "new B2 >FAILING NOW"}},
        {"steady", false, {ok, failing}, kT0 + kMinute, {}},
        {"a restart knows them", true, {ok, failing}, kT0 + 2 * kMinute, {}},
        {"a change", false, {now_failing, failing}, kT0 + 3 * kMinute, {"change A1 OK>FAILING NOW"}},
        {"a restart knows the new verdict", true, {now_failing, failing}, kT0 + 4 * kMinute, {}},
        {"gone while restarting", true, {now_failing}, kT0 + 20 * kMinute,
         {"missing B2 FAILING NOW>DRIVE MISSING"}},
        {"a restart knows it is missing", true, {now_failing}, kT0 + 21 * kMinute, {}},
        {"back", true, {now_failing, failing}, kT0 + 22 * kMinute, {"back B2 DRIVE MISSING>FAILING NOW"}},
        {"steady after a restart", true, {now_failing, failing}, kT0 + 23 * kMinute, {}},
    };
    std::unique_ptr<Listener> listener;
    std::size_t made = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.restart) {
            listener.reset();  // the old one writes its drives' last sighting
            listener = std::make_unique<Listener>(path, step.at);
        }
        EXPECT_EQ(listener->pass(step.drives, step.at), step.expected) << listener->err.str();
        made += step.expected.size();
    }
    listener.reset();

    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, path, true, error)) << error;
    std::vector<StoredEvent> stored;
    ASSERT_TRUE(load_events(store, EventQuery{}, stored, error)) << error;
    ASSERT_EQ(stored.size(), made);
    EXPECT_EQ(stored[1].verdict_after, "FAILING NOW");
    EXPECT_EQ(stored[1].reasons, std::vector<std::string>{"failing now: attribute 5 Reallocated Sectors Count"});
    EXPECT_EQ(stored[1].slot, 1);
    EXPECT_EQ(stored[1].time_ms, kT0);
}

// A history recorded before events were kept: its OK drives are not
// announced again, a drive that is not OK is, once.
TEST(ListenHistory, AHistoryWithoutEventsAnnouncesOnlyWhatIsNotOk)
{
    TempDir dir;
    const std::string path = dir / "h.db";
    const Drive ok{"PW OLD", "A1", {{5, 100, 100, 36, 0}}};
    const Drive failing{"PW OLD", "B2", {{5, 30, 30, 36, 0}}};
    {
        HistoryStore store;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::string error;
        ASSERT_TRUE(record_snapshot(recorder, store, *historytest::pass_of({ok, failing}), kT0, error)) << error;
        ASSERT_TRUE(flush_recorder(recorder, store, error)) << error;
    }
    Listener listener(path, kT0 + 60 * kSecond);
    EXPECT_EQ(listener.pass({ok, failing}, kT0 + 60 * kSecond), std::vector<std::string>{"change B2 >FAILING NOW"});
    EXPECT_EQ(listener.pass({ok, failing}, kT0 + 120 * kSecond), std::vector<std::string>{});
    EXPECT_NE(listener.err.str().find("<2>platewise listen: PW OLD serial B2 (slot 1): now FAILING NOW: failing now: "),
              std::string::npos)
        << listener.err.str();
    EXPECT_EQ(listener.err.str().find("<5>"), std::string::npos) << listener.err.str();
}

// The listener's two snapshots of each pass, reconciled by slot: the NVMe
// drive's ATA slot is not an unreadable drive, a slot neither kind could
// read is NO SMART DATA with its slot and what failed, in the pass and in
// the history; the NVMe drive gets its verdict with the history, and stays
// away too long as any drive.
TEST(ListenHistory, NvmeDrivesAndUnreadableSlotsReconciledBySlot)
{
    historytest::use_utc();
    TempDir dir;
    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, dir / "h.db", 10 * 60 * kSecond, options, err)) << err.str();
    ASSERT_TRUE(options.on_nvme_decoded);
    const Drive ata{"PW ATA", "A1", {{9, 100, 100, 0, 5}}};
    historytest::NvmeDrive nvme{"PW NVME", "N1"};
    nvme.used = 90;
    const auto nvme_pass = [&](std::int64_t at, bool with_drive) {
        auto snapshot = historytest::nvme_pass_of({{}, with_drive ? nvme : historytest::NvmeDrive{}, {}}, 4);
        snapshot->slots[0].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
        snapshot->slots[2].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::failed);
        snapshot->slots[2].results[0] = static_cast<std::uint8_t>(smart::nvme::RequestResult::driver_error);
        platewise::NvmeSnapshotReport report = platewise::report_nvme_snapshot(*snapshot);
        history_nvme_pass(history, *snapshot, report, at, err);
        return report;
    };
    // The first ATA pass comes before any NVMe one: slots 1 and 2 wait for
    // it, neither listed nor stored as unreadable.
    platewise::SnapshotReport first = pass(history, {ata, {}, {}}, kT0, err);
    ASSERT_EQ(first.drives.size(), 1u);
    std::vector<StoredSlot> none;
    std::string no_error;
    ASSERT_TRUE(load_slots(history.store, none, no_error)) << no_error;
    EXPECT_TRUE(none.empty());
    const platewise::NvmeSnapshotReport n = nvme_pass(kT0 + kSecond, true);
    ASSERT_EQ(n.history.size(), 1u);
    EXPECT_EQ(n.history[0].slot, 1u);
    EXPECT_EQ(n.history[0].verdict_text,
              "DEGRADING: percentage used 90% (90 or more: the drive nears its rated wear) since 2026-12-01 10:00:01");
    EXPECT_EQ(n.history_write_failures, 0);
    // The listener's NVMe text and JSON say the verdict with the history.
    const std::string shown = platewise::render_nvme_text(n, "t");
    EXPECT_NE(shown.find("  Verdict: OK\n  With the history: DEGRADING: percentage used 90%"), std::string::npos)
        << shown;
    const nlohmann::json doc = platewise::nvme_report_to_json(n);
    EXPECT_EQ(doc["nvme_drives"][0]["history_verdict_code"], "degrading");
    EXPECT_EQ(doc["nvme_drives"][0]["history_reasons"][0]["attribute"], 36);

    const platewise::SnapshotReport second = pass(history, {ata, {}, {}}, kT0 + 5 * kSecond, err);
    ASSERT_EQ(second.drives.size(), 2u) << "slot 1 is the NVMe drive's";
    EXPECT_EQ(second.drives[0].serial, "A1");
    EXPECT_EQ(second.drives[1].slot, 2u);
    EXPECT_EQ(second.drives[1].verdict, platewise::Verdict::no_smart_data);
    EXPECT_EQ(second.drives[1].verdict_text,
              "NO SMART DATA: slot 2: IDENTIFY DEVICE came back empty; NVMe: Identify Controller driver_error");

    std::vector<StoredSlot> slots;
    std::string error;
    ASSERT_TRUE(load_slots(history.store, slots, error)) << error;
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].slot, 2);
    EXPECT_EQ(slots[0].state, "failed");

    // The NVMe drive leaves: its slot is unreadable now, and after the
    // missing time the ATA pass reports it missing.
    nvme_pass(kT0 + 6 * kSecond, false);
    pass(history, {ata, {}, {}}, kT0 + 10 * kSecond, err);
    ASSERT_TRUE(load_slots(history.store, slots, error)) << error;
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_EQ(slots[0].slot, 1);
    EXPECT_EQ(slots[0].detail, "IDENTIFY DEVICE came back empty and the drive does not answer NVMe Identify");
    const platewise::SnapshotReport later = pass(history, {ata, {}, {}}, kT0 + 11 * 60 * kSecond, err);
    ASSERT_EQ(later.missing.size(), 1u);
    EXPECT_EQ(later.missing[0].serial, "N1");
}

// An NVMe drive's verdict with the history reaches the events as an ATA
// drive's does (DEGRADING at percentage used 90, which the drive's own
// verdict calls OK), and a slot neither kind could read is an event of its
// own, keyed by the slot, once.
TEST(ListenHistory, NvmeVerdictsAndUnreadableSlotsBecomeEvents)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    Listener listener(path, kT0);
    const Drive ata{"PW ATA", "A1", {{9, 100, 100, 0, 5}}};
    historytest::NvmeDrive nvme{"PW NVME", "N1"};
    const auto events_of = [&](const std::vector<platewise::events::DriveEvent>& made) {
        std::vector<std::string> out;
        for (const auto& e : made) {
            EXPECT_NE(e.id, 0) << "recorded";
            out.push_back(e.kind + " " + (e.serial.empty() ? "slot" + std::to_string(e.slot) : e.serial) + " " +
                          e.verdict_before + ">" + e.verdict_after);
        }
        return out;
    };
    const auto ata_pass = [&](std::int64_t at) {
        const auto snapshot = historytest::pass_of({ata, {}, {}});
        platewise::SnapshotReport report;
        std::string error;
        EXPECT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
        history_pass(listener.history, *snapshot, report, at, listener.err);
        return events_of(platewise::events::events_pass(
            listener.events, platewise::events::DriveFamily::ata,
            platewise::events::seen_of(report, platewise::events::ata_wwns(*snapshot, report)), listener.options,
            at, listener.err));
    };
    const auto nvme_pass = [&](std::int64_t at) {
        auto snapshot = historytest::nvme_pass_of({{}, nvme, {}}, 3);
        snapshot->slots[0].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
        snapshot->slots[2].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
        platewise::NvmeSnapshotReport report = platewise::report_nvme_snapshot(*snapshot);
        history_nvme_pass(listener.history, *snapshot, report, at, listener.err);
        return events_of(platewise::events::events_pass(listener.events, platewise::events::DriveFamily::nvme,
                                                        platewise::events::seen_of(report), listener.options, at,
                                                        listener.err));
    };
    using Events = std::vector<std::string>;
    EXPECT_EQ(ata_pass(kT0), Events{"new A1 >OK"}) << "slots 1 and 2 wait for the NVMe pass";
    EXPECT_EQ(nvme_pass(kT0 + kSecond), Events{"new N1 >OK"});
    EXPECT_EQ(ata_pass(kT0 + 5 * kSecond), Events{"unreadable slot2 >NO SMART DATA"})
        << "slot 1 is the NVMe drive's";
    EXPECT_EQ(ata_pass(kT0 + 10 * kSecond), Events{});
    nvme.used = 90;
    EXPECT_EQ(nvme_pass(kT0 + 11 * kSecond), Events{"change N1 OK>DEGRADING"}) << listener.err.str();
    EXPECT_EQ(nvme_pass(kT0 + 16 * kSecond), Events{});
    EXPECT_NE(listener.err.str().find("<4>platewise listen: slot 2: no drive readable, NO SMART DATA: no SMART "
                                      "data: slot 2: IDENTIFY DEVICE came back empty and the drive does not "
                                      "answer NVMe Identify\n"),
              std::string::npos)
        << listener.err.str();
}

// The listener's events as it wires them (history first when there is one,
// then the events): a slot nobody could read is an event once per change
// from the live snapshot, with or without the history, never twice; the
// NVMe drive's slot is none, and an empty slot waits for the NVMe pass.
TEST(ListenHistory, UnreadableSlotEventsWithAndWithoutTheHistory)
{
    historytest::use_utc();
    const Drive ata{"PW ATA", "A1", {{9, 100, 100, 0, 5}}};
    const Drive other{"PW ATA", "B2", {{9, 100, 100, 0, 5}}};
    const historytest::NvmeDrive nvme{"PW NVME", "N1"};
    struct Pass {
        std::int64_t at;
        bool is_nvme;
        std::vector<Drive> ata;  // ATA pass: its slots
        bool nvme_drive = true;  // NVMe pass: N1 in slot 1 (slot 2 always fails)
        std::vector<std::string> events;
    };
    const auto a = [](std::int64_t at, std::vector<Drive> d, std::vector<std::string> e) {
        return Pass{at, false, std::move(d), true, std::move(e)};
    };
    const auto n = [](std::int64_t at, bool with_drive, std::vector<std::string> e) {
        return Pass{at, true, {}, with_drive, std::move(e)};
    };
    struct Row {
        const char* what;
        bool history;
        std::vector<Pass> passes;
        const char* journal;  // a line the journal holds
    };
    const char* const failed_slot2 =
        "<4>platewise listen: slot 2: no drive readable, NO SMART DATA: no SMART data: slot 2: IDENTIFY DEVICE "
        "came back empty; NVMe: Identify Controller driver_error\n";
    const Row rows[] = {
        {"without the history: the failed slot once, the NVMe drive's slot never",
         false,
         {a(kT0, {ata, {}, {}}, {"new A1 >OK"}), n(kT0 + kSecond, true, {"new N1 >OK"}),
          a(kT0 + 5 * kSecond, {ata, {}, {}}, {"unreadable slot2 >NO SMART DATA"}),
          a(kT0 + 10 * kSecond, {ata, {}, {}}, {})},
         failed_slot2},
        {"with the history: the same events, none twice",
         true,
         {a(kT0, {ata, {}, {}}, {"new A1 >OK"}), n(kT0 + kSecond, true, {"new N1 >OK"}),
          a(kT0 + 5 * kSecond, {ata, {}, {}}, {"unreadable slot2 >NO SMART DATA"}),
          a(kT0 + 10 * kSecond, {ata, {}, {}}, {})},
         failed_slot2},
        {"without the history: the NVMe drive leaves, its slot turns unreadable",
         false,
         {a(kT0, {ata, {}, {}}, {"new A1 >OK"}), n(kT0 + kSecond, true, {"new N1 >OK"}),
          a(kT0 + 5 * kSecond, {ata, {}, {}}, {"unreadable slot2 >NO SMART DATA"}),
          n(kT0 + 6 * kSecond, false, {}),
          a(kT0 + 10 * kSecond, {ata, {}, {}}, {"unreadable slot1 >NO SMART DATA"}),
          a(kT0 + 15 * kSecond, {ata, {}, {}}, {})},
         "<4>platewise listen: slot 1: no drive readable, NO SMART DATA: no SMART data: slot 1: IDENTIFY "
         "DEVICE came back empty and the drive does not answer NVMe Identify\n"},
        {"without the history and without NVMe passes: the empty slots after the wait",
         false,
         {a(kT0, {ata, {}}, {"new A1 >OK"}), a(kT0 + 29 * kSecond, {ata, {}}, {}),
          a(kT0 + 30 * kSecond, {ata, {}}, {"unreadable slot1 >NO SMART DATA"}),
          a(kT0 + 35 * kSecond, {ata, {}}, {})},
         "<4>platewise listen: slot 1: no drive readable, NO SMART DATA: no SMART data: slot 1: IDENTIFY "
         "DEVICE came back empty\n"},
        {"with the history and without NVMe passes: once as well",
         true,
         {a(kT0, {ata, {}}, {"new A1 >OK"}), a(kT0 + 29 * kSecond, {ata, {}}, {}),
          a(kT0 + 30 * kSecond, {ata, {}}, {"unreadable slot1 >NO SMART DATA"}),
          a(kT0 + 35 * kSecond, {ata, {}}, {})},
         "slot 1: IDENTIFY DEVICE came back empty\n"},
        {"without the history: readable again, then unreadable again: a second event",
         false,
         {a(kT0, {ata, other}, {"new A1 >OK", "new B2 >OK"}), n(kT0 + kSecond, false, {}),
          a(kT0 + 5 * kSecond, {ata, {}}, {"unreadable slot1 >NO SMART DATA"}),
          a(kT0 + 10 * kSecond, {ata, other}, {}),
          a(kT0 + 15 * kSecond, {ata, {}}, {"unreadable slot1 >NO SMART DATA"})},
         "slot 1: IDENTIFY DEVICE came back empty and the drive does not answer NVMe Identify\n"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        platewise::ListenOptions options;
        ListenHistory history;
        platewise::events::ListenEvents events;
        std::ostringstream err;
        std::int64_t now = kT0;
        events.clock = [&now] { return now; };
        if (row.history) {
            ASSERT_TRUE(attach_history(history, dir / "h.db", 10 * 60 * kSecond, options, err)) << err.str();
            // Its hooks as attach_history sets them, on the test's clock.
            options.on_decoded = [&](const smart::DriveSnapshot& snapshot, platewise::SnapshotReport& report) {
                history_pass(history, snapshot, report, now, err);
            };
            options.on_nvme_decoded = [&](const smart::nvme::Snapshot& snapshot,
                                          platewise::NvmeSnapshotReport& report) {
                history_nvme_pass(history, snapshot, report, now, err);
            };
            attach_event_recording(events, history, err);
        }
        platewise::events::attach_events(events, options, err);
        std::vector<std::string> made;
        options.on_events = [&made](const std::vector<platewise::events::DriveEvent>& e, std::int64_t) {
            for (const auto& x : e) {
                made.push_back(x.kind + " " + (x.serial.empty() ? "slot" + std::to_string(x.slot) : x.serial) +
                               " " + x.verdict_before + ">" + x.verdict_after);
            }
        };
        for (const Pass& p : row.passes) {
            now = p.at;
            made.clear();
            if (p.is_nvme) {
                auto snapshot = historytest::nvme_pass_of({{}, p.nvme_drive ? nvme : historytest::NvmeDrive{}, {}}, 4);
                snapshot->slots[0].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
                snapshot->slots[2].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::failed);
                snapshot->slots[2].results[0] = static_cast<std::uint8_t>(smart::nvme::RequestResult::driver_error);
                platewise::NvmeSnapshotReport report = platewise::report_nvme_snapshot(*snapshot);
                if (options.on_nvme_decoded) {
                    options.on_nvme_decoded(*snapshot, report);
                }
                options.on_nvme_snapshot(report);
            } else {
                const auto snapshot = historytest::pass_of(p.ata);
                platewise::SnapshotReport report;
                std::string error;
                ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
                options.on_decoded(*snapshot, report);
            }
            EXPECT_EQ(made, p.events) << row.what << " at +" << (p.at - kT0) / kSecond << " s";
        }
        EXPECT_NE(err.str().find(row.journal), std::string::npos) << row.what << "\n" << err.str();
    }
}

// A service that sends no NVMe snapshots: after a while the slots IDENTIFY
// could not read are listed as unreadable, with what is known.
TEST(ListenHistory, UnreadableSlotsWithoutNvmeSnapshots)
{
    historytest::use_utc();
    TempDir dir;
    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, dir / "h.db", 10 * 60 * kSecond, options, err)) << err.str();
    const Drive ata{"PW ATA", "A1", {{9, 100, 100, 0, 5}}};
    struct Row {
        std::int64_t at;
        std::size_t drives;
    };
    for (const Row& row : {Row{kT0, 1}, Row{kT0 + 25 * kSecond, 1}, Row{kT0 + 30 * kSecond, 2}}) {
        const platewise::SnapshotReport r = pass(history, {ata, {}}, row.at, err);
        ASSERT_EQ(r.drives.size(), row.drives) << row.at - kT0;
    }
    std::vector<StoredSlot> slots;
    std::string error;
    ASSERT_TRUE(load_slots(history.store, slots, error)) << error;
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].slot, 1);
    EXPECT_EQ(slots[0].detail, "IDENTIFY DEVICE came back empty");
}

}  // namespace

namespace {

// A snapshot imported under a name from 2099 (or a clock that ran ahead
// once) must not freeze the drive: a reader sees its times as now, the
// listener moves them in the file and says so once, and the live passes
// that follow are the drive's latest: its failing table, its rising
// indicator, and its absence later on all show.
TEST(ListenHistory, ATimeLaterThanNowIsTakenAsNow)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    const std::int64_t future = 4102444800000;  // 2100-01-01
    const Drive was{"AHEAD", "F1", {{5, 100, 100, 36, 0}, {197, 100, 100, 0, 0}}};
    {
        HistoryStore store;
        Recorder recorder;
        std::string error;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        recorder.importing = true;
        auto p = historytest::pass_of({was});
        ASSERT_TRUE(record_snapshot(recorder, store, *p, future - 3600 * kSecond, error)) << error;
        auto q = historytest::pass_of({was});
        ASSERT_TRUE(record_snapshot(recorder, store, *q, future, error)) << error;
        ASSERT_TRUE(flush_recorder(recorder, store, error)) << error;

        ViewOptions vo;
        vo.now_ms = kT0;
        vo.missing_after_ms = 10 * 60 * kSecond;
        std::vector<DriveView> views;
        ASSERT_TRUE(load_views(store, vo, views, error)) << error;
        ASSERT_EQ(views.size(), 1u);
        EXPECT_EQ(views[0].drive.last_seen_ms, kT0) << "a reader takes the future as now";
        EXPECT_EQ(views[0].drive.first_seen_ms, kT0);
        EXPECT_EQ(views[0].readings.back().time_ms, kT0);
    }

    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, path, 10 * 60 * kSecond, options, err)) << err.str();
    const std::int64_t now = history.last_open_attempt_ms;
    const std::string said = "1 drive was last seen later than now";
    EXPECT_NE(err.str().find(said), std::string::npos) << err.str();

    const Drive failing{"AHEAD", "F1", {{5, 30, 30, 36, 0}, {197, 100, 100, 0, 40}}};
    platewise::SnapshotReport report = pass(history, {failing}, now + 5 * kSecond, err);
    ASSERT_EQ(report.drives.size(), 1u);
    EXPECT_NE(report.drives[0].verdict_text.find("FAILING NOW"), std::string::npos)
        << report.drives[0].verdict_text;
    EXPECT_NE(report.drives[0].verdict_text.find("197"), std::string::npos)
        << "the rising indicator counts from now: " << report.drives[0].verdict_text;
    report = pass(history, {}, now + 20 * 60 * kSecond, err);
    EXPECT_EQ(report.missing.size(), 1u) << "a drive last seen in the future is missed too";

    HistoryStore reader;
    std::string error;
    ASSERT_TRUE(open_history(reader, path, true, error)) << error;
    Statement later;
    ASSERT_TRUE(reader.db.prepare("SELECT (SELECT count(*) FROM readings WHERE time_ms > ?1) + "
                                  "(SELECT count(*) FROM drives WHERE last_seen_ms > ?1 OR "
                                  "first_seen_ms > ?1 OR last_sample_ms > ?1)",
                                  later, error))
        << error;
    later.bind(1, now + 20 * 60 * kSecond);
    ASSERT_EQ(later.step(), Step::row);
    EXPECT_EQ(later.column_int(0), 0) << "the file holds no time later than now";
    EXPECT_EQ(err.str().find(said), err.str().rfind(said)) << "said once";
}

}  // namespace

namespace {

// A history damaged on disk is set aside, not a reason to stop: the
// listener starts, its passes are reported and judged as usual, the lost
// history writes are counted, and the file is left as it was.
TEST(ListenHistory, ADamagedHistoryIsSetAsideAndTheListenerCarriesOn)
{
    TempDir dir;
    const std::string path = dir / "h.db";
    {
        HistoryStore store;
        Recorder recorder;
        std::string error;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::vector<Drive> many;
        for (int i = 0; i < 40; ++i) {
            many.push_back({"DAMAGED", "D" + std::to_string(i), {{9, 100, 100, 0, 5}}});
            many.resize(std::min<std::size_t>(many.size(), 31));
            auto p = historytest::pass_of(many);
            ASSERT_TRUE(record_snapshot(recorder, store, *p, kT0 + i * kSecond, error)) << error;
        }
        ASSERT_TRUE(store.db.exec("PRAGMA wal_checkpoint(TRUNCATE)", error)) << error;
    }
    // Garbage over the pages after the first two (the header stays).
    std::vector<std::uint8_t> bytes = tooltest::file_bytes(path);
    ASSERT_GT(bytes.size(), 3u * 4096u);
    for (std::size_t i = 2 * 4096; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    tooltest::write_bytes(path, bytes);

    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, path, 10 * 60 * kSecond, options, err))
        << "a damaged history stopped the listener: " << err.str();
    EXPECT_NE(err.str().find("damaged"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("history: unavailable; the listener carries on"), std::string::npos) << err.str();
    ASSERT_TRUE(options.on_decoded);
    const platewise::SnapshotReport report =
        pass(history, {{"DAMAGED", "D1", {{9, 100, 100, 0, 5}}}}, history.last_open_attempt_ms + 5 * kSecond, err);
    ASSERT_EQ(report.drives.size(), 1u) << "the pass is still reported";
    EXPECT_EQ(report.history_write_failures, 1);
    EXPECT_EQ(tooltest::file_bytes(path), bytes) << "the damaged file is left as it is";
}

}  // namespace

namespace {

// The store removed or replaced while the listener runs: within a minute
// the listener notices (the path no longer names the file it has open),
// says so, and records into what the path names now.
TEST(ListenHistory, AStoreReplacedWhileOpenIsNoticedAndOpenedAgain)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows lets nobody rename or replace a file SQLite holds open";
#else
    TempDir dir;
    const std::string path = dir / "h.db";
    platewise::ListenOptions options;
    ListenHistory history;
    std::ostringstream err;
    ASSERT_TRUE(attach_history(history, path, 10 * 60 * kSecond, options, err)) << err.str();
    const std::int64_t start = history.last_open_attempt_ms;
    const Drive a{"KEPT", "K1", {{9, 100, 100, 0, 5}}};
    pass(history, {a}, start + 5 * kSecond, err);
    std::filesystem::rename(path, dir / "moved.db");
    pass(history, {a}, start + 30 * kSecond, err);
    EXPECT_EQ(err.str().find("removed or replaced"), std::string::npos) << "checked once a minute";
    const platewise::SnapshotReport report = pass(history, {a}, start + 65 * kSecond, err);
    EXPECT_NE(err.str().find(path + " was removed or replaced while open; opening it again"), std::string::npos)
        << err.str();
    EXPECT_EQ(report.history_write_failures, 0);
    ASSERT_TRUE(history.open);
    HistoryStore reader;
    std::string error;
    ASSERT_TRUE(open_history(reader, path, true, error)) << error;
    std::vector<StoredDrive> drives;
    ASSERT_TRUE(load_drives(reader, drives, error)) << error;
    ASSERT_EQ(drives.size(), 1u) << "the pass went into the file the path names";
    EXPECT_EQ(drives[0].serial, "K1");
#endif
}

}  // namespace
