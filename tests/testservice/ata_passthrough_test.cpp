#include <cerrno>
#include <cstring>
#include <vector>

#include "sim_fixture.h"

namespace {

using sim::Fault;

class Passthrough : public SimulatedDrives {
protected:
    void SetUp() override
    {
        SimulatedDrives::SetUp();
        sim::make_plain_drive(0);
        handle = open_drive(0);
        ASSERT_NE(handle, platform::invalid_drive_handle);
        sim::set_recording(true);
    }
    void TearDown() override
    {
        platform::close_drive(handle);
        SimulatedDrives::TearDown();
    }
    TaskFile identify_command() const
    {
        TaskFile in{};
        in.sector_count = 1;
        in.command = ATA_IDENTIFY_DEVICE;
        return in;
    }
    platform::DriveHandle handle = platform::invalid_drive_handle;
};

struct FailureRow {
    const char* name;
    Fault fault;
    std::uint32_t code;
    int expected_errno;
};
void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }


class PassthroughFailure : public Passthrough,
                           public ::testing::WithParamInterface<FailureRow> {};

// Every way a read can fail leaves the caller's registers and buffer exactly
// as they were and says why in errno.
TEST_P(PassthroughFailure, FailsWithErrnoAndChangesNothing)
{
    const FailureRow& row = GetParam();
    sim::drive(0).faults[static_cast<int>(sim::Command::identify)] = {row.fault, row.code};

    TaskFile in = identify_command();
    TaskFile prev{};
    prev.lba_low = 0x77;
    const TaskFile in_before = in;
    const TaskFile prev_before = prev;
    std::vector<std::uint8_t> data(512, 0xAA);

    errno = 0;
    EXPECT_EQ(run_ata_passthrough(handle, &in, &prev, data.data(), 512), -1);
    EXPECT_EQ(errno, row.expected_errno);
    EXPECT_EQ(std::memcmp(&in, &in_before, sizeof in), 0);
    EXPECT_EQ(std::memcmp(&prev, &prev_before, sizeof prev), 0);
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0xAA));
    EXPECT_EQ(sim::requests().size(), 1u);
}

// The rows from "status_err_after_data" on pass every check but one: a sector
// that arrived in full with the full byte count, rejected for its Status
// alone; a byte count alone; untouched data alone. Dropping any one check
// makes its row succeed.
INSTANTIATE_TEST_SUITE_P(
    EveryFailureRow, PassthroughFailure,
    ::testing::Values(FailureRow{"invalid_function", Fault::driver_error, 1, ENOSYS},
                      FailureRow{"not_supported", Fault::driver_error, 50, ENOSYS},
                      FailureRow{"other_driver_error", Fault::driver_error, 32, EIO},
                      FailureRow{"status_err", Fault::status_err, 0, EIO},
                      FailureRow{"status_drq", Fault::status_drq, 0, EIO},
                      FailureRow{"status_err_after_data", Fault::status_err_with_data, 0, EIO},
                      FailureRow{"status_drq_after_data", Fault::status_drq_with_data, 0, EIO},
                      FailureRow{"short_byte_count", Fault::short_count, 0, EIO},
                      FailureRow{"long_byte_count", Fault::long_count, 0, EIO},
                      FailureRow{"untouched_data", Fault::untouched_data, 0, EIO}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Passthrough, SizeLimitIsCheckedBeforeAnythingIsSent)
{
    struct Row { std::int32_t size; int result; };
    const Row rows[] = {{16385, -1}, {-16385, -1}, {INT32_MIN, -1}, {INT32_MAX, -1}};
    std::vector<std::uint8_t> data(16400, 0x11);
    for (const Row& row : rows) {
        TaskFile in = identify_command();
        errno = 0;
        EXPECT_EQ(run_ata_passthrough(handle, &in, nullptr, data.data(), row.size), row.result);
        EXPECT_EQ(errno, EINVAL) << row.size;
    }
    EXPECT_TRUE(sim::requests().empty());
}

TEST_F(Passthrough, LargestTransfersAreAcceptedAndShapedRight)
{
    std::vector<std::uint8_t> data(16384, 0);
    TaskFile in = identify_command();
    EXPECT_EQ(run_ata_passthrough(handle, &in, nullptr, data.data(), 16384), 0);

    // A write carries the caller's bytes and never writes the caller's buffer.
    for (int i = 0; i < 16384; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::vector<std::uint8_t> before = data;
    TaskFile write_cmd{};
    write_cmd.command = 0x30;  // a write the simulated drive aborts
    run_ata_passthrough(handle, &write_cmd, nullptr, data.data(), -16384);
    EXPECT_EQ(data, before);

    ASSERT_EQ(sim::requests().size(), 2u);
    const AtaPassBuffer& read = sent(sim::requests()[0]);
    EXPECT_EQ(sim::requests()[0].request_size, 44u + 16384u);
    EXPECT_EQ(read.apt.AtaFlags, ATA_FLAGS_DATA_IN);
    EXPECT_EQ(read.apt.DataTransferLength, 16384u);
    const AtaPassBuffer& write = sent(sim::requests()[1]);
    EXPECT_EQ(sim::requests()[1].request_size, 44u + 16384u);
    EXPECT_EQ(write.apt.AtaFlags, ATA_FLAGS_DATA_OUT);
    EXPECT_EQ(write.apt.DataTransferLength, 16384u);
    EXPECT_EQ(std::memcmp(write.data, before.data(), 16384), 0);
}

TEST_F(Passthrough, RequestWithoutDataHasNoDirection)
{
    struct Row { bool with_prev; std::uint16_t flags; };
    for (const Row row : {Row{false, 0x00}, Row{true, 0x08}}) {
        sim::clear_requests();
        TaskFile in{};
        in.features = SMART_ENABLE_OPERATIONS;
        in.lba_mid = SMART_LBA_MID_SIGNATURE;
        in.lba_high = SMART_LBA_HIGH_SIGNATURE;
        in.command = ATA_SMART;
        TaskFile prev{};
        std::uint8_t untouched = 0x5A;
        EXPECT_EQ(run_ata_passthrough(handle, &in, row.with_prev ? &prev : nullptr, &untouched, 0), 0);
        EXPECT_EQ(untouched, 0x5A);
        ASSERT_EQ(sim::requests().size(), 1u);
        const AtaPassBuffer& ab = sent(sim::requests()[0]);
        EXPECT_EQ(sim::requests()[0].request_size, 44u);
        EXPECT_EQ(ab.apt.AtaFlags, row.flags);
        EXPECT_EQ(ab.apt.DataTransferLength, 0u);
        EXPECT_EQ(in.command, 0x50) << "returned Status reaches the caller";
    }
}

// The 0xCF marker tells an untouched data area from data; a device that
// really answers 0xCF and zeros cannot be told apart and counts as untouched.
TEST_F(Passthrough, UntouchedDataRuleOnWhatTheDeviceSends)
{
    struct Row {
        const char* name;
        std::vector<std::pair<int, std::uint8_t>> bytes;  // non-zero bytes of the sector
        std::int32_t size;
        int result;
    };
    const Row rows[] = {
        {"marker then zeros", {{0, 0xCF}}, 512, -1},
        {"all zeros", {}, 512, 0},
        {"marker then one byte at the end", {{0, 0xCF}, {511, 1}}, 512, 0},
        {"other first byte", {{0, 0xCE}}, 512, 0},
        {"one-byte read of the marker", {{0, 0xCF}, {1, 9}}, 1, -1},
        {"one-byte read of anything else", {{0, 0x01}}, 1, 0},
    };
    for (const Row& row : rows) {
        std::memset(sim::drive(0).identify, 0, 512);
        for (auto [offset, value] : row.bytes) {
            sim::drive(0).identify[offset] = value;
        }
        sim::drive(0).identify_is_stale = true;  // keep word 85 as set
        TaskFile in = identify_command();
        std::vector<std::uint8_t> data(512, 0xAA);
        errno = 0;
        EXPECT_EQ(run_ata_passthrough(handle, &in, nullptr, data.data(), row.size), row.result)
            << row.name;
        if (row.result == 0) {
            EXPECT_EQ(std::memcmp(data.data(), sim::drive(0).identify, row.size), 0) << row.name;
            EXPECT_EQ(errno, 0) << row.name << ": success leaves errno alone";
        } else {
            EXPECT_EQ(errno, EIO) << row.name;
            EXPECT_EQ(data[0], 0xAA) << row.name;
        }
    }
}

TEST_F(Passthrough, ReturnedRegistersReachTheCallerOnSuccess)
{
    TaskFile in = identify_command();
    TaskFile prev{};
    prev.sector_count = 0x12;
    std::vector<std::uint8_t> data(512);
    ASSERT_EQ(run_ata_passthrough(handle, &in, &prev, data.data(), 512), 0);
    EXPECT_EQ(in.features, 0) << "Error";
    EXPECT_EQ(in.command, 0x50) << "Status";
    EXPECT_EQ(prev.sector_count, 0x12);
    const AtaPassBuffer& ab = sent(sim::requests()[0]);
    EXPECT_EQ(ab.apt.AtaFlags, ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND);
    EXPECT_EQ(ab.apt.PreviousTaskFile.sector_count, 0x12);
}

TEST(HasNonzeroByte, ScansOnlyTheCountGiven)
{
    const std::uint8_t bytes[] = {0, 0, 0, 7};
    EXPECT_FALSE(has_nonzero_byte(bytes, 3));
    EXPECT_TRUE(has_nonzero_byte(bytes, 4));
    EXPECT_FALSE(has_nonzero_byte(bytes, 0));
    EXPECT_FALSE(has_nonzero_byte(bytes, -5));
}

}  // namespace
