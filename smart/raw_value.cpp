// Attribute raw values: extracting the number by byte layout, and rendering
// it as text in one of the raw styles.
#include "smart.h"

namespace smart {

namespace {

// The layout used when a definition gives none, chosen by the style code as
// stored (before the per-id default, whose styles all take "543210").
const char* default_layout(std::int32_t raw_style) noexcept {
    switch (raw_style) {
    case WideDecimal:
    case HexSixteen:
        return "543210wv";
    case SplitAt32:
    case HoursAndMillis:
        return "r543210";
    default:
        return "543210";
    }
}

std::uint8_t layout_byte(const AttributeEntry& entry, char c) noexcept {
    switch (c) {
    case '0': case '1': case '2': case '3': case '4': case '5':
        return entry.raw_bytes[c - '0'];
    case 'r':
        return entry.reserved;
    case 'v':
        return entry.value;
    case 'w':
        return entry.worst;
    default:
        return 0;  // unknown letters still take their 8 bits
    }
}

using ull = unsigned long long;

// The reading in raw[0] with a minimum and maximum when exactly two of the
// five upper bytes are nonzero and bracket the reading sensibly; otherwise
// all six bytes.
std::string render_temperature(const std::uint8_t (&raw)[6]) {
    const int t = raw[0];
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;
    int count = 0;
    for (int i = 1; i <= 5; ++i) {
        const std::uint8_t b = raw[i];
        if (b == 0) {
            continue;
        }
        if (count == 0) {
            lo = b;
        } else if (count == 1) {
            if (b >= lo) {
                hi = b;
            } else {
                hi = lo;
                lo = b;
            }
        }
        ++count;
    }
    if (count == 0) {
        return format_text("%d", t);
    }
    if (count == 2 && lo > 0 && lo <= t && t <= hi && hi < 128) {
        return format_text("%d (Min/Max %d/%d)", t, lo, hi);
    }
    return format_text("%d (%d %d %d %d %d)", t, raw[5], raw[4], raw[3], raw[2], raw[1]);
}

}  // namespace

std::uint64_t extract_raw_value(const AttributeEntry& entry,
                                const AttributeDefinitionTable& table) noexcept {
    const AttributeDefinition& def = table.definition_for(entry.id);
    const char* layout = def.byte_layout;
    if (layout[0] == '\0') {
        layout = default_layout(def.raw_style);
    }
    std::uint64_t v = 0;
    // The field holds 12 characters; a missing terminator ends at the field.
    for (std::size_t i = 0; i < sizeof def.byte_layout && layout[i] != '\0'; ++i) {
        v = (v << 8) | layout_byte(entry, layout[i]);
    }
    return v;
}

std::string render_raw_value(const AttributeEntry& entry, const AttributeDefinitionTable& table) {
    const std::uint64_t v = extract_raw_value(entry, table);
    std::uint8_t raw[6];
    for (int i = 0; i < 6; ++i) {
        raw[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    unsigned word[3];
    for (int k = 0; k < 3; ++k) {
        word[k] = raw[2 * k] + 256u * raw[2 * k + 1];
    }

    std::int32_t style = table.definition_for(entry.id).raw_style;
    if (style == ById) {
        style = default_raw_style(entry.id);
    }

    switch (style) {
    case ByteList:
        return format_text("%d %d %d %d %d %d", raw[5], raw[4], raw[3], raw[2], raw[1], raw[0]);
    case WordList:
        return format_text("%u %u %u", word[2], word[1], word[0]);
    case Decimal:
    case WideDecimal:
        return format_text("%llu", static_cast<ull>(v));
    case HexTwelve:
        return format_text("0x%012llx", static_cast<ull>(v));
    case HexSixteen:
        return format_text("0x%016llx", static_cast<ull>(v));
    case CountAndPair: {
        std::string text = format_text("%u", word[0]);
        if (word[1] != 0 || word[2] != 0) {
            text += format_text(" (%u, %u)", word[2], word[1]);
        }
        return text;
    }
    case CountAndAverage: {
        std::string text = format_text("%u", word[0]);
        if (word[1] != 0) {
            text += format_text(" (Average %u)", word[1]);
        }
        return text;
    }
    case SplitAt24:
        return format_text("%u/%u", static_cast<unsigned>((v >> 24) & 0xFFFFFFFFu),
                           static_cast<unsigned>(v & 0xFFFFFFu));
    case SplitAt32:
        return format_text("%u/%u", static_cast<unsigned>(v >> 32),
                           static_cast<unsigned>(v & 0xFFFFFFFFu));
    case SecondsClock: {
        const std::uint64_t h = v / 3600;
        return format_text("%lluh+%02llum+%02llus", static_cast<ull>(h),
                           static_cast<ull>((v - 3600 * h) / 60), static_cast<ull>(v % 60));
    }
    case MinutesClock: {
        const std::uint32_t m = word[1] * 65536u + word[0];
        std::string text = format_text("%lluh+%02llum", static_cast<ull>(m / 60),
                                       static_cast<ull>(m % 60));
        if (word[2] != 0) {
            text += format_text(" (%u)", word[2]);
        }
        return text;
    }
    case HalfMinutesClock: {
        const std::uint64_t h = v / 120;
        return format_text("%lluh+%02llum", static_cast<ull>(h),
                           static_cast<ull>((v - 120 * h) / 2));
    }
    case HoursAndMillis: {
        const auto hours = static_cast<unsigned>(v & 0xFFFFFFFFu);
        const auto ms = static_cast<unsigned>(v >> 32);
        const unsigned s = ms / 1000;
        return format_text("%uh+%02um+%02u.%03us", hours, s / 60, s % 60, ms % 1000);
    }
    case TemperatureRange:
        return render_temperature(raw);
    case Tenths:
        return format_text("%d.%d", static_cast<int>(word[0] / 10), static_cast<int>(word[0] % 10));
    default:
        return "?";
    }
}

}  // namespace smart
