// The drive table and the snapshot message built from it.
#include <cstring>

#include "diskinfo.h"

DriveRecord drive_table[kDriveSlots];

void build_snapshot(DriveSnapshot* drives, std::uint8_t count)
{
    drives->count = count;
    std::memcpy(drives->drives, drive_table, sizeof drive_table);
}
