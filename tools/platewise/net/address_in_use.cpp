// Tells "the port is taken" apart from the other reasons a server fails.
#include "net/address_in_use.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platewise::net {

std::string address_in_use_hint(const std::string& address)
{
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 >= address.size()) {
        return "";
    }
    std::string host = address.substr(0, colon);
    const std::string port_text = address.substr(colon + 1);
    char* end = nullptr;
    const unsigned long port = std::strtoul(port_text.c_str(), &end, 10);
    if (end == port_text.c_str() || *end != '\0' || port == 0 || port > 65535) {
        return "";
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        auto* six = reinterpret_cast<sockaddr_in6*>(&storage);
        if (::inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) != 1) {
            return "";
        }
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<std::uint16_t>(port));
        family = AF_INET6;
        length = sizeof *six;
    } else {
        auto* four = reinterpret_cast<sockaddr_in*>(&storage);
        if (::inet_pton(AF_INET, host.c_str(), &four->sin_addr) != 1) {
            return "";
        }
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *four;
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return "";
    }
    // As the servers bind: SO_REUSEADDR, so a port in TIME_WAIT is not "in use".
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool in_use = ::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 &&
                        errno == EADDRINUSE;
    ::close(fd);
    if (!in_use) {
        return "";
    }
    return "the address " + address + " is in use: another program (or another platewise listen) "
           "already serves on port " + port_text + "; stop it, or choose another port (`ss -ltnp "
           "'sport = :" + port_text + "'` names the program)";
}

}  // namespace platewise::net
