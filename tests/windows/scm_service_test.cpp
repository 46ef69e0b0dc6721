// testservice.exe as a real service in the Service Control Manager (Wine's
// in CI), with platewise.exe listening on \\.\pipe\PlatewisePipe, and as
// packaging/windows/install.cmd registers it; and platewise.exe itself as
// the service PlatewiseListen (listen --service). This
// program is the SCM client: OpenSCManagerW, CreateServiceW, StartServiceW,
// QueryServiceStatusEx, ControlService (interrogate and stop; Wine's sc has
// no interrogate), DeleteService.
//
// The service's log is %APPDATA%\platewise_s.log of the account it runs
// under; under Wine services run as the same user as this program, so that
// is this program's %APPDATA% too.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../smart/nvme_test_pages.h"
#include "windows_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t* const kService = L"Platewise";
const wchar_t* const kPipe = L"\\\\.\\pipe\\PlatewisePipe";

fs::path app_data()
{
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", value, MAX_PATH);
    return fs::path(std::wstring(value, length));
}

fs::path log_path()
{
    return app_data() / "platewise_s.log";
}

std::string read_all(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::wstring testservice_path()
{
    return wintest::beside_program(wintest::widen(PLATEWISE_TESTSERVICE_RELATIVE));
}

// ------------------------------------------------------------ the manager

struct Handle {
    SC_HANDLE value = nullptr;
    Handle() = default;
    explicit Handle(SC_HANDLE h) : value(h) {}
    ~Handle()
    {
        if (value != nullptr) {
            CloseServiceHandle(value);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    explicit operator bool() const { return value != nullptr; }
};

SERVICE_STATUS_PROCESS query(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
    return status;
}

// Polls until the service reports `state`; the last status seen.
SERVICE_STATUS_PROCESS wait_for_state(SC_HANDLE service, DWORD state, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    SERVICE_STATUS_PROCESS status = query(service);
    while (status.dwCurrentState != state && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        status = query(service);
    }
    return status;
}

// Stops and deletes the service if it exists, and waits until it is gone.
void remove_service(SC_HANDLE manager, const wchar_t* name = kService)
{
    {
        Handle service(OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
        if (!service) {
            return;
        }
        if (query(service.value).dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS ignored{};
            ControlService(service.value, SERVICE_CONTROL_STOP, &ignored);
            wait_for_state(service.value, SERVICE_STOPPED, 15s);
        }
        DeleteService(service.value);
    }
    for (int i = 0; i < 100; ++i) {
        Handle again(OpenServiceW(manager, name, SERVICE_QUERY_STATUS));
        if (!again) {
            return;
        }
        std::this_thread::sleep_for(100ms);
    }
}

// ------------------------------------------------------------ the listener

// platewise.exe listen --save DIR, in the background.
class Listener {
public:
    explicit Listener(const fs::path& folder) : folder_(folder)
    {
        fs::create_directories(folder_);
        const std::wstring command = L"\"" + wintest::beside_program(wintest::widen(PLATEWISE_TOOL_RELATIVE)) +
                                     L"\" listen --save \"" + folder_.wstring() + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        nul_ = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul_;
        startup.hStdOutput = nul_;
        startup.hStdError = nul_;
        std::wstring writable = command;
        started_ = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process_) != FALSE;
        // Ready when the pipe exists.
        for (int i = 0; started_ && i < 200 && !WaitNamedPipeW(kPipe, 50); ++i) {
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Listener()
    {
        if (started_) {
            TerminateProcess(process_.hProcess, 0);
            WaitForSingleObject(process_.hProcess, 5000);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        CloseHandle(nul_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool started() const { return started_; }

    std::vector<std::vector<std::uint8_t>> snapshots() const
    {
        std::vector<std::vector<std::uint8_t>> found;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder_, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("snapshot-", 0) == 0 && entry.path().extension() == ".bin") {
                const std::string bytes = read_all(entry.path());
                found.emplace_back(bytes.begin(), bytes.end());
            }
        }
        return found;
    }

    std::size_t wait_for_snapshots(std::size_t count, std::chrono::milliseconds limit) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t seen = snapshots().size();
        while (seen < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(200ms);
            seen = snapshots().size();
        }
        return seen;
    }

private:
    fs::path folder_;
    HANDLE nul_ = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

// ---------------------------------------------------------------- fixture

class ScmService : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager.value = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_TRUE(manager) << GetLastError();
        remove_service(manager.value);
        std::error_code ignored;
        fs::remove_all(log_path(), ignored);  // a file, or the directory of the unwritable-log test
        const std::wstring binary = L"\"" + testservice_path() + L"\"";
        service.value = CreateServiceW(manager.value, kService, kService, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
        ASSERT_TRUE(service) << "CreateServiceW: " << GetLastError();
    }
    void TearDown() override
    {
        CloseServiceHandle(service.value);
        service.value = nullptr;
        if (manager) {
            remove_service(manager.value);
        }
        std::error_code ignored;
        fs::remove_all(log_path(), ignored);
    }

    fs::path snapshot_folder() const
    {
        return fs::temp_directory_path() / ("platewise-scm-" + std::to_string(GetCurrentProcessId()));
    }

    Handle manager;
    Handle service;
};

bool only_crlf_lines(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            return false;
        }
    }
    return !text.empty() && text.back() == '\n';
}

TEST_F(ScmService, RunsSendsSnapshotsAnswersInterrogationAndStops)
{
    Listener listener(snapshot_folder());
    ASSERT_TRUE(listener.started());

    ASSERT_TRUE(StartServiceW(service.value, 0, nullptr))
        << GetLastError() << "; state " << query(service.value).dwCurrentState << ", exit code "
        << query(service.value).dwWin32ExitCode << ", log: " << read_all(log_path());
    const SERVICE_STATUS_PROCESS running = wait_for_state(service.value, SERVICE_RUNNING, 20s);
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(running.dwControlsAccepted, 5u);
    EXPECT_EQ(running.dwWin32ExitCode, 0u);

    // Interrogation: the record comes back as it stands.
    SERVICE_STATUS answered{};
    ASSERT_TRUE(ControlService(service.value, SERVICE_CONTROL_INTERROGATE, &answered)) << GetLastError();
    EXPECT_EQ(answered.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(answered.dwControlsAccepted, 5u);
    EXPECT_EQ(answered.dwWin32ExitCode, 0u);
    EXPECT_EQ(answered.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(answered.dwCheckPoint, 0u);
    EXPECT_EQ(answered.dwWaitHint, 0u);
    const SERVICE_STATUS_PROCESS after = query(service.value);
    EXPECT_EQ(after.dwCurrentState, running.dwCurrentState);
    EXPECT_EQ(after.dwControlsAccepted, running.dwControlsAccepted);
    EXPECT_EQ(after.dwServiceType, running.dwServiceType);

    // Two passes, 5000 ms apart. Under Wine drive 0 opens and every command
    // fails with 50, drive 1 is absent: count 2, every section zero.
    EXPECT_GE(listener.wait_for_snapshots(2, 15s), 2u);
    for (const std::vector<std::uint8_t>& snapshot : listener.snapshots()) {
        ASSERT_EQ(snapshot.size(), 49185u);
        EXPECT_EQ(snapshot[0], 2u);
        std::size_t nonzero = 0;
        for (std::size_t i = 1; i < snapshot.size(); ++i) {
            nonzero += snapshot[i] != 0 ? 1 : 0;
        }
        EXPECT_EQ(nonzero, 0u);
    }
    const std::string started = read_all(log_path());
    EXPECT_NE(started.find("> Monitoring started.\r\n"), std::string::npos) << started;
    EXPECT_EQ(started.find("Path ["), std::string::npos) << "drive 0 opened: " << started;

    SERVICE_STATUS stopping{};
    ASSERT_TRUE(ControlService(service.value, SERVICE_CONTROL_STOP, &stopping)) << GetLastError();
    const SERVICE_STATUS_PROCESS stopped = wait_for_state(service.value, SERVICE_STOPPED, 15s);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);

    const std::string log = read_all(log_path());
    EXPECT_NE(log.find("> Monitoring started.\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("> Monitoring stopped.\r\n"), std::string::npos) << log;
    EXPECT_LT(log.find("Monitoring started."), log.find("Monitoring stopped."));
    EXPECT_TRUE(only_crlf_lines(log)) << log;
}

TEST_F(ScmService, UnwritableLogStopsItWithExitCodeMinusOne)
{
    // A folder where the log file should be: fopen_s cannot open it.
    ASSERT_TRUE(fs::create_directory(log_path()));
    Listener listener(snapshot_folder());
    ASSERT_TRUE(listener.started());

    // The service reports STOPPED from START_PENDING and its process ends
    // at once. Windows answers the start with success; Wine's manager, whose
    // start message then finds the process gone, may answer 1053.
    if (!StartServiceW(service.value, 0, nullptr)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    }
    const SERVICE_STATUS_PROCESS stopped = wait_for_state(service.value, SERVICE_STOPPED, 20s);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 4294967295u);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(listener.snapshots().size(), 0u) << "no pass, no snapshot";
    EXPECT_TRUE(fs::is_directory(log_path()));
}

TEST_F(ScmService, StartedByHandExitsZeroWithoutLogging)
{
    const wintest::ProcessResult run = wintest::run_process(L"\"" + testservice_path() + L"\"", 30000);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_FALSE(fs::exists(log_path()));
}

// platewise.exe listen --service as the service PlatewiseListen, with the
// service sending to it: START_PENDING, then RUNNING with stop and shutdown
// accepted once the pipe takes connections; the service's snapshots saved
// in %ProgramData%\Platewise\snapshots (this build's own Wine prefix); a
// stop ends it with STOPPED and exit code 0, its log saying so; the events'
// journal lines are in that log too. Started by hand it says it needs the
// manager and exits 1.
TEST_F(ScmService, ListenerRunsAsAServiceAndStopsCleanly)
{
    const wchar_t* const kListen = L"PlatewiseListen";
    wchar_t program_data[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", program_data, MAX_PATH);
    const fs::path data = fs::path(std::wstring(program_data, length)) / "Platewise";
    remove_service(manager.value, kListen);
    std::error_code ignored;
    fs::remove_all(data, ignored);
    struct Cleanup {
        SC_HANDLE manager;
        const wchar_t* name;
        fs::path data;
        ~Cleanup()
        {
            remove_service(manager, name);
            std::error_code ignored;
            fs::remove_all(data, ignored);
        }
    } cleanup{manager.value, kListen, data};

    const std::wstring tool = wintest::beside_program(wintest::widen(PLATEWISE_TOOL_RELATIVE));
    const std::wstring binary = L"\"" + tool + L"\" listen --service --save-max-bytes 64M";
    Handle listen(CreateServiceW(manager.value, kListen, kListen, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
    ASSERT_TRUE(listen) << "CreateServiceW: " << GetLastError();
    ASSERT_TRUE(StartServiceW(listen.value, 0, nullptr)) << GetLastError();
    const SERVICE_STATUS_PROCESS running = wait_for_state(listen.value, SERVICE_RUNNING, 20s);
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING))
        << "exit code " << running.dwWin32ExitCode << "/" << running.dwServiceSpecificExitCode;
    EXPECT_EQ(running.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    SERVICE_STATUS answered{};
    ASSERT_TRUE(ControlService(listen.value, SERVICE_CONTROL_INTERROGATE, &answered)) << GetLastError();
    EXPECT_EQ(answered.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(fs::is_directory(data / "snapshots"));

    ASSERT_TRUE(StartServiceW(service.value, 0, nullptr)) << GetLastError();
    std::size_t saved = 0;
    for (int i = 0; i < 75 && saved < 2; ++i) {
        std::this_thread::sleep_for(200ms);
        saved = 0;
        for (const auto& entry : fs::directory_iterator(data / "snapshots", ignored)) {
            saved += entry.path().extension() == ".bin" && fs::file_size(entry.path()) == 49185u;
        }
    }
    EXPECT_GE(saved, 2u) << "the service's snapshots did not reach the listener service";
    // An NVMe drive it has not seen: its event's journal line goes to the
    // service's log, which is the only output a service has.
    {
        const std::vector<std::uint8_t> nvme = nvmetest::one_drive_snapshot(0, 1);
        const wchar_t* const kNvmePipe = L"\\\\.\\pipe\\PlatewiseNvmePipe";
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (int i = 0; i < 100 && pipe == INVALID_HANDLE_VALUE; ++i) {
            pipe = CreateFileW(kNvmePipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe == INVALID_HANDLE_VALUE) {
                WaitNamedPipeW(kNvmePipe, 200);
            }
        }
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(pipe, nvme.data(), static_cast<DWORD>(nvme.size()), &written, nullptr));
        CloseHandle(pipe);
        const std::string journal =
            "> <5>platewise listen: Platewise Test NVMe serial PWN0001 (slot 0): new drive, OK\r\n";
        for (int i = 0; i < 50 && read_all(data / "listen.log").find(journal) == std::string::npos; ++i) {
            std::this_thread::sleep_for(200ms);
        }
        const std::string log = read_all(data / "listen.log");
        EXPECT_NE(log.find(journal), std::string::npos) << log;
        EXPECT_EQ(log.find("Windows Event Log"), std::string::npos) << "the event source: " << log;
    }

    SERVICE_STATUS stopping{};
    ASSERT_TRUE(ControlService(listen.value, SERVICE_CONTROL_STOP, &stopping)) << GetLastError();
    const SERVICE_STATUS_PROCESS stopped = wait_for_state(listen.value, SERVICE_STOPPED, 15s);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    const std::string log = read_all(data / "listen.log");
    EXPECT_NE(log.find("> platewise listen: started as the service PlatewiseListen\r\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("> platewise listen: the service PlatewiseListen stopped\r\n"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("saved"), std::string::npos) << "a line per snapshot: " << log;
    EXPECT_TRUE(only_crlf_lines(log)) << log;

    const wintest::ProcessResult by_hand =
        wintest::run_process(L"\"" + tool + L"\" listen --service", 60000);
    ASSERT_TRUE(by_hand.finished);
    EXPECT_EQ(by_hand.exit_code, 1u);
}

// install.cmd from a folder holding both programs, as an administrator
// would run it: the image paths are registered quoted (they lie under
// "Program Files", and unquoted, C:\Program.exe would be tried first), the
// service restarts after a crash, and it and the listener service run from
// there. uninstall.cmd then removes both.
TEST(InstallScript, RegistersAQuotedPathAndRecoveryActions)
{
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager) << GetLastError();
    remove_service(manager.value);

    const fs::path packaging = wintest::beside_program(wintest::widen(PLATEWISE_PACKAGING_RELATIVE));
    const fs::path stage =
        fs::temp_directory_path() / ("platewise-install-" + std::to_string(GetCurrentProcessId()));
    wchar_t program_files[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", program_files, MAX_PATH);
    const std::wstring target = std::wstring(program_files, length) + L"\\Platewise";
    ASSERT_NE(target.find(L' '), std::wstring::npos) << "the test needs a path with a space";
    // Whatever fails below, the services and the files go.
    struct Cleanup {
        SC_HANDLE manager;
        fs::path stage;
        fs::path target;
        ~Cleanup()
        {
            remove_service(manager);
            remove_service(manager, L"PlatewiseListen");
            wchar_t program_data[MAX_PATH];
            const DWORD length = GetEnvironmentVariableW(L"ProgramData", program_data, MAX_PATH);
            std::error_code gone;
            fs::remove_all(fs::path(std::wstring(program_data, length)) / "Platewise", gone);
            std::error_code ignored;
            fs::remove_all(stage, ignored);
            fs::remove_all(target, ignored);
            fs::remove_all(log_path(), ignored);
        }
    } cleanup{manager.value, stage, target};
    fs::create_directories(stage);
    const auto overwrite = fs::copy_options::overwrite_existing;
    fs::copy_file(testservice_path(), stage / "testservice.exe", overwrite);
    fs::copy_file(wintest::beside_program(wintest::widen(PLATEWISE_TOOL_RELATIVE)),
                  stage / "platewise.exe", overwrite);
    fs::copy_file(packaging / "install.cmd", stage / "install.cmd", overwrite);
    fs::copy_file(packaging / "uninstall.cmd", stage / "uninstall.cmd", overwrite);

    const wintest::ProcessResult installed =
        wintest::run_process(L"cmd.exe /c \"" + (stage / "install.cmd").wstring() + L"\"", 60000);
    ASSERT_TRUE(installed.finished);
    EXPECT_EQ(installed.exit_code, 0u);

    {
        Handle service(OpenServiceW(manager.value, kService, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service) << GetLastError();

        std::vector<BYTE> config(8192);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(service.value,
                                        reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                        static_cast<DWORD>(config.size()), &needed))
            << GetLastError();
        const auto* settings = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
        EXPECT_EQ(std::wstring(settings->lpBinaryPathName), L"\"" + target + L"\\testservice.exe\"");
        EXPECT_EQ(settings->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));

        // Wine's manager keeps no failure actions (level 2 answers 124).
        std::vector<BYTE> failure(8192);
        if (!QueryServiceConfig2W(service.value, SERVICE_CONFIG_FAILURE_ACTIONS, failure.data(),
                                  static_cast<DWORD>(failure.size()), &needed) &&
            GetLastError() == ERROR_INVALID_LEVEL && wintest::under_wine()) {
            std::printf("under Wine: failure actions not kept, not checked\n");
        } else {
            const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data());
            EXPECT_EQ(actions->dwResetPeriod, 86400u);
            ASSERT_EQ(actions->cActions, 3u);
            const SC_ACTION expected[3] = {
                {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_NONE, 0}};
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(actions->lpsaActions[i].Type, expected[i].Type) << i;
                EXPECT_EQ(actions->lpsaActions[i].Delay, expected[i].Delay) << i;
            }
        }

        // Started by the script from its quoted path.
        EXPECT_EQ(wait_for_state(service.value, SERVICE_RUNNING, 20s).dwCurrentState,
                  static_cast<DWORD>(SERVICE_RUNNING));
    }
    {
        // The listener, registered and started first.
        Handle listen(OpenServiceW(manager.value, L"PlatewiseListen", SERVICE_ALL_ACCESS));
        ASSERT_TRUE(listen) << GetLastError();
        std::vector<BYTE> config(8192);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(listen.value,
                                        reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                        static_cast<DWORD>(config.size()), &needed))
            << GetLastError();
        const auto* settings = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
        EXPECT_EQ(std::wstring(settings->lpBinaryPathName),
                  L"\"" + target + L"\\platewise.exe\" listen --service --save-max-bytes 2G");
        EXPECT_EQ(settings->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(wait_for_state(listen.value, SERVICE_RUNNING, 20s).dwCurrentState,
                  static_cast<DWORD>(SERVICE_RUNNING));
    }

    const wintest::ProcessResult uninstalled =
        wintest::run_process(L"cmd.exe /c \"" + (stage / "uninstall.cmd").wstring() + L"\"", 60000);
    EXPECT_TRUE(uninstalled.finished);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        Handle again(OpenServiceW(manager.value, kService, SERVICE_QUERY_STATUS));
        gone = !again;
        if (!gone) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(gone) << "uninstall.cmd left the service";
    gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        Handle again(OpenServiceW(manager.value, L"PlatewiseListen", SERVICE_QUERY_STATUS));
        gone = !again;
        if (!gone) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(gone) << "uninstall.cmd left the listener";
}

}  // namespace
