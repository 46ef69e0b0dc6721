// Tells "the port is taken" apart from the other reasons a server fails,
// with Winsock.
#include <winsock2.h>
// after winsock2.h, which it needs
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdlib>

#include "net/address_in_use.h"

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
    WSADATA wsa{};
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return "";
    }
    sockaddr_storage storage{};
    int length = 0;
    int family = AF_INET;
    bool parsed = false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        auto* six = reinterpret_cast<sockaddr_in6*>(&storage);
        parsed = inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) == 1;
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<std::uint16_t>(port));
        family = AF_INET6;
        length = sizeof *six;
    } else {
        auto* four = reinterpret_cast<sockaddr_in*>(&storage);
        parsed = inet_pton(AF_INET, host.c_str(), &four->sin_addr) == 1;
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *four;
    }
    bool in_use = false;
    if (parsed) {
        const SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
        if (s != INVALID_SOCKET) {
            // Without SO_REUSEADDR (on Windows it would let the bind succeed
            // over a listening socket); SO_EXCLUSIVEADDRUSE is not needed.
            in_use = bind(s, reinterpret_cast<const sockaddr*>(&storage), length) != 0 &&
                     WSAGetLastError() == WSAEADDRINUSE;
            closesocket(s);
        }
    }
    WSACleanup();
    if (!in_use) {
        return "";
    }
    return "the address " + address + " is in use: another program (or another platewise listen) "
           "already serves on port " + port_text + "; stop it, or choose another port (`netstat -ano "
           "-p tcp | findstr :" + port_text + "` gives the program's process id)";
}

}  // namespace platewise::net
