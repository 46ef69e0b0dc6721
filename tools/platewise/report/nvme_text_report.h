// The NVMe snapshot as text for people.
#pragma once

#include <string>

#include "report/nvme_report.h"

namespace platewise {

// One NVMe drive: identity, capacity and LBA size, critical warnings,
// temperatures, spare, wear, the health counters and the verdict line
// ("Verdict: OK"). Ends with a newline.
std::string render_nvme_drive_text(const NvmeDriveReport& drive);

// A whole NVMe snapshot, introduced by `title` (sanitised here).
std::string render_nvme_text(const NvmeSnapshotReport& report, const std::string& title);

}  // namespace platewise
