// Drive sizes from IDENTIFY words: one row per rule, every row also run on a
// garbage-filled result record.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "smart.h"

namespace {

using Words = std::initializer_list<std::pair<int, std::uint16_t>>;

struct SizeRow {
    const char* label;
    Words words;  // IDENTIFY words to set; all others are 0
    std::uint64_t sector_count;
    std::uint64_t total_bytes;
    std::uint32_t logical;
    std::uint32_t physical;
    std::uint32_t alignment;
};

void PrintTo(const SizeRow& row, std::ostream* os) {
    *os << row.label;
}

std::array<std::uint8_t, smart::kSectorBytes> identify_with(Words words) {
    std::array<std::uint8_t, smart::kSectorBytes> data{};
    for (const auto& [n, value] : words) {
        data[2 * static_cast<std::size_t>(n)] = static_cast<std::uint8_t>(value & 0xFF);
        data[2 * static_cast<std::size_t>(n) + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    return data;
}

constexpr std::uint16_t kLba = 0x0200;
constexpr std::uint16_t k48 = 0x4400;
constexpr std::uint64_t k976773168 = 976773168;  // a 500 GB drive's 48-bit count

const SizeRow kRows[] = {
    {"all_zero", {}, 0, 0, 0, 0, 0},
    {"no_lba_with_counts",
     {{49, 0xFDFF}, {60, 1000}, {83, k48}, {100, 2000}, {106, 0x4000}}, 0, 0, 0, 0, 0},
    {"lba_no_counts", {{49, kLba}, {83, 0x0000}, {100, 2000}}, 0, 0, 0, 0, 0},
    {"lba_only_bit_needed", {{49, kLba}, {60, 1000}}, 1000, 512000, 512, 512, 0},
    {"count28_unmasked", {{49, kLba}, {60, 0xFFFF}, {61, 0xFFFF}}, 0xFFFFFFFFull,
     0xFFFFFFFFull * 512, 512, 512, 0},
    {"count48_larger",
     {{49, kLba}, {60, 0xFFFF}, {61, 0x0FFF}, {83, k48}, {100, 0x6030}, {101, 0x3A38}},
     k976773168, k976773168 * 512, 512, 512, 0},
    {"count48_all_words",
     {{49, kLba}, {60, 1}, {83, k48}, {100, 0x0004}, {101, 0x0003}, {102, 0x0002}, {103, 0x0001}},
     0x0001000200030004ull, 0x0001000200030004ull * 512, 512, 512, 0},
    {"word83_bit15_set",
     {{49, kLba}, {60, 1000}, {83, 0xC400}, {100, 5000}}, 1000, 512000, 512, 512, 0},
    {"word83_bit14_clear",
     {{49, kLba}, {60, 1000}, {83, 0x0400}, {100, 5000}}, 1000, 512000, 512, 512, 0},
    {"word83_bit10_clear",
     {{49, kLba}, {60, 1000}, {83, 0x4000}, {100, 5000}}, 1000, 512000, 512, 512, 0},
    {"word83_valid_count48_zero", {{49, kLba}, {60, 1000}, {83, k48}}, 1000, 512000, 512, 512, 0},
    {"count48_only", {{49, kLba}, {83, k48}, {100, 1000}}, 1000, 512000, 512, 512, 0},
    {"count48_smaller_512",
     {{49, kLba}, {60, 2000}, {83, k48}, {100, 1000}}, 2000, 2000 * 512, 512, 512, 0},
    {"count48_smaller_4k_logical",
     {{49, kLba}, {60, 2000}, {83, k48}, {100, 1000}, {106, 0x5000}, {117, 2048}},
     1000, 1000 * 4096, 4096, 4096, 0},
    {"count28_with_4k_logical_no_48",
     {{49, kLba}, {60, 2000}, {106, 0x5000}, {117, 2048}}, 2000, 2000 * 4096, 4096, 4096, 0},
    {"physical_4k", {{49, kLba}, {60, 1000}, {106, 0x6003}}, 1000, 512000, 512, 4096, 0},
    {"logical_and_physical",
     {{49, kLba}, {60, 1000}, {106, 0x7003}, {117, 2048}}, 1000, 4096000, 4096, 32768, 0},
    {"logical_size_high_word",
     {{49, kLba}, {60, 10}, {106, 0x5000}, {118, 1}}, 10, 10 * 131072ull, 131072, 131072, 0},
    {"logical_size_kept_to_32_bits",
     {{49, kLba}, {60, 10}, {106, 0x5000}, {118, 0x8000}}, 10, 0, 0, 0, 0},
    {"physical_shift_kept_to_32_bits",
     {{49, kLba}, {60, 10}, {106, 0x700F}, {118, 0x0002}}, 10, 10 * 262144ull, 262144, 0, 0},
    {"logical_zero_words",
     {{49, kLba}, {60, 2000}, {83, k48}, {100, 1000}, {106, 0x5000}}, 2000, 0, 0, 0, 0},
    {"word106_bit15_ignores_all",
     {{49, kLba}, {60, 1000}, {106, 0xF003}, {117, 2048}, {209, 0x4001}}, 1000, 512000, 512, 512, 0},
    {"word106_bit14_clear_ignores_all",
     {{49, kLba}, {60, 1000}, {106, 0x3003}, {117, 2048}, {209, 0x4001}}, 1000, 512000, 512, 512, 0},
    {"alignment_one_sector",
     {{49, kLba}, {60, 1000}, {106, 0x4000}, {209, 0x4001}}, 1000, 512000, 512, 512, 512},
    {"alignment_mask",
     {{49, kLba}, {60, 1000}, {106, 0x6003}, {209, 0x7FFF}}, 1000, 512000, 512, 4096, 0x3FFF * 512},
    {"alignment_4k_logical",
     {{49, kLba}, {60, 1000}, {106, 0x5000}, {117, 2048}, {209, 0x4001}},
     1000, 4096000, 4096, 4096, 4096},
    {"alignment_bit15_set",
     {{49, kLba}, {60, 1000}, {106, 0x4000}, {209, 0xC001}}, 1000, 512000, 512, 512, 0},
    {"alignment_bit14_clear",
     {{49, kLba}, {60, 1000}, {106, 0x4000}, {209, 0x0001}}, 1000, 512000, 512, 512, 0},
    {"integrity_word_ignored",
     {{49, kLba}, {60, 1000}, {255, 0xFFA5}}, 1000, 512000, 512, 512, 0},
};

class ComputeDriveSizes : public testing::TestWithParam<SizeRow> {};

void expect_sizes(const smart::DriveSizes& sizes, const SizeRow& row) {
    EXPECT_EQ(sizes.sector_count, row.sector_count);
    EXPECT_EQ(sizes.total_bytes, row.total_bytes);
    EXPECT_EQ(sizes.logical_sector_bytes, row.logical);
    EXPECT_EQ(sizes.physical_sector_bytes, row.physical);
    EXPECT_EQ(sizes.alignment_offset_bytes, row.alignment);
}

TEST_P(ComputeDriveSizes, FromZeroedRecord) {
    const SizeRow& row = GetParam();
    const auto identify = identify_with(row.words);
    smart::DriveSizes sizes{};
    smart::compute_drive_sizes(identify, sizes);
    expect_sizes(sizes, row);
}

TEST_P(ComputeDriveSizes, FromGarbageRecord) {
    const SizeRow& row = GetParam();
    const auto identify = identify_with(row.words);
    for (const unsigned char fill : {0xA5, 0xFF, 0x01}) {
        smart::DriveSizes sizes;
        std::memset(&sizes, fill, sizeof sizes);
        smart::compute_drive_sizes(identify, sizes);
        expect_sizes(sizes, row);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, ComputeDriveSizes, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<SizeRow>& info) {
                             return std::string(info.param.label);
                         });

TEST(ComputeDriveSizesSector, ReadsFromAnUnalignedDriveRecord) {
    // The IDENTIFY section of a record starts at byte 1.
    smart::DriveRecord record{};
    const auto identify = identify_with({{49, kLba}, {60, 0x5678}, {61, 0x1234}});
    std::memcpy(record.identify, identify.data(), identify.size());
    smart::DriveSizes sizes;
    smart::compute_drive_sizes(record.identify, sizes);
    EXPECT_EQ(sizes.sector_count, 0x12345678u);
}

}  // namespace
