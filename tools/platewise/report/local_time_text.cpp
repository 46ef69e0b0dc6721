#include "report/local_time_text.h"

#include <ctime>

namespace platewise {

std::string local_time_text(const char* format)
{
    return local_time_text_at(static_cast<std::int64_t>(std::time(nullptr)) * 1000, format);
}

std::string local_time_text_at(std::int64_t unix_ms, const char* format)
{
    const std::time_t now = static_cast<std::time_t>(unix_ms / 1000);
    std::tm parts{};
#if defined(_WIN32)
    localtime_s(&parts, &now);
#else
    localtime_r(&now, &parts);
#endif
    char text[64];
    if (std::strftime(text, sizeof text, format, &parts) == 0) {
        return {};
    }
    return text;
}

}  // namespace platewise
