// platewise status as a person and a script see it, from a history built
// pass by pass.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "commands/ack_command.h"
#include "commands/status_command.h"
#include "version/build_version.h"
#include "../history/history_test_support.h"
#include "history/event_store.h"
#include "history/nvme_recording.h"

namespace {

using namespace platewise::history;
using historytest::Drive;
using historytest::kHour;
using historytest::kSecond;
using historytest::kT0;

Drive disk(const char* serial, std::uint64_t pending, std::uint64_t temperature)
{
    return {"PW STATUS DISK", serial,
            {{5, 100, 100, 36, 0}, {9, 99, 99, 0, 1234}, {194, 40, 30, 0, temperature},
             {197, 100, 100, 0, pending}}};
}

// Two days of passes: drive A warms up and gets a pending sector today,
// drive B left yesterday, drive C arrived an hour ago.
std::string build(const TempDir& dir)
{
    const std::string path = dir / "h.db";
    HistoryStore store;
    std::string error;
    Recorder recorder;
    EXPECT_TRUE(historytest::open_recording(store, recorder, path));
    const Drive c{"PW NEW\\DISK", "C3", {}};
    for (std::int64_t t = kT0; t <= kT0 + 48 * kHour; t += 10 * 60 * kSecond) {
        std::vector<Drive> drives{disk("A1", t >= kT0 + 40 * kHour ? 1 : 0, t >= kT0 + 30 * kHour ? 45 : 38)};
        if (t < kT0 + 20 * kHour) {
            drives.push_back(disk("B2", 0, 30));
        }
        if (t >= kT0 + 47 * kHour) {
            drives.push_back(c);
        }
        const auto pass = historytest::pass_of(drives);
        EXPECT_TRUE(record_snapshot(recorder, store, *pass, t, error)) << error;
    }
    return path;
}

TEST(StatusCommand, OneScreenForAPerson)
{
    historytest::use_utc();
    TempDir dir;
    platewise::StatusOptions o;
    o.store = build(dir);
    o.now_ms = kT0 + 48 * kHour + 30 * kSecond;
    std::ostringstream out;
    std::ostringstream err;
    // DEGRADING, DRIVE MISSING and NO SMART DATA: a checker's warning.
    ASSERT_EQ(platewise::run_status(o, out, err), 1) << err.str();
    EXPECT_EQ(out.str(),
              "Platewise drive status at 2026-12-03 10:00:30 (3 drives in " + o.store + ")\n"
              "\n"
              "PW STATUS DISK   serial A1\n"
              "  Verdict: DEGRADING: attribute 197 Current Pending Sector Count 1 above first seen 0 since 2026-12-03 02:00:00\n"
              "  Last seen: 2026-12-03 10:00:00 (30 s ago), slot 0; first seen 2026-12-01 10:00:00\n"
              "  Temperature: 45 C   Power-on: 1234 hours (51 days)\n"
              "  Last 24 h:\n"
              "    attribute 194 Temperature: raw 38 -> 45\n"
              "    attribute 197 Current Pending Sector Count: raw 0 -> 1\n"
              "\n"
              "PW STATUS DISK   serial B2\n"
              "  Verdict: DRIVE MISSING: not seen since 2026-12-02 05:50:00 (last in slot 1)\n"
              "  Last seen: 2026-12-02 05:50:00 (28 h ago), slot 1; first seen 2026-12-01 10:00:00\n"
              "  Temperature: 30 C   Power-on: 1234 hours (51 days)\n"
              "  24 h before last seen: first seen in this time\n"
              "\n"
              "PW NEW\\x5cDISK   serial C3\n"
              "  Verdict: NO SMART DATA\n"
              "  Last seen: 2026-12-03 10:00:00 (30 s ago), slot 1; first seen 2026-12-03 09:00:00\n"
              "  Temperature: not reported   Power-on: not reported\n"
              "  Last 24 h: first seen in this time\n"
              "\n"
              "Never acknowledged (counts are judged from when each was first seen; 'platewise ack --all' "
              "sets today's as the baselines):\n"
              "  PW STATUS DISK   serial A1\n"
              "  PW STATUS DISK   serial B2\n"
              "  PW NEW\\x5cDISK   serial C3\n");
}

// status --at judges the store as it was then; ack --all acknowledges the
// drives of the last pass, and what it acknowledged stays in sight.
TEST(StatusCommand, AsOfATimeAndAfterAcknowledgingAll)
{
    historytest::use_utc();
    TempDir dir;
    platewise::StatusOptions o;
    o.store = build(dir);
    o.as_of = true;
    o.now_ms = kT0 + 19 * kHour;
    std::ostringstream then;
    std::ostringstream err;
    ASSERT_EQ(platewise::run_status(o, then, err), 0) << err.str();
    const std::string text = then.str();
    EXPECT_EQ(text.rfind("Platewise drive status as of 2026-12-02 05:00:00 (2 drives in ", 0), 0u) << text;
    EXPECT_NE(text.find("PW STATUS DISK   serial A1\n  Verdict: OK\n"
                        "  Last seen: 2026-12-02 05:00:00 (0 s ago), slot 0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("PW STATUS DISK   serial B2\n  Verdict: OK\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("C3"), std::string::npos) << "not known yet then";
    EXPECT_NE(text.find("  Temperature: 38 C"), std::string::npos) << text;

    o.now_ms = kT0 - kHour;
    std::ostringstream before;
    ASSERT_EQ(platewise::run_status(o, before, err), 0) << err.str();
    EXPECT_EQ(before.str(), "Platewise drive status as of 2026-12-01 09:00:00 (0 drives in " + o.store +
                                ")\nNo drive recorded by then.\n");

    o.now_ms = kT0 + 30 * kHour;
    std::ostringstream later;
    // A drive missing by then: a checker hears of it.
    ASSERT_EQ(platewise::run_status(o, later, err), 1) << err.str();
    EXPECT_NE(later.str().find("serial B2\n  Verdict: DRIVE MISSING: not seen since 2026-12-02 05:50:00"),
              std::string::npos)
        << later.str();

    platewise::AckOptions a;
    a.store = o.store;
    a.all = true;
    a.now_ms = kT0 + 48 * kHour + kSecond;
    a.who = "alice";
    std::ostringstream acked;
    ASSERT_EQ(platewise::run_ack(a, acked, err), 0) << err.str();
    EXPECT_EQ(acked.str(),
              "Acknowledged for PW STATUS DISK serial A1 by alice at 2026-12-03 10:00:01:\n"
              "  attribute 5: baseline 0\n"
              "  attribute 197: baseline 1 (lifts DEGRADING: was 1 since 2026-12-03 02:00:00)\n"
              "Acknowledged for PW NEW\\x5cDISK serial C3 by alice at 2026-12-03 10:00:01:\n"
              "  (the drive reports no leading indicator)\n");

    o.as_of = false;
    o.now_ms = kT0 + 48 * kHour + 30 * kSecond;
    std::ostringstream now;
    // A pending sector stays a warning after its acknowledgement.
    ASSERT_EQ(platewise::run_status(o, now, err), 1) << err.str();
    EXPECT_NE(now.str().find("serial A1\n  Verdict: WARNING: 1 pending sector (acknowledged: 1 pending sector "
                             "(by alice, 2026-12-03))\n"),
              std::string::npos)
        << now.str();
    EXPECT_NE(now.str().find("first seen; 'platewise ack --all' sets today's as the baselines):\n"
                             "  PW STATUS DISK   serial B2\n"),
              std::string::npos)
        << now.str();
}

TEST(StatusCommand, JsonForScriptsAndClearErrors)
{
    historytest::use_utc();
    TempDir dir;
    platewise::StatusOptions o;
    o.store = build(dir);
    o.now_ms = kT0 + 48 * kHour + 30 * kSecond;
    o.json = true;
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(platewise::run_status(o, out, err), 1) << err.str();
    const nlohmann::json doc = nlohmann::json::parse(out.str());
    ASSERT_EQ(doc["drives"].size(), 3u);
    // Which platewise judged them (the same as --version says).
    EXPECT_EQ(doc["platewise"]["version"], "0.1.0");
    EXPECT_EQ(doc["platewise"]["commit"], platewise::build_commit());
    EXPECT_FALSE(doc["platewise"]["commit"].get<std::string>().empty());
    const nlohmann::json& a = doc["drives"][0];
    EXPECT_EQ(a["verdict_code"], "degrading");
    EXPECT_EQ(a["reasons"][0]["attribute"], 197);
    EXPECT_EQ(a["reasons"][0]["since"], (kT0 + 40 * kHour) / 1000);
    EXPECT_EQ(a["temperature_celsius"], 45);
    EXPECT_EQ(a["changes_last_24h"].size(), 2u);
    EXPECT_EQ(a["changes_last_24h"][0]["from"]["raw"], 38);
    EXPECT_EQ(doc["drives"][1]["missing"], true);
    EXPECT_EQ(doc["drives"][1]["reasons"][0]["last_slot"], 1);
    EXPECT_TRUE(doc["drives"][2]["temperature_celsius"].is_null());

    o.store = dir / "none.db";
    std::ostringstream none_out;
    std::ostringstream none_err;
    EXPECT_EQ(platewise::run_status(o, none_out, none_err), 3);
    EXPECT_EQ(none_err.str(), "platewise status: no history at " + o.store +
                                  " (platewise listen --history records one)\n");
    EXPECT_FALSE(std::filesystem::exists(o.store)) << "status never creates a history";
}

// Recorded drives with every verdict a history gives, each alone in a
// store: the exit status of the monitoring-plugins convention and the one
// line a checker shows.
TEST(StatusCommand, ExitStatusAndBriefLineForCheckers)
{
    historytest::use_utc();
    const Drive ok = disk("OK1", 0, 30);
    const Drive failing{"PW FAILING|DISK", "F1", {{5, 30, 30, 36, 0}, {9, 99, 99, 0, 1}}};
    const Drive failed_past{"PW PAST", "P1", {{5, 100, 30, 36, 0}}};
    const Drive no_data{"PW EMPTY", "E1", {}};
    const Drive rising = disk("D1", 3, 30);
    struct Row {
        const char* name;
        std::vector<std::vector<Drive>> passes;  // ten minutes apart
        int status;
        const char* brief;  // before the performance data
        const char* counts; // the performance data
    };
    const Row rows[] = {
        {"no drive yet", {}, 0, "PLATEWISE OK - no drive recorded yet",
         "drives=0 failing=0 degrading=0 warning=0 missing=0 no_smart_data=0 failed_past=0"},
        {"every drive OK", {{ok, disk("OK2", 0, 31)}}, 0, "PLATEWISE OK - 2 drives OK",
         "drives=2 failing=0 degrading=0 warning=0 missing=0 no_smart_data=0 failed_past=0"},
        {"failing now beats everything else",
         {{ok, failing, failed_past, no_data}, {ok, failing, failed_past, no_data, rising}},
         // D1 comes with its count: present when first seen is a warning.
         2, "PLATEWISE CRITICAL - 1 FAILING NOW (PW FAILING?DISK F1), 1 FAILED IN THE PAST, 1 WARNING, 1 NO SMART DATA",
         "drives=5 failing=1 degrading=0 warning=1 missing=0 no_smart_data=1 failed_past=1"},
        {"failed in the past", {{ok, failed_past}}, 1, "PLATEWISE WARNING - 1 FAILED IN THE PAST",
         "drives=2 failing=0 degrading=0 warning=0 missing=0 no_smart_data=0 failed_past=1"},
        {"no SMART data", {{no_data}}, 1, "PLATEWISE WARNING - 1 NO SMART DATA",
         "drives=1 failing=0 degrading=0 warning=0 missing=0 no_smart_data=1 failed_past=0"},
        {"degrading", {{disk("D1", 0, 30)}, {rising}}, 1, "PLATEWISE WARNING - 1 DEGRADING",
         "drives=1 failing=0 degrading=1 warning=0 missing=0 no_smart_data=0 failed_past=0"},
        {"missing", {{ok, disk("GONE", 0, 30)}, {ok}, {ok}, {ok}}, 1, "PLATEWISE WARNING - 1 DRIVE MISSING",
         "drives=2 failing=0 degrading=0 warning=0 missing=1 no_smart_data=0 failed_past=0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        platewise::StatusOptions o;
        o.store = dir / "h.db";
        o.missing_after_ms = 25 * 60 * kSecond;
        {
            HistoryStore store;
            Recorder recorder;
            ASSERT_TRUE(historytest::open_recording(store, recorder, o.store));
            std::int64_t t = kT0;
            for (const std::vector<Drive>& drives : row.passes) {
                std::string error;
                ASSERT_TRUE(record_snapshot(recorder, store, *historytest::pass_of(drives), t, error)) << error;
                t += 10 * 60 * kSecond;
            }
            std::string error;
            ASSERT_TRUE(flush_recorder(recorder, store, error)) << error;
        }
        o.now_ms = kT0 + static_cast<std::int64_t>(row.passes.size()) * 10 * 60 * kSecond;
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(platewise::run_status(o, out, err), row.status) << err.str();
        o.brief = true;
        std::ostringstream brief;
        EXPECT_EQ(platewise::run_status(o, brief, err), row.status) << err.str();
        EXPECT_EQ(brief.str(), std::string(row.brief) + " | " + row.counts + "\n");
    }

    // A file that is not a history: unknown, said on both outputs.
    TempDir dir;
    platewise::StatusOptions o;
    o.store = dir / "garbage.db";
    tooltest::write_bytes(o.store, std::vector<std::uint8_t>(3000, 'x'));
    o.brief = true;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(platewise::run_status(o, out, err), 3);
    EXPECT_EQ(out.str().rfind("PLATEWISE UNKNOWN - cannot read the history: refusing the history ", 0), 0u)
        << out.str();
    EXPECT_EQ(out.str().find('\n'), out.str().size() - 1) << "one line";
    EXPECT_NE(err.str().find("not an SQLite database"), std::string::npos) << err.str();
}

// A machine with an ATA disk, an NVMe drive whose controller flags its
// reliability, an NVMe drive that wears, a disk that answers neither ATA
// nor NVMe and an NVMe slot whose commands failed: every one is listed,
// worst first, the NVMe drive's ATA slot not as an unreadable drive.
TEST(StatusCommand, NvmeDrivesAndUnreadableSlotsBesideAtaOnes)
{
    historytest::use_utc();
    TempDir dir;
    const std::string path = dir / "h.db";
    {
        HistoryStore store;
        std::string error;
        Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        historytest::NvmeDrive boot{"PW BOOT NVME", "NV1"};
        boot.eui64 = 0x0025385b71b0c4d1;
        historytest::NvmeDrive worn{"PW WORN NVME", "NV2"};
        worn.used = 91;
        worn.written = 2000000;
        std::vector<int> slot_drive;
        for (std::int64_t t = kT0; t <= kT0 + 2 * kHour; t += 10 * 60 * kSecond) {
            boot.warning = t >= kT0 + kHour ? 0x04 : 0;
            boot.kelvin = t >= kT0 + kHour ? 320 : 311;
            // ATA: the disk in slot 0; slots 1-4 give no IDENTIFY data.
            const auto ata = historytest::pass_of({disk("A1", 0, 38), {}, {}, {}, {}});
            ASSERT_TRUE(record_snapshot(recorder, store, *ata, t, error)) << error;
            // NVMe: slots 1 and 2 answered, slot 3 not NVMe, slot 4 failed.
            auto nvme = historytest::nvme_pass_of({{}, boot, worn}, 6);
            nvme->slots[0].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
            nvme->slots[3].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
            nvme->slots[4].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::failed);
            nvme->slots[4].results[0] = static_cast<std::uint8_t>(smart::nvme::RequestResult::device_error);
            ASSERT_TRUE(record_nvme_snapshot(recorder, store, *nvme, t + kSecond, slot_drive, error)) << error;
            const NvmeSight sight = nvme_sight_of(*nvme);
            ASSERT_TRUE(replace_slots(store, unreadable_slots(ata_unreadable_of(*ata), &sight, t + kSecond), error))
                << error;
        }
    }
    platewise::StatusOptions o;
    o.store = path;
    o.now_ms = kT0 + 2 * kHour + 30 * kSecond;
    std::ostringstream out;
    std::ostringstream err;
    // A drive FAILING NOW: the exit status says so (2).
    ASSERT_EQ(platewise::run_status(o, out, err), 2) << err.str();
    EXPECT_EQ(out.str(),
              "Platewise drive status at 2026-12-01 12:00:30 (3 drives, 2 unreadable slots in " + path + ")\n"
              "\n"
              "PW BOOT NVME   serial NV1   eui64 0025385b71b0c4d1   (NVMe)\n"
              "  Verdict: FAILING NOW: reliability degraded\n"
              "  Last seen: 2026-12-01 12:00:01 (29 s ago), slot 1; first seen 2026-12-01 10:00:01\n"
              "  Temperature: 47 C   Percentage used: 3 %   Spare: 100 % (threshold 10 %)\n"
              "  Power-on: 1234 h   Data read: 0 (0 B)   Data written: 1000 (512.0 MB)\n"
              "  Media errors: 0   Error-log entries: 0   Critical warning: 0x04 (reliability_degraded)\n"
              "  Last 24 h: first seen in this time\n"
              "\n"
              "PW WORN NVME   serial NV2   (NVMe)\n"
              "  Verdict: DEGRADING: percentage used 91% (90 or more: the drive nears its rated wear) since 2026-12-01 10:00:01\n"
              "  Last seen: 2026-12-01 12:00:01 (29 s ago), slot 2; first seen 2026-12-01 10:00:01\n"
              "  Temperature: 38 C   Percentage used: 91 %   Spare: 100 % (threshold 10 %)\n"
              "  Power-on: 1234 h   Data read: 0 (0 B)   Data written: 2000000 (1.0 TB)\n"
              "  Media errors: 0   Error-log entries: 0   Critical warning: 0x00\n"
              "  Last 24 h: first seen in this time\n"
              "\n"
              "PW STATUS DISK   serial A1\n"
              "  Verdict: OK\n"
              "  Last seen: 2026-12-01 12:00:00 (30 s ago), slot 0; first seen 2026-12-01 10:00:00\n"
              "  Temperature: 38 C   Power-on: 1234 hours (51 days)\n"
              "  Last 24 h: first seen in this time\n"
              "\n"
              "Slot 3 (no drive identity)\n"
              "  Verdict: NO SMART DATA: IDENTIFY DEVICE came back empty and the drive does not answer NVMe Identify\n"
              "  Last seen: 2026-12-01 12:00:01\n"
              "\n"
              "Slot 4 (no drive identity)\n"
              "  Verdict: NO SMART DATA: IDENTIFY DEVICE came back empty; NVMe: Identify Controller device_error\n"
              "  Last seen: 2026-12-01 12:00:01\n"
              "\n"
              "Never acknowledged (counts are judged from when each was first seen; 'platewise ack --all' sets "
              "today's as the baselines):\n"
              "  PW BOOT NVME   serial NV1\n"
              "  PW WORN NVME   serial NV2\n"
              "  PW STATUS DISK   serial A1\n");

    o.json = true;
    std::ostringstream json_out;
    ASSERT_EQ(platewise::run_status(o, json_out, err), 2) << err.str();
    const nlohmann::json doc = nlohmann::json::parse(json_out.str());
    ASSERT_EQ(doc["drives"].size(), 3u);
    EXPECT_EQ(doc["drives"][0]["kind"], "nvme");
    EXPECT_EQ(doc["drives"][0]["verdict_code"], "failing_now");
    EXPECT_EQ(doc["drives"][0]["temperature_celsius"], 47);
    EXPECT_EQ(doc["drives"][0]["wwn"], "0025385b71b0c4d1");
    EXPECT_EQ(doc["drives"][1]["fields"][4]["name"], "percentage_used");
    EXPECT_EQ(doc["drives"][1]["fields"][4]["value"], 91);
    EXPECT_EQ(doc["drives"][1]["reasons"][0]["attribute"], 36);
    EXPECT_EQ(doc["drives"][2]["kind"], "ata");
    ASSERT_EQ(doc["unreadable_slots"].size(), 2u);
    EXPECT_EQ(doc["unreadable_slots"][1]["slot"], 4);
    EXPECT_EQ(doc["unreadable_slots"][1]["verdict_code"], "no_smart_data");
    EXPECT_EQ(doc["unreadable_slots"][1]["state"], "failed");

    // The unreadable slots count as NO SMART DATA for a checker too.
    o.json = false;
    o.brief = true;
    std::ostringstream brief;
    EXPECT_EQ(platewise::run_status(o, brief, err), 2) << err.str();
    EXPECT_EQ(brief.str(), "PLATEWISE CRITICAL - 1 FAILING NOW (PW BOOT NVME NV1), 1 DEGRADING, 2 NO SMART DATA | "
                           "drives=5 failing=1 degrading=1 warning=0 missing=0 no_smart_data=2 failed_past=0\n");
}

}  // namespace
