// Writing a byte buffer to a file in one piece.
#include <cstdio>
#include <limits>

#include "smart.h"

namespace smart {

std::int32_t save_buffer_to_file(std::string name, const void* data, std::uint32_t length) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) {
        return -1;
    }
    // One fwrite of `length` one-byte elements; a zero length writes nothing
    // (and so never hands fwrite a null pointer).
    const std::size_t written = length == 0 ? 0 : std::fwrite(data, 1, length, file);
    std::fclose(file);  // a failing close or flush goes unnoticed by design
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(written < kMax ? written : kMax);
}

}  // namespace smart
