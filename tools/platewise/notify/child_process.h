// Running a program for a notification: without a shell, with its own
// environment and standard input, its output (standard output and error
// together) captured, and killed with everything it started when it takes
// longer than its time limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace platewise::notify {

struct ChildRequest {
    std::vector<std::string> argv;         // argv[0] is the program's path
    std::vector<std::string> environment;  // NAME=VALUE each; the whole environment
    std::string input;                     // written to standard input, then closed
    std::uint32_t time_limit_ms = 30000;
    // When set (the listener stops), the program is ended as at its time
    // limit rather than waited for.
    const std::atomic<bool>* cancel = nullptr;
};

struct ChildResult {
    bool started = false;     // false: the program could not be run (see error)
    bool timed_out = false;   // killed after time_limit_ms
    int exit_code = -1;       // when it exited; -1 when killed by a signal
    int signal = 0;           // the signal that ended it, 0 when it exited
    std::string output;       // at most kMaxChildOutput bytes of what it wrote
    std::string error;        // why it could not be run
    // Ran, exited with 0 and was not killed.
    bool succeeded() const { return started && !timed_out && signal == 0 && exit_code == 0; }
    // One line in words: "exited with 75", "killed after 30 s", ...
    std::string describe() const;
};

inline constexpr std::size_t kMaxChildOutput = 64 * 1024;

// Runs the request and waits for it (at most its time limit and a moment
// to reap it). Never throws; every descriptor and the child are released on
// every path. The program starts in a process group of its own (on Windows
// a job object), so a time limit ends what it started too. On Windows no
// signal ends it: a killed program has exit_code -1 and signal 0.
ChildResult run_child(const ChildRequest& request);

// `argv` as one Windows command line that the C runtime's parsing
// (CommandLineToArgvW) splits back into exactly `argv`: each argument
// quoted when it is empty or holds a space, tab or quote, its quotes and
// the backslashes before them escaped. No shell reads it: % and ^ mean
// nothing. The program's name (argv[0]) may not hold a quote; false then.
bool windows_command_line(const std::vector<std::string>& argv, std::string& line);

// The calling process's environment, without variables whose names start
// with `drop_prefix` (so that a program never sees a stale PLATEWISE_*).
std::vector<std::string> inherited_environment(const std::string& drop_prefix);

}  // namespace platewise::notify
