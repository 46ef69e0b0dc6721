// A drive that answers with arbitrary registers, byte counts, data and
// driver results: run_ata_passthrough must accept exactly the answers that
// pass every check, copy back only on success, and never touch memory
// outside the caller's buffer.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "diskinfo.h"
#include "platform/simulated.h"

namespace {

const std::uint8_t* g_data;
std::size_t g_size;
std::size_t g_at;

std::uint8_t next_byte()
{
    return g_at < g_size ? g_data[g_at++] : 0;
}

platform::IoResult answer(int /*drive*/, std::uint8_t* request, std::uint32_t request_size,
                          std::uint32_t* returned)
{
    auto* ab = reinterpret_cast<AtaPassBuffer*>(request);
    const std::uint8_t how = next_byte();
    if (how % 8 == 0) {
        return {platform::IoFailure::driver_error, next_byte()};
    }
    if (how % 8 == 1) {
        return {platform::IoFailure::not_supported, 50};
    }
    // Registers, then a byte count near or at the request size, then data.
    std::uint8_t regs[16];
    for (auto& b : regs) {
        b = next_byte();
    }
    std::memcpy(&ab->apt.PreviousTaskFile, regs, 8);
    std::memcpy(&ab->apt.CurrentTaskFile, regs + 8, 8);
    const std::uint8_t count_kind = next_byte();
    *returned = count_kind < 200 ? request_size : request_size - (count_kind - 199);
    const std::uint32_t data_bytes = request_size - kPassthroughHeaderBytes;
    const std::uint8_t fill = next_byte();
    if (fill & 1) {
        for (std::uint32_t i = 0; i < data_bytes; ++i) {
            ab->data[i] = next_byte();
        }
    }
    return {platform::IoFailure::none, 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    static bool ready = false;
    if (!ready) {
        sim::reset();
        sim::make_plain_drive(0);
        ready = true;
    }
    g_data = data + 3;
    g_size = size - 3;
    g_at = 0;
    sim::set_answer_hook(answer);

    // A transfer size around the interesting limits.
    const std::int32_t sizes[] = {512, 1, 0, -512, 16384, -16384, 16385, -16385, 2};
    const std::int32_t n = sizes[data[0] % (sizeof sizes / sizeof sizes[0])];
    const bool with_prev = data[1] & 1;

    const platform::DriveOpenResult opened = platform::open_drive_device(0);
    const std::size_t magnitude = static_cast<std::size_t>(n < 0 ? -n : n);
    std::vector<std::uint8_t> buffer(magnitude + 1, data[2]);
    const std::vector<std::uint8_t> before = buffer;
    TaskFile regs{};
    regs.command = ATA_IDENTIFY_DEVICE;
    TaskFile prev{};
    const TaskFile regs_before = regs;

    const int result = run_ata_passthrough(opened.handle, &regs, with_prev ? &prev : nullptr,
                                           buffer.data(), n);
    platform::close_drive(opened.handle);
    sim::set_answer_hook(nullptr);

    if (result != 0) {
        if (errno != EIO && errno != EINVAL && errno != ENOSYS) {
            __builtin_trap();
        }
        if (buffer != before || std::memcmp(&regs, &regs_before, sizeof regs) != 0) {
            __builtin_trap();  // a failure changes nothing of the caller's
        }
    } else {
        if ((regs.command & (kStatusErr | kStatusDrq)) != 0) {
            __builtin_trap();  // an error status was accepted
        }
        if (n <= 0 && buffer != before) {
            __builtin_trap();  // writes and non-data commands never write the buffer
        }
    }
    if (buffer[magnitude] != data[2]) {
        __builtin_trap();  // written past the caller's buffer
    }
    return 0;
}
