// The checks both decode fuzzers make: the input run through platewise
// decode as text and as JSON; nothing may crash, the output must stay
// printable and every JSON line must parse back.
#pragma once

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "commands/decode_command.h"

namespace fuzz {

inline bool printable(const std::string& text)
{
    for (const unsigned char c : text) {
        if ((c < 0x20 && c != '\n') || c >= 0x7F) {
            return false;
        }
    }
    return true;
}

// Traps on a fault. `check_errors`: the error stream must stay printable too.
inline void decode_and_check(platewise::DecodeOptions options, const std::string& input, bool check_errors)
{
    options.files = {"-"};
    for (const bool json : {false, true}) {
        options.json = json;
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream err;
        platewise::run_decode(options, in, out, err);
        if (!printable(out.str()) || (check_errors && !printable(err.str()))) {
            __builtin_trap();  // drive bytes reached the output unescaped
        }
        if (json) {
            std::istringstream lines(out.str());
            std::string line;
            while (std::getline(lines, line)) {
                if (!nlohmann::json::accept(line)) {
                    __builtin_trap();
                }
            }
        }
    }
}

}  // namespace fuzz
