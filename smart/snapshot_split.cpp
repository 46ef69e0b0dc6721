// Reading snapshot messages and single drive records out of byte buffers.
#include <algorithm>
#include <cstring>

#include "smart.h"

namespace smart {

bool split_snapshot(std::span<const std::uint8_t> buffer, DriveSnapshot& snapshot) noexcept {
    if (buffer.size() != sizeof(DriveSnapshot)) {
        return false;
    }
    std::memcpy(&snapshot, buffer.data(), sizeof(DriveSnapshot));
    return true;
}

bool read_drive_record(std::span<const std::uint8_t> buffer, DriveRecord& record) noexcept {
    if (buffer.size() != sizeof(DriveRecord)) {
        return false;
    }
    std::memcpy(&record, buffer.data(), sizeof(DriveRecord));
    return true;
}

std::size_t current_slot_count(const DriveSnapshot& snapshot) noexcept {
    if (snapshot.count == 0) {
        return 0;
    }
    return std::min<std::size_t>(snapshot.count - 1u, kDriveSlots);
}

}  // namespace smart
