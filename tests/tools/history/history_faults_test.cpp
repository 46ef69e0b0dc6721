// The recorder under faults: one pass in which a file operation (a write,
// a sync, a truncate, a lock) or a whole statement fails at every point in
// turn, then clean passes. Whatever failed, the store stays consistent and
// no drive is lost: every drive seen has its row, readings belong to drives
// that exist, and the readings add up to the table last seen.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>

#include "fault_vfs.h"
#include "history/verdict_rules.h"
#include "history_test_support.h"

namespace {

using namespace platewise::history;
using historytest::Drive;
using historytest::kSecond;
using historytest::kT0;
using historytest::pass_of;

Drive drive(const std::string& serial, std::uint64_t reallocated)
{
    return {"PW FAULT DISK", serial, {{5, 100, 100, 36, reallocated}, {194, 40, 30, 0, 40}}};
}

// Interrupts the `nth` statement run on `db` from now on (0: none), as a
// statement that fails for any reason would: SQLite abandons it and, inside
// a transaction, may roll the whole transaction back.
struct StatementFault {
    int nth = 0;
    int seen = 0;
    bool fired = false;

    void attach(sqlite3* db)
    {
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &StatementFault::on_statement, this);
        sqlite3_progress_handler(db, 1, &StatementFault::on_progress, this);
    }
    static int on_statement(unsigned, void* self, void*, void*)
    {
        auto* f = static_cast<StatementFault*>(self);
        ++f->seen;
        return 0;
    }
    static int on_progress(void* self)
    {
        auto* f = static_cast<StatementFault*>(self);
        if (f->nth != 0 && f->seen == f->nth && !f->fired) {
            f->fired = true;
            return 1;
        }
        return 0;
    }
};

// Everything the store and the recorder must agree on after a clean pass
// that held `drives` in order.
void expect_consistent(HistoryStore& store, const Recorder& recorder, const std::vector<Drive>& drives,
                       const std::string& where)
{
    SCOPED_TRACE(where);
    std::string error;
    Statement check;
    ASSERT_TRUE(store.db.prepare("PRAGMA quick_check", check, error)) << error;
    ASSERT_EQ(check.step(), Step::row);
    EXPECT_EQ(check.column_text(0), "ok");
    check = Statement();

    std::vector<StoredDrive> stored;
    ASSERT_TRUE(load_drives(store, stored, error)) << error;
    ASSERT_EQ(stored.size(), drives.size()) << "every drive seen has exactly one row";
    Statement orphans;
    ASSERT_TRUE(store.db.prepare("SELECT count(*) FROM readings WHERE drive_id NOT IN "
                                 "(SELECT id FROM drives)",
                                 orphans, error))
        << error;
    ASSERT_EQ(orphans.step(), Step::row);
    EXPECT_EQ(orphans.column_int(0), 0) << "readings of a drive that has no row";

    ASSERT_GE(recorder.slot_drive.size(), drives.size());
    for (std::size_t slot = 0; slot < drives.size(); ++slot) {
        SCOPED_TRACE(drives[slot].serial);
        const int index = recorder.slot_drive[slot];
        ASSERT_GE(index, 0);
        const RecordedDrive& live = recorder.drives[static_cast<std::size_t>(index)];
        EXPECT_EQ(live.stored.serial, drives[slot].serial);
        const auto row = std::find_if(stored.begin(), stored.end(), [&](const StoredDrive& d) {
            return d.serial == drives[slot].serial;
        });
        ASSERT_NE(row, stored.end()) << "the drive was lost";
        EXPECT_EQ(live.stored.id, row->id);
        std::vector<Reading> readings;
        ASSERT_TRUE(load_readings(store, row->id, INT64_MIN, readings, error)) << error;
        ASSERT_FALSE(readings.empty());
        EXPECT_EQ(readings.front().kind, ReadingKind::full);
        std::vector<AttributeSample> table;
        for (const Reading& r : readings) {
            apply_reading(table, r);
        }
        ASSERT_EQ(table.size(), drives[slot].attributes.size());
        EXPECT_EQ(table[0].raw, drives[slot].attributes[0].raw) << "the readings miss a change";
        EXPECT_EQ(row->current, table);
    }
}

enum class Fault { file_operation, statement };

// One known drive, then a pass adding two new drives whose writing fails at
// the `nth` point, then clean passes. False once the nth point lies beyond
// what the pass does (nothing failed).
bool run_faulted_pass(Fault kind, int nth, historytest::FaultVfs& vfs)
{
    SCOPED_TRACE((kind == Fault::statement ? "statement " : "file operation ") + std::to_string(nth));
    TempDir dir;
    HistoryStore store;
    Recorder recorder;
    std::string error;
    if (!historytest::open_recording(store, recorder, dir / "h.db")) {
        return false;
    }
    StatementFault statements;
    statements.attach(store.db.handle());
    std::int64_t t = kT0;
    auto first = pass_of({drive("A", 1)});
    EXPECT_TRUE(record_snapshot(recorder, store, *first, t, error)) << error;

    const std::vector<Drive> all{drive("A", 2), drive("B", 2), drive("C", 2)};
    auto faulted = pass_of(all);
    t += 5 * kSecond;
    if (kind == Fault::statement) {
        statements.seen = 0;
        statements.nth = nth;
    } else {
        vfs.arm(nth);
    }
    const bool ok = record_snapshot(recorder, store, *faulted, t, error);
    vfs.disarm();
    statements.nth = 0;
    const bool fired = kind == Fault::statement ? statements.fired : vfs.fired();
    if (!ok) {
        EXPECT_TRUE(fired) << "a pass failed with no fault: " << error;
        EXPECT_EQ(recorder.write_failures, 1u);
    }
    // The verdict of the failed pass still sees every drive.
    for (std::size_t slot = 0; slot < all.size(); ++slot) {
        EXPECT_GE(recorder.slot_drive[slot], 0) << "slot " << slot;
    }

    // Clean passes: a change each, so that a reading is due.
    for (std::uint64_t r = 3; r <= 4; ++r) {
        t += 5 * kSecond;
        const std::vector<Drive> now{drive("A", r), drive("B", r), drive("C", r)};
        auto p = pass_of(now);
        EXPECT_TRUE(record_snapshot(recorder, store, *p, t, error)) << error;
        expect_consistent(store, recorder, now, "after pass at " + std::to_string(t));
    }
    // What a listener started now loads agrees with the live recorder.
    Recorder reloaded;
    EXPECT_TRUE(load_recorder(reloaded, store, false, error)) << error;
    EXPECT_EQ(reloaded.drives.size(), 3u);
    return fired;
}

TEST(HistoryFaults, EveryFileOperationOfAPassMayFailWithoutLosingADrive)
{
    historytest::FaultVfs vfs;
    int n = 1;
    while (n < 200 && run_faulted_pass(Fault::file_operation, n, vfs)) {
        ++n;
    }
    EXPECT_GT(n, 2) << "the pass did no counted file operation";
    EXPECT_LT(n, 200);
}

TEST(HistoryFaults, EveryStatementOfAPassMayFailWithoutLosingADrive)
{
    historytest::FaultVfs vfs;
    int n = 1;
    while (n < 200 && run_faulted_pass(Fault::statement, n, vfs)) {
        ++n;
    }
    EXPECT_GT(n, 5) << "the pass ran fewer statements than it writes";
    EXPECT_LT(n, 200);
}

// Another process (an import beside the listener) inserts a drive the
// listener has not written yet: the listener's insert takes that row, and
// a row removed by hand is inserted again.
TEST(HistoryFaults, AnotherWritersRowIsTakenAndARemovedRowComesBack)
{
    TempDir dir;
    HistoryStore store;
    Recorder recorder;
    std::string error;
    ASSERT_TRUE(historytest::open_recording(store, recorder, dir / "h.db"));
    auto first = pass_of({drive("A", 1)});
    ASSERT_TRUE(record_snapshot(recorder, store, *first, kT0, error)) << error;

    HistoryStore other;
    Recorder importer;
    ASSERT_TRUE(historytest::open_recording(other, importer, dir / "h.db"));
    auto earlier = pass_of({drive("A", 1), drive("B", 1)});
    ASSERT_TRUE(record_snapshot(importer, other, *earlier, kT0 - 3600 * kSecond, error)) << error;
    ASSERT_TRUE(flush_recorder(importer, other, error)) << error;

    std::int64_t t = kT0;
    for (std::uint64_t r = 2; r <= 3; ++r) {
        t += 5 * kSecond;
        const std::vector<Drive> now{drive("A", r), drive("B", r)};
        auto p = pass_of(now);
        EXPECT_TRUE(record_snapshot(recorder, store, *p, t, error)) << error;
        expect_consistent(store, recorder, now, "beside an import");
    }
    std::vector<StoredDrive> stored;
    ASSERT_TRUE(load_drives(store, stored, error)) << error;
    EXPECT_EQ(stored[1].first_seen_ms, kT0 - 3600 * kSecond) << "the earlier sighting stays";

    ASSERT_TRUE(other.db.exec("DELETE FROM readings WHERE drive_id = 2; DELETE FROM drives WHERE id = 2",
                              error))
        << error;
    const std::vector<Drive> later{drive("A", 4), drive("B", 4)};
    auto p = pass_of(later);
    t += 5 * kSecond;
    EXPECT_FALSE(record_snapshot(recorder, store, *p, t, error)) << "an update of no row went unnoticed";
    EXPECT_NE(error.find("no longer in the history"), std::string::npos) << error;
    t += 5 * kSecond;
    EXPECT_TRUE(record_snapshot(recorder, store, *p, t, error)) << error;
    expect_consistent(store, recorder, later, "after the row was removed");
}

}  // namespace
