// A chart of one attribute over time as inline SVG, drawn on the server:
// no script, no fetch, styled only by the page's style sheet (classes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platewise::web {

struct ChartPoint {
    std::int64_t time_ms = 0;  // Unix ms
    std::uint64_t value = 0;
};

struct ChartOptions {
    std::int64_t from_ms = 0;  // the time axis: [from_ms, to_ms]
    std::int64_t to_ms = 0;
    // Two readings further apart than this are not joined: the listener
    // was not running (or the drive not there) in between.
    std::int64_t max_gap_ms = 0;
    std::string title;  // plain text; escaped here
    std::string id;     // the figure's id (letters, digits, '-')
};

// Plot area within the SVG's view box.
inline constexpr int kChartWidth = 640;
inline constexpr int kChartHeight = 220;
inline constexpr int kPlotLeft = 76;
inline constexpr int kPlotRight = 628;
inline constexpr int kPlotTop = 12;
inline constexpr int kPlotBottom = 190;
// More readings than this are drawn as the lowest and highest of each
// column of the plot (a spike stays visible).
inline constexpr std::size_t kMaxDrawnPoints = 2 * (kPlotRight - kPlotLeft);

// How the chart was drawn, for the caption and the tests.
struct ChartLayout {
    std::uint64_t low = 0;   // the value axis: [low, high]
    std::uint64_t high = 0;
    std::size_t readings = 0;  // points within the time axis
    std::size_t drawn = 0;     // markers drawn (readings, or fewer when reduced)
    std::size_t lines = 0;     // polylines: runs of readings without a gap
    std::size_t gaps = 0;
};

// `points` in time order; points outside [from_ms, to_ms] are left out.
// A value holds until the next reading (a step line). A <figure> with the
// SVG (role img, a <title>) and a caption in words: readings, range, the
// lowest and highest value, gaps.
std::string render_chart(const std::vector<ChartPoint>& points, const ChartOptions& options,
                         ChartLayout* layout = nullptr);

}  // namespace platewise::web
