// Drive capacity and sector sizes from IDENTIFY DEVICE data.
#include "smart.h"

namespace smart {

void compute_drive_sizes(SectorView identify, DriveSizes& sizes) noexcept {
    sizes = DriveSizes{0, 0, 0, 0, 0};

    const auto word = [identify](std::size_t n) { return identify_word(identify, n); };

    if ((word(49) & 0x0200) == 0) {
        return;  // no LBA addressing: no size
    }
    const std::uint32_t count28 = (static_cast<std::uint32_t>(word(61)) << 16) | word(60);

    std::uint64_t count48 = 0;
    if ((word(83) & 0xC400) == 0x4400) {
        count48 = (static_cast<std::uint64_t>(word(103)) << 48) |
                  (static_cast<std::uint64_t>(word(102)) << 32) |
                  (static_cast<std::uint64_t>(word(101)) << 16) | word(100);
    }
    if (count28 == 0 && count48 == 0) {
        return;
    }

    std::uint32_t logical = 512;
    std::uint32_t physical = 512;
    std::uint32_t alignment = 0;
    const std::uint16_t w106 = word(106);
    if ((w106 & 0xC000) == 0x4000) {
        if ((w106 & 0x1000) != 0) {
            const std::uint32_t size_words = (static_cast<std::uint32_t>(word(118)) << 16) | word(117);
            logical = size_words * 2u;  // kept to 32 bits
            physical = logical;
        }
        if ((w106 & 0x2000) != 0) {
            physical <<= (w106 & 0x000F);
        }
        const std::uint16_t w209 = word(209);
        if ((w209 & 0xC000) == 0x4000) {
            alignment = (w209 & 0x3FFFu) * logical;
        }
    }

    const bool take48 = count48 >= count28 || (count48 != 0 && logical > 512);
    sizes.sector_count = take48 ? count48 : count28;
    sizes.total_bytes = sizes.sector_count * logical;
    sizes.logical_sector_bytes = logical;
    sizes.physical_sector_bytes = physical;
    sizes.alignment_offset_bytes = alignment;
}

}  // namespace smart
