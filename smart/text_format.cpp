// Bounded printf into a string: a 512-byte buffer, at most 511 characters.
#include <cstdio>

#include "smart.h"

namespace smart {

namespace {
constexpr std::size_t kTextBufferBytes = 512;
}

std::string vformat_text(const char* format, std::va_list args) {
    char buf[kTextBufferBytes];
    buf[0] = '\0';
    if (std::vsnprintf(buf, sizeof buf, format, args) < 0) {
        buf[0] = '\0';  // encoding error: the buffer's contents are not defined
    }
    buf[kTextBufferBytes - 1] = '\0';
    return std::string(buf);
}

std::string format_text(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = vformat_text(format, args);
    va_end(args);
    return text;
}

}  // namespace smart
