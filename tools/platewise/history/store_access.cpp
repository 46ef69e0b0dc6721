// Telling "permission denied" and "a directory" apart from a missing history.
#include "history/store_access.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "smart.h"

namespace platewise::history {

namespace {

namespace fs = std::filesystem;

// The group of `path`, or of the nearest folder above it that this user
// can see, by name when it has one.
std::string group_of(const fs::path& path)
{
    for (fs::path p = path; !p.empty(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            if (const group* g = ::getgrgid(st.st_gid); g != nullptr && g->gr_name != nullptr) {
                return smart::sanitize_text(g->gr_name);
            }
            return "gid " + std::to_string(st.st_gid);
        }
        if (p == p.parent_path()) {
            break;
        }
    }
    return "";
}

std::string denied(const std::string& path, const std::string& what, bool for_writing)
{
    const std::string group = group_of(fs::path(path));
    std::string text = "permission denied " + std::string(for_writing ? "writing " : "reading ") + what +
                       ": run the command with sudo";
    struct stat st {};
    const bool group_may_read = ::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IRGRP) != 0;
    if (!for_writing && !group_may_read) {
        // The listener keeps its live files to itself (a reader's locks
        // could stop its writes): the page serves the same to everyone.
        text += ", or read the status page and its /api/drives (the listener's --web)";
    } else if (!for_writing && !group.empty() && group != "root") {
        text += ", or ask an administrator to add you to the group " + group +
                " (adduser $USER " + group + ", then log in again)";
    }
    return text;
}

bool allowed(const std::string& path, int mode)
{
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 || errno != EACCES;
}

}  // namespace

std::string store_access_problem(const std::string& path, bool for_writing)
{
    const std::string shown = smart::sanitize_text(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == EACCES) {
            return denied(path, "the history " + shown + " (a folder on its way is closed to you)", for_writing);
        }
        if (errno != ENOENT || !for_writing) {
            return "";
        }
        // A new file: its folder must let us in and write.
        const fs::path p(path);
        const std::string folder = p.has_parent_path() ? p.parent_path().string() : ".";
        struct stat dir {};
        const bool closed = ::stat(folder.c_str(), &dir) != 0 ? errno == EACCES
                                                               : S_ISDIR(dir.st_mode) && !allowed(folder, W_OK | X_OK);
        if (closed) {
            return "cannot create " + shown + ": Permission denied: its folder " + smart::sanitize_text(folder) +
                   " is not writable for you; run the command with sudo";
        }
        return "";
    }
    if (S_ISDIR(st.st_mode)) {
        return shown + " is a directory, not a history file; give the file in it (such as " +
               smart::sanitize_text((fs::path(path) / "history.db").string()) + ")";
    }
    const int mode = for_writing ? R_OK | W_OK : R_OK;
    if (!allowed(path, mode)) {
        return denied(path, "the history " + shown, for_writing);
    }
    for (const char* companion : {"-wal", "-shm"}) {
        const std::string other = path + companion;
        if (::access(other.c_str(), F_OK) == 0 && !allowed(other, mode)) {
            return denied(other, "the history's " + smart::sanitize_text(other), for_writing);
        }
    }
    return "";
}

}  // namespace platewise::history
