// platewise events as a person and a script see it: the recorded events
// oldest first, from a time on, as text or one JSON document.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "commands/events_command.h"
#include "history/event_store.h"
#include "../history/history_test_support.h"

namespace {

using namespace platewise::history;
using historytest::kHour;
using historytest::kT0;

std::string build(const TempDir& dir)
{
    const std::string path = dir / "h.db";
    HistoryStore store;
    std::string error;
    EXPECT_TRUE(open_history(store, path, false, error)) << error;
    const auto add = [&](std::int64_t at, const char* kind, const char* model, int slot, const char* before,
                         const char* after, std::vector<std::string> reasons) {
        StoredEvent e;
        e.time_ms = at;
        e.drive_id = 1;
        e.kind = kind;
        e.model = model;
        e.serial = "S1";
        e.slot = slot;
        e.verdict_before = before;
        e.verdict_after = after;
        e.reasons = std::move(reasons);
        EXPECT_TRUE(insert_event(store, e, error)) << error;
    };
    // Inserted out of order: the listing is by time.
    add(kT0 + 2 * kHour, "change", "PW EVENTS", 3, "DEGRADING", "FAILING NOW",
        {"failing now: attribute 5 Reallocated Sectors Count", "degrading: attribute 197 2 above 0"});
    add(kT0, "new", "PW EVENTS", 3, "", "OK", {});
    add(kT0 + kHour, "change", "PW EVENTS", 3, "OK", "DEGRADING", {"degrading: attribute 197 1 above 0"});
    add(kT0 + 3 * kHour, "missing", "PW\nFORGED\x1b", -1, "FAILING NOW", "DRIVE MISSING", {"drive missing: x"});
    return path;
}

TEST(EventsCommand, OldestFirstFromATimeOnAsTextOrJson)
{
    historytest::use_utc();
    TempDir dir;
    platewise::EventsOptions o;
    o.store = build(dir);
    struct Row {
        const char* name;
        std::int64_t since_ms;
        const char* text;
    };
    const Row rows[] = {
        {"every event", 0,
         "2026-12-01 10:00:00  new  PW EVENTS serial S1 slot 3: OK\n"
         "2026-12-01 11:00:00  change  PW EVENTS serial S1 slot 3: OK -> DEGRADING\n"
         "    degrading: attribute 197 1 above 0\n"
         "2026-12-01 12:00:00  change  PW EVENTS serial S1 slot 3: DEGRADING -> FAILING NOW\n"
         "    failing now: attribute 5 Reallocated Sectors Count\n"
         "    degrading: attribute 197 2 above 0\n"
         "2026-12-01 13:00:00  missing  PW?FORGED? serial S1: FAILING NOW -> DRIVE MISSING\n"
         "    drive missing: x\n"},
        {"since: at or after", kT0 + 2 * kHour,
         "2026-12-01 12:00:00  change  PW EVENTS serial S1 slot 3: DEGRADING -> FAILING NOW\n"
         "    failing now: attribute 5 Reallocated Sectors Count\n"
         "    degrading: attribute 197 2 above 0\n"
         "2026-12-01 13:00:00  missing  PW?FORGED? serial S1: FAILING NOW -> DRIVE MISSING\n"
         "    drive missing: x\n"},
        {"nothing since", kT0 + 4 * kHour, "No event recorded since 2026-12-01 14:00:00.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        o.since_ms = row.since_ms;
        o.json = false;
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_EQ(platewise::run_events(o, out, err), 0) << err.str();
        EXPECT_EQ(out.str(), row.text);
    }

    o.since_ms = kT0 + kHour;
    o.json = true;
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(platewise::run_events(o, out, err), 0) << err.str();
    const nlohmann::json doc = nlohmann::json::parse(out.str());
    ASSERT_EQ(doc["events"].size(), 3u);
    const nlohmann::json& first = doc["events"][0];
    EXPECT_EQ(first["time"], (kT0 + kHour) / 1000);
    EXPECT_EQ(first["kind"], "change");
    EXPECT_EQ(first["verdict_before"], "OK");
    EXPECT_EQ(first["verdict_after"], "DEGRADING");
    EXPECT_EQ(first["slot"], 3);
    EXPECT_EQ(doc["events"][1]["reasons"].size(), 2u);
    EXPECT_EQ(doc["events"][2]["model"], "PW\nFORGED\x1b") << "JSON escapes what text replaces";
    EXPECT_EQ(out.str().find('\n'), out.str().size() - 1) << "one line";

    o.store = dir / "none.db";
    std::ostringstream none_out;
    std::ostringstream none_err;
    EXPECT_EQ(platewise::run_events(o, none_out, none_err), 1);
    EXPECT_EQ(none_out.str(), "");
    EXPECT_NE(none_err.str().find("no history at "), std::string::npos) << none_err.str();
}

}  // namespace
