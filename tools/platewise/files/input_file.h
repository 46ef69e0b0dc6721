// Reading one decode input (a file, or standard input for "-") and telling
// what it is by its size (an NVMe snapshot by its magic).
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "nvme.h"
#include "smart.h"

namespace platewise {

struct InputBytes {
    bool opened = false;          // false: `error` says why
    std::string error;
    std::uint64_t size = 0;       // the whole input's size in bytes
    std::vector<std::uint8_t> bytes;  // its first bytes, at most 278801 of them
};

// Reads `name` ("-": `standard_input`) to its end, keeping only as many
// bytes as the largest accepted input plus one.
InputBytes read_input(const std::string& name, std::istream& standard_input);

}  // namespace platewise
