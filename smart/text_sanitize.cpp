// Escaping drive text (model, serial, firmware) for display.
#include "smart.h"

namespace smart {

std::string sanitize_text(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7e && byte != '\\') {
            out.push_back(c);
        } else {
            out.push_back('\\');
            out.push_back('x');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0f]);
        }
    }
    return out;
}

}  // namespace smart
