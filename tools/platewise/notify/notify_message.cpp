// The texts of a notification.
#include "notify/notify_message.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <map>

#include "notify/verdict_severity.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace platewise::notify {

namespace {

std::string slot_text(int slot)
{
    return slot < 0 ? std::string() : std::to_string(slot);
}

std::string drive_name(const events::DriveEvent& e)
{
    const std::string model = plain_text(e.model, 60);
    const std::string serial = plain_text(e.serial, 40);
    if (model.empty()) {
        return serial.empty() ? std::string("unnamed drive") : serial;
    }
    return serial.empty() ? model : model + " (" + serial + ")";
}

// A verdict as the texts show it ("" when there is none).
std::string verdict_text(const std::string& verdict)
{
    return verdict_heading(plain_text(verdict, 40));
}

std::string verdict_of(const events::DriveEvent& e)
{
    const std::string v = verdict_text(e.verdict_after);
    return v.empty() ? std::string("UNKNOWN") : v;
}

// How an event reads in a subject or a list line.
std::string headline(const events::DriveEvent& e)
{
    const std::string v = verdict_of(e);
    if (e.kind == "reminder") {
        return "still " + v + ": " + drive_name(e);
    }
    if (e.kind == "missing") {
        return "DRIVE MISSING: " + drive_name(e);
    }
    if (e.kind == "new") {
        return "new drive, " + v + ": " + drive_name(e);
    }
    if (e.kind == "back") {
        return "back, " + v + ": " + drive_name(e);
    }
    if (e.kind == "test") {
        return "test notification";
    }
    return v + ": " + drive_name(e);
}

nlohmann::json event_json(const events::DriveEvent& e)
{
    nlohmann::json reasons = nlohmann::json::array();
    for (const std::string& r : e.reasons) {
        reasons.push_back(plain_text(r, 400));
    }
    nlohmann::json j;
    j["id"] = e.id;
    j["kind"] = plain_text(e.kind, 20);
    j["time_ms"] = e.time_ms;
    j["time"] = utc_text(e.time_ms);
    j["model"] = plain_text(e.model, 60);
    j["serial"] = plain_text(e.serial, 40);
    j["slot"] = e.slot;
    j["verdict"] = verdict_text(e.verdict_after);
    j["previous_verdict"] = verdict_text(e.verdict_before);
    j["reasons"] = std::move(reasons);
    return j;
}

}  // namespace

std::string plain_text(const std::string& text, std::size_t max)
{
    std::string out;
    out.reserve(text.size() < max ? text.size() : max);
    for (const char c : text) {
        if (out.size() >= max) {
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    // No leading or trailing blanks (a folded header must not start with one).
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    out.erase(0, first);
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

std::string host_name()
{
    char buffer[256] = {};
#if !defined(_WIN32)
    if (::gethostname(buffer, sizeof buffer - 1) != 0) {
        buffer[0] = '\0';
    }
#endif
    std::string out;
    for (const char* p = buffer; *p != '\0' && out.size() < 64; ++p) {
        const char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '-' || c == '_') {
            out += c;
        }
    }
    return out.empty() ? std::string("localhost") : out;
}

std::string worst_verdict(const Message& message)
{
    std::string worst;
    int rank = -1;
    for (const events::DriveEvent& e : message.events) {
        const int r = severity(e.verdict_after);
        if (r > rank) {
            rank = r;
            worst = verdict_of(e);
        }
    }
    return worst;
}

std::string subject_line(const Message& message)
{
    std::string subject = "[platewise] " + plain_text(message.host, 64) + ": ";
    if (!message.digest()) {
        subject += message.events.empty() ? std::string("no events") : headline(message.events.front());
        return plain_text(subject, 300);
    }
    // Counted by verdict, worst first.
    std::map<std::string, unsigned> by_verdict;
    for (const events::DriveEvent& e : message.events) {
        ++by_verdict[verdict_of(e)];
    }
    std::vector<std::pair<std::string, unsigned>> ordered(by_verdict.begin(), by_verdict.end());
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        return severity(a.first) > severity(b.first);
    });
    subject += std::to_string(message.events.size()) + " drives changed:";
    bool first = true;
    for (const auto& [verdict, count] : ordered) {
        subject += (first ? " " : ", ") + std::to_string(count) + " " + verdict;
        first = false;
    }
    return plain_text(subject, 300);
}

std::string body_text(const Message& message)
{
    std::string body;
    const std::string when = utc_text(message.time_ms);
    if (message.digest()) {
        body += std::to_string(message.events.size()) + " drives of " + plain_text(message.host, 64) +
                " changed at " + when + " (one message for them all):\n\n";
    }
    for (const events::DriveEvent& e : message.events) {
        if (message.digest()) {
            body += "* " + headline(e) + "\n";
        } else if (e.kind == "test") {
            body += "This is a test notification from platewise on " + plain_text(message.host, 64) +
                    ". If you read this, the channel works.\n";
            continue;
        } else {
            body += headline(e) + "\n\n";
        }
        body += "  Drive:    " + drive_name(e) + "\n";
        if (e.slot >= 0) {
            body += "  Slot:     " + slot_text(e.slot) + "\n";
        }
        body += "  Verdict:  " + verdict_of(e) + "\n";
        const std::string before = verdict_text(e.verdict_before);
        body += "  Before:   " + (before.empty() ? std::string("(not seen before)") : before) + "\n";
        body += "  Since:    " + utc_text(e.time_ms) + "\n";
        if (!e.reasons.empty()) {
            body += "  Reasons:\n";
            for (const std::string& r : e.reasons) {
                body += "    - " + plain_text(r, 400) + "\n";
            }
        }
        if (!message.page_address.empty() && !e.serial.empty()) {
            body += "  Page:     " + drive_page(message.page_address, e.serial) + "\n";
        }
        body += "\n";
    }
    body += "Host: " + plain_text(message.host, 64) + "\nTime: " + when + "\n";
    if (!message.page_address.empty()) {
        body += "Status page: " + plain_text(message.page_address, 200) + "/\n";
    }
    return body;
}

std::string json_document(const Message& message)
{
    nlohmann::json j;
    if (message.events.size() == 1) {
        j = event_json(message.events.front());
    }
    j["host"] = plain_text(message.host, 64);
    j["kind"] = message.digest() ? std::string("digest")
                                 : (message.events.empty() ? std::string()
                                                           : plain_text(message.events.front().kind, 20));
    j["time_ms"] = message.time_ms;
    j["time"] = utc_text(message.time_ms);
    j["page"] = plain_text(message.page_address, 200);
    j["count"] = message.events.size();
    nlohmann::json list = nlohmann::json::array();
    for (const events::DriveEvent& e : message.events) {
        list.push_back(event_json(e));
    }
    j["events"] = std::move(list);
    // Replacement characters cannot occur: every string is printable ASCII.
    return j.dump() + "\n";
}

std::vector<std::string> environment_variables(const Message& message)
{
    std::string serials, models, slots, verdicts, previous, reasons;
    const auto line = [](std::string& to, const std::string& value) {
        if (!to.empty()) {
            to += '\n';
        }
        to += value;
    };
    for (const events::DriveEvent& e : message.events) {
        line(serials, plain_text(e.serial, 40));
        line(models, plain_text(e.model, 60));
        line(slots, slot_text(e.slot));
        line(verdicts, verdict_text(e.verdict_after));
        line(previous, verdict_text(e.verdict_before));
        for (const std::string& r : e.reasons) {
            line(reasons, message.digest() ? drive_name(e) + ": " + plain_text(r, 400) : plain_text(r, 400));
        }
    }
    const std::string kind = message.digest() ? std::string("digest")
                             : message.events.empty() ? std::string()
                                                      : plain_text(message.events.front().kind, 20);
    return {
        "PLATEWISE_HOST=" + plain_text(message.host, 64),
        "PLATEWISE_KIND=" + kind,
        "PLATEWISE_SERIAL=" + serials,
        "PLATEWISE_MODEL=" + models,
        "PLATEWISE_SLOT=" + slots,
        "PLATEWISE_VERDICT=" + (message.digest() ? worst_verdict(message) : verdicts),
        "PLATEWISE_PREVIOUS_VERDICT=" + previous,
        "PLATEWISE_REASONS=" + reasons,
        "PLATEWISE_TIME=" + utc_text(message.time_ms),
        "PLATEWISE_COUNT=" + std::to_string(message.events.size()),
        "PLATEWISE_PAGE=" + plain_text(message.page_address, 200),
    };
}

std::string drive_page(const std::string& page_address, const std::string& serial)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out = plain_text(page_address, 200) + "/drive/";
    for (const char c : serial) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string utc_text(std::int64_t time_ms)
{
    const std::time_t t = static_cast<std::time_t>(time_ms / 1000);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buffer;
}

}  // namespace platewise::notify
