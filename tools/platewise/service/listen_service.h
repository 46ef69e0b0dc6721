// platewise listen --service (Windows): the listener as the Windows service
// PlatewiseListen, run by the Service Control Manager.
#pragma once

#include <functional>
#include <ostream>
#include <sstream>
#include <string>

#include "commands/listen_command.h"

namespace platewise {

inline constexpr const char* kListenServiceName = "PlatewiseListen";

// Where the service keeps its files: %ProgramData%\Platewise (empty when
// Windows does not say where ProgramData is).
std::string service_data_directory();

// What the command line settles for the service besides the listener's
// options.
struct ListenServiceSetup {
    // Save every raw snapshot in %ProgramData%\Platewise\snapshots when
    // the options name no --save folder. Without a history that folder is
    // the listener's only record; with one it is opt-in (--save-snapshots):
    // each 5 s pass saves about 320 KB, some 5.7 GB a day.
    bool save_snapshots = true;
    // What was said before the service started (the history opened or not,
    // the page served or not): written to the log first.
    std::string said_before;
    // Lets go of what the listener served besides the pipe (the page's and
    // the metrics' servers), called once the listener has ended and before
    // the manager is told STOPPED: an uninstaller waiting for the stop may
    // then replace or remove the program at once.
    std::function<void()> release;
};

// Hands the process to the Service Control Manager and runs the listener
// described by `options` as its service:
// - START_PENDING while it makes %ProgramData%\Platewise and, when
//   `setup.save_snapshots` and no --save names another folder, the folder
//   snapshots inside it (SYSTEM and the Administrators only, see
//   files/private_directory.h), where every snapshot is saved; then it
//   creates the pipe;
// - RUNNING (stop and shutdown accepted) once the pipe takes connections;
// - STOP_PENDING on a stop or shutdown control, which ends the listener as
//   Ctrl-C does: connections being read are given up, the pipe closed;
// - STOPPED with exit code 0, or ERROR_SERVICE_SPECIFIC_ERROR with 1 when
//   it could not start or ended on an error (the manager's recovery
//   actions then apply).
// A service has no console: decoded passes are not printed, and the
// listener's messages go, with the time, to %ProgramData%\Platewise\listen.log
// (moved to listen.log.old at start once it passes 1 MiB); so does what
// the handlers attached to `options` write to `err` (the events' lines)
// while the service runs.
// Started outside the manager it says so on `err` and returns 1.
int run_listen_service(const ListenOptions& options, const ListenServiceSetup& setup, std::ostream& err);

// Holds what is written to `err` from now on, until handed to the service
// (said_before), or until it ends, when what it holds goes to `err` as it
// was: messages written before the service's log is open are neither lost
// nor, run from a console, hidden.
class StartupCapture {
public:
    explicit StartupCapture(std::ostream& err);
    ~StartupCapture();
    StartupCapture(const StartupCapture&) = delete;
    StartupCapture& operator=(const StartupCapture&) = delete;

    std::string text() const { return held_.str(); }

private:
    std::ostream& err_;
    std::ostringstream held_;
    std::streambuf* before_;
};

}  // namespace platewise
