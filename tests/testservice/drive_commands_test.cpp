#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

using sim::Command;
using sim::Fault;

// ------------------------------------------------------------ opening

struct OpenRow {
    const char* name;
    int number;
    bool present;
    std::int32_t open_error;
    const char* text;
};
void PrintTo(const OpenRow& row, std::ostream* os) { *os << row.name; }


class OpenFailure : public SimulatedDrives, public ::testing::WithParamInterface<OpenRow> {};

TEST_P(OpenFailure, LeavesItsTextAndMovesCurrentDrive)
{
    const OpenRow& row = GetParam();
    if (row.present) {
        sim::make_plain_drive(row.number);
        sim::drive(row.number).open_error = row.open_error;
    }
    current_drive = 7;
    EXPECT_EQ(open_drive(static_cast<std::int8_t>(row.number)), platform::invalid_drive_handle);
    EXPECT_EQ(current_drive, row.number);
    EXPECT_STREQ(last_error_text, row.text);
    EXPECT_EQ(sim::open_handles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryClass, OpenFailure,
    ::testing::Values(
        OpenRow{"absent", 0, false, 0, "Path [\\\\.\\PhysicalDrive0] : not found"},
        OpenRow{"not_found", 3, true, 2, "Path [\\\\.\\PhysicalDrive3] : not found"},
        OpenRow{"access_denied", 0, true, 5, "Path [\\\\.\\PhysicalDrive0] : access denied"},
        OpenRow{"sharing_violation", 0, true, 32,
                "Error opening path [\\\\.\\PhysicalDrive0], error 32"},
        OpenRow{"negative_code", 1, true, -7, "Error opening path [\\\\.\\PhysicalDrive1], error -7"},
        // Numbers without a slot are never opened, even where a device exists.
        OpenRow{"beyond_table", 32, true, 0, "Path [\\\\.\\PhysicalDrive32] : not found"},
        OpenRow{"negative_number", -128, false, 0, "Path [\\\\.\\PhysicalDrive-128] : not found"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatedDrives, SuccessfulOpenKeepsThePreviousFailureText)
{
    sim::make_plain_drive(1);
    EXPECT_EQ(open_drive(0), platform::invalid_drive_handle);
    const platform::DriveHandle handle = open_drive(1);
    ASSERT_NE(handle, platform::invalid_drive_handle);
    EXPECT_EQ(current_drive, 1);
    EXPECT_STREQ(last_error_text, "Path [\\\\.\\PhysicalDrive0] : not found");
    platform::close_drive(handle);
}

TEST(FormatMessage, NeverWritesPastItsBuffer)
{
    char buffer[kLastErrorTextBytes + 8];
    std::memset(buffer, 0x7E, sizeof buffer);
    const std::string longer(400, 'x');
    format_message(buffer, "%s", longer.c_str());
    EXPECT_EQ(std::strlen(buffer), 254u);
    for (std::size_t i = kLastErrorTextBytes; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 0x7E);
    }
}

// ------------------------------------------------------------ commands

struct CommandRow {
    const char* name;
    bool (*run)(platform::DriveHandle);
    std::uint8_t features;
    std::uint8_t lba_mid;
    std::uint8_t lba_high;
    std::uint8_t command;
    int section;  // offset in the DriveRecord, or -1 when nothing is stored
};
void PrintTo(const CommandRow& row, std::ostream* os) { *os << row.name; }


bool enable(platform::DriveHandle h) { return set_smart_enabled(h, true); }
bool disable(platform::DriveHandle h) { return set_smart_enabled(h, false); }

const CommandRow kCommands[] = {
    {"read_identify", read_identify, 0x00, 0x00, 0x00, 0xEC, 1},
    {"read_smart_values", read_smart_values, 0xD0, 0x4F, 0xC2, 0xB0, 513},
    {"read_smart_thresholds", read_smart_thresholds, 0xD1, 0x4F, 0xC2, 0xB0, 1025},
    {"enable", enable, 0xD8, 0x4F, 0xC2, 0xB0, -1},
    {"disable", disable, 0xD9, 0x4F, 0xC2, 0xB0, -1},
};

class EveryCommand : public SimulatedDrives, public ::testing::WithParamInterface<CommandRow> {
protected:
    void SetUp() override
    {
        SimulatedDrives::SetUp();
        sim::make_plain_drive(2);
        handle = open_drive(2);
        ASSERT_NE(handle, platform::invalid_drive_handle);
        sim::set_recording(true);
    }
    void TearDown() override
    {
        platform::close_drive(handle);
        SimulatedDrives::TearDown();
    }
    platform::DriveHandle handle = platform::invalid_drive_handle;
};

TEST_P(EveryCommand, SendsItsRegistersAsA48BitRead)
{
    const CommandRow& row = GetParam();
    row.run(handle);
    ASSERT_EQ(sim::requests().size(), 1u);
    const sim::Request& request = sim::requests()[0];
    const AtaPassBuffer& ab = sent(request);
    EXPECT_EQ(request.request_size, 556u);
    EXPECT_EQ(ab.apt.Length, 40);
    EXPECT_EQ(ab.apt.AtaFlags, 0x0A);
    EXPECT_EQ(ab.apt.PathId | ab.apt.TargetId | ab.apt.Lun | ab.apt.ReservedAsUchar, 0);
    EXPECT_EQ(ab.apt.DataTransferLength, 512u);
    EXPECT_EQ(ab.apt.TimeOutValue, 10u);
    EXPECT_EQ(ab.apt.ReservedAsUlong, 0u);
    EXPECT_EQ(ab.apt.DataBufferOffset, 44u);
    EXPECT_EQ(ab.padding, 0u);
    const TaskFile zero{};
    EXPECT_EQ(std::memcmp(&ab.apt.PreviousTaskFile, &zero, 8), 0);
    const TaskFile& cur = ab.apt.CurrentTaskFile;
    EXPECT_EQ(cur.features, row.features);
    EXPECT_EQ(cur.sector_count, 1);
    EXPECT_EQ(cur.lba_low, 0);
    EXPECT_EQ(cur.lba_mid, row.lba_mid);
    EXPECT_EQ(cur.lba_high, row.lba_high);
    EXPECT_EQ(cur.device, 0);
    EXPECT_EQ(cur.command, row.command);
    EXPECT_EQ(cur.reserved, 0);
    EXPECT_EQ(ab.data[0], 0xCF);
    EXPECT_FALSE(has_nonzero_byte(ab.data + 1, 511));
}

// A failed read overwrites its section with zeros; nothing else in the
// table moves, and the commands that do not read store nothing at all.
TEST_P(EveryCommand, FailureZeroesOnlyItsOwnSection)
{
    const CommandRow& row = GetParam();
    for (auto& record : drive_table) {
        std::memset(&record, 0x5C, sizeof record);
    }
    for (auto& fault : sim::drive(2).faults) {
        fault = {Fault::status_err, 0};
    }
    EXPECT_FALSE(row.run(handle));

    for (int slot = 0; slot < kDriveSlots; ++slot) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&drive_table[slot]);
        for (int i = 0; i < static_cast<int>(sizeof(DriveRecord)); ++i) {
            const bool zeroed = slot == 2 && row.section > 0 && i >= row.section &&
                                i < row.section + 512;
            ASSERT_EQ(bytes[i], zeroed ? 0x00 : 0x5C) << "slot " << slot << " byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryCommand, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatedDrives, ReadsStoreEachSectorInTheCurrentSlot)
{
    sim::make_plain_drive(5);
    const platform::DriveHandle handle = open_drive(5);
    ASSERT_NE(handle, platform::invalid_drive_handle);
    sim::drive(5).faults[static_cast<int>(Command::smart_read_data)] = {Fault::status_err, 0};

    EXPECT_TRUE(read_identify(handle));
    EXPECT_FALSE(read_smart_values(handle));
    EXPECT_TRUE(read_smart_thresholds(handle));
    platform::close_drive(handle);

    const DriveRecord& slot = drive_table[5];
    EXPECT_EQ(std::memcmp(slot.identify, sim::drive(5).identify, 512), 0);
    EXPECT_FALSE(has_nonzero_byte(slot.smart_values, 512));
    EXPECT_EQ(std::memcmp(slot.smart_thresholds, sim::drive(5).thresholds, 512), 0);
    EXPECT_EQ(slot.reserved, 0);
    EXPECT_FALSE(has_nonzero_byte(&drive_table[4], sizeof(DriveRecord)));
    EXPECT_FALSE(has_nonzero_byte(&drive_table[6], sizeof(DriveRecord)));
}

TEST_F(SimulatedDrives, EnablingSmartOnADriveThatHasItOff)
{
    sim::make_plain_drive(0);
    sim::drive(0).smart_on = false;
    const platform::DriveHandle handle = open_drive(0);
    ASSERT_TRUE(read_identify(handle));
    EXPECT_EQ(smart_enabled(), 0);
    EXPECT_FALSE(read_smart_values(handle)) << "a drive with SMART off aborts READ DATA";

    set_smart_enabled(handle, true);
    EXPECT_TRUE(sim::drive(0).smart_on);
    EXPECT_TRUE(read_smart_values(handle));
    ASSERT_TRUE(read_identify(handle));
    EXPECT_EQ(smart_enabled(), 1);
    platform::close_drive(handle);
}

// ------------------------------------------------------------ queries

struct QueryRow {
    std::uint16_t validity;
    std::uint16_t answer;
    std::int32_t expected;
};

TEST_F(SimulatedDrives, QueriesAnswerOnlyUnderValidBits1514)
{
    const QueryRow rows[] = {
        {0x0000, 0x0001, -1}, {0x3FFF, 0x0001, -1}, {0x4000, 0x0000, 0}, {0x4000, 0x0001, 1},
        {0x7FFF, 0x0001, 1},  {0x7FFF, 0xFFFE, 0},  {0x8000, 0x0001, -1}, {0xC000, 0x0001, -1},
        {0xFFFF, 0x0001, -1},
    };
    current_drive = 9;
    for (const QueryRow& row : rows) {
        std::memset(drive_table[9].identify, 0, 512);
        set_identify_word(drive_table[9].identify, 87, row.validity);
        set_identify_word(drive_table[9].identify, 85, row.answer);
        EXPECT_EQ(smart_enabled(), row.expected) << std::hex << row.validity;
        EXPECT_EQ(smart_supported(), -1);

        std::memset(drive_table[9].identify, 0, 512);
        set_identify_word(drive_table[9].identify, 83, row.validity);
        set_identify_word(drive_table[9].identify, 82, row.answer);
        EXPECT_EQ(smart_supported(), row.expected) << std::hex << row.validity;
        EXPECT_EQ(smart_enabled(), -1);
    }
}

TEST_F(SimulatedDrives, QueriesOutsideTheTableHaveNoAnswer)
{
    for (auto& record : drive_table) {
        set_identify_word(record.identify, 87, 0x4000);
        set_identify_word(record.identify, 83, 0x4000);
    }
    for (std::int32_t number : {-1, 32, 127}) {
        current_drive = number;
        EXPECT_EQ(smart_enabled(), -1);
        EXPECT_EQ(smart_supported(), -1);
    }
}

// ------------------------------------------------------------ corpus

TEST_F(SimulatedDrives, EveryCorpusDriveReplaysIntoItsSlot)
{
    int drives = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PLATEWISE_TEST_DATA "/drives")) {
        if (entry.path().extension() != ".rec") {
            continue;
        }
        std::vector<std::uint8_t> record(sizeof(DriveRecord));
        FILE* f = std::fopen(entry.path().string().c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fread(record.data(), 1, record.size(), f), record.size());
        std::fclose(f);

        const int slot = drives % kDriveSlots;
        sim::load_record(slot, record.data());
        const platform::DriveHandle handle = open_drive(static_cast<std::int8_t>(slot));
        ASSERT_NE(handle, platform::invalid_drive_handle) << entry.path();
        EXPECT_TRUE(read_identify(handle)) << entry.path();
        if (smart_enabled() == 0) {
            set_smart_enabled(handle, true);
        }
        EXPECT_TRUE(read_smart_values(handle)) << entry.path();
        EXPECT_TRUE(read_smart_thresholds(handle)) << entry.path();
        platform::close_drive(handle);
        EXPECT_EQ(std::memcmp(&drive_table[slot], record.data(), record.size()), 0) << entry.path();
        ++drives;
    }
    EXPECT_EQ(drives, 19);
    EXPECT_EQ(sim::open_handles(), 0);
}

}  // namespace
