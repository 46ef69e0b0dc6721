// What running a program for a notification means on every system: the
// outcome in words, and the Windows command line an argument vector becomes.
#include "notify/child_process.h"

namespace platewise::notify {

std::string ChildResult::describe() const
{
    if (!started) {
        return "could not be run: " + error;
    }
    if (timed_out) {
        return "killed after its time limit";
    }
    if (signal != 0) {
        return "ended by signal " + std::to_string(signal);
    }
    if (exit_code != 0 && !error.empty()) {
        return error;  // a channel that ran no program (SMTP) says why itself
    }
    return "exited with " + std::to_string(exit_code);
}

bool windows_command_line(const std::vector<std::string>& argv, std::string& line)
{
    line.clear();
    if (argv.empty() || argv[0].empty() || argv[0].find('"') != std::string::npos) {
        return false;
    }
    // The program's name ends at the next quote when quoted, at the first
    // space otherwise: it is always quoted, and backslashes in it are
    // taken as they are.
    line = "\"" + argv[0] + "\"";
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        line += ' ';
        if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
            line += arg;
            continue;
        }
        line += '"';
        std::size_t backslashes = 0;
        for (const char c : arg) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            if (c == '"') {
                // Each backslash before a quote doubled, the quote escaped.
                line.append(backslashes * 2 + 1, '\\');
                line += '"';
            } else {
                line.append(backslashes, '\\');
                line += c;
            }
            backslashes = 0;
        }
        // Before the closing quote, backslashes are doubled.
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return true;
}

}  // namespace platewise::notify
