// platewise listen's readiness and status for systemd.
#include "commands/listen_readiness.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "report/local_time_text.h"
#include "smart.h"
#include "systemd_notify.h"

namespace platewise {

void attach_readiness(ListenOptions& options, std::function<std::string()> counts)
{
    if (std::getenv("NOTIFY_SOCKET") == nullptr) {
        return;
    }
    struct State {
        std::string listening;  // "STATUS=Listening on ENDPOINT"
        unsigned long snapshots = 0;
    };
    auto state = std::make_shared<State>();
    // One line: a line break would start another field of the message.
    state->listening = "STATUS=Listening on " + smart::sanitize_text(options.endpoint);

    auto listening = std::move(options.on_listening);
    options.on_listening = [state, listening = std::move(listening)] {
        if (listening) {
            listening();
        }
        systemd::notify_service_manager(("READY=1\n" + state->listening).c_str());
    };
    if (counts) {
        // The counts say what a person wants from `systemctl status`: how
        // many drives are in which state, and that passes still arrive.
        const auto tell = [counts] {
            const std::string text = "STATUS=" + smart::sanitize_text(counts()) + "; last pass " +
                                     local_time_text("%H:%M:%S");
            systemd::notify_service_manager(text.c_str());
        };
        auto snapshot = std::move(options.on_snapshot);
        options.on_snapshot = [tell, snapshot = std::move(snapshot)](const SnapshotReport& report) {
            if (snapshot) {
                snapshot(report);
            }
            tell();
        };
        auto nvme = std::move(options.on_nvme_snapshot);
        options.on_nvme_snapshot = [tell, nvme = std::move(nvme)](const NvmeSnapshotReport& report) {
            if (nvme) {
                nvme(report);
            }
            tell();
        };
        return;
    }
    auto snapshot = std::move(options.on_snapshot);
    options.on_snapshot = [state, snapshot = std::move(snapshot)](const SnapshotReport& report) {
        if (snapshot) {
            snapshot(report);
        }
        ++state->snapshots;
        const std::string text = state->listening + "; " + std::to_string(state->snapshots) +
                                 (state->snapshots == 1 ? " snapshot" : " snapshots") +
                                 " received, the last at " + local_time_text("%Y-%m-%d %H:%M:%S");
        systemd::notify_service_manager(text.c_str());
    };
}

}  // namespace platewise
