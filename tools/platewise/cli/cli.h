// The command line of platewise: subcommands listen and decode, --help,
// --version. Exit status: what the command returns, 2 for a usage error.
#pragma once

#include <istream>
#include <ostream>

namespace platewise {

inline constexpr int kUsageError = 2;

int run_cli(int argc, const char* const* argv, std::istream& in, std::ostream& out,
            std::ostream& err);

}  // namespace platewise
