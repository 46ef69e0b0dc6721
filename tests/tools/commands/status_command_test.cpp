// platewise status as a person and a script see it, from a history built
// pass by pass.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "commands/ack_command.h"
#include "commands/status_command.h"
#include "version/build_version.h"
#include "../history/history_test_support.h"

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

}  // namespace
