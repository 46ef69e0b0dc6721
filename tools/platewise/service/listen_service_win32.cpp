// platewise listen --service: the listener under the Service Control Manager.
#include <windows.h>
// after windows.h, which they need
#include <knownfolders.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <streambuf>
#include <string>

#include "endpoint/listen_endpoint.h"
#include "files/private_directory.h"
#include "service/listen_service.h"

namespace platewise {

namespace {

constexpr long kLogRotateBytes = 1024 * 1024;

// Decoded passes, which a service has nobody to show to.
class DiscardBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char_type*, std::streamsize count) override { return count; }
};

// The listener's messages, one line each, after the local time, appended
// to the service's log (text mode: lines end in CR LF).
class LogBuffer : public std::streambuf {
public:
    explicit LogBuffer(std::FILE* file) : file_(file) {}

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        if (at_line_start_) {
            const std::time_t now = std::time(nullptr);
            std::tm parts{};
            char stamp[32] = "";
            if (localtime_s(&parts, &now) == 0) {
                std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S> ", &parts);
            }
            std::fputs(stamp, file_);
            at_line_start_ = false;
        }
        std::fputc(c, file_);
        if (c == '\n') {
            at_line_start_ = true;
        }
        return c;
    }
    int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

private:
    std::FILE* file_;
    bool at_line_start_ = true;
};

// Everything the manager's threads and the service's share.
struct ServiceState {
    std::mutex lock;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    ListenOptions options;
    ListenServiceSetup setup;
    // run_listen_service's `err`: what the handlers attached to the
    // options write to (the events' lines), sent to the log while it runs.
    std::ostream* err = nullptr;
    std::atomic<int> exit_code{0};  // set on the service's thread, read after the dispatcher returns
};

ServiceState& state()
{
    static ServiceState shared;
    return shared;
}

// Reports `current` (with its exit code) to the manager. A stop already
// under way is never reported as running again.
void report(DWORD current, DWORD exit_code = NO_ERROR, DWORD specific = 0)
{
    ServiceState& s = state();
    const std::lock_guard<std::mutex> hold(s.lock);
    if (current == SERVICE_RUNNING && s.status.dwCurrentState != SERVICE_START_PENDING) {
        return;
    }
    s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.status.dwCurrentState = current;
    s.status.dwControlsAccepted =
        current == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.status.dwWin32ExitCode = exit_code;
    s.status.dwServiceSpecificExitCode = specific;
    const bool pending = current == SERVICE_START_PENDING || current == SERVICE_STOP_PENDING;
    s.status.dwCheckPoint = pending ? s.status.dwCheckPoint + 1 : 0;
    s.status.dwWaitHint = pending ? 10000 : 0;
    SetServiceStatus(s.handle, &s.status);
}

DWORD WINAPI control_handler(DWORD control, DWORD /*type*/, void* /*data*/, void* /*context*/)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING);
        endpoint::request_stop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: {
        ServiceState& s = state();
        const std::lock_guard<std::mutex> hold(s.lock);
        SetServiceStatus(s.handle, &s.status);
        return NO_ERROR;
    }
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Opens the log in `folder` for appending; a log past kLogRotateBytes is
// first moved aside, replacing the older one.
std::FILE* open_log(const std::string& folder)
{
    const std::string path = folder + "\\listen.log";
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info) &&
        (info.nFileSizeHigh != 0 || info.nFileSizeLow > static_cast<DWORD>(kLogRotateBytes))) {
        MoveFileExA(path.c_str(), (path + ".old").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    std::FILE* file = nullptr;
    if (fopen_s(&file, path.c_str(), "a") != 0) {
        return nullptr;
    }
    return file;
}

void WINAPI service_main(DWORD /*argc*/, LPWSTR* /*argv*/)
{
    ServiceState& s = state();
    s.handle = RegisterServiceCtrlHandlerExW(L"PlatewiseListen", control_handler, nullptr);
    if (s.handle == nullptr) {
        s.exit_code = 1;
        return;
    }
    report(SERVICE_START_PENDING);

    ListenOptions options = s.options;
    std::string error;
    const std::string data = service_data_directory();
    if (data.empty() || !make_private_directory(data, error)) {
        // Nowhere to write the reason to: the exit code tells.
        s.exit_code = 1;
        report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 1);
        return;
    }
    std::FILE* file = open_log(data);
    DiscardBuffer discard;
    std::ostream out(&discard);
    LogBuffer log_buffer(file);
    std::ostream log(file != nullptr ? static_cast<std::streambuf*>(&log_buffer)
                                     : static_cast<std::streambuf*>(&discard));
    log << "platewise listen: started as the service " << kListenServiceName << "\n"
        << s.setup.said_before;
    log.flush();
    std::streambuf* const err_before = s.err != nullptr ? s.err->rdbuf(log.rdbuf()) : nullptr;

    int result = 0;
    if (options.save_directory.empty() && s.setup.save_snapshots) {
        options.save_directory = data + "\\snapshots";
        if (!make_private_directory(options.save_directory, error)) {
            log << "platewise listen: " << error << "\n";
            result = 1;
        }
    }
    if (result == 0) {
        options.handle_signals = false;  // the manager's stop control ends it
        options.report_saves = false;    // one line every 5 s is no news
        options.on_listening = [] { report(SERVICE_RUNNING); };
        result = run_listen(options, out, log);
    }
    if (s.setup.release) {
        report(SERVICE_STOP_PENDING);
        s.setup.release();
    }
    if (s.err != nullptr) {
        s.err->rdbuf(err_before);
    }
    log << "platewise listen: the service " << kListenServiceName << " stopped"
        << (result == 0 ? "" : " after an error") << "\n";
    log.flush();
    if (file != nullptr) {
        std::fclose(file);
    }
    s.exit_code = result;
    if (result == 0) {
        report(SERVICE_STOPPED);
    } else {
        report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(result));
    }
}

}  // namespace

std::string service_data_directory()
{
    wchar_t* folder = nullptr;
    std::string path;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder) == S_OK) {
        const int length = WideCharToMultiByte(CP_ACP, 0, folder, -1, nullptr, 0, nullptr, nullptr);
        if (length > 1) {
            path.resize(static_cast<std::size_t>(length - 1));
            WideCharToMultiByte(CP_ACP, 0, folder, -1, path.data(), length, nullptr, nullptr);
            path += "\\Platewise";
        }
    }
    CoTaskMemFree(folder);
    return path;
}

StartupCapture::StartupCapture(std::ostream& err) : err_(err), before_(err.rdbuf(held_.rdbuf())) {}

StartupCapture::~StartupCapture()
{
    // The service may have lent `err` to its log and given it back: what
    // `err` wrote to before this capture is ours to give back.
    err_.rdbuf(before_);
    const std::string held = held_.str();
    if (!held.empty()) {
        err_ << held;
        err_.flush();
    }
}

int run_listen_service(const ListenOptions& options, const ListenServiceSetup& setup, std::ostream& err)
{
    state().options = options;
    state().setup = setup;
    state().err = &err;
    wchar_t name[] = L"PlatewiseListen";
    const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    // Returns when the service has stopped.
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD code = GetLastError();
        err << "platewise listen --service: "
            << (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                    ? std::string("not started by the Service Control Manager; run it as the "
                                  "service PlatewiseListen, or without --service")
                    : "StartServiceCtrlDispatcherW failed: error " + std::to_string(code))
            << "\n";
        return 1;
    }
    return state().exit_code;
}

}  // namespace platewise
