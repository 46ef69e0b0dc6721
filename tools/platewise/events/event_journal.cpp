// Events as journal lines.
#include "events/event_journal.h"

#include "events/verdict_tracker.h"

namespace platewise::events {

namespace {

// The event's strings are sanitised when they are made; what comes back
// from a history file is checked again so that no line break or control
// byte ever splits or forges a journal entry.
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

std::string what_happened(const DriveEvent& e)
{
    const std::string after = e.verdict_after.empty() ? std::string("no verdict") : e.verdict_after;
    if (e.kind == "new") {
        return "new drive, " + after;
    }
    if (e.kind == "missing") {
        return after + (e.verdict_before.empty() ? "" : " (was " + e.verdict_before + ")");
    }
    if (e.kind == "back") {
        return "back, " + after;
    }
    if (e.kind == "change") {
        return (e.verdict_before.empty() ? std::string("now") : e.verdict_before + " ->") + " " + after;
    }
    return e.kind + ", " + after;
}

}  // namespace

int journal_priority(const DriveEvent& event) noexcept
{
    if (event.verdict_after == "FAILING NOW") {
        return 2;
    }
    if (event.verdict_after == kOkWords) {
        return 5;
    }
    return 4;
}

std::string journal_line(const DriveEvent& event)
{
    // Appended piece by piece: GCC 12 at -O3 takes chains of temporaries
    // for overlapping copies (-Wrestrict) and stops the Release build.
    std::string line = "<";
    line += std::to_string(journal_priority(event));
    line += ">platewise listen: ";
    line += event.model.empty() ? std::string("(no model)") : event.model;
    line += " serial ";
    line += event.serial;
    if (event.slot >= 0) {
        line += " (slot ";
        line += std::to_string(event.slot);
        line += ")";
    }
    line += ": ";
    line += what_happened(event);
    for (std::size_t i = 0; i < event.reasons.size(); ++i) {
        line += i == 0 ? ": " : "; ";
        line += event.reasons[i];
    }
    return printable(line) + "\n";
}

void write_journal(const std::vector<DriveEvent>& events, std::ostream& err)
{
    if (events.empty()) {
        return;
    }
    for (const DriveEvent& e : events) {
        err << journal_line(e);
    }
    err.flush();
}

}  // namespace platewise::events
