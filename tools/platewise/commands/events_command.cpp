// platewise events.
#include "commands/events_command.h"

#include <nlohmann/json.hpp>

#include "files/path_text.h"
#include "history/event_store.h"
#include "history/history_view.h"
#include "report/json_report.h"

namespace platewise {

namespace {

// A string from the history file, which anybody who could write it may
// have filled: only printable ASCII reaches a terminal.
std::string printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e) {
            c = '?';
        }
    }
    return out;
}

std::string event_text(const events::DriveEvent& e)
{
    std::string line = history::time_text(e.time_ms) + "  " + printable(e.kind) + "  ";
    if (e.model.empty() && e.serial.empty() && e.slot >= 0) {
        line += "slot " + std::to_string(e.slot);  // nobody could read the drive in it
    } else {
        line += (e.model.empty() ? std::string("(no model)") : printable(e.model)) + " serial " +
                printable(e.serial);
        if (e.slot >= 0) {
            line += " slot " + std::to_string(e.slot);
        }
    }
    line += ": " + (e.verdict_before.empty() ? std::string() : printable(e.verdict_before) + " -> ") +
            printable(e.verdict_after) + "\n";
    for (const std::string& reason : e.reasons) {
        line += "    " + printable(reason) + "\n";
    }
    return line;
}

}  // namespace

int run_events(const EventsOptions& options, std::ostream& out, std::ostream& err)
{
    history::HistoryStore store;
    std::string error;
    if (!history::open_history(store, options.store, true, error)) {
        err << "platewise events: " << error << "\n";
        return 1;
    }
    history::EventQuery query;
    query.since_ms = options.since_ms;
    std::vector<history::StoredEvent> found;
    if (!history::load_events(store, query, found, error)) {
        err << "platewise events: cannot read " << path_text(options.store) << ": " << error << "\n";
        return 1;
    }
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const events::DriveEvent& e : found) {
            list.push_back({{"id", e.id},
                            {"time", e.time_ms / 1000},
                            {"time_ms", e.time_ms},
                            {"kind", e.kind},
                            {"drive_id", e.drive_id},
                            {"model", e.model},
                            {"serial", e.serial},
                            {"slot", e.slot},
                            {"verdict_before", e.verdict_before},
                            {"verdict_after", e.verdict_after},
                            {"reasons", e.reasons}});
        }
        out << render_json_line({{"since", options.since_ms / 1000}, {"events", std::move(list)}});
    } else if (found.empty()) {
        out << "No event recorded" << (options.since_ms > 0 ? " since " + history::time_text(options.since_ms) : std::string()) << ".\n";
    } else {
        for (const events::DriveEvent& e : found) {
            out << event_text(e);
        }
    }
    out.flush();
    return 0;
}

}  // namespace platewise
