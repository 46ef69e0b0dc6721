// Keeping idle TCP clients away from the servers' workers. civetweb (ours
// and prometheus-cpp's) hands every accepted connection to a worker thread,
// which then waits for its request; clients that connect and say nothing
// would hold every worker in turn. On Linux the listening sockets are set
// to TCP_DEFER_ACCEPT: the kernel completes accept() only once the client
// has sent its first bytes, or when kDeferAcceptSeconds have passed (it
// then resends its SYN-ACK, the client answers, and the connection is
// handed over all the same, to be ended by the short request time-out).
// So a silent connection keeps no worker for that long, and one that stays
// silent longer costs a worker for the time-out once. Elsewhere this does
// nothing (the request time-out alone ends them).
#pragma once

#include <vector>

namespace platewise::net {

// How long the kernel keeps a silent connection away from accept() before
// it hands it over all the same.
inline constexpr int kDeferAcceptSeconds = 120;

// The servers' listen() backlog. Deferred connections wait in the kernel's
// queue of half-open ones, which the backlog bounds: past it, silent
// clients would be handed to accept() at once after all.
inline constexpr int kListenBacklog = 1024;

// Sets TCP_DEFER_ACCEPT on this process's listening TCP sockets bound to
// any of `ports` (the servers do not hand out their sockets, so they are
// found by port). The number of sockets set; 0 where the platform has no
// such option. The header gate sets it on its own sockets; this is for
// the servers' loopback ports behind it, which local clients can reach
// directly.
int defer_accept_on_ports(const std::vector<int>& ports);

}  // namespace platewise::net
