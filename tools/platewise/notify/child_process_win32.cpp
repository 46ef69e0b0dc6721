// run_child on Windows: CreateProcessW (never a shell) in a job object of
// its own, standard input written by a thread of
// ours (a program that reads nothing cannot hold us past the deadline),
// standard output and error together over one pipe, read as it comes, and
// the whole job ended when the deadline passes.
#include "notify/child_process.h"

#include <windows.h>

#include <chrono>

namespace platewise::notify {

namespace {

// A handle closed when it goes out of scope.
struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset()
    {
        if (h != nullptr) {
            CloseHandle(h);
        }
        h = nullptr;
    }
};

std::int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool widen(const std::string& text, std::wstring& wide)
{
    wide.clear();
    if (text.empty()) {
        return true;
    }
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return true;
}

std::string narrow(const wchar_t* text, std::size_t size)
{
    std::string out;
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    if (length > 0) {
        out.resize(static_cast<std::size_t>(length));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), length, nullptr, nullptr);
    }
    return out;
}

std::string error_text(DWORD code)
{
    return "error " + std::to_string(code);
}

// What the input thread writes, then closes.
struct Input {
    HANDLE pipe = nullptr;
    const std::string* bytes = nullptr;
};

DWORD WINAPI write_input(void* context)
{
    Input* input = static_cast<Input*>(context);
    std::size_t written = 0;
    while (written < input->bytes->size()) {
        const std::size_t left = input->bytes->size() - written;
        const DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD put = 0;
        // Fails once the program has closed its input or ended: fine.
        if (!WriteFile(input->pipe, input->bytes->data() + written, chunk, &put, nullptr) || put == 0) {
            break;
        }
        written += put;
    }
    CloseHandle(input->pipe);
    input->pipe = nullptr;
    return 0;
}

}  // namespace

std::vector<std::string> inherited_environment(const std::string& drop_prefix)
{
    std::vector<std::string> out;
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) {
        return out;
    }
    for (const wchar_t* e = block; *e != L'\0';) {
        std::size_t length = 0;
        while (e[length] != L'\0') {
            ++length;
        }
        std::string entry = narrow(e, length);
        // "=C:=C:\..." entries are the shell's current folders: kept.
        if (drop_prefix.empty() || entry.compare(0, drop_prefix.size(), drop_prefix) != 0) {
            out.push_back(std::move(entry));
        }
        e += length + 1;
    }
    FreeEnvironmentStringsW(block);
    return out;
}

ChildResult run_child(const ChildRequest& request)
{
    ChildResult result;
    if (request.argv.empty() || request.argv[0].empty()) {
        result.error = "no program";
        return result;
    }
    std::string line;
    std::wstring program;
    std::wstring command;
    if (!windows_command_line(request.argv, line) || !widen(request.argv[0], program) ||
        !widen(line, command)) {
        result.error = request.argv[0] + ": not a program name this system can run (a quote, or not UTF-8)";
        return result;
    }
    std::wstring environment;
    for (const std::string& e : request.environment) {
        std::wstring wide;
        if (e.find('=') == std::string::npos || !widen(e, wide) || wide.empty()) {
            continue;  // not NAME=VALUE: never passed on
        }
        environment += wide;
        environment += L'\0';
    }
    if (environment.empty()) {
        environment += L'\0';  // an empty block is two of them
    }
    environment += L'\0';

    // Only the child's ends are inheritable.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE raw[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!CreatePipe(&raw[0], &raw[1], &inherit, 0)) {
        result.error = "CreatePipe: " + error_text(GetLastError());
        return result;
    }
    Handle in_theirs(raw[0]);
    Handle in_ours(raw[1]);
    if (!CreatePipe(&raw[2], &raw[3], &inherit, 0)) {
        result.error = "CreatePipe: " + error_text(GetLastError());
        return result;
    }
    Handle out_ours(raw[2]);
    Handle out_theirs(raw[3]);
    SetHandleInformation(in_ours.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_ours.h, HANDLE_FLAG_INHERIT, 0);

    // What the program starts is in its job too. Left running after a
    // clean exit (a delivery it handed over) it is not ended: only a
    // program past its deadline is, with everything in its job.
    Handle job(CreateJobObjectW(nullptr, nullptr));
    if (job.h == nullptr) {
        result.error = "CreateJobObjectW: " + error_text(GetLastError());
        return result;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_theirs.h;
    startup.hStdOutput = out_theirs.h;
    startup.hStdError = out_theirs.h;
    PROCESS_INFORMATION info{};
    // Suspended until it is in the job, so that nothing it starts escapes.
    const BOOL created =
        CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                       nullptr, &startup, &info);
    const DWORD create_error = GetLastError();
    in_theirs.reset();
    out_theirs.reset();
    if (!created) {
        result.error = request.argv[0] + ": " + error_text(create_error);
        return result;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (!AssignProcessToJobObject(job.h, process.h)) {
        const DWORD code = GetLastError();
        TerminateProcess(process.h, 1);
        WaitForSingleObject(process.h, 5000);
        result.error = request.argv[0] + ": AssignProcessToJobObject: " + error_text(code);
        return result;
    }
    ResumeThread(thread.h);
    result.started = true;

    Input input{in_ours.h, &request.input};
    in_ours.h = nullptr;  // the input thread closes it
    Handle writer;
    if (request.input.empty()) {
        CloseHandle(input.pipe);
        input.pipe = nullptr;
    } else {
        writer.h = CreateThread(nullptr, 0, write_input, &input, 0, nullptr);
        if (writer.h == nullptr) {
            CloseHandle(input.pipe);  // no input then: the program sees it end
            input.pipe = nullptr;
        }
    }

    const std::int64_t deadline = now_ms() + request.time_limit_ms;
    bool exited = false;
    bool output_open = true;
    std::int64_t exited_at = 0;
    char buffer[4096];
    for (;;) {
        // Whatever is there to read, without waiting for more.
        while (output_open) {
            DWORD available = 0;
            if (!PeekNamedPipe(out_ours.h, nullptr, 0, nullptr, &available, nullptr)) {
                output_open = false;  // every writer gone
                break;
            }
            if (available == 0) {
                break;
            }
            DWORD got = 0;
            if (!ReadFile(out_ours.h, buffer, available < sizeof buffer ? available : sizeof buffer, &got,
                          nullptr) ||
                got == 0) {
                output_open = false;
                break;
            }
            const std::size_t room = kMaxChildOutput - result.output.size();
            result.output.append(buffer, got < room ? got : room);
        }
        if (!exited && WaitForSingleObject(process.h, 0) == WAIT_OBJECT_0) {
            exited = true;
            exited_at = now_ms();
        }
        if (exited && (!output_open || now_ms() - exited_at > 200)) {
            break;
        }
        const std::int64_t left = deadline - now_ms();
        if (left <= 0 || (request.cancel != nullptr && request.cancel->load())) {
            result.timed_out = !exited;
            break;
        }
        WaitForSingleObject(process.h, static_cast<DWORD>(left < 20 ? left : 20));
    }
    if (!exited) {
        // The program and everything it started.
        TerminateJobObject(job.h, 1);
        WaitForSingleObject(process.h, 5000);
    }
    if (writer.h != nullptr) {
        // Its pipe broke with the program; a write still stuck is cancelled.
        if (WaitForSingleObject(writer.h, 2000) != WAIT_OBJECT_0) {
            CancelSynchronousIo(writer.h);
            WaitForSingleObject(writer.h, INFINITE);
        }
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process.h, &code) && code != STILL_ACTIVE) {
        result.exit_code = static_cast<int>(code);
    }
    if (result.timed_out) {
        result.exit_code = -1;
    }
    return result;
}

}  // namespace platewise::notify
