// --notify-exec PROGRAM: a notification handed to a program of the
// administrator's, run without a shell: the message as one JSON document on
// its standard input, PLATEWISE_* variables in its environment (beside the
// listener's own), killed when it runs past its time limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "notify/child_process.h"
#include "notify/notify_message.h"

namespace platewise::notify {

inline constexpr std::uint32_t kProgramTimeLimitMs = 30000;

struct ProgramChannel {
    std::string program;  // an absolute path
    std::uint32_t time_limit_ms = kProgramTimeLimitMs;
    const std::atomic<bool>* cancel = nullptr;  // see ChildRequest
};

// Runs the program for `message`. Delivered when it exits with 0 within
// its time limit; its output is in the result, for the log.
ChildResult run_program(const ProgramChannel& channel, const Message& message);

}  // namespace platewise::notify
