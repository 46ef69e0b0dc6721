// platewise history and platewise history import.
#include "commands/history_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <nlohmann/json.hpp>

#include "files/path_text.h"
#include "files/snapshot_file.h"
#include "history/history_recorder.h"
#include "history/nvme_recording.h"
#include "history/history_view.h"
#include "history/nvme_fields.h"
#include "history/verdict_rules.h"
#include "report/json_report.h"
#include "files/snapshot_store.h"
#include "nvme.h"

namespace platewise {

namespace {

namespace fs = std::filesystem;
using history::AttributeSample;
using history::Reading;

const char* kind_text(history::ReadingKind kind)
{
    switch (kind) {
    case history::ReadingKind::full: return "full table";
    case history::ReadingKind::change: return "change";
    case history::ReadingKind::sample: return "hourly sample";
    }
    return "?";
}

const char* kind_name(history::ReadingKind kind)
{
    switch (kind) {
    case history::ReadingKind::full: return "full";
    case history::ReadingKind::change: return "change";
    case history::ReadingKind::sample: return "sample";
    }
    return "?";
}

// A cell a spreadsheet would take for a formula (= + - @, or a tab or
// carriage return before one) is kept as text by a leading apostrophe.
std::string csv_field(const std::string& raw)
{
    const bool formula = !raw.empty() && std::string_view("=+-@\t\r").find(raw.front()) != std::string_view::npos;
    const std::string text = formula ? "'" + raw : raw;
    if (text.find_first_of(",\"\n\r") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

struct Point {
    std::int64_t time_ms;
    history::ReadingKind kind;
    AttributeSample sample;
};

// The attribute's value at every reading that holds or follows it.
std::vector<Point> points_of(const std::vector<Reading>& readings, std::uint8_t id, std::int64_t since_ms)
{
    std::vector<Point> points;
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        history::apply_reading(table, r);
        if (r.time_ms < since_ms) {
            continue;
        }
        const auto it = std::find_if(table.begin(), table.end(),
                                     [&](const AttributeSample& a) { return a.id == id; });
        if (it != table.end()) {
            points.push_back({r.time_ms, r.kind, *it});
        }
    }
    return points;
}

// A chart of `values` over time, `width` columns by `height` rows.
std::string chart(const std::vector<std::pair<std::int64_t, std::uint64_t>>& values)
{
    constexpr int width = 60;
    constexpr int height = 8;
    if (values.empty()) {
        return {};
    }
    const auto [low_it, high_it] = std::minmax_element(
        values.begin(), values.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    const std::uint64_t low = low_it->second;
    const std::uint64_t high = high_it->second;
    const std::int64_t t0 = values.front().first;
    const std::int64_t t1 = values.back().first;
    std::vector<std::string> grid(height, std::string(width, ' '));
    int last_row = -1;
    int last_col = -1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int col = t1 == t0 ? 0 : static_cast<int>((values[i].first - t0) * (width - 1) / (t1 - t0));
        const int row = high == low ? 0
                                    : static_cast<int>((values[i].second - low) * (height - 1) / (high - low));
        // A value holds until the next point: draw the flat run to it.
        if (last_col >= 0) {
            for (int c = last_col + 1; c < col; ++c) {
                grid[static_cast<std::size_t>(height - 1 - last_row)][static_cast<std::size_t>(c)] = '-';
            }
        }
        grid[static_cast<std::size_t>(height - 1 - row)][static_cast<std::size_t>(col)] = '*';
        last_row = row;
        last_col = col;
    }
    std::string out;
    const std::string top = std::to_string(high);
    const std::string bottom = std::to_string(low);
    const std::size_t label = std::max(top.size(), bottom.size());
    for (int r = 0; r < height; ++r) {
        std::string left = r == height - 1 ? bottom : (r == 0 && high != low ? top : "");
        out += std::string(label - left.size(), ' ') + left + " |" + grid[static_cast<std::size_t>(r)];
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        out += "\n";
    }
    out += std::string(label, ' ') + " +" + std::string(width, '-') + "\n";
    const std::string from = history::time_text(t0);
    const std::string to = history::time_text(t1);
    out += std::string(label + 2, ' ') + from +
           std::string(width > static_cast<int>(from.size() + to.size()) ? width - from.size() - to.size() : 1, ' ') +
           to + "\n";
    return out;
}

std::string attribute_name(std::uint8_t id, const smart::AttributeDefinitionTable& names)
{
    return smart::sanitize_text(names.definition_for(id).name);
}

}  // namespace

int run_history(const HistoryOptions& options, std::ostream& out, std::ostream& err)
{
    history::HistoryStore store;
    std::string error;
    if (!history::open_history(store, options.store, true, error)) {
        err << "platewise history: " << error << "\n";
        return 1;
    }
    history::ViewOptions view_options;
    // Judged at the present time, as status judges: a drive not seen for
    // a while reads DRIVE MISSING here too, and only then.
    view_options.now_ms = options.now_ms != 0
                              ? options.now_ms
                              : std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    view_options.missing_after_ms = options.missing_after_ms;
    view_options.serial = options.serial;  // the other drives' readings are not read
    std::vector<history::DriveView> views;
    if (!history::load_views(store, view_options, views, error)) {
        err << "platewise history: cannot read " << options.store << ": " << error << "\n";
        return 1;
    }
    const auto found = history::find_views(views, options.serial, options.model);
    if (found.empty()) {
        err << "platewise history: no drive with serial " << smart::sanitize_text(options.serial)
            << (options.model.empty() ? "" : " and model " + smart::sanitize_text(options.model))
            << " in the history\n";
        return 1;
    }
    const smart::AttributeDefinitionTable& names = view_options.names;
    // --field names an NVMe drive's health field; --attribute an ATA
    // attribute (or, on an NVMe drive, a field by its id).
    int wanted = options.attribute;
    if (!options.field.empty()) {
        const history::NvmeField* f = history::nvme_field_named(options.field);
        if (f == nullptr) {
            err << "platewise history: --field " << smart::sanitize_text(options.field)
                << ": not a field the history keeps of NVMe drives (";
            for (const history::NvmeField& known : history::nvme_fields()) {
                err << (known.id == history::nvme_fields().front().id ? "" : ", ") << known.name;
            }
            err << ")\n";
            return 2;
        }
        for (const history::DriveView* v : found) {
            if (v->drive.kind != history::DriveKind::nvme) {
                err << "platewise history: --field is for NVMe drives; " << v->drive.model << " serial "
                    << v->drive.serial << " is an ATA drive (use --attribute ID)\n";
                return 2;
            }
        }
        wanted = f->id;
    }
    // Where this page ends: the time of the first reading past the limit
    // (later readings of that same time go with it to the next page).
    std::int64_t end_ms = options.until_ms;
    std::optional<std::int64_t> next_ms;
    if (options.limit > 0) {
        std::vector<std::int64_t> times;
        for (const history::DriveView* v : found) {
            for (const Reading& r : v->readings) {
                if (r.time_ms >= options.since_ms && r.time_ms < options.until_ms) {
                    times.push_back(r.time_ms);
                }
            }
        }
        if (times.size() > options.limit) {
            std::sort(times.begin(), times.end());
            const auto later = std::upper_bound(times.begin(), times.end(), times[options.limit - 1]);
            if (later != times.end()) {
                end_ms = *later;
                next_ms = *later;
            }
        }
    }
    nlohmann::json documents = nlohmann::json::array();
    std::string text;
    if (options.csv) {
        text += "model,serial,time,unix_ms,kind,id,name,value,worst,threshold,raw,raw_text,reading\n";
    }
    for (const history::DriveView* v : found) {
        const std::string drive_fields = csv_field(v->drive.model) + "," + csv_field(v->drive.serial) + ",";
        const bool nvme = v->drive.kind == history::DriveKind::nvme;
        const auto name_of = [&](std::uint8_t id) {
            if (!nvme) {
                return attribute_name(id, names);
            }
            const history::NvmeField* f = history::nvme_field(id);
            return f == nullptr ? std::string() : std::string(f->name);
        };
        const auto text_of = [&](const AttributeSample& a) {
            return nvme ? history::nvme_field_text(a) : history::sample_raw_text(a, names);
        };
        const auto value_of = [&](const AttributeSample& a) {
            return nvme ? a.raw : history::sample_reading(a, names);
        };
        nlohmann::json entries = nlohmann::json::array();
        const auto add = [&](std::int64_t time_ms, history::ReadingKind kind, const AttributeSample& a,
                             const AttributeSample* before) {
            const std::string raw_text = text_of(a);
            if (nvme && options.json) {
                entries.push_back({{"time", time_ms / 1000},
                                   {"kind", kind_name(kind)},
                                   {"id", a.id},
                                   {"name", name_of(a.id)},
                                   {"value", a.raw},
                                   {"text", raw_text}});
            } else if (nvme && options.csv) {
                text += drive_fields + history::time_text(time_ms) + "," + std::to_string(time_ms) + "," +
                        kind_name(kind) + "," + std::to_string(a.id) + "," + csv_field(name_of(a.id)) +
                        ",,,," + std::to_string(a.raw) + "," + csv_field(raw_text) + "," +
                        std::to_string(a.raw) + "\n";
            } else if (nvme) {
                const history::NvmeField* f = history::nvme_field(a.id);
                std::string line = smart::format_text("%3u %-32s %s", a.id, f == nullptr ? "" : f->label,
                                                      raw_text.c_str());
                if (before != nullptr && !(*before == a)) {
                    line += " (was " + text_of(*before) + ")";
                }
                text += (wanted >= 0 ? "  " : "    ") + line + "\n";
            } else if (options.json) {
                nlohmann::json j = {{"time", time_ms / 1000},
                                    {"kind", kind_name(kind)},
                                    {"id", a.id},
                                    {"name", attribute_name(a.id, names)},
                                    {"value", a.value},
                                    {"worst", a.worst},
                                    {"threshold", a.threshold},
                                    {"raw", history::sample_raw_value(a, names)},
                                    {"raw_text", raw_text},
                                    {"reading", history::sample_reading(a, names)}};
                entries.push_back(std::move(j));
            } else if (options.csv) {
                text += drive_fields + history::time_text(time_ms) + "," + std::to_string(time_ms) + "," +
                        kind_name(kind) + "," + std::to_string(a.id) + "," +
                        csv_field(attribute_name(a.id, names)) + "," + std::to_string(a.value) + "," +
                        std::to_string(a.worst) + "," + std::to_string(a.threshold) + "," +
                        std::to_string(history::sample_raw_value(a, names)) + "," + csv_field(raw_text) + "," +
                        std::to_string(history::sample_reading(a, names)) + "\n";
            } else {
                std::string line = smart::format_text("%3u %-28s value %3u worst %3u thresh %3u raw %s",
                                                      a.id, attribute_name(a.id, names).c_str(), a.value,
                                                      a.worst, a.threshold, raw_text.c_str());
                if (before != nullptr && !(*before == a)) {
                    line += " (was " + history::sample_raw_text(*before, names);
                    if (before->value != a.value) {
                        line += smart::format_text(", value %u", before->value);
                    }
                    line += ")";
                }
                text += (wanted >= 0 ? "  " : "    ") + line + "\n";
            }
        };
        if (!options.json && !options.csv) {
            text += v->drive.model + "   serial " + v->drive.serial + "\n  Verdict: " +
                    v->report.verdict_text + "\n  First seen " + history::time_text(v->drive.first_seen_ms) +
                    ", last seen " + history::time_text(v->drive.last_seen_ms) + "\n";
            for (const history::StoredBaseline& b : v->baselines) {
                text += std::string("  Acknowledged: ") +
                        (nvme ? name_of(b.attribute_id) + " (" + std::to_string(b.attribute_id) + ")"
                              : "attribute " + std::to_string(b.attribute_id)) +
                        " baseline " +
                        std::to_string(b.baseline) + " by " + b.acked_by + " at " +
                        history::time_text(b.acked_ms) + "\n";
            }
        }
        if (wanted >= 0) {
            const auto id = static_cast<std::uint8_t>(wanted);
            const std::vector<Point> points = points_of(v->readings, id, options.since_ms);
            if (!options.json && !options.csv) {
                text += std::string(nvme ? "  Field " : "  Attribute ") + std::to_string(id) + " " + name_of(id) + ": " +
                        std::to_string(points.size()) + " reading" + (points.size() == 1 ? "" : "s") + "\n";
            }
            std::vector<std::pair<std::int64_t, std::uint64_t>> series;
            for (const Point& p : points) {
                if (p.time_ms >= end_ms) {
                    break;
                }
                if (!options.json && !options.csv) {
                    text += "  " + history::time_text(p.time_ms) + smart::format_text("  %-13s", kind_text(p.kind));
                }
                add(p.time_ms, p.kind, p.sample, nullptr);
                series.emplace_back(p.time_ms, value_of(p.sample));
            }
            if (options.chart && !options.json && !options.csv && !series.empty()) {
                text += std::string("\n  ") + (nvme ? "Value" : history::reading_title(id)) + " over time:\n" +
                        chart(series);
            }
        } else {
            std::vector<AttributeSample> table;
            for (const Reading& r : v->readings) {
                const std::vector<AttributeSample> before = table;
                if (r.time_ms >= end_ms) {
                    break;
                }
                history::apply_reading(table, r);
                if (r.time_ms < options.since_ms) {
                    continue;
                }
                if (!options.json && !options.csv) {
                    text += "  " + history::time_text(r.time_ms) + "  " + kind_text(r.kind);
                    text += r.attributes.empty()
                                ? (r.kind == history::ReadingKind::full
                                       ? (nvme ? ": health log not read\n" : ": no SMART data\n")
                                       : ": no change\n")
                                : ":\n";
                }
                for (const AttributeSample& a : r.attributes) {
                    const auto was = std::find_if(before.begin(), before.end(),
                                                  [&](const AttributeSample& b) { return b.id == a.id; });
                    add(r.time_ms, r.kind, a,
                        r.kind == history::ReadingKind::full || was == before.end() ? nullptr : &*was);
                }
            }
        }
        if (options.json) {
            nlohmann::json baselines = nlohmann::json::array();
            for (const history::StoredBaseline& b : v->baselines) {
                baselines.push_back({{"id", b.attribute_id},
                                     {"baseline", b.baseline},
                                     {"acknowledged", b.acked_ms / 1000},
                                     {"by", b.acked_by}});
            }
            documents.push_back({{"kind", nvme ? "nvme" : "ata"},
                                 {"model", v->drive.model},
                                 {"serial", v->drive.serial},
                                 {"wwn", v->drive.wwn},
                                 {"first_seen", v->drive.first_seen_ms / 1000},
                                 {"last_seen", v->drive.last_seen_ms / 1000},
                                 {"verdict", v->report.verdict_text},
                                 {"reasons", reasons_to_json(v->report.reasons)},
                                 {"baselines", std::move(baselines)},
                                 {"readings", std::move(entries)}});
        }
    }
    if (options.json) {
        nlohmann::json document = {{"drives", std::move(documents)}};
        if (options.limit > 0) {
            document["next"] = next_ms && options.next_link ? nlohmann::json(options.next_link(*next_ms))
                                                            : nlohmann::json(nullptr);
        }
        out << render_json_line(document);
    } else {
        out << text;
    }
    out.flush();
    return 0;
}

namespace {


std::int64_t clock_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool snapshot_name_time(const std::string& file_name, std::int64_t& time_ms)
{
    return saved_name_time(file_name, "snapshot-", time_ms);
}

bool nvme_snapshot_name_time(const std::string& file_name, std::int64_t& time_ms)
{
    return saved_name_time(file_name, kNvmeSnapshotPrefix, time_ms);
}

bool saved_name_time(const std::string& file_name, const std::string& prefix, std::int64_t& time_ms)
{
    // PREFIX + YYYYMMDD-HHMMSS-NNN.bin
    const std::size_t p = prefix.size();
    if (file_name.size() != p + 23 || file_name.rfind(prefix, 0) != 0 ||
        file_name.substr(p + 19) != ".bin" || file_name[p + 8] != '-' || file_name[p + 15] != '-') {
        return false;
    }
    const auto digits = [&](std::size_t at, std::size_t n, int& value) {
        value = 0;
        for (std::size_t i = p + at; i < p + at + n; ++i) {
            if (file_name[i] < '0' || file_name[i] > '9') {
                return false;
            }
            value = value * 10 + (file_name[i] - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, s, n;
    if (!digits(0, 4, y) || !digits(4, 2, mo) || !digits(6, 2, d) || !digits(9, 2, h) ||
        !digits(11, 2, mi) || !digits(13, 2, s) || !digits(16, 3, n)) {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return false;
    }
    std::tm parts{};
    parts.tm_year = y - 1900;
    parts.tm_mon = mo - 1;
    parts.tm_mday = d;
    parts.tm_hour = h;
    parts.tm_min = mi;
    parts.tm_sec = s;
    parts.tm_isdst = -1;
    const std::time_t t = std::mktime(&parts);
    if (t == static_cast<std::time_t>(-1)) {
        return false;
    }
    time_ms = static_cast<std::int64_t>(t) * 1000 + n;
    return true;
}

int run_import(const ImportOptions& options, std::ostream& out, std::ostream& err)
{
    struct Item {
        std::int64_t time_ms;
        std::string path;
        bool nvme;
    };
    std::vector<Item> items;
    int status = 0;
    // The time from the name, and which kind of snapshot the name says.
    const auto named = [](const std::string& name, std::int64_t& t, bool& nvme) {
        nvme = nvme_snapshot_name_time(name, t);
        return nvme || snapshot_name_time(name, t);
    };
    for (const std::string& path : options.paths) {
        std::error_code ec;
        std::int64_t t = 0;
        bool nvme = false;
        if (fs::is_directory(path, ec)) {
            for (const fs::directory_entry& e : fs::directory_iterator(path, ec)) {
                if (named(e.path().filename().string(), t, nvme) && e.is_regular_file(ec)) {
                    items.push_back({t, e.path().string(), nvme});
                } else {
                    err << "platewise history import: skipping " << path_text(e.path().string())
                        << ": not a saved snapshot (snapshot-YYYYMMDD-HHMMSS-NNN.bin or "
                           "nvme-YYYYMMDD-HHMMSS-NNN.bin, a regular file)\n";
                }
            }
            if (ec) {
                err << "platewise history import: cannot read " << path_text(path) << ": "
                    << ec.message() << "\n";
                status = 1;
            }
        } else if (named(fs::path(path).filename().string(), t, nvme)) {
            items.push_back({t, path, nvme});
        } else {
            err << "platewise history import: " << path_text(path)
                << ": not a directory nor a snapshot named snapshot-YYYYMMDD-HHMMSS-NNN.bin or "
                   "nvme-YYYYMMDD-HHMMSS-NNN.bin (the time comes from the name)\n";
            status = 1;
        }
    }
    // A name later than now would make every live pass look older than
    // the drive's last sighting.
    const std::int64_t now_ms = options.now_ms != 0 ? options.now_ms : clock_ms();
    const auto later = std::stable_partition(items.begin(), items.end(),
                                             [&](const Item& i) { return i.time_ms <= now_ms; });
    for (auto i = later; i != items.end(); ++i) {
        err << "platewise history import: " << smart::sanitize_text(i->path)
            << ": named for a time later than now; not imported\n";
        status = 1;
    }
    items.erase(later, items.end());
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.time_ms != b.time_ms ? a.time_ms < b.time_ms : a.path < b.path;
    });

    history::HistoryStore store;
    std::string error;
    if (!history::open_history(store, options.store, false, error)) {
        err << "platewise history import: " << error << "\n";
        return 1;
    }
    history::Recorder recorder;
    if (!history::load_recorder(recorder, store, true, error)) {
        err << "platewise history import: " << error << "\n";
        return 1;
    }
    unsigned imported = 0;
    unsigned skipped = 0;
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    auto nvme_snapshot = std::make_unique<smart::nvme::Snapshot>();
    std::vector<int> nvme_slots;
    for (const Item& item : items) {
        std::vector<std::uint8_t> bytes;
        std::string why;
        if (!read_snapshot_file(item.path, bytes, why)) {
            err << "platewise history import: " << path_text(item.path) << ": " << why << "\n";
            status = 1;
            continue;
        }
        std::string problem;
        if (item.nvme && !smart::nvme::split_nvme_snapshot(bytes, *nvme_snapshot, problem)) {
            err << "platewise history import: " << path_text(item.path) << ": not an NVMe snapshot ("
                << problem << ")\n";
            status = 1;
            continue;
        }
        if (!item.nvme && (!smart::split_snapshot(bytes, *snapshot) || snapshot->count == 0 ||
                           snapshot->count > smart::kDriveSlots + 1)) {
            err << "platewise history import: " << path_text(item.path) << ": not a snapshot ("
                << bytes.size() << " bytes" << (bytes.size() == smart::kDriveSnapshotBytes ? ", malformed count byte" : "")
                << ")\n";
            status = 1;
            continue;
        }
        std::uint64_t digest = 14695981039346656037ull;  // FNV-1a
        for (const std::uint8_t b : bytes) {
            digest = (digest ^ b) * 1099511628211ull;
        }
        history::Transaction t(store.db);
        bool is_new = false;
        if (!t.begin(error) || !history::note_import(store, item.time_ms / 1000 * 1000, digest, is_new, error)) {
            err << "platewise history import: " << path_text(item.path) << ": " << error << "\n";
            return 1;
        }
        if (!is_new) {
            ++skipped;
            continue;
        }
        const bool recorded =
            item.nvme ? history::record_nvme_snapshot(recorder, store, *nvme_snapshot, item.time_ms, nvme_slots, error)
                      : history::record_snapshot(recorder, store, *snapshot, item.time_ms, error);
        if (!recorded || !t.commit(error)) {
            err << "platewise history import: " << path_text(item.path) << ": " << error << "\n";
            status = 1;
            continue;
        }
        ++imported;
    }
    if (!history::flush_recorder(recorder, store, error)) {
        err << "platewise history import: " << error << "\n";
        status = 1;
    }
    // An import writes in bulk: without a checkpoint the write-ahead log
    // stays many times the size of the store until the next writer.
    if (!store.db.exec("PRAGMA wal_checkpoint(TRUNCATE)", error)) {
        err << "platewise history import: checkpoint: " << error << "\n";
        status = 1;
    }
    out << "Imported " << imported << " snapshot" << (imported == 1 ? "" : "s") << ", skipped " << skipped
        << " already in the history, into " << path_text(options.store) << "\n";
    return status;
}

}  // namespace platewise
