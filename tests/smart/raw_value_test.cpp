// Raw value extraction and rendering, one row per style and boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "smart.h"

namespace {

using smart::AttributeDefinitionTable;
using smart::AttributeEntry;

struct RenderRow {
    const char* label;
    std::uint8_t id;
    std::int32_t style;
    const char* layout;  // copied into byte_layout, at most 12 characters
    std::uint8_t raw[6];  // entry bytes 5..10
    std::uint8_t value;
    std::uint8_t worst;
    std::uint8_t reserved;
    const char* expected;
};

void PrintTo(const RenderRow& row, std::ostream* os) {
    *os << row.label;
}

AttributeEntry make_entry(const RenderRow& row) {
    AttributeEntry entry{};
    entry.id = row.id;
    entry.flags[0] = 0x33;  // never read: must not leak into any text
    entry.flags[1] = 0x99;
    entry.value = row.value;
    entry.worst = row.worst;
    std::copy(std::begin(row.raw), std::end(row.raw), entry.raw_bytes);
    entry.reserved = row.reserved;
    return entry;
}

AttributeDefinitionTable make_table(const RenderRow& row) {
    AttributeDefinitionTable table;
    auto& def = table.definition_for(row.id);
    def.raw_style = row.style;
    std::memcpy(def.byte_layout, row.layout,
                std::min(std::strlen(row.layout), sizeof def.byte_layout));
    return table;
}

// Style codes 1-16 by name, so that rows read like the renderings.
constexpr std::int32_t ById = smart::ById, ByteList = smart::ByteList,
                       WordList = smart::WordList, Decimal = smart::Decimal,
                       HexTwelve = smart::HexTwelve, WideDecimal = smart::WideDecimal,
                       HexSixteen = smart::HexSixteen, CountAndPair = smart::CountAndPair,
                       CountAndAverage = smart::CountAndAverage, SplitAt24 = smart::SplitAt24,
                       SplitAt32 = smart::SplitAt32, SecondsClock = smart::SecondsClock,
                       MinutesClock = smart::MinutesClock,
                       HalfMinutesClock = smart::HalfMinutesClock,
                       HoursAndMillis = smart::HoursAndMillis,
                       TemperatureRange = smart::TemperatureRange, Tenths = smart::Tenths;

const RenderRow kRows[] = {
    // Temperature by id (194 and 190 default to TemperatureRange).
    {"temp_min_max", 194, ById, "", {0x23, 0, 0x12, 0, 0x2D, 0}, 0, 0, 0, "35 (Min/Max 18/45)"},
    {"temp_third_byte", 194, ById, "", {0x23, 1, 0x12, 0, 0x2D, 0}, 0, 0, 0, "35 (0 45 0 18 1)"},
    {"temp_one_byte", 194, ById, "", {0x23, 0, 0x12, 0, 0, 0}, 0, 0, 0, "35 (0 0 0 18 0)"},
    {"temp_190_by_id", 190, ById, "", {0x23, 0, 0x12, 0, 0x2D, 0}, 0, 0, 0, "35 (Min/Max 18/45)"},
    {"temp_reading_only", 200, TemperatureRange, "", {40, 0, 0, 0, 0, 0}, 0, 0, 0, "40"},
    {"temp_hi_128", 200, TemperatureRange, "", {35, 0, 18, 0, 128, 0}, 0, 0, 0, "35 (0 128 0 18 0)"},
    {"temp_hi_127", 200, TemperatureRange, "", {35, 0, 18, 0, 127, 0}, 0, 0, 0, "35 (Min/Max 18/127)"},
    {"temp_below_lo", 200, TemperatureRange, "", {10, 0, 18, 0, 45, 0}, 0, 0, 0, "10 (0 45 0 18 0)"},
    {"temp_above_hi", 200, TemperatureRange, "", {50, 0, 18, 0, 45, 0}, 0, 0, 0, "50 (0 45 0 18 0)"},
    {"temp_all_equal", 200, TemperatureRange, "", {30, 0, 30, 0, 30, 0}, 0, 0, 0, "30 (Min/Max 30/30)"},
    {"temp_descending_pair", 200, TemperatureRange, "", {35, 45, 18, 0, 0, 0}, 0, 0, 0, "35 (Min/Max 18/45)"},
    {"temp_equals_bounds", 200, TemperatureRange, "", {18, 18, 45, 0, 0, 0}, 0, 0, 0, "18 (Min/Max 18/45)"},
    {"temp_byte_255", 200, TemperatureRange, "", {255, 0, 0, 0, 0, 255}, 0, 0, 0, "255 (255 0 0 0 0)"},
    // Per-id defaults.
    {"id3_average", 3, ById, "", {0, 2, 0, 1, 0, 0}, 0, 0, 0, "512 (Average 256)"},
    {"id3_no_average", 3, ById, "", {0, 2, 0, 0, 5, 0}, 0, 0, 0, "512"},
    {"id5_plain", 5, ById, "", {3, 0, 0, 0, 0, 0}, 0, 0, 0, "3"},
    {"id5_word2", 5, ById, "", {3, 0, 0, 0, 1, 0}, 0, 0, 0, "3 (1, 0)"},
    {"id5_word1", 5, ById, "", {3, 0, 2, 0, 0, 0}, 0, 0, 0, "3 (0, 2)"},
    {"id196_pair", 196, ById, "", {1, 0, 0, 1, 0, 0}, 0, 0, 0, "1 (0, 256)"},
    {"id9_decimal48", 9, ById, "", {1, 2, 3, 4, 5, 6}, 7, 8, 9, "6618611909121"},
    {"id0_decimal", 0, ById, "", {5, 0, 0, 0, 0, 0}, 0, 0, 0, "5"},
    // One row or more per style.
    {"byte_list", 1, ByteList, "", {1, 2, 3, 4, 5, 6}, 0, 0, 0, "6 5 4 3 2 1"},
    {"byte_list_ff", 1, ByteList, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 0,
     "255 255 255 255 255 255"},
    {"word_list", 1, WordList, "", {1, 2, 3, 4, 5, 6}, 0, 0, 0, "1541 1027 513"},
    {"word_list_ff", 1, WordList, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 0,
     "65535 65535 65535"},
    {"decimal_max48", 1, Decimal, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFF, 0xFF, 0xFF,
     "281474976710655"},
    {"hex12", 1, HexTwelve, "", {0xBC, 0x0A, 0, 0, 0, 0}, 0, 0, 0, "0x000000000abc"},
    {"hex12_full", 1, HexTwelve, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 0,
     "0xffffffffffff"},
    {"wide_decimal", 1, WideDecimal, "", {1, 2, 3, 4, 5, 6}, 0x63, 0x64, 0, "433757350076179555"},
    {"wide_decimal_max", 1, WideDecimal, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFF, 0xFF, 0,
     "18446744073709551615"},
    {"hex16_worst_value", 1, HexSixteen, "", {0, 0, 0, 0, 0, 0}, 0xBC, 0x0A, 0,
     "0x0000000000000abc"},
    {"hex16_full", 1, HexSixteen, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFF, 0xFF, 0,
     "0xffffffffffffffff"},
    {"count_and_pair", 1, CountAndPair, "", {3, 0, 0, 0, 1, 0}, 0, 0, 0, "3 (1, 0)"},
    {"count_and_pair_plain", 1, CountAndPair, "", {0xFF, 0xFF, 0, 0, 0, 0}, 0, 0, 0, "65535"},
    {"count_and_average", 1, CountAndAverage, "", {0, 2, 0, 1, 0, 0}, 0, 0, 0, "512 (Average 256)"},
    {"split24", 1, SplitAt24, "", {2, 0, 0, 3, 0, 0}, 0, 0, 0, "3/2"},
    {"split24_max", 1, SplitAt24, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 0,
     "16777215/16777215"},
    {"split32_reserved", 1, SplitAt32, "", {2, 0, 0, 0, 3, 0}, 0, 0, 1, "65539/2"},
    {"split32_max", 1, SplitAt32, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 0xFF,
     "16777215/4294967295"},
    {"seconds_3725", 1, SecondsClock, "", {0x8D, 0x0E, 0, 0, 0, 0}, 0, 0, 0, "1h+02m+05s"},
    {"seconds_59", 1, SecondsClock, "", {59, 0, 0, 0, 0, 0}, 0, 0, 0, "0h+00m+59s"},
    {"seconds_60", 1, SecondsClock, "", {60, 0, 0, 0, 0, 0}, 0, 0, 0, "0h+01m+00s"},
    {"seconds_3599", 1, SecondsClock, "", {0x0F, 0x0E, 0, 0, 0, 0}, 0, 0, 0, "0h+59m+59s"},
    {"seconds_3600", 1, SecondsClock, "", {0x10, 0x0E, 0, 0, 0, 0}, 0, 0, 0, "1h+00m+00s"},
    {"minutes_125", 1, MinutesClock, "", {125, 0, 0, 0, 0, 0}, 0, 0, 0, "2h+05m"},
    {"minutes_word2", 1, MinutesClock, "", {125, 0, 0, 0, 7, 0}, 0, 0, 0, "2h+05m (7)"},
    {"minutes_59", 1, MinutesClock, "", {59, 0, 0, 0, 0, 0}, 0, 0, 0, "0h+59m"},
    {"minutes_60", 1, MinutesClock, "", {60, 0, 0, 0, 0, 0}, 0, 0, 0, "1h+00m"},
    {"minutes_word1", 1, MinutesClock, "", {0, 0, 1, 0, 0, 0}, 0, 0, 0, "1092h+16m"},
    {"half_minutes_245", 1, HalfMinutesClock, "", {245, 0, 0, 0, 0, 0}, 0, 0, 0, "2h+02m"},
    {"half_minutes_119", 1, HalfMinutesClock, "", {119, 0, 0, 0, 0, 0}, 0, 0, 0, "0h+59m"},
    {"half_minutes_120", 1, HalfMinutesClock, "", {120, 0, 0, 0, 0, 0}, 0, 0, 0, "1h+00m"},
    {"hours_millis", 1, HoursAndMillis, "", {100, 0, 0, 0, 0x3C, 0xF0}, 0, 0, 0,
     "100h+01m+01.500s"},
    {"hours_millis_59999", 1, HoursAndMillis, "", {0, 0, 0, 0, 0x5F, 0xEA}, 0, 0, 0,
     "0h+00m+59.999s"},
    {"hours_millis_60000", 1, HoursAndMillis, "", {0, 0, 0, 0, 0x60, 0xEA}, 0, 0, 0,
     "0h+01m+00.000s"},
    {"hours_millis_max", 1, HoursAndMillis, "", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 0xFF,
     "4294967295h+279m+37.215s"},
    {"tenths_253", 1, Tenths, "", {253, 0, 0, 0, 0, 0}, 0, 0, 0, "25.3"},
    {"tenths_7", 1, Tenths, "", {7, 0, 0, 0, 0, 0}, 0, 0, 0, "0.7"},
    {"tenths_max", 1, Tenths, "", {0xFF, 0xFF, 9, 9, 9, 9}, 0, 0, 0, "6553.5"},
    // Codes outside 1..16.
    {"style_17", 194, 17, "", {0x23, 0, 0, 0, 0, 0}, 0, 0, 0, "?"},
    {"style_minus_1", 194, -1, "", {0x23, 0, 0, 0, 0, 0}, 0, 0, 0, "?"},
    {"style_int_min", 1, INT32_MIN, "", {1, 0, 0, 0, 0, 0}, 0, 0, 0, "?"},
    // Byte layouts.
    {"layout_5x0", 1, Decimal, "5x0", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 0, 0, 0, "6684689"},
    {"layout_r", 1, Decimal, "r", {1, 2, 3, 4, 5, 6}, 0, 0, 7, "7"},
    {"layout_v", 1, Decimal, "v", {1, 2, 3, 4, 5, 6}, 100, 42, 7, "100"},
    {"layout_w", 1, Decimal, "w", {1, 2, 3, 4, 5, 6}, 100, 42, 7, "42"},
    {"layout_vw", 1, HexTwelve, "vw", {1, 2, 3, 4, 5, 6}, 0x64, 0x2A, 7, "0x00000000642a"},
    {"layout_unknown_letters", 1, HexTwelve, "0R?V1", {0x11, 0x22, 0, 0, 0, 0}, 9, 9, 9,
     "0x001100000022"},
    {"layout_11_chars", 1, HexSixteen, "012345rvw01", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 0x88,
     0x99, 0x77, "0x4455667788991122"},
    {"layout_11_chars_hex12", 1, HexTwelve, "012345rvw01", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
     0x88, 0x99, 0x77, "0x4455667788991122"},
    {"layout_12_unterminated", 1, HexSixteen, "555555555550", {0x11, 0, 0, 0, 0, 0x66}, 0, 0, 0,
     "0x6666666666666611"},
    {"layout_overrides_wide_default", 1, WideDecimal, "0", {9, 2, 3, 4, 5, 6}, 1, 1, 1, "9"},
    {"layout_reorders_words", 1, WordList, "012345", {1, 2, 3, 4, 5, 6}, 0, 0, 0, "258 772 1286"},
    {"layout_on_id_default", 194, ById, "01", {30, 40, 0, 0, 0, 0}, 0, 0, 0, "40 (0 0 0 0 30)"},
};

class RenderRawValue : public testing::TestWithParam<RenderRow> {};

TEST_P(RenderRawValue, GivesExpectedText) {
    const RenderRow& row = GetParam();
    EXPECT_EQ(smart::render_raw_value(make_entry(row), make_table(row)), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Styles, RenderRawValue, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<RenderRow>& info) {
                             return std::string(info.param.label);
                         });

TEST(ExtractRawValue, DefaultLayoutsByStoredStyle) {
    RenderRow row{"", 1, ById, "", {1, 2, 3, 4, 5, 6}, 0x0A, 0x0B, 0x0C, ""};
    const std::uint64_t raw48 = 0x060504030201ull;
    for (std::int32_t style = -2; style <= 18; ++style) {
        row.style = style;
        std::uint64_t expected = raw48;
        if (style == WideDecimal || style == HexSixteen) {
            expected = (raw48 << 16) | 0x0B0A;
        } else if (style == SplitAt32 || style == HoursAndMillis) {
            expected = (0x0Cull << 48) | raw48;
        }
        EXPECT_EQ(smart::extract_raw_value(make_entry(row), make_table(row)), expected)
            << "style " << style;
    }
}

TEST(ExtractRawValue, ReadsTheDefinitionOfTheEntrysId) {
    AttributeDefinitionTable table;
    std::strcpy(table.definition_for(7).byte_layout, "v");
    AttributeEntry entry{};
    entry.id = 7;
    entry.value = 99;
    entry.raw_bytes[0] = 1;
    EXPECT_EQ(smart::extract_raw_value(entry, table), 99u);
    entry.id = 8;
    EXPECT_EQ(smart::extract_raw_value(entry, table), 1u);
}

TEST(DefaultRawStyle, ByIdAndNeverById) {
    for (int id = 0; id < 256; ++id) {
        const auto style = smart::default_raw_style(static_cast<std::uint8_t>(id));
        switch (id) {
        case 3: EXPECT_EQ(style, smart::CountAndAverage); break;
        case 5:
        case 196: EXPECT_EQ(style, smart::CountAndPair); break;
        case 190:
        case 194: EXPECT_EQ(style, smart::TemperatureRange); break;
        default: EXPECT_EQ(style, smart::Decimal) << "id " << id; break;
        }
    }
}

TEST(RawStyle, CodesAreStable) {
    EXPECT_EQ(smart::ById, 0);
    EXPECT_EQ(smart::ByteList, 1);
    EXPECT_EQ(smart::HexSixteen, 6);
    EXPECT_EQ(smart::SplitAt32, 10);
    EXPECT_EQ(smart::Tenths, 16);
}

TEST(DefinitionTable, DefinitionForIsTheRecordAtTheId) {
    AttributeDefinitionTable table;
    const AttributeDefinitionTable& view = table;
    for (int id = 0; id < 256; ++id) {
        const auto b = static_cast<std::uint8_t>(id);
        EXPECT_EQ(&table.definition_for(b), &table.definitions[static_cast<std::size_t>(id)]);
        EXPECT_EQ(&view.definition_for(b), &table.definitions[static_cast<std::size_t>(id)]);
    }
    table.definition_for(200).raw_style = smart::Tenths;
    EXPECT_EQ(view.definitions[200].raw_style, smart::Tenths);
}

TEST(DefinitionTable, DefaultTableIsByIdWithCommonNames) {
    const AttributeDefinitionTable table = smart::default_attribute_table();
    for (const auto& def : table.definitions) {
        EXPECT_EQ(def.raw_style, smart::ById);
        EXPECT_EQ(def.byte_layout[0], '\0');
    }
    EXPECT_EQ(table.definition_for(1).name, "Raw Read Error Rate");
    EXPECT_EQ(table.definition_for(3).name, "Spin Up Time");
    EXPECT_EQ(table.definition_for(4).name, "Start Stop Count");
    EXPECT_EQ(table.definition_for(5).name, "Reallocated Sectors Count");
    EXPECT_EQ(table.definition_for(7).name, "Seek Error Rate");
    EXPECT_EQ(table.definition_for(9).name, "Power-On Hours");
    EXPECT_EQ(table.definition_for(10).name, "Spin Retry Count");
    EXPECT_EQ(table.definition_for(12).name, "Power Cycle Count");
    EXPECT_EQ(table.definition_for(190).name, "Airflow Temperature");
    EXPECT_EQ(table.definition_for(194).name, "Temperature");
    EXPECT_EQ(table.definition_for(196).name, "Reallocation Event Count");
    EXPECT_EQ(table.definition_for(197).name, "Current Pending Sector Count");
    EXPECT_EQ(table.definition_for(198).name, "Offline Uncorrectable");
    EXPECT_EQ(table.definition_for(199).name, "UDMA CRC Error Count");
    EXPECT_EQ(table.definition_for(0).name, "");
    EXPECT_EQ(table.definition_for(255).name, "");
}

TEST(DefinitionTable, DefaultTableRendersLikeBlankTable) {
    const AttributeDefinitionTable named = smart::default_attribute_table();
    const AttributeDefinitionTable blank;
    AttributeEntry entry{};
    entry.raw_bytes[0] = 0x23;
    entry.raw_bytes[2] = 0x12;
    entry.raw_bytes[4] = 0x2D;
    for (int id = 0; id < 256; ++id) {
        entry.id = static_cast<std::uint8_t>(id);
        EXPECT_EQ(smart::render_raw_value(entry, named), smart::render_raw_value(entry, blank));
    }
}

}  // namespace

namespace {

struct CountRow {
    const char* label;
    std::uint8_t id;
    std::uint64_t raw48;
    std::uint64_t sectors;
    smart::CountState state;
    std::uint32_t count;
    const char* text;
};

void PrintTo(const CountRow& row, std::ostream* os) {
    *os << row.label;
}

const CountRow kCountRows[] = {
    {"plain count", 197, 529, 976773168, smart::CountState::count, 529, "count 529"},
    {"Fujitsu 197: vendor bytes above a count of 2", 197, 0x6D4BFD220002ull, 234441648,
     smart::CountState::count, 2, "count 2, vendor data 0x6D4BFD22"},
    {"Fujitsu 5: spare pool in bytes 4-5", 5, 0x07D000000000ull, 234441648, smart::CountState::count, 0,
     "count 0, vendor data 0x7D00000"},
    {"Samsung 187 reads 65536: count 0", 187, 0x10000, 976773168, smart::CountState::count, 0,
     "count 0, vendor data 0x1"},
    {"Seagate 188 packed words", 188, 0x000100010001ull, 312581808, smart::CountState::count, 1,
     "count 1, vendor data 0x10001"},
    {"0xFFF8 is no count", 197, 0xFFF8, 976773168, smart::CountState::not_a_count, 0,
     "not a count (0xFFF8)"},
    {"0xFFFF is no count", 198, 0xFFFF, 976773168, smart::CountState::not_a_count, 0,
     "not a count (0xFFFF)"},
    {"0xFFF0 is no count", 5, 0xFFF0, 976773168, smart::CountState::not_a_count, 0,
     "not a count (0xFFF0)"},
    {"0xFFEF still counts", 5, 0xFFEF, 976773168, smart::CountState::count, 65519, "count 65519"},
    {"as many sectors as the drive has", 5, 64, 64, smart::CountState::count, 64, "count 64"},
    {"more sectors than the drive has", 197, 65, 64, smart::CountState::beyond_size, 0,
     "not a count: 65 sectors on a drive of 64"},
    {"time-outs are no sectors", 188, 65, 64, smart::CountState::count, 65, "count 65"},
    {"size unknown: no size check", 5, 65, 0, smart::CountState::count, 65, "count 65"},
};

class CountReadingRows : public testing::TestWithParam<CountRow> {};

TEST_P(CountReadingRows, CountIsBytesZeroAndOne) {
    const CountRow& row = GetParam();
    const smart::CountReading r = smart::read_count(row.id, row.raw48, row.sectors);
    EXPECT_EQ(r.state, row.state);
    EXPECT_EQ(r.count, row.count);
    EXPECT_EQ(r.word, row.raw48 & 0xFFFF);
    EXPECT_EQ(r.vendor, (row.raw48 >> 16) & 0xFFFFFFFFull);
    EXPECT_EQ(smart::count_reading_text(r, row.sectors), row.text);
}

INSTANTIATE_TEST_SUITE_P(Rows, CountReadingRows, testing::ValuesIn(kCountRows));

TEST(CountReading, CountAttributesAndTheirWords) {
    for (int id = 0; id < 256; ++id) {
        const bool expected = id == 5 || id == 187 || id == 188 || id == 196 || id == 197 || id == 198;
        EXPECT_EQ(smart::is_count_attribute(static_cast<std::uint8_t>(id)), expected) << id;
    }
    EXPECT_EQ(smart::count_phrase(5, 63), "63 reallocated sectors");
    EXPECT_EQ(smart::count_phrase(197, 1), "1 pending sector");
    EXPECT_EQ(smart::count_phrase(198, 0), "0 offline uncorrectable sectors");
    EXPECT_EQ(smart::count_phrase(187, 2), "2 reported uncorrectable errors");
    EXPECT_EQ(smart::count_phrase(188, 1), "1 command time-out");
    AttributeEntry e{};
    const std::uint8_t bytes[6] = {0x02, 0x00, 0x22, 0xFD, 0x4B, 0x6D};
    std::memcpy(e.raw_bytes, bytes, 6);
    EXPECT_EQ(smart::raw48_of(e), 0x6D4BFD220002ull);
}

}  // namespace

namespace {

struct PowerOnRow {
    const char* label;
    std::int32_t style;  // of attribute 9's definition
    std::uint64_t raw48;
    const char* expected;
};

TEST(PowerOnText, HoursWithTheirUnitFromTheRawStyle) {
    const PowerOnRow rows[] = {
        {"one hour", smart::ById, 1, "1 hour"},
        {"under two days: hours alone", smart::ById, 47, "47 hours"},
        {"two days", smart::ById, 48, "48 hours (2 days)"},
        {"corpus ST9100821AS: vendor bytes above the hours", smart::ById, 0x70B300001119ull,
         "4377 hours (182 days)"},
        {"just under two years", smart::ById, 17519, "17519 hours (729 days)"},
        {"two years", smart::ById, 17532, "17532 hours (2.0 years)"},
        {"hours and milliseconds", smart::HoursAndMillis, 0x0000B3700000112Aull, "4394 hours (183 days)"},
        {"minutes clock", smart::MinutesClock, 6000, "100 hours (4 days)"},
        {"seconds clock", smart::SecondsClock, 7200, "2 hours"},
        {"half-minutes clock", smart::HalfMinutesClock, 240 * 120, "240 hours (10 days)"},
        {"the most hours a drive can have", smart::ById, 200000, "200000 hours (22.8 years)"},
        {"corpus TOSHIBA MK1651GSY: no drive runs 43 years", smart::ById, 378645,
         "378645 (unit unknown: more hours than a drive lives)"},
    };
    for (const PowerOnRow& row : rows) {
        AttributeDefinitionTable table = smart::default_attribute_table();
        table.definition_for(9).raw_style = row.style;
        AttributeEntry e{};
        e.id = 9;
        for (int b = 0; b < 6; ++b) {
            e.raw_bytes[b] = static_cast<std::uint8_t>(row.raw48 >> (8 * b));
        }
        EXPECT_EQ(smart::power_on_text(e, table), row.expected) << row.label;
    }
}

}  // namespace
