// One ATA command through the pass-through interface: build the request,
// send it, and accept the answer only when status, byte count and data all
// say the device really did the work.
#include <cassert>
#include <cstddef>
#include <cerrno>
#include <cstring>

#include "diskinfo.h"

bool has_nonzero_byte(const void* bytes, std::int32_t count)
{
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    for (std::int32_t i = 0; i < count; ++i) {
        if (p[i] != 0) {
            return true;
        }
    }
    return false;
}

int run_ata_passthrough(platform::DriveHandle handle, TaskFile* regs, TaskFile* prev_regs,
                        void* data, std::int32_t size)
{
    if (size > kPassthroughDataBytes || size < -kPassthroughDataBytes) {
        errno = EINVAL;
        return -1;
    }
    // The whole request buffer, header and all 16 KiB of data area, is
    // cleared for every command whatever its size: no byte of an earlier
    // stack frame can reach a driver or come back as data.
    AtaPassBuffer ab;
    std::memset(&ab, 0, sizeof ab);
    ab.apt.Length = sizeof ab.apt;
    ab.apt.TimeOutValue = kPassthroughTimeoutSeconds;
    ab.apt.DataBufferOffset = offsetof(AtaPassBuffer, data);
    std::uint32_t request_size = kPassthroughHeaderBytes;

    if (size > 0) {
        ab.apt.AtaFlags = ATA_FLAGS_DATA_IN;
        ab.apt.DataTransferLength = static_cast<std::uint32_t>(size);
        request_size += static_cast<std::uint32_t>(size);
        // The marker tells an untouched data area from data the device sent.
        ab.data[0] = kUntouchedMarker;
    } else if (size < 0) {
        ab.apt.AtaFlags = ATA_FLAGS_DATA_OUT;
        ab.apt.DataTransferLength = static_cast<std::uint32_t>(-size);
        request_size += static_cast<std::uint32_t>(-size);
        std::memcpy(ab.data, data, static_cast<std::size_t>(-size));
    } else {
        assert(ab.apt.AtaFlags == 0);
        assert(ab.apt.DataTransferLength == 0);
    }

    ab.apt.CurrentTaskFile = *regs;
    if (prev_regs != nullptr) {
        ab.apt.PreviousTaskFile = *prev_regs;
        ab.apt.AtaFlags |= ATA_FLAGS_48BIT_COMMAND;
    }

    std::uint32_t num_out = 0;
    const platform::IoResult io = platform::send_ata_passthrough(
        handle, reinterpret_cast<std::uint8_t*>(&ab), request_size, &num_out);
    if (io.failure != platform::IoFailure::none) {
        errno = io.failure == platform::IoFailure::not_supported ? ENOSYS : EIO;
        return -1;
    }

    if ((ab.apt.CurrentTaskFile.command & (kStatusErr | kStatusDrq)) != 0) {
        errno = EIO;
        return -1;
    }

    if (size > 0) {
        if (num_out != request_size) {
            errno = EIO;
            return -1;
        }
        if (ab.data[0] == kUntouchedMarker && !has_nonzero_byte(ab.data + 1, size - 1)) {
            errno = EIO;
            return -1;
        }
        std::memcpy(data, ab.data, static_cast<std::size_t>(size));
    }

    *regs = ab.apt.CurrentTaskFile;
    if (prev_regs != nullptr) {
        *prev_regs = ab.apt.PreviousTaskFile;
    }
    return 0;
}
