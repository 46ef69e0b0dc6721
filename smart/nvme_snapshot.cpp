// Recognising and checking NVMe snapshot messages.
#include <cstring>

#include "nvme.h"

namespace smart::nvme {

bool has_nvme_magic(std::span<const std::uint8_t> bytes) noexcept
{
    return bytes.size() >= sizeof kMagic && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
}

bool split_nvme_snapshot(std::span<const std::uint8_t> buffer, Snapshot& snapshot,
                         std::string& error)
{
    if (!has_nvme_magic(buffer)) {
        error = "not an NVMe snapshot: it does not begin with PWNVME CR LF";
        return false;
    }
    if (buffer.size() != kSnapshotBytes) {
        error = "malformed NVMe snapshot: " + std::to_string(buffer.size()) + " bytes, it must be " +
                std::to_string(kSnapshotBytes);
        return false;
    }
    const unsigned version = buffer[8] | (buffer[9] << 8);
    if (version != kVersion) {
        error = "NVMe snapshot version " + std::to_string(version) + " is not known (this listener reads version " +
                std::to_string(kVersion) + ")";
        return false;
    }
    const unsigned count = buffer[10];
    if (count == 0 || count > kSlots + 1) {
        error = "malformed NVMe snapshot: count byte is " + std::to_string(count) + ", it must be 1 to " +
                std::to_string(kSlots + 1) + " (drives read plus one)";
        return false;
    }
    for (std::size_t n = 0; n < kSlots; ++n) {
        const unsigned status = buffer[kHeaderBytes + n * kSlotBytes];
        if (status > static_cast<unsigned>(SlotStatus::failed)) {
            error = "malformed NVMe snapshot: slot " + std::to_string(n) + " has the unknown status " +
                    std::to_string(status);
            return false;
        }
    }
    std::memcpy(&snapshot, buffer.data(), sizeof(Snapshot));
    return true;
}

const char* slot_status_name(std::uint8_t status) noexcept
{
    switch (static_cast<SlotStatus>(status)) {
    case SlotStatus::absent: return "absent";
    case SlotStatus::answered: return "answered";
    case SlotStatus::not_nvme: return "not_nvme";
    case SlotStatus::failed: return "failed";
    }
    return "unknown";
}

const char* request_result_name(std::uint8_t result) noexcept
{
    switch (static_cast<RequestResult>(result)) {
    case RequestResult::read: return "read";
    case RequestResult::not_supported: return "not_supported";
    case RequestResult::driver_error: return "driver_error";
    case RequestResult::device_error: return "device_error";
    case RequestResult::not_sent: return "not_sent";
    }
    return "unknown";
}

std::uint32_t slot_namespace_id(const Slot& slot) noexcept
{
    return static_cast<std::uint32_t>(slot.namespace_id[0]) |
           static_cast<std::uint32_t>(slot.namespace_id[1]) << 8 |
           static_cast<std::uint32_t>(slot.namespace_id[2]) << 16 |
           static_cast<std::uint32_t>(slot.namespace_id[3]) << 24;
}

}  // namespace smart::nvme
