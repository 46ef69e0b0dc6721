// The Host check of every HTTP answer the listener serves (the status page
// and the metrics, on either port): a page elsewhere can rebind a DNS name
// of its own to 127.0.0.1 and have the browser read this server under that
// name, but it cannot make the browser send an IP literal or "localhost"
// as the Host. Header-only: the metrics library uses it without the page.
#pragma once

#include <string>

namespace platewise::web {

// An IP address (dotted IPv4, or IPv6 in brackets) or localhost, with or
// without a port.
inline bool host_is_local_name(const std::string& host)
{
    std::string name = host;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string::npos) {
            return false;
        }
        const std::string inside = name.substr(1, close - 1);
        const std::string rest = name.substr(close + 1);
        return !inside.empty() && inside.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos &&
               (rest.empty() || (rest[0] == ':' && rest.find_first_not_of("0123456789", 1) == std::string::npos));
    }
    if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
        if (name.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
            return false;
        }
        name.resize(colon);
    }
    if (name == "localhost") {
        return true;
    }
    int dots = 0;
    for (const char c : name) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return dots == 3 && !name.empty();
}

// The answer to a request whose Host is not local.
inline constexpr int kForeignHostStatus = 421;
inline constexpr const char* kForeignHostMessage =
    "Open this page by address (such as 127.0.0.1) or as localhost.";

}  // namespace platewise::web
