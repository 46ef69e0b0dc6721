// Walking SMART sectors, IDENTIFY words and strings, and snapshot buffers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "smart.h"

namespace {

using Sector = std::array<std::uint8_t, smart::kSectorBytes>;

void put_entry(Sector& sector, std::size_t slot, std::array<std::uint8_t, 12> bytes) {
    std::memcpy(sector.data() + 2 + 12 * slot, bytes.data(), 12);
}

TEST(DecodeAttributeSector, KeepsNonEmptySlotsInOrder) {
    Sector sector{};
    sector[0] = 0x10;
    sector[1] = 0x00;
    put_entry(sector, 0, {1, 0x0F, 0x00, 100, 99, 1, 2, 3, 4, 5, 6, 0});
    put_entry(sector, 1, {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    put_entry(sector, 2, {194, 0x22, 0x00, 64, 50, 36, 0, 18, 0, 45, 0, 0});
    put_entry(sector, 29, {9, 0x32, 0x00, 98, 98, 0x10, 0x27, 0, 0, 0, 0, 7});
    sector[2 + 12 * 30] = 5;  // the byte after the last slot is not an entry

    const smart::AttributeList list = smart::decode_attribute_sector(sector);
    EXPECT_EQ(list.revision, 0x10);
    ASSERT_EQ(list.count, 3u);
    EXPECT_EQ(list.slots[0], 0);
    EXPECT_EQ(list.slots[1], 2);
    EXPECT_EQ(list.slots[2], 29);
    EXPECT_EQ(list.entries[0].id, 1);
    EXPECT_EQ(list.entries[0].value, 100);
    EXPECT_EQ(list.entries[0].worst, 99);
    EXPECT_EQ(list.entries[0].raw_bytes[5], 6);
    EXPECT_EQ(smart::attribute_flags(list.entries[0]), 0x000F);
    EXPECT_EQ(list.entries[1].id, 194);
    EXPECT_EQ(std::memcmp(&list.entries[2], sector.data() + 2 + 12 * 29, 12), 0);
    EXPECT_EQ(list.entries[2].reserved, 7);
    for (std::size_t i = list.count; i < smart::kAttributeSlots; ++i) {
        EXPECT_EQ(list.entries[i].id, 0);
    }

    const smart::AttributeDefinitionTable table = smart::default_attribute_table();
    EXPECT_EQ(smart::render_raw_value(list.entries[1], table), "36 (Min/Max 18/45)");
    EXPECT_EQ(smart::render_raw_value(list.entries[2], table), "10000");
}

TEST(DecodeAttributeSector, EmptyAndFullSectors) {
    Sector sector{};
    EXPECT_EQ(smart::decode_attribute_sector(sector).count, 0u);
    for (std::size_t slot = 0; slot < smart::kAttributeSlots; ++slot) {
        put_entry(sector, slot, {static_cast<std::uint8_t>(slot + 1), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    }
    const smart::AttributeList full = smart::decode_attribute_sector(sector);
    ASSERT_EQ(full.count, 30u);
    EXPECT_EQ(full.entries[29].id, 30);
    EXPECT_EQ(full.slots[29], 29);
}

TEST(AttributeFlags, LittleEndian) {
    smart::AttributeEntry entry{};
    entry.flags[0] = 0x01;
    entry.flags[1] = 0x80;
    EXPECT_EQ(smart::attribute_flags(entry), 0x8001);
}

TEST(DecodeThresholdSector, IdAndThresholdPerSlot) {
    Sector sector{};
    sector[0] = 0x10;
    put_entry(sector, 0, {1, 51, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    put_entry(sector, 3, {0, 99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    put_entry(sector, 4, {5, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    put_entry(sector, 5, {5, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});

    const smart::ThresholdList list = smart::decode_threshold_sector(sector);
    EXPECT_EQ(list.revision, 0x10);
    ASSERT_EQ(list.count, 3u);
    EXPECT_EQ(list.entries[0].id, 1);
    EXPECT_EQ(list.entries[0].threshold, 51);
    EXPECT_EQ(list.entries[1].id, 5);
    EXPECT_EQ(list.slots[1], 4);

    const smart::AttributeThreshold* found = smart::find_threshold(list, 5);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->threshold, 36);  // the first entry for the id
    EXPECT_EQ(smart::find_threshold(list, 9), nullptr);
    EXPECT_EQ(smart::find_threshold(list, 0), nullptr);

    // Only the first `count` entries are searched, whatever lies behind them.
    smart::ThresholdList shorter = list;
    shorter.count = 1;
    EXPECT_EQ(smart::find_threshold(shorter, 1), &shorter.entries[0]);
    EXPECT_EQ(smart::find_threshold(shorter, 5), nullptr);
}

Sector identify_with_text(std::size_t first_word, const std::string& text) {
    Sector data{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Character 2k goes in the high byte of its word, 2k+1 in the low byte.
        data[2 * first_word + (i ^ 1)] = static_cast<std::uint8_t>(text[i]);
    }
    return data;
}

TEST(IdentifyWords, LittleEndianAndBounded) {
    Sector data{};
    data[2 * 83] = 0x00;
    data[2 * 83 + 1] = 0x74;
    data[510] = 0xA5;
    data[511] = 0x5A;
    EXPECT_EQ(smart::identify_word(data, 83), 0x7400);
    EXPECT_EQ(smart::identify_word(data, 255), 0x5AA5);
    EXPECT_EQ(smart::identify_word(data, 256), 0);
    EXPECT_EQ(smart::identify_word(data, static_cast<std::size_t>(-1)), 0);
}

struct IdentifyStringRow {
    const char* label;
    std::string stored;    // the text as laid out in words 27..46, 40 characters at most
    std::string expected;  // what identify_model gives
};

class IdentifyModel : public testing::TestWithParam<IdentifyStringRow> {};

TEST_P(IdentifyModel, SwapsAndTrims) {
    const auto data = identify_with_text(27, GetParam().stored);
    EXPECT_EQ(smart::identify_model(data), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, IdentifyModel,
    testing::Values(
        IdentifyStringRow{"padded", "WDC WD2500JB-00REA0                     ", "WDC WD2500JB-00REA0"},
        IdentifyStringRow{"odd_length", "ABC", "ABC"},
        IdentifyStringRow{"leading_blanks", "   K434T81257SL", "K434T81257SL"},
        IdentifyStringRow{"nul_padding", std::string("2.9.09\0\0", 8), "2.9.09"},
        IdentifyStringRow{"inner_blanks_kept", "A  B", "A  B"},
        IdentifyStringRow{"all_blank", "                                        ", ""},
        IdentifyStringRow{"empty", "", ""},
        IdentifyStringRow{"full_40", "0123456789012345678901234567890123456789",
                          "0123456789012345678901234567890123456789"},
        IdentifyStringRow{"raw_bytes_kept", "A\x01\xff", "A\x01\xff"}),
    [](const testing::TestParamInfo<IdentifyStringRow>& info) {
        return std::string(info.param.label);
    });

TEST(IdentifyStrings, SerialAndFirmwareWords) {
    Sector data{};
    const auto serial = identify_with_text(10, "SERIAL-0123456789XYZ");  // 20 characters
    const auto firmware = identify_with_text(23, "FW1.0   ");
    std::memcpy(data.data() + 20, serial.data() + 20, 20);
    std::memcpy(data.data() + 46, firmware.data() + 46, 8);
    EXPECT_EQ(smart::identify_serial(data), "SERIAL-0123456789XYZ");
    EXPECT_EQ(smart::identify_firmware(data), "FW1.0");
    EXPECT_EQ(smart::identify_model(data), "");
}

TEST(IdentifyStrings, LastWordIsClamped) {
    Sector data{};
    data[511] = 'Z';
    data[510] = 'Y';
    EXPECT_EQ(smart::identify_string(data, 255, 1000), "ZY");
    EXPECT_EQ(smart::identify_string(data, 300, 1000), "");
}

std::vector<std::uint8_t> patterned(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

TEST(SplitSnapshot, AcceptsExactlyOneMessage) {
    const auto bytes = patterned(smart::kDriveSnapshotBytes);
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    ASSERT_TRUE(smart::split_snapshot(bytes, *snapshot));
    EXPECT_EQ(snapshot->count, bytes[0]);
    for (std::size_t slot = 0; slot < smart::kDriveSlots; ++slot) {
        const std::uint8_t* record = bytes.data() + 1 + slot * smart::kDriveRecordBytes;
        EXPECT_EQ(snapshot->drives[slot].reserved, record[0]);
        EXPECT_EQ(std::memcmp(snapshot->drives[slot].identify, record + 1, 512), 0);
        EXPECT_EQ(std::memcmp(snapshot->drives[slot].smart_values, record + 513, 512), 0);
        EXPECT_EQ(std::memcmp(snapshot->drives[slot].smart_thresholds, record + 1025, 512), 0);
    }
}

TEST(SplitSnapshot, RefusesOtherSizesAndLeavesSnapshotAlone) {
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    std::memset(snapshot.get(), 0x5C, sizeof *snapshot);
    const auto before = std::make_unique<smart::DriveSnapshot>(*snapshot);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, smart::kDriveRecordBytes, smart::kDriveSnapshotBytes - 1,
          smart::kDriveSnapshotBytes + 1, 2 * smart::kDriveSnapshotBytes}) {
        const auto bytes = patterned(size);
        EXPECT_FALSE(smart::split_snapshot(bytes, *snapshot)) << size;
        EXPECT_EQ(std::memcmp(snapshot.get(), before.get(), sizeof *snapshot), 0) << size;
    }
}

TEST(ReadDriveRecord, AcceptsExactlyOneRecord) {
    const auto bytes = patterned(smart::kDriveRecordBytes);
    smart::DriveRecord record{};
    ASSERT_TRUE(smart::read_drive_record(bytes, record));
    EXPECT_EQ(std::memcmp(&record, bytes.data(), bytes.size()), 0);

    smart::DriveRecord untouched{};
    for (const std::size_t size : {std::size_t{0}, smart::kDriveRecordBytes - 1,
                                   smart::kDriveRecordBytes + 1, smart::kDriveSnapshotBytes}) {
        const auto other = patterned(size);
        EXPECT_FALSE(smart::read_drive_record(other, untouched)) << size;
    }
    EXPECT_EQ(untouched.identify[0], 0);
}

TEST(CurrentSlotCount, CountMinusOneWithinTheTable) {
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    const std::pair<std::uint8_t, std::size_t> cases[] = {{0, 0}, {1, 0}, {2, 1}, {3, 2},
                                                           {32, 31}, {33, 32}, {34, 32}, {255, 32}};
    for (const auto& [count, slots] : cases) {
        snapshot->count = count;
        EXPECT_EQ(smart::current_slot_count(*snapshot), slots) << int{count};
    }
}

}  // namespace
