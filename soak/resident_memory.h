// The process's resident memory, read from /proc/self/statm, for the soaks'
// flat-memory checks.
#pragma once

#include <unistd.h>

#include <cstdio>

inline long resident_kib()
{
    long pages = 0;
    long resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
