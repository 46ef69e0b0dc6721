#include "report/local_time_text.h"

#include <ctime>

namespace platewise {

std::string local_time_text(const char* format)
{
    const std::time_t now = std::time(nullptr);
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
