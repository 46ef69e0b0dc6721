// platewise: the listener on the service's endpoint and the snapshot decoder.
#include <csignal>
#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
#if defined(SIGPIPE)
    // A reader of our output that went away is a failed write (listen then
    // ends and removes its socket), not a death that leaves the socket behind.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    return platewise::run_cli(argc, argv, std::cin, std::cout, std::cerr);
}
