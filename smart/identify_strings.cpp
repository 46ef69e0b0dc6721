// IDENTIFY DEVICE data: little-endian words, and the ATA strings stored two
// characters per word with the first character in the high byte.
#include "smart.h"

namespace smart {

namespace {

constexpr std::size_t kIdentifyWords = kSectorBytes / 2;

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\0';
}

}  // namespace

std::uint16_t identify_word(SectorView identify, std::size_t n) noexcept {
    if (n >= kIdentifyWords) {
        return 0;
    }
    return static_cast<std::uint16_t>(identify[2 * n] | (identify[2 * n + 1] << 8));
}

std::string identify_string(SectorView identify, std::size_t first_word, std::size_t last_word) {
    if (last_word >= kIdentifyWords) {
        last_word = kIdentifyWords - 1;
    }
    std::string text;
    for (std::size_t w = first_word; w <= last_word; ++w) {
        text.push_back(static_cast<char>(identify[2 * w + 1]));
        text.push_back(static_cast<char>(identify[2 * w]));
    }
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) {
        ++begin;
    }
    while (end > begin && is_blank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string identify_serial(SectorView identify) {
    return identify_string(identify, 10, 19);
}

std::string identify_firmware(SectorView identify) {
    return identify_string(identify, 23, 26);
}

std::string identify_model(SectorView identify) {
    return identify_string(identify, 27, 46);
}

}  // namespace smart
