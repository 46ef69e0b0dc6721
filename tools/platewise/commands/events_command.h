// platewise events: the events the listener recorded in the history (each
// change of a drive's verdict, new drives, drives gone missing and come
// back), oldest first, as text for a person or one JSON document.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace platewise {

struct EventsOptions {
    std::string store;          // the history file
    std::int64_t since_ms = 0;  // events at or after (Unix ms)
    bool json = false;
};

// 0 after printing, 1 when the history cannot be read.
int run_events(const EventsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace platewise
