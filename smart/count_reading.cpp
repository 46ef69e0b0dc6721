// Which raw bytes of the count attributes are the count.
#include "smart.h"

namespace smart {

namespace {

// The attributes whose count is a number of sectors, so that a count above
// the drive's sectors cannot be one.
bool counts_sectors(std::uint8_t id) noexcept
{
    return id == 5 || id == 196 || id == 197 || id == 198;
}

}  // namespace

bool is_count_attribute(std::uint8_t id) noexcept
{
    switch (id) {
    case 5:
    case 187:
    case 188:
    case 196:
    case 197:
    case 198:
        return true;
    default:
        return false;
    }
}

std::uint64_t raw48_of(const AttributeEntry& entry) noexcept
{
    std::uint64_t v = 0;
    for (int b = 5; b >= 0; --b) {
        v = (v << 8) | entry.raw_bytes[b];
    }
    return v;
}

CountReading read_count(std::uint8_t id, std::uint64_t raw48, std::uint64_t sector_count) noexcept
{
    CountReading r;
    r.word = static_cast<std::uint16_t>(raw48 & 0xFFFFu);
    r.vendor = (raw48 >> 16) & 0xFFFFFFFFull;
    if (r.word >= 0xFFF0u) {
        r.state = CountState::not_a_count;
        return r;
    }
    if (counts_sectors(id) && sector_count != 0 && r.word > sector_count) {
        r.state = CountState::beyond_size;
        return r;
    }
    r.count = r.word;
    return r;
}

std::string count_reading_text(const CountReading& reading, std::uint64_t sector_count)
{
    std::string text;
    switch (reading.state) {
    case CountState::not_a_count:
        text = format_text("not a count (0x%04X)", static_cast<unsigned>(reading.word));
        break;
    case CountState::beyond_size:
        text = format_text("not a count: %u sectors on a drive of %llu",
                           static_cast<unsigned>(reading.word),
                           static_cast<unsigned long long>(sector_count));
        break;
    case CountState::count:
        text = format_text("count %u", static_cast<unsigned>(reading.count));
        break;
    }
    if (reading.vendor != 0) {
        text += format_text(", vendor data 0x%llX", static_cast<unsigned long long>(reading.vendor));
    }
    return text;
}

std::string count_phrase(std::uint8_t id, std::uint64_t count)
{
    const char* one = "count";
    const char* many = "counts";
    switch (id) {
    case 5: one = "reallocated sector"; many = "reallocated sectors"; break;
    case 187: one = "reported uncorrectable error"; many = "reported uncorrectable errors"; break;
    case 188: one = "command time-out"; many = "command time-outs"; break;
    case 196: one = "reallocation event"; many = "reallocation events"; break;
    case 197: one = "pending sector"; many = "pending sectors"; break;
    case 198: one = "offline uncorrectable sector"; many = "offline uncorrectable sectors"; break;
    default: break;
    }
    return format_text("%llu %s", static_cast<unsigned long long>(count), count == 1 ? one : many);
}

}  // namespace smart
