// --raw-format ID,STYLE[,LAYOUT]: a per-run override of how one attribute's
// raw value is extracted and shown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smart.h"

namespace platewise {

struct RawFormatOverride {
    std::uint8_t id = 0;                  // 1..255
    std::int32_t raw_style = smart::ById; // any code; codes outside 0-16 render "?"
    std::string byte_layout;              // 0..11 of "012345rvw"; empty = style's default
};

// Parses "ID,STYLE[,LAYOUT]": ID a decimal 1-255; STYLE a RawStyle name
// (case-insensitive, e.g. MinutesClock) or a decimal integer code in the
// 32-bit range; LAYOUT at most 11 characters, each one of 0-5, r, v, w.
// False with the reason in `error` when the text is not valid.
bool parse_raw_format(std::string_view text, RawFormatOverride& out, std::string& error);

// The RawStyle name of a code ("MinutesClock"), or "" when the code has none.
std::string_view raw_style_name(std::int32_t code);

// The default attribute table with the overrides applied in order (a later
// override of the same id replaces an earlier one; the name is kept).
smart::AttributeDefinitionTable definition_table(const std::vector<RawFormatOverride>& overrides);

}  // namespace platewise
