// The Windows platform: physical drives through IOCTL_ATA_PASS_THROUGH, the
// named-pipe client, the log through the runtime's secure functions, and the
// Service Control Manager, in plain Win32 calls.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>

// The seam's own names (SERVICE_RUNNING, ATA_FLAGS_DATA_IN, ...) are macros
// in the Windows headers: the seam comes first, so its declarations are
// parsed before those macros exist, and nothing below uses them.
#include "platform.h"
#include "win32_nvme_query_layout.h"
#include "win32_passthrough_layout.h"

#include "win32.h"
#include <aclapi.h>
#include <ntddscsi.h>

namespace platform::win32 {

CreateFileWFunction create_file_w = ::CreateFileW;
DeviceIoControlFunction device_io_control = ::DeviceIoControl;
DWORD pipe_write_timeout_ms = 20000;

// The translation's own copy of the x64 record must be the real one.
static_assert(sizeof(ATA_PASS_THROUGH_EX) == sizeof(AtaPassThroughEx64));
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) ==
              offsetof(AtaPassThroughEx64, DataBufferOffset));
static_assert(offsetof(ATA_PASS_THROUGH_EX, PreviousTaskFile) ==
              offsetof(AtaPassThroughEx64, PreviousTaskFile));
static_assert(offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) ==
              offsetof(AtaPassThroughEx64, CurrentTaskFile));

// And so must the protocol-specific query's records.
static_assert(sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) == sizeof(StorageProtocolSpecificData));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataOffset) ==
              offsetof(StorageProtocolSpecificData, ProtocolDataOffset));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataLength) ==
              offsetof(StorageProtocolSpecificData, ProtocolDataLength));
static_assert(sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR) == sizeof(StorageProtocolDataDescriptor));
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) ==
              offsetof(StorageProtocolQuery, ProtocolSpecific));
static_assert(StorageAdapterProtocolSpecificProperty == kStorageAdapterProtocolSpecificProperty);
static_assert(StorageDeviceProtocolSpecificProperty == kStorageDeviceProtocolSpecificProperty);
static_assert(PropertyStandardQuery == kPropertyStandardQuery);
static_assert(ProtocolTypeNvme == kProtocolTypeNvme);
static_assert(NVMeDataTypeIdentify == kNvmeDataTypeIdentify);
static_assert(NVMeDataTypeLogPage == kNvmeDataTypeLogPage);

}  // namespace platform::win32

namespace platform {

namespace {

constexpr int kPathChars = 260;

// Formats the wide device path of drive `number` into `dev_path`.
void format_dev_path(std::int32_t number, wchar_t (&dev_path)[kPathChars])
{
    wsprintfW(dev_path, L"\\\\.\\PhysicalDrive%i", static_cast<int>(number));
}

}  // namespace

// ------------------------------------------------------------------ drives

void drive_device_path(std::int32_t number, char* out, std::size_t size)
{
    wchar_t dev_path[kPathChars];
    format_dev_path(number, dev_path);
    std::size_t convertedChars = 0;
    if (wcstombs_s(&convertedChars, out, size, dev_path, _TRUNCATE) != 0 && size > 0) {
        out[0] = '\0';
    }
}

DriveOpenResult open_drive_device(std::int32_t number)
{
    wchar_t dev_path[kPathChars];
    format_dev_path(number, dev_path);
    const HANDLE handle =
        win32::create_file_w(dev_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        return {reinterpret_cast<DriveHandle>(handle), OpenFailure::none, 0};
    }
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return {invalid_drive_handle, OpenFailure::not_found, static_cast<std::int32_t>(error)};
    case ERROR_ACCESS_DENIED:
        return {invalid_drive_handle, OpenFailure::access_denied, static_cast<std::int32_t>(error)};
    default:
        return {invalid_drive_handle, OpenFailure::other, static_cast<std::int32_t>(error)};
    }
}

void close_drive(DriveHandle handle)
{
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

IoResult send_ata_passthrough(DriveHandle handle, std::uint8_t* request,
                              std::uint32_t request_size, std::uint32_t* returned)
{
    // The service's 32-bit layout becomes the real x64 ATA_PASS_THROUGH_EX
    // (48 bytes, data at 48), goes out and comes back in the same memory,
    // and is translated back.
    win32::AtaPassBuffer64 real;
    const DWORD real_size = win32::to_real_request(request, request_size, &real);
    DWORD num_out = 0;
    if (!win32::device_io_control(reinterpret_cast<HANDLE>(handle), IOCTL_ATA_PASS_THROUGH, &real,
                                  real_size, &real, real_size, &num_out, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) {
            return {IoFailure::not_supported, error};
        }
        return {IoFailure::driver_error, error};
    }
    win32::from_real_request(real, request, request_size);
    *returned = win32::returned_in_service_layout(num_out);
    return {IoFailure::none, 0};
}

// The NVMe pages through IOCTL_STORAGE_QUERY_PROPERTY's protocol-specific
// query (win32_nvme_query_layout.h builds it and checks the reply). A drive
// behind another driver refuses it as an invalid function or not supported;
// a command the controller failed comes back as a device I/O error.
NvmeReply read_nvme_page(DriveHandle handle, NvmePage page, std::uint8_t* out,
                         std::uint32_t size)
{
    const std::uint32_t page_bytes = win32::nvme_page_bytes(page);
    if (size != page_bytes) {
        return {NvmeFailure::driver_error, ERROR_INVALID_PARAMETER, 0};
    }
    alignas(8) std::uint8_t buffer[win32::kNvmeQueryBufferBytes];
    const DWORD request_size = win32::build_nvme_query(page, buffer);
    DWORD num_out = 0;
    if (!win32::device_io_control(reinterpret_cast<HANDLE>(handle), IOCTL_STORAGE_QUERY_PROPERTY,
                                  buffer, request_size, buffer, request_size, &num_out, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) {
            return {NvmeFailure::not_supported, error, 0};
        }
        if (error == ERROR_IO_DEVICE) {
            return {NvmeFailure::device_error, error, 0};
        }
        return {NvmeFailure::driver_error, error, 0};
    }
    if (win32::take_nvme_reply(buffer, request_size, num_out, page_bytes, out) !=
        win32::ReplyCheck::ok) {
        return {NvmeFailure::driver_error, ERROR_INVALID_DATA, 0};
    }
    const std::uint32_t namespace_id =
        page == NvmePage::identify_namespace ? win32::kNamespaceAskedFor : 0;
    return {NvmeFailure::none, 0, namespace_id};
}

// -------------------------------------------------------------------- time

void sleep_ms(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

bool local_time_now(LocalTime* out)
{
    const __time64_t now = _time64(nullptr);
    struct tm parts {};
    if (now == -1 || _localtime64_s(&parts, &now) != 0) {
        return false;
    }
    *out = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

// --------------------------------------------------------------------- log

namespace {

#if defined(_UCRT) || defined(_MSC_VER)
errno_t dupenv_s(char** buffer, std::size_t* length, const char* name)
{
    return _dupenv_s(buffer, length, name);
}
#else
// MinGW-w64 links the system's msvcrt.dll, which (in MinGW's import library
// and in Wine) has no _dupenv_s. Its behaviour, from the same runtime's
// getenv_s: a new copy from malloc (released with free), or null and length
// 0 when the variable is not set.
errno_t dupenv_s(char** buffer, std::size_t* length, const char* name)
{
    *buffer = nullptr;
    *length = 0;
    // The size query: some runtimes answer it with ERANGE, all give the
    // size (terminator included), 0 when the variable is not set.
    std::size_t needed = 0;
    getenv_s(&needed, nullptr, 0, name);
    if (needed == 0) {
        return 0;
    }
    char* copy = static_cast<char*>(std::malloc(needed));
    if (copy == nullptr) {
        return ENOMEM;
    }
    if (getenv_s(&needed, copy, needed, name) != 0) {
        std::free(copy);
        return EINVAL;
    }
    *buffer = copy;
    *length = needed;
    return 0;
}
#endif

}  // namespace

char* environment_copy(const char* name)
{
    char* app_data = nullptr;
    std::size_t length = 0;
    if (dupenv_s(&app_data, &length, name) != 0) {
        return nullptr;
    }
    return app_data;  // null when not set
}

const char* const log_path_format = "%s\\platewise_s.log";

std::FILE* open_log_file(const char* path)
{
    std::FILE* file = nullptr;
    if (fopen_s(&file, path, "a+") != 0) {
        return nullptr;
    }
    return file;
}

// -------------------------------------------------------------------- pipe

const char* const pipe_name = "\\\\.\\pipe\\PlatewisePipe";
const char* const nvme_pipe_name = "\\\\.\\pipe\\PlatewiseNvmePipe";

namespace {

// The wide pipe name, in writable static storage: CreateFileW and
// WaitNamedPipeW take it from here. Only the service thread uses it.
wchar_t g_pipe_name[kPathChars];

const wchar_t* wide_pipe_name(const char* name)
{
    std::size_t convertedChars = 0;
    if (mbstowcs_s(&convertedChars, g_pipe_name, kPathChars, name, _TRUNCATE) != 0) {
        g_pipe_name[0] = L'\0';
    }
    return g_pipe_name;
}

}  // namespace

PipeOpenResult open_pipe(const char* name)
{
    const HANDLE pipe = win32::create_file_w(wide_pipe_name(name), GENERIC_WRITE, 0, nullptr,
                                             OPEN_EXISTING, win32::kPipeOpenFlags, nullptr);
    const DWORD error = GetLastError();
    if (pipe != INVALID_HANDLE_VALUE) {
        // Any local user may create the pipe while no listener runs. A
        // server that is neither LocalSystem nor an administrator gets the
        // connection closed unwritten; the pass counts as undelivered.
        if (!win32::pipe_server_is_system_or_admin(pipe)) {
            CloseHandle(pipe);
            return {invalid_pipe_handle, PipeOpenFailure::other, ERROR_ACCESS_DENIED};
        }
        return {reinterpret_cast<PipeHandle>(pipe), PipeOpenFailure::none, 0};
    }
    if (error == ERROR_PIPE_BUSY) {
        return {invalid_pipe_handle, PipeOpenFailure::busy, error};
    }
    return {invalid_pipe_handle, PipeOpenFailure::other, error};
}

bool wait_pipe(const char* name, std::uint32_t timeout_ms)
{
    return WaitNamedPipeW(wide_pipe_name(name), timeout_ms) != FALSE;
}

bool write_pipe(PipeHandle handle, const void* bytes, std::uint32_t size)
{
    const HANDLE pipe = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    DWORD written = 0;
    bool done = WriteFile(pipe, bytes, size, nullptr, &overlapped) != FALSE;
    if (done || GetLastError() == ERROR_IO_PENDING) {
        if (!done &&
            WaitForSingleObject(overlapped.hEvent, win32::pipe_write_timeout_ms) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
        }
        // Waits for the write to end, complete or cancelled, before its
        // record and buffer go away.
        done = GetOverlappedResult(pipe, &overlapped, &written, TRUE) != FALSE;
    }
    CloseHandle(overlapped.hEvent);
    return done && written == size;
}

void close_pipe(PipeHandle handle)
{
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

// ------------------------------------------------- who is on the other end

namespace win32 {

bool identity_is_system_or_admin(PSID user, const TOKEN_GROUPS* groups)
{
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    DWORD admins_size = sizeof admins;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size)) {
        return false;
    }
    if (user != nullptr && IsValidSid(user) && EqualSid(user, system)) {
        return true;
    }
    if (groups == nullptr) {
        return false;
    }
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        const bool in_force = (group.Attributes & SE_GROUP_ENABLED) != 0 &&
                              (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
        if (in_force && IsValidSid(group.Sid) && EqualSid(group.Sid, admins)) {
            return true;
        }
    }
    return false;
}

bool pipe_owner_fits_server(PSID owner, PSID server_user, const TOKEN_GROUPS* server_groups)
{
    if (owner == nullptr) {
        return true;
    }
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    DWORD admins_size = sizeof admins;
    if (!IsValidSid(owner) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size)) {
        return false;
    }
    if (EqualSid(owner, system) || EqualSid(owner, admins) ||
        (server_user != nullptr && IsValidSid(server_user) && EqualSid(owner, server_user))) {
        return true;
    }
    for (DWORD i = 0; server_groups != nullptr && i < server_groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = server_groups->Groups[i];
        if ((group.Attributes & SE_GROUP_OWNER) != 0 && IsValidSid(group.Sid) &&
            EqualSid(owner, group.Sid)) {
            return true;
        }
    }
    return false;
}

namespace {

// A copy of one variable-sized token record from std::malloc (release with
// std::free), or null.
void* token_record(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    if (size == 0) {
        return nullptr;
    }
    void* record = std::malloc(size);
    if (record != nullptr && !GetTokenInformation(token, what, record, size, &size)) {
        std::free(record);
        record = nullptr;
    }
    return record;
}

}  // namespace

bool pipe_server_is_system_or_admin(HANDLE pipe)
{
    ULONG server_pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server_pid)) {
        return false;
    }
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server_pid);
    if (process == nullptr) {
        return false;
    }
    HANDLE token = nullptr;
    const bool opened = OpenProcessToken(process, TOKEN_QUERY, &token) != FALSE;
    CloseHandle(process);
    if (!opened) {
        return false;
    }
    auto* user = static_cast<TOKEN_USER*>(token_record(token, TokenUser));
    auto* groups = static_cast<TOKEN_GROUPS*>(token_record(token, TokenGroups));
    CloseHandle(token);
    bool trusted =
        user != nullptr && groups != nullptr && identity_is_system_or_admin(user->User.Sid, groups);
    // The process id names whichever process has it now; the owner is
    // recorded on the pipe itself when it was made.
    if (trusted) {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        trusted = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                  nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                  pipe_owner_fits_server(owner, user->User.Sid, groups);
        LocalFree(descriptor);
    }
    std::free(user);
    std::free(groups);
    return trusted;
}

}  // namespace win32

// --------------------------------------------------------- service control

namespace {

ServiceMainFunction g_service_main = nullptr;
ControlHandlerFunction g_handler = nullptr;
wchar_t g_service_name[kPathChars];
wchar_t g_handler_name[kPathChars];

void to_wide(const char* text, wchar_t (&out)[kPathChars])
{
    std::size_t convertedChars = 0;
    if (mbstowcs_s(&convertedChars, out, kPathChars, text, _TRUNCATE) != 0) {
        out[0] = L'\0';
    }
}

// The manager calls these with its own signatures; the service's functions
// ignore their arguments, so none are converted.
void WINAPI service_main_trampoline(DWORD /*argc*/, LPWSTR* /*argv*/)
{
    g_service_main(0, nullptr);
}

void WINAPI control_handler_trampoline(DWORD control)
{
    g_handler(control);
}

}  // namespace

int run_service_dispatcher(const char* service_name, ServiceMainFunction service_main)
{
    g_service_main = service_main;
    to_wide(service_name, g_service_name);  // "Platewise"
    SERVICE_TABLE_ENTRYW ServiceTable[] = {
        {g_service_name, service_main_trampoline},
        {nullptr, nullptr},
    };
    // Blocks for the life of the service. Started by hand, outside the
    // manager, it fails at once (1063) and the process ends quietly.
    StartServiceCtrlDispatcherW(ServiceTable);
    return 0;
}

StatusHandle register_control_handler(const char* name, ControlHandlerFunction handler)
{
    g_handler = handler;
    to_wide(name, g_handler_name);  // "MemoryStatus"
    return reinterpret_cast<StatusHandle>(
        RegisterServiceCtrlHandlerW(g_handler_name, control_handler_trampoline));
}

void set_service_status(StatusHandle handle, const ServiceStatus* status)
{
    SERVICE_STATUS record{};
    record.dwServiceType = status->dwServiceType;
    record.dwCurrentState = status->dwCurrentState;
    record.dwControlsAccepted = status->dwControlsAccepted;
    record.dwWin32ExitCode = status->dwWin32ExitCode;
    record.dwServiceSpecificExitCode = status->dwServiceSpecificExitCode;
    record.dwCheckPoint = status->dwCheckPoint;
    record.dwWaitHint = status->dwWaitHint;
    SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record);
}

}  // namespace platform
