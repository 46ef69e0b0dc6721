// Power-on time with its unit.
#include "smart.h"

namespace smart {

std::string power_on_text(const AttributeEntry& entry, const AttributeDefinitionTable& table)
{
    const std::uint64_t v = extract_raw_value(entry, table);
    std::int32_t style = table.definition_for(entry.id).raw_style;
    if (style == ById) {
        style = default_raw_style(entry.id);
    }
    double hours = 0;
    switch (style) {
    case MinutesClock:
        hours = static_cast<double>(v & 0xFFFFFFFFu) / 60.0;
        break;
    case SecondsClock:
        hours = static_cast<double>(v) / 3600.0;
        break;
    case HalfMinutesClock:
        hours = static_cast<double>(v) / 120.0;
        break;
    default:
        // Hours in the low 32 bits; what some makers keep above (minutes,
        // milliseconds) is not hours.
        hours = static_cast<double>(v > 0xFFFFFFFFull ? (v & 0xFFFFFFFFull) : v);
        break;
    }
    constexpr double kMostHours = 200000.0;
    const auto whole = static_cast<unsigned long long>(hours);
    if (hours > kMostHours) {
        return format_text("%llu (unit unknown: more hours than a drive lives)",
                           static_cast<unsigned long long>(v));
    }
    std::string text = format_text("%llu hour%s", whole, whole == 1 ? "" : "s");
    if (hours >= 2 * 365 * 24) {
        text += format_text(" (%.1f years)", hours / (365.25 * 24));
    } else if (hours >= 48) {
        text += format_text(" (%llu days)", static_cast<unsigned long long>(hours / 24));
    }
    return text;
}

}  // namespace smart
