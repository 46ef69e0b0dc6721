// The pipe client: each snapshot travels over a connection of its own,
// opened, written once and closed. Only a busy listener is waited for.
#include "service.h"

bool send_snapshot_to(const char* endpoint, const DriveSnapshot* message)
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

    const bool written = platform::write_pipe(pipe.handle, message, sizeof *message);
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
