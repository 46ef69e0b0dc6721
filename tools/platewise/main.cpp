// platewise: the listener on the service's endpoint and the snapshot decoder.
#include <iostream>

#include "cli.h"

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    return platewise::run_cli(argc, argv, std::cin, std::cout, std::cerr);
}
