// Getting the history file ready before SQLite opens it for writing.
#pragma once

#include <cstdint>
#include <string>

namespace platewise::history {

// Checks the folder of `path` (it must exist and be one nobody else can
// write into) and creates the file exclusively, never through a link, when
// it is missing (`created` true); an existing file must be a regular one.
// False with the reason in `error` otherwise.
bool prepare_store_file(const std::string& path, bool& created, std::string& error);

// What a reader opens: a regular file (never a link or a device) of root,
// this user or the listener's user (on Windows: SYSTEM, the Administrators
// or this user), in a folder nobody else may change. False with the reason.
bool check_store_place_to_read(const std::string& path, std::string& error);

// True when `path` begins as an SQLite file does: one that does and still
// cannot be read is damaged rather than something else.
bool has_sqlite_header(const std::string& path);

// The file itself, not what a link points to: its device and inode (on
// Windows the volume's serial and the file's index), which change when it
// is removed or replaced. False when it cannot be reached.
bool store_file_identity(const std::string& path, std::uint64_t& device, std::uint64_t& inode);

// Who else holds a lock on the store (the file, its -wal or its -shm), as
// the system lists it: "process 1234 (sqlite3, uid 1000)", several joined
// by ", "; "" when nobody else does or the system does not say. Read from
// the kernel's list of locks, never by opening the files: closing a
// descriptor of the store would drop this process's own SQLite locks.
std::string store_lock_holders(const std::string& path);

// Makes the default store's folder when it is missing, for the
// administrators only (root's 0750 folder; on Windows the protected access
// list of SYSTEM and the Administrators). Failures show in
// prepare_store_file.
void make_store_directory(const std::string& directory);

#if defined(_WIN32)
// The machine's ProgramData folder as the system knows it (a service's
// environment need not name it; under Wine it names another folder), or
// %ProgramData%, or C:\ProgramData.
std::string program_data_folder();
#endif

}  // namespace platewise::history
