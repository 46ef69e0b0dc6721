// Events in the Windows Event Log.
#include "events/event_log_win32.h"

#include <utility>

#include "events/event_journal.h"
#include "events/verdict_tracker.h"
// windmc's header of events/platewise_events.mc: the event ids.
#include "platewise_events.h"

namespace platewise::events {

namespace {

DWORD verdict_id(const std::string& verdict) noexcept
{
    static const struct {
        const char* words;
        DWORD id;
    } ids[] = {
        {"FAILING NOW", PLATEWISE_EVENT_FAILING_NOW},
        {"DEGRADING", PLATEWISE_EVENT_DEGRADING},
        {"WARNING", PLATEWISE_EVENT_WARNING},
        {"FAILED IN THE PAST", PLATEWISE_EVENT_FAILED_IN_THE_PAST},
        {kMissingWords, PLATEWISE_EVENT_DRIVE_MISSING},
        {"NO SMART DATA", PLATEWISE_EVENT_NO_SMART_DATA},
    };
    for (const auto& row : ids) {
        if (verdict == row.words) {
            return row.id;
        }
    }
    return PLATEWISE_EVENT_OTHER_VERDICT;
}

}  // namespace

EventLogEntry event_log_entry(const DriveEvent& event) noexcept
{
    if (event.kind == "test") {
        return {EVENTLOG_INFORMATION_TYPE, PLATEWISE_EVENT_TEST};
    }
    if (event.verdict_after == kOkWords) {
        return {EVENTLOG_INFORMATION_TYPE, event.kind == "new" ? PLATEWISE_EVENT_NEW_DRIVE : PLATEWISE_EVENT_OK};
    }
    const DWORD id = verdict_id(event.verdict_after);
    return {id == PLATEWISE_EVENT_FAILING_NOW ? static_cast<WORD>(EVENTLOG_ERROR_TYPE)
                                              : static_cast<WORD>(EVENTLOG_WARNING_TYPE),
            id};
}

EventLogEntry listener_problem_entry() noexcept
{
    return {EVENTLOG_ERROR_TYPE, PLATEWISE_EVENT_LISTENER_PROBLEM};
}

std::wstring event_log_text(std::string text)
{
    // A path or a library's message may hold any byte; a path keeps its
    // backslashes.
    for (char& c : text) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    // Event Viewer reads "%%N" in a string as message N of the source's
    // parameter file (the system's when it names none): a model such as
    // "%%5" would show a text that is not the drive's.
    for (std::size_t at = text.find("%%"); at != std::string::npos; at = text.find("%%", at + 1)) {
        text[at + 1] = '?';
    }
    if (text.size() > kMaxEventText) {
        text.resize(kMaxEventText - 3);
        text += "...";
    }
    // Printable ASCII: each byte is its own UTF-16 unit.
    return std::wstring(text.begin(), text.end());
}

std::wstring event_log_text(const DriveEvent& event)
{
    return event_log_text(event_text(event));
}

EventLog::EventLog(std::ostream& log, EventLogApi api) : log_(log), api_(api) {}

EventLog::~EventLog()
{
    if (source_ != nullptr) {
        api_.deregister(source_);
    }
}

bool EventLog::source_ready(std::size_t entries)
{
    if (source_ != nullptr) {
        return true;
    }
    source_ = api_.register_source(nullptr, kEventSource);
    if (source_ != nullptr) {
        return true;
    }
    const DWORD code = GetLastError();
    failures_ += entries;
    if (!said_register_) {
        said_register_ = true;
        log_ << "platewise listen: the Windows Event Log cannot be written (RegisterEventSourceW: "
                "error "
             << code << "); drive changes are in this log only\n";
        log_.flush();
    }
    return false;
}

bool EventLog::write(EventLogEntry entry, const std::wstring& text)
{
    LPCWSTR texts[1] = {text.c_str()};
    if (api_.report(source_, entry.type, 0, entry.id, nullptr, 1, 0, texts, nullptr)) {
        return true;
    }
    const DWORD code = GetLastError();
    ++failures_;
    if (!said_report_) {
        said_report_ = true;
        log_ << "platewise listen: an entry could not be written to the Windows Event Log "
                "(ReportEventW: error "
             << code << "); later failures are not reported\n";
        log_.flush();
    }
    return false;
}

std::size_t EventLog::report(const std::vector<DriveEvent>& events)
{
    if (events.empty() || !source_ready(events.size())) {
        return 0;
    }
    std::size_t written = 0;
    for (const DriveEvent& event : events) {
        written += write(event_log_entry(event), event_log_text(event)) ? 1 : 0;
    }
    return written;
}

std::size_t EventLog::report_problems(const std::vector<std::string>& problems)
{
    if (problems.empty() || !source_ready(problems.size())) {
        return 0;
    }
    std::size_t written = 0;
    for (const std::string& problem : problems) {
        written += write(listener_problem_entry(), event_log_text(problem)) ? 1 : 0;
    }
    return written;
}

void attach_event_log(EventLog& event_log, ListenOptions& options)
{
    auto before = std::move(options.on_events);
    options.on_events = [&event_log, before = std::move(before)](const std::vector<DriveEvent>& events,
                                                                  std::int64_t now_ms) {
        if (before) {
            before(events, now_ms);
        }
        event_log.report(events);
    };
}

}  // namespace platewise::events
