// platewise listen --service (Windows): the listener as the Windows service
// PlatewiseListen, run by the Service Control Manager.
#pragma once

#include <ostream>
#include <string>

#include "commands/listen_command.h"

namespace platewise {

inline constexpr const char* kListenServiceName = "PlatewiseListen";

// Where the service keeps its files: %ProgramData%\Platewise (empty when
// Windows does not say where ProgramData is).
std::string service_data_directory();

// Hands the process to the Service Control Manager and runs the listener
// described by `options` as its service:
// - START_PENDING while it makes %ProgramData%\Platewise and, unless --save
//   names another folder, snapshots\ inside it (SYSTEM and the
//   Administrators only, see files/private_directory.h), where every
//   snapshot is saved; then it creates the pipe;
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
int run_listen_service(const ListenOptions& options, std::ostream& err);

}  // namespace platewise
