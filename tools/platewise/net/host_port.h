// Splitting a server address, "HOST:PORT" (HOST an IPv4 address or a
// bracketed IPv6 one), at its last colon, as the listener's --metrics and
// --web take it and the header gate binds it.
#pragma once

#include <cstddef>
#include <string>

namespace platewise::net {

// The host before the last colon (brackets kept) and the port after it,
// 0-65535 in at most five digits; false when the text has no such port
// or no host.
inline bool split_host_port(const std::string& address, std::string& host, unsigned& port)
{
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size() ||
        address.size() - colon - 1 > 5) {
        return false;
    }
    port = 0;
    for (std::size_t i = colon + 1; i < address.size(); ++i) {
        if (address[i] < '0' || address[i] > '9') {
            return false;
        }
        port = port * 10 + static_cast<unsigned>(address[i] - '0');
    }
    host = address.substr(0, colon);
    return port <= 65535;
}

}  // namespace platewise::net
