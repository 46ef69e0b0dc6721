// The pipe client: each snapshot travels over a connection of its own,
// opened, written once and closed. Only a busy listener is waited for.
#include "nvme_snapshot.h"
#include "service.h"

bool send_message_to(const char* endpoint, const void* bytes, std::uint32_t size)
{
    platform::PipeOpenResult pipe;
    for (;;) {
        pipe = platform::open_pipe(endpoint);
        if (pipe.failure == platform::PipeOpenFailure::none) {
            break;
        }
        // No listener costs one failed open and nothing more.
        if (pipe.failure != platform::PipeOpenFailure::busy) {
            return false;
        }
        if (!platform::wait_pipe(endpoint, kPipeBusyWaitMs)) {
            return false;
        }
    }

    const bool written = platform::write_pipe(pipe.handle, bytes, size);
    platform::close_pipe(pipe.handle);
    if (!written) {
        return false;
    }
    platform::sleep_ms(0);
    return true;
}

bool send_snapshot(const DriveSnapshot* message)
{
    return send_snapshot_to(platform::pipe_name, message);
}

bool send_snapshot_to(const char* endpoint, const DriveSnapshot* message)
{
    return send_message_to(endpoint, message, sizeof *message);
}

bool send_nvme_snapshot_to(const char* endpoint)
{
    return send_message_to(endpoint, &nvme_snapshot, sizeof nvme_snapshot);
}

bool send_nvme_snapshot()
{
    return send_nvme_snapshot_to(platform::nvme_pipe_name);
}
