// Any attribute entry under any definition: extracting and rendering its
// raw value must stay inside its buffers and always give some text.
#include <cstdint>
#include <cstring>

#include "smart.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // 12 entry bytes, 4 style bytes, 12 layout bytes (not necessarily
    // terminated).
    if (size < 12 + 4 + 12) {
        return 0;
    }
    static smart::AttributeDefinitionTable table = smart::default_attribute_table();
    smart::AttributeEntry entry;
    std::memcpy(&entry, data, sizeof entry);
    smart::AttributeDefinition& definition = table.definition_for(entry.id);
    std::int32_t style;
    std::memcpy(&style, data + 12, 4);
    definition.raw_style = style;
    std::memcpy(definition.byte_layout, data + 16, sizeof definition.byte_layout);

    const std::uint64_t value = smart::extract_raw_value(entry, table);
    const std::string text = smart::render_raw_value(entry, table);
    if (text.empty() || text.size() > 511) {
        __builtin_trap();
    }
    (void)value;
    definition = smart::default_attribute_table().definition_for(entry.id);
    return 0;
}
