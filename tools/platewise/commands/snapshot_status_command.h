// platewise status in a build without the drive history (Windows): the
// drives as the newest snapshot the listener saved shows them.
#pragma once

#include <ostream>
#include <string>

namespace platewise {

struct SnapshotStatusOptions {
    bool json = false;
    bool brief = false;  // one line for a checker (verdict_summary.h)
    std::string directory;  // where listen --save (or the listener service) keeps snapshots
};

// Finds the newest snapshot-YYYYMMDD-HHMMSS-NNN.bin in the directory (the
// names sort by time) and shows it as decode does, in text titled with its
// name, or as one JSON document; then the newest nvme-YYYYMMDD-HHMMSS-NNN.bin
// the same way (JSON: under "nvme"). A slot IDENTIFY could not read is left
// out where the NVMe snapshot read an NVMe drive in it, and otherwise says
// what failed (NO SMART DATA). Exits as `platewise status` does with a
// history, counting the drives of both snapshots: 0 every drive OK, 1 any
// not OK, 2 any FAILING NOW; 3 with the reason on `err` when the directory
// cannot be read, holds no snapshot of either kind, or a newest one is
// refused.
int run_snapshot_status(const SnapshotStatusOptions& options, std::ostream& out, std::ostream& err);

}  // namespace platewise
