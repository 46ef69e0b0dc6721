#include <cstddef>

#include "sim_fixture.h"

namespace {

TEST(WireLayout, OffsetsAreThoseTheListenerReads)
{
    EXPECT_EQ(offsetof(DriveRecord, identify), 1u);
    EXPECT_EQ(offsetof(DriveRecord, smart_values), 513u);
    EXPECT_EQ(offsetof(DriveRecord, smart_thresholds), 1025u);
    EXPECT_EQ(offsetof(DriveSnapshot, drives), 1u);
    EXPECT_EQ(offsetof(AtaPassThroughRecord, DataTransferLength), 8u);
    EXPECT_EQ(offsetof(AtaPassThroughRecord, DataBufferOffset), 20u);
    EXPECT_EQ(offsetof(AtaPassThroughRecord, PreviousTaskFile), 24u);
    EXPECT_EQ(offsetof(AtaPassThroughRecord, CurrentTaskFile), 32u);
    EXPECT_EQ(offsetof(AtaPassBuffer, data), 44u);
    EXPECT_EQ(sizeof(drive_table), 49184u);
}

TEST_F(SimulatedDrives, SnapshotCarriesCountAndTheWholeTable)
{
    for (int slot = 0; slot < kDriveSlots; ++slot) {
        std::memset(drive_table[slot].identify, slot + 1, 512);
        std::memset(drive_table[slot].smart_thresholds, 0xF0, 512);
    }
    DriveSnapshot drives;
    std::memset(&drives, 0xEE, sizeof drives);
    build_snapshot(&drives, 33);
    EXPECT_EQ(drives.count, 33);
    EXPECT_EQ(std::memcmp(drives.drives, drive_table, sizeof drive_table), 0);
    for (const DriveRecord& record : drives.drives) {
        EXPECT_EQ(record.reserved, 0);
    }
}

}  // namespace
