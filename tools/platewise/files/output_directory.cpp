// Checked output directories and files created safely inside them.
#include "files/output_directory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "files/path_text.h"
#include "smart.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platewise {

namespace {

std::atomic<std::uint64_t> g_temporary_counter{0};

// A temporary name nobody can guess in advance: the final name, a counter
// and random bits, hidden and ending in .tmp (node_exporter reads only
// *.prom, and --save's retention only snapshot-*.bin).
std::string temporary_name(const std::string& name)
{
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
               static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    std::mt19937_64 mix(seed + g_temporary_counter.fetch_add(1));
    return "." + name + smart::format_text(".%016llx.tmp", static_cast<unsigned long long>(mix()));
}

bool plain_name(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

std::string shown(const std::string& path)
{
    return path_text(path);
}

}  // namespace

bool valid_file_mode(std::uint32_t mode)
{
    return (mode & ~0777u) == 0 && (mode & 0007u) == 0 && (mode & 0111u) == 0 && (mode & 0400u) != 0;
}

#if defined(_WIN32)

// On Windows the directory's access list is its administrator's business;
// what is refused here is a link (a reparse point) in place of the
// directory.
bool open_output_directory(const std::string& path, std::uint32_t file_mode, OutputDirectory& dir,
                           std::string& error)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        error = shown(path) + ": no such directory";
        return false;
    }
    if (std::filesystem::is_symlink(status)) {
        error = shown(path) + " is a symbolic link; give the directory itself";
        return false;
    }
    if (!std::filesystem::is_directory(status)) {
        error = shown(path) + " is not a directory";
        return false;
    }
    dir.path = path;
    dir.file_mode = file_mode;
    dir.fd = 0;
    return true;
}

void close_output_directory(OutputDirectory& dir)
{
    dir.fd = -1;
}

std::string unsafe_directory_reason(const std::string& /*path*/)
{
    return {};
}

bool write_file_in(const OutputDirectory& dir, const std::string& name,
                   std::span<const std::uint8_t> bytes, Placement placement, std::string& error,
                   bool* taken)
{
    if (!plain_name(name)) {
        error = "not a file name: " + shown(name);
        return false;
    }
    const std::filesystem::path folder(dir.path);
    std::filesystem::path temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = folder / temporary_name(name);
        file = CreateFileW(temporary.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot create a file in " + shown(dir.path) + ": error " +
                std::to_string(GetLastError());
        return false;
    }
    std::size_t done = 0;
    bool written = true;
    while (done < bytes.size() && written) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        written = WriteFile(file, bytes.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    written = written && FlushFileBuffers(file);
    CloseHandle(file);
    if (!written) {
        error = "cannot write " + shown(temporary.string());
        DeleteFileW(temporary.wstring().c_str());
        return false;
    }
    const std::filesystem::path final_path = folder / name;
    const DWORD flags = MOVEFILE_WRITE_THROUGH |
                        (placement == Placement::replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(temporary.wstring().c_str(), final_path.wstring().c_str(), flags)) {
        const DWORD code = GetLastError();
        if (taken != nullptr) {
            *taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
        }
        error = "cannot rename " + shown(temporary.string()) + " to " + shown(final_path.string()) +
                ": error " + std::to_string(code);
        DeleteFileW(temporary.wstring().c_str());
        return false;
    }
    return true;
}

#else

namespace {

std::string errno_text(int number)
{
    return std::strerror(number);
}

std::string mode_text(mode_t mode)
{
    return smart::format_text("%04o", static_cast<unsigned>(mode & 07777));
}

// Who besides the listener's user and root could change the directory
// `st` describes: empty when nobody; otherwise what to tell the user.
std::string other_writers(const struct stat& st, bool sticky_allowed)
{
    if (!is_trusted_owner(st.st_uid)) {
        return "it belongs to uid " + std::to_string(st.st_uid) +
               ", not to root, this user or the listener's user platewise";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(sticky_allowed && (st.st_mode & S_ISVTX) != 0)) {
        return std::string("it is writable by ") +
               ((st.st_mode & S_IWOTH) != 0 ? "everybody" : "its group") + " (mode " +
               mode_text(st.st_mode) + ")";
    }
    return {};
}

}  // namespace

bool is_trusted_owner(unsigned uid)
{
    if (uid == 0 || uid == ::geteuid()) {
        return true;
    }
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    return ::getpwnam_r("platewise", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
           found->pw_uid == uid;
}

std::string unsafe_directory_reason(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        return "cannot examine it: " + errno_text(errno);
    }
    std::string why = other_writers(st, false);
    if (!why.empty()) {
        return why;
    }
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return "cannot resolve it: " + errno_text(errno);
    }
    std::filesystem::path above = std::filesystem::path(resolved).parent_path();
    for (;;) {
        struct stat up{};
        if (::stat(above.c_str(), &up) != 0) {
            return "cannot examine the folder " + shown(above.string()) + " above it: " +
                   errno_text(errno);
        }
        why = other_writers(up, true);
        if (!why.empty()) {
            return "the folder above it, " + shown(above.string()) + ", is unsafe: " + why;
        }
        if (above == above.parent_path()) {
            return {};
        }
        above = above.parent_path();
    }
}

bool open_output_directory(const std::string& path, std::uint32_t file_mode, OutputDirectory& dir,
                           std::string& error)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();  // "dir/" would follow a link named dir
    }
    struct stat st{};
    if (trimmed.empty() || ::lstat(trimmed.c_str(), &st) != 0) {
        error = shown(path) + ": " + errno_text(trimmed.empty() ? ENOENT : errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        error = shown(path) + " is a symbolic link; refusing it (give the directory itself)";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = shown(path) + " is not a directory";
        return false;
    }
    const int fd = ::open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = "cannot open " + shown(path) + ": " + errno_text(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    std::string why = other_writers(st, false);
    if (why.empty()) {
        why = unsafe_directory_reason(trimmed);
    }
    if (!why.empty()) {
        error = "refusing to write into " + shown(path) + ": " + why +
                "; use a directory only root or the listener's user can change";
        ::close(fd);
        return false;
    }
    dir.path = trimmed;
    dir.file_mode = file_mode;
    dir.fd = fd;
    return true;
}

void close_output_directory(OutputDirectory& dir)
{
    if (dir.fd >= 0) {
        ::close(dir.fd);
        dir.fd = -1;
    }
}

bool write_file_in(const OutputDirectory& dir, const std::string& name,
                   std::span<const std::uint8_t> bytes, Placement placement, std::string& error,
                   bool* taken)
{
    if (taken != nullptr) {
        *taken = false;
    }
    if (!plain_name(name)) {
        error = "not a file name: " + shown(name);
        return false;
    }
    if (dir.fd < 0) {
        error = "the output directory is not open";
        return false;
    }
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporary_name(name);
        fd = ::openat(dir.fd, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      static_cast<mode_t>(dir.file_mode & 0600));
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    const std::string where = dir.path + "/" + temporary;
    if (fd < 0) {
        error = "cannot create " + shown(where) + ": " + errno_text(errno);
        return false;
    }
    // The mode exactly, whatever the umask took away.
    int failure = ::fchmod(fd, static_cast<mode_t>(dir.file_mode)) == 0 ? 0 : errno;
    std::size_t done = 0;
    while (failure == 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failure = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // EINVAL: the file system cannot sync such a file; the rename still counts.
    if (failure == 0 && ::fsync(fd) != 0 && errno != EINVAL) {
        failure = errno;
    }
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure != 0) {
        error = "cannot write " + shown(where) + ": " + errno_text(failure);
        ::unlinkat(dir.fd, temporary.c_str(), 0);
        return false;
    }
    int renamed = 0;
    if (placement == Placement::replace) {
        renamed = ::renameat(dir.fd, temporary.c_str(), dir.fd, name.c_str());
    } else {
        renamed = ::renameat2(dir.fd, temporary.c_str(), dir.fd, name.c_str(), RENAME_NOREPLACE);
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without RENAME_NOREPLACE: a hard link is just as
            // exclusive.
            renamed = ::linkat(dir.fd, temporary.c_str(), dir.fd, name.c_str(), 0);
            if (renamed == 0) {
                ::unlinkat(dir.fd, temporary.c_str(), 0);
            }
        }
    }
    if (renamed != 0) {
        const int number = errno;
        if (taken != nullptr) {
            *taken = number == EEXIST;
        }
        error = "cannot rename " + shown(where) + " to " + shown(name) + ": " + errno_text(number);
        ::unlinkat(dir.fd, temporary.c_str(), 0);
        return false;
    }
    return true;
}

#endif

}  // namespace platewise
