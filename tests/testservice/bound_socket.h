// A Unix-domain socket bound at a path: a test's stand-in for a listener's
// endpoint or for systemd's notify socket.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

// The bound descriptor of `type` (SOCK_STREAM, SOCK_DGRAM), or -1.
inline int bound_socket(const std::string& path, int type)
{
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
