// platewise listen: take snapshots from the service and show them.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "events/drive_event.h"
#include "report/drive_report.h"
#include "report/nvme_report.h"
#include "files/snapshot_store.h"
#include "endpoint/listen_endpoint.h"
#include "cli/raw_format_option.h"

namespace platewise {

inline constexpr std::uint32_t kDefaultReadTimeoutMs = 10000;
// After a whole message, how long to wait at most for the peer to close (or
// to show that it sends too much) before the message counts as complete.
inline constexpr std::uint32_t kTailWaitMs = 1000;
// Connections read at the same time, each on its own thread with its own
// time-out. When all are busy, further peers wait in the socket's backlog.
inline constexpr unsigned kMaxConnections = 16;

struct ListenOptions {
    bool json = false;
    std::string save_directory;  // empty: do not save
    Retention save_retention;    // what --save keeps (default: everything)
    std::uint32_t file_mode = kDefaultFileMode;  // of saved snapshots (and the metrics text)
    unsigned stop_after = 0;     // return after this many good drive snapshots; 0: never (--once: 1)
    std::vector<RawFormatOverride> overrides;
    std::string endpoint = endpoint::default_name();
    // Where NVMe snapshots arrive; empty: beside `endpoint`
    // (nvme_endpoint_beside).
    std::string nvme_endpoint;
    std::uint32_t socket_mode = endpoint::default_mode;
    std::uint32_t read_timeout_ms = kDefaultReadTimeoutMs;  // per connection, in total
    endpoint::PeerPolicy peers;              // who may deliver (listen --peer-uid)
    bool handle_signals = true;              // SIGINT/SIGTERM stop the listener
    bool report_saves = true;                // a line on `err` for every snapshot saved
    std::function<void()> on_listening;      // called once the endpoint accepts
    // Told of each good snapshot once decoded, before it is shown; may add
    // to the report (listen --history: the history's verdicts).
    std::function<void(const smart::DriveSnapshot&, SnapshotReport&)> on_decoded;
    // Told of each good snapshot after it is shown, and of each refused
    // connection after it is reported (listen --metrics and --textfile).
    std::function<void(const SnapshotReport&)> on_snapshot;
    // Told of each good NVMe snapshot after it is shown.
    std::function<void(const NvmeSnapshotReport&)> on_nvme_snapshot;
    std::function<void()> on_refused;
    // Told, at most once a second, how many peers were refused before
    // anything was read from them (counted, never a publish of its own).
    std::function<void(std::uint64_t refused)> on_peers_refused;
    // Told after every pass (drive or NVMe snapshot) of the events it
    // caused, none for a steady pass, with the time of the pass.
    std::function<void(const std::vector<events::DriveEvent>&, std::int64_t now_ms)> on_events;
};

struct ListenSummary {
    unsigned good = 0;      // snapshots decoded and printed
    unsigned nvme = 0;      // NVMe snapshots decoded and printed
    unsigned rejected = 0;  // connections reported as refused, short, long, malformed, ...
};

// The NVMe endpoint that goes with `endpoint`: in the same folder (or pipe
// namespace), a final "Pipe" becoming "NvmePipe" (/run/platewise/PlatewisePipe
// gives /run/platewise/PlatewiseNvmePipe, \\.\pipe\PlatewisePipe gives
// \\.\pipe\PlatewiseNvmePipe), any other name taking "-nvme" at its end.
std::string nvme_endpoint_beside(const std::string& endpoint);

// Creates both endpoints (drive snapshots on `endpoint`, NVMe snapshots on
// `nvme_endpoint`, each exactly its own size and checked alike) and serves
// connections until a stop request (or `stop_after` good drive snapshots:
// NVMe snapshots are shown as they come but do not count): up to kMaxConnections at once, so that a slow
// or silent peer holds up nobody else. A peer that `peers` does not admit is
// closed unread. Each good snapshot is printed on `out` (text, or one JSON
// line); each bad connection is reported on `err` and the listener carries
// on. Removes the endpoint when it ends.
// 0 after a clean stop, 1 when the save directory or the endpoint could not
// be used or the output could not be written.
int run_listen(const ListenOptions& options, std::ostream& out, std::ostream& err,
               ListenSummary* summary = nullptr);

}  // namespace platewise
