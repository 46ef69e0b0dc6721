// Arbitrary bytes decoded as a snapshot and as a drive record, to text and
// to JSON, under a random --raw-format override: nothing may crash, the text
// must stay printable, and the JSON must parse back.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decode_checks.h"
#include "cli/raw_format_option.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 20) {
        return 0;
    }
    // Header: shape, override id, style code (4 bytes), layout (12 bytes).
    const std::uint8_t shape = data[0];
    platewise::RawFormatOverride override_one{};
    override_one.id = data[1];
    std::int32_t style;
    std::memcpy(&style, data + 2, 4);
    override_one.raw_style = style;
    char layout[12];
    std::memcpy(layout, data + 6, 11);
    layout[11] = '\0';
    override_one.byte_layout = layout;
    data += 17;
    size -= 17;

    // The body, grown to a whole snapshot or record by repeating it, or
    // taken as it is (any size).
    std::string body;
    const std::size_t wanted = shape % 3 == 0 ? 49185 : (shape % 3 == 1 ? 1537 : size);
    body.reserve(wanted);
    while (body.size() < wanted) {
        body.append(reinterpret_cast<const char*>(data), std::min(size, wanted - body.size()));
    }

    platewise::DecodeOptions options;
    if (shape & 0x10) {
        options.overrides.push_back(override_one);
    }
    fuzz::decode_and_check(options, body, false);
    return 0;
}
