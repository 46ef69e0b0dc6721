// systemd's notify protocol: one datagram per status change, no library.
#include "systemd_notify.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace systemd {

int notify_socket_send(const char* address, const char* state)
{
    if (address == nullptr) {
        return 0;
    }
    const std::size_t length = std::strlen(address);
    sockaddr_un target;
    std::memset(&target, 0, sizeof target);
    target.sun_family = AF_UNIX;
    // A path is sent with its terminator; an abstract name is exactly its
    // bytes after the leading NUL that stands for the '@'.
    const bool abstract = address[0] == '@';
    if ((!abstract && address[0] != '/') || length < 2 ||
        length + (abstract ? 0 : 1) > sizeof target.sun_path) {
        return -EINVAL;
    }
    std::memcpy(target.sun_path, address, length);
    if (abstract) {
        target.sun_path[0] = '\0';
    }
    const socklen_t target_size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    // A manager that stopped reading holds the service up for a second at
    // most; the status is then lost, as when no manager listens.
    timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ssize_t sent;
    do {
        sent = ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&target), target_size);
    } while (sent < 0 && errno == EINTR);
    const int result = sent < 0 ? -errno : 1;
    ::close(fd);
    return result;
}

int notify_service_manager(const char* state)
{
    return notify_socket_send(std::getenv("NOTIFY_SOCKET"), state);
}

}  // namespace systemd
