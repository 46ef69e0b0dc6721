// Identify Controller (CNS 01h) and Identify Namespace (CNS 00h) data.
#include "nvme.h"

namespace smart::nvme {

namespace {

std::uint64_t le(std::span<const std::uint8_t> data, std::size_t at, std::size_t bytes) noexcept
{
    std::uint64_t value = 0;
    for (std::size_t i = bytes; i-- > 0;) {
        value = value << 8 | data[at + i];
    }
    return value;
}

bool is_blank(std::uint8_t c) noexcept
{
    return c == ' ' || c == '\0';
}

// An ASCII field: first character first, padded with spaces (NULs seen too).
std::string ascii_field(IdentifyView data, std::size_t first, std::size_t bytes)
{
    std::size_t begin = first;
    std::size_t end = first + bytes;
    while (begin < end && is_blank(data[begin])) {
        ++begin;
    }
    while (end > begin && is_blank(data[end - 1])) {
        --end;
    }
    return std::string(reinterpret_cast<const char*>(data.data()) + begin, end - begin);
}

}  // namespace

ControllerIdentity decode_identify_controller(IdentifyView data)
{
    ControllerIdentity c;
    c.vendor_id = static_cast<std::uint16_t>(le(data, 0, 2));
    c.serial = ascii_field(data, 4, 20);
    c.model = ascii_field(data, 24, 40);
    c.firmware = ascii_field(data, 64, 8);
    c.warning_temp_kelvin = static_cast<std::uint16_t>(le(data, 266, 2));
    c.critical_temp_kelvin = static_cast<std::uint16_t>(le(data, 268, 2));
    return c;
}

NamespaceGeometry decode_identify_namespace(IdentifyView data) noexcept
{
    constexpr std::size_t kFormatTable = 128;  // LBA Format 0; 4 bytes each, up to 64
    constexpr unsigned kMaxFormats = 64;
    NamespaceGeometry g;
    g.size_blocks = le(data, 0, 8);
    g.capacity_blocks = le(data, 8, 8);
    g.used_blocks = le(data, 16, 8);
    g.format_count = data[25] + 1u;
    const std::uint8_t flbas = data[26];
    g.format_index = flbas & 0x0Fu;
    if (g.format_count > 16) {
        // More than 16 formats: FLBAS bits 6:5 are the index's upper bits.
        g.format_index |= ((flbas >> 5) & 0x03u) << 4;
    }
    if (g.format_index >= g.format_count || g.format_index >= kMaxFormats) {
        return g;
    }
    const std::size_t entry = kFormatTable + 4 * g.format_index;
    g.lba_shift = data[entry + 2];  // LBADS: bits 23:16 of the entry
    if (g.lba_shift < kMinLbaShift || g.lba_shift > kMaxLbaShift) {
        return g;
    }
    g.lba_valid = true;
    g.lba_bytes = 1u << g.lba_shift;
    g.capacity_bytes = static_cast<u128>(g.size_blocks) * g.lba_bytes;
    return g;
}

}  // namespace smart::nvme
