// The rules on a simulated clock: what a person is told, pass by pass.
#include <gtest/gtest.h>

#include "notify/notify_policy.h"
#include "notify_test_support.h"

namespace {

using platewise::events::DriveEvent;
using platewise::notify::NotifyPolicy;

constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kStart = 1'796'684'129'000;

// One pass: at `minute` after the start, these events.
struct Pass {
    std::int64_t minute;
    std::vector<DriveEvent> events;
};

// What each message said: "KIND SERIAL BEFORE>AFTER", a digest as
// "digest N".
std::vector<std::string> told(NotifyPolicy& policy, const std::vector<Pass>& passes)
{
    std::vector<std::string> out;
    for (const Pass& p : passes) {
        for (const platewise::notify::Message& m : policy.pass(p.events, kStart + p.minute * kMinute)) {
            std::string line = "@" + std::to_string(p.minute) + " ";
            if (m.digest()) {
                line += "digest " + std::to_string(m.events.size());
            } else {
                const DriveEvent& e = m.events.front();
                line += e.kind + " " + e.serial + " " + e.verdict_before + ">" + e.verdict_after;
            }
            out.push_back(line);
        }
    }
    return out;
}

// Steady passes every five minutes from `from` to `to` (minutes).
std::vector<Pass> steady(std::int64_t from, std::int64_t to)
{
    std::vector<Pass> out;
    for (std::int64_t m = from; m <= to; m += 5) {
        out.push_back({m, {}});
    }
    return out;
}

std::vector<Pass> operator+(std::vector<Pass> a, const std::vector<Pass>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using notifytest::event;

TEST(NotifyPolicy, OneMessagePerChangeNonePerSteadyPass)
{
    NotifyPolicy policy;
    const auto out = told(policy, std::vector<Pass>{{0, {event("S1", "", "OK", "new")}}} + steady(5, 60) +
                                      std::vector<Pass>{{65, {event("S1", "OK", "DEGRADING")}}} +
                                      steady(70, 600));
    EXPECT_EQ(out, (std::vector<std::string>{"@65 change S1 OK>DEGRADING"}));
}

// Wear, old damage and unreadable drives are shown, not mailed, and never
// reminded; told only as the end of something a person heard about.
TEST(NotifyPolicy, WarningsAreShownNotToldUnlessTheyEndSomethingTold)
{
    struct Row {
        const char* name;
        std::vector<Pass> passes;
        std::vector<std::string> told;
    };
    const Row rows[] = {
        {"new drive with old damage", std::vector<Pass>{{0, {event("S1", "", "WARNING", "new")}}} + steady(5, 3000),
         {}},
        {"OK to WARNING to OK", {{0, {event("S1", "OK", "WARNING")}}, {90, {event("S1", "WARNING", "OK")}}}, {}},
        {"failed in the past, no SMART data", {{0, {event("S1", "OK", "FAILED IN THE PAST")}},
                                                {10, {event("S2", "OK", "NO SMART DATA")}}}, {}},
        {"warning then failing", {{0, {event("S1", "OK", "WARNING")}}, {5, {event("S1", "WARNING", "FAILING NOW")}}},
         {"@5 change S1 WARNING>FAILING NOW"}},
        {"failing, then acknowledged down to a warning",
         {{0, {event("S1", "OK", "DEGRADING")}}, {120, {event("S1", "DEGRADING", "WARNING")}}},
         {"@0 change S1 OK>DEGRADING", "@120 change S1 DEGRADING>WARNING"}},
        {"missing is told", {{0, {event("S1", "OK", "DRIVE MISSING", "missing")}}},
         {"@0 missing S1 OK>DRIVE MISSING"}},
    };
    for (const Row& row : rows) {
        NotifyPolicy policy;
        EXPECT_EQ(told(policy, row.passes), row.told) << row.name;
    }
}

TEST(NotifyPolicy, RemindsOnceADayWhileBad)
{
    NotifyPolicy policy;  // 24 h
    const auto out = told(policy, std::vector<Pass>{{0, {event("S1", "", "FAILING NOW", "new")}}} +
                                      steady(5, 3 * 24 * 60 + 30));
    EXPECT_EQ(out, (std::vector<std::string>{"@0 new S1 >FAILING NOW",
                                             "@1440 reminder S1 FAILING NOW>FAILING NOW",
                                             "@2880 reminder S1 FAILING NOW>FAILING NOW",
                                             "@4320 reminder S1 FAILING NOW>FAILING NOW"}));

    NotifyPolicy never({0, kHour, 5});
    EXPECT_EQ(told(never, std::vector<Pass>{{0, {event("S1", "OK", "DEGRADING")}}} + steady(5, 3 * 24 * 60)),
              (std::vector<std::string>{"@0 change S1 OK>DEGRADING"}));

    // Back to OK: no reminders after it.
    NotifyPolicy healed;
    EXPECT_EQ(told(healed, std::vector<Pass>{{0, {event("S1", "OK", "DEGRADING")}},
                                            {120, {event("S1", "DEGRADING", "OK")}}} +
                               steady(125, 3 * 24 * 60)),
              (std::vector<std::string>{"@0 change S1 OK>DEGRADING", "@120 change S1 DEGRADING>OK"}));
}

TEST(NotifyPolicy, AFlappingDriveIsToldAtMostOnceAnHour)
{
    // OK and DEGRADING in turn every five minutes for two hours, ending OK.
    std::vector<Pass> passes;
    for (std::int64_t m = 0; m < 120; m += 5) {
        const bool bad = (m / 5) % 2 == 0;
        passes.push_back({m, {event("S1", bad ? "OK" : "DEGRADING", bad ? "DEGRADING" : "OK")}});
    }
    passes = passes + steady(120, 300);
    NotifyPolicy policy;
    const auto out = told(policy, passes);
    // 24 changes, three messages: the first at once, one when the hour
    // ends (a change again), and at the end of the next hour the verdict
    // the drive settled on.
    EXPECT_EQ(out, (std::vector<std::string>{"@0 change S1 OK>DEGRADING", "@60 change S1 OK>DEGRADING",
                                             "@120 change S1 DEGRADING>OK"}));

    // A flap that settles on a different verdict is told when the hour ends.
    NotifyPolicy settles;
    EXPECT_EQ(told(settles, std::vector<Pass>{{0, {event("S1", "OK", "DEGRADING")}},
                                             {10, {event("S1", "DEGRADING", "OK")}}} +
                                steady(15, 90)),
              (std::vector<std::string>{"@0 change S1 OK>DEGRADING", "@60 change S1 DEGRADING>OK"}));

    // Worse within the hour is told at once.
    NotifyPolicy worse;
    EXPECT_EQ(told(worse, {{0, {event("S1", "OK", "DEGRADING")}}, {5, {event("S1", "DEGRADING", "FAILING NOW")}}}),
              (std::vector<std::string>{"@0 change S1 OK>DEGRADING", "@5 change S1 DEGRADING>FAILING NOW"}));
}

TEST(NotifyPolicy, AFloodIsOneMessage)
{
    const auto many = [](std::size_t n, const std::string& kind, const std::string& after) {
        std::vector<DriveEvent> out;
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(event("S" + std::to_string(i), "OK", after, kind));
        }
        return out;
    };
    const std::vector<std::pair<std::vector<DriveEvent>, std::vector<std::string>>> rows = {
        {many(30, "missing", "DRIVE MISSING"), {"@0 digest 30"}},
        {many(6, "change", "DEGRADING"), {"@0 digest 6"}},
        {many(5, "change", "DEGRADING"),
         {"@0 change S0 OK>DEGRADING", "@0 change S1 OK>DEGRADING", "@0 change S2 OK>DEGRADING",
          "@0 change S3 OK>DEGRADING", "@0 change S4 OK>DEGRADING"}},
        // New drives that are OK are not told: thirty at the first start is
        // no message at all.
        {many(30, "new", "OK"), {}},
    };
    for (const auto& [events, expected] : rows) {
        NotifyPolicy policy;
        EXPECT_EQ(told(policy, {{0, events}}), expected);
    }
    // The day after a flood, the drives still missing are reminded in one
    // message too.
    NotifyPolicy policy;
    EXPECT_EQ(told(policy, std::vector<Pass>{{0, many(30, "missing", "DRIVE MISSING")}} + steady(5, 1440)),
              (std::vector<std::string>{"@0 digest 30", "@1440 digest 30"}));
}

}  // namespace
