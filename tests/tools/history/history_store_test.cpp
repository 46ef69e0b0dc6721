// The history against real SQLite files: what is written when (changes
// only, hourly samples), the schema and its migration, the files it
// refuses and leaves alone, and write failures that cost the history only.
#include <gtest/gtest.h>
#include <sqlite3.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <filesystem>

#include "history/event_store.h"
#include "history/store_file.h"
#include "history/verdict_rules.h"
#include "history_test_support.h"

namespace {

using namespace platewise::history;
using historytest::Attr;
using historytest::Drive;
using historytest::kHour;
using historytest::kSecond;
using historytest::kT0;
using historytest::pass_of;

std::vector<Reading> readings_of(HistoryStore& store, std::int64_t drive_id)
{
    std::vector<Reading> readings;
    std::string error;
    EXPECT_TRUE(load_readings(store, drive_id, INT64_MIN, readings, error)) << error;
    return readings;
}

std::vector<std::uint8_t> ids_of(const Reading& r)
{
    std::vector<std::uint8_t> ids;
    for (const AttributeSample& a : r.attributes) {
        ids.push_back(a.id);
    }
    return ids;
}

Drive disk(std::uint64_t reallocated, std::uint64_t temperature, std::uint8_t worst1 = 90,
           std::uint8_t value1 = 100)
{
    return {"PW TEST DISK", "SER-1",
            {{1, value1, worst1, 6, 12345}, {5, 100, 100, 36, reallocated}, {9, 99, 99, 0, 1000},
             {194, static_cast<std::uint8_t>(temperature), 30, 0, temperature}}};
}

TEST(HistoryStore, WritesChangesAtOnceRawDriftHourlyAndFlatLinesAsSamples)
{
    TempDir dir;
    HistoryStore store;
    std::string error;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(store, recorder, dir / "h.db"));

    struct Step {
        std::int64_t at;
        Drive drive;
        ReadingKind kind;  // the reading this pass adds
        bool adds;         // false: nothing new in readings
        std::vector<std::uint8_t> ids;
    };
    const Step steps[] = {
        {0, disk(0, 40), ReadingKind::full, true, {1, 5, 9, 194}},
        {5 * kSecond, disk(0, 40), ReadingKind::full, false, {}},      // nothing changed
        {10 * kSecond, disk(0, 41), ReadingKind::full, false, {}},     // temperature drifts: waits
        {15 * kSecond, disk(2, 41), ReadingKind::change, true, {5, 194}},  // an indicator: at once
        {20 * kSecond, disk(2, 41, 89), ReadingKind::change, true, {1}},  // a new worst: at once
        {25 * kSecond, disk(2, 41, 89, 95), ReadingKind::full, false, {}},  // a value far above: waits
        {30 * kSecond, disk(2, 41, 5, 5), ReadingKind::change, true, {1}},  // at its threshold: at once
        {35 * kSecond, disk(2, 41, 5, 95), ReadingKind::change, true, {1}},  // and back above it
        {kHour - kSecond, disk(2, 42, 5, 95), ReadingKind::full, false, {}},
        {kHour, disk(2, 42, 5, 95), ReadingKind::sample, true, {194}},    // the hour: the drift
        {2 * kHour, disk(2, 42, 5, 95), ReadingKind::sample, true, {}},   // a flat hour
    };
    std::size_t expected = 0;
    for (const Step& step : steps) {
        const auto pass = pass_of({step.drive});
        ASSERT_TRUE(record_snapshot(recorder, store, *pass, kT0 + step.at, error)) << error;
        const std::vector<Reading> readings = readings_of(store, 1);
        if (step.adds) {
            ++expected;
        }
        ASSERT_EQ(readings.size(), expected) << "after +" << step.at << " ms";
        if (step.adds) {
            EXPECT_EQ(readings.back().kind, step.kind) << "after +" << step.at << " ms";
            EXPECT_EQ(ids_of(readings.back()), step.ids) << "after +" << step.at << " ms";
            EXPECT_EQ(readings.back().time_ms, kT0 + step.at);
        }
    }
    // The readings add up to the last table.
    const std::vector<Reading> readings = readings_of(store, 1);
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        apply_reading(table, r);
    }
    EXPECT_EQ(table, samples_of(historytest::record_of(disk(2, 42, 5, 95))));

    // Another listener on the same file takes up where this one stopped:
    // the same table writes nothing but the next hour's sample.
    HistoryStore again;
    Recorder resumed;
    ASSERT_TRUE(historytest::open_recording(again, resumed, dir / "h.db"));
    ASSERT_EQ(resumed.drives.size(), 1u);
    EXPECT_EQ(resumed.drives[0].stored.first_seen_ms, kT0);
    const auto same = pass_of({disk(2, 42, 5, 95)});
    ASSERT_TRUE(record_snapshot(resumed, again, *same, kT0 + 2 * kHour + 5 * kSecond, error));
    EXPECT_EQ(readings_of(again, 1).size(), expected);
    ASSERT_TRUE(record_snapshot(resumed, again, *same, kT0 + 3 * kHour, error));
    EXPECT_EQ(readings_of(again, 1).size(), expected + 1);
}

TEST(HistoryStore, KnowsDrivesByModelSerialAndWorldWideNameNeverBySlot)
{
    TempDir dir;
    HistoryStore store;
    std::string error;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(store, recorder, dir / "h.db"));
    const Drive a{"MODEL A", "SAME", {{5, 100, 100, 36, 0}}};
    const Drive b{"MODEL B", "SAME", {{5, 100, 100, 36, 0}}};
    const Drive blank{"", "", {}};
    auto p1 = pass_of({a, b});
    ASSERT_TRUE(record_snapshot(recorder, store, *p1, kT0, error)) << error;
    auto p2 = pass_of({blank, b, blank, a});  // moved slots; slots without IDENTIFY
    ASSERT_TRUE(record_snapshot(recorder, store, *p2, kT0 + 5 * kSecond, error)) << error;
    std::vector<StoredDrive> drives;
    ASSERT_TRUE(load_drives(store, drives, error)) << error;
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].model, "MODEL A");
    EXPECT_EQ(drives[0].last_slot, 3);
    EXPECT_EQ(drives[1].last_slot, 1);
    EXPECT_EQ(recorder.slot_drive, (std::vector<int>{-1, 1, -1, 0}));

    // The world-wide name (words 108-111, marked supported in word 87)
    // tells two drives apart that share model and serial.
    smart::DriveRecord r = historytest::record_of(a);
    tooltest::put_word(r.identify, 87, 0x4100);
    tooltest::put_word(r.identify, 108, 0x5000);
    tooltest::put_word(r.identify, 111, 0x0042);
    EXPECT_EQ(identify_wwn(r.identify), "5000000000000042");
    tooltest::put_word(r.identify, 87, 0x0100);  // validity bits not 01: not reported
    EXPECT_EQ(identify_wwn(r.identify), "");
}

TEST(HistoryStore, MigratesAnOlderSchemaKeepingItsRows)
{
    TempDir dir;
    const std::string path = dir / "old.db";
    {
        Database db;
        std::string error;
        ASSERT_TRUE(db.open(path, false, true, error)) << error;
        ASSERT_TRUE(create_schema_version(db, 1, error)) << error;
        ASSERT_TRUE(db.exec("INSERT INTO drives(model, serial, first_seen_ms, last_seen_ms) "
                            "VALUES('OLD', 'S1', 1, 2)",
                            error))
            << error;
    }
    ::chmod(path.c_str(), 0640);
    HistoryStore ro;
    std::string error;
    EXPECT_FALSE(open_history(ro, path, true, error));
    EXPECT_NE(error.find("needs migrating"), std::string::npos) << error;

    HistoryStore store;
    ASSERT_TRUE(open_history(store, path, false, error)) << error;
    std::vector<StoredDrive> drives;
    ASSERT_TRUE(load_drives(store, drives, error)) << error;
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].model, "OLD");
    StoredBaseline b{drives[0].id, 5, 3, 10, "tester"};
    EXPECT_TRUE(set_baseline(store, b, error)) << error;
    Statement s;
    ASSERT_TRUE(store.db.prepare("PRAGMA user_version", s, error));
    ASSERT_EQ(s.step(), Step::row);
    EXPECT_EQ(s.column_int(0), kSchemaVersion);
    ASSERT_TRUE(store.db.prepare("PRAGMA journal_mode", s, error));
    ASSERT_EQ(s.step(), Step::row);
    EXPECT_EQ(s.column_text(0), "wal");
}

TEST(HistoryStore, MigratesAVersionTwoStoreHoldingAtaHistoryInPlace)
{
    TempDir dir;
    const std::string path = dir / "v2.db";
    {
        Database db;
        std::string error;
        ASSERT_TRUE(db.open(path, false, true, error)) << error;
        ASSERT_TRUE(create_schema_version(db, 2, error)) << error;
        ASSERT_TRUE(db.exec("INSERT INTO drives(model, serial, first_seen_ms, last_seen_ms) "
                            "VALUES('ST1', 'S2', 5, 6);"
                            "INSERT INTO readings VALUES(1, 5, 1, x'05646400000000000000');"
                            "INSERT INTO baselines VALUES(1, 5, 0, 7, 'alice');",
                            error))
            << error;
    }
    ::chmod(path.c_str(), 0640);
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, path, false, error)) << error;
    std::vector<StoredDrive> drives;
    ASSERT_TRUE(load_drives(store, drives, error)) << error;
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].kind, DriveKind::ata);
    EXPECT_EQ(readings_of(store, drives[0].id).size(), 1u);
    std::vector<StoredBaseline> baselines;
    ASSERT_TRUE(load_baselines(store, baselines, error)) << error;
    ASSERT_EQ(baselines.size(), 1u);
    EXPECT_EQ(baselines[0].acked_by, "alice");

    // The new tables take rows at once.
    StoredEvent event{0, 10, drives[0].id, "change", "ST1", "S2", 3, "OK", "DEGRADING",
                      {"attribute 5 rose", "second reason"}};
    ASSERT_TRUE(insert_event(store, event, error)) << error;
    EXPECT_GT(event.id, 0);
    StoredDrive nvme;
    nvme.kind = DriveKind::nvme;
    nvme.model = "NV1";
    nvme.serial = "S2";
    ASSERT_TRUE(insert_drive(store, nvme, error)) << error;
    ASSERT_TRUE(load_drives(store, drives, error)) << error;
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[1].kind, DriveKind::nvme);
}

TEST(HistoryStore, EventsNotificationsLatchesAndSlotsRoundTrip)
{
    TempDir dir;
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, dir / "h.db", false, error)) << error;

    // Events: oldest first; `limit` keeps the newest; a drive's own only.
    std::vector<StoredEvent> written;
    for (int i = 0; i < 4; ++i) {
        StoredEvent e{0, 100 + i, i % 2 + 1, i == 0 ? "new" : "change", "M", "S" + std::to_string(i % 2),
                      i, i == 0 ? "" : "OK", "DEGRADING", {}};
        if (i == 3) {
            e.reasons = {"one", "two"};
        }
        ASSERT_TRUE(insert_event(store, e, error)) << error;
        written.push_back(e);
    }
    struct Row {
        EventQuery query;
        std::vector<int> expected;  // indexes into `written`
    };
    const Row rows[] = {
        {{0, -1, 0}, {0, 1, 2, 3}},
        {{102, -1, 0}, {2, 3}},
        {{0, 2, 0}, {1, 3}},
        {{0, -1, 2}, {2, 3}},
        {{0, 1, 1}, {2}},
        {{1000, -1, 0}, {}},
    };
    for (const Row& row : rows) {
        std::vector<StoredEvent> events;
        ASSERT_TRUE(load_events(store, row.query, events, error)) << error;
        std::vector<StoredEvent> expected;
        for (int i : row.expected) {
            expected.push_back(written[static_cast<std::size_t>(i)]);
        }
        EXPECT_EQ(events, expected) << "since " << row.query.since_ms << " drive "
                                    << row.query.drive_id << " limit " << row.query.limit;
    }

    // Notifications: owed once per channel, failed attempts kept, delivered
    // ones no longer pending.
    PendingNotification mail{written[1].id, "mail:root", 0, 200, ""};
    PendingNotification exec{written[1].id, "exec:/bin/x", 0, 200, ""};
    ASSERT_TRUE(add_notification(store, mail, error)) << error;
    ASSERT_TRUE(add_notification(store, mail, error)) << error;
    ASSERT_TRUE(add_notification(store, exec, error)) << error;
    exec.attempts = 2;
    exec.next_try_ms = 500;
    exec.last_error = "exit status 1";
    ASSERT_TRUE(mark_attempt_failed(store, exec, error)) << error;
    ASSERT_TRUE(mark_delivered(store, mail.event_id, mail.channel, 300, error)) << error;
    std::vector<PendingNotification> pending;
    ASSERT_TRUE(load_pending_notifications(store, pending, error)) << error;
    EXPECT_EQ(pending, std::vector<PendingNotification>{exec});

    // Latches: replaced per indicator, cleared per drive.
    ASSERT_TRUE(set_latch(store, {1, 197, 100, 16}, error)) << error;
    ASSERT_TRUE(set_latch(store, {1, 197, 100, 40}, error)) << error;
    ASSERT_TRUE(set_latch(store, {2, 5, 150, 0xFFFFFFFFFFull}, error)) << error;
    std::vector<StoredLatch> latches;
    ASSERT_TRUE(load_latches(store, latches, error)) << error;
    EXPECT_EQ(latches, (std::vector<StoredLatch>{{1, 197, 100, 40}, {2, 5, 150, 0xFFFFFFFFFFull}}));
    ASSERT_TRUE(clear_latches(store, 1, error)) << error;
    ASSERT_TRUE(load_latches(store, latches, error)) << error;
    EXPECT_EQ(latches, (std::vector<StoredLatch>{{2, 5, 150, 0xFFFFFFFFFFull}}));

    // Slots: each pass replaces the set.
    const std::vector<StoredSlot> first{{2, 10, "failed", "IDENTIFY failed"}, {5, 10, "no_smart", "x"}};
    ASSERT_TRUE(replace_slots(store, first, error)) << error;
    std::vector<StoredSlot> slots;
    ASSERT_TRUE(load_slots(store, slots, error)) << error;
    EXPECT_EQ(slots, first);
    ASSERT_TRUE(replace_slots(store, {}, error)) << error;
    ASSERT_TRUE(load_slots(store, slots, error)) << error;
    EXPECT_TRUE(slots.empty());
}

TEST(HistoryStore, RefusesWhatIsNotItsOwnAndLeavesItUntouched)
{
    struct Row {
        const char* what;
        std::string (*make)(const std::string& path);  // returns the file's bytes
        const char* reason;
    };
    const Row rows[] = {
        {"text file", [](const std::string& p) {
             tooltest::write_bytes(p, std::vector<std::uint8_t>(4096, 'x'));
             return read_file(p);
         }, "not an SQLite database"},
        {"another program's database", [](const std::string& p) {
             Database db;
             std::string e;
             db.open(p, false, true, e);
             db.exec("CREATE TABLE mine(x); PRAGMA application_id = 7;", e);
             db.close();
             return read_file(p);
         }, "another program (application_id 0x00000007)"},
        {"a newer platewise", [](const std::string& p) {
             Database db;
             std::string e;
             db.open(p, false, true, e);
             create_schema_version(db, kSchemaVersion, e);
             db.exec("PRAGMA user_version = 99;", e);
             db.close();
             return read_file(p);
         }, "schema version 99"},
        {"damaged pages", [](const std::string& p) {
             Database db;
             std::string e;
             db.open(p, false, true, e);
             create_schema_version(db, kSchemaVersion, e);
             db.exec("INSERT INTO drives(model, serial, first_seen_ms, last_seen_ms) VALUES('M','S',1,1)", e);
             db.close();
             std::string bytes = read_file(p);
             for (std::size_t i = 4096; i < bytes.size(); ++i) {
                 bytes[i] = static_cast<char>(0xA5);  // every page but the header's
             }
             tooltest::write_bytes(p, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
             return bytes;
         }, "damaged"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string path = dir / "h.db";
        const std::string before = row.make(path);
        ::chmod(path.c_str(), 0640);
        HistoryStore store;
        std::string error;
        EXPECT_FALSE(open_history(store, path, false, error)) << row.what;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.what << ": " << error;
        EXPECT_NE(error.find("left as it is"), std::string::npos) << row.what << ": " << error;
        EXPECT_EQ(read_file(path), before) << row.what;
        EXPECT_FALSE(std::filesystem::exists(path + "-wal")) << row.what;
    }
}

TEST(HistoryStore, CreatesOnlyInAPrivateDirectoryNeverThroughALink)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX modes and links; the Windows store's folder checks are in the win32 tests";
#else
    TempDir dir;
    HistoryStore store;
    std::string error;
    std::filesystem::create_directory(dir / "open");
    ::chmod((dir / "open").c_str(), 0777);
    EXPECT_FALSE(open_history(store, dir / "open/h.db", false, error));
    EXPECT_NE(error.find("writable by group or others"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir / "open/h.db"));

    std::filesystem::create_symlink(dir / "elsewhere.db", dir / "link.db");
    EXPECT_FALSE(open_history(store, dir / "link.db", false, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.db"));

    EXPECT_FALSE(open_history(store, dir / "missing/h.db", false, error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;

    ASSERT_TRUE(open_history(store, dir / "h.db", false, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "h.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the writer's alone";
    store.db.close();

    // A store once shared with a group: a member could take SQLite's shared
    // locks on the WAL index and make every write fail. The listener takes
    // group's and others' access away from the live files when it opens it.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ::chmod((dir / "h.db" + suffix).c_str(), 0640);
    }
    ASSERT_TRUE(open_history(store, dir / "h.db", false, error)) << error;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ASSERT_EQ(::stat((dir / "h.db" + suffix).c_str(), &st), 0) << suffix;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
    }
    store.db.close();

    // A folder further up that others may change: they could swap in a
    // history of their own, for the listener and for readers alike.
    std::filesystem::create_directories(dir / "open/private");
    ::chmod((dir / "open/private").c_str(), 0700);
    std::filesystem::copy_file(dir / "h.db", dir / "open/private/h.db");
    for (const bool read_only : {false, true}) {
        EXPECT_FALSE(open_history(store, dir / "open/private/h.db", read_only, error)) << read_only;
        EXPECT_NE(error.find("the folder above it, " + (dir / "open") + ", is unsafe: it is writable by everybody"),
                  std::string::npos)
            << error;
    }
    ::chmod((dir / "open").c_str(), 0755);
    ASSERT_TRUE(open_history(store, dir / "open/private/h.db", true, error)) << error;
    store.db.close();
    if (::geteuid() == 0) {
        // A reader opens only root's or its own file.
        ASSERT_EQ(::chown((dir / "open/private/h.db").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(open_history(store, dir / "open/private/h.db", true, error));
        EXPECT_NE(error.find("belongs to uid 65534"), std::string::npos) << error;
    }
#endif
}

// A full disk (here: the file may not grow) and a file locked by another
// program cost the passes written meanwhile; the next pass writes what they
// missed, and the failures are counted.
TEST(HistoryStore, AFullOrLockedFileCostsTheHistoryNotThePass)
{
    TempDir dir;
    HistoryStore store;
    std::string error;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(store, recorder, dir / "h.db"));
    auto first = pass_of({disk(0, 40)});
    ASSERT_TRUE(record_snapshot(recorder, store, *first, kT0, error)) << error;

    // Full: no page more.
    ASSERT_TRUE(store.db.exec("PRAGMA wal_checkpoint(TRUNCATE)", error)) << error;
    Statement count;
    ASSERT_TRUE(store.db.prepare("PRAGMA page_count", count, error));
    ASSERT_EQ(count.step(), Step::row);
    const std::string cap = "PRAGMA max_page_count = " + std::to_string(count.column_int(0));
    count = Statement();
    ASSERT_TRUE(store.db.exec(cap.c_str(), error)) << error;
    Drive many{"PW NEW DISK", "SER-NEW", {}};
    for (std::uint8_t id = 1; id <= 30; ++id) {
        many.attributes.push_back({static_cast<std::uint8_t>(id + 100), 100, 100, 0, id});
    }
    std::int64_t t = kT0 + 5 * kSecond;
    int failed = 0;
    for (int i = 0; i < 200 && failed == 0; ++i, t += 5 * kSecond) {
        many.serial = "SER-NEW-" + std::to_string(i);
        auto p = pass_of({disk(static_cast<std::uint64_t>(i + 1), 40), many});
        if (!record_snapshot(recorder, store, *p, t, error)) {
            ++failed;
        }
    }
    ASSERT_EQ(failed, 1) << "the file never filled up";
    EXPECT_NE(error.find("full"), std::string::npos) << error;
    EXPECT_EQ(recorder.write_failures, 1u);
    ASSERT_TRUE(store.db.exec("PRAGMA max_page_count = 1000000", error)) << error;

    // Locked by another program.
    Database other;
    ASSERT_TRUE(other.open(dir / "h.db", false, false, error)) << error;
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE", error)) << error;
    auto p = pass_of({disk(500, 40)});
    EXPECT_FALSE(record_snapshot(recorder, store, *p, t, error));
    EXPECT_EQ(recorder.write_failures, 2u);
    ASSERT_TRUE(other.exec("ROLLBACK", error)) << error;

    EXPECT_EQ(store_lock_holders(dir / "h.db"), "") << "this process's own locks are nobody else's";

#if !defined(_WIN32)
    // Locked by another process: the system names it.
    int ready[2];
    int done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        Database locker;
        std::string e;
        const char locked = locker.open(dir / "h.db", false, false, e) && locker.exec("BEGIN EXCLUSIVE", e) ? 'y' : 'n';
        char c = 0;
        if (::write(ready[1], &locked, 1) != 1 || ::read(done[0], &c, 1) != 1) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    char locked = 0;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    EXPECT_EQ(locked, 'y');
    EXPECT_FALSE(record_snapshot(recorder, store, *p, t, error));
    const std::string holders = store_lock_holders(dir / "h.db");
    EXPECT_NE(holders.find("process " + std::to_string(child) + " ("), std::string::npos) << holders;
    EXPECT_NE(holders.find(", uid " + std::to_string(::getuid()) + ")"), std::string::npos) << holders;
    EXPECT_EQ(::write(done[1], "x", 1), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(store_lock_holders(dir / "h.db"), "") << "nobody once it ended";
    for (const int fd : {ready[0], ready[1], done[0], done[1]}) {
        ::close(fd);
    }
#endif

    t += 5 * kSecond;
    ASSERT_TRUE(record_snapshot(recorder, store, *p, t, error)) << error;
    const std::vector<Reading> readings = readings_of(store, 1);
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        apply_reading(table, r);
    }
    EXPECT_EQ(indicator_count(table[1].raw), 500u) << "what the failed passes missed is written now";
}

// A real full disk: the process may not write files beyond 256 KiB, so
// SQLite's writes fail part way; the passes carry on, the failures are
// counted, and the file stays a good history.
TEST(HistoryStore, AFileSizeLimitCostsOnlyTheHistory)
{
#if defined(_WIN32)
    GTEST_SKIP() << "needs fork and a file size limit (setrlimit)";
#else
    TempDir dir;
    const std::string path = dir / "h.db";
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        HistoryStore store;
        std::string error;
        if (!open_history(store, path, false, error)) {
            ::_exit(10);
        }
        Recorder recorder;
        load_recorder(recorder, store, false, error);
        const rlimit limit{256 * 1024, 256 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Drive many{"PW FULL DISK", "", {}};
        for (std::uint8_t id = 1; id <= 30; ++id) {
            many.attributes.push_back({static_cast<std::uint8_t>(id + 100), 100, 100, 0, id});
        }
        int passes = 0;
        for (; passes < 2000 && recorder.write_failures < 3; ++passes) {
            many.serial = "SER-" + std::to_string(passes);
            auto p = pass_of({many});
            record_snapshot(recorder, store, *p, kT0 + passes * 5 * kSecond, error);
        }
        ::_exit(recorder.write_failures == 3 && passes < 2000 ? 0 : 11);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, path, false, error)) << error;
    std::vector<StoredDrive> drives;
    ASSERT_TRUE(load_drives(store, drives, error)) << error;
    EXPECT_GT(drives.size(), 10u);
#endif
}

// A user who may read the file but not write its directory (status without
// root) reads it while no listener runs and while one writes, and cannot
// create a history there.
TEST(HistoryStore, AnotherUserReadsWithoutWriting)
{
#if defined(_WIN32)
    GTEST_SKIP() << "needs fork and setuid to become another user";
#else
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string path = dir / "h.db";
    HistoryStore writer;
    std::string error;
    Recorder recorder;
    ASSERT_TRUE(historytest::open_recording(writer, recorder, path));
    auto p = pass_of({disk(0, 40)});
    ASSERT_TRUE(record_snapshot(recorder, writer, *p, kT0, error)) << error;
    ::chmod(path.c_str(), 0644);
    ::chmod((path + "-wal").c_str(), 0644);
    ::chmod((path + "-shm").c_str(), 0644);

    const auto read_as_nobody = [&]() {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(10);
            }
            HistoryStore reader;
            std::string e;
            if (!open_history(reader, path, true, e)) {
                std::fprintf(stderr, "%s\n", e.c_str());
                ::_exit(11);
            }
            std::vector<StoredDrive> drives;
            if (!load_drives(reader, drives, e) || drives.size() != 1) {
                ::_exit(12);
            }
            // Its directory is read-only to this user: no new history there.
            HistoryStore writer_too;
            if (open_history(writer_too, dir / "new.db", false, e) ||
                e.find("cannot create " + (dir / "new.db") + ": Permission denied") == std::string::npos) {
                std::fprintf(stderr, "%s\n", e.c_str());
                ::_exit(13);
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(read_as_nobody(), 0) << "while the listener has the file open";
    writer.db.close();
    EXPECT_EQ(read_as_nobody(), 0) << "with no listener";
#endif
}

}  // namespace
