// Rendering the events on the status page.
#include "web/event_list.h"

#include "history/history_view.h"
#include "web/html_text.h"

namespace platewise::web {

namespace {

// The class the page colours a verdict with (as the drive cards do).
const char* verdict_class_of(const std::string& words)
{
    if (words == "FAILING NOW") {
        return "v-failing_now";
    }
    if (words == "FAILED IN THE PAST") {
        return "v-failed_past";
    }
    if (words == "DEGRADING" || words == "WARNING") {
        return "v-degrading";
    }
    if (words == "DRIVE MISSING") {
        return "v-missing";
    }
    if (words == "OK") {
        return "v-ok";
    }
    return "v-no_smart_data";
}

const char* kind_words(const std::string& kind)
{
    if (kind == "new") {
        return "new drive";
    }
    if (kind == "missing") {
        return "gone missing";
    }
    if (kind == "back") {
        return "back";
    }
    if (kind == "change") {
        return "verdict changed";
    }
    if (kind == "unreadable") {
        return "no drive readable";
    }
    return nullptr;
}

}  // namespace

std::string render_event_list(const std::vector<events::DriveEvent>& events, const std::string& title,
                              bool link_drives)
{
    std::string out = "<section class=\"events\">\n<h2>" + html_escape(title) + "</h2>\n";
    if (events.empty()) {
        return out + "<p class=\"summary\">No event recorded yet.</p>\n</section>\n";
    }
    out += "<ol>\n";
    for (auto e = events.rbegin(); e != events.rend(); ++e) {
        const char* kind = kind_words(e->kind);
        out += "<li class=\"" + std::string(verdict_class_of(e->verdict_after)) + "\"><time>" +
               html_escape(history::time_text(e->time_ms)) + "</time> ";
        const std::string model = e->model.empty() ? std::string("(no model)") : e->model;
        const std::string drive = e->model.empty() && e->serial.empty() && e->slot >= 0
                                      ? "slot " + std::to_string(e->slot)
                                      : model + " " + e->serial;
        if (link_drives && !e->serial.empty()) {
            out += "<a href=\"/drive/" + html_escape(url_encode_segment(e->serial)) + "\">" + html_escape(drive) +
                   "</a>";
        } else {
            out += html_escape(drive);
        }
        out += ": " + html_escape(kind != nullptr ? std::string(kind) : e->kind) + ", ";
        if (!e->verdict_before.empty()) {
            out += html_escape(e->verdict_before) + " \xe2\x86\x92 ";
        }
        out += "<strong>" + html_escape(e->verdict_after) + "</strong>";
        if (!e->reasons.empty()) {
            out += "<ul class=\"why\">";
            for (const std::string& reason : e->reasons) {
                out += "<li>" + html_escape(reason) + "</li>";
            }
            out += "</ul>";
        }
        out += "</li>\n";
    }
    return out + "</ol>\n</section>\n";
}

}  // namespace platewise::web
