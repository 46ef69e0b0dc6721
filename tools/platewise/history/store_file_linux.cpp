// The history file's folder checked and the file created, with the POSIX
// calls that let nobody else slip a link or a file in on the way.
#include "history/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace platewise::history {

namespace {

namespace fs = std::filesystem;

// The directory must be a directory not writable by group or others, so
// that nobody else can put a link or a file where the history goes.
bool check_directory(const fs::path& directory, std::string& error)
{
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 && errno == EACCES) {
        error = "permission denied reaching the directory " + directory.string() + ": run the command with sudo";
        return false;
    }
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the directory " + directory.string() + " does not exist";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "the directory " + directory.string() +
                " is writable by group or others; use a directory only its owner can write";
        return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        error = "the directory " + directory.string() + " belongs to another user";
        return false;
    }
    return true;
}

}  // namespace

bool prepare_store_file(const std::string& path, bool& created, std::string& error)
{
    const fs::path p(path);
    const fs::path directory = p.has_parent_path() ? p.parent_path() : fs::path(".");
    if (!check_directory(directory, error)) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd >= 0) {
        ::close(fd);
        created = true;
        return true;
    }
    if (errno != EEXIST) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " exists and is not a regular file (a link or a device is never used)";
        return false;
    }
    created = false;
    return true;
}

void make_store_directory(const std::string& directory)
{
    ::mkdir(directory.c_str(), 0750);
}

}  // namespace platewise::history
