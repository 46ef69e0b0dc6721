// platewise listen under systemd (Type=notify): the listener says READY=1
// once its endpoint accepts connections, so that units ordered after it
// (the service) find the socket there, and keeps a status text that
// `systemctl status` shows.
#pragma once

#include <functional>
#include <string>

#include "commands/listen_command.h"

namespace platewise {

// When $NOTIFY_SOCKET names systemd's notify socket, chains onto `options`:
// "READY=1" with "STATUS=Listening on ENDPOINT" once the endpoint accepts
// (the metrics server and the history are open by then), and after each
// good snapshot (drive or NVMe) "STATUS=COUNTS; last pass HH:MM:SS", COUNTS
// from `counts` ("32 drives: 1 FAILING NOW, 2 DEGRADING, 29 OK"), or
// without it "STATUS=Listening on ENDPOINT; N snapshots received, the last
// at TIME". Without $NOTIFY_SOCKET it leaves `options` as they are.
// Callbacks set before are still called, first.
void attach_readiness(ListenOptions& options, std::function<std::string()> counts = {});

}  // namespace platewise
