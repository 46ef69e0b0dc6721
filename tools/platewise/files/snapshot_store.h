// listen --save DIR: each raw snapshot as a file of its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace platewise {

// The final name for a snapshot received at the current local time:
// "snapshot-YYYYMMDD-HHMMSS-NNN.bin", NNN counting 000, 001, ... until the
// name is free in `directory`. Returns the full path.
std::string next_snapshot_path(const std::string& directory);

// Writes `bytes` with smart::save_buffer_to_file to a temporary name in
// `directory` (".snapshot-....tmp") and renames it to next_snapshot_path(),
// so a reader never sees half a file. The final path in `saved`; false with
// the reason in `error` (and no file left behind) on failure.
bool save_snapshot(const std::string& directory, std::span<const std::uint8_t> bytes,
                   std::string& saved, std::string& error);

}  // namespace platewise
