// The history's verdicts, scenario by scenario: passes recorded into a real
// store, acknowledgements in between, and the verdict (with its reasons)
// of one drive after the last pass, as the listener and status give it.
#include <gtest/gtest.h>

#include "commands/ack_command.h"
#include "history/history_view.h"
#include "history/nvme_recording.h"
#include "history/verdict_rules.h"
#include "history/view_replay.h"
#include "history_test_support.h"

namespace {

using namespace platewise::history;
using platewise::Verdict;
using historytest::Attr;
using historytest::Drive;
using historytest::NvmeDrive;
using historytest::kSecond;
using historytest::kT0;

constexpr std::uint64_t kHigh = 0xABCD00000000ull;  // vendor data above the low 32 bits

// The times a page shows, one per event in turn: everything, the last
// minutes (older readings folded), a longer time again, and shorter.
constexpr std::int64_t kWindows[] = {0, 150 * kSecond, 90 * kSecond, 10 * 60 * kSecond, 30 * kSecond};

Drive drive(const char* model, const char* serial, std::uint64_t r5, std::uint64_t r197 = 0,
            std::uint8_t value5 = 100)
{
    return {model, serial,
            {{5, value5, value5, 36, r5}, {9, 100, 100, 0, 77}, {197, 100, 100, 0, r197}}};
}

struct Event {
    enum Kind { pass, ack } kind;
    std::vector<Drive> drives;  // pass: the slots
    const char* serial = "";    // ack
    const char* model = "";
    std::vector<int> ids = {};
};

struct Scenario {
    const char* what;
    std::vector<Event> events;  // one every minute from kT0
    const char* model;          // the drive judged
    const char* serial;
    Verdict verdict;
    const char* text;  // its verdict text
};

Event pass(std::vector<Drive> drives)
{
    return {Event::pass, std::move(drives)};
}
Event ack(const char* serial, std::vector<int> ids = {}, const char* model = "")
{
    return {Event::ack, {}, serial, model, std::move(ids)};
}

TEST(VerdictRules, LeadingIndicatorsAgainstAcknowledgedBaselines)
{
    historytest::use_utc();
    const Drive quiet = drive("QUIET", "Q1", 0);
    const Scenario scenarios[] = {
        {"a drive without events is OK", {pass({quiet})}, "QUIET", "Q1", Verdict::ok, "OK"},
        // A count present when the drive is first seen is old damage: shown,
        // not a rise.
        {"first seen with reallocated sectors: a warning, not degrading",
         {pass({drive("M", "S", 8)}), pass({drive("M", "S", 8)})}, "M", "S", Verdict::warning,
         "WARNING: 8 reallocated sectors (present when first seen)"},
        {"first seen with reallocated sectors, then one more: degrading",
         {pass({drive("M", "S", 8)}), pass({drive("M", "S", 9)})}, "M", "S", Verdict::degrading,
         "DEGRADING: attribute 5 Reallocated Sectors Count 9 above first seen 8 since 2026-12-01 10:01:00"},
        {"acknowledged: OK while it stays, the count still in sight",
         {pass({drive("M", "S", 8)}), ack("S"), pass({drive("M", "S", 8)})}, "M", "S", Verdict::ok,
         "OK (acknowledged: 8 reallocated sectors (by tester (uid 1), 2026-12-01))"},
        {"rising after the acknowledgement: since the rise",
         {pass({drive("M", "S", 8)}), ack("S"), pass({drive("M", "S", 8)}), pass({drive("M", "S", 9, 2)})},
         "M", "S", Verdict::degrading,
         "DEGRADING: attribute 5 Reallocated Sectors Count 9 above baseline 8 since 2026-12-01 10:03:00, "
         "attribute 197 Current Pending Sector Count 2 above baseline 0 since 2026-12-01 10:03:00 "
         "(acknowledged: 8 reallocated sectors (by tester (uid 1), 2026-12-01))"},
        {"acknowledging one id leaves the other",
         {pass({drive("M", "S", 8, 1)}), ack("S", {197})}, "M", "S", Verdict::warning,
         "WARNING: 8 reallocated sectors (present when first seen), 1 pending sector "
         "(acknowledged: 1 pending sector (by tester (uid 1), 2026-12-01))"},
        // The latch: a rise stays DEGRADING until someone acknowledges it.
        {"pending sectors back to 0: still degrading",
         {pass({drive("M", "S", 0, 0)}), pass({drive("M", "S", 0, 16)}), pass({drive("M", "S", 0, 0)})},
         "M", "S", Verdict::degrading,
         "DEGRADING: attribute 197 Current Pending Sector Count was 16 since 2026-12-01 10:01:00, now 0 "
         "(first seen 0)"},
        {"pending sectors back to 0, then acknowledged: OK",
         {pass({drive("M", "S", 0, 0)}), pass({drive("M", "S", 0, 16)}), pass({drive("M", "S", 0, 0)}),
          ack("S"), pass({drive("M", "S", 0, 0)})},
         "M", "S", Verdict::ok, "OK"},
        {"latched, acknowledged, rising again: latched again from the new rise",
         {pass({drive("M", "S", 0, 0)}), pass({drive("M", "S", 0, 16)}), ack("S"), pass({drive("M", "S", 0, 0)}),
          pass({drive("M", "S", 0, 17)})},
         "M", "S", Verdict::degrading,
         "DEGRADING: attribute 197 Current Pending Sector Count 17 above baseline 16 since 2026-12-01 10:04:00 "
         "(acknowledged: 16 pending sectors (by tester (uid 1), 2026-12-01))"},
        {"pending sectors that come and go below the first count: no rise",
         {pass({drive("M", "S", 0, 3)}), pass({drive("M", "S", 0, 0)}), pass({drive("M", "S", 0, 1)})},
         "M", "S", Verdict::warning, "WARNING: 1 pending sector (present when first seen)"},
        // Sizes that matter by themselves stay in sight after an acknowledgement.
        {"large old damage acknowledged: still a warning",
         {pass({drive("M", "S", 3528, 24)}), ack("S")}, "M", "S", Verdict::warning,
         "WARNING: 3528 reallocated sectors, 24 pending sectors (acknowledged: 3528 reallocated sectors "
         "(by tester (uid 1), 2026-12-01), 24 pending sectors (by tester (uid 1), 2026-12-01))"},
        {"100 reallocated sectors acknowledged: a warning",
         {pass({drive("M", "S", 100)}), ack("S")}, "M", "S", Verdict::warning,
         "WARNING: 100 reallocated sectors (acknowledged: 100 reallocated sectors (by tester (uid 1), "
         "2026-12-01))"},
        {"99 reallocated sectors acknowledged: OK",
         {pass({drive("M", "S", 99)}), ack("S")}, "M", "S", Verdict::ok,
         "OK (acknowledged: 99 reallocated sectors (by tester (uid 1), 2026-12-01))"},
        // Counts read as counts: raw bytes 0-1.
        {"vendor bytes alone are no count", {pass({drive("M", "S", kHigh)})}, "M", "S", Verdict::ok, "OK"},
        {"vendor bits set above a count", {pass({drive("M", "S", kHigh | 3)})}, "M", "S", Verdict::warning,
         "WARNING: 3 reallocated sectors (present when first seen)"},
        {"vendor bytes that change while the count stays: no rise",
         {pass({drive("M", "S", 0, 0x6D4BFD220002ull)}), pass({drive("M", "S", 0, 0x31B90B710002ull)})}, "M", "S",
         Verdict::warning, "WARNING: 2 pending sectors (present when first seen)"},
        {"0xFFF8 flipping with 0: no rise, shown as no count",
         {pass({drive("M", "S", 0, 0)}), pass({drive("M", "S", 0, 0xFFF8)}), pass({drive("M", "S", 0, 0)}),
          pass({drive("M", "S", 0, 0xFFF8)})},
         "M", "S", Verdict::warning, "WARNING: attribute 197 Current Pending Sector Count not a count (0xFFF8)"},
        {"0xFFFF then 0 again: OK", {pass({drive("M", "S", 0, 0xFFFF)}), pass({drive("M", "S", 0, 0)})}, "M", "S",
         Verdict::ok, "OK"},
        {"gone and back in another slot: the same drive, its baseline kept",
         {pass({quiet, drive("M", "S", 4)}), ack("S"), pass({quiet}), pass({quiet, quiet, drive("M", "S", 4)})},
         "M", "S", Verdict::ok, "OK (acknowledged: 4 reallocated sectors (by tester (uid 1), 2026-12-01))"},
        {"gone and back in another slot, risen meanwhile",
         {pass({drive("M", "S", 4), quiet}), pass({quiet}), pass({quiet, drive("M", "S", 6)})}, "M", "S",
         Verdict::degrading,
         "DEGRADING: attribute 5 Reallocated Sectors Count 6 above first seen 4 since 2026-12-01 10:02:00"},
        {"same serial, other model: a drive of its own, not acknowledged with the first",
         {pass({drive("MODEL A", "DUP", 5), drive("MODEL B", "DUP", 5)}), ack("DUP", {}, "MODEL A"),
          pass({drive("MODEL A", "DUP", 5), drive("MODEL B", "DUP", 6)})},
         "MODEL B", "DUP", Verdict::degrading,
         "DEGRADING: attribute 5 Reallocated Sectors Count 6 above first seen 5 since 2026-12-01 10:02:00"},
        {"same serial, the acknowledged model",
         {pass({drive("MODEL A", "DUP", 5), drive("MODEL B", "DUP", 5)}), ack("DUP", {}, "MODEL A")},
         "MODEL A", "DUP", Verdict::ok, "OK (acknowledged: 5 reallocated sectors (by tester (uid 1), 2026-12-01))"},
        {"the drive's own threshold verdict comes first",
         {pass({drive("M", "S", 0, 0, 100)}), pass({drive("M", "S", 0, 4, 30)})}, "M", "S", Verdict::failing_now,
         "FAILING NOW: attribute 5 Reallocated Sectors Count; degrading: attribute 197 Current Pending "
         "Sector Count 4 above first seen 0 since 2026-12-01 10:01:00"},
        {"no SMART data is not OK", {pass({Drive{"BARE", "B1", {}}})}, "BARE", "B1", Verdict::no_smart_data,
         "NO SMART DATA"},
        {"not seen for longer than the missing time",
         {pass({quiet, drive("M", "S", 0)}), pass({quiet}), pass({quiet}), pass({quiet}), pass({quiet}),
          pass({quiet}), pass({quiet}), pass({quiet}), pass({quiet}), pass({quiet}), pass({quiet}),
          pass({quiet}), pass({quiet})},
         "M", "S", Verdict::missing, "DRIVE MISSING: not seen since 2026-12-01 10:00:00 (last in slot 1)"},
    };
    for (const Scenario& sc : scenarios) {
        TempDir dir;
        const std::string path = dir / "h.db";
        HistoryStore store;
        std::string error;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::int64_t t = kT0;
        platewise::SnapshotReport last;
        // A server's replays, kept from event to event, with the time shown
        // moving back and forth: each load must judge and show what a full
        // replay does.
        ViewReplays replays;
        std::size_t step = 0;
        for (const Event& e : sc.events) {
            if (e.kind == Event::pass) {
                ASSERT_TRUE(refresh_baselines(recorder, store, error)) << error;
                const auto snapshot = historytest::pass_of(e.drives);
                ASSERT_TRUE(record_snapshot(recorder, store, *snapshot, t, error)) << sc.what << ": " << error;
                ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), last, error));
                judge_pass(recorder, last, smart::default_attribute_table());
            } else {
                platewise::AckOptions o;
                o.store = path;
                o.serial = e.serial;
                o.model = e.model;
                o.ids = e.ids;
                o.now_ms = t;
                o.who = "tester (uid 1)";
                std::ostringstream out;
                std::ostringstream err;
                ASSERT_EQ(platewise::run_ack(o, out, err), 0) << sc.what << ": " << err.str();
            }
            historytest::expect_kept_replays_agree(store, replays, t, kWindows[step++ % std::size(kWindows)], sc.what);
            t += 60 * kSecond;
        }
        // What status says (the missing time: 10 minutes).
        ViewOptions vo;
        vo.now_ms = t - 60 * kSecond;
        vo.missing_after_ms = 10 * 60 * kSecond;
        std::vector<DriveView> views;
        ASSERT_TRUE(load_views(store, vo, views, error)) << error;
        const auto found = find_views(views, sc.serial, sc.model);
        ASSERT_EQ(found.size(), 1u) << sc.what;
        EXPECT_EQ(found[0]->report.verdict, sc.verdict) << sc.what;
        EXPECT_EQ(found[0]->report.verdict_text, sc.text) << sc.what;
        // What the listener says of the last pass, where the drive is in it
        // and nothing was acknowledged after it.
        if (sc.events.back().kind != Event::pass) {
            continue;
        }
        for (const platewise::DriveReport& d : last.drives) {
            if (d.model == sc.model && d.serial == sc.serial) {
                EXPECT_EQ(d.verdict_text, sc.text) << sc.what << " (listener)";
            }
        }
    }
}

// The latch is kept in the store: a listener started again, with the
// count back at 0, still says DEGRADING with the highest count seen; an
// acknowledgement removes it.
TEST(VerdictRules, LatchesAreStoredAndOutliveTheListener)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    std::string error;
    {
        HistoryStore store;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::int64_t t = kT0;
        for (const std::uint64_t pending : {0u, 16u, 20u, 3u}) {
            ASSERT_TRUE(record_snapshot(recorder, store, *historytest::pass_of({drive("M", "S", 0, pending)}), t,
                                        error))
                << error;
            t += 60 * kSecond;
        }
        std::vector<StoredLatch> latches;
        ASSERT_TRUE(load_latches(store, latches, error)) << error;
        ASSERT_EQ(latches.size(), 1u);
        EXPECT_EQ(latches[0].indicator, 197);
        EXPECT_EQ(latches[0].since_ms, kT0 + 60 * kSecond);
        EXPECT_EQ(latches[0].peak, 20u) << "the highest count seen";
    }
    HistoryStore store;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(store, recorder, path));
    const auto again = historytest::pass_of({drive("M", "S", 0, 0)});
    ASSERT_TRUE(record_snapshot(recorder, store, *again, kT0 + 10 * 60 * kSecond, error)) << error;
    platewise::SnapshotReport report;
    ASSERT_TRUE(platewise::report_snapshot(*again, smart::default_attribute_table(), report, error));
    judge_pass(recorder, report, smart::default_attribute_table());
    EXPECT_EQ(report.drives[0].verdict, Verdict::degrading);
    EXPECT_EQ(report.drives[0].verdict_text,
              "DEGRADING: attribute 197 Current Pending Sector Count was 20 since 2026-12-01 10:01:00, now 0 "
              "(first seen 0)");
    EXPECT_EQ(report.drives[0].reasons[0].rule, "latched");

    platewise::AckOptions o;
    o.store = path;
    o.serial = "S";
    o.now_ms = kT0 + 11 * 60 * kSecond;
    o.who = "alice";
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(platewise::run_ack(o, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("  attribute 197: baseline 0 (lifts DEGRADING: was 20 since 2026-12-01 10:01:00)\n"),
              std::string::npos)
        << out.str();
    std::vector<StoredLatch> latches;
    ASSERT_TRUE(load_latches(store, latches, error)) << error;
    EXPECT_TRUE(latches.empty());
    ASSERT_TRUE(refresh_baselines(recorder, store, error)) << error;
    ASSERT_TRUE(record_snapshot(recorder, store, *again, kT0 + 12 * 60 * kSecond, error)) << error;
    judge_pass(recorder, report, smart::default_attribute_table());
    EXPECT_EQ(report.drives[0].verdict, Verdict::ok) << report.drives[0].verdict_text;
}

// A server keeps its replays between loads; what others write beside the
// listener must still reach them: readings put in before a replay's end
// (by hand, or by an import), a reading from the future, another store
// under the same path.
TEST(VerdictRules, KeptReplaysSeeWhatOthersWroteBeside)
{
    historytest::use_utc();
    struct Row {
        const char* what;
        std::int64_t at_ms;  // the reading put in (none when 0)
        std::uint64_t pending;
        bool as_import;            // with a row in the imports table
        bool other_store;          // the loads go to another store under the path
        std::uint64_t then = 0;    // pending in a pass a minute later
        std::uint64_t rise = 8;    // pending in the fifth of the six passes before
    };
    const Row rows[] = {
        {"a reading put in between two others, within the time shown", kT0 + 270 * kSecond, 40, false, false},
        {"a reading put in before the time shown, by hand", kT0 + 30 * kSecond, 40, false, false},
        {"a reading put in before the drive's first, by an import", kT0 - 60 * kSecond, 40, true, false},
        {"a reading an hour from now, then a pass", kT0 + 3600 * kSecond, 40, false, false, 60, 0},
        {"another store, its first drive under the same id with as many readings", 0, 0, false, true},
    };
    const auto passes = [](HistoryStore& store, Recorder& recorder, const char* model, std::uint64_t base,
                           std::uint64_t rise) {
        std::string error;
        for (int minute = 0; minute <= 5; ++minute) {
            const auto snapshot = historytest::pass_of({drive(model, model, 0, minute == 4 ? rise : base)});
            ASSERT_TRUE(record_snapshot(recorder, store, *snapshot, kT0 + minute * 60 * kSecond, error)) << error;
        }
    };
    for (const Row& row : rows) {
        TempDir dir;
        HistoryStore store;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, dir / "h.db"));
        std::string error;
        ViewReplays replays;
        std::int64_t now = kT0 + 5 * 60 * kSecond;
        passes(store, recorder, "M", 0, row.rise);
        historytest::expect_kept_replays_agree(store, replays, now, 100 * kSecond, row.what);
        if (row.at_ms != 0) {
            Reading r;
            r.drive_id = recorder.drives[0].stored.id;
            r.time_ms = row.at_ms;
            r.kind = ReadingKind::change;
            r.attributes = {{197, 100, 100, 0, row.pending}};
            ASSERT_TRUE(insert_reading(store, r, error)) << error;
            if (row.as_import) {
                ASSERT_TRUE(store.db.exec("INSERT INTO imports(time_ms, digest) VALUES(1, 1)", error)) << error;
            }
            historytest::expect_kept_replays_agree(store, replays, now, 100 * kSecond, row.what);
        }
        if (row.then != 0) {
            now += 60 * kSecond;
            const auto snapshot = historytest::pass_of({drive("M", "M", 0, row.then)});
            ASSERT_TRUE(record_snapshot(recorder, store, *snapshot, now, error)) << error;
        }
        HistoryStore other;
        Recorder other_recorder;
        if (row.other_store) {
            ASSERT_TRUE(historytest::open_recording(other, other_recorder, dir / "other.db"));
            passes(other, other_recorder, "M2", 5, 9);
        }
        HistoryStore& read = row.other_store ? other : store;
        historytest::expect_kept_replays_agree(read, replays, now, 100 * kSecond, row.what);
        historytest::expect_kept_replays_agree(read, replays, now + 60 * kSecond, 0, row.what);
    }
}

TEST(VerdictRules, AcknowledgementRecordsWhoAndWhenAndRefusesOtherIds)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    HistoryStore store;
    std::string error;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(store, recorder, path));
    const auto snapshot = historytest::pass_of({drive("M", "S", 7, 2), drive("M2", "S", 0)});
    ASSERT_TRUE(record_snapshot(recorder, store, *snapshot, kT0, error)) << error;

    struct Row {
        const char* what;
        std::vector<int> ids;
        const char* model;
        const char* serial;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {"two drives share the serial", {}, "", "S", 2, "2 drives have serial S; name one with --model: \"M\" \"M2\""},
        {"no such drive", {}, "", "NOPE", 1, "no drive with serial NOPE in the history"},
        {"not a leading indicator", {9}, "M", "S", 2, "attribute 9 is not a leading indicator"},
        {"an indicator the drive lacks", {188}, "M", "S", 2, "the drive does not report attribute 188"},
        {"every indicator of the drive", {}, "M", "S", 0,
         "Acknowledged for M serial S by alice (uid 1000) at 2026-12-01 11:00:00:\n"
         "  attribute 5: baseline 7\n  attribute 197: baseline 2\n"},
    };
    for (const Row& row : rows) {
        platewise::AckOptions o;
        o.store = path;
        o.serial = row.serial;
        o.model = row.model;
        o.ids = row.ids;
        o.now_ms = kT0 + 3600 * kSecond;
        o.who = "alice (uid 1000)";
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(platewise::run_ack(o, out, err), row.status) << row.what;
        EXPECT_NE((out.str() + err.str()).find(row.says), std::string::npos) << row.what << ": " << out.str() << err.str();
    }
    std::vector<StoredBaseline> baselines;
    ASSERT_TRUE(load_baselines(store, baselines, error)) << error;
    ASSERT_EQ(baselines.size(), 2u);
    EXPECT_EQ(baselines[0].acked_by, "alice (uid 1000)");
    EXPECT_EQ(baselines[0].acked_ms, kT0 + 3600 * kSecond);
    EXPECT_EQ(baselines[1].attribute_id, 197);
    EXPECT_EQ(baselines[1].baseline, 2u);
}

// NVMe drives, from the health log's fields: the drive's own verdict first,
// then each DEGRADING rule at its boundary, acknowledgement, and missing.
TEST(VerdictRules, NvmeRulesAtTheirBoundaries)
{
    historytest::use_utc();
    struct NvmeEvent {
        enum Kind { pass, ack } kind;
        std::vector<NvmeDrive> drives;  // pass: the NVMe slots
        std::vector<int> ids = {};      // ack of serial N1
    };
    const auto pass = [](std::vector<NvmeDrive> d) { return NvmeEvent{NvmeEvent::pass, std::move(d)}; };
    const auto ack = [](std::vector<int> ids = {}) { return NvmeEvent{NvmeEvent::ack, {}, std::move(ids)}; };
    const auto nv = [](auto&& set) {
        NvmeDrive d{"NVME DISK", "N1"};
        set(d);
        return d;
    };
    const NvmeDrive fine = nv([](NvmeDrive&) {});
    const NvmeDrive other{"OTHER", "O1"};
    struct Row {
        const char* what;
        std::vector<NvmeEvent> events;  // one a minute from kT0
        Verdict verdict;
        const char* text;
    };
    const Row rows[] = {
        {"a fresh drive is OK", {pass({fine})}, Verdict::ok, "OK"},
        {"spare 9 points down: OK", {pass({nv([](NvmeDrive& d) { d.spare = 91; })})}, Verdict::ok, "OK"},
        {"spare exactly 10 points down from 100: degrading",
         {pass({fine}), pass({nv([](NvmeDrive& d) { d.spare = 90; })})}, Verdict::degrading,
         "DEGRADING: available spare 90% down 10 points from baseline 100% since 2026-12-01 10:01:00"},
        {"spare acknowledged at 80: 71 is OK",
         {pass({nv([](NvmeDrive& d) { d.spare = 80; })}), ack({34}), pass({nv([](NvmeDrive& d) { d.spare = 71; })})},
         Verdict::ok, "OK"},
        {"spare acknowledged at 80: 70 is degrading",
         {pass({nv([](NvmeDrive& d) { d.spare = 80; })}), ack({34}), pass({nv([](NvmeDrive& d) { d.spare = 70; })})},
         Verdict::degrading,
         "DEGRADING: available spare 70% down 10 points from baseline 80% since 2026-12-01 10:02:00"},
        {"percentage used 89: OK", {pass({nv([](NvmeDrive& d) { d.used = 89; })})}, Verdict::ok, "OK"},
        {"percentage used 90: degrading", {pass({nv([](NvmeDrive& d) { d.used = 90; })})}, Verdict::degrading,
         "DEGRADING: percentage used 90% (90 or more: the drive nears its rated wear) since 2026-12-01 10:00:00"},
        {"percentage used 90 is not acknowledged away",
         {pass({nv([](NvmeDrive& d) { d.used = 90; })}), ack()}, Verdict::degrading,
         "DEGRADING: percentage used 90% (90 or more: the drive nears its rated wear) since 2026-12-01 10:00:00"},
        {"error-log entries above the unacknowledged baseline 0",
         {pass({nv([](NvmeDrive& d) { d.error_log = 5; })})}, Verdict::degrading,
         "DEGRADING: error information log entries 5 above baseline 0 since 2026-12-01 10:00:00"},
        {"error-log entries equal to the acknowledged baseline: OK",
         {pass({nv([](NvmeDrive& d) { d.error_log = 5; })}), ack(), pass({nv([](NvmeDrive& d) { d.error_log = 5; })})},
         Verdict::ok, "OK"},
        {"error-log entries one above the acknowledged baseline",
         {pass({nv([](NvmeDrive& d) { d.error_log = 5; })}), ack(), pass({nv([](NvmeDrive& d) { d.error_log = 6; })})},
         Verdict::degrading,
         "DEGRADING: error information log entries 6 above baseline 5 since 2026-12-01 10:02:00"},
        {"media errors equal to the acknowledged baseline: the drive's own warning stays",
         {pass({nv([](NvmeDrive& d) { d.media_errors = 2; })}), ack({37}),
          pass({nv([](NvmeDrive& d) { d.media_errors = 2; })})},
         Verdict::warning, "WARNING: media errors 2"},
        {"media errors one above the acknowledged baseline",
         {pass({nv([](NvmeDrive& d) { d.media_errors = 2; })}), ack({37}),
          pass({nv([](NvmeDrive& d) { d.media_errors = 3; })})},
         // DEGRADING is the higher tier: the rise heads the drive's own warning.
         Verdict::degrading,
         "DEGRADING: media and data integrity errors 3 above baseline 2 since "
         "2026-12-01 10:02:00; warning: media errors 3"},
        // A count that rose and a spare that fell stay DEGRADING once back
        // within their boundary, until acknowledged.
        {"media errors one above the baseline, then back: latched",
         {pass({fine}), pass({nv([](NvmeDrive& d) { d.media_errors = 1; })}), pass({fine})}, Verdict::degrading,
         "DEGRADING: media and data integrity errors was 1 since 2026-12-01 10:01:00, now 0 (baseline 0)"},
        {"media errors equal to the acknowledged baseline, then back: no latch",
         {pass({nv([](NvmeDrive& d) { d.media_errors = 2; })}), ack({37}),
          pass({nv([](NvmeDrive& d) { d.media_errors = 2; })}), pass({fine})},
         Verdict::ok, "OK"},
        {"media errors one above the acknowledged baseline, then back: latched at the peak",
         {pass({nv([](NvmeDrive& d) { d.media_errors = 2; })}), ack({37}),
          pass({nv([](NvmeDrive& d) { d.media_errors = 3; })}), pass({nv([](NvmeDrive& d) { d.media_errors = 5; })}),
          pass({nv([](NvmeDrive& d) { d.media_errors = 2; })})},
         Verdict::degrading,
         "DEGRADING: media and data integrity errors was 5 since 2026-12-01 10:02:00, now 2 (baseline 2); "
         "warning: media errors 2"},
        {"media errors latched: ack lifts the latch",
         {pass({nv([](NvmeDrive& d) { d.media_errors = 1; })}), pass({fine}), ack()}, Verdict::ok, "OK"},
        {"media errors latched: ack of another field keeps it",
         {pass({nv([](NvmeDrive& d) { d.media_errors = 1; })}), pass({fine}), ack({38})}, Verdict::degrading,
         "DEGRADING: media and data integrity errors was 1 since 2026-12-01 10:00:00, now 0 (baseline 0)"},
        {"error-log entries rose and fell: latched",
         {pass({nv([](NvmeDrive& d) { d.error_log = 4; })}), pass({fine}), pass({fine})}, Verdict::degrading,
         "DEGRADING: error information log entries was 4 since 2026-12-01 10:00:00, now 0 (baseline 0)"},
        {"spare exactly 10 points down, then back up: latched",
         {pass({fine}), pass({nv([](NvmeDrive& d) { d.spare = 90; })}), pass({fine})}, Verdict::degrading,
         "DEGRADING: available spare was 90% since 2026-12-01 10:01:00, now 100% (baseline 100%)"},
        {"spare 9 points down, then back up: no latch",
         {pass({nv([](NvmeDrive& d) { d.spare = 91; })}), pass({fine})}, Verdict::ok, "OK"},
        {"spare latched at its lowest",
         {pass({nv([](NvmeDrive& d) { d.spare = 88; })}), pass({nv([](NvmeDrive& d) { d.spare = 80; })}),
          pass({nv([](NvmeDrive& d) { d.spare = 85; })}), pass({nv([](NvmeDrive& d) { d.spare = 95; })})},
         Verdict::degrading,
         "DEGRADING: available spare was 80% since 2026-12-01 10:00:00, now 95% (baseline 100%)"},
        {"spare acknowledged at 80, exactly 10 down, then back: latched",
         {pass({nv([](NvmeDrive& d) { d.spare = 80; })}), ack({34}), pass({nv([](NvmeDrive& d) { d.spare = 70; })}),
          pass({nv([](NvmeDrive& d) { d.spare = 80; })})},
         Verdict::degrading, "DEGRADING: available spare was 70% since 2026-12-01 10:02:00, now 80% (baseline 80%)"},
        {"spare latched: ack takes today's spare and lifts it",
         {pass({nv([](NvmeDrive& d) { d.spare = 85; })}), pass({nv([](NvmeDrive& d) { d.spare = 95; })}), ack({34}),
          pass({nv([](NvmeDrive& d) { d.spare = 95; })})},
         Verdict::ok, "OK"},
        {"critical warning: the drive's own verdict comes first",
         {pass({nv([](NvmeDrive& d) { d.warning = 0x04; d.used = 95; })})}, Verdict::failing_now,
         "FAILING NOW: reliability degraded; degrading: percentage used 95% (90 or more: the drive nears its "
         "rated wear) since 2026-12-01 10:00:00"},
        {"not seen for longer than the missing time",
         {pass({other, fine}), pass({other}), pass({other}), pass({other}), pass({other}), pass({other}),
          pass({other}), pass({other}), pass({other}), pass({other}), pass({other}), pass({other})},
         Verdict::missing, "DRIVE MISSING: not seen since 2026-12-01 10:00:00 (last in slot 1)"},
        {"the same drive by its EUI-64 in another slot: its baseline kept",
         {pass({nv([](NvmeDrive& d) { d.error_log = 5; d.eui64 = 0x0025385b71b0c4d1; })}), ack(),
          pass({other, nv([](NvmeDrive& d) { d.error_log = 5; d.eui64 = 0x0025385b71b0c4d1; })})},
         Verdict::ok, "OK"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string path = dir / "h.db";
        HistoryStore store;
        std::string error;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::int64_t t = kT0;
        std::vector<int> slot_drive;
        ViewReplays replays;
        std::size_t step = 0;
        for (const NvmeEvent& e : row.events) {
            if (e.kind == NvmeEvent::pass) {
                ASSERT_TRUE(refresh_baselines(recorder, store, error)) << error;
                const auto snapshot = historytest::nvme_pass_of(e.drives);
                ASSERT_TRUE(record_nvme_snapshot(recorder, store, *snapshot, t, slot_drive, error))
                    << row.what << ": " << error;
            } else {
                platewise::AckOptions o;
                o.store = path;
                o.serial = "N1";
                o.ids = e.ids;
                o.now_ms = t;
                o.who = "tester (uid 1)";
                std::ostringstream out;
                std::ostringstream err;
                ASSERT_EQ(platewise::run_ack(o, out, err), 0) << row.what << ": " << err.str();
            }
            historytest::expect_kept_replays_agree(store, replays, t, kWindows[step++ % std::size(kWindows)], row.what);
            t += 60 * kSecond;
        }
        ViewOptions vo;
        vo.now_ms = t - 60 * kSecond;
        vo.missing_after_ms = 10 * 60 * kSecond;
        std::vector<DriveView> views;
        ASSERT_TRUE(load_views(store, vo, views, error)) << error;
        const auto found = find_views(views, "N1", "");
        ASSERT_EQ(found.size(), 1u) << row.what;
        EXPECT_EQ(found[0]->drive.kind, DriveKind::nvme) << row.what;
        EXPECT_EQ(found[0]->report.verdict, row.verdict) << row.what;
        EXPECT_EQ(found[0]->report.verdict_text, row.text) << row.what;
        // The listener's verdict of the last pass, where the drive is in it.
        if (row.events.back().kind != NvmeEvent::pass) {
            continue;
        }
        for (std::size_t slot = 0; slot < slot_drive.size(); ++slot) {
            if (slot_drive[slot] >= 0 &&
                recorder.drives[static_cast<std::size_t>(slot_drive[slot])].stored.serial == "N1") {
                EXPECT_EQ(judge_nvme_recorded(recorder, static_cast<std::size_t>(slot_drive[slot])).verdict_text,
                          row.text)
                    << row.what << " (listener)";
            }
        }
    }
}

// What ack says of an NVMe drive, and what it refuses.
TEST(VerdictRules, NvmeAcknowledgementTakesCountsAndSpare)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    HistoryStore store;
    std::string error;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(store, recorder, path));
    NvmeDrive d{"NVME DISK", "N1"};
    d.spare = 87;
    d.media_errors = 4;
    d.error_log = 0x1'0000'0005ull;  // past 32 bits: the baseline saturates
    std::vector<int> slot_drive;
    ASSERT_TRUE(record_nvme_snapshot(recorder, store, *historytest::nvme_pass_of({d}), kT0, slot_drive, error))
        << error;
    struct Row {
        std::vector<int> ids;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {{5}, 2, "field 5 of an NVMe drive takes no baseline (34 available_spare, 37 media_errors, 38 error_log_entries)"},
        {{36}, 2, "field 36 of an NVMe drive takes no baseline"},
        {{}, 0,
         "Acknowledged for NVME DISK serial N1 by alice (uid 1000) at 2026-12-01 11:00:00:\n"
         // Past their boundaries when seen: the latches go with the acknowledgement.
         "  available_spare (34): baseline 87 (lifts DEGRADING: was 87% since 2026-12-01 10:00:00)\n"
         "  media_errors (37): baseline 4 (lifts DEGRADING: was 4 since 2026-12-01 10:00:00)\n"
         "  error_log_entries (38): baseline 4294967295 (lifts DEGRADING: was 4294967295 since 2026-12-01 10:00:00)\n"},
    };
    for (const Row& row : rows) {
        platewise::AckOptions o;
        o.store = path;
        o.serial = "N1";
        o.ids = row.ids;
        o.now_ms = kT0 + 3600 * kSecond;
        o.who = "alice (uid 1000)";
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(platewise::run_ack(o, out, err), row.status);
        EXPECT_NE((out.str() + err.str()).find(row.says), std::string::npos) << out.str() << err.str();
    }
    std::vector<StoredBaseline> baselines;
    ASSERT_TRUE(load_baselines(store, baselines, error)) << error;
    ASSERT_EQ(baselines.size(), 3u);
    EXPECT_EQ(baselines[0].acked_by, "alice (uid 1000)");
    EXPECT_EQ(baselines[0].acked_ms, kT0 + 3600 * kSecond);
}

// ack --all on a machine with both kinds: each drive by its kind; ids given
// leave the drives of the other kind alone; an id of neither kind refused.
TEST(VerdictRules, AcknowledgingAllTakesEachDriveByItsKind)
{
    historytest::use_utc();
    struct Row {
        std::vector<int> ids;
        int status;
        std::vector<std::pair<std::int64_t, int>> baselines;  // (drive: 1 ATA, 2 NVMe; field or attribute)
        const char* says;
    };
    const Row rows[] = {
        {{}, 0, {{1, 5}, {1, 197}, {2, 34}, {2, 37}, {2, 38}},
         "  available_spare (34): baseline 87 (lifts DEGRADING: was 87% since 2026-12-01 10:00:01)\n"},
        {{197}, 0, {{1, 197}}, "Acknowledged for PW ATA serial A1"},
        {{34, 37}, 0, {{2, 34}, {2, 37}}, "  media_errors (37): baseline 4 (lifts DEGRADING: was 4 since 2026-12-01 10:00:01)\n"},
        {{197, 34}, 0, {{1, 197}, {2, 34}}, "  attribute 197: baseline 3"},
        {{36}, 2, {}, "36 is neither a leading indicator"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string path = dir / "h.db";
        HistoryStore store;
        std::string error;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        const Drive ata{"PW ATA", "A1", {{5, 100, 100, 36, 0}, {197, 100, 100, 0, 3}}};
        ASSERT_TRUE(record_snapshot(recorder, store, *historytest::pass_of({ata}), kT0, error)) << error;
        NvmeDrive d{"NVME DISK", "N1"};
        d.spare = 87;
        d.media_errors = 4;
        std::vector<int> slot_drive;
        ASSERT_TRUE(record_nvme_snapshot(recorder, store, *historytest::nvme_pass_of({{}, d}), kT0 + kSecond,
                                         slot_drive, error))
            << error;
        ASSERT_TRUE(flush_recorder(recorder, store, error)) << error;
        platewise::AckOptions o;
        o.store = path;
        o.all = true;
        o.ids = row.ids;
        o.now_ms = kT0 + 60 * kSecond;
        o.who = "alice (uid 1000)";
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(platewise::run_ack(o, out, err), row.status) << err.str();
        EXPECT_NE((out.str() + err.str()).find(row.says), std::string::npos) << out.str() << err.str();
        std::vector<StoredBaseline> baselines;
        ASSERT_TRUE(load_baselines(store, baselines, error)) << error;
        std::vector<std::pair<std::int64_t, int>> got;
        for (const StoredBaseline& b : baselines) {
            got.emplace_back(b.drive_id, b.attribute_id);
        }
        EXPECT_EQ(got, row.baselines) << out.str();
    }
}

}  // namespace
