// Deferred accept on the listening sockets of this process.
#include "net/idle_connections.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace platewise::net {

namespace {

// The local port of a listening TCP socket; -1 for any other descriptor.
int listening_port(int fd)
{
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &size) != 0 || value == 0) {
        return -1;
    }
    size = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &size) != 0 || value != SOCK_STREAM) {
        return -1;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return -1;
}

}  // namespace

int defer_accept_on_ports(const std::vector<int>& ports)
{
    if (ports.empty()) {
        return 0;
    }
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 0;
    }
    const int own = ::dirfd(folder);
    int set = 0;
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < 0 || fd == own) {
            continue;
        }
        const int port = listening_port(static_cast<int>(fd));
        if (port <= 0 || std::find(ports.begin(), ports.end(), port) == ports.end()) {
            continue;
        }
        const int seconds = kDeferAcceptSeconds;
        if (::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0) {
            ++set;
        }
    }
    ::closedir(folder);
    return set;
}

}  // namespace platewise::net
