#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

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
        sim::nvme_listener().keep_messages = true;
        set_state(platform::SERVICE_RUNNING, 0);
        stop_after = 0;
        passes = 0;
        between = nullptr;
    }
    void TearDown() override
    {
        unsetenv("APPDATA");
        SimulatedDrives::TearDown();
    }

    // Runs the cycle for `count` passes: the wait after the last one brings
    // the stop control, as the manager would; the waits before it call
    // `between` (when set) with the number of passes done.
    void run_passes(int count)
    {
        stop_after = count;
        passes = 0;
        sim::set_sleep_hook([](std::uint32_t milliseconds) {
            if (milliseconds != kPollIntervalMs) {
                return;
            }
            if (++passes == stop_after) {
                set_state(platform::SERVICE_STOPPED, 0);
            } else if (between != nullptr) {
                between(passes);
            }
        });
        monitoring_cycle();
    }
    const DriveSnapshot& snapshot(int index) const
    {
        return *reinterpret_cast<const DriveSnapshot*>(sim::listener().messages.at(index).data());
    }
    const NvmeSnapshot& nvme(int index) const
    {
        const std::vector<std::uint8_t>& message = sim::nvme_listener().messages.at(index);
        EXPECT_EQ(message.size(), sizeof(NvmeSnapshot));
        return *reinterpret_cast<const NvmeSnapshot*>(message.data());
    }
    std::string log() const { return read_file(dir / "platewise_s.log"); }

    static inline int stop_after = 0;
    static inline int passes = 0;
    static inline void (*between)(int passes_done) = nullptr;
    TempDir dir;
};

TEST_F(Cycle, CountByteIsDrivesReadPlusOne)
{
    struct Row { int drives; int count; };
    for (const Row row : {Row{0, 1}, Row{1, 2}, Row{2, 3}, Row{32, 33}, Row{40, 33}}) {
        sim::reset();
        sim::listener().keep_messages = true;
        sim::nvme_listener().keep_messages = true;
        for (int n = 0; n < row.drives; ++n) {
            sim::make_plain_drive(n);
        }
        set_state(platform::SERVICE_RUNNING, 0);
        run_passes(1);
        ASSERT_EQ(sim::listener().messages.size(), 1u) << row.drives;
        EXPECT_EQ(sim::listener().messages[0].size(), 49185u);
        EXPECT_EQ(snapshot(0).count, row.count) << row.drives << " drives";
        // The NVMe snapshot of the same pass carries the same count, also
        // when there is no drive at all.
        ASSERT_EQ(sim::nvme_listener().messages.size(), 1u) << row.drives;
        EXPECT_EQ(nvme(0).count, row.count) << row.drives << " drives";
        EXPECT_EQ(sim::drive(32).opens, 0) << "no drive beyond the table is opened";
        EXPECT_EQ(sim::open_handles(), 0);
        for (const DriveRecord& record : snapshot(0).drives) {
            EXPECT_EQ(record.reserved, 0);
        }
    }
}

// Each pass opens drives 0, 1, ... as the row says (-1 absent, 0 opens,
// else the open error); drive 0's failure is logged in its own pass, once,
// and a later drive's never, whatever the reason. The clock shows the pass
// number as its second, so every line tells which pass wrote it.
struct LoggedPass {
    std::vector<std::int32_t> opens;
    int count;
};
const LoggedPass kLoggedPasses[] = {
    {{-1}, 1},        // 1: no drive at all
    {{5}, 1},         // 2: drive 0 denied
    {{0, -1}, 2},     // 3: drive 1 absent
    {{0, 5}, 2},      // 4: drive 1 denied
    {{0, 0, 31}, 3},  // 5: drive 2 fails otherwise
    {{31}, 1},        // 6: drive 0 fails otherwise
    {{0, 2}, 2},      // 7: drive 1 not found
    {{-1}, 1},        // 8: no drive again
};

void set_up_logged_pass(int index)
{
    for (int n = 0; n < 4; ++n) {
        sim::drive(n) = sim::Drive{};
    }
    const LoggedPass& pass = kLoggedPasses[index];
    for (std::size_t n = 0; n < pass.opens.size(); ++n) {
        if (pass.opens[n] >= 0) {
            sim::make_plain_drive(static_cast<int>(n));
            sim::drive(static_cast<int>(n)).open_error = pass.opens[n];
        }
    }
    sim::fix_clock({2026, 1, 2, 3, 4, index + 1});
}

TEST_F(Cycle, MissingDriveZeroIsLoggedEveryPassAndLaterDrivesNever)
{
    set_up_logged_pass(0);
    between = set_up_logged_pass;
    run_passes(static_cast<int>(std::size(kLoggedPasses)));

    ASSERT_EQ(sim::listener().messages.size(), std::size(kLoggedPasses))
        << "a snapshot every pass, drives or not";
    for (std::size_t i = 0; i < std::size(kLoggedPasses); ++i) {
        EXPECT_EQ(snapshot(static_cast<int>(i)).count, kLoggedPasses[i].count) << "pass " << i + 1;
    }
    EXPECT_EQ(log(),
              "2026-01-02 03:04:01> Path [\\\\.\\PhysicalDrive0] : not found\n"
              "2026-01-02 03:04:02> Path [\\\\.\\PhysicalDrive0] : access denied\n"
              "2026-01-02 03:04:06> Error opening path [\\\\.\\PhysicalDrive0], error 31\n"
              "2026-01-02 03:04:08> Path [\\\\.\\PhysicalDrive0] : not found\n");
    EXPECT_EQ(current_state(), platform::SERVICE_STOPPED);
    EXPECT_EQ(sim::status_reports().size(), 0u) << "logging went well: no stop of its own";
    EXPECT_EQ(sim::open_handles(), 0);
}

// What each kind of drive receives, in order, as the drive sees it, over two
// passes: SMART READ DATA comes only after the enable, so the first snapshot
// after enabling already holds the drive's values.
TEST_F(Cycle, EachDriveGetsItsCommandsInOrderAndOnlyThose)
{
    using C = sim::Command;
    const std::vector<C> reads = {C::identify, C::smart_read_data, C::smart_read_thresholds};
    const std::vector<C> enable = {C::identify, C::smart_enable, C::smart_read_data,
                                   C::smart_read_thresholds};
    struct Row {
        const char* what;
        std::uint16_t word87;  // validity of word 85, where SMART on/off is read
        bool smart_on;
        sim::Fault identify_fault;
        std::vector<C> first_pass;
        bool values_in_first_snapshot;
    };
    const Row rows[] = {
        {"on", 0x4000, true, sim::Fault::none, reads, true},
        {"off", 0x4000, false, sim::Fault::none, enable, true},
        {"off, other bits of word 87 set", 0x7FFF, false, sim::Fault::none, enable, true},
        {"off, validity bits 00", 0x0000, false, sim::Fault::none, reads, false},
        {"off, validity bits 10", 0x8000, false, sim::Fault::none, reads, false},
        {"off, validity bits 11", 0xC000, false, sim::Fault::none, reads, false},
        {"on, validity bits 11", 0xC000, true, sim::Fault::none, reads, true},
        {"off, IDENTIFY fails", 0x4000, false, sim::Fault::status_err, reads, false},
        {"off, IDENTIFY fails after its data", 0x4000, false, sim::Fault::status_err_with_data,
         reads, false},
    };
    const int drives = static_cast<int>(std::size(rows));
    for (int n = 0; n < drives; ++n) {
        sim::make_plain_drive(n);
        sim::Drive& d = sim::drive(n);
        set_identify_word(d.identify, 87, rows[n].word87);
        d.smart_on = rows[n].smart_on;
        d.faults[static_cast<int>(C::identify)] = {rows[n].identify_fault, 0};
    }
    run_passes(2);

    ASSERT_EQ(sim::listener().messages.size(), 2u);
    EXPECT_EQ(snapshot(0).count, drives + 1);
    for (int n = 0; n < drives; ++n) {
        const Row& row = rows[n];
        const sim::Drive& d = sim::drive(n);
        // A drive that was switched on reads without the enable next time;
        // the others are asked exactly as before.
        std::vector<C> expected = row.first_pass;
        expected.insert(expected.end(), reads.begin(), reads.end());
        if (row.first_pass != enable) {
            expected = row.first_pass;
            expected.insert(expected.end(), row.first_pass.begin(), row.first_pass.end());
        }
        EXPECT_EQ(d.received, expected) << row.what;
        EXPECT_EQ(d.opens, 2) << row.what;
        EXPECT_EQ(d.closes, 2) << row.what;
        const std::uint8_t* values = snapshot(0).drives[n].smart_values;
        if (row.values_in_first_snapshot) {
            EXPECT_EQ(std::memcmp(values, d.smart_data, 512), 0) << row.what;
        } else {
            EXPECT_FALSE(has_nonzero_byte(values, 512)) << row.what;
        }
    }
    EXPECT_TRUE(sim::drive(drives).received.empty());
    EXPECT_EQ(sim::drive(drives + 1).opens, 0);
    EXPECT_EQ(sim::open_handles(), 0);
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
    // The cycle must end by itself; should it wait for another pass instead,
    // that wait stops it, so that the test fails rather than hangs.
    sim::set_sleep_hook([](std::uint32_t milliseconds) {
        if (milliseconds == kPollIntervalMs) {
            set_state(platform::SERVICE_STOPPED, 0);
        }
    });
    monitoring_cycle();
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

// A pass over SATA and NVMe drives side by side: the ATA commands go to every
// drive as before (NVMe drives refuse them as not supported and leave zero
// sections), and the NVMe snapshot that follows holds each NVMe drive's three
// pages exactly, or zeros and the class of each failure.
TEST_F(Cycle, NvmeSnapshotHoldsEachDrivesPagesBesideAnUnchangedAtaSnapshot)
{
    using C = sim::Command;
    using F = sim::NvmeFault;
    using R = NvmeRequestResult;
    constexpr auto kNotSent = R::not_sent;
    struct Row {
        const char* what;
        bool nvme;
        F faults[3];
        NvmeSlotStatus status;
        R results[3];
    };
    const Row rows[] = {
        {"sata", false, {}, NvmeSlotStatus::not_nvme, {R::not_supported, kNotSent, kNotSent}},
        {"nvme", true, {}, NvmeSlotStatus::answered, {R::read, R::read, R::read}},
        {"health log device error", true, {F::none, F::none, F::device_error},
         NvmeSlotStatus::failed, {R::read, R::read, R::device_error}},
        {"controller driver error", true, {F::driver_error, F::none, F::none},
         NvmeSlotStatus::failed, {R::driver_error, R::read, R::read}},
        {"namespace short reply", true, {F::none, F::short_reply, F::none},
         NvmeSlotStatus::failed, {R::read, R::driver_error, R::read}},
        {"controller not supported", true, {F::not_supported, F::none, F::none},
         NvmeSlotStatus::not_nvme, {R::not_supported, kNotSent, kNotSent}},
        {"second sata", false, {}, NvmeSlotStatus::not_nvme, {R::not_supported, kNotSent, kNotSent}},
    };
    const int drives = static_cast<int>(std::size(rows));
    for (int n = 0; n < drives; ++n) {
        if (rows[n].nvme) {
            sim::make_nvme_drive(n);
            sim::drive(n).namespace_id = 7 + n;
            for (int page = 0; page < 3; ++page) {
                sim::drive(n).nvme_faults[page] = {rows[n].faults[page], 0x4002};
            }
        } else {
            sim::make_plain_drive(n);
        }
    }
    run_passes(1);

    ASSERT_EQ(sim::listener().messages.size(), 1u);
    ASSERT_EQ(sim::nvme_listener().messages.size(), 1u);
    EXPECT_EQ(sim::nvme_listener().last_endpoint, platform::nvme_pipe_name);
    const DriveSnapshot& ata = snapshot(0);
    const NvmeSnapshot& message = nvme(0);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&message);
    const std::uint8_t header[16] = {0x50, 0x57, 0x4E, 0x56, 0x4D, 0x45, 0x0D, 0x0A,
                                     1, 0, static_cast<std::uint8_t>(drives + 1), 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(raw, header, sizeof header), 0);
    EXPECT_EQ(ata.count, drives + 1);

    for (int n = 0; n < drives; ++n) {
        const Row& row = rows[n];
        SCOPED_TRACE(row.what);
        const sim::Drive& d = sim::drive(n);
        // The ATA side, call for call and byte for byte as ever.
        const std::vector<C> reads = {C::identify, C::smart_read_data, C::smart_read_thresholds};
        EXPECT_EQ(d.received, reads);
        if (row.nvme) {
            EXPECT_FALSE(has_nonzero_byte(&ata.drives[n], sizeof(DriveRecord)));
        } else {
            EXPECT_EQ(std::memcmp(ata.drives[n].identify, d.identify, 512), 0);
            EXPECT_EQ(std::memcmp(ata.drives[n].smart_values, d.smart_data, 512), 0);
            EXPECT_EQ(std::memcmp(ata.drives[n].smart_thresholds, d.thresholds, 512), 0);
        }
        // The NVMe side, at the layout's offsets.
        const std::uint8_t* slot = raw + 16 + 8712 * n;
        EXPECT_EQ(slot[0], static_cast<std::uint8_t>(row.status));
        const std::size_t sent = row.status == NvmeSlotStatus::not_nvme ? 1 : 3;
        EXPECT_EQ(d.nvme_received.size(), sent);
        const std::uint8_t* pages[3] = {d.nvme_controller, d.nvme_namespace, d.nvme_health};
        const int offsets[3] = {8, 4104, 8200};
        const int sizes[3] = {4096, 4096, 512};
        for (int page = 0; page < 3; ++page) {
            EXPECT_EQ(slot[1 + page], static_cast<std::uint8_t>(row.results[page])) << page;
            if (row.results[page] == R::read) {
                EXPECT_EQ(std::memcmp(slot + offsets[page], pages[page], sizes[page]), 0) << page;
            } else {
                EXPECT_FALSE(has_nonzero_byte(slot + offsets[page], sizes[page])) << page;
            }
        }
        std::uint32_t namespace_id = 0;
        std::memcpy(&namespace_id, slot + 4, 4);
        EXPECT_EQ(namespace_id, row.results[1] == R::read ? 7u + n : 0u);
    }
    // The drive whose open ended the pass, and every slot after it: absent.
    for (int n = drives; n < kDriveSlots; ++n) {
        EXPECT_FALSE(has_nonzero_byte(raw + 16 + 8712 * n, 8712)) << n;
    }
    EXPECT_EQ(sim::open_handles(), 0);
}

// Unlike the ATA table, the NVMe table starts every pass empty: a drive that
// is gone is absent from the next NVMe snapshot, never shown as it was.
TEST_F(Cycle, NvmeSlotsOfDrivesGoneAreAbsentInTheNextPass)
{
    sim::make_nvme_drive(0);
    sim::make_nvme_drive(1);
    between = [](int) { sim::drive(1).present = false; };
    run_passes(2);
    ASSERT_EQ(sim::nvme_listener().messages.size(), 2u);
    EXPECT_EQ(nvme(0).slots[1].status, static_cast<std::uint8_t>(NvmeSlotStatus::answered));
    EXPECT_EQ(nvme(1).count, 2);
    EXPECT_EQ(nvme(1).slots[0].status, static_cast<std::uint8_t>(NvmeSlotStatus::answered));
    EXPECT_FALSE(has_nonzero_byte(&nvme(1).slots[1], sizeof(NvmeSlot)));
}

// Nobody on the NVMe endpoint: one failed open per pass, no wait, no log
// line, and the ATA snapshots go on as before.
TEST_F(Cycle, NoNvmeListenerCostsOneOpenAndIsNotLogged)
{
    sim::make_nvme_drive(0);
    sim::nvme_listener().mode = sim::ListenerMode::absent;
    run_passes(3);
    EXPECT_EQ(sim::nvme_listener().opens, 3);
    EXPECT_EQ(sim::nvme_listener().waits, 0);
    EXPECT_EQ(sim::nvme_listener().delivered, 0);
    EXPECT_EQ(sim::listener().delivered, 3);
    EXPECT_EQ(log(), "");
}

TEST_F(Cycle, NotRunningMeansNoPass)
{
    set_state(platform::SERVICE_STOPPED, 0);
    sim::make_plain_drive(0);
    monitoring_cycle();
    EXPECT_EQ(sim::drive(0).opens, 0);
    EXPECT_EQ(sim::listener().opens, 0);
    EXPECT_EQ(sim::nvme_listener().opens, 0);
}

}  // namespace
