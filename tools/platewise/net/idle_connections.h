// Keeping idle TCP clients away from the servers' workers. civetweb (ours
// and prometheus-cpp's) hands every accepted connection to a worker thread,
// which then waits for its request; clients that connect and say nothing
// would hold every worker in turn. On Linux the listening sockets are set
// to TCP_DEFER_ACCEPT: the kernel completes accept() only once the client
// has sent its first bytes, so a silent connection never reaches a worker.
// Elsewhere this does nothing (the short request time-out still ends them).
#pragma once

#include <vector>

namespace platewise::net {

// How long the kernel keeps a silent connection away from accept() before
// it hands it over (or drops it) all the same.
inline constexpr int kDeferAcceptSeconds = 30;

// The servers' listen() backlog. Deferred connections wait in the kernel's
// queue of half-open ones, which the backlog bounds: past it, silent
// clients would be handed to accept() at once after all.
inline constexpr int kListenBacklog = 1024;

// Sets TCP_DEFER_ACCEPT on this process's listening TCP sockets bound to
// any of `ports` (the servers do not hand out their sockets, so they are
// found by port). The number of sockets set; 0 where the platform has no
// such option.
int defer_accept_on_ports(const std::vector<int>& ports);

}  // namespace platewise::net
