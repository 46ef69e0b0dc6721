// The history file's folder checked and the file created, with the POSIX
// calls that let nobody else slip a link or a file in on the way.
#include "history/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "smart.h"

#include "files/output_directory.h"

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
    if (!is_trusted_owner(st.st_uid)) {
        error = "the directory " + directory.string() + " belongs to another user";
        return false;
    }
    // Every folder above as well, as for --save and the endpoint: a user
    // who may change one could swap in a history of their own.
    const std::string why = unsafe_directory_reason(directory.string());
    if (!why.empty()) {
        error = "the directory " + directory.string() + " is not safe: " + why;
        return false;
    }
    return true;
}

// What a reader opens must sit where only root, its user or the listener's
// user could have put it, and be a regular file of theirs.
}  // namespace

bool check_store_place_to_read(const std::string& path, std::string& error)
{
    const fs::path p(path);
    const fs::path directory = p.has_parent_path() ? p.parent_path() : fs::path(".");
    const std::string why = unsafe_directory_reason(directory.string());
    if (!why.empty()) {
        error = "the directory " + directory.string() + " is not safe: " + why;
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " is not a regular file (a link or a device is never used)";
        return false;
    }
    if (!is_trusted_owner(st.st_uid)) {
        error = path + " belongs to uid " + std::to_string(st.st_uid) +
                ", not to root, this user or the listener's user platewise";
        return false;
    }
    return true;
}

// The live files are the writer's alone: whoever may read them may also
// take SQLite's shared locks on them (the WAL index's above all) and so
// make every write fail. Others read through the page or its /api/.
namespace {

void keep_to_owner(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
        ::fchmod(fd, st.st_mode & 0700);
    }
    ::close(fd);
}

}  // namespace

bool prepare_store_file(const std::string& path, bool& created, std::string& error)
{
    const fs::path p(path);
    const fs::path directory = p.has_parent_path() ? p.parent_path() : fs::path(".");
    if (!check_directory(directory, error)) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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
    keep_to_owner(path);
    keep_to_owner(path + "-wal");
    keep_to_owner(path + "-shm");
    created = false;
    return true;
}

bool has_sqlite_header(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    char head[16] = {};
    const bool sqlite = ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
                        std::memcmp(head, "SQLite format 3", sizeof head) == 0;
    ::close(fd);
    return sqlite;
}

bool store_file_identity(const std::string& path, std::uint64_t& device, std::uint64_t& inode)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    device = static_cast<std::uint64_t>(st.st_dev);
    inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

void make_store_directory(const std::string& directory)
{
    ::mkdir(directory.c_str(), 0750);
}

std::string store_lock_holders(const std::string& path)
{
    // /proc/locks: "1: POSIX  ADVISORY  WRITE 1234 08:01:5678 0 EOF", the
    // device's major and minor in hex, then the inode; "->" marks a waiter.
    std::set<std::string> files;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        if (::stat((path + suffix).c_str(), &st) == 0) {
            char id[64];
            std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                          static_cast<unsigned long long>(st.st_ino));
            files.insert(id);
        }
    }
    std::ifstream locks("/proc/locks");
    std::set<long> pids;
    std::string line;
    while (!files.empty() && std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(fields >> number >> kind) || kind == "->" || !(fields >> mode >> access >> pid >> file)) {
            continue;
        }
        if (files.count(file) != 0 && pid != static_cast<long>(::getpid())) {
            pids.insert(pid);
        }
    }
    std::string out;
    for (const long pid : pids) {
        out += out.empty() ? "" : ", ";
        if (pid <= 0) {
            out += "a process (a lock of an open file, which names none)";
            continue;
        }
        const std::string proc = "/proc/" + std::to_string(pid);
        std::string name;
        std::getline(std::ifstream(proc + "/comm"), name);
        struct stat st {};
        out += "process " + std::to_string(pid) + " (" + (name.empty() ? "?" : smart::sanitize_text(name));
        out += ::stat(proc.c_str(), &st) == 0 ? ", uid " + std::to_string(st.st_uid) + ")" : ")";
    }
    return out;
}

}  // namespace platewise::history
