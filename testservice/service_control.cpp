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

// The control handler may run on the manager's thread while the service
// thread reports or changes its state, so the manager is given a copy read
// through the same atomic words, never the shared record itself. The words
// that never change after start-up are written before the handler is
// registered, and registration publishes them.
void report_status()
{
    platform::ServiceStatus copy;
    copy.dwServiceType = service_status.dwServiceType;
    copy.dwCurrentState = current_state();
    copy.dwControlsAccepted = service_status.dwControlsAccepted;
    copy.dwWin32ExitCode = std::atomic_ref<std::uint32_t>(service_status.dwWin32ExitCode).load();
    copy.dwServiceSpecificExitCode = service_status.dwServiceSpecificExitCode;
    copy.dwCheckPoint = service_status.dwCheckPoint;
    copy.dwWaitHint = service_status.dwWaitHint;
    platform::set_service_status(std::atomic_ref<platform::StatusHandle>(status_handle).load(), &copy);
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
    report_status();
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

    const platform::StatusHandle handle =
        platform::register_control_handler(kHandlerName, control_handler);
    std::atomic_ref<platform::StatusHandle>(status_handle).store(handle);
    if (handle == 0) {
        return;
    }

    if (log_service_start() != 0) {
        set_state(platform::SERVICE_STOPPED, 0xFFFFFFFFu);
        report_status();
        return;
    }

    set_state(platform::SERVICE_RUNNING, 0);
    report_status();

    monitoring_cycle();
}

int service_entry()
{
    return platform::run_service_dispatcher(kServiceName, service_main);
}
