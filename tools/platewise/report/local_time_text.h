// The local time as text, for what the tool prints and the names it saves.
#pragma once

#include <string>

namespace platewise {

// The current local time formatted with strftime's `format`.
std::string local_time_text(const char* format);

}  // namespace platewise
