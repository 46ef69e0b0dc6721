// platewise status.
#include "commands/status_command.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "commands/verdict_summary.h"
#include "events/verdict_tracker.h"
#include "commands/nvme_status.h"
#include "history/event_store.h"
#include "files/path_text.h"
#include "history/history_view.h"
#include "report/json_report.h"
#include "version/build_version.h"

namespace platewise {

namespace {

using history::AttributeSample;
using history::DriveView;
using history::find_sample;
using history::temperature_of;

struct Change {
    std::uint8_t id;
    const AttributeSample* from;  // nullptr: new
    const AttributeSample* to;    // nullptr: gone
};

std::vector<Change> changes_between(const std::vector<AttributeSample>& before,
                                    const std::vector<AttributeSample>& now)
{
    std::vector<Change> out;
    for (const AttributeSample& a : now) {
        const AttributeSample* b = find_sample(before, a.id);
        if (b == nullptr || !(*b == a)) {
            out.push_back({a.id, b, &a});
        }
    }
    for (const AttributeSample& b : before) {
        if (find_sample(now, b.id) == nullptr) {
            out.push_back({b.id, &b, nullptr});
        }
    }
    return out;
}

std::string age_text(std::int64_t ms)
{
    const std::int64_t s = ms / 1000;
    if (s < 120) {
        return std::to_string(s < 0 ? 0 : s) + " s ago";
    }
    if (s < 7200) {
        return std::to_string(s / 60) + " min ago";
    }
    if (s < 2 * 86400) {
        return std::to_string(s / 3600) + " h ago";
    }
    return std::to_string(s / 86400) + " days ago";
}

std::string name_of(std::uint8_t id, const smart::AttributeDefinitionTable& names)
{
    const std::string name = smart::sanitize_text(names.definition_for(id).name);
    return "attribute " + std::to_string(id) + (name.empty() ? "" : " " + name);
}

std::string change_text(const Change& c, const smart::AttributeDefinitionTable& names)
{
    std::string text = name_of(c.id, names) + ": ";
    if (c.from == nullptr) {
        return text + "appeared, raw " + history::sample_raw_text(*c.to, names);
    }
    if (c.to == nullptr) {
        return text + "gone";
    }
    text += "raw " + history::sample_raw_text(*c.from, names) + " -> " +
            history::sample_raw_text(*c.to, names);
    if (c.from->value != c.to->value) {
        text += smart::format_text(", value %u -> %u", c.from->value, c.to->value);
    }
    if (c.from->worst != c.to->worst) {
        text += smart::format_text(", worst %u -> %u", c.from->worst, c.to->worst);
    }
    if (c.from->threshold != c.to->threshold) {
        text += smart::format_text(", threshold %u -> %u", c.from->threshold, c.to->threshold);
    }
    return text;
}

nlohmann::json sample_json(const AttributeSample& a, const smart::AttributeDefinitionTable& names)
{
    return {{"value", a.value},
            {"worst", a.worst},
            {"threshold", a.threshold},
            {"raw", history::sample_raw_value(a, names)},
            {"raw_text", history::sample_raw_text(a, names)}};
}

}  // namespace

int run_status(const StatusOptions& options, std::ostream& out, std::ostream& err)
{
    history::HistoryStore store;
    std::string error;
    if (!history::open_history(store, options.store, true, error)) {
        err << "platewise status: " << error << "\n";
        if (options.brief) {
            out << unknown_brief_line("cannot read the history: " + error);
        }
        return kStatusUnknown;
    }
    history::ViewOptions view_options;
    view_options.now_ms = options.now_ms;
    view_options.missing_after_ms = options.missing_after_ms;
    view_options.as_of = options.as_of;
    // What changed is told over the last day alone.
    view_options.window_ms = 24LL * 3600 * 1000;
    view_options.replays = options.replays;
    std::vector<DriveView> views;
    if (!history::load_views(store, view_options, views, error)) {
        err << "platewise status: cannot read " << options.store << ": " << error << "\n";
        if (options.brief) {
            out << unknown_brief_line("cannot read the history: " + error);
        }
        return kStatusUnknown;
    }
    // The slots the last pass could not read are today's: not shown as of
    // an earlier time.
    std::vector<history::StoredSlot> slots;
    if (!options.as_of && !history::load_slots(store, slots, error)) {
        err << "platewise status: cannot read " << options.store << ": " << error << "\n";
        if (options.brief) {
            out << unknown_brief_line("cannot read the history: " + error);
        }
        return kStatusUnknown;
    }
    VerdictSummary summary;
    for (const DriveView& v : views) {
        add_drive(summary, events::verdict_words(v.report.verdict), v.drive.model, v.drive.serial);
    }
    // An unreadable slot is no drive anybody can judge: NO SMART DATA.
    for (const history::StoredSlot& slot : slots) {
        add_drive(summary, events::verdict_words(Verdict::no_smart_data), "",
                  "slot " + std::to_string(slot.slot));
    }
    if (options.brief) {
        out << brief_line(summary);
        out.flush();
        return summary_exit_status(summary);
    }
    sort_worst_first(views);
    const smart::AttributeDefinitionTable& names = view_options.names;

    nlohmann::json drives = nlohmann::json::array();
    std::string text;
    text += std::string(options.as_of ? "Platewise drive status as of " : "Platewise drive status at ") +
            history::time_text(options.now_ms) + " (" +
            std::to_string(views.size()) + " drive" + (views.size() == 1 ? "" : "s") +
            (slots.empty() ? std::string()
                           : ", " + std::to_string(slots.size()) + " unreadable slot" + (slots.size() == 1 ? "" : "s")) +
            " in " + path_text(options.store) + ")\n";
    std::string never_acknowledged;
    for (const DriveView& v : views) {
        // The 24 hours before the drive's last reading: for a drive seen
        // now the last day, for one gone (or an imported store) its last.
        const std::int64_t last_ms = std::min(options.now_ms, v.drive.last_seen_ms);
        const std::int64_t day_ago = last_ms - 24LL * 3600 * 1000;
        const bool day_is_now = options.now_ms - last_ms <= options.missing_after_ms;
        const bool acknowledged = !v.baselines.empty();
        if (!acknowledged) {
            never_acknowledged += "  " + (v.drive.model.empty() ? std::string("(no model)") : v.drive.model) +
                                  "   serial " + v.drive.serial + "\n";
        }
        const bool nvme = v.drive.kind == history::DriveKind::nvme;
        const bool new_today = v.drive.first_seen_ms > day_ago;
        const std::vector<AttributeSample> before =
            new_today ? std::vector<AttributeSample>{} : history::table_at(v.readings, day_ago);
        const std::vector<Change> changes =
            new_today ? std::vector<Change>{} : changes_between(before, v.drive.current);
        const int temperature = nvme ? nvme_temperature_of(v.drive.current) : temperature_of(v.drive.current);
        const AttributeSample* power_on = find_sample(v.drive.current, 9);

        if (options.json) {
            nlohmann::json attributes = nlohmann::json::array();
            for (const AttributeSample& a : v.drive.current) {
                nlohmann::json j = sample_json(a, names);
                j["id"] = a.id;
                j["name"] = smart::sanitize_text(names.definition_for(a.id).name);
                attributes.push_back(std::move(j));
            }
            nlohmann::json changed = nlohmann::json::array();
            for (const Change& c : changes) {
                changed.push_back({{"id", c.id},
                                   {"name", smart::sanitize_text(names.definition_for(c.id).name)},
                                   {"from", c.from == nullptr ? nlohmann::json() : sample_json(*c.from, names)},
                                   {"to", c.to == nullptr ? nlohmann::json() : sample_json(*c.to, names)}});
            }
            if (nvme) {
                attributes = nvme_fields_json(v.drive.current);
                changed = nlohmann::json::array();
                for (const Change& c : changes) {
                    changed.push_back({{"id", c.id},
                                       {"name", nvme_field_json(c.to != nullptr ? *c.to : *c.from)["name"]},
                                       {"from", c.from == nullptr ? nlohmann::json() : nvme_field_json(*c.from)},
                                       {"to", c.to == nullptr ? nlohmann::json() : nvme_field_json(*c.to)}});
                }
            }
            drives.push_back({
                {"kind", nvme ? "nvme" : "ata"},
                {"model", v.drive.model},
                {"serial", v.drive.serial},
                {"wwn", v.drive.wwn},
                {"firmware", v.drive.firmware},
                {"capacity_bytes", v.drive.capacity_bytes},
                {"first_seen", v.drive.first_seen_ms / 1000},
                {"last_seen", v.drive.last_seen_ms / 1000},
                {"last_slot", v.drive.last_slot},
                {"missing", v.missing},
                {"verdict", v.report.verdict_text},
                {"verdict_code", verdict_name(v.report.verdict)},
                {"reasons", reasons_to_json(v.report.reasons)},
                {"temperature_celsius", temperature < 0 ? nlohmann::json() : nlohmann::json(temperature)},
                {"power_on", nvme ? nlohmann::json() : power_on == nullptr ? nlohmann::json() : nlohmann::json(history::power_on_text(*power_on, names))},
                {"acknowledged", acknowledged},
                {"acknowledged_text", v.report.acknowledged_text},
                {nvme ? "fields" : "attributes", std::move(attributes)},
                {"new_in_last_24h", new_today},
                {"changes_last_24h", std::move(changed)},
            });
            continue;
        }
        text += "\n" + (v.drive.model.empty() ? std::string("(no model)") : v.drive.model) +
                "   serial " + v.drive.serial;
        if (!v.drive.wwn.empty()) {
            text += "   " + drive_name_id_text(v.drive);
        }
        if (nvme) {
            text += "   (NVMe)";
        }
        text += "\n  Verdict: " + v.report.verdict_text + "\n";
        text += "  Last seen: " + history::time_text(v.drive.last_seen_ms) + " (" +
                age_text(options.now_ms - v.drive.last_seen_ms) + ")";
        if (v.drive.last_slot >= 0) {
            text += ", slot " + std::to_string(v.drive.last_slot);
        }
        text += "; first seen " + history::time_text(v.drive.first_seen_ms) + "\n";
        if (nvme) {
            text += nvme_status_lines(v.drive.current);
        } else {
            text += "  Temperature: " + (temperature < 0 ? std::string("not reported") : std::to_string(temperature) + " C") +
                    "   Power-on: " + (power_on == nullptr ? std::string("not reported") : history::power_on_text(*power_on, names)) + "\n";
        }
        const std::string day = day_is_now ? "Last 24 h" : "24 h before last seen";
        if (new_today) {
            text += "  " + day + ": first seen in this time\n";
        } else if (changes.empty()) {
            text += "  " + day + ": no change\n";
        } else {
            text += "  " + day + ":\n";
            for (const Change& c : changes) {
                text += "    " + (nvme ? nvme_change_text(c.id, c.from, c.to) : change_text(c, names)) + "\n";
            }
        }
    }
    nlohmann::json unreadable = nlohmann::json::array();
    for (const history::StoredSlot& slot : slots) {
        unreadable.push_back(slot_json(slot));
        text += '\n';  // appended apart: GCC 12 -O3's -Wrestrict false positive
        text += slot_status_text(slot);
    }
    if (options.json) {
        out << render_json_line({{"time", options.now_ms / 1000},
                                 {"platewise", {{"version", build_version()}, {"commit", build_commit()}}},
                                 {"drives", std::move(drives)},
                                 {"unreadable_slots", std::move(unreadable)}});
    } else {
        if (views.empty() && slots.empty()) {
            text += options.as_of ? "No drive recorded by then.\n" : "No drive recorded yet.\n";
        } else if (!never_acknowledged.empty()) {
            text += "\nNever acknowledged (counts are judged from when each was first seen; "
                    "'platewise ack --all' sets today's as the baselines):\n" + never_acknowledged;
        }
        out << text;
    }
    out.flush();
    return summary_exit_status(summary);
}

}  // namespace platewise
