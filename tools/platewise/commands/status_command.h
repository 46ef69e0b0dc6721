// platewise status: every drive the history knows, with its verdict and
// reasons, temperature, power-on time, when it was last seen and what
// changed in the last 24 hours. Reads the history only (read-only), so it
// needs neither a running listener nor root when the file is readable.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace platewise {

namespace history {
struct ViewReplays;
}

struct StatusOptions {
    std::string store;  // the history file
    bool json = false;
    bool brief = false;  // one line for a checker (verdict_summary.h)
    std::int64_t missing_after_ms = 10 * 60 * 1000;
    std::int64_t now_ms = 0;  // the time to judge at (Unix ms)
    bool as_of = false;       // the store as it was at now_ms (status --at)
    // Replays kept between runs by a server that answers status again and
    // again (history/view_replay.h); null: each run replays every reading.
    history::ViewReplays* replays = nullptr;
};

// The monitoring-plugins status: 0 when every drive is OK (or none is
// recorded yet), 1 when any is DEGRADING, DRIVE MISSING, NO SMART DATA or
// FAILED IN THE PAST, 2 when any is FAILING NOW, 3 when the history cannot
// be read.
int run_status(const StatusOptions& options, std::ostream& out, std::ostream& err);

}  // namespace platewise
