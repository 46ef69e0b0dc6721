// Helpers for the Windows-only tests: text conversion, a small named-pipe
// server that reads snapshots the way a listener does, and running programs.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

inline std::wstring widen(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

inline std::string narrow(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

// True when this program runs under Wine rather than Windows.
inline bool under_wine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A pipe name of this process's own, so tests never meet each other or the
// service's \\.\pipe\PlatewisePipe.
inline std::string unique_pipe_name(const char* what)
{
    static int serial = 0;
    return "\\\\.\\pipe\\PlatewiseTest-" + std::to_string(GetCurrentProcessId()) + "-" + what + "-" +
           std::to_string(++serial);
}

inline HANDLE create_server_instance(const std::string& name)
{
    return CreateNamedPipeW(widen(name).c_str(), PIPE_ACCESS_INBOUND,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0,
                            64 * 1024, 0, nullptr);
}

// Waits for a client on `pipe`. True also when it came first, and when it
// has already written and closed (ERROR_NO_DATA: what it wrote is still
// there to read).
inline bool accept_client(HANDLE pipe)
{
    if (ConnectNamedPipe(pipe, nullptr)) {
        return true;
    }
    const DWORD error = GetLastError();
    return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

// Reads until `wanted` bytes came or the client closed; real Windows may
// split a long message over several reads.
inline std::vector<std::uint8_t> read_message(HANDLE pipe, std::size_t wanted)
{
    std::vector<std::uint8_t> bytes(wanted);
    std::size_t got = 0;
    while (got < wanted) {
        DWORD n = 0;
        if (!ReadFile(pipe, bytes.data() + got, static_cast<DWORD>(wanted - got), &n, nullptr) ||
            n == 0) {
            break;
        }
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

// The impersonation level the client granted, as the server sees it after
// ImpersonateNamedPipeClient; -1 when that could not be learnt.
inline int client_impersonation_level(HANDLE pipe)
{
    if (!ImpersonateNamedPipeClient(pipe)) {
        return -1;
    }
    int level = -1;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        SECURITY_IMPERSONATION_LEVEL value{};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof value, &size)) {
            level = static_cast<int>(value);
        }
        CloseHandle(token);
    }
    RevertToSelf();
    return level;
}

// Connects to `name` as a client and closes at once; frees a server thread
// blocked in ConnectNamedPipe when a test fails before its client came.
inline void poke(const std::string& name)
{
    const HANDLE h = CreateFileW(widen(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
}

// The folder of this test program, with a trailing backslash.
inline std::wstring program_folder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

// A full Windows path from this program's folder and a relative path.
inline std::wstring beside_program(const std::wstring& relative)
{
    const std::wstring joined = program_folder() + relative;
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(joined.c_str(), MAX_PATH, full, nullptr);
    return std::wstring(full, length);
}

struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exit_code = 0;
};

// A primary token like this process's own in which the Administrators group
// only denies (what an administrator's filtered token under UAC, or a plain
// user, has): a process started with it is no administrator. Null when the
// system cannot make one.
inline HANDLE non_admin_token()
{
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &own)) {
        return nullptr;
    }
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    HANDLE restricted = nullptr;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) {
        SID_AND_ATTRIBUTES disable{admins, 0};
        if (!CreateRestrictedToken(own, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted)) {
            restricted = nullptr;
        }
    }
    CloseHandle(own);
    return restricted;
}

// Starts `command_line` with its output on NUL, as this process's user or,
// with `token`, as the user that token says. The process handle, or null.
inline HANDLE start_process(const std::wstring& command_line, HANDLE token = nullptr)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    std::wstring writable = command_line;
    const BOOL started =
        token == nullptr
            ? CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process)
            : CreateProcessAsUserW(token, nullptr, writable.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, nullptr, &startup, &process);
    CloseHandle(nul);
    if (!started) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits up to `timeout_ms` for a process from start_process (ending it if it
// has not finished by then) and closes its handle.
inline ProcessResult finish_process(HANDLE process, DWORD timeout_ms)
{
    ProcessResult result;
    result.started = process != nullptr;
    if (!result.started) {
        return result;
    }
    result.finished = WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
    if (!result.finished) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    GetExitCodeProcess(process, &result.exit_code);
    CloseHandle(process);
    return result;
}

// Runs `command_line`, its output on NUL, and waits up to `timeout_ms`.
inline ProcessResult run_process(const std::wstring& command_line, DWORD timeout_ms)
{
    return finish_process(start_process(command_line), timeout_ms);
}

// Waits up to `timeout_ms` until a server has created the pipe `name`.
inline bool wait_for_pipe(const std::string& name, DWORD timeout_ms)
{
    const std::wstring wide = widen(name);
    const ULONGLONG until = GetTickCount64() + timeout_ms;
    do {
        if (WaitNamedPipeW(wide.c_str(), 100) || GetLastError() != ERROR_FILE_NOT_FOUND) {
            return true;
        }
        Sleep(20);
    } while (GetTickCount64() < until);
    return false;
}

}  // namespace wintest
