// Reading the history for people and scripts.
#include "history/history_view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "history/future_times.h"
#include "history/latch_rules.h"
#include "history/nvme_verdicts.h"
#include "history/verdict_rules.h"
#include "history/view_replay.h"
#include "report/local_time_text.h"

namespace platewise::history {

namespace {

smart::AttributeEntry entry_of(const AttributeSample& sample)
{
    smart::AttributeEntry e{};
    e.id = sample.id;
    e.value = sample.value;
    e.worst = sample.worst;
    for (int b = 0; b < 6; ++b) {
        e.raw_bytes[b] = static_cast<std::uint8_t>(sample.raw >> (8 * b));
    }
    return e;
}

}  // namespace

DriveReport report_of_table(const StoredDrive& drive, const std::vector<AttributeSample>& table,
                            const smart::AttributeDefinitionTable& names)
{
    smart::DriveRecord record{};
    for (std::size_t i = 0; i < table.size() && i < smart::kAttributeSlots; ++i) {
        const smart::AttributeEntry e = entry_of(table[i]);
        std::memcpy(record.smart_values + 2 + 12 * i, &e, sizeof e);
        record.smart_thresholds[2 + 12 * i] = table[i].id;
        record.smart_thresholds[3 + 12 * i] = table[i].threshold;
    }
    DriveReport report = report_drive(record, drive.last_slot < 0 ? 0 : static_cast<std::size_t>(drive.last_slot), names);
    report.model = drive.model;
    report.serial = drive.serial;
    report.firmware = drive.firmware;
    report.sizes.total_bytes = drive.capacity_bytes;
    return report;
}

bool load_views(HistoryStore& store, const ViewOptions& options, std::vector<DriveView>& views,
                std::string& error)
{
    std::vector<StoredDrive> drives;
    std::vector<StoredBaseline> baselines;
    std::vector<StoredLatch> latches;
    if (!load_drives(store, drives, error) || !load_baselines(store, baselines, error) ||
        !load_latches(store, latches, error)) {
        return false;
    }
    const std::int64_t until_ms = options.as_of ? options.now_ms : INT64_MAX;
    // A replay goes on from the store as it is now, never as it was.
    ViewReplays* const replays = options.as_of ? nullptr : options.replays;
    std::unique_lock<std::mutex> replaying;
    if (replays != nullptr) {
        replaying = std::unique_lock<std::mutex>(replays->lock);
        if (!check_replays(store, *replays, drives, error)) {
            return false;
        }
    }
    views.clear();
    for (StoredDrive& d : drives) {
        if (d.first_seen_ms > until_ms) {
            continue;  // not known yet then
        }
        if (options.serial && d.serial != *options.serial) {
            continue;
        }
        DriveView v;
        // The readings shown: those of the window before the drive was last
        // seen (or now, when that is earlier), after the table they start from.
        const std::int64_t last_ms = options.now_ms != 0 ? std::min(d.last_seen_ms, options.now_ms) : d.last_seen_ms;
        const std::int64_t from_ms = options.window_ms > 0 ? last_ms - options.window_ms : INT64_MIN;
        IndicatorTrack track;
        std::map<std::uint8_t, std::int64_t> nvme_since;
        bool replayed = false;
        if (replays != nullptr && !replay_drive(store, *replays, d, baselines, from_ms, options.now_ms, v.readings,
                                                track, nvme_since, replayed, error)) {
            return false;
        }
        if (!replayed && !load_readings(store, d.id, INT64_MIN, v.readings, error)) {
            return false;
        }
        for (const StoredBaseline& b : of_drive(baselines, d.id)) {
            if (b.acked_ms <= until_ms) {
                v.baselines.push_back(b);
            }
        }
        for (const StoredLatch& l : of_drive(latches, d.id)) {
            if (l.since_ms <= until_ms) {
                v.latches.push_back(l);
            }
        }
        if (options.as_of) {
            const auto after = std::find_if(v.readings.begin(), v.readings.end(),
                                            [&](const Reading& r) { return r.time_ms > until_ms; });
            const bool seen_after = after != v.readings.end() || d.last_seen_ms > until_ms;
            v.readings.erase(after, v.readings.end());
            d.current = table_at(v.readings, until_ms);
            d.has_current = !v.readings.empty();
            if (seen_after) {
                d.last_seen_ms = until_ms;
            }
        }
        v.drive = std::move(d);
        if (options.now_ms != 0) {
            clamp_future_times(v.drive, v.readings, options.now_ms);
        }
        const bool nvme = v.drive.kind == DriveKind::nvme;
        if (replayed) {
            join_stored_latches(track, v.baselines, v.latches, v.drive.id, until_ms,
                                nvme ? nvme_track_rules() : ata_track_rules());
        } else if (nvme) {
            nvme_since = nvme_rising_since(v.readings, v.baselines, v.drive.id);
            track = nvme_track_of(v.readings, v.baselines, v.latches, v.drive.id, until_ms);
        } else {
            track = track_of(v.readings, v.baselines, v.latches, v.drive.id, until_ms);
        }
        if (nvme) {
            // An NVMe drive's own verdict from its health fields, then its
            // DEGRADING boundaries (spare, wear, error counts).
            v.report = nvme_report_of_table(v.drive, v.drive.current);
            add_reasons(v.report, nvme_degrading_reasons(v.drive.current, v.baselines, v.drive.id, nvme_since, track));
        } else {
            v.report = report_of_table(v.drive, v.drive.current, options.names);
            // The ATA counts; other kinds keep their fields under other ids.
            judge_indicators(v.report, v.drive.current, track, v.baselines, v.drive.id, options.names);
        }
        if (!replayed && options.window_ms > 0) {
            fold_readings_before(v.readings, from_ms);
        }
        v.missing = is_missing(v.drive.last_seen_ms, options.now_ms, options.missing_after_ms);
        if (v.missing) {
            add_reasons(v.report, {missing_reason(v.drive)});
        }
        views.push_back(std::move(v));
    }
    return true;
}

std::vector<AttributeSample> table_at(const std::vector<Reading>& readings, std::int64_t time_ms)
{
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        if (r.time_ms > time_ms) {
            break;
        }
        apply_reading(table, r);
    }
    return table;
}

std::string sample_raw_text(const AttributeSample& sample, const smart::AttributeDefinitionTable& names)
{
    return smart::sanitize_text(smart::render_raw_value(entry_of(sample), names));
}

std::uint64_t sample_raw_value(const AttributeSample& sample,
                               const smart::AttributeDefinitionTable& names)
{
    return smart::extract_raw_value(entry_of(sample), names);
}

std::uint64_t sample_reading(const AttributeSample& sample, const smart::AttributeDefinitionTable& names)
{
    if (sample.id == 190 || sample.id == 194) {
        return sample.raw & 0xFF;
    }
    if (smart::is_count_attribute(sample.id)) {
        return indicator_count(sample.raw);
    }
    return sample_raw_value(sample, names);
}

const char* reading_title(std::uint8_t id) noexcept
{
    if (id == 190 || id == 194) {
        return "Temperature (C)";
    }
    return smart::is_count_attribute(id) ? "Count" : "Raw value";
}

std::string power_on_text(const AttributeSample& sample, const smart::AttributeDefinitionTable& names)
{
    return smart::power_on_text(entry_of(sample), names);
}

std::vector<const DriveView*> find_views(const std::vector<DriveView>& views,
                                         const std::string& serial, const std::string& model)
{
    std::vector<const DriveView*> out;
    for (const DriveView& v : views) {
        if (v.drive.serial == serial && (model.empty() || v.drive.model == model)) {
            out.push_back(&v);
        }
    }
    return out;
}

bool parse_when(const std::string& text, std::int64_t now_ms, std::int64_t& out_ms)
{
    if (text.size() >= 2) {
        const char unit = text.back();
        const std::string number = text.substr(0, text.size() - 1);
        if ((unit == 'm' || unit == 'h' || unit == 'd') &&
            std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            number.size() <= 6) {
            const std::int64_t n = std::stoll(number);
            const std::int64_t unit_ms = unit == 'm' ? 60000 : (unit == 'h' ? 3600000 : 86400000);
            out_ms = now_ms - n * unit_ms;
            return true;
        }
    }
    std::tm parts{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0;
    char tail = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &y, &mo, &d, &sep, &h, &mi, &s, &tail);
    const bool date_only = n == 3 && text.size() == 10;
    const bool with_time = ((n == 6 && text.size() == 16) || (n == 7 && text.size() == 19)) &&
                           (sep == ' ' || sep == 'T');
    if (!date_only && !with_time) {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60) {
        return false;
    }
    parts.tm_year = y - 1900;
    parts.tm_mon = mo - 1;
    parts.tm_mday = d;
    parts.tm_hour = date_only ? 0 : h;
    parts.tm_min = date_only ? 0 : mi;
    parts.tm_sec = date_only ? 0 : s;
    parts.tm_isdst = -1;
    const std::time_t t = std::mktime(&parts);
    if (t == static_cast<std::time_t>(-1)) {
        return false;
    }
    out_ms = static_cast<std::int64_t>(t) * 1000;
    return true;
}

std::string time_text(std::int64_t unix_ms)
{
    return local_time_text_at(unix_ms, "%Y-%m-%d %H:%M:%S");
}

const AttributeSample* find_sample(const std::vector<AttributeSample>& table, std::uint8_t id)
{
    for (const AttributeSample& a : table) {
        if (a.id == id) {
            return &a;
        }
    }
    return nullptr;
}

int temperature_of(const std::vector<AttributeSample>& table)
{
    for (const std::uint8_t id : {std::uint8_t{194}, std::uint8_t{190}}) {
        if (const AttributeSample* a = find_sample(table, id)) {
            return static_cast<int>(a->raw & 0xFF);
        }
    }
    return -1;
}

}  // namespace platewise::history
