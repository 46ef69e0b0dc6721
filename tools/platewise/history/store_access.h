// Why the history file cannot be used by this user, in words that say what
// to do: SQLite says only "unable to open database file" or "disk I/O error".
#pragma once

#include <string>

namespace platewise::history {

// "" when nothing is in the way of opening `path` (for reading, or for
// writing as the listener and ack do) or when it does not exist; otherwise:
// a directory given for the file, or permission denied on the file, its
// companions (-wal, -shm) or a directory on the way, with the remedy (sudo,
// or the group that may read it).
std::string store_access_problem(const std::string& path, bool for_writing);

}  // namespace platewise::history
