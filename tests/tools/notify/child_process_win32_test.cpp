// Programs run for notifications on Windows (under Wine in the mingw
// preset): the command line each argument vector becomes, and what running
// one comes to: input, output, environment, exit statuses, a program that
// hangs (ended with what it started) and one that cannot be run.
#include <gtest/gtest.h>

#include <windows.h>
// after windows.h
#include <shellapi.h>
#include <tlhelp32.h>

#include <chrono>
#include <string>
#include <vector>

#include "../../windows/windows_test_support.h"
#include "notify/child_process.h"

namespace {

using platewise::notify::ChildRequest;
using platewise::notify::ChildResult;
using platewise::notify::run_child;

std::string system_program(const char* name)
{
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return wintest::narrow(std::wstring(folder, length)) + "\\" + name;
}

// `path` without spaces, for cmd.exe, which reads quotes its own way.
std::string short_name(const std::wstring& path)
{
    wchar_t shorter[MAX_PATH];
    const DWORD length = GetShortPathNameW(path.c_str(), shorter, MAX_PATH);
    return wintest::narrow(length > 0 && length < MAX_PATH ? std::wstring(shorter, length) : path);
}

// Processes running `name` (a file name such as ping.exe).
int processes_named(const std::wstring& name)
{
    const HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (all == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(all, &entry); more; more = Process32NextW(all, &entry)) {
        count += _wcsicmp(entry.szExeFile, name.c_str()) == 0 ? 1 : 0;
    }
    CloseHandle(all);
    return count;
}

// Whatever an argument holds, the program gets it back as it was: no
// quote or space splits it, no backslash is lost or gained.
TEST(WindowsCommandLine, EachArgumentComesBackWhole)
{
    const std::vector<std::vector<std::string>> rows = {
        {"C:\\Program Files\\hook.exe"},
        {"C:\\hook.exe", "plain", "two words", ""},
        {"C:\\hook.exe", "say \"hi\"", "\"", "\"\""},
        {"C:\\hook.exe", "C:\\folder\\", "C:\\folder with space\\", "\\\\server\\share"},
        {"C:\\hook.exe", "a\\\"b", "a\\\\\"b", "\\", "\\\\"},
        {"C:\\hook.exe", "tab\there", "new\nline", "%PATH%", "a&b|c>d^e"},
        {"C:\\hook.exe", "\" & calc.exe & \""},
    };
    for (const auto& argv : rows) {
        std::string line;
        ASSERT_TRUE(platewise::notify::windows_command_line(argv, line)) << argv[0];
        SCOPED_TRACE(line);
        int count = 0;
        wchar_t** parsed = CommandLineToArgvW(wintest::widen(line).c_str(), &count);
        ASSERT_NE(parsed, nullptr);
        std::vector<std::string> back;
        for (int i = 0; i < count; ++i) {
            back.push_back(wintest::narrow(parsed[i]));
        }
        LocalFree(parsed);
        EXPECT_EQ(back, argv);
    }
    std::string line = "left over";
    EXPECT_FALSE(platewise::notify::windows_command_line({}, line));
    EXPECT_FALSE(platewise::notify::windows_command_line({""}, line));
    EXPECT_FALSE(platewise::notify::windows_command_line({"C:\\a\"b.exe"}, line));
    EXPECT_EQ(line, "");
}

TEST(ChildProcessWin32, OutcomesOfPrograms)
{
    const std::string cmd = system_program("cmd.exe");
    // The grandchild that hangs runs under a name of this test's own, so
    // that what is left of it can be counted (beside another copy of the
    // suite too).
    wchar_t temp[MAX_PATH];
    const DWORD temp_length = GetTempPathW(MAX_PATH, temp);
    const std::wstring sleeper_name = L"platewise-sleeper-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring sleeper = std::wstring(temp, temp_length) + sleeper_name;
    ASSERT_TRUE(CopyFileW(wintest::widen(system_program("ping.exe")).c_str(), sleeper.c_str(), FALSE));
    struct Row {
        const char* name;
        std::vector<std::string> argv;
        std::string input;
        bool succeeded;
        int exit_code;
        bool timed_out;
        std::string output;
    };
    const std::vector<Row> rows = {
        {"echoes its input", {cmd, "/c", "more"}, "hello\r\nworld\r\n", true, 0, false, "hello\r\nworld\r\n"},
        {"sees its environment", {cmd, "/c", "echo %PLATEWISE_X%"}, "", true, 0, false, "value\r\n"},
        {"exits non-zero", {cmd, "/c", "echo refused 1>&2& exit 75"}, "", false, 75, false, "refused \r\n"},
        {"leaves its input unread", {cmd, "/c", "echo done"}, std::string(1 << 20, 'x'), true, 0, false,
         "done\r\n"},
        {"hangs", {cmd, "/c", "for /l %i in (1,0,2) do @rem"}, "", false, -1, true, ""},
        {"hangs in a child of its own", {cmd, "/c", short_name(sleeper) + " -n 30 127.0.0.1 >nul"}, "",
         false, -1, true, ""},
    };
    for (const Row& row : rows) {
        ChildRequest request;
        request.argv = row.argv;
        request.environment = {"PLATEWISE_X=value", "SystemRoot=C:\\windows", "PATH=C:\\windows\\system32"};
        request.input = row.input;
        request.time_limit_ms = 1500;
        const auto start = std::chrono::steady_clock::now();
        const ChildResult r = run_child(request);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        EXPECT_TRUE(r.started) << row.name << ": " << r.error;
        EXPECT_EQ(r.succeeded(), row.succeeded) << row.name;
        EXPECT_EQ(r.exit_code, row.exit_code) << row.name;
        EXPECT_EQ(r.timed_out, row.timed_out) << row.name;
        EXPECT_EQ(r.signal, 0) << row.name;
        EXPECT_EQ(r.output, row.output) << row.name;
        // A hanging program takes its limit and a moment, not 30 s.
        EXPECT_LT(took, 10000) << row.name;
        if (row.timed_out) {
            EXPECT_EQ(r.describe(), "killed after its time limit") << row.name;
        }
    }
    // What the program started went with it.
    int left = -1;
    for (int i = 0; i < 20 && left != 0; ++i) {
        left = processes_named(sleeper_name);
        Sleep(left == 0 ? 0 : 100);
    }
    EXPECT_EQ(left, 0) << "the hanging program's child is still running";
    DeleteFileW(sleeper.c_str());
}

TEST(ChildProcessWin32, ProgramsThatCannotRun)
{
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    const std::string folder = wintest::narrow(std::wstring(temp, length));
    for (const std::string& program :
         {folder + "platewise-no-such-hook.exe", folder, std::string(), std::string("C:\\a\"b.exe")}) {
        ChildRequest request;
        request.argv = {program};
        request.input = "{}";
        const ChildResult r = run_child(request);
        EXPECT_FALSE(r.started) << program;
        EXPECT_FALSE(r.succeeded()) << program;
        EXPECT_FALSE(r.error.empty()) << program;
        EXPECT_NE(r.describe().find("could not be run"), std::string::npos) << program;
    }
}

// The listener's environment, as a program is given it, without the
// variables a stale caller could have set for it.
TEST(ChildProcessWin32, InheritedEnvironmentDropsThePrefix)
{
    SetEnvironmentVariableW(L"PLATEWISE_STALE", L"1");
    SetEnvironmentVariableW(L"PLATEWISETEST_KEPT", L"caf\u00e9");
    const std::vector<std::string> all = platewise::notify::inherited_environment("PLATEWISE_");
    SetEnvironmentVariableW(L"PLATEWISE_STALE", nullptr);
    SetEnvironmentVariableW(L"PLATEWISETEST_KEPT", nullptr);
    bool kept = false;
    for (const std::string& e : all) {
        EXPECT_NE(e.rfind("PLATEWISE_", 0), 0u) << e;
        kept = kept || e == "PLATEWISETEST_KEPT=caf\xc3\xa9";
    }
    EXPECT_TRUE(kept) << "a variable outside the prefix, in UTF-8";
}

}  // namespace
