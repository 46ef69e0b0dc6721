// The local time as text, for what the tool prints and the names it saves.
#pragma once

#include <cstdint>
#include <string>

namespace platewise {

// The current local time formatted with strftime's `format`.
std::string local_time_text(const char* format);

// A Unix time in milliseconds as local time, formatted with `format`.
std::string local_time_text_at(std::int64_t unix_ms, const char* format);

}  // namespace platewise
