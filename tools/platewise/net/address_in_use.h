// Why a server could not start on ADDRESS:PORT, when the reason is that
// something else already listens there: the servers we use (civetweb, and
// prometheus-cpp over it) say only that they failed.
#pragma once

#include <string>

namespace platewise::net {

// "" unless a TCP socket cannot be bound to `address` (as --metrics and
// --web take it: 127.0.0.1:9945, [::1]:9945) because the address is in use;
// then a sentence that says so and what to do.
std::string address_in_use_hint(const std::string& address);

}  // namespace platewise::net
