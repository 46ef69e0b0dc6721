// A directory the listener writes files into (listen --save, --textfile),
// opened and checked once at start-up. Every file is created under a fresh
// name exclusively, without following links, relative to the directory
// opened then, and renamed into place within it: whoever else can reach the
// path cannot make the listener write, replace or remove anything elsewhere.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace platewise {

// Saved snapshots and the metrics text hold serial numbers and raw IDENTIFY
// data: readable by their owner only unless told otherwise.
inline constexpr std::uint32_t kDefaultFileMode = 0600;

struct OutputDirectory {
    std::string path;
    std::uint32_t file_mode = kDefaultFileMode;
    int fd = -1;  // the opened directory (POSIX); -1 when closed
};

// Opens `path` as the directory to write into. Refused with the reason in
// `error`: a symbolic link, anything but a directory, and a directory (or a
// folder above it) that a user other than the listener's own and root could
// change (owned by another user, or writable by its group or by everybody;
// a folder above it may be everybody's when it has the sticky bit, as /tmp
// does). `file_mode` is given to every file created (see valid_file_mode).
bool open_output_directory(const std::string& path, std::uint32_t file_mode, OutputDirectory& dir,
                           std::string& error);
void close_output_directory(OutputDirectory& dir);

#if !defined(_WIN32)
// Whose files and folders the listener and its readers trust: root, the
// user running this process, and the packaged listener's system user
// "platewise" (the owner of /var/lib/platewise), when that user exists.
bool is_trusted_owner(unsigned uid);
#endif

// Who besides root and the listener's user could change the directory
// `path` (the directory itself, or a folder above it: whoever can rename
// one can swap the directory for another). Empty when nobody; otherwise
// what to tell the user. The folders above may be everybody's when they
// have the sticky bit, as /tmp does; the directory itself may not. Always
// empty on Windows, where the directory's access list is its
// administrator's business.
std::string unsafe_directory_reason(const std::string& path);

// Whether `mode` may be given to the files written: octal permission bits
// with nothing for others and no execute bits (0600, 0640, 0660, 0400, ...).
bool valid_file_mode(std::uint32_t mode);

enum class Placement {
    replace,   // the file takes `name`, replacing whatever was there
    new_only,  // `name` must be free; an existing one is kept and the write fails
};

// Writes `bytes` to a new temporary file in `dir` (".NAME.XXXXXX.tmp",
// created exclusively with dir.file_mode), flushes it to disk and renames
// it to `name` in the same directory. False with the reason in `error`, and
// nothing left behind, on failure; with Placement::new_only and `name`
// taken, `taken` is set as well.
bool write_file_in(const OutputDirectory& dir, const std::string& name,
                   std::span<const std::uint8_t> bytes, Placement placement, std::string& error,
                   bool* taken = nullptr);

}  // namespace platewise
