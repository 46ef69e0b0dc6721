// systemd's notify protocol, spoken directly: a status text such as
// "READY=1" travels as one datagram to the AF_UNIX socket named by
// $NOTIFY_SOCKET. systemd documents the protocol as stable for daemons to
// implement themselves, so neither the service nor the listener needs a
// library for it.
#pragma once

namespace systemd {

// Sends `state` as one datagram to the notify socket `address`: an absolute
// path ("/run/systemd/notify") or, with a leading '@', an abstract socket
// name. The result is that of sd_notify: 1 when sent, 0 when `address` is
// null (no manager asked for notifications), and a negative errno otherwise
// (-EINVAL for an address that is neither form or too long).
int notify_socket_send(const char* address, const char* state);

// The same, to the socket named by $NOTIFY_SOCKET.
int notify_service_manager(const char* state);

}  // namespace systemd
