// Internals of the win32 platform that its tests look at: the flags the pipe
// client opens the pipe with, who it accepts as the pipe's server, how long
// it lets a write wait, and the two system calls that every drive and pipe
// open and every pass-through request go through, as replaceable pointers.
// The service never changes them; a test may, to see exactly what reaches
// the system, to time the other end, and to shorten the write's wait.
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
//
// The handle is overlapped so that a write can be given up: a server that
// accepts and never reads would otherwise hold a synchronous WriteFile, and
// the service with it, for ever.
inline constexpr DWORD kPipeOpenFlags =
    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED;

// How long one snapshot's write may wait for the listener to take it before
// it is cancelled and the snapshot counts as undelivered: the same 20 s the
// service waits for a busy listener. Tests shorten it.
extern DWORD pipe_write_timeout_ms;

// Whether a process running with `user` and `groups` may receive the
// service's snapshots: LocalSystem, or a member of the Administrators whose
// membership is in force (enabled, not deny-only: a filtered administrator
// token under UAC does not count).
bool identity_is_system_or_admin(PSID user, const TOKEN_GROUPS* groups);

// Whether the owner recorded on a pipe fits the process that serves it:
// LocalSystem, the Administrators, that process's own user, or a group its
// token may make owner of what it creates (SE_GROUP_OWNER). A pipe made by
// somebody else and served from a process id that is now an
// administrator's does not. No owner recorded passes.
bool pipe_owner_fits_server(PSID owner, PSID server_user, const TOKEN_GROUPS* server_groups);

// The same question about the process on the server end of `pipe` (a client
// handle), asked of that process's token, with the pipe's owner as a second
// witness. False when it cannot be answered.
bool pipe_server_is_system_or_admin(HANDLE pipe);

using CreateFileWFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                            DWORD, HANDLE);
using DeviceIoControlFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD,
                                              LPDWORD, LPOVERLAPPED);

// ::CreateFileW and ::DeviceIoControl unless a test put something else here.
extern CreateFileWFunction create_file_w;
extern DeviceIoControlFunction device_io_control;

}  // namespace platform::win32
