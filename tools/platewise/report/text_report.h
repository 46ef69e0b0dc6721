// The human-readable report.
#pragma once

#include <cstdint>
#include <string>

#include "report/drive_report.h"

namespace platewise {

// "61.4 GB" / "57.2 GiB": a byte count in decimal (1000) or binary (1024)
// units with one decimal.
std::string decimal_size(std::uint64_t bytes);
std::string binary_size(std::uint64_t bytes);

// One drive: identity, capacity, sector sizes, SMART state, the attribute
// table and the one-line verdict ("Verdict: OK"). Ends with a newline.
std::string render_drive_text(const DriveReport& drive);

// A whole snapshot or record, introduced by `title` (sanitised here), e.g.
// the file name or the time the snapshot arrived.
std::string render_text(const SnapshotReport& report, const std::string& title);

}  // namespace platewise
