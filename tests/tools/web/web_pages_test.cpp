// The status page's HTML from a real history: the cards' order and words,
// escaping, a drive's table and charts against what `platewise history`
// lists.
#include "web/web_pages.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "commands/history_command.h"
#include "version/build_version.h"
#include "web/event_list.h"
#include "web_test_support.h"
#include "../tool_test_support.h"

namespace {

using tooltest::occurrences;

using namespace platewise;
using namespace platewise::web;

std::vector<history::DriveView> views_of(const std::string& path)
{
    history::HistoryStore store;
    std::string error;
    EXPECT_TRUE(history::open_history(store, path, true, error)) << error;
    history::ViewOptions options;
    options.now_ms = webtest::kNow;
    options.missing_after_ms = 10 * 60 * 1000;
    std::vector<history::DriveView> views;
    EXPECT_TRUE(history::load_views(store, options, views, error)) << error;
    return views;
}

// The text of the element with data-points in the chart of `id`.
std::size_t chart_points(const std::string& html, const std::string& chart_id)
{
    const std::size_t at = html.find("id=\"" + chart_id + "\"");
    EXPECT_NE(at, std::string::npos) << chart_id;
    const std::size_t points = html.find("data-points=\"", at);
    return std::stoul(html.substr(points + 13));
}

TEST(WebPages, FrontPageListsEveryDriveWorstFirstAndSaysWhy)
{
    TempDir dir;
    const std::vector<history::DriveView> views = views_of(webtest::build_history(dir));
    ASSERT_EQ(views.size(), 6u);
    const std::string html = render_front_page(views, webtest::kNow, smart::default_attribute_table());

    // Worst first; OK drives by model ('<' sorts before 'P').
    const char* order[] = {"PW FAILING DISK", "PW DEGRADING DISK", "PW GONE DISK", "PW NO DATA DISK",
                           "&lt;script&gt;alert(1)&lt;/script&gt;", "PW OK DISK"};
    std::size_t last = 0;
    for (const char* model : order) {
        const std::size_t at = html.find(">" + std::string(model) + "</a></h2>");
        ASSERT_NE(at, std::string::npos) << model;
        EXPECT_GT(at, last) << model;
        last = at;
    }
    EXPECT_EQ(occurrences(html, "<article class=\"card"), 6u);
    // Words beside every colour, and the reasons.
    for (const char* badge : {">FAILING NOW<", ">DEGRADING<", ">DRIVE MISSING<", ">NO SMART DATA<", ">OK<"}) {
        EXPECT_NE(html.find(badge), std::string::npos) << badge;
    }
    EXPECT_NE(html.find("FAILING NOW: attribute 5 Reallocated Sectors Count"), std::string::npos) << html;
    EXPECT_NE(html.find("DEGRADING: attribute 197 Current Pending Sector Count 5 above first seen 0"),
              std::string::npos);
    EXPECT_NE(html.find("DRIVE MISSING: not seen since 2026-12-01 19:50:00"), std::string::npos);
    EXPECT_NE(html.find("6 drives: 1 FAILING NOW, 1 DEGRADING, 1 DRIVE MISSING, 1 NO SMART DATA, 2 OK"),
              std::string::npos);
    // Temperature now and its range over the last 24 hours, power-on time,
    // last seen.
    EXPECT_NE(html.find("<dt>Temperature</dt><dd>33 \xc2\xb0" "C (24 h: 30\xe2\x80\x93" "34 \xc2\xb0" "C)</dd>"),
              std::string::npos) << html;
    EXPECT_NE(html.find("<dt>Power-on time</dt><dd>1234 hours (51 days)</dd>"), std::string::npos);
    EXPECT_NE(html.find("<time>2026-12-03 10:00:00</time> (60 s ago)"), std::string::npos);
    // A drive's card opens its page; hostile strings are text everywhere.
    EXPECT_NE(html.find("<a href=\"/drive/D1\">"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"/drive/S%22%3Ci%3E%26%27\">"), std::string::npos);
    EXPECT_NE(html.find("<dd>S&quot;&lt;i&gt;&amp;&#39;</dd>"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<i>"), std::string::npos);
    EXPECT_EQ(html.find("style="), std::string::npos) << "the policy forbids inline styles";
    // The footer says which platewise drew the page, and from which commit.
    EXPECT_NE(html.find("<footer><p>Drawn by platewise 0.1.0 (commit " + std::string(platewise::build_commit()) +
                        ") at "),
              std::string::npos)
        << html;
}

TEST(WebPages, DrivePageChartsHoldWhatTheHistoryHolds)
{
    TempDir dir;
    const std::string path = webtest::build_history(dir);
    const std::vector<history::DriveView> views = views_of(path);
    const auto found = history::find_views(views, "D1", "");
    ASSERT_EQ(found.size(), 1u);

    for (const auto& [range, since] : {std::pair{Range::day, std::string("24h")}, std::pair{Range::week, std::string("7d")}}) {
        const std::string html =
            render_drive_page(found, "D1", range, webtest::kNow, smart::default_attribute_table());
        // What `platewise history D1 --attribute 197` lists in that time.
        HistoryOptions options;
        options.store = path;
        options.serial = "D1";
        options.attribute = 197;
        options.json = true;
        ASSERT_TRUE(history::parse_when(since, webtest::kNow, options.since_ms));
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_EQ(run_history(options, out, err), 0) << err.str();
        const std::size_t listed = nlohmann::json::parse(out.str())["drives"][0]["readings"].size();
        ASSERT_GT(listed, 5u);
        EXPECT_EQ(chart_points(html, "chart-0-197"), listed) << since;

        // Temperature and every leading indicator are charted; the listener's
        // six hours off show as a gap.
        EXPECT_NE(html.find("id=\"chart-0-194\""), std::string::npos);
        EXPECT_NE(html.find("id=\"chart-0-5\""), std::string::npos);
        EXPECT_EQ(html.find("id=\"chart-0-9\""), std::string::npos) << "power-on hours did not change";
        EXPECT_NE(html.find("1 gap without readings (shaded)"), std::string::npos);
        // The range links, the current one marked.
        EXPECT_NE(html.find(std::string("?range=") + (range == Range::day ? "day" : "week") +
                            "\" aria-current=\"page\""),
                  std::string::npos);
        // The attribute table, with real headers.
        EXPECT_NE(html.find("<th scope=\"col\">Threshold</th>"), std::string::npos);
        EXPECT_NE(html.find("<th scope=\"row\">Current Pending Sector Count</th>"), std::string::npos);
        EXPECT_NE(html.find("<h1>Drive D1</h1>"), std::string::npos);
        EXPECT_NE(html.find("Temperature in degrees Celsius (attribute 194)"), std::string::npos);
        EXPECT_EQ(html.find("\xef\xbf\xbd"), std::string::npos) << "no text of ours is replaced";
    }
    // A temperature that moves is charted from the OK drive's readings.
    const std::string ok = render_drive_page(history::find_views(views, "OK1", ""), "OK1", Range::day,
                                             webtest::kNow, smart::default_attribute_table());
    EXPECT_NE(ok.find("lowest 30, highest 34"), std::string::npos);
    // The failing attribute's row is marked in words too.
    const std::string failing = render_drive_page(history::find_views(views, "F1", ""), "F1", Range::day,
                                                  webtest::kNow, smart::default_attribute_table());
    EXPECT_NE(failing.find("<tr class=\"failing\">"), std::string::npos);
    EXPECT_NE(failing.find("<td>failing now</td>"), std::string::npos);
}

TEST(WebPages, RangesAndOrder)
{
    Range r = Range::year;
    EXPECT_TRUE(parse_range("day", r));
    EXPECT_EQ(r, Range::day);
    EXPECT_TRUE(parse_range("week", r));
    EXPECT_EQ(range_ms(r), 7 * 86400000LL);
    EXPECT_TRUE(parse_range("year", r));
    EXPECT_EQ(range_ms(r), 365 * 86400000LL);
    for (const char* bad : {"", "Day", "month", "day "}) {
        EXPECT_FALSE(parse_range(bad, r)) << bad;
    }
    // Worst first: failing now, degrading, the warnings (a past failure
    // before wear), missing, no data, OK.
    EXPECT_LT(verdict_rank(Verdict::failing_now), verdict_rank(Verdict::degrading));
    EXPECT_LT(verdict_rank(Verdict::degrading), verdict_rank(Verdict::failed_past));
    EXPECT_LT(verdict_rank(Verdict::failed_past), verdict_rank(Verdict::warning));
    EXPECT_LT(verdict_rank(Verdict::warning), verdict_rank(Verdict::missing));
    EXPECT_LT(verdict_rank(Verdict::missing), verdict_rank(Verdict::no_smart_data));
    EXPECT_LT(verdict_rank(Verdict::no_smart_data), verdict_rank(Verdict::ok));
}

// The events on the pages: newest first, the verdicts before and after,
// the reasons, a link to the drive on the front page, and drive strings
// (from a history anybody who could write it may have filled) as text.
TEST(WebPages, EventsNewestFirstWithTheirReasonsAndEscaped)
{
    historytest::use_utc();
    TempDir dir;
    const std::vector<history::DriveView> views = views_of(webtest::build_history(dir));
    const auto event = [](std::int64_t at, const char* kind, const char* model, const char* serial,
                          const char* before, const char* after, std::vector<std::string> reasons) {
        events::DriveEvent e;
        e.time_ms = at;
        e.kind = kind;
        e.model = model;
        e.serial = serial;
        e.verdict_before = before;
        e.verdict_after = after;
        e.reasons = std::move(reasons);
        return e;
    };
    const std::vector<events::DriveEvent> list = {
        event(webtest::kNow - 3600 * 1000, "new", "PW OK DISK", "OK1", "", "OK", {}),
        event(webtest::kNow - 60 * 1000, "change", "<b>EVIL</b>", "S\"<i>&'", "DEGRADING", "FAILING NOW",
              {"failing now: attribute 5 <script>"}),
    };
    const std::string front =
        render_front_page(views, webtest::kNow, smart::default_attribute_table(), &list);
    const std::size_t newest = front.find("<time>2026-12-03 10:00:00</time>");
    const std::size_t oldest = front.find("<time>2026-12-03 09:01:00</time>");
    ASSERT_NE(newest, std::string::npos) << front;
    ASSERT_NE(oldest, std::string::npos) << front;
    EXPECT_LT(newest, oldest) << "newest first";
    EXPECT_NE(front.find("<h2>Latest events</h2>"), std::string::npos);
    EXPECT_NE(front.find("<li class=\"v-failing_now\"><time>2026-12-03 10:00:00</time> "
                         "<a href=\"/drive/S%22%3Ci%3E%26%27\">&lt;b&gt;EVIL&lt;/b&gt; S&quot;&lt;i&gt;&amp;&#39;</a>: "
                         "verdict changed, DEGRADING \xe2\x86\x92 <strong>FAILING NOW</strong>"
                         "<ul class=\"why\"><li>failing now: attribute 5 &lt;script&gt;</li></ul></li>"),
              std::string::npos)
        << front;
    EXPECT_NE(front.find("<li class=\"v-ok\"><time>2026-12-03 09:01:00</time> <a href=\"/drive/OK1\">PW OK DISK OK1</a>: "
                         "new drive, <strong>OK</strong></li>"),
              std::string::npos)
        << front;
    EXPECT_EQ(front.find("<script"), std::string::npos);
    EXPECT_EQ(front.find("<b>"), std::string::npos);
    EXPECT_EQ(front.find("style="), std::string::npos) << "the policy forbids inline styles";

    const std::vector<events::DriveEvent> none;
    EXPECT_NE(render_front_page(views, webtest::kNow, smart::default_attribute_table(), &none)
                  .find("<h2>Latest events</h2>\n<p class=\"summary\">No event recorded yet.</p>"),
              std::string::npos);

    const std::vector<const history::DriveView*> own = history::find_views(views, "OK1", "");
    const std::vector<events::DriveEvent> own_events = {list[0]};
    const std::string page = render_drive_page(own, "OK1", Range::day, webtest::kNow,
                                               smart::default_attribute_table(), &own_events);
    EXPECT_NE(page.find("<h2>Events</h2>\n<ol>\n<li class=\"v-ok\"><time>2026-12-03 09:01:00</time> PW OK DISK OK1: "
                        "new drive, <strong>OK</strong></li>"),
              std::string::npos)
        << page;
}

}  // namespace
