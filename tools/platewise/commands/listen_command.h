// platewise listen: take snapshots from the service and show them.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "report/drive_report.h"
#include "endpoint/listen_endpoint.h"
#include "cli/raw_format_option.h"

namespace platewise {

inline constexpr std::uint32_t kDefaultReadTimeoutMs = 10000;
// After a whole message, how long to wait at most for the peer to close (or
// to show that it sends too much) before the message counts as complete.
inline constexpr std::uint32_t kTailWaitMs = 1000;

struct ListenOptions {
    bool json = false;
    std::string save_directory;  // empty: do not save
    unsigned stop_after = 0;     // return after this many good snapshots; 0: never (--once: 1)
    std::vector<RawFormatOverride> overrides;
    std::string endpoint = endpoint::default_name();
    std::uint32_t socket_mode = endpoint::default_mode;
    std::uint32_t read_timeout_ms = kDefaultReadTimeoutMs;  // per connection, in total
    bool handle_signals = true;              // SIGINT/SIGTERM stop the listener
    std::function<void()> on_listening;      // called once the endpoint accepts
    // Told of each good snapshot once decoded, before it is shown; may add
    // to the report (listen --history: the history's verdicts).
    std::function<void(const smart::DriveSnapshot&, SnapshotReport&)> on_decoded;
    // Told of each good snapshot after it is shown, and of each refused
    // connection after it is reported (listen --metrics and --textfile).
    std::function<void(const SnapshotReport&)> on_snapshot;
    std::function<void()> on_refused;
};

struct ListenSummary {
    unsigned good = 0;      // snapshots decoded and printed
    unsigned rejected = 0;  // connections reported as short, long, malformed, ...
};

// Creates the endpoint and serves one connection after another until a stop
// request (or `stop_after` good snapshots). Each good snapshot is
// printed on `out` (text, or one JSON line); each bad connection is reported
// on `err` and the listener carries on. Removes the endpoint when it ends.
// 0 after a clean stop, 1 when the endpoint could not be created or the
// output could not be written.
int run_listen(const ListenOptions& options, std::ostream& out, std::ostream& err,
               ListenSummary* summary = nullptr);

}  // namespace platewise
