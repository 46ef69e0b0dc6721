// platewise history as a user sees it (text, chart, CSV, JSON), and
// platewise history import of snapshots saved by listen --save.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <fstream>
#include <set>

#include "commands/history_command.h"
#include "commands/status_command.h"
#include "history/history_view.h"
#include "../history/history_test_support.h"

namespace {

using namespace platewise::history;
using historytest::Drive;
using historytest::kHour;
using historytest::kSecond;
using historytest::kT0;

Drive disk(std::uint64_t reallocated, std::uint64_t temperature)
{
    return {"PW HISTORY DISK", "H1", {{5, 100, 100, 36, reallocated}, {194, 40, 30, 0, temperature}}};
}

// `temperature_high`: what the drive keeps above the temperature byte (its
// minimum and maximum, as many drives do).
std::string build(const TempDir& dir, std::uint64_t temperature_high = 0)
{
    const std::string path = dir / "h.db";
    HistoryStore store;
    std::string error;
    Recorder recorder;
    EXPECT_TRUE(historytest::open_recording(store, recorder, path));
    const std::pair<std::int64_t, Drive> passes[] = {
        {0, disk(0, temperature_high | 30)},
        {30 * 60 * kSecond, disk(0, temperature_high | 31)},  // drift: waits for the hour
        {45 * 60 * kSecond, disk(2, temperature_high | 31)},  // an indicator: at once
        {kHour, disk(2, temperature_high | 33)},
        {2 * kHour, disk(2, temperature_high | 33)},
    };
    for (const auto& [at, drive] : passes) {
        const auto pass = historytest::pass_of({drive});
        EXPECT_TRUE(record_snapshot(recorder, store, *pass, kT0 + at, error)) << error;
    }
    return path;
}

platewise::HistoryOptions options_for(const std::string& store)
{
    platewise::HistoryOptions o;
    o.store = store;
    o.serial = "H1";
    return o;
}

TEST(HistoryCommand, TheRecordedReadingsOfADrive)
{
    historytest::use_utc();
    TempDir dir;
    platewise::HistoryOptions o = options_for(build(dir));
    // Judged at the present time: 30 s after the last pass the drive is
    // there, hours later it is missing.
    o.now_ms = kT0 + 2 * kHour + 30 * kSecond;
    std::ostringstream later;
    std::ostringstream err;
    platewise::HistoryOptions gone = o;
    gone.now_ms = kT0 + 5 * kHour;
    ASSERT_EQ(platewise::run_history(gone, later, err), 0) << err.str();
    EXPECT_NE(later.str().find("  Verdict: DEGRADING: attribute 5 Reallocated Sectors Count 2 above first seen 0 "
                               "since 2026-12-01 10:45:00; drive missing: not seen since 2026-12-01 12:00:00"),
              std::string::npos)
        << later.str();
    std::ostringstream out;
    ASSERT_EQ(platewise::run_history(o, out, err), 0) << err.str();
    EXPECT_EQ(out.str(),
              "PW HISTORY DISK   serial H1\n"
              "  Verdict: DEGRADING: attribute 5 Reallocated Sectors Count 2 above first seen 0 since "
              "2026-12-01 10:45:00\n"
              "  First seen 2026-12-01 10:00:00, last seen 2026-12-01 12:00:00\n"
              "  2026-12-01 10:00:00  full table:\n"
              "      5 Reallocated Sectors Count    value 100 worst 100 thresh  36 raw 0\n"
              "    194 Temperature                  value  40 worst  30 thresh   0 raw 30\n"
              "  2026-12-01 10:45:00  change:\n"
              "      5 Reallocated Sectors Count    value 100 worst 100 thresh  36 raw 2 (was 0)\n"
              "    194 Temperature                  value  40 worst  30 thresh   0 raw 31 (was 30)\n"
              "  2026-12-01 11:00:00  hourly sample:\n"
              "    194 Temperature                  value  40 worst  30 thresh   0 raw 33 (was 31)\n"
              "  2026-12-01 12:00:00  hourly sample: no change\n");
}

TEST(HistoryCommand, OneAttributeOverTimeWithAChart)
{
    historytest::use_utc();
    TempDir dir;
    // The drive keeps its minimum and maximum above the temperature byte
    // (raw 0x35000F001E and up): the chart, the CSV and the axis show the
    // temperature, never the whole raw field.
    platewise::HistoryOptions o = options_for(build(dir, 0x35000F0000ull));
    o.now_ms = kT0 + 2 * kHour + 30 * kSecond;
    o.attribute = 194;
    o.chart = true;
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(platewise::run_history(o, out, err), 0) << err.str();
    const std::string text = out.str();
    EXPECT_NE(text.find("  Attribute 194 Temperature: 4 readings\n"
                        "  2026-12-01 10:00:00  full table     194 Temperature                  value  40 worst  30 thresh   0 raw 30 (Min/Max 15/53)\n"
                        "  2026-12-01 10:45:00  change         194 Temperature                  value  40 worst  30 thresh   0 raw 31 (Min/Max 15/53)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  Temperature (C) over time:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("33 |                             *-----------------------------*\n"), std::string::npos) << text;
    EXPECT_NE(text.find("   |                      *------\n"), std::string::npos) << text;
    EXPECT_NE(text.find("30 |*---------------------\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    2026-12-01 10:00:00                      2026-12-01 12:00:00\n"), std::string::npos) << text;

    o.chart = false;
    o.csv = true;
    o.since_ms = kT0 + kHour;
    std::ostringstream csv;
    ASSERT_EQ(platewise::run_history(o, csv, err), 0) << err.str();
    EXPECT_EQ(csv.str(),
              "model,serial,time,unix_ms,kind,id,name,value,worst,threshold,raw,raw_text,reading\n"
              "PW HISTORY DISK,H1,2026-12-01 11:00:00,1796122800000,sample,194,Temperature,40,30,0,"
              "227634249761,33 (Min/Max 15/53),33\n"
              "PW HISTORY DISK,H1,2026-12-01 12:00:00,1796126400000,sample,194,Temperature,40,30,0,"
              "227634249761,33 (Min/Max 15/53),33\n");

    o.csv = false;
    o.json = true;
    o.attribute = 5;
    std::ostringstream json;
    ASSERT_EQ(platewise::run_history(o, json, err), 0) << err.str();
    const nlohmann::json doc = nlohmann::json::parse(json.str());
    EXPECT_EQ(doc["drives"][0]["readings"].size(), 2u);
    EXPECT_EQ(doc["drives"][0]["readings"][0]["raw"], 2);
    EXPECT_EQ(doc["drives"][0]["readings"][0]["reading"], 2);

    o.serial = "NOBODY";
    std::ostringstream none;
    std::ostringstream none_err;
    EXPECT_EQ(platewise::run_history(o, none, none_err), 1);
    EXPECT_EQ(none_err.str(), "platewise history: no drive with serial NOBODY in the history\n");
}

TEST(HistoryCommand, WhenIsRelativeOrALocalDate)
{
    historytest::use_utc();
    struct Row {
        const char* text;
        bool ok;
        std::int64_t ms;
    };
    const Row rows[] = {
        {"30m", true, kT0 - 30 * 60 * kSecond}, {"24h", true, kT0 - 24 * kHour},
        {"7d", true, kT0 - 7 * 24 * kHour},     {"2026-12-01", true, kT0 - 10 * kHour},
        {"2026-12-01 10:00", true, kT0},        {"2026-12-01T10:00:05", true, kT0 + 5 * kSecond},
        {"yesterday", false, 0},                {"2026-13-01", false, 0},
        {"24x", false, 0},                      {"2026-12-01 10:00 junk", false, 0},
    };
    for (const Row& row : rows) {
        std::int64_t ms = 0;
        EXPECT_EQ(parse_when(row.text, kT0, ms), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(ms, row.ms) << row.text;
        }
    }
}

// The listener's --save names, the time from the name; each snapshot once.
TEST(HistoryImport, SavedSnapshotsGiveTheirHistoryBack)
{
    historytest::use_utc();
    TempDir dir;
    const std::string saved = dir / "saved";
    std::filesystem::create_directory(saved);
    const auto put = [&](const std::string& name, const std::vector<Drive>& drives) {
        const auto pass = historytest::pass_of(drives);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(pass.get());
        tooltest::write_bytes(saved + "/" + name, std::vector<std::uint8_t>(bytes, bytes + sizeof *pass));
    };
    put("snapshot-20261201-100000-000.bin", {disk(0, 30)});
    put("snapshot-20261201-100005-000.bin", {disk(0, 30)});
    put("snapshot-20261201-100005-001.bin", {disk(1, 30)});
    put("snapshot-20261201-110010-000.bin", {disk(1, 32)});
    tooltest::write_bytes(saved + "/snapshot-20261201-120000-000.bin", std::vector<std::uint8_t>(100, 0));
    tooltest::write_bytes(saved + "/notes.txt", std::vector<std::uint8_t>(10, 'x'));

    platewise::ImportOptions o;
    o.store = dir / "h.db";
    o.paths = {saved};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(platewise::run_import(o, out, err), 1) << "one file was refused";
    EXPECT_EQ(out.str(), "Imported 4 snapshots, skipped 0 already in the history, into " + o.store + "\n");
    // The files' names joined as the system joins them (a backslash on Windows).
    EXPECT_EQ(err.str(), "platewise history import: skipping " +
                             (std::filesystem::path(saved) / "notes.txt").string() +
                             ": not a saved snapshot (snapshot-YYYYMMDD-HHMMSS-NNN.bin or "
                             "nvme-YYYYMMDD-HHMMSS-NNN.bin, a regular file)\n"
                             "platewise history import: " +
                             (std::filesystem::path(saved) / "snapshot-20261201-120000-000.bin").string() +
                             ": not a snapshot (100 bytes)\n");
    // The import ends with a checkpoint: no write-ahead log beside the store.
    std::error_code ec;
    const auto wal_size = std::filesystem::file_size(o.store + "-wal", ec);
    EXPECT_TRUE(ec || wal_size == 0) << wal_size << " bytes of WAL left";

    // Again, and a copy of one under another name in the same second.
    std::filesystem::copy_file(saved + "/snapshot-20261201-110010-000.bin", dir / "snapshot-20261201-110010-007.bin");
    o.paths = {saved, dir / "snapshot-20261201-110010-007.bin", dir / "h.db"};
    std::ostringstream again;
    std::ostringstream again_err;
    EXPECT_EQ(platewise::run_import(o, again, again_err), 1);
    EXPECT_EQ(again.str(), "Imported 0 snapshots, skipped 5 already in the history, into " + o.store + "\n");
    EXPECT_NE(again_err.str().find("h.db: not a directory nor a snapshot"), std::string::npos) << again_err.str();

    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, o.store, true, error)) << error;
    ViewOptions vo;
    vo.now_ms = kT0 + 2 * kHour;
    vo.missing_after_ms = 10 * 60 * kSecond;
    std::vector<DriveView> views;
    ASSERT_TRUE(load_views(store, vo, views, error)) << error;
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].drive.first_seen_ms, kT0);
    EXPECT_EQ(views[0].drive.last_seen_ms, kT0 + kHour + 10 * kSecond);
    ASSERT_EQ(views[0].readings.size(), 3u);
    EXPECT_EQ(views[0].readings[1].time_ms, kT0 + 5 * kSecond + 1) << "NNN orders the same second";
    EXPECT_EQ(views[0].readings[2].kind, ReadingKind::sample);
    EXPECT_EQ(views[0].report.verdict_text,
              "DEGRADING: attribute 5 Reallocated Sectors Count 1 above first seen 0 since 2026-12-01 10:00:05; "
              "drive missing: not seen since 2026-12-01 11:00:10 (last in slot 0)");
}

// The three snapshots the lab's listener saved from QEMU's four SATA disks
// (tests/data/lab), imported twice: four drives, each first a full table
// and then nothing new (QEMU's values never change), the second time all
// skipped.
TEST(HistoryImport, TheLabsSavedSnapshots)
{
    TempDir dir;
    platewise::ImportOptions o;
    o.store = dir / "h.db";
    o.paths = {(std::filesystem::path(PLATEWISE_TEST_DATA) / "lab").string()};
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(platewise::run_import(o, out, err), 0) << err.str();
    EXPECT_EQ(out.str(), "Imported 3 snapshots, skipped 0 already in the history, into " + o.store + "\n");
    std::ostringstream again;
    ASSERT_EQ(platewise::run_import(o, again, err), 0) << err.str();
    EXPECT_EQ(again.str(), "Imported 0 snapshots, skipped 3 already in the history, into " + o.store + "\n");

    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, o.store, true, error)) << error;
    ViewOptions vo;
    vo.missing_after_ms = INT64_MAX / 4;
    std::vector<DriveView> views;
    ASSERT_TRUE(load_views(store, vo, views, error)) << error;
    ASSERT_EQ(views.size(), 4u);
    std::set<std::string> serials;
    for (const DriveView& v : views) {
        serials.insert(v.drive.serial);
        EXPECT_EQ(v.drive.model.rfind("PLATEWISE LAB ", 0), 0u) << v.drive.model;
        EXPECT_EQ(v.report.verdict_text, "OK") << v.drive.serial;
        ASSERT_EQ(v.readings.size(), 1u) << v.drive.serial;
        EXPECT_EQ(v.readings[0].kind, ReadingKind::full);
        EXPECT_EQ(v.drive.last_seen_ms - v.drive.first_seen_ms, 10 * kSecond) << "three passes 5 s apart";
    }
    EXPECT_EQ(serials, (std::set<std::string>{"PWLAB-0001", "PWLAB-0002", "PWLAB-0003", "PWLAB-0004"}));
}

// A --save folder of a machine with both kinds: the ATA and the NVMe
// snapshots of each pass loaded in time order, whatever order the names
// sort in; what is skipped is named; the NVMe drive's fields over time.
TEST(HistoryImport, MixedFolderOfAtaAndNvmeSnapshots)
{
    historytest::use_utc();
    TempDir dir;
    const std::string saved = dir / "saved";
    std::filesystem::create_directory(saved);
    const auto put_ata = [&](const std::string& name, const std::vector<Drive>& drives) {
        const auto pass = historytest::pass_of(drives);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(pass.get());
        tooltest::write_bytes(saved + "/" + name, std::vector<std::uint8_t>(bytes, bytes + sizeof *pass));
    };
    const auto put_nvme = [&](const std::string& name, std::uint8_t used, std::uint64_t written) {
        historytest::NvmeDrive d{"PW IMPORT NVME", "NVI1"};
        d.used = used;
        d.written = written;
        tooltest::write_bytes(saved + "/" + name, nvmetest::bytes_of(*historytest::nvme_pass_of({{}, d})));
    };
    put_ata("snapshot-20261201-100000-000.bin", {disk(0, 30), {}});
    put_nvme("nvme-20261201-100000-001.bin", 88, 100);
    put_ata("snapshot-20261201-110000-000.bin", {disk(0, 31), {}});
    put_nvme("nvme-20261201-110000-001.bin", 89, 200);
    put_nvme("nvme-20261201-120000-001.bin", 90, 300);
    // An ATA snapshot under an NVMe name, and a name with no time.
    put_ata("nvme-20261201-130000-000.bin", {disk(0, 31)});
    tooltest::write_bytes(saved + "/nvme-latest.bin", std::vector<std::uint8_t>(10, 0));

    platewise::ImportOptions o;
    o.store = dir / "h.db";
    o.paths = {saved};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(platewise::run_import(o, out, err), 1) << "one file was refused";
    EXPECT_EQ(out.str(), "Imported 5 snapshots, skipped 0 already in the history, into " + o.store + "\n");
    // The files' names joined as the system joins them (a backslash on Windows).
    const auto in_saved = [&](const char* name) { return (std::filesystem::path(saved) / name).string(); };
    EXPECT_NE(err.str().find("skipping " + in_saved("nvme-latest.bin") + ": not a saved snapshot"), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find(in_saved("nvme-20261201-130000-000.bin") + ": not an NVMe snapshot ("), std::string::npos)
        << err.str();

    HistoryStore store;
    std::string error;
    ASSERT_TRUE(open_history(store, o.store, true, error)) << error;
    ViewOptions vo;
    vo.now_ms = kT0 + 2 * kHour + kSecond;  // after the last snapshot: nothing clamped
    vo.missing_after_ms = 10 * 60 * kSecond;
    std::vector<DriveView> views;
    ASSERT_TRUE(load_views(store, vo, views, error)) << error;
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0].drive.kind, DriveKind::ata);
    const DriveView& nvme = views[1];
    EXPECT_EQ(nvme.drive.kind, DriveKind::nvme);
    EXPECT_EQ(nvme.drive.last_slot, 1);
    EXPECT_EQ(nvme.drive.first_seen_ms, kT0 + 1);
    EXPECT_EQ(nvme.drive.last_seen_ms, kT0 + 2 * kHour + 1);
    EXPECT_EQ(nvme.report.verdict_text,
              "DEGRADING: percentage used 90% (90 or more: the drive nears its rated wear) since 2026-12-01 12:00:00");

    platewise::HistoryOptions h;
    h.store = o.store;
    h.serial = "NVI1";
    h.field = "percentage_used";
    h.csv = true;
    std::ostringstream csv;
    ASSERT_EQ(platewise::run_history(h, csv, err), 0) << err.str();
    EXPECT_EQ(csv.str(),
              "model,serial,time,unix_ms,kind,id,name,value,worst,threshold,raw,raw_text,reading\n"
              "PW IMPORT NVME,NVI1,2026-12-01 10:00:00,1796119200001,full,36,percentage_used,,,,88,88 %,88\n"
              "PW IMPORT NVME,NVI1,2026-12-01 11:00:00,1796122800001,sample,36,percentage_used,,,,89,89 %,89\n"
              "PW IMPORT NVME,NVI1,2026-12-01 12:00:00,1796126400001,sample,36,percentage_used,,,,90,90 %,90\n");
    h.csv = false;
    h.json = true;
    h.field = "data_units_written";
    std::ostringstream json;
    ASSERT_EQ(platewise::run_history(h, json, err), 0) << err.str();
    const nlohmann::json doc = nlohmann::json::parse(json.str());
    EXPECT_EQ(doc["drives"][0]["kind"], "nvme");
    ASSERT_EQ(doc["drives"][0]["readings"].size(), 3u);
    EXPECT_EQ(doc["drives"][0]["readings"][2]["value"], 300);
    EXPECT_EQ(doc["drives"][0]["readings"][2]["text"], "300 (153.6 MB)");

    struct Refusal {
        const char* serial;
        const char* field;
        const char* says;
    };
    const Refusal refusals[] = {
        {"NVI1", "wear", "--field wear: not a field the history keeps of NVMe drives (critical_warning, "},
        {"H1", "percentage_used", "--field is for NVMe drives; PW HISTORY DISK serial H1 is an ATA drive"},
    };
    for (const Refusal& r : refusals) {
        h.serial = r.serial;
        h.field = r.field;
        std::ostringstream none;
        std::ostringstream why;
        EXPECT_EQ(platewise::run_history(h, none, why), 2) << r.field;
        EXPECT_NE(why.str().find(r.says), std::string::npos) << why.str();
    }
}

}  // namespace

namespace {

// What import refuses, each on its own, while the good snapshot beside it
// is still imported: a name later than now, a link named like a snapshot
// (never followed), something that is not a regular file, and a file far
// larger than a snapshot (refused by its size, not read).
TEST(HistoryImport, RefusesFutureNamesLinksAndWhatIsNotASnapshotFile)
{
#if defined(_WIN32)
    GTEST_SKIP() << "makes a symbolic link and a FIFO (mkfifo)";
#else
    historytest::use_utc();
    TempDir dir;
    const std::string saved = dir / "saved";
    std::filesystem::create_directory(saved);
    const auto pass = historytest::pass_of({disk(0, 30)});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pass.get());
    tooltest::write_bytes(saved + "/snapshot-20261201-100000-000.bin",
                          std::vector<std::uint8_t>(bytes, bytes + sizeof *pass));
    tooltest::write_bytes(saved + "/snapshot-20261201-100500-000.bin",
                          std::vector<std::uint8_t>(bytes, bytes + sizeof *pass));
    tooltest::write_bytes(dir / "secret", std::vector<std::uint8_t>(10, 's'));
    std::filesystem::create_symlink(dir / "secret", saved + "/snapshot-20261201-100020-000.bin");
    ASSERT_EQ(::mkfifo((saved + "/snapshot-20261201-100030-000.bin").c_str(), 0600), 0);
    {
        std::ofstream huge(saved + "/snapshot-20261201-100040-000.bin");
    }
    std::filesystem::resize_file(saved + "/snapshot-20261201-100040-000.bin", 4ull << 30);

    const struct Row {
        std::string name;
        std::string said;
    } rows[] = {
        {"snapshot-20261201-100500-000.bin", "named for a time later than now; not imported"},
        {"snapshot-20261201-100020-000.bin", "a symbolic link; never followed"},
        {"snapshot-20261201-100030-000.bin", "not a regular file"},
        {"snapshot-20261201-100040-000.bin", "not a snapshot (4294967296 bytes, more than a snapshot holds)"},
    };
    platewise::ImportOptions o;
    o.store = dir / "h.db";
    o.paths = {saved, saved + "/snapshot-20261201-100020-000.bin", saved + "/snapshot-20261201-100030-000.bin"};
    o.now_ms = kT0 + 60 * kSecond;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(platewise::run_import(o, out, err), 1);
    EXPECT_EQ(out.str(), "Imported 1 snapshot, skipped 0 already in the history, into " + o.store + "\n");
    for (const Row& row : rows) {
        EXPECT_NE(err.str().find(saved + "/" + row.name + ": " + row.said + "\n"), std::string::npos)
            << row.name << "\n" << err.str();
    }
#endif
}

}  // namespace

namespace {

// Drive strings are untrusted: a model or serial that a spreadsheet would
// run as a formula is kept as text in the CSV.
TEST(HistoryCommand, CsvCellsNeverStartAFormula)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    const struct Row {
        std::string model;
        std::string serial;
        std::string fields;
    } rows[] = {
        {"=2+5", "S1", "'=2+5,S1,"},
        {"+CMD", "S2", "'+CMD,S2,"},
        {"-1+2", "S3", "'-1+2,S3,"},
        {"@SUM(A1)", "S4", "'@SUM(A1),S4,"},
        {"=HYPERLINK(\"x\",1)", "S5", "\"'=HYPERLINK(\"\"x\"\",1)\",S5,"},
        {"PLAIN-MODEL", "=S6", "PLAIN-MODEL,'=S6,"},
    };
    {
        HistoryStore store;
        Recorder recorder;
        std::string error;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::vector<Drive> drives;
        for (const Row& row : rows) {
            drives.push_back({row.model, row.serial, {{9, 100, 100, 0, 5}}});
        }
        const auto pass = historytest::pass_of(drives);
        ASSERT_TRUE(record_snapshot(recorder, store, *pass, kT0, error)) << error;
    }
    for (const Row& row : rows) {
        platewise::HistoryOptions o = options_for(path);
        o.serial = row.serial;
        o.csv = true;
        std::ostringstream csv;
        std::ostringstream err;
        ASSERT_EQ(platewise::run_history(o, csv, err), 0) << row.serial << ": " << err.str();
        EXPECT_NE(csv.str().find("\n" + row.fields + "2026-12-01 10:00:00,"), std::string::npos)
            << csv.str();
    }
}

}  // namespace
