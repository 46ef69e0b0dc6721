// The SCSI/ATA translation of the Linux platform, bytes in and bytes out:
// the request record becomes an ATA PASS-THROUGH(16) command block, and the
// SG_IO completion (status, sense bytes, residual count) becomes the returned
// registers, the returned byte count and the failure class.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "diskinfo.h"
#include "platform/sat_passthrough.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A request exactly as run_ata_passthrough builds it.
AtaPassBuffer make_request(const TaskFile& current, const TaskFile* previous, std::int32_t size)
{
    AtaPassBuffer ab;
    std::memset(&ab, 0, sizeof ab);
    ab.apt.Length = sizeof ab.apt;
    ab.apt.TimeOutValue = kPassthroughTimeoutSeconds;
    ab.apt.DataBufferOffset = kPassthroughHeaderBytes;
    if (size > 0) {
        ab.apt.AtaFlags = ATA_FLAGS_DATA_IN;
        ab.apt.DataTransferLength = static_cast<std::uint32_t>(size);
        ab.data[0] = kUntouchedMarker;
    } else if (size < 0) {
        ab.apt.AtaFlags = ATA_FLAGS_DATA_OUT;
        ab.apt.DataTransferLength = static_cast<std::uint32_t>(-size);
    }
    ab.apt.CurrentTaskFile = current;
    if (previous != nullptr) {
        ab.apt.PreviousTaskFile = *previous;
        ab.apt.AtaFlags |= ATA_FLAGS_48BIT_COMMAND;
    }
    return ab;
}

std::uint32_t request_size(const AtaPassBuffer& ab)
{
    return kPassthroughHeaderBytes + ab.apt.DataTransferLength;
}

TaskFile registers(std::uint8_t features, std::uint8_t count, std::uint8_t lba_low,
                   std::uint8_t lba_mid, std::uint8_t lba_high, std::uint8_t device,
                   std::uint8_t command)
{
    return TaskFile{features, count, lba_low, lba_mid, lba_high, device, command, 0};
}

std::string hex(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += two;
    }
    return text;
}

Bytes parse_hex(const char* text)
{
    Bytes bytes;
    unsigned value = 0;
    int digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        int nibble = -1;
        if (c >= '0' && c <= '9') nibble = c - '0';
        if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
        if (nibble < 0) continue;
        value = value * 16 + static_cast<unsigned>(nibble);
        if (++digits == 2) {
            bytes.push_back(static_cast<std::uint8_t>(value));
            value = 0;
            digits = 0;
        }
    }
    return bytes;
}

bool same(const TaskFile& a, const TaskFile& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string show(const TaskFile& t)
{
    return hex(reinterpret_cast<const std::uint8_t*>(&t), sizeof t);
}

// ------------------------------------------------------------ request side

struct CdbRow {
    const char* name;
    TaskFile current;
    bool with_previous;
    TaskFile previous;
    std::int32_t size;
    const char* cdb;              // expected, hex
    sat::Direction direction;
};
void PrintTo(const CdbRow& row, std::ostream* os) { *os << row.name; }

const TaskFile kZero{};
const TaskFile kPrev48 = registers(0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00);

const CdbRow kCdbRows[] = {
    // The service's commands: 512-byte PIO data-in, AtaFlags 0x0A,
    // previous block all zero: EXTEND=1, zero high halves.
    {"identify", registers(0x00, 1, 0, 0x00, 0x00, 0, ATA_IDENTIFY_DEVICE), true, kZero, 512,
     "85 09 0e 00 00 00 01 00 00 00 00 00 00 00 ec 00", sat::Direction::from_device},
    {"smart_read_data", registers(SMART_READ_DATA, 1, 0, 0x4F, 0xC2, 0, ATA_SMART), true, kZero,
     512, "85 09 0e 00 d0 00 01 00 00 00 4f 00 c2 00 b0 00", sat::Direction::from_device},
    {"smart_read_thresholds", registers(SMART_READ_THRESHOLDS, 1, 0, 0x4F, 0xC2, 0, ATA_SMART),
     true, kZero, 512, "85 09 0e 00 d1 00 01 00 00 00 4f 00 c2 00 b0 00",
     sat::Direction::from_device},
    // SMART ENABLE and DISABLE OPERATIONS move no data: whatever direction
    // and length the request carries, they go out non-data (protocol 3,
    // CK_COND=1, no length fields, no data phase).
    {"smart_enable_as_512_byte_read",
     registers(SMART_ENABLE_OPERATIONS, 1, 0, 0x4F, 0xC2, 0, ATA_SMART), true, kZero, 512,
     "85 07 20 00 d8 00 01 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    {"smart_disable_as_512_byte_read",
     registers(SMART_DISABLE_OPERATIONS, 1, 0, 0x4F, 0xC2, 0, ATA_SMART), true, kZero, 512,
     "85 07 20 00 d9 00 01 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    {"smart_enable_28bit_read",
     registers(SMART_ENABLE_OPERATIONS, 1, 0, 0x4F, 0xC2, 0, ATA_SMART), false, kZero, 512,
     "85 06 20 00 d8 00 01 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    {"smart_disable_as_write",
     registers(SMART_DISABLE_OPERATIONS, 1, 0, 0x4F, 0xC2, 0, ATA_SMART), true, kZero, -512,
     "85 07 20 00 d9 00 01 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    {"smart_enable_as_16k_read",
     registers(SMART_ENABLE_OPERATIONS, 0, 0, 0x4F, 0xC2, 0, ATA_SMART), true, kZero, 16384,
     "85 07 20 00 d8 00 00 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    {"smart_enable_without_data",
     registers(SMART_ENABLE_OPERATIONS, 0, 0, 0x4F, 0xC2, 0, ATA_SMART), false, kZero, 0,
     "85 06 20 00 d8 00 00 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    // Only those two: other SMART reads, and Features 0xD8 under another
    // command, keep their data phase.
    {"smart_read_log_keeps_data_in", registers(0xD5, 1, 0x01, 0x4F, 0xC2, 0, ATA_SMART), true,
     kZero, 512, "85 09 0e 00 d5 00 01 00 01 00 4f 00 c2 00 b0 00", sat::Direction::from_device},
    {"features_d8_of_identify_keeps_data_in",
     registers(SMART_ENABLE_OPERATIONS, 1, 0, 0, 0, 0, ATA_IDENTIFY_DEVICE), true, kZero, 512,
     "85 09 0e 00 d8 00 01 00 00 00 00 00 00 00 ec 00", sat::Direction::from_device},
    // 28-bit (no previous block): EXTEND=0.
    {"identify_28bit", registers(0x00, 1, 0, 0, 0, 0xA0, ATA_IDENTIFY_DEVICE), false, kZero, 512,
     "85 08 0e 00 00 00 01 00 00 00 00 00 00 a0 ec 00", sat::Direction::from_device},
    // 48-bit with a real previous block: the high halves carry it.
    {"read_sectors_ext", registers(0x00, 0x02, 0x9A, 0xBC, 0xDE, 0x40, 0x24), true, kPrev48,
     1024, "85 09 0e 00 00 12 02 34 9a 56 bc 78 de 40 24 00", sat::Direction::from_device},
    // A previous block without the 48-bit flag is not sent.
    {"previous_ignored_without_extend", registers(0x00, 1, 0, 0, 0, 0, ATA_IDENTIFY_DEVICE),
     false, kPrev48, 512, "85 08 0e 00 00 00 01 00 00 00 00 00 00 00 ec 00",
     sat::Direction::from_device},
    // PIO data-out: protocol 5, T_DIR=0.
    {"write_log_ext", registers(0x00, 1, 0x80, 0, 0, 0, 0x3F), true, kZero, -512,
     "85 0b 06 00 00 00 01 00 80 00 00 00 00 00 3f 00", sat::Direction::to_device},
    {"smart_write_log_28bit", registers(0xD6, 1, 0x80, 0x4F, 0xC2, 0, ATA_SMART), false, kZero,
     -512, "85 0a 06 00 d6 00 01 00 80 00 4f 00 c2 00 b0 00", sat::Direction::to_device},
    // Non-data: protocol 3, CK_COND=1, no length fields.
    {"smart_return_status", registers(0xDA, 0, 0, 0x4F, 0xC2, 0, ATA_SMART), false, kZero, 0,
     "85 06 20 00 da 00 00 00 00 00 4f 00 c2 00 b0 00", sat::Direction::none},
    {"flush_cache_ext_48bit", registers(0, 0, 0, 0, 0, 0, 0xEA), true, kZero, 0,
     "85 07 20 00 00 00 00 00 00 00 00 00 00 00 ea 00", sat::Direction::none},
};

class CdbTranslation : public ::testing::TestWithParam<CdbRow> {};

TEST_P(CdbTranslation, RequestBecomesAtaPassThrough16)
{
    const CdbRow& row = GetParam();
    AtaPassBuffer ab = make_request(row.current, row.with_previous ? &row.previous : nullptr,
                                    row.size);
    sat::Command command;
    ASSERT_TRUE(sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), request_size(ab),
                                   &command));
    EXPECT_EQ(hex(command.cdb, sizeof command.cdb), hex(parse_hex(row.cdb).data(), 16));
    EXPECT_EQ(command.direction, row.direction);
    const std::uint32_t magnitude = static_cast<std::uint32_t>(row.size < 0 ? -row.size : row.size);
    EXPECT_EQ(command.data_length, row.direction == sat::Direction::none ? 0u : magnitude);
    EXPECT_EQ(command.timeout_ms, 10000u);
}

INSTANTIATE_TEST_SUITE_P(Commands, CdbTranslation, ::testing::ValuesIn(kCdbRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CdbTranslation, TimeOutSecondsBecomeMilliseconds)
{
    AtaPassBuffer ab = make_request(registers(0, 1, 0, 0, 0, 0, 0xEC), &kZero, 512);
    ab.apt.TimeOutValue = 3;
    sat::Command command;
    ASSERT_TRUE(sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), 556, &command));
    EXPECT_EQ(command.timeout_ms, 3000u);
    ab.apt.TimeOutValue = 0xFFFFFFFFu;
    ASSERT_TRUE(sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), 556, &command));
    EXPECT_EQ(command.timeout_ms, 0xFFFFFFFFu);
}

TEST(CdbTranslation, MalformedRequestsAreRefused)
{
    const TaskFile id = registers(0, 1, 0, 0, 0, 0, 0xEC);
    sat::Command command;
    auto refused = [&](AtaPassBuffer ab, std::uint32_t size) {
        return !sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), size, &command);
    };
    AtaPassBuffer ab = make_request(id, &kZero, 512);
    EXPECT_TRUE(refused(ab, 43)) << "shorter than the header";
    EXPECT_TRUE(refused(ab, 555)) << "more data than the request holds";
    EXPECT_FALSE(refused(ab, 556));
    AtaPassBuffer bad = ab;
    bad.apt.Length = 48;
    EXPECT_TRUE(refused(bad, 556)) << "64-bit record length";
    bad = ab;
    bad.apt.DataBufferOffset = 48;
    EXPECT_TRUE(refused(bad, 556)) << "data elsewhere";
    bad = ab;
    bad.apt.AtaFlags |= ATA_FLAGS_DATA_OUT;
    EXPECT_TRUE(refused(bad, 556)) << "both directions";
    bad = ab;
    bad.apt.AtaFlags |= 0x10;
    EXPECT_TRUE(refused(bad, 556)) << "DMA";
    bad = ab;
    bad.apt.DataTransferLength = 0;
    EXPECT_TRUE(refused(bad, 556)) << "direction without data";
    bad = make_request(id, nullptr, 0);
    bad.apt.DataTransferLength = 512;
    EXPECT_TRUE(refused(bad, 556)) << "data without direction";
    EXPECT_FALSE(sat::build_command(nullptr, 556, &command));
}

// ------------------------------------------------------------- sense side

struct SenseRow {
    const char* name;
    const char* sense;             // hex, as sb_len_wr bytes
    sat::SenseLayout layout;
    TaskFile current;              // expected when layout != none
    bool extend;
    bool has_previous;
    TaskFile previous;
};
void PrintTo(const SenseRow& row, std::ostream* os) { *os << row.name; }

const SenseRow kSenseRows[] = {
    // Debian's 6.1 kernel, SMART READ DATA aborted on a disk with SMART off:
    // fixed format, registers eight bytes late (Error 8, Status 9, Device
    // 10, Count 11), ASC/ASCQ in place.
    {"fixed_linux61_aborted", "70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 00 00",
     sat::SenseLayout::fixed_linux61, registers(0x04, 0x01, 0, 0, 0, 0x00, 0x41), false, false,
     kZero},
    // Measured in the lab (scripts/lab, Debian 6.1.0, QEMU 7.2 AHCI): SMART
    // READ DATA with SMART disabled, sb_len_wr 18, EXTEND flag at byte 16.
    {"fixed_linux61_measured_in_lab", "70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 80 00",
     sat::SenseLayout::fixed_linux61, registers(0x04, 0x01, 0, 0, 0, 0x00, 0x41), true, false,
     kZero},
    // The same layout with its LBA bytes (17-19) and the EXTEND flag (16),
    // when the kernel hands out more than the additional length.
    {"fixed_linux61_full", "70 00 0b 00 00 00 00 0a 04 51 e0 01 00 00 00 00 80 00 4f c2",
     sat::SenseLayout::fixed_linux61, registers(0x04, 0x01, 0x00, 0x4F, 0xC2, 0xE0, 0x51), true,
     false, kZero},
    // QEMU's answer to PIO data-in with CK_COND=1 on 6.1: DRQ set.
    {"fixed_linux61_qemu_ck_cond_drq", "70 00 0b 00 00 00 00 0a 00 58 00 01 00 00 00 00 80 00",
     sat::SenseLayout::fixed_linux61, registers(0x00, 0x01, 0, 0, 0, 0x00, 0x58), true, false,
     kZero},
    // Linux 6.12: the SAT fixed layout, VALID set; Error 3, Status 4, Device
    // 5, Count 6, flags 8, LBA 9-11.
    {"fixed_standard_aborted", "f0 00 0b 04 41 00 00 0a 00 00 4f c2 00 00 00 00 00 00",
     sat::SenseLayout::fixed, registers(0x04, 0x00, 0x00, 0x4F, 0xC2, 0x00, 0x41), false, false,
     kZero},
    {"fixed_standard_extend_without_valid", "70 00 01 00 50 a0 01 0a 80 11 22 33 00 1d 00 00 00 00",
     sat::SenseLayout::fixed, registers(0x00, 0x01, 0x11, 0x22, 0x33, 0xA0, 0x50), true, false,
     kZero},
    // Descriptor format, ATA Status Return descriptor (09h), as a non-data
    // command with CK_COND=1 comes back: RECOVERED ERROR, 00h/1Dh.
    {"descriptor_ck_cond", "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 00 00 00 00 4f 00 c2 40 50",
     sat::SenseLayout::descriptor, registers(0x00, 0x00, 0x00, 0x4F, 0xC2, 0x40, 0x50), false,
     true, kZero},
    // Descriptor format with EXTEND: the high-order bytes come back too.
    {"descriptor_extend", "72 01 00 1d 00 00 00 0e 09 0c 01 00 12 02 34 9a 56 bc 78 de 40 50",
     sat::SenseLayout::descriptor, registers(0x00, 0x02, 0x9A, 0xBC, 0xDE, 0x40, 0x50), true,
     true, registers(0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00)},
    // Descriptor format where the device's D_SENSE is set, an error, with
    // another descriptor (information, 00h) before the ATA one.
    {"descriptor_after_other", "72 0b 00 00 00 00 00 1a 00 0a 80 00 00 00 00 00 00 00 00 00 "
                               "09 0c 00 04 00 01 00 00 00 4f 00 c2 00 51",
     sat::SenseLayout::descriptor, registers(0x04, 0x01, 0x00, 0x4F, 0xC2, 0x00, 0x51), false,
     true, kZero},
    // Sense without ATA registers.
    {"fixed_unit_attention", "70 00 06 00 00 00 00 0a 00 00 00 00 29 00 00 00 00 00",
     sat::SenseLayout::none, kZero, false, false, kZero},
    {"fixed_invalid_opcode", "70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00",
     sat::SenseLayout::none, kZero, false, false, kZero},
    {"descriptor_without_ata_descriptor", "72 05 24 00 00 00 00 00", sat::SenseLayout::none,
     kZero, false, false, kZero},
    {"descriptor_cut_short", "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 00 00 00 00 4f",
     sat::SenseLayout::none, kZero, false, false, kZero},
    {"empty", "", sat::SenseLayout::none, kZero, false, false, kZero},
    {"deferred_other_code", "7f 00 0b 04 41", sat::SenseLayout::none, kZero, false, false, kZero},
};

class SenseParsing : public ::testing::TestWithParam<SenseRow> {};

TEST_P(SenseParsing, RegistersFromEveryLayout)
{
    const SenseRow& row = GetParam();
    const Bytes sense = parse_hex(row.sense);
    const sat::AtaRegisters regs =
        sat::parse_sense(sense.data(), static_cast<std::uint32_t>(sense.size()));
    ASSERT_EQ(regs.layout, row.layout);
    if (row.layout == sat::SenseLayout::none) {
        return;
    }
    EXPECT_TRUE(same(regs.current, row.current)) << show(regs.current);
    EXPECT_EQ(regs.extend, row.extend);
    EXPECT_EQ(regs.has_previous, row.has_previous);
    if (row.has_previous) {
        EXPECT_TRUE(same(regs.previous, row.previous)) << show(regs.previous);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SenseParsing, ::testing::ValuesIn(kSenseRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SenseParsing, ReadsNoByteBeyondTheLengthGiven)
{
    // The 6.1 example with 20 bytes in memory but only 10 reported.
    const Bytes sense = parse_hex("70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 80 00 4f c2");
    const sat::AtaRegisters regs = sat::parse_sense(sense.data(), 10);
    ASSERT_EQ(regs.layout, sat::SenseLayout::fixed_linux61);
    EXPECT_TRUE(same(regs.current, registers(0x04, 0, 0, 0, 0, 0, 0x41))) << show(regs.current);
    EXPECT_FALSE(regs.extend);
}

// ------------------------------------------------------ completion classes

struct CompletionRow {
    const char* name;
    std::uint8_t scsi_status;
    std::uint16_t host_status;
    std::uint16_t driver_status;
    std::int32_t resid;
    const char* sense;
    platform::IoFailure failure;
    std::uint32_t code;
    std::uint32_t returned;
    bool registers_written;
    TaskFile current;   // expected CurrentTaskFile afterwards
};
void PrintTo(const CompletionRow& row, std::ostream* os) { *os << row.name; }

// SMART READ DATA, 512-byte read, as sent.
const TaskFile kSent = registers(SMART_READ_DATA, 1, 0, 0x4F, 0xC2, 0, ATA_SMART);

const CompletionRow kCompletionRows[] = {
    // PIO data-in, CK_COND=0, GOOD, nothing in the sense buffer: ended
    // without error; Error 0, Status 0x50, the rest as sent.
    {"good_without_registers", 0x00, 0, 0, 0, "", platform::IoFailure::none, 0, 556, true,
     registers(0x00, 1, 0, 0x4F, 0xC2, 0, 0x50)},
    {"good_short_transfer", 0x00, 0, 0, 256, "", platform::IoFailure::none, 0, 300, true,
     registers(0x00, 1, 0, 0x4F, 0xC2, 0, 0x50)},
    {"good_nothing_transferred", 0x00, 0, 0, 512, "", platform::IoFailure::none, 0, 44, true,
     registers(0x00, 1, 0, 0x4F, 0xC2, 0, 0x50)},
    // Device errors: the registers go back and the Status test decides.
    {"linux61_aborted", 0x02, 0, 0x08, 512, "70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 00 00",
     platform::IoFailure::none, 0, 44, true, registers(0x04, 0x01, 0, 0, 0, 0, 0x41)},
    {"standard_fixed_aborted", 0x02, 0, 0, 512, "f0 00 0b 04 41 00 00 0a 00 00 4f c2 00 00 00 00 00 00",
     platform::IoFailure::none, 0, 44, true, registers(0x04, 0, 0, 0x4F, 0xC2, 0, 0x41)},
    {"descriptor_error", 0x02, 0, 0x08, 512,
     "72 0b 00 00 00 00 00 0e 09 0c 00 04 00 01 00 00 00 4f 00 c2 00 51",
     platform::IoFailure::none, 0, 44, true, registers(0x04, 0x01, 0, 0x4F, 0xC2, 0, 0x51)},
    {"qemu_ck_cond_drq", 0x02, 0, 0x08, 0, "70 00 0b 00 00 00 00 0a 00 58 00 01 00 00 00 00 80 00",
     platform::IoFailure::none, 0, 556, true, registers(0x00, 0x01, 0, 0, 0, 0, 0x58)},
    // Non-data with CK_COND=1: RECOVERED ERROR, ATA PASS-THROUGH INFORMATION
    // AVAILABLE, clean Status.
    {"descriptor_recovered_clean", 0x02, 0, 0x08, 0,
     "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 00 00 00 00 4f 00 c2 40 50",
     platform::IoFailure::none, 0, 556, true, registers(0x00, 0, 0, 0x4F, 0xC2, 0x40, 0x50)},
    // A failed command whose Status looks clean: not the device's word.
    {"aborted_key_with_clean_status", 0x02, 0, 0x08, 0,
     "f0 00 0b 00 50 00 00 0a 00 00 00 00 47 00 00 00 00 00",
     platform::IoFailure::driver_error, EIO, 556, false, kSent},
    // Transport errors.
    {"host_status_timeout", 0x00, 0x03, 0, 512, "", platform::IoFailure::driver_error, EIO, 44,
     false, kSent},
    {"driver_timeout", 0x00, 0, 0x06, 512, "", platform::IoFailure::driver_error, EIO, 44, false,
     kSent},
    {"host_error_despite_registers", 0x02, 0x07, 0x08, 0,
     "70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 00 00", platform::IoFailure::driver_error,
     EIO, 556, false, kSent},
    // A SCSI device without ATA PASS-THROUGH.
    {"invalid_opcode", 0x02, 0, 0x08, 512, "70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00",
     platform::IoFailure::not_supported, EOPNOTSUPP, 44, false, kSent},
    {"invalid_field_in_cdb", 0x02, 0, 0x08, 512, "70 00 05 00 00 00 00 0a 00 00 00 00 24 00 00 00 00 00",
     platform::IoFailure::driver_error, EIO, 44, false, kSent},
    {"check_condition_without_sense", 0x02, 0, 0, 512, "", platform::IoFailure::driver_error, EIO,
     44, false, kSent},
    {"busy", 0x08, 0, 0, 512, "", platform::IoFailure::driver_error, EIO, 44, false, kSent},
};

class CompletionClass : public ::testing::TestWithParam<CompletionRow> {};

TEST_P(CompletionClass, RegistersCountAndClass)
{
    const CompletionRow& row = GetParam();
    AtaPassBuffer ab = make_request(kSent, &kZero, 512);
    const TaskFile sentinel_previous = registers(0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA);
    ab.apt.PreviousTaskFile = sentinel_previous;
    sat::Command command;
    ASSERT_TRUE(sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), 556, &command));
    const Bytes sense = parse_hex(row.sense);
    const sat::Completion completion{row.scsi_status, row.host_status, row.driver_status,
                                     row.resid, sense.empty() ? nullptr : sense.data(),
                                     static_cast<std::uint32_t>(sense.size())};
    std::uint32_t returned = 12345;
    const platform::IoResult result =
        sat::finish_command(command, completion, reinterpret_cast<std::uint8_t*>(&ab), &returned);
    EXPECT_EQ(result.failure, row.failure);
    EXPECT_EQ(result.code, row.code);
    EXPECT_EQ(returned, row.returned);
    EXPECT_TRUE(same(ab.apt.CurrentTaskFile, row.current)) << show(ab.apt.CurrentTaskFile);
    if (!row.registers_written) {
        EXPECT_TRUE(same(ab.apt.PreviousTaskFile, sentinel_previous));
    }
    // Never the data area.
    EXPECT_EQ(ab.data[0], kUntouchedMarker);
}

INSTANTIATE_TEST_SUITE_P(Completions, CompletionClass, ::testing::ValuesIn(kCompletionRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CompletionClass, PreviousRegistersComeBackOnlyFromDescriptorSense)
{
    const TaskFile sentinel = registers(0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA);
    auto run = [&](const char* hex_sense) {
        AtaPassBuffer ab = make_request(registers(0, 0, 0, 0, 0, 0, 0xEA), &sentinel, 0);
        sat::Command command;
        EXPECT_TRUE(sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), 44, &command));
        const Bytes sense = parse_hex(hex_sense);
        std::uint32_t returned = 0;
        const sat::Completion completion{0x02, 0, 0x08, 0, sense.data(),
                                         static_cast<std::uint32_t>(sense.size())};
        EXPECT_EQ(sat::finish_command(command, completion, reinterpret_cast<std::uint8_t*>(&ab),
                                      &returned).failure,
                  platform::IoFailure::none);
        EXPECT_EQ(returned, 44u);
        return ab.apt.PreviousTaskFile;
    };
    EXPECT_TRUE(same(run("72 01 00 1d 00 00 00 0e 09 0c 01 00 12 02 34 9a 56 bc 78 de 40 50"),
                     registers(0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00)));
    EXPECT_TRUE(same(run("f0 01 00 00 50 40 00 0a 80 00 00 00 00 1d 00 00 00 00"), sentinel));
}

// SMART ENABLE / DISABLE sent as the service sends them (a 512-byte read)
// and answered as a non-data command: the registers come back, nothing is
// reported as transferred and the data area keeps its marker, so the
// service's byte-count and untouched-data checks see a read that returned no
// data, as they did when the command went out as a PIO read.
TEST(CompletionClass, SmartSwitchAnswersAsAReadThatReturnedNoData)
{
    struct Row {
        const char* name;
        std::uint8_t features;
        std::uint8_t scsi_status;
        std::uint16_t driver_status;
        std::int32_t resid;
        const char* sense;
        platform::IoFailure failure;
        TaskFile current;
    };
    const Row rows[] = {
        {"enable_descriptor_clean", SMART_ENABLE_OPERATIONS, 0x02, 0x08, 0,
         "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 00 00 00 00 4f 00 c2 40 50",
         platform::IoFailure::none, registers(0x00, 0, 0, 0x4F, 0xC2, 0x40, 0x50)},
        {"disable_linux61_clean", SMART_DISABLE_OPERATIONS, 0x02, 0x08, 0,
         "70 00 01 00 00 00 00 0a 00 50 00 01 00 1d 00 00 00 00",
         platform::IoFailure::none, registers(0x00, 0x01, 0, 0, 0, 0, 0x50)},
        {"enable_aborted", SMART_ENABLE_OPERATIONS, 0x02, 0x08, 0,
         "70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 00 00",
         platform::IoFailure::none, registers(0x04, 0x01, 0, 0, 0, 0, 0x41)},
        {"enable_good_without_registers", SMART_ENABLE_OPERATIONS, 0x00, 0, 0, "",
         platform::IoFailure::none, registers(0x00, 1, 0, 0x4F, 0xC2, 0, 0x50)},
        {"disable_resid_ignored", SMART_DISABLE_OPERATIONS, 0x00, 0, 512, "",
         platform::IoFailure::none, registers(0x00, 1, 0, 0x4F, 0xC2, 0, 0x50)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AtaPassBuffer ab = make_request(registers(row.features, 1, 0, 0x4F, 0xC2, 0, ATA_SMART),
                                        &kZero, 512);
        sat::Command command;
        ASSERT_TRUE(sat::build_command(reinterpret_cast<const std::uint8_t*>(&ab), 556, &command));
        ASSERT_EQ(command.direction, sat::Direction::none);
        const Bytes sense = parse_hex(row.sense);
        const sat::Completion completion{row.scsi_status, 0, row.driver_status, row.resid,
                                         sense.empty() ? nullptr : sense.data(),
                                         static_cast<std::uint32_t>(sense.size())};
        std::uint32_t returned = 12345;
        const platform::IoResult result = sat::finish_command(
            command, completion, reinterpret_cast<std::uint8_t*>(&ab), &returned);
        EXPECT_EQ(result.failure, row.failure);
        EXPECT_EQ(returned, kPassthroughHeaderBytes);
        EXPECT_TRUE(same(ab.apt.CurrentTaskFile, row.current)) << show(ab.apt.CurrentTaskFile);
        EXPECT_EQ(ab.data[0], kUntouchedMarker);
        Bytes untouched(511, 0);
        EXPECT_EQ(std::memcmp(ab.data + 1, untouched.data(), untouched.size()), 0);
    }
}

// ------------------------------------------------------------ ioctl errors

TEST(IoctlErrors, NoScsiLayerIsNotSupportedEverythingElseADriverError)
{
    struct Row { int error; platform::IoFailure failure; };
    const Row rows[] = {
        {ENOTTY, platform::IoFailure::not_supported}, {EINVAL, platform::IoFailure::not_supported},
        {ENODEV, platform::IoFailure::not_supported}, {EPERM, platform::IoFailure::driver_error},
        {EACCES, platform::IoFailure::driver_error},  {EIO, platform::IoFailure::driver_error},
        {ENOMEM, platform::IoFailure::driver_error},  {EBUSY, platform::IoFailure::driver_error},
        {EFAULT, platform::IoFailure::driver_error},  {EINTR, platform::IoFailure::driver_error},
    };
    for (const Row& row : rows) {
        const platform::IoResult result = sat::classify_ioctl_error(row.error);
        EXPECT_EQ(result.failure, row.failure) << row.error;
        EXPECT_EQ(result.code, static_cast<std::uint32_t>(row.error));
    }
}

}  // namespace
