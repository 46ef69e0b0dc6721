// Reading a saved snapshot without following a link (see snapshot_file.h).
#include "files/snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "nvme.h"
#include "smart.h"

namespace platewise {

bool read_snapshot_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = errno == ELOOP ? std::string("a symbolic link; never followed")
                             : "cannot open: " + std::string(std::strerror(errno));
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        why = "cannot read: " + std::string(std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ok = false;
    } else if (static_cast<std::uint64_t>(st.st_size) >
               std::max<std::uint64_t>(smart::kDriveSnapshotBytes, smart::nvme::kSnapshotBytes)) {
        why = "not a snapshot (" + std::to_string(st.st_size) + " bytes, more than a snapshot holds)";
        ok = false;
    }
    if (ok) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
    }
    ::close(fd);
    return ok;
}

}  // namespace platewise
