// platewise ack SERIAL [ID...] | ack --all [ID...]: the leading indicators
// of a drive, or of every drive of the last pass (all of them, or the ids
// given), get today's counts as their baselines and lose their latches, so
// that an old event stops making the drive DEGRADING; recorded with who
// acknowledged and when, and each baseline printed.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace platewise {

struct AckOptions {
    std::string store;
    std::string serial;
    std::string model;  // needed when two drives share the serial
    std::vector<int> ids;
    std::int64_t now_ms = 0;
    std::string who;  // e.g. "alice (uid 1000)"
    bool all = false;  // every drive of the last pass (serial and model unused)
};

// 0 after recording, 1 when the history cannot be written or has no such
// drive, 2 for an id that is not a leading indicator of the drive.
int run_ack(const AckOptions& options, std::ostream& out, std::ostream& err);

// The user running this process: "name (uid N)", with the sudo caller.
std::string current_user_text();

}  // namespace platewise
