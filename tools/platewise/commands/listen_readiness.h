// platewise listen under systemd (Type=notify): the listener says READY=1
// once its endpoint accepts connections, so that units ordered after it
// (the service) find the socket there, and keeps a status text that
// `systemctl status` shows.
#pragma once

#include "commands/listen_command.h"

namespace platewise {

// When $NOTIFY_SOCKET names systemd's notify socket, chains onto `options`:
// "READY=1" with "STATUS=Listening on ENDPOINT" once the endpoint accepts
// (the metrics server and the history are open by then), and after each
// good snapshot "STATUS=Listening on ENDPOINT; N snapshots received, the
// last at TIME". Without $NOTIFY_SOCKET it leaves `options` as they are.
// Callbacks set before are still called, first.
void attach_readiness(ListenOptions& options);

}  // namespace platewise
