// The SVG chart: its axes, gaps where the listener was down, a single
// reading, a counter that wraps, many readings.
#include "web/svg_chart.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "../history/history_test_support.h"
#include "../tool_test_support.h"

namespace {

using tooltest::occurrences;

using platewise::web::ChartLayout;
using platewise::web::ChartOptions;
using platewise::web::ChartPoint;
using platewise::web::render_chart;

constexpr std::int64_t kT0 = 1796119200000;  // 2026-12-01 10:00:00 UTC
constexpr std::int64_t kHour = 3600 * 1000;

ChartOptions day()
{
    historytest::use_utc();
    ChartOptions o;
    o.from_ms = kT0;
    o.to_ms = kT0 + 24 * kHour;
    o.max_gap_ms = 2 * kHour;
    o.title = "Attribute 197 <pending>";
    o.id = "chart-0-197";
    return o;
}

// Every coordinate of the markers and lines lies in the plot area.
void expect_inside_plot(const std::string& svg)
{
    const std::regex circle("cx=\"([-0-9.]+)\" cy=\"([-0-9.]+)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), circle); it != std::sregex_iterator(); ++it) {
        const double x = std::stod((*it)[1]);
        const double y = std::stod((*it)[2]);
        EXPECT_GE(x, platewise::web::kPlotLeft);
        EXPECT_LE(x, platewise::web::kPlotRight);
        EXPECT_GE(y, platewise::web::kPlotTop);
        EXPECT_LE(y, platewise::web::kPlotBottom);
    }
}

struct ChartRow {
    const char* name;
    std::vector<ChartPoint> points;
    std::uint64_t low, high;  // the values' range
    std::size_t readings, lines, gaps;
    const char* axis_top;     // the labels of the value axis
    const char* axis_bottom;
};

TEST(SvgChart, AxesGapsSinglePointsAndWraps)
{
    const ChartRow rows[] = {
        {"rising hourly", {{kT0, 0}, {kT0 + kHour, 1}, {kT0 + 2 * kHour, 4}}, 0, 4, 3, 1, 0, ">4<", ">0<"},
        // The listener was down from 02:00 to 08:00: two lines, one gap.
        {"gap", {{kT0, 30}, {kT0 + kHour, 31}, {kT0 + 2 * kHour, 32}, {kT0 + 8 * kHour, 35}, {kT0 + 9 * kHour, 36}},
         30, 36, 5, 2, 1, ">36<", ">30<"},
        // A single reading: a marker, no line, an axis around it.
        {"single", {{kT0 + 5 * kHour, 7}}, 7, 7, 1, 0, 0, ">8<", ">6<"},
        {"single zero", {{kT0 + 5 * kHour, 0}}, 0, 0, 1, 0, 0, ">1<", ">0<"},
        // A lone reading after a gap is a marker only.
        {"lone after gap", {{kT0, 1}, {kT0 + kHour, 1}, {kT0 + 10 * kHour, 1}}, 1, 1, 3, 1, 1, ">2<", ">0<"},
        // A 16-bit counter wraps: drawn as it is read, the axis spans both.
        {"wrap", {{kT0, 65530}, {kT0 + kHour, 65534}, {kT0 + 2 * kHour, 2}, {kT0 + 3 * kHour, 6}}, 2, 65534, 4, 1, 0,
         ">65534<", ">2<"},
        // A 48-bit raw value near its top: the axis labels fit left of the
        // plot, three digits with an SI prefix (the words give every digit).
        {"large", {{kT0, 0xFFFFFFFFFFF0ull}, {kT0 + kHour, 0xFFFFFFFFFFFFull}}, 0xFFFFFFFFFFF0ull,
         0xFFFFFFFFFFFFull, 2, 1, 0, ">281T<", ">281T<"},
        {"eight digits as they are", {{kT0, 10000000}, {kT0 + kHour, 99999999}}, 10000000, 99999999, 2, 1, 0,
         ">99999999<", ">10000000<"},
        {"nine digits shortened: bytes written in an hour", {{kT0, 0}, {kT0 + kHour, 1689600000}}, 0,
         1689600000, 2, 1, 0, ">1.69G<", ">0<"},
        {"rounding up to the next prefix", {{kT0, 100000000}, {kT0 + kHour, 999600000}}, 100000000, 999600000, 2,
         1, 0, ">1.00G<", ">100M<"},
        {"the largest value", {{kT0, UINT64_MAX - 1}, {kT0 + kHour, UINT64_MAX}}, UINT64_MAX - 1, UINT64_MAX, 2, 1,
         0, ">18.4E<", ">18.4E<"},
        // Readings outside the time shown are left out.
        {"outside", {{kT0 - kHour, 99}, {kT0 + kHour, 3}, {kT0 + 25 * kHour, 99}}, 3, 3, 1, 0, 0, ">4<", ">2<"},
    };
    for (const ChartRow& row : rows) {
        SCOPED_TRACE(row.name);
        ChartLayout layout;
        const std::string svg = render_chart(row.points, day(), &layout);
        EXPECT_EQ(layout.low, row.low);
        EXPECT_EQ(layout.high, row.high);
        EXPECT_EQ(layout.readings, row.readings);
        EXPECT_EQ(layout.drawn, row.readings);
        EXPECT_EQ(layout.lines, row.lines);
        EXPECT_EQ(layout.gaps, row.gaps);
        EXPECT_EQ(occurrences(svg, "<circle"), row.readings);
        EXPECT_EQ(occurrences(svg, "<polyline"), row.lines);
        EXPECT_EQ(occurrences(svg, "<rect class=\"gap\""), row.gaps);
        EXPECT_NE(svg.find("data-points=\"" + std::to_string(row.readings) + "\""), std::string::npos);
        EXPECT_NE(svg.find(row.axis_top), std::string::npos) << svg;
        EXPECT_NE(svg.find(row.axis_bottom), std::string::npos) << svg;
        expect_inside_plot(svg);
        // The title is text, and the time axis is labelled.
        EXPECT_NE(svg.find("Attribute 197 &lt;pending&gt;"), std::string::npos);
        EXPECT_EQ(svg.find("<pending>"), std::string::npos);
        EXPECT_NE(svg.find(">12-01 10:00<"), std::string::npos);
        EXPECT_NE(svg.find(">12-02 10:00<"), std::string::npos);
    }
}

TEST(SvgChart, StepLineHoldsEachValueUntilTheNextReading)
{
    ChartOptions o = day();
    o.max_gap_ms = 24 * kHour;
    ChartLayout layout;
    const std::string svg = render_chart({{kT0, 0}, {kT0 + 12 * kHour, 10}}, o, &layout);
    // From (left, bottom) along the bottom to the middle, then up.
    EXPECT_NE(svg.find("points=\"76.0,190.0 352.0,190.0 352.0,12.0\""), std::string::npos) << svg;
}

TEST(SvgChart, NoReadingsSaysSo)
{
    ChartLayout layout;
    const std::string svg = render_chart({}, day(), &layout);
    EXPECT_EQ(layout.readings, 0u);
    EXPECT_EQ(occurrences(svg, "<circle"), 0u);
    EXPECT_NE(svg.find("No readings in this time"), std::string::npos);
}

TEST(SvgChart, ManyReadingsKeepEachColumnsLowestAndHighest)
{
    std::vector<ChartPoint> points;
    for (int i = 0; i < 17280; ++i) {  // one every 5 s for a day
        points.push_back({kT0 + i * 5000LL, static_cast<std::uint64_t>(i % 7)});
    }
    points[9000].value = 1000;  // a spike
    ChartLayout layout;
    const std::string svg = render_chart(points, day(), &layout);
    EXPECT_EQ(layout.readings, points.size());
    EXPECT_LE(layout.drawn, platewise::web::kMaxDrawnPoints);
    EXPECT_EQ(occurrences(svg, "<circle"), layout.drawn);
    EXPECT_EQ(layout.high, 1000u);
    EXPECT_NE(svg.find("cy=\"12.0\""), std::string::npos) << "the spike is drawn";
    EXPECT_NE(svg.find("lowest and highest of each column"), std::string::npos);
    expect_inside_plot(svg);
}

}  // namespace
