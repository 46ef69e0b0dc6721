#include <cstdlib>
#include <string>

#include "service.h"
#include "sim_fixture.h"
#include "temp_dir.h"

namespace {

// The cycle over simulated drives, with the log in a temporary APPDATA and
// the simulated endpoint taking every snapshot.
class Cycle : public SimulatedDrives {
protected:
    void SetUp() override
    {
        SimulatedDrives::SetUp();
        setenv("APPDATA", dir.path().c_str(), 1);
        sim::listener().keep_messages = true;
        set_state(platform::SERVICE_RUNNING, 0);
        stop_after = 0;
        passes = 0;
    }
    void TearDown() override
    {
        unsetenv("APPDATA");
        SimulatedDrives::TearDown();
    }

    // Runs the cycle for `count` passes: the wait after the last one brings
    // the stop control, as the manager would.
    void run_passes(int count)
    {
        stop_after = count;
        passes = 0;
        sim::set_sleep_hook([](std::uint32_t milliseconds) {
            if (milliseconds == kPollIntervalMs && ++passes == stop_after) {
                set_state(platform::SERVICE_STOPPED, 0);
            }
        });
        monitoring_cycle();
    }
    const DriveSnapshot& snapshot(int index) const
    {
        return *reinterpret_cast<const DriveSnapshot*>(sim::listener().messages.at(index).data());
    }
    std::string log() const { return read_file(dir / "platewise_s.log"); }

    static inline int stop_after = 0;
    static inline int passes = 0;
    TempDir dir;
};

TEST_F(Cycle, CountByteIsDrivesReadPlusOne)
{
    struct Row { int drives; int count; };
    for (const Row row : {Row{0, 1}, Row{1, 2}, Row{2, 3}, Row{32, 33}, Row{40, 33}}) {
        sim::reset();
        sim::listener().keep_messages = true;
        for (int n = 0; n < row.drives; ++n) {
            sim::make_plain_drive(n);
        }
        set_state(platform::SERVICE_RUNNING, 0);
        run_passes(1);
        ASSERT_EQ(sim::listener().messages.size(), 1u) << row.drives;
        EXPECT_EQ(sim::listener().messages[0].size(), 49185u);
        EXPECT_EQ(snapshot(0).count, row.count) << row.drives << " drives";
        EXPECT_EQ(sim::drive(32).opens, 0) << "no drive beyond the table is opened";
        EXPECT_EQ(sim::open_handles(), 0);
        for (const DriveRecord& record : snapshot(0).drives) {
            EXPECT_EQ(record.reserved, 0);
        }
    }
}

TEST_F(Cycle, MissingDriveZeroIsLoggedEveryPassAndLaterDrivesNever)
{
    run_passes(3);
    EXPECT_EQ(sim::listener().delivered, 3) << "a snapshot every pass, drives or not";
    const std::string text = log();
    std::size_t lines = 0;
    for (std::size_t at = text.find("> Path [\\\\.\\PhysicalDrive0] : not found\n");
         at != std::string::npos;
         at = text.find("> Path [\\\\.\\PhysicalDrive0] : not found\n", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 3u);

    sim::make_plain_drive(0);
    std::filesystem::remove(dir / "platewise_s.log");
    run_passes(2);
    EXPECT_FALSE(std::filesystem::exists(dir / "platewise_s.log"));
}

TEST_F(Cycle, AccessDeniedOnDriveZeroEndsThePassWithItsText)
{
    sim::make_plain_drive(0);
    sim::make_plain_drive(1);
    sim::drive(0).open_error = 5;
    run_passes(1);
    EXPECT_EQ(snapshot(0).count, 1);
    EXPECT_EQ(sim::drive(1).opens, 0) << "the first failed open ends the pass";
    EXPECT_NE(log().find("> Path [\\\\.\\PhysicalDrive0] : access denied\n"), std::string::npos);
}

TEST_F(Cycle, SmartIsEnabledInEveryPassWhileTheDriveSaysItIsOff)
{
    sim::make_plain_drive(0);
    sim::make_plain_drive(1);
    sim::Drive& off = sim::drive(1);
    off.smart_on = false;
    off.identify[2 * 85] &= 0xFE;
    off.identify_is_stale = true;  // IDENTIFY keeps saying "off"
    run_passes(3);
    EXPECT_EQ(off.commands_seen[static_cast<int>(sim::Command::smart_enable)], 3);
    EXPECT_EQ(sim::drive(0).commands_seen[static_cast<int>(sim::Command::smart_enable)], 0);
    EXPECT_EQ(off.commands_seen[static_cast<int>(sim::Command::smart_disable)], 0);
}

TEST_F(Cycle, SlotsKeepOldDataWhenADriveVanishesAndZerosWhereCommandsFail)
{
    sim::make_plain_drive(0);
    sim::make_plain_drive(1);
    sim::drive(1).faults[static_cast<int>(sim::Command::smart_read_thresholds)] = {
        sim::Fault::driver_error, 31};
    run_passes(1);
    const DriveRecord first = snapshot(0).drives[1];
    EXPECT_TRUE(has_nonzero_byte(first.identify, 512));
    EXPECT_TRUE(has_nonzero_byte(first.smart_values, 512));
    EXPECT_FALSE(has_nonzero_byte(first.smart_thresholds, 512));

    sim::drive(1).present = false;
    set_state(platform::SERVICE_RUNNING, 0);
    run_passes(1);
    EXPECT_EQ(snapshot(1).count, 2);
    EXPECT_EQ(std::memcmp(&snapshot(1).drives[1], &first, sizeof first), 0);
}

TEST_F(Cycle, UnwritableLogStopsTheServiceAfterThatPassesSnapshot)
{
    setenv("APPDATA", (dir / "gone").c_str(), 1);
    monitoring_cycle();  // no sleep hook needed: the cycle must end by itself
    EXPECT_EQ(sim::listener().delivered, 1);
    EXPECT_TRUE(sim::sleeps().empty() || sim::sleeps().back() != kPollIntervalMs);
    EXPECT_EQ(current_state(), platform::SERVICE_STOPPED);
    const auto reports = sim::status_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, platform::SERVICE_STOPPED);
    EXPECT_EQ(reports[0].exit_code, 0xFFFFFFFFu);
}

TEST_F(Cycle, UndeliveredSnapshotsAreDroppedAndTheCycleGoesOn)
{
    sim::make_plain_drive(0);
    sim::listener().mode = sim::ListenerMode::absent;
    run_passes(2);
    EXPECT_EQ(sim::listener().opens, 2);
    EXPECT_EQ(sim::listener().waits, 0);
    EXPECT_EQ(sim::listener().delivered, 0);
}

TEST_F(Cycle, NotRunningMeansNoPass)
{
    set_state(platform::SERVICE_STOPPED, 0);
    sim::make_plain_drive(0);
    monitoring_cycle();
    EXPECT_EQ(sim::drive(0).opens, 0);
    EXPECT_EQ(sim::listener().opens, 0);
}

}  // namespace
