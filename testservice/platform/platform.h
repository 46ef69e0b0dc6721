// The one seam between the service and the operating system.
//
// Everything the service needs from the machine is declared here, in the
// service's own terms; each platform (simulated, linux, win32) is one source
// file that implements these functions with plain system calls, and the build
// links exactly one of them. Nothing above this header knows which.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Opens drive `number` for reading and writing, shared.
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

}  // namespace platform
