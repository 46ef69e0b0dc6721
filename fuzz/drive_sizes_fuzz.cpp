// Any IDENTIFY sector: the sizes come back fully defined and consistent.
#include <cstdint>
#include <cstring>

#include "smart.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t identify[512] = {};
    std::memcpy(identify, data, size < sizeof identify ? size : sizeof identify);
    smart::DriveSizes sizes;
    std::memset(&sizes, 0xA5, sizeof sizes);
    smart::compute_drive_sizes(smart::SectorView(identify, 512), sizes);
    if (sizes.sector_count == 0 &&
        (sizes.total_bytes != 0 || sizes.logical_sector_bytes != 0 ||
         sizes.physical_sector_bytes != 0 || sizes.alignment_offset_bytes != 0)) {
        __builtin_trap();  // no size means all zero
    }
    if (sizes.total_bytes != sizes.sector_count * sizes.logical_sector_bytes) {
        __builtin_trap();
    }
    return 0;
}
