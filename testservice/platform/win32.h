// Internals of the win32 platform that its tests look at: the flags the pipe
// client opens the pipe with, and the two system calls that every drive and
// pipe open and every pass-through request go through, as replaceable
// pointers. The service never changes them; a test may, to see exactly what
// reaches the system and to time the other end.
//
// Include it after platform.h and diskinfo.h: <windows.h> defines some of
// their names (SERVICE_RUNNING, ATA_FLAGS_DATA_IN, ...) as macros.
#pragma once

#include <windows.h>

namespace platform::win32 {

// The pipe client opens the listener's pipe with an impersonation level of
// "identification": whoever created the pipe may learn who the client is,
// but cannot act as the client. The service runs as LocalSystem, and with
// flags 0 (impersonation) any local user who created the pipe before the
// listener could act as SYSTEM.
inline constexpr DWORD kPipeOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

using CreateFileWFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                            DWORD, HANDLE);
using DeviceIoControlFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD,
                                              LPDWORD, LPOVERLAPPED);

// ::CreateFileW and ::DeviceIoControl unless a test put something else here.
extern CreateFileWFunction create_file_w;
extern DeviceIoControlFunction device_io_control;

}  // namespace platform::win32
