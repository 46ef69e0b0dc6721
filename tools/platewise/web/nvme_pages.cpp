// NVMe drives and unreadable slots on the status page.
#include "web/nvme_pages.h"

#include <algorithm>

#include "history/nvme_fields.h"
#include "history/verdict_rules.h"
#include "report/text_report.h"
#include "web/html_text.h"

namespace platewise::web {

namespace {

using history::AttributeSample;
using history::find_sample;

constexpr const char* kDegrees = " \xc2\xb0" "C";

std::string field_or(const std::vector<AttributeSample>& table, std::uint8_t id)
{
    const AttributeSample* a = find_sample(table, id);
    return a == nullptr ? std::string("not reported") : history::nvme_field_text(*a);
}

int celsius(const AttributeSample& a)
{
    return a.raw == 0 ? -1 : static_cast<int>(std::min<std::uint64_t>(a.raw, 65535)) - 273;
}

std::string age_words(std::int64_t ms)
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

}  // namespace

std::vector<ChartPoint> nvme_series_of(const std::vector<history::Reading>& readings, std::uint8_t id,
                                       std::int64_t from_ms)
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
        if (id == history::kNvmeTemperature) {
            const int c = celsius(*a);
            if (c >= 0) {
                points.push_back({r.time_ms, static_cast<std::uint64_t>(c)});
            }
        } else {
            points.push_back({r.time_ms, a->raw});
        }
    }
    return points;
}

std::vector<ChartPoint> nvme_written_per(const std::vector<history::Reading>& readings, std::int64_t from_ms,
                                         std::int64_t to_ms, std::int64_t bucket_ms)
{
    std::vector<ChartPoint> out;
    if (bucket_ms <= 0 || to_ms <= from_ms) {
        return out;
    }
    // The counter's value at each reading, in time order.
    std::vector<std::pair<std::int64_t, std::uint64_t>> values;
    std::vector<AttributeSample> table;
    for (const history::Reading& r : readings) {
        history::apply_reading(table, r);
        if (const AttributeSample* a = find_sample(table, history::kNvmeDataUnitsWritten); a != nullptr) {
            values.emplace_back(r.time_ms, a->raw);
        }
    }
    std::size_t i = 0;
    bool have_before = false;
    std::uint64_t before = 0;
    for (std::int64_t start = from_ms; start < to_ms; start += bucket_ms) {
        const std::int64_t end = std::min(start + bucket_ms, to_ms);
        while (i < values.size() && values[i].first < start) {
            before = values[i].second;
            have_before = true;
            ++i;
        }
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        bool any = false;
        while (i < values.size() && values[i].first < end) {
            if (!any) {
                first = values[i].second;
            }
            last = values[i].second;
            any = true;
            ++i;
        }
        if (!any) {
            continue;
        }
        const std::uint64_t base = have_before ? before : first;
        // A counter that went back (another drive with the same name, a
        // reset) counts from where it restarted.
        const std::uint64_t units = last >= base ? last - base : last;
        out.push_back({end, history::data_unit_bytes(units)});
        before = last;
        have_before = true;
    }
    return out;
}

std::string nvme_card_rows(const history::DriveView& v, std::int64_t now_ms)
{
    const std::vector<AttributeSample>& t = v.drive.current;
    std::string temperature = "not reported";
    if (const AttributeSample* a = find_sample(t, history::kNvmeTemperature); a != nullptr && celsius(*a) >= 0) {
        temperature = std::to_string(celsius(*a)) + kDegrees;
        const std::vector<ChartPoint> day =
            nvme_series_of(v.readings, history::kNvmeTemperature, now_ms - 24LL * 3600 * 1000);
        if (!day.empty()) {
            const auto [low, high] = std::minmax_element(
                day.begin(), day.end(), [](const ChartPoint& x, const ChartPoint& y) { return x.value < y.value; });
            temperature += " (24 h: " + std::to_string(low->value) + "\xe2\x80\x93" + std::to_string(high->value) +
                           kDegrees + ")";
        }
    }
    std::string spare = field_or(t, history::kNvmeAvailableSpare);
    if (const AttributeSample* th = find_sample(t, history::kNvmeSpareThreshold); th != nullptr) {
        spare += " (threshold " + history::nvme_field_text(*th) + ")";
    }
    std::string written = "not reported";
    if (const AttributeSample* w = find_sample(t, history::kNvmeDataUnitsWritten); w != nullptr) {
        const std::uint64_t bytes = history::data_unit_bytes(w->raw);
        written = decimal_size(bytes) + " (" + binary_size(bytes) + ")";
    }
    std::string out;
    out += "<dt>Kind</dt><dd>NVMe</dd>\n";
    out += "<dt>Temperature</dt><dd>" + temperature + "</dd>\n";
    out += "<dt>Percentage used</dt><dd>" + html_escape(field_or(t, history::kNvmePercentageUsed)) + "</dd>\n";
    out += "<dt>Available spare</dt><dd>" + html_escape(spare) + "</dd>\n";
    out += "<dt>Power-on time</dt><dd>" + html_escape(field_or(t, history::kNvmePowerOnHours)) + " h</dd>\n";
    out += "<dt>Data written</dt><dd>" + html_escape(written) + "</dd>\n";
    return out;
}

std::string nvme_fields_table(const std::vector<AttributeSample>& table)
{
    if (table.empty()) {
        return "<p>The health log could not be read in the last pass.</p>\n";
    }
    std::string out =
        "<div class=\"table-wrap\" tabindex=\"0\" role=\"region\" aria-label=\"NVMe health log\">\n<table>\n"
        "<caption>NVMe health log as last read</caption>\n"
        "<thead><tr><th scope=\"col\">Field</th><th scope=\"col\">Value</th></tr></thead>\n<tbody>\n";
    for (const history::NvmeField& f : history::nvme_fields()) {
        const AttributeSample* a = find_sample(table, f.id);
        if (a == nullptr) {
            continue;
        }
        out += "<tr><th scope=\"row\">" + html_escape(f.label) + "</th><td>" +
               html_escape(history::nvme_field_text(*a)) + "</td></tr>\n";
    }
    return out + "</tbody>\n</table>\n</div>\n";
}

std::string nvme_charts(const history::DriveView& v, std::int64_t from_ms, std::int64_t now_ms, bool per_hour,
                        std::size_t index, std::int64_t max_gap_ms)
{
    const auto options = [&](const std::string& title, const std::string& id, std::int64_t gap) {
        ChartOptions o;
        o.from_ms = from_ms;
        o.to_ms = now_ms;
        o.max_gap_ms = gap;
        o.title = title;
        o.id = "chart-" + std::to_string(index) + "-" + id;
        return o;
    };
    std::string out;
    out += render_chart(nvme_series_of(v.readings, history::kNvmeTemperature, from_ms),
                        options("Composite temperature in degrees Celsius", "temperature", max_gap_ms));
    out += render_chart(nvme_series_of(v.readings, history::kNvmeAvailableSpare, from_ms),
                        options("Available spare in percent", "spare", max_gap_ms));
    out += render_chart(nvme_series_of(v.readings, history::kNvmePercentageUsed, from_ms),
                        options("Percentage used (of the rated wear)", "used", max_gap_ms));
    const std::int64_t bucket = per_hour ? 3600LL * 1000 : 86400LL * 1000;
    out += render_chart(nvme_written_per(v.readings, from_ms, now_ms, bucket),
                        options(std::string("Data written per ") + (per_hour ? "hour" : "day") + " in bytes",
                                "written", 2 * bucket));
    return out;
}

std::string slot_card(const history::StoredSlot& slot, std::int64_t now_ms)
{
    std::string out = "<article class=\"card v-no_smart_data\">\n<h2>Slot " + std::to_string(slot.slot) +
                      "</h2>\n<p class=\"verdict\"><span class=\"badge v-no_smart_data\">NO SMART DATA</span></p>\n";
    out += "<p class=\"why\">" + html_escape(smart::sanitize_text(slot.detail)) + "</p>\n";
    out += "<dl>\n<dt>Slot</dt><dd>" + std::to_string(slot.slot) + " (a drive is there; nobody could read it)</dd>\n";
    out += "<dt>Last seen</dt><dd><time>" + html_escape(history::time_text(slot.seen_ms)) + "</time> (" +
           html_escape(age_words(now_ms - slot.seen_ms)) + ")</dd>\n</dl>\n</article>\n";
    return out;
}

}  // namespace platewise::web
