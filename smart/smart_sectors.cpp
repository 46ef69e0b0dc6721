// Walking the 30 attribute slots of the SMART READ DATA and SMART READ
// THRESHOLDS sectors: 2 revision bytes, then 12-byte entries.
#include <cstring>

#include "smart.h"

namespace smart {

namespace {

constexpr std::size_t kFirstEntryOffset = 2;
constexpr std::size_t kEntryBytes = 12;

std::uint16_t revision_of(SectorView sector) noexcept {
    return static_cast<std::uint16_t>(sector[0] | (sector[1] << 8));
}

const std::uint8_t* slot_bytes(SectorView sector, std::size_t slot) noexcept {
    return sector.data() + kFirstEntryOffset + slot * kEntryBytes;
}

}  // namespace

AttributeList decode_attribute_sector(SectorView smart_values) noexcept {
    AttributeList list{};
    list.revision = revision_of(smart_values);
    for (std::size_t slot = 0; slot < kAttributeSlots; ++slot) {
        const std::uint8_t* bytes = slot_bytes(smart_values, slot);
        if (bytes[0] == 0) {
            continue;
        }
        std::memcpy(&list.entries[list.count], bytes, kEntryBytes);
        list.slots[list.count] = static_cast<std::uint8_t>(slot);
        ++list.count;
    }
    return list;
}

ThresholdList decode_threshold_sector(SectorView smart_thresholds) noexcept {
    ThresholdList list{};
    list.revision = revision_of(smart_thresholds);
    for (std::size_t slot = 0; slot < kAttributeSlots; ++slot) {
        const std::uint8_t* bytes = slot_bytes(smart_thresholds, slot);
        if (bytes[0] == 0) {
            continue;
        }
        list.entries[list.count] = AttributeThreshold{bytes[0], bytes[1]};
        list.slots[list.count] = static_cast<std::uint8_t>(slot);
        ++list.count;
    }
    return list;
}

const AttributeThreshold* find_threshold(const ThresholdList& thresholds,
                                         std::uint8_t id) noexcept {
    if (id == 0) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < thresholds.count && i < kAttributeSlots; ++i) {
        if (thresholds.entries[i].id == id) {
            return &thresholds.entries[i];
        }
    }
    return nullptr;
}

std::uint16_t attribute_flags(const AttributeEntry& entry) noexcept {
    return static_cast<std::uint16_t>(entry.flags[0] | (entry.flags[1] << 8));
}

}  // namespace smart
