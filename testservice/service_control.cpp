// The service's life with its manager: start-up, status reports, and the
// answers to stop, shutdown and every other control.
#include <atomic>

#include "service.h"

platform::ServiceStatus service_status;
platform::StatusHandle status_handle = 0;

std::uint32_t current_state()
{
    return std::atomic_ref<std::uint32_t>(service_status.dwCurrentState).load();
}

// The exit code is written before the state, so whoever sees the new state
// also sees the code that goes with it.
void set_state(std::uint32_t state, std::uint32_t exit_code)
{
    std::atomic_ref<std::uint32_t>(service_status.dwWin32ExitCode).store(exit_code);
    std::atomic_ref<std::uint32_t>(service_status.dwCurrentState).store(state);
}

int log_service_start()
{
    return write_log("Monitoring started.");
}

void control_handler(std::uint32_t control)
{
    if (control == platform::SERVICE_CONTROL_STOP || control == platform::SERVICE_CONTROL_SHUTDOWN) {
        write_log("Monitoring stopped.");
        set_state(platform::SERVICE_STOPPED, 0);
    }
    // Anything else, interrogation included, is answered with the record
    // as it stands.
    platform::set_service_status(status_handle, &service_status);
}

void service_main(std::uint32_t /*argc*/, char** /*argv*/)
{
    service_status.dwServiceType = platform::SERVICE_WIN32;
    service_status.dwControlsAccepted =
        platform::SERVICE_ACCEPT_STOP | platform::SERVICE_ACCEPT_SHUTDOWN;
    service_status.dwServiceSpecificExitCode = 0;
    service_status.dwCheckPoint = 0;
    service_status.dwWaitHint = 0;
    set_state(platform::SERVICE_START_PENDING, 0);

    status_handle = platform::register_control_handler(kHandlerName, control_handler);
    if (status_handle == 0) {
        return;
    }

    if (log_service_start() != 0) {
        set_state(platform::SERVICE_STOPPED, 0xFFFFFFFFu);
        platform::set_service_status(status_handle, &service_status);
        return;
    }

    set_state(platform::SERVICE_RUNNING, 0);
    platform::set_service_status(status_handle, &service_status);

    monitoring_cycle();
}

int service_entry()
{
    return platform::run_service_dispatcher(kServiceName, service_main);
}
