// An event: a drive's verdict changed, or the drive appeared, went missing
// or came back. The listener makes one for each such change (never one per
// pass), records it in the history when there is one, and hands it to the
// channels that tell a person.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platewise::events {

struct DriveEvent {
    std::int64_t id = 0;        // the history's id; 0 when not recorded
    std::int64_t time_ms = 0;   // Unix time in milliseconds
    std::int64_t drive_id = 0;  // the history's drive id; 0 when not known
    std::string kind;           // "change", "new", "missing", "back", "unreadable" (a slot,
                                // no model or serial), "reminder", "test"
    std::string model;          // sanitised
    std::string serial;         // sanitised
    int slot = -1;
    std::string verdict_before;  // "" for a new drive
    std::string verdict_after;
    std::vector<std::string> reasons;  // one line each, sanitised
    friend bool operator==(const DriveEvent&, const DriveEvent&) = default;
};

}  // namespace platewise::events
