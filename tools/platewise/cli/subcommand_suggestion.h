// A command name that is not one of platewise's: said so, with the nearest.
#pragma once

#include <string>
#include <vector>

namespace platewise {

// The edit distance of a and b: insertions, deletions, substitutions and
// swaps of two neighbouring letters each count 1 ("stauts" is 1 from "status").
std::size_t edit_distance(const std::string& a, const std::string& b);

// "" when argv[1] is an option or one of `commands`; otherwise the message
// that it is unknown, the nearest command when one is close, and the list.
std::string unknown_subcommand_message(const std::vector<std::string>& commands, int argc,
                                       const char* const* argv);

}  // namespace platewise
