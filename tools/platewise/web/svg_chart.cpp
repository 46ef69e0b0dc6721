// Drawing a step chart as SVG.
#include "web/svg_chart.h"

#include <algorithm>

#include "report/local_time_text.h"
#include "smart.h"
#include "web/html_text.h"

namespace platewise::web {

namespace {

std::string num(double v)
{
    return smart::format_text("%.1f", v);
}

std::string time_label(std::int64_t ms, std::int64_t span_ms)
{
    return local_time_text_at(ms, span_ms > 2LL * 86400 * 1000 ? "%Y-%m-%d" : "%m-%d %H:%M");
}

// Keeps, of each pixel column, its lowest and its highest reading, in time
// order.
std::vector<ChartPoint> reduce(const std::vector<ChartPoint>& points, const ChartOptions& o)
{
    const double span = static_cast<double>(o.to_ms - o.from_ms);
    const int columns = kPlotRight - kPlotLeft;
    std::vector<ChartPoint> out;
    std::size_t i = 0;
    while (i < points.size()) {
        const auto column = [&](const ChartPoint& p) {
            return static_cast<int>(static_cast<double>(p.time_ms - o.from_ms) / span * columns);
        };
        const int c = column(points[i]);
        std::size_t low = i;
        std::size_t high = i;
        std::size_t j = i;
        for (; j < points.size() && column(points[j]) == c; ++j) {
            low = points[j].value < points[low].value ? j : low;
            high = points[j].value > points[high].value ? j : high;
        }
        out.push_back(points[std::min(low, high)]);
        if (low != high) {
            out.push_back(points[std::max(low, high)]);
        }
        i = j;
    }
    return out;
}

// A value axis label that fits left of the plot (13px digits, 70px):
// eight digits as they are, longer values in three significant digits with
// an SI prefix ("1.69G"). The exact values are in the words beside.
std::string axis_label(std::uint64_t v)
{
    if (v < 100000000) {
        return std::to_string(v);
    }
    static const char prefixes[] = "kMGTPE";
    double scaled = static_cast<double>(v);
    std::size_t p = 0;
    while (p < sizeof prefixes - 2 && scaled / 1000.0 >= 999.5) {
        scaled /= 1000.0;
        ++p;
    }
    scaled /= 1000.0;
    const char* format = scaled < 9.995 ? "%.2f%c" : scaled < 99.95 ? "%.1f%c" : "%.0f%c";
    return smart::format_text(format, scaled, prefixes[p]);
}

}  // namespace

std::string render_chart(const std::vector<ChartPoint>& all, const ChartOptions& o,
                         ChartLayout* layout_out)
{
    ChartLayout layout;
    std::vector<ChartPoint> points;
    for (const ChartPoint& p : all) {
        if (p.time_ms >= o.from_ms && p.time_ms <= o.to_ms) {
            points.push_back(p);
        }
    }
    layout.readings = points.size();
    const std::int64_t span_ms = std::max<std::int64_t>(1, o.to_ms - o.from_ms);

    std::string svg = "<figure class=\"chart\" id=\"" + html_escape(o.id) + "\">\n";
    svg += "<figcaption>" + html_escape(o.title) + "</figcaption>\n";
    svg += "<svg viewBox=\"0 0 " + std::to_string(kChartWidth) + " " + std::to_string(kChartHeight) +
           "\" role=\"img\" aria-labelledby=\"" + html_escape(o.id) + "-t\" data-points=\"" +
           std::to_string(points.size()) + "\">\n";
    svg += "<title id=\"" + html_escape(o.id) + "-t\">" + html_escape(o.title) + "</title>\n";

    std::string words;  // what the chart shows, for those who do not see it
    if (points.empty()) {
        svg += "<text class=\"empty\" x=\"" + std::to_string((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
               std::to_string((kPlotTop + kPlotBottom) / 2) +
               "\" text-anchor=\"middle\">No readings in this time</text>\n";
        words = "No readings in this time.";
    } else {
        const auto [low_it, high_it] = std::minmax_element(
            points.begin(), points.end(), [](const ChartPoint& a, const ChartPoint& b) { return a.value < b.value; });
        layout.low = low_it->value;
        layout.high = high_it->value;
        std::uint64_t axis_low = layout.low;
        std::uint64_t axis_high = layout.high;
        if (axis_low == axis_high) {  // a flat line or a single reading: centred
            axis_low = axis_low > 0 ? axis_low - 1 : 0;
            axis_high = axis_high < UINT64_MAX ? axis_high + 1 : axis_high;
        }
        const double value_span = static_cast<double>(axis_high - axis_low);
        const auto x_of = [&](std::int64_t t) {
            return kPlotLeft + static_cast<double>(t - o.from_ms) / static_cast<double>(span_ms) *
                                   (kPlotRight - kPlotLeft);
        };
        const auto y_of = [&](std::uint64_t v) {
            return kPlotBottom - static_cast<double>(v - axis_low) / value_span * (kPlotBottom - kPlotTop);
        };

        // Gaps first, under the line.
        for (std::size_t i = 1; i < points.size(); ++i) {
            if (points[i].time_ms - points[i - 1].time_ms > o.max_gap_ms) {
                ++layout.gaps;
                const double x0 = x_of(points[i - 1].time_ms);
                const double x1 = x_of(points[i].time_ms);
                svg += "<rect class=\"gap\" x=\"" + num(x0) + "\" y=\"" + std::to_string(kPlotTop) +
                       "\" width=\"" + num(x1 - x0) + "\" height=\"" +
                       std::to_string(kPlotBottom - kPlotTop) + "\"><title>No readings from " +
                       html_escape(local_time_text_at(points[i - 1].time_ms, "%Y-%m-%d %H:%M")) + " to " +
                       html_escape(local_time_text_at(points[i].time_ms, "%Y-%m-%d %H:%M")) +
                       "</title></rect>\n";
            }
        }
        // Axes and their labels.
        svg += "<path class=\"axis\" d=\"M" + std::to_string(kPlotLeft) + " " + std::to_string(kPlotTop) +
               "V" + std::to_string(kPlotBottom) + "H" + std::to_string(kPlotRight) + "\"/>\n";
        svg += "<text class=\"label\" x=\"" + std::to_string(kPlotLeft - 6) + "\" y=\"" +
               std::to_string(kPlotTop + 4) + "\" text-anchor=\"end\">" + axis_label(axis_high) + "</text>\n";
        svg += "<text class=\"label\" x=\"" + std::to_string(kPlotLeft - 6) + "\" y=\"" +
               std::to_string(kPlotBottom + 4) + "\" text-anchor=\"end\">" + axis_label(axis_low) + "</text>\n";
        svg += "<text class=\"label\" x=\"" + std::to_string(kPlotLeft) + "\" y=\"" +
               std::to_string(kChartHeight - 8) + "\">" + html_escape(time_label(o.from_ms, span_ms)) + "</text>\n";
        svg += "<text class=\"label\" x=\"" + std::to_string(kPlotRight) + "\" y=\"" +
               std::to_string(kChartHeight - 8) + "\" text-anchor=\"end\">" +
               html_escape(time_label(o.to_ms, span_ms)) + "</text>\n";

        const std::vector<ChartPoint> drawn = points.size() > kMaxDrawnPoints ? reduce(points, o) : points;
        layout.drawn = drawn.size();
        // The step line, one polyline per run without a gap.
        std::string line;
        std::size_t run = 0;  // readings in `line`
        const auto end_line = [&]() {
            if (run > 1) {  // a lone reading is a marker only
                svg += "<polyline class=\"line\" points=\"" + line + "\"/>\n";
                ++layout.lines;
            }
            line.clear();
            run = 0;
        };
        for (std::size_t i = 0; i < drawn.size(); ++i) {
            const double x = x_of(drawn[i].time_ms);
            const double y = y_of(drawn[i].value);
            if (i > 0 && drawn[i].time_ms - drawn[i - 1].time_ms > o.max_gap_ms) {
                end_line();
            }
            // Appended piece by piece: GCC 12's -Wrestrict misfires on
            // "literal" + std::string&& at -O3.
            if (!line.empty()) {
                line += ' ';
                line += num(x);
                line += ',';
                line += num(y_of(drawn[i - 1].value));
                line += ' ';
            }
            line += num(x);
            line += ',';
            line += num(y);
            ++run;
        }
        end_line();
        svg += "<g class=\"points\">";
        for (const ChartPoint& p : drawn) {
            svg += "<circle cx=\"" + num(x_of(p.time_ms)) + "\" cy=\"" + num(y_of(p.value)) + "\" r=\"2.5\"/>";
        }
        svg += "</g>\n";
        words = std::to_string(points.size()) + (points.size() == 1 ? " reading" : " readings") +
                ", lowest " + std::to_string(layout.low) + ", highest " + std::to_string(layout.high) +
                ", last " + std::to_string(points.back().value) + " at " +
                local_time_text_at(points.back().time_ms, "%Y-%m-%d %H:%M");
        if (layout.gaps > 0) {
            words += "; " + std::to_string(layout.gaps) + (layout.gaps == 1 ? " gap" : " gaps") +
                     " without readings (shaded)";
        }
        if (drawn.size() != points.size()) {
            words += "; drawn as the lowest and highest of each column";
        }
        words += ".";
    }
    svg += "</svg>\n<p class=\"chart-words\">" + html_escape(words) + "</p>\n</figure>\n";
    if (layout_out != nullptr) {
        *layout_out = layout;
    }
    return svg;
}

}  // namespace platewise::web
