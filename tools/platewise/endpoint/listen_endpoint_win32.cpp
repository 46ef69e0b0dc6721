// The listening endpoint on Windows: the named pipe \\.\pipe\PlatewisePipe.
//
// The endpoint handle is the listener's own record: the pipe's wide name, its
// security descriptor and the one instance that waits for the next client.
// Accepting hands that instance over as the connection and creates the next
// one at once, so that the name never disappears while the listener runs.
// Every wait is overlapped and also ends on a stop request (Ctrl-C, Ctrl-Break,
// console close, or request_stop from any thread).
//
// Security: the pipe admits only SYSTEM and the Administrators
// ("D:P(A;;GA;;;SY)(A;;GA;;;BA)"), refuses remote clients, and is created
// with FILE_FLAG_FIRST_PIPE_INSTANCE: if somebody else already owns the name
// (a live listener, or a squatter), the listener refuses to start instead of
// adding an instance to a pipe it does not control. Each accepted client is
// then checked again by its process token (check_peer): LocalSystem or an
// administrator whose membership is in force, whatever the access list let
// through.
#include <windows.h>
// after windows.h, which it needs
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "endpoint/listen_endpoint.h"

namespace platewise::endpoint {

namespace {

constexpr DWORD kInBufferBytes = 64 * 1024;
const wchar_t* const kSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

struct Endpoint {
    std::wstring name;
    PSECURITY_DESCRIPTOR security = nullptr;
    HANDLE waiting = INVALID_HANDLE_VALUE;  // the instance the next client gets
};

// ----------------------------------------------------------- stop requests

std::atomic<bool> g_stop{false};
std::atomic<int> g_installed{0};

HANDLE stop_event()
{
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI on_console_event(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        request_stop();
        return TRUE;
    default:
        return FALSE;
    }
}

std::string error_text(DWORD code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = "error " + std::to_string(code);
    if (length > 0 && text != nullptr) {
        std::string message(text, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.')) {
            message.pop_back();
        }
        result += " (" + message + ")";
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    return result;
}

std::wstring widen(const std::string& text)
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

HANDLE create_instance(Endpoint& endpoint, bool first, DWORD& error)
{
    SECURITY_ATTRIBUTES attributes{sizeof attributes, endpoint.security, FALSE};
    const HANDLE pipe = CreateNamedPipeW(
        endpoint.name.c_str(),
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, 0, kInBufferBytes, 0, &attributes);
    error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return pipe;
}

// Waits for an overlapped operation on `handle`, a stop request, or the
// time-out (INFINITE for none). WAIT_OBJECT_0 when the operation completed,
// WAIT_OBJECT_0 + 1 for a stop request, WAIT_TIMEOUT; the operation is
// cancelled in the last two cases.
DWORD wait_for(HANDLE handle, OVERLAPPED& overlapped, DWORD timeout_ms)
{
    const HANDLE waits[2] = {overlapped.hEvent, stop_event()};
    const DWORD result = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
    if (result != WAIT_OBJECT_0) {
        CancelIoEx(handle, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(handle, &overlapped, &ignored, TRUE);
    }
    return result;
}

struct Overlapped {
    OVERLAPPED value{};
    Overlapped() { value.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(value.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
};

// One overlapped read of at most `size` bytes. 0 and `*got` on success,
// otherwise the error (ERROR_BROKEN_PIPE: the peer closed), WAIT_TIMEOUT, or
// ERROR_CANCELLED for a stop request.
DWORD read_some(HANDLE pipe, std::uint8_t* buffer, DWORD size, DWORD timeout_ms, DWORD* got)
{
    Overlapped overlapped;
    *got = 0;
    if (!ReadFile(pipe, buffer, size, nullptr, &overlapped.value)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return error;
        }
        const DWORD waited = wait_for(pipe, overlapped.value, timeout_ms);
        if (waited == WAIT_TIMEOUT) {
            return WAIT_TIMEOUT;
        }
        if (waited != WAIT_OBJECT_0) {
            return ERROR_CANCELLED;
        }
    }
    if (!GetOverlappedResult(pipe, &overlapped.value, got, FALSE)) {
        return GetLastError();
    }
    return 0;
}

// ------------------------------------------------------------ peer checks

// LocalSystem, or a member of the Administrators whose membership is in
// force: enabled and not deny-only (an administrator's filtered token under
// UAC holds the group deny-only, and is refused).
bool system_or_admin(PSID user, const TOKEN_GROUPS& groups)
{
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    DWORD admins_size = sizeof admins;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size)) {
        return false;
    }
    if (EqualSid(user, system)) {
        return true;
    }
    for (DWORD i = 0; i < groups.GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups.Groups[i];
        if ((group.Attributes & SE_GROUP_ENABLED) != 0 &&
            (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 && EqualSid(group.Sid, admins)) {
            return true;
        }
    }
    return false;
}

// One variable-sized token record; empty when it cannot be read.
std::vector<BYTE> token_record(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> record(size);
    if (size == 0 || !GetTokenInformation(token, what, record.data(), size, &size)) {
        record.clear();
    }
    return record;
}

// "DOMAIN\NAME" of an account, or its SID as text when it has no name.
std::string account_text(PSID sid)
{
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    std::wstring wide;
    if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
        wide = domain_size > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    } else {
        wchar_t* text = nullptr;
        if (ConvertSidToStringSidW(sid, &text)) {
            wide = text;
            LocalFree(text);
        } else {
            wide = L"(unknown)";
        }
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                            length, nullptr, nullptr);
    }
    return narrow;
}

}  // namespace

const char* default_name()
{
    return "\\\\.\\pipe\\PlatewisePipe";
}

Handle create_endpoint(const std::string& name, std::uint32_t /*mode*/, std::string& error)
{
    if (name.rfind("\\\\.\\pipe\\", 0) != 0 || name.size() <= 9) {
        error = "endpoint must be a local pipe name, \\\\.\\pipe\\NAME";
        return invalid_handle;
    }
    stop_event();
    auto* endpoint = new Endpoint;
    endpoint->name = widen(name);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kSecurity, SDDL_REVISION_1,
                                                              &endpoint->security, nullptr)) {
        error = "cannot make the pipe's security descriptor: " + error_text(GetLastError());
        delete endpoint;
        return invalid_handle;
    }
    DWORD code = 0;
    endpoint->waiting = create_instance(*endpoint, true, code);
    if (endpoint->waiting == INVALID_HANDLE_VALUE) {
        error = code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY
                    ? "another process already owns " + name + "; not starting"
                    : "cannot create " + name + ": " + error_text(code);
        LocalFree(endpoint->security);
        delete endpoint;
        return invalid_handle;
    }
    return reinterpret_cast<Handle>(endpoint);
}

void install_stop_signals()
{
    stop_event();
    if (g_installed.fetch_add(1) == 0) {
        SetConsoleCtrlHandler(on_console_event, TRUE);
    }
}

void restore_stop_signals()
{
    if (g_installed.fetch_sub(1) == 1) {
        SetConsoleCtrlHandler(on_console_event, FALSE);
    }
}

void request_stop()
{
    g_stop = true;
    SetEvent(stop_event());
}

bool stop_requested()
{
    return g_stop;
}

void clear_stop()
{
    g_stop = false;
    ResetEvent(stop_event());
}

AcceptStatus accept_connection(Handle endpoint_handle, Handle& connection, std::string& error)
{
    auto* endpoint = reinterpret_cast<Endpoint*>(endpoint_handle);
    for (;;) {
        if (stop_requested()) {
            return AcceptStatus::stopped;
        }
        if (endpoint->waiting == INVALID_HANDLE_VALUE) {
            DWORD code = 0;
            endpoint->waiting = create_instance(*endpoint, false, code);
            if (endpoint->waiting == INVALID_HANDLE_VALUE) {
                error = "cannot create a pipe instance: " + error_text(code);
                return AcceptStatus::failed;
            }
        }
        Overlapped overlapped;
        bool connected = false;
        if (ConnectNamedPipe(endpoint->waiting, &overlapped.value)) {
            connected = true;
        } else {
            const DWORD code = GetLastError();
            // ERROR_NO_DATA: a client connected, wrote and closed before we
            // looked. What it wrote is still in the pipe and is its message
            // (a service that sends its snapshot and closes at once), so the
            // connection is handed over like any other; the read then sees
            // the bytes and the close.
            if (code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA) {
                connected = true;
            } else if (code != ERROR_IO_PENDING) {
                error = "ConnectNamedPipe: " + error_text(code);
                return AcceptStatus::failed;
            }
        }
        if (!connected) {
            const DWORD waited = wait_for(endpoint->waiting, overlapped.value, INFINITE);
            if (waited != WAIT_OBJECT_0) {
                return AcceptStatus::stopped;
            }
            DWORD ignored = 0;
            if (!GetOverlappedResult(endpoint->waiting, &overlapped.value, &ignored, FALSE)) {
                const DWORD code = GetLastError();
                if (code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE) {
                    DisconnectNamedPipe(endpoint->waiting);
                    continue;
                }
                error = "ConnectNamedPipe: " + error_text(code);
                return AcceptStatus::failed;
            }
        }
        connection = reinterpret_cast<Handle>(endpoint->waiting);
        // The next client finds an instance waiting while this one is read.
        DWORD code = 0;
        endpoint->waiting = create_instance(*endpoint, false, code);
        return AcceptStatus::accepted;
    }
}

// Who the client is, asked of the process that opened the pipe: its id,
// then its token's user and groups. A client that cannot be identified (it
// has gone, or its token cannot be read) is refused.
PeerCheck check_peer(Handle connection, const PeerPolicy& /*policy: Linux only*/)
{
    PeerCheck check;
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(reinterpret_cast<HANDLE>(connection), &pid)) {
        check.peer = "unidentified client: " + error_text(GetLastError());
        return check;
    }
    check.peer = "pid " + std::to_string(pid);
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        check.peer += ", process not readable: " + error_text(GetLastError());
        return check;
    }
    HANDLE token = nullptr;
    const bool opened = OpenProcessToken(process, TOKEN_QUERY, &token) != FALSE;
    const DWORD code = opened ? 0 : GetLastError();
    CloseHandle(process);
    if (!opened) {
        check.peer += ", token not readable: " + error_text(code);
        return check;
    }
    const std::vector<BYTE> user = token_record(token, TokenUser);
    const std::vector<BYTE> groups = token_record(token, TokenGroups);
    CloseHandle(token);
    if (user.empty() || groups.empty()) {
        check.peer += ", token not readable";
        return check;
    }
    const PSID user_sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    check.peer += ", user " + account_text(user_sid);
    check.admitted =
        system_or_admin(user_sid, *reinterpret_cast<const TOKEN_GROUPS*>(groups.data()));
    return check;
}

ReadResult read_message(Handle connection, std::uint8_t* buffer, std::size_t wanted,
                        std::uint32_t timeout_ms)
{
    using clock = std::chrono::steady_clock;
    const HANDLE pipe = reinterpret_cast<HANDLE>(connection);
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    ReadResult result;
    // Real Windows may hand a long message over in several reads: loop.
    while (result.received < wanted) {
        if (stop_requested()) {
            result.status = ReadStatus::stopped;
            return result;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            result.status = ReadStatus::timed_out;
            return result;
        }
        const std::size_t remaining = wanted - result.received;
        const DWORD chunk = remaining > 0x10000000 ? 0x10000000 : static_cast<DWORD>(remaining);
        DWORD got = 0;
        const DWORD code =
            read_some(pipe, buffer + result.received, chunk, static_cast<DWORD>(left), &got);
        result.received += got;
        switch (code) {
        case 0:
        case ERROR_MORE_DATA:
            break;
        case ERROR_BROKEN_PIPE:
        case ERROR_PIPE_NOT_CONNECTED:
            result.status = ReadStatus::closed;
            return result;
        case WAIT_TIMEOUT:
            result.status = ReadStatus::timed_out;
            return result;
        case ERROR_CANCELLED:
            result.status = ReadStatus::stopped;
            return result;
        default:
            result.error = error_text(code);
            result.status = ReadStatus::failed;
            return result;
        }
    }
    result.status = ReadStatus::full;
    return result;
}

TailStatus read_tail(Handle connection, std::uint32_t wait_ms)
{
    std::uint8_t byte = 0;
    DWORD got = 0;
    const DWORD code = read_some(reinterpret_cast<HANDLE>(connection), &byte, 1, wait_ms, &got);
    if ((code == 0 || code == ERROR_MORE_DATA) && got > 0) {
        return TailStatus::more_data;
    }
    if (code == WAIT_TIMEOUT || code == ERROR_CANCELLED) {
        return TailStatus::silent;
    }
    return TailStatus::closed;
}

void close_connection(Handle connection)
{
    if (connection != invalid_handle) {
        const HANDLE pipe = reinterpret_cast<HANDLE>(connection);
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
}

void close_endpoint(Handle endpoint_handle, const std::string& /*name*/)
{
    if (endpoint_handle == invalid_handle) {
        return;
    }
    auto* endpoint = reinterpret_cast<Endpoint*>(endpoint_handle);
    if (endpoint->waiting != INVALID_HANDLE_VALUE) {
        CloseHandle(endpoint->waiting);
    }
    LocalFree(endpoint->security);
    delete endpoint;
}

}  // namespace platewise::endpoint
