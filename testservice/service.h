// The service: its log, the pipe that carries snapshots away, its status
// with the service manager, and the monitoring cycle that drives the rest.
#pragma once

#include <cstdint>

#include "diskinfo.h"
#include "nvme_snapshot.h"
#include "platform/platform.h"

// ------------------------------------------------------------------- log

// Appends "<local time>> <text>" as one line to platewise_s.log in the
// directory named by APPDATA. 0 when the line was written, -1 when the file
// could not be opened (APPDATA unset or empty, path too long, directory
// missing, no rights).
int write_log(const char* text);

// ------------------------------------------------------------- transport

inline constexpr std::uint32_t kPipeBusyWaitMs = 20000;

// Delivers one snapshot over a connection of its own to the listener's
// endpoint. True when all of it was handed over.
bool send_snapshot(const DriveSnapshot* message);

// The same, to a named endpoint (tests use their own).
bool send_snapshot_to(const char* endpoint, const DriveSnapshot* message);

// Any message, `size` bytes, with the same rules: one connection of its own,
// only a busy listener waited for, no listener costs one failed open.
bool send_message_to(const char* endpoint, const void* bytes, std::uint32_t size);

// -------------------------------------------------------- service control

// Both are shared with the control handler, which may run on another thread:
// the state and exit code are read and written through current_state(),
// set_state() and report_status(); the handle atomically.
extern platform::ServiceStatus service_status;
extern platform::StatusHandle status_handle;

inline constexpr const char* kServiceName = "Platewise";
inline constexpr const char* kHandlerName = "MemoryStatus";

// The process entry: hands the process to the service manager and returns
// the status the process ends with.
int service_entry();

void service_main(std::uint32_t argc, char** argv);
void control_handler(std::uint32_t control);
int log_service_start();

// The state word is shared by the two threads without a lock; these read
// and write it whole.
std::uint32_t current_state();
void set_state(std::uint32_t state, std::uint32_t exit_code);

// Reports the status record, as it stands, to the service manager.
void report_status();

// ---------------------------------------------------------- monitoring

inline constexpr std::uint32_t kPollIntervalMs = 5000;

struct PassResult {
    std::int8_t count;         // drive numbers tried: drives read plus one
    std::int32_t log_failure;  // 0, or -1 when drive 0's message could not be logged
};

// Reads every drive from 0 up until one fails to open.
PassResult run_pass();

// Passes, snapshots and waits for as long as the service is running.
void monitoring_cycle();
