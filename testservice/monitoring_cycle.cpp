// The running service: a pass over every drive, one snapshot to the pipe and
// one NVMe snapshot to the NVMe endpoint, a 5000 ms wait, for as long as the
// service is in the running state.
#include "service.h"

PassResult run_pass()
{
    PassResult result{0, 0};
    std::int8_t n = 0;
    clear_nvme_table();  // nothing of an earlier pass is ever sent
    for (;;) {
        const platform::DriveHandle handle = open_drive(n);
        const bool opened = handle != platform::invalid_drive_handle;
        if (opened) {
            read_identify(handle);
            // SMART is switched on where IDENTIFY says it is off, never off.
            if (smart_enabled() == 0) {
                set_smart_enabled(handle, true);
            }
            read_smart_values(handle);
            read_smart_thresholds(handle);
            // The ATA commands above go to every drive, NVMe ones too (where
            // they fail as not supported); the NVMe pages come after them.
            read_nvme_drive(handle);
            platform::close_drive(handle);
        } else if (n < 1) {
            // Later drives failing to open is the ordinary end of the walk;
            // a missing drive 0 is worth a line.
            result.log_failure = write_log(last_error_text);
        }
        ++n;
        if (!opened) {
            break;
        }
    }
    result.count = n;
    return result;
}

void monitoring_cycle()
{
    while (current_state() == platform::SERVICE_RUNNING) {
        const PassResult pass = run_pass();

        DriveSnapshot drives;
        build_snapshot(&drives, static_cast<std::uint8_t>(pass.count));
        send_snapshot(&drives);  // an undelivered snapshot is replaced by the next one
        // Sent every pass, whatever the drives: a listener tells "no NVMe
        // drive" from "no service".
        finish_nvme_snapshot(static_cast<std::uint8_t>(pass.count));
        send_nvme_snapshot();

        if (pass.log_failure != 0) {
            set_state(platform::SERVICE_STOPPED, 0xFFFFFFFFu);
            report_status();
            return;
        }
        platform::sleep_ms(kPollIntervalMs);
    }
}
