// Rendering the status page's HTML.
#include "web/web_pages.h"

#include <algorithm>
#include <set>

#include "history/verdict_rules.h"
#include "report/text_report.h"
#include "web/event_list.h"
#include "web/html_text.h"
#include "version/build_version.h"

namespace platewise::web {

namespace {

using history::AttributeSample;
using history::DriveView;
using history::find_sample;

std::string page(const std::string& title, const std::string& body)
{
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<meta name=\"color-scheme\" content=\"light dark\">\n"
           "<meta name=\"referrer\" content=\"no-referrer\">\n"
           "<title>" + html_escape(title) + "</title>\n"
           "<link rel=\"stylesheet\" href=\"/style.css\">\n"
           "<link rel=\"icon\" href=\"/favicon.svg\" type=\"image/svg+xml\">\n"
           "</head>\n<body>\n" + body + "</body>\n</html>\n";
}

std::string verdict_class(Verdict v)
{
    return std::string("v-") + verdict_name(v);
}

std::string age_text(std::int64_t ms)
{
    const std::int64_t s = std::max<std::int64_t>(0, ms / 1000);
    if (s < 120) {
        return std::to_string(s) + " s ago";
    }
    if (s < 7200) {
        return std::to_string(s / 60) + " min ago";
    }
    if (s < 2 * 86400) {
        return std::to_string(s / 3600) + " h ago";
    }
    return std::to_string(s / 86400) + " days ago";
}

std::string drive_link(const std::string& serial, const char* query = "")
{
    return "/drive/" + url_encode_segment(serial) + query;
}

std::string name_of(std::uint8_t id, const smart::AttributeDefinitionTable& names)
{
    const std::string name = smart::sanitize_text(names.definition_for(id).name);
    return name.empty() ? "Unknown Attribute" : name;
}

std::string badge(const DriveReport& report)
{
    return "<span class=\"badge " + verdict_class(report.verdict) + "\">" +
           verdict_label(report.verdict) + "</span>";
}

std::string capacity_text(std::uint64_t bytes)
{
    return bytes == 0 ? std::string("unknown") : decimal_size(bytes) + " (" + binary_size(bytes) + ")";
}

// The lowest and highest temperature of the readings since `from_ms` (the
// table as it stood then included).
bool temperature_range(const DriveView& v, std::int64_t from_ms, int& low, int& high)
{
    low = 256;
    high = -1;
    std::vector<AttributeSample> table;
    bool before_done = false;
    for (const history::Reading& r : v.readings) {
        if (r.time_ms >= from_ms && !before_done) {
            before_done = true;
            if (const int t = temperature_of(table); t >= 0) {
                low = std::min(low, t);
                high = std::max(high, t);
            }
        }
        history::apply_reading(table, r);
        if (r.time_ms >= from_ms) {
            if (const int t = temperature_of(table); t >= 0) {
                low = std::min(low, t);
                high = std::max(high, t);
            }
        }
    }
    return high >= 0;
}

std::string card(const DriveView& v, std::int64_t now_ms, const smart::AttributeDefinitionTable& names)
{
    const std::string model = v.drive.model.empty() ? std::string("(no model)") : v.drive.model;
    std::string out = "<article class=\"card " + verdict_class(v.report.verdict) + "\">\n<h2>";
    if (!v.drive.serial.empty()) {
        out += "<a href=\"" + html_escape(drive_link(v.drive.serial)) + "\">" + html_escape(model) + "</a>";
    } else {
        out += html_escape(model);
    }
    out += "</h2>\n<p class=\"verdict\">" + badge(v.report) + "</p>\n";
    if (v.report.verdict != Verdict::ok || !v.report.acknowledged_text.empty()) {
        out += "<p class=\"why\">" + html_escape(v.report.verdict_text) + "</p>\n";
    }
    out += "<dl>\n<dt>Serial</dt><dd>" + html_escape(v.drive.serial) + "</dd>\n";
    out += "<dt>Capacity</dt><dd>" + html_escape(capacity_text(v.drive.capacity_bytes)) + "</dd>\n";
    const int now = temperature_of(v.drive.current);
    std::string temperature = now < 0 ? std::string("not reported") : std::to_string(now) + " \xc2\xb0" "C";
    int low = 0;
    int high = 0;
    if (now >= 0 && temperature_range(v, now_ms - 24LL * 3600 * 1000, low, high)) {
        temperature += " (24 h: " + std::to_string(low) + "\xe2\x80\x93" + std::to_string(high) + " \xc2\xb0" "C)";
    }
    out += "<dt>Temperature</dt><dd>" + temperature + "</dd>\n";
    const AttributeSample* power_on = find_sample(v.drive.current, 9);
    out += "<dt>Power-on time</dt><dd>" +
           html_escape(power_on == nullptr ? std::string("not reported")
                                           : history::power_on_text(*power_on, names)) +
           "</dd>\n";
    out += "<dt>Last seen</dt><dd><time>" + html_escape(history::time_text(v.drive.last_seen_ms)) +
           "</time> (" + html_escape(age_text(now_ms - v.drive.last_seen_ms)) + ")</dd>\n</dl>\n";
    out += "</article>\n";
    return out;
}

std::string attribute_table(const DriveReport& report)
{
    if (report.attributes.empty()) {
        return "<p>No SMART attributes in the last reading.</p>\n";
    }
    std::string out =
        "<div class=\"table-wrap\" tabindex=\"0\" role=\"region\" aria-label=\"SMART attributes\">\n<table>\n<caption>SMART attributes as last read</caption>\n"
        "<thead><tr><th scope=\"col\">ID</th><th scope=\"col\">Name</th><th scope=\"col\">Value</th>"
        "<th scope=\"col\">Worst</th><th scope=\"col\">Threshold</th><th scope=\"col\">Raw</th>"
        "<th scope=\"col\">Status</th></tr></thead>\n<tbody>\n";
    for (const AttributeReport& a : report.attributes) {
        const char* status = a.failing_now ? "failing now" : (a.failed_past ? "failed in the past" : "");
        out += std::string("<tr") + (a.failing_now ? " class=\"failing\"" : (a.failed_past ? " class=\"failed\"" : "")) +
               "><td>" + std::to_string(a.id) + "</td><th scope=\"row\">" +
               html_escape(a.name.empty() ? std::string("Unknown Attribute") : a.name) + "</th><td>" +
               std::to_string(a.value) + "</td><td>" + std::to_string(a.worst) + "</td><td>" +
               std::to_string(a.threshold) + "</td><td>" + html_escape(a.raw_text) + "</td><td>" + status +
               "</td></tr>\n";
    }
    return out + "</tbody>\n</table>\n</div>\n";
}

struct ChartPlan {
    std::uint8_t id;
    SeriesKind kind;
    std::string title;
};

// Temperature, every leading indicator the drive has, and every other
// attribute that changed in the time shown.
std::vector<ChartPlan> charts_for(const DriveView& v, std::int64_t from_ms,
                                  const smart::AttributeDefinitionTable& names)
{
    std::vector<ChartPlan> plans;
    std::uint8_t temperature_id = 0;
    for (const std::uint8_t id : {std::uint8_t{194}, std::uint8_t{190}}) {
        if (find_sample(v.drive.current, id) != nullptr) {
            temperature_id = id;
            plans.push_back({id, SeriesKind::temperature,
                             "Temperature in degrees Celsius (attribute " + std::to_string(id) + ")"});
            break;
        }
    }
    for (const AttributeSample& a : v.drive.current) {
        if (history::is_leading_indicator(a.id)) {
            plans.push_back({a.id, SeriesKind::count,
                             "Attribute " + std::to_string(a.id) + " " + name_of(a.id, names) +
                                 ": count (leading indicator)"});
        }
    }
    for (const AttributeSample& a : v.drive.current) {
        if (a.id == temperature_id || history::is_leading_indicator(a.id)) {
            continue;
        }
        const std::vector<ChartPoint> raw = series_of(v.readings, a.id, from_ms, SeriesKind::raw, names);
        const std::vector<ChartPoint> value = series_of(v.readings, a.id, from_ms, SeriesKind::value, names);
        const auto changes = [](const std::vector<ChartPoint>& s) {
            return std::any_of(s.begin(), s.end(), [&](const ChartPoint& p) { return p.value != s.front().value; });
        };
        if (changes(raw)) {
            plans.push_back({a.id, SeriesKind::raw,
                             "Attribute " + std::to_string(a.id) + " " + name_of(a.id, names) + ": raw value"});
        } else if (changes(value)) {
            plans.push_back({a.id, SeriesKind::value,
                             "Attribute " + std::to_string(a.id) + " " + name_of(a.id, names) +
                                 ": normalised value"});
        }
    }
    return plans;
}

std::string range_nav(const std::string& serial, Range range)
{
    static const struct {
        Range range;
        const char* query;
        const char* text;
    } links[] = {{Range::day, "?range=day", "Last day"},
                 {Range::week, "?range=week", "Last week"},
                 {Range::year, "?range=year", "Last year"}};
    std::string out = "<nav class=\"ranges\" aria-label=\"Time shown\"><ul>";
    for (const auto& l : links) {
        out += "<li><a href=\"" + html_escape(drive_link(serial, l.query)) + "\"";
        if (l.range == range) {
            out += " aria-current=\"page\"";
        }
        out += std::string(">") + l.text + "</a></li>";
    }
    return out + "</ul></nav>\n";
}

std::string drive_section(const DriveView& v, Range range, std::int64_t now_ms,
                          const smart::AttributeDefinitionTable& names, std::size_t index)
{
    std::string out = "<section class=\"drive " + verdict_class(v.report.verdict) + "\">\n";
    out += "<h2>" + html_escape(v.drive.model.empty() ? std::string("(no model)") : v.drive.model) +
           "</h2>\n<p class=\"verdict\">" + badge(v.report) + "</p>\n";
    if (v.report.verdict != Verdict::ok || !v.report.acknowledged_text.empty()) {
        out += "<p class=\"why\">" + html_escape(v.report.verdict_text) + "</p>\n";
    }
    out += "<dl>\n<dt>Serial</dt><dd>" + html_escape(v.drive.serial) + "</dd>\n";
    if (!v.drive.wwn.empty()) {
        out += "<dt>World-wide name</dt><dd>" + html_escape(v.drive.wwn) + "</dd>\n";
    }
    out += "<dt>Firmware</dt><dd>" + html_escape(v.drive.firmware) + "</dd>\n";
    out += "<dt>Capacity</dt><dd>" + html_escape(capacity_text(v.drive.capacity_bytes)) + "</dd>\n";
    out += "<dt>First seen</dt><dd>" + html_escape(history::time_text(v.drive.first_seen_ms)) + "</dd>\n";
    out += "<dt>Last seen</dt><dd>" + html_escape(history::time_text(v.drive.last_seen_ms)) + " (" +
           html_escape(age_text(now_ms - v.drive.last_seen_ms)) + ")";
    if (v.drive.last_slot >= 0) {
        out += ", slot " + std::to_string(v.drive.last_slot);
    }
    out += "</dd>\n";
    for (const history::StoredBaseline& b : v.baselines) {
        out += "<dt>Acknowledged</dt><dd>attribute " + std::to_string(b.attribute_id) + " at " +
               std::to_string(b.baseline) + " by " + html_escape(b.acked_by) + ", " +
               html_escape(history::time_text(b.acked_ms)) + "</dd>\n";
    }
    out += "</dl>\n<h3>Attributes</h3>\n" + attribute_table(v.report);

    const std::int64_t from_ms = now_ms - range_ms(range);
    out += "<h3>Over time</h3>\n" + range_nav(v.drive.serial, range);
    const std::vector<ChartPlan> plans = charts_for(v, from_ms, names);
    if (plans.empty()) {
        out += "<p>No temperature, no leading indicator and no attribute that changed in this time.</p>\n";
    }
    for (const ChartPlan& plan : plans) {
        ChartOptions options;
        options.from_ms = from_ms;
        options.to_ms = now_ms;
        options.max_gap_ms = kChartGapMs;
        options.title = plan.title;
        options.id = "chart-" + std::to_string(index) + "-" + std::to_string(plan.id);
        out += render_chart(series_of(v.readings, plan.id, from_ms, plan.kind, names), options);
    }
    return out + "</section>\n";
}

std::string footer(std::int64_t now_ms)
{
    return "<footer><p>Drawn by " + html_escape(build_version_text()) + " at " +
           html_escape(history::time_text(now_ms)) +
           " from the drive history. This page only reads: acknowledging stays the command "
           "<code>platewise ack</code>. Data for scripts: <a href=\"/api/drives\">/api/drives</a>."
           "</p></footer>\n";
}

}  // namespace

bool parse_range(const std::string& text, Range& range)
{
    if (text == "day") {
        range = Range::day;
    } else if (text == "week") {
        range = Range::week;
    } else if (text == "year") {
        range = Range::year;
    } else {
        return false;
    }
    return true;
}

std::int64_t range_ms(Range range)
{
    switch (range) {
    case Range::day: return 86400LL * 1000;
    case Range::week: return 7 * 86400LL * 1000;
    case Range::year: return 365 * 86400LL * 1000;
    }
    return 86400LL * 1000;
}

int verdict_rank(Verdict verdict) noexcept
{
    switch (verdict) {
    case Verdict::failing_now: return 0;
    case Verdict::degrading: return 1;
    case Verdict::failed_past: return 2;
    case Verdict::warning: return 3;
    case Verdict::missing: return 4;
    case Verdict::no_smart_data: return 5;
    case Verdict::ok: return 6;
    }
    return 6;
}

const char* verdict_label(Verdict verdict) noexcept
{
    switch (verdict) {
    case Verdict::failing_now: return "FAILING NOW";
    case Verdict::failed_past: return "FAILED IN THE PAST";
    case Verdict::degrading: return "DEGRADING";
    case Verdict::warning: return "WARNING";
    case Verdict::missing: return "DRIVE MISSING";
    case Verdict::no_smart_data: return "NO SMART DATA";
    case Verdict::ok: return "OK";
    }
    return "OK";
}

std::vector<const DriveView*> front_order(const std::vector<DriveView>& views)
{
    std::vector<const DriveView*> out;
    for (const DriveView& v : views) {
        out.push_back(&v);
    }
    std::stable_sort(out.begin(), out.end(), [](const DriveView* a, const DriveView* b) {
        const int ra = verdict_rank(a->report.verdict);
        const int rb = verdict_rank(b->report.verdict);
        if (ra != rb) {
            return ra < rb;
        }
        return a->drive.model != b->drive.model ? a->drive.model < b->drive.model
                                                : a->drive.serial < b->drive.serial;
    });
    return out;
}

std::vector<ChartPoint> series_of(const std::vector<history::Reading>& readings, std::uint8_t id,
                                  std::int64_t from_ms, SeriesKind kind,
                                  const smart::AttributeDefinitionTable& names)
{
    std::vector<ChartPoint> points;
    std::vector<AttributeSample> table;
    for (const history::Reading& r : readings) {
        history::apply_reading(table, r);
        if (r.time_ms < from_ms) {
            continue;
        }
        const AttributeSample* a = find_sample(table, id);
        if (a == nullptr) {
            continue;
        }
        std::uint64_t value = 0;
        switch (kind) {
        case SeriesKind::temperature: value = a->raw & 0xFF; break;
        case SeriesKind::count: value = history::indicator_count(a->raw); break;
        case SeriesKind::raw: value = history::sample_raw_value(*a, names); break;
        case SeriesKind::value: value = a->value; break;
        }
        points.push_back({r.time_ms, value});
    }
    return points;
}

std::string render_front_page(const std::vector<DriveView>& views, std::int64_t now_ms,
                              const smart::AttributeDefinitionTable& names,
                              const std::vector<events::DriveEvent>* events)
{
    const std::vector<const DriveView*> order = front_order(views);
    int counts[7] = {};
    for (const DriveView* v : order) {
        ++counts[verdict_rank(v->report.verdict)];
    }
    std::string body = "<header>\n<h1>Drives</h1>\n<p class=\"summary\">";
    if (order.empty()) {
        body += "No drive recorded yet: the listener records every pass it receives.";
    } else {
        body += std::to_string(order.size()) + (order.size() == 1 ? " drive" : " drives") + ":";
        bool first = true;
        for (const Verdict v : {Verdict::failing_now, Verdict::degrading, Verdict::failed_past,
                                Verdict::warning, Verdict::missing, Verdict::no_smart_data, Verdict::ok}) {
            if (counts[verdict_rank(v)] > 0) {
                body += std::string(first ? " " : ", ") + std::to_string(counts[verdict_rank(v)]) + " " +
                        verdict_label(v);
                first = false;
            }
        }
    }
    body += "</p>\n</header>\n<main>\n<div class=\"cards\">\n";
    for (const DriveView* v : order) {
        body += card(*v, now_ms, names);
    }
    body += "</div>\n";
    if (events != nullptr) {
        body += render_event_list(*events, "Latest events", true);
    }
    body += "</main>\n" + footer(now_ms);
    return page("Platewise: drives", body);
}

std::string render_drive_page(const std::vector<const DriveView*>& drives, const std::string& serial,
                              Range range, std::int64_t now_ms, const smart::AttributeDefinitionTable& names,
                              const std::vector<events::DriveEvent>* events)
{
    std::string body = "<header>\n<nav><a href=\"/\">All drives</a></nav>\n<h1>Drive " +
                       html_escape(serial) + "</h1>\n</header>\n<main>\n";
    for (std::size_t i = 0; i < drives.size(); ++i) {
        body += drive_section(*drives[i], range, now_ms, names, i);
    }
    if (events != nullptr) {
        body += render_event_list(*events, "Events", false);
    }
    body += "</main>\n" + footer(now_ms);
    return page("Platewise: drive " + serial, body);
}

std::string render_error_page(int status, const std::string& message)
{
    return page("Platewise: " + std::to_string(status),
                "<header><nav><a href=\"/\">All drives</a></nav><h1>" + std::to_string(status) +
                    "</h1></header>\n<main><p>" + html_escape(message) + "</p></main>\n");
}

const std::string& favicon_svg()
{
    static const std::string icon =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\">"
        "<rect x=\"1\" y=\"3\" width=\"14\" height=\"10\" rx=\"2\" fill=\"#2a6f97\"/>"
        "<circle cx=\"11.5\" cy=\"8\" r=\"1.5\" fill=\"#fff\"/></svg>\n";
    return icon;
}

const std::string& style_sheet()
{
    static const std::string css = R"CSS(:root {
  color-scheme: light dark;
  --bg: #f6f7f9; --fg: #1b1f24; --muted: #57606a; --card: #ffffff; --line: #d0d7de;
  --link: #0b5cad; --accent: #2a6f97;
  --failing: #b3261e; --failing-bg: #fde7e5; --failed: #9a4a00; --failed-bg: #fff0df;
  --degrading: #8a5a00; --degrading-bg: #fff6d6; --missing: #5c4bb3; --missing-bg: #ecebff;
  --nodata: #4f5b66; --nodata-bg: #eceff2; --ok: #1d6b35; --ok-bg: #e3f4e8;
  --gap: rgba(87, 96, 106, 0.15);
}
@media (prefers-color-scheme: dark) {
  :root {
    --bg: #0f1216; --fg: #e6e8eb; --muted: #9aa4ae; --card: #181c22; --line: #2f3741;
    --link: #7cb8f2; --accent: #6fb3d9;
    --failing: #ff8a80; --failing-bg: #3a1614; --failed: #ffb366; --failed-bg: #3a260f;
    --degrading: #f2cc60; --degrading-bg: #352b0c; --missing: #b8adff; --missing-bg: #241f45;
    --nodata: #b0bac4; --nodata-bg: #262c33; --ok: #7ee19a; --ok-bg: #12301c;
    --gap: rgba(154, 164, 174, 0.18);
  }
}
* { box-sizing: border-box; }
html { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif; }
body { margin: 0 auto; max-width: 72rem; padding: 1rem; background: var(--bg); color: var(--fg); line-height: 1.45; }
a { color: var(--link); }
a:focus-visible { outline: 3px solid var(--accent); outline-offset: 2px; }
h1 { font-size: 1.6rem; margin: 0.2rem 0 0.4rem; overflow-wrap: anywhere; }
h2 { font-size: 1.15rem; margin: 0 0 0.5rem; overflow-wrap: anywhere; }
h3 { font-size: 1.05rem; margin: 1.4rem 0 0.5rem; }
header nav a { font-size: 0.95rem; }
.summary { color: var(--muted); margin-top: 0; }
.cards { display: grid; grid-template-columns: repeat(auto-fill, minmax(19rem, 1fr)); gap: 1rem; }
.card, section.drive { background: var(--card); border: 1px solid var(--line); border-left: 0.45rem solid var(--line); border-radius: 0.5rem; padding: 0.9rem 1rem; }
section.drive { margin-bottom: 1.5rem; }
.v-failing_now { border-left-color: var(--failing); }
.v-failed_past { border-left-color: var(--failed); }
.v-warning { border-left-color: var(--failed); }
.v-degrading { border-left-color: var(--degrading); }
.v-missing { border-left-color: var(--missing); }
.v-no_smart_data { border-left-color: var(--nodata); }
.v-ok { border-left-color: var(--ok); }
.badge { display: inline-block; font-weight: 700; font-size: 0.85rem; letter-spacing: 0.03em; padding: 0.15rem 0.55rem; border-radius: 1rem; border: 1px solid currentColor; }
.badge.v-failing_now { color: var(--failing); background: var(--failing-bg); }
.badge.v-failed_past { color: var(--failed); background: var(--failed-bg); }
.badge.v-warning { color: var(--failed); background: var(--failed-bg); }
.badge.v-degrading { color: var(--degrading); background: var(--degrading-bg); }
.badge.v-missing { color: var(--missing); background: var(--missing-bg); }
.badge.v-no_smart_data { color: var(--nodata); background: var(--nodata-bg); }
.badge.v-ok { color: var(--ok); background: var(--ok-bg); }
.verdict { margin: 0 0 0.4rem; }
.why { margin: 0 0 0.6rem; overflow-wrap: anywhere; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 0.15rem 0.8rem; margin: 0; }
dt { color: var(--muted); }
dd { margin: 0; overflow-wrap: anywhere; }
.table-wrap { overflow-x: auto; }
.table-wrap:focus-visible { outline: 3px solid var(--accent); }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
caption { text-align: left; color: var(--muted); padding-bottom: 0.3rem; }
th, td { text-align: left; padding: 0.25rem 0.5rem; border-bottom: 1px solid var(--line); white-space: nowrap; }
thead th { border-bottom: 2px solid var(--line); }
tbody th { font-weight: 400; }
tr.failing td, tr.failing th { color: var(--failing); font-weight: 700; }
tr.failed td, tr.failed th { color: var(--failed); }
.ranges ul { list-style: none; display: flex; flex-wrap: wrap; gap: 0.5rem; padding: 0; margin: 0 0 0.8rem; }
.ranges a { display: inline-block; padding: 0.3rem 0.8rem; border: 1px solid var(--line); border-radius: 1rem; text-decoration: none; }
.ranges a[aria-current="page"] { background: var(--accent); border-color: var(--accent); color: var(--bg); font-weight: 700; }
figure.chart { margin: 0 0 1.2rem; }
figure.chart figcaption { font-weight: 600; margin-bottom: 0.2rem; }
figure.chart svg { width: 100%; max-width: 46rem; height: auto; display: block; }
.chart .axis { stroke: var(--muted); fill: none; stroke-width: 1; }
.chart .label, .chart .empty { fill: var(--muted); font-size: 13px; }
.chart .line { stroke: var(--accent); fill: none; stroke-width: 1.5; }
.chart .points circle { fill: var(--accent); }
.chart .gap { fill: var(--gap); }
.chart-words { color: var(--muted); font-size: 0.9rem; margin: 0.2rem 0 0; }
section.events { margin-top: 1.5rem; }
section.events > ol { list-style: none; padding: 0; margin: 0; }
section.events > ol > li { border-left: 0.45rem solid var(--line); padding: 0.2rem 0.6rem; margin-bottom: 0.4rem; overflow-wrap: anywhere; }
section.events ul.why { margin: 0.1rem 0 0; color: var(--muted); }
footer { color: var(--muted); font-size: 0.85rem; margin-top: 2rem; }
@media (max-width: 40rem) {
  body { padding: 0.6rem; }
  h1 { font-size: 1.35rem; }
  .cards { grid-template-columns: 1fr; }
  dl { grid-template-columns: 1fr; }
  dd { margin-bottom: 0.3rem; }
  th, td { padding: 0.2rem 0.35rem; }
}
)CSS";
    return css;
}

}  // namespace platewise::web
