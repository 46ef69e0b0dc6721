// The one seam between the service and the operating system.
//
// Everything the service needs from the machine is declared here, in the
// service's own terms; each platform (simulated, linux, win32) is one source
// file that implements these functions with plain system calls, and the build
// links exactly one of them. Nothing above this header knows which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

// ---------------------------------------------------------------- drives

// An open drive: a Windows HANDLE, a Linux file descriptor or a simulated
// drive number, carried as an integer. -1 is "no handle", the same bit
// pattern as INVALID_HANDLE_VALUE.
using DriveHandle = std::intptr_t;
inline constexpr DriveHandle invalid_drive_handle = -1;

enum class OpenFailure : std::uint8_t {
    none,           // the drive is open
    not_found,      // no such device
    access_denied,  // the device exists but we may not open it
    other,          // anything else; the numeric code says what
};

struct DriveOpenResult {
    DriveHandle handle;   // invalid_drive_handle unless failure is none
    OpenFailure failure;
    std::int32_t code;    // the platform's own error number (GetLastError, errno)
};

// Writes the device path of drive `number` as narrow text (at most
// `size` - 1 characters and a terminator). This is the text that open-failure
// messages quote.
void drive_device_path(std::int32_t number, char* out, std::size_t size);

// Opens drive `number` for ATA pass-through, shared with other openers. The
// access asked for is the platform's: Windows opens for reading and writing,
// as its ATA pass-through control requires; Linux opens read-only, since
// SG_IO's ATA PASS-THROUGH needs CAP_SYS_RAWIO rather than write access, and
// every close of a disk opened for writing makes udev re-read its partition
// table.
DriveOpenResult open_drive_device(std::int32_t number);

// Closes a handle from open_drive_device. The result is not reported.
void close_drive(DriveHandle handle);

enum class IoFailure : std::uint8_t {
    none,            // the driver completed the request
    not_supported,   // this device or driver offers no ATA pass-through
    driver_error,    // any other failure of the request itself
};

struct IoResult {
    IoFailure failure;
    std::uint32_t code;  // the platform's own error number when failure != none
};

// Sends one ATA pass-through request and waits for the driver to finish it.
// `request` is the pass-through buffer in the service's own layout (a 40-byte
// request record, 4 bytes of padding, the data area from byte 44); it goes
// out and comes back in the same memory, `request_size` bytes each way.
// `*returned` receives the byte count the driver reports as returned,
// expressed in that same layout (header plus data actually transferred).
IoResult send_ata_passthrough(DriveHandle handle, std::uint8_t* request,
                              std::uint32_t request_size, std::uint32_t* returned);

// The NVMe pages the service reads, each by its own admin command.
enum class NvmePage : std::uint8_t {
    identify_controller,  // Identify, CNS 01h: 4096 bytes
    identify_namespace,   // Identify, CNS 00h, the drive's own namespace: 4096 bytes
    health_log,           // Get Log Page, LID 02h, NSID FFFFFFFFh: 512 bytes
};

enum class NvmeFailure : std::uint8_t {
    none,            // the page was read, all `size` bytes of it
    not_supported,   // no NVMe pass-through on this device (a SATA, SCSI or virtio disk)
    driver_error,    // the system refused the request or the transfer failed
    device_error,    // the controller completed it with a non-zero NVMe status
};

struct NvmeReply {
    NvmeFailure failure;
    std::uint32_t code;          // the platform's error number, or the NVMe status
    std::uint32_t namespace_id;  // the namespace the identify_namespace page is of; 0 otherwise
};

// Reads one NVMe page of an open drive into `out` (`size` bytes: the page's
// size above). What `out` holds after a failure is not defined; the caller
// zeroes it.
NvmeReply read_nvme_page(DriveHandle handle, NvmePage page, std::uint8_t* out,
                         std::uint32_t size);

}  // namespace platform

// ------------------------------------------------------------------ time

namespace platform {

// Suspends the calling thread; 0 gives up the rest of its time slice.
void sleep_ms(std::uint32_t milliseconds);

struct LocalTime {
    int year;    // e.g. 2026
    int month;   // 1-12
    int day;     // 1-31
    int hour;    // 0-23
    int minute;
    int second;
};

// The current local time; false if the clock or the time zone failed.
bool local_time_now(LocalTime* out);

// ------------------------------------------------------------------- log

// A newly allocated copy of an environment variable (release it with
// std::free), or null when it is not set.
char* environment_copy(const char* name);

// How the log path is made from the log directory: "%s" and the file name,
// with this platform's directory separator.
extern const char* const log_path_format;

// Opens a file for appending text lines, creating it if needed (mode "a+";
// on Windows that is text mode, so a line feed reaches the disk as CR LF).
// Null when it cannot be opened. Close it with std::fclose.
std::FILE* open_log_file(const char* path);

// ------------------------------------------------------------------ pipe

using PipeHandle = std::intptr_t;
inline constexpr PipeHandle invalid_pipe_handle = -1;

// The name of the local endpoint on which the listener takes snapshots.
extern const char* const pipe_name;

// The name of the endpoint on which the listener takes NVMe snapshots.
extern const char* const nvme_pipe_name;

enum class PipeOpenFailure : std::uint8_t {
    none,
    busy,   // the listener exists but has no free connection now
    other,  // no listener, or any other failure
};

struct PipeOpenResult {
    PipeHandle handle;
    PipeOpenFailure failure;
    std::uint32_t code;  // the platform's own error number
};

// Connects to the endpoint for writing only. On Windows, where any local
// user may create the pipe while no listener runs, only a server running as
// LocalSystem or an administrator is kept; any other is closed unwritten and
// reported as `other`.
PipeOpenResult open_pipe(const char* name);

// Waits until the endpoint can take a connection, at most `timeout_ms`.
// True when it can; the next open_pipe of the same name then gets it.
bool wait_pipe(const char* name, std::uint32_t timeout_ms);

// Writes the whole message in one write and waits for it to be taken, at
// most 20 s (a listener that accepts and never reads cannot hold the
// service). False when the write failed, for example because the listener
// closed its end, or was given up.
bool write_pipe(PipeHandle handle, const void* bytes, std::uint32_t size);

void close_pipe(PipeHandle handle);

// --------------------------------------------------------- service control

// The status record that the service reports to its manager; the same seven
// 32-bit words, with the same names, as the platform's own record.
struct ServiceStatus {
    std::uint32_t dwServiceType;
    std::uint32_t dwCurrentState;
    std::uint32_t dwControlsAccepted;
    std::uint32_t dwWin32ExitCode;
    std::uint32_t dwServiceSpecificExitCode;
    std::uint32_t dwCheckPoint;
    std::uint32_t dwWaitHint;
};

inline constexpr std::uint32_t SERVICE_WIN32 = 0x30;
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 1;
inline constexpr std::uint32_t SERVICE_ACCEPT_SHUTDOWN = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

using StatusHandle = std::intptr_t;  // 0 is "not registered"
using ServiceMainFunction = void (*)(std::uint32_t argc, char** argv);
using ControlHandlerFunction = void (*)(std::uint32_t control);

// Hands the process to the service manager, which runs `service_main` on a
// thread of its own and delivers controls to the registered handler on this
// one. Returns when the service has reported itself stopped (or at once when
// there is no manager to talk to), with the status the process should end
// with.
int run_service_dispatcher(const char* service_name, ServiceMainFunction service_main);

// Registers the control handler; 0 on failure.
StatusHandle register_control_handler(const char* name, ControlHandlerFunction handler);

// Reports the status record to the manager. The result is not reported.
void set_service_status(StatusHandle handle, const ServiceStatus* status);

}  // namespace platform
