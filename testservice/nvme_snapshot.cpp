// The NVMe table and the snapshot that carries it: the three pages of every
// NVMe drive of the pass, each exactly as the drive returned it.
#include "nvme_snapshot.h"

#include <cstddef>
#include <cstring>

NvmeSnapshot nvme_snapshot;

namespace {

// Slots 0 .. g_slots_written - 1 may hold something: read_nvme_drive, the
// only writer of slots, counts them. The others are still zero, and left
// untouched, their pages are never even allocated: a machine with two
// drives keeps 17 KiB of the 272 KiB table, not all of it.
int g_slots_written = 0;

}  // namespace

void clear_nvme_table()
{
    std::memset(&nvme_snapshot, 0, offsetof(NvmeSnapshot, slots));
    std::memset(nvme_snapshot.slots, 0, sizeof(NvmeSlot) * static_cast<std::size_t>(g_slots_written));
    g_slots_written = 0;
}

namespace {

NvmeRequestResult result_of(platform::NvmeFailure failure)
{
    switch (failure) {
    case platform::NvmeFailure::none:
        return NvmeRequestResult::read;
    case platform::NvmeFailure::not_supported:
        return NvmeRequestResult::not_supported;
    case platform::NvmeFailure::device_error:
        return NvmeRequestResult::device_error;
    default:
        return NvmeRequestResult::driver_error;
    }
}

}  // namespace

NvmeSlotStatus read_nvme_drive(platform::DriveHandle handle)
{
    if (current_drive < 0 || current_drive >= kDriveSlots) {
        return NvmeSlotStatus::absent;
    }
    if (current_drive + 1 > g_slots_written) {
        g_slots_written = current_drive + 1;
    }
    NvmeSlot& slot = nvme_snapshot.slots[current_drive];
    std::memset(&slot, 0, sizeof slot);
    struct Request {
        platform::NvmePage page;
        std::uint8_t* section;
        std::uint32_t size;
    };
    const Request requests[kNvmeRequests] = {
        {platform::NvmePage::identify_controller, slot.identify_controller, kNvmeIdentifyBytes},
        {platform::NvmePage::identify_namespace, slot.identify_namespace, kNvmeIdentifyBytes},
        {platform::NvmePage::health_log, slot.health_log, kNvmeHealthLogBytes},
    };
    std::memset(slot.results, static_cast<int>(NvmeRequestResult::not_sent), sizeof slot.results);

    bool all_read = true;
    for (int i = 0; i < kNvmeRequests; ++i) {
        const Request& request = requests[i];
        const platform::NvmeReply reply =
            platform::read_nvme_page(handle, request.page, request.section, request.size);
        const NvmeRequestResult result = result_of(reply.failure);
        slot.results[i] = static_cast<std::uint8_t>(result);
        if (result != NvmeRequestResult::read) {
            // A failed page is sent as zeros, whatever the driver left in it.
            std::memset(request.section, 0, request.size);
            all_read = false;
        } else if (request.page == platform::NvmePage::identify_namespace) {
            slot.namespace_id = reply.namespace_id;
        }
        if (i == 0 && result == NvmeRequestResult::not_supported) {
            // Not an NVMe drive: it keeps only its ATA record.
            slot.status = static_cast<std::uint8_t>(NvmeSlotStatus::not_nvme);
            return NvmeSlotStatus::not_nvme;
        }
    }
    const NvmeSlotStatus status = all_read ? NvmeSlotStatus::answered : NvmeSlotStatus::failed;
    slot.status = static_cast<std::uint8_t>(status);
    return status;
}

void finish_nvme_snapshot(std::uint8_t count)
{
    std::memcpy(nvme_snapshot.magic, kNvmeMagic, sizeof nvme_snapshot.magic);
    nvme_snapshot.version = kNvmeSnapshotVersion;
    nvme_snapshot.count = count;
    std::memset(nvme_snapshot.reserved, 0, sizeof nvme_snapshot.reserved);
}
