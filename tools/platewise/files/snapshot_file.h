// Reading a snapshot file that someone else may have put there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platewise {

// Opens the file without following a link and checks what it is on the
// open file (so that nothing can be swapped in between): a regular file of
// at most a snapshot's size, read whole into `bytes`. False with the reason.
bool read_snapshot_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& why);

}  // namespace platewise
