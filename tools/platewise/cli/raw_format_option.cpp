// Parsing and applying --raw-format overrides.
#include "cli/raw_format_option.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <utility>

namespace platewise {

namespace {

constexpr std::array<std::string_view, 17> kStyleNames = {
    "ById",          "ByteList",         "WordList",       "Decimal",       "HexTwelve",
    "WideDecimal",   "HexSixteen",       "CountAndPair",   "CountAndAverage", "SplitAt24",
    "SplitAt32",     "SecondsClock",     "MinutesClock",   "HalfMinutesClock", "HoursAndMillis",
    "TemperatureRange", "Tenths",
};

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// A whole decimal integer with an optional sign, nothing else.
template <typename T>
bool parse_integer(std::string_view text, T& value)
{
    if (text.empty()) {
        return false;
    }
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (*first == '+') {
        ++first;
        if (first == last || *first == '-') {
            return false;
        }
    }
    const auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last;
}

}  // namespace

std::string_view raw_style_name(std::int32_t code)
{
    if (code < 0 || code >= static_cast<std::int32_t>(kStyleNames.size())) {
        return {};
    }
    return kStyleNames[static_cast<std::size_t>(code)];
}

bool parse_raw_format(std::string_view text, RawFormatOverride& out, std::string& error)
{
    const std::size_t first_comma = text.find(',');
    if (first_comma == std::string_view::npos) {
        error = "expected ID,STYLE[,LAYOUT]";
        return false;
    }
    const std::string_view id_text = text.substr(0, first_comma);
    std::string_view rest = text.substr(first_comma + 1);
    const std::size_t second_comma = rest.find(',');
    const std::string_view style_text = rest.substr(0, second_comma);
    const std::string_view layout_text =
        second_comma == std::string_view::npos ? std::string_view{} : rest.substr(second_comma + 1);

    int id = 0;
    if (!parse_integer(id_text, id) || id < 1 || id > 255) {
        error = "attribute id must be a number from 1 to 255";
        return false;
    }

    RawFormatOverride result;
    result.id = static_cast<std::uint8_t>(id);
    bool named = false;
    for (std::size_t code = 0; code < kStyleNames.size(); ++code) {
        if (equal_ignoring_case(style_text, kStyleNames[code])) {
            result.raw_style = static_cast<std::int32_t>(code);
            named = true;
            break;
        }
    }
    if (!named && !parse_integer(style_text, result.raw_style)) {
        error = "style must be a RawStyle name (ById, ByteList, ..., MinutesClock, ..., Tenths) "
                "or an integer code";
        return false;
    }

    constexpr std::size_t kMaxLayout = sizeof(smart::AttributeDefinition::byte_layout) - 1;
    if (layout_text.size() > kMaxLayout) {
        error = "byte layout has " + std::to_string(layout_text.size()) +
                " characters; at most " + std::to_string(kMaxLayout) + " are allowed";
        return false;
    }
    for (const char c : layout_text) {
        if (std::strchr("012345rvw", c) == nullptr || c == '\0') {
            error = "byte layout may only use the characters 0-5, r, v and w";
            return false;
        }
    }
    result.byte_layout = std::string(layout_text);
    out = std::move(result);
    return true;
}

smart::AttributeDefinitionTable definition_table(const std::vector<RawFormatOverride>& overrides)
{
    smart::AttributeDefinitionTable table = smart::default_attribute_table();
    for (const RawFormatOverride& o : overrides) {
        smart::AttributeDefinition& def = table.definition_for(o.id);
        def.raw_style = o.raw_style;
        std::memset(def.byte_layout, 0, sizeof def.byte_layout);
        std::memcpy(def.byte_layout, o.byte_layout.data(),
                    std::min(o.byte_layout.size(), sizeof def.byte_layout - 1));
    }
    return table;
}

}  // namespace platewise
