// Windows has no deferred accept: silent clients are ended by the servers'
// request time-out alone.
#include "net/idle_connections.h"

namespace platewise::net {

int defer_accept_on_ports(const std::vector<int>&)
{
    return 0;
}

}  // namespace platewise::net
