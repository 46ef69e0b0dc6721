// Replacing the metrics text file atomically.
#include "metrics/metrics_textfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace platewise::metrics {

#if defined(_WIN32)

bool write_textfile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temporary;
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        error = "cannot rename " + temporary + " to " + path + ": " + ec.message();
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

#else

namespace {

std::string errno_text(const std::string& what, int number)
{
    return what + ": " + std::strerror(number);
}

}  // namespace

bool write_textfile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno_text("cannot create " + temporary, errno);
        return false;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = errno_text("cannot write " + temporary, n < 0 ? errno : EIO);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    // EINVAL: the file system cannot sync such a file; the rename still counts.
    const int synced = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (synced != 0 || closed != 0) {
        error = errno_text("cannot write " + temporary, synced != 0 ? synced : closed);
        ::unlink(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno_text("cannot rename " + temporary + " to " + path, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

#endif

}  // namespace platewise::metrics
