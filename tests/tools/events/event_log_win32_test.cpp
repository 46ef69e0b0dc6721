// Events in the Windows Event Log, through a stand-in for RegisterEventSourceW,
// ReportEventW and DeregisterEventSource that records every call; and
// platewise.exe itself: its message table as Event Viewer reads it, and
// its listener reporting a drive it is sent through the real ReportEventW
// (under Wine, event_log_wine_test.sh sees the entry in Wine's log).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../../smart/nvme_test_pages.h"
#include "../../windows/windows_test_support.h"
#include "events/event_journal.h"
#include "events/event_log_win32.h"

namespace {

using platewise::events::DriveEvent;

struct Call {
    HANDLE source;
    WORD type;
    WORD category;
    DWORD id;
    WORD strings;
    std::wstring text;
};

// What the stand-ins saw and what they answer.
struct Fake {
    int registered = 0;
    int deregistered = 0;
    std::wstring source_name;
    bool register_fails = false;
    bool report_fails = false;
    std::vector<Call> calls;
};
Fake fake;
HANDLE const kHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x4242));

HANDLE WINAPI fake_register(LPCWSTR server, LPCWSTR source)
{
    ++fake.registered;
    fake.source_name = source != nullptr ? source : L"";
    if (fake.register_fails || server != nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return kHandle;
}

BOOL WINAPI fake_report(HANDLE source, WORD type, WORD category, DWORD id, PSID, WORD strings, DWORD,
                        LPCWSTR* texts, LPVOID)
{
    fake.calls.push_back({source, type, category, id, strings,
                          strings > 0 && texts != nullptr && texts[0] != nullptr ? texts[0] : L"(none)"});
    if (fake.report_fails) {
        SetLastError(ERROR_LOG_FILE_FULL);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI fake_deregister(HANDLE)
{
    ++fake.deregistered;
    return TRUE;
}

platewise::events::EventLogApi fake_api()
{
    fake = Fake{};
    return {fake_register, fake_report, fake_deregister};
}

DriveEvent event(const std::string& kind, const std::string& before, const std::string& after)
{
    DriveEvent e;
    e.kind = kind;
    e.model = "ST9100821AS";
    e.serial = "5NJ0R13A";
    e.slot = 3;
    e.verdict_before = before;
    e.verdict_after = after;
    if (after != "OK") {
        e.reasons = {"reason for " + after};
    }
    return e;
}

// One row per verdict: the entry's type, the id Event Viewer shows, and the
// severity in the id's top bits agreeing with the type.
TEST(EventLogEntry, EachVerdictHasItsTypeAndId)
{
    const struct {
        const char* kind;
        const char* before;
        const char* after;
        WORD type;
        DWORD shown_id;
    } rows[] = {
        {"change", "DEGRADING", "FAILING NOW", EVENTLOG_ERROR_TYPE, 10},
        {"new", "", "FAILING NOW", EVENTLOG_ERROR_TYPE, 10},
        {"reminder", "FAILING NOW", "FAILING NOW", EVENTLOG_ERROR_TYPE, 10},
        {"change", "OK", "DEGRADING", EVENTLOG_WARNING_TYPE, 11},
        {"change", "OK", "WARNING", EVENTLOG_WARNING_TYPE, 12},
        {"new", "", "FAILED IN THE PAST", EVENTLOG_WARNING_TYPE, 13},
        {"missing", "OK", "DRIVE MISSING", EVENTLOG_WARNING_TYPE, 14},
        {"change", "OK", "NO SMART DATA", EVENTLOG_WARNING_TYPE, 15},
        {"change", "OK", "SOMETHING NEW", EVENTLOG_WARNING_TYPE, 19},
        {"change", "", "", EVENTLOG_WARNING_TYPE, 19},
        {"change", "DEGRADING", "OK", EVENTLOG_INFORMATION_TYPE, 1},
        {"back", "DRIVE MISSING", "OK", EVENTLOG_INFORMATION_TYPE, 1},
        {"new", "", "OK", EVENTLOG_INFORMATION_TYPE, 2},
        {"back", "DRIVE MISSING", "DEGRADING", EVENTLOG_WARNING_TYPE, 11},
        {"test", "", "FAILING NOW", EVENTLOG_INFORMATION_TYPE, 100},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " " + row.before + " -> " + row.after);
        const platewise::events::EventLogEntry entry =
            platewise::events::event_log_entry(event(row.kind, row.before, row.after));
        EXPECT_EQ(entry.type, row.type);
        EXPECT_EQ(entry.id & 0xffffu, row.shown_id);
        const DWORD severity = entry.id >> 30;
        EXPECT_EQ(severity, row.type == EVENTLOG_ERROR_TYPE     ? 3u
                            : row.type == EVENTLOG_WARNING_TYPE ? 2u
                                                                : 1u);
        EXPECT_EQ(entry.id & 0x3fff0000u, 0u) << "no facility or customer bits";
    }
}

// The one string is the event's line in words, printable ASCII (a model
// with a line break or bytes beyond ASCII cannot forge a second line),
// without Event Viewer's parameter insertions, and bounded.
TEST(EventLogText, IsTheEventsLineSanitisedAndBounded)
{
    DriveEvent e = event("change", "DEGRADING", "FAILING NOW");
    e.reasons = {"failing now: attribute 5 reallocated sectors 1,200", "life used 95%"};
    EXPECT_EQ(platewise::events::event_log_text(e),
              L"ST9100821AS serial 5NJ0R13A (slot 3): DEGRADING -> FAILING NOW: failing now: attribute 5 "
              L"reallocated sectors 1,200; life used 95%");

    e.model = "EVIL\r\n<2>forged \xc3\xa9";
    const std::wstring text = platewise::events::event_log_text(e);
    EXPECT_EQ(text.substr(0, 21), L"EVIL?" L"?<2>forged ?" L"? se");
    for (const wchar_t c : text) {
        EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << static_cast<int>(c);
    }

    // "%%5" would be shown as the system's message 5 ("Access is denied.");
    // a lone "%" stays.
    e.model = "%%5 %%%1";
    e.reasons = {"life used 95%"};
    EXPECT_EQ(platewise::events::event_log_text(e),
              L"%?5 %?%1 serial 5NJ0R13A (slot 3): DEGRADING -> FAILING NOW: life used 95%");

    e.reasons.assign(200, std::string(100, 'r'));
    const std::wstring long_text = platewise::events::event_log_text(e);
    EXPECT_EQ(long_text.size(), platewise::events::kMaxEventText);
    EXPECT_EQ(long_text.substr(long_text.size() - 3), L"...");
}

// The listener's own trouble: its text as given, a path's backslashes
// kept, anything unprintable (a name in another code page, a line break
// that would forge a second line) shown as '?', "%%" broken, bounded.
TEST(EventLogText, AProblemIsPrintableAndBounded)
{
    const struct {
        std::string given;
        std::wstring shown;
    } rows[] = {
        {"history: C:\\ProgramData\\Platewise\\history.db: access denied",
         L"history: C:\\ProgramData\\Platewise\\history.db: access denied"},
        {"page: 127.0.0.1:9946: in use\r\nforged", L"page: 127.0.0.1:9946: in use??forged"},
        {"C:\\Users\\J\xc3\xa9r\xc3\xb4me\\h.db", L"C:\\Users\\J??r??me\\h.db"},
        {"%%1 at 100%", L"%?1 at 100%"},
        {"", L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given);
        EXPECT_EQ(platewise::events::event_log_text(row.given), row.shown);
    }
    const std::wstring long_text = platewise::events::event_log_text(std::string(10000, 'x'));
    EXPECT_EQ(long_text.size(), platewise::events::kMaxEventText);
    EXPECT_EQ(long_text.substr(long_text.size() - 3), L"...");
    const auto entry = platewise::events::listener_problem_entry();
    EXPECT_EQ(entry.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entry.id & 0xffffu, 20u);
    EXPECT_EQ(entry.id >> 30, 3u) << "the id's severity is an error's";
}

// The source is registered once, at the first event, by its name on this
// machine; each event is one ReportEventW with one string and no data; the
// source is let go at the end.
TEST(EventLog, RegistersOnceAndReportsEachEvent)
{
    std::ostringstream log;
    {
        platewise::events::EventLog event_log(log, fake_api());
        EXPECT_EQ(event_log.report({}), 0u);
        EXPECT_EQ(fake.registered, 0) << "nothing registered before an event";
        const std::vector<DriveEvent> first = {event("change", "DEGRADING", "FAILING NOW"),
                                               event("new", "", "OK")};
        EXPECT_EQ(event_log.report(first), 2u);
        EXPECT_EQ(event_log.report({event("missing", "OK", "DRIVE MISSING")}), 1u);
        EXPECT_EQ(fake.registered, 1);
        EXPECT_EQ(fake.source_name, L"Platewise");
        ASSERT_EQ(fake.calls.size(), 3u);
        const DWORD shown[] = {10, 2, 14};
        const std::vector<DriveEvent> all = {first[0], first[1], event("missing", "OK", "DRIVE MISSING")};
        for (std::size_t i = 0; i < fake.calls.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(fake.calls[i].source, kHandle);
            EXPECT_EQ(fake.calls[i].id & 0xffffu, shown[i]);
            EXPECT_EQ(fake.calls[i].type, platewise::events::event_log_entry(all[i]).type);
            EXPECT_EQ(fake.calls[i].category, 0);
            EXPECT_EQ(fake.calls[i].strings, 1);
            EXPECT_EQ(fake.calls[i].text, platewise::events::event_log_text(all[i]));
        }
        // The listener's own trouble goes through the same source: one
        // error entry, event 20, per line.
        EXPECT_EQ(event_log.report_problems({}), 0u);
        EXPECT_EQ(event_log.report_problems({"history: cannot open", "page: port in use"}), 2u);
        EXPECT_EQ(fake.registered, 1);
        ASSERT_EQ(fake.calls.size(), 5u);
        for (std::size_t i = 3; i < 5; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(fake.calls[i].source, kHandle);
            EXPECT_EQ(fake.calls[i].type, EVENTLOG_ERROR_TYPE);
            EXPECT_EQ(fake.calls[i].id & 0xffffu, 20u);
            EXPECT_EQ(fake.calls[i].strings, 1);
        }
        EXPECT_EQ(fake.calls[4].text, L"page: port in use");
        EXPECT_EQ(fake.deregistered, 0);
        EXPECT_EQ(event_log.failures(), 0u);
    }
    EXPECT_EQ(fake.deregistered, 1);
    EXPECT_EQ(log.str(), "") << "nothing to say when all is written";
}

// A source that cannot be registered is said once in the listener's log;
// the events are counted as failed, nothing else is tried for them, and a
// later event tries again.
TEST(EventLog, ARegistrationThatFailsIsSaidOnceAndTriedAgain)
{
    std::ostringstream log;
    platewise::events::EventLog event_log(log, fake_api());
    fake.register_fails = true;
    EXPECT_EQ(event_log.report({event("change", "OK", "DEGRADING"), event("new", "", "OK")}), 0u);
    EXPECT_EQ(event_log.report({event("change", "DEGRADING", "FAILING NOW")}), 0u);
    EXPECT_EQ(fake.registered, 2);
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(event_log.failures(), 3u);
    const std::string said = log.str();
    EXPECT_NE(said.find("RegisterEventSourceW: error 5"), std::string::npos) << said;
    EXPECT_EQ(said.find("platewise listen:"), said.rfind("platewise listen:")) << "said once: " << said;

    EXPECT_EQ(event_log.report_problems({"page: port in use"}), 0u);
    EXPECT_EQ(event_log.failures(), 4u);
    EXPECT_EQ(log.str(), said) << "still said once";

    fake.register_fails = false;
    EXPECT_EQ(event_log.report({event("change", "FAILING NOW", "OK")}), 1u);
    EXPECT_EQ(fake.registered, 4);
    EXPECT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(log.str(), said);
}

// Entries that fail are counted, the first said once; every event is
// still tried, and the ones after a failure are written when they can be.
TEST(EventLog, AReportThatFailsIsSaidOnceAndNothingWaits)
{
    std::ostringstream log;
    platewise::events::EventLog event_log(log, fake_api());
    fake.report_fails = true;
    const std::vector<DriveEvent> batch = {event("change", "OK", "DEGRADING"),
                                           event("change", "DEGRADING", "FAILING NOW")};
    EXPECT_EQ(event_log.report(batch), 0u);
    EXPECT_EQ(event_log.report(batch), 0u);
    EXPECT_EQ(fake.calls.size(), 4u) << "each event tried once, none retried in a loop";
    EXPECT_EQ(event_log.failures(), 4u);
    const std::string said = log.str();
    EXPECT_NE(said.find("ReportEventW: error 1502"), std::string::npos) << said;
    EXPECT_EQ(said.find("platewise listen:"), said.rfind("platewise listen:")) << "said once: " << said;
    fake.report_fails = false;
    EXPECT_EQ(event_log.report(batch), 2u);
    EXPECT_EQ(fake.registered, 1) << "the source stays registered";
    EXPECT_EQ(log.str(), said);
}

// Attached to the listener's options after another handler: both see each
// pass's events, the earlier one first; a steady pass writes nothing.
TEST(EventLog, AttachedAfterTheHandlersBefore)
{
    std::ostringstream log;
    platewise::events::EventLog event_log(log, fake_api());
    platewise::ListenOptions options;
    std::vector<std::size_t> before_saw;
    options.on_events = [&before_saw](const std::vector<DriveEvent>& events, std::int64_t) {
        before_saw.push_back(events.size());
        EXPECT_TRUE(fake.calls.empty() || events.empty()) << "the earlier handler runs first";
    };
    platewise::events::attach_event_log(event_log, options);
    options.on_events({}, 1000);
    options.on_events({event("change", "OK", "DEGRADING")}, 6000);
    EXPECT_EQ(before_saw, (std::vector<std::size_t>{0, 1}));
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].id & 0xffffu, 11u);
}

// Event Viewer finds an entry's text with FormatMessageW in the source's
// EventMessageFile, platewise.exe, by the whole id ReportEventW was given:
// every id the listener uses has a message in the table, English (US),
// which is the event's line and nothing else.
TEST(EventLogWine, PlatewiseExeHoldsTheMessageOfEveryId)
{
    const std::wstring tool = wintest::beside_program(wintest::widen(PLATEWISE_TOOL_RELATIVE));
    const HMODULE module =
        LoadLibraryExW(tool.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << wintest::narrow(tool) << ": error " << GetLastError();
    const char* const verdicts[] = {"OK", "FAILING NOW", "DEGRADING", "WARNING", "FAILED IN THE PAST",
                                    "DRIVE MISSING", "NO SMART DATA", "ANY OTHER"};
    std::vector<DriveEvent> events;
    for (const char* v : verdicts) {
        events.push_back(event("change", "", v));
    }
    events.push_back(event("new", "", "OK"));
    events.push_back(event("test", "", "FAILING NOW"));
    events.push_back(event("problem", "", ""));  // the listener's own trouble
    for (const DriveEvent& e : events) {
        const bool problem = e.kind == "problem";
        const DWORD id = problem ? platewise::events::listener_problem_entry().id
                                 : platewise::events::event_log_entry(e).id;
        SCOPED_TRACE(e.kind + " " + e.verdict_after + ": id " + std::to_string(id));
        const std::wstring text = problem ? platewise::events::event_log_text(std::string("page: in use"))
                                          : platewise::events::event_log_text(e);
        const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
        wchar_t* message = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module,
            id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&message), 0,
            reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
        ASSERT_NE(length, 0u) << "no message: error " << GetLastError();
        std::wstring shown(message, length);
        LocalFree(message);
        while (!shown.empty() && (shown.back() == L'\r' || shown.back() == L'\n')) {
            shown.pop_back();
        }
        EXPECT_EQ(shown, text);
    }
    FreeLibrary(module);
}

// platewise.exe listen sent an NVMe drive: the new drive is one journal
// line on its standard error and one entry through the real ReportEventW,
// the source registered (no complaint in its log). Under Wine the child
// runs with WINEDEBUG=+eventlog: Wine writes each ReportEventW string to
// its own log, where event_log_wine_test.sh looks for it.
TEST(EventLogWine, TheListenerReportsADriveItIsSent)
{
    namespace fs = std::filesystem;
    const std::wstring tool = wintest::beside_program(wintest::widen(PLATEWISE_TOOL_RELATIVE));
    const std::string endpoint = wintest::unique_pipe_name("eventlog") + "-Pipe";
    const std::string nvme_endpoint = platewise::nvme_endpoint_beside(endpoint);
    wchar_t temp[MAX_PATH];
    const DWORD temp_length = GetTempPathW(MAX_PATH, temp);
    const fs::path folder = fs::path(std::wstring(temp, temp_length)) /
                            ("platewise-eventlog-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(folder);
    ASSERT_TRUE(fs::create_directories(folder));
    const fs::path err_path = folder / "stderr.txt";

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE err_file = CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                        0, nullptr);
    ASSERT_NE(err_file, INVALID_HANDLE_VALUE);
    const HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = err_file;
    std::wstring command = L"\"" + tool + L"\" listen --once --read-timeout 5 --endpoint " +
                           wintest::widen(endpoint);
    // The child's Wine takes its debug channels from its environment.
    wchar_t saved[256] = L"";
    const DWORD saved_length = GetEnvironmentVariableW(L"WINEDEBUG", saved, 256);
    SetEnvironmentVariableW(L"WINEDEBUG", L"+eventlog");
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableW(L"WINEDEBUG", saved_length > 0 && saved_length < 256 ? saved : nullptr);
    CloseHandle(err_file);
    CloseHandle(nul);
    ASSERT_TRUE(started) << "error " << GetLastError();
    CloseHandle(process.hThread);

    const auto send = [](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        ASSERT_TRUE(wintest::wait_for_pipe(name, 20000)) << name;
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (int i = 0; i < 100 && pipe == INVALID_HANDLE_VALUE; ++i) {
            pipe = CreateFileW(wintest::widen(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe == INVALID_HANDLE_VALUE) {
                WaitNamedPipeW(wintest::widen(name).c_str(), 200);
            }
        }
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << name << ": error " << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        EXPECT_EQ(written, bytes.size());
        CloseHandle(pipe);
    };
    send(nvme_endpoint, nvmetest::one_drive_snapshot(0, 1));
    // Then a drive snapshot without drives, which ends listen --once: the
    // NVMe snapshot is taken first (the listener reads in order of arrival),
    // so give it a moment to be read.
    Sleep(1000);
    std::vector<std::uint8_t> ata(49185, 0);
    ata[0] = 1;
    send(endpoint, ata);

    const bool finished = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    if (!finished) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    std::ifstream in(err_path, std::ios::binary);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    fs::remove_all(folder);
    ASSERT_TRUE(finished) << said;
    EXPECT_EQ(code, 0u) << said;
    EXPECT_NE(said.find("platewise listen: Platewise Test NVMe serial PWN0001"), std::string::npos) << said;
    EXPECT_EQ(said.find("Windows Event Log"), std::string::npos) << said;
}

}  // namespace
