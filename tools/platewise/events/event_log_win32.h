// Events in the Windows Event Log: each event the listener makes becomes
// one entry in the Application log, source "Platewise", with an event id
// per verdict from the message table built into platewise.exe
// (events/platewise_events.mc), so that Event Viewer shows the text and an
// administrator can attach a task to an id. The installer registers the
// source; without that registration Windows still keeps the entries, and
// Event Viewer says it cannot find the description but shows the text.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "commands/listen_command.h"
#include "events/drive_event.h"

namespace platewise::events {

inline constexpr const wchar_t* kEventSource = L"Platewise";

// The calls the Event Log is reached through: the real ones unless a test
// puts its own in their place.
struct EventLogApi {
    HANDLE(WINAPI* register_source)(LPCWSTR server, LPCWSTR source) = RegisterEventSourceW;
    BOOL(WINAPI* report)(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD strings,
                         DWORD data_size, LPCWSTR* texts, LPVOID data) = ReportEventW;
    BOOL(WINAPI* deregister)(HANDLE source) = DeregisterEventSource;
};

// The entry an event becomes: EVENTLOG_ERROR_TYPE for FAILING NOW,
// EVENTLOG_INFORMATION_TYPE for OK (event 1; 2 for a new drive) and a test
// (100), EVENTLOG_WARNING_TYPE for every other verdict: DEGRADING 11,
// WARNING 12, FAILED IN THE PAST 13, DRIVE MISSING 14, NO SMART DATA 15,
// any other 19. `id` is the message table's whole value (severity in the
// top bits); Event Viewer shows its low 16 bits.
struct EventLogEntry {
    WORD type = EVENTLOG_WARNING_TYPE;
    DWORD id = 0;
};
EventLogEntry event_log_entry(const DriveEvent& event) noexcept;

// The entry's one string: the event's line in words (event_text), which
// is printable ASCII, with no "%%" (which Event Viewer would replace by a
// message of its own), at most kMaxEventText characters.
inline constexpr std::size_t kMaxEventText = 4096;
std::wstring event_log_text(const DriveEvent& event);

// The entry for the listener's own trouble: what it was given and cannot
// have (the history's file, the page's port), while it goes on receiving.
// EVENTLOG_ERROR_TYPE, event 20.
EventLogEntry listener_problem_entry() noexcept;

// `text` as an entry's one string: made printable ASCII, "%%" broken up,
// at most kMaxEventText characters (what event_log_text does to a line).
std::wstring event_log_text(std::string text);

// Writes events to the Event Log. The source is registered at the first
// event (and again at a later one while it cannot be); the first failure to
// register it, and the first failed entry, are said once each on `log`.
// Nothing waits: a failed call is given up and the listener carries on.
class EventLog {
public:
    explicit EventLog(std::ostream& log, EventLogApi api = {});
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // One entry per event, in order. The entries written.
    std::size_t report(const std::vector<DriveEvent>& events);

    // One entry (listener_problem_entry) for each line of the listener's
    // own trouble. The entries written.
    std::size_t report_problems(const std::vector<std::string>& problems);

    std::uint64_t failures() const noexcept { return failures_; }

private:
    // Registers the source when it is not yet; false (counting `entries` as
    // failed) when it cannot be.
    bool source_ready(std::size_t entries);
    // One entry; false (counted, the first failure said) when refused.
    bool write(EventLogEntry entry, const std::wstring& text);

    std::ostream& log_;
    EventLogApi api_;
    HANDLE source_ = nullptr;
    bool said_register_ = false;
    bool said_report_ = false;
    std::uint64_t failures_ = 0;
};

// Sets options.on_events to write to `event_log` after any handler set
// before. `event_log` must outlive the listener.
void attach_event_log(EventLog& event_log, ListenOptions& options);

}  // namespace platewise::events
