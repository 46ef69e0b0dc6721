// --raw-format ID,STYLE[,LAYOUT]: what is accepted, what is refused, and how
// an override changes the attribute table.
#include <gtest/gtest.h>

#include <cstring>

#include "cli/raw_format_option.h"

namespace {

using platewise::parse_raw_format;
using platewise::RawFormatOverride;

struct GoodRow {
    const char* text;
    int id;
    std::int32_t style;
    const char* layout;
};

TEST(RawFormatOption, AcceptsNamesCodesAndLayouts)
{
    const GoodRow rows[] = {
        {"9,MinutesClock", 9, smart::MinutesClock, ""},
        {"9,minutesclock", 9, smart::MinutesClock, ""},
        {"194,TemperatureRange,543210", 194, smart::TemperatureRange, "543210"},
        {"1,ById", 1, smart::ById, ""},
        {"255,Tenths,", 255, smart::Tenths, ""},
        {"5,99", 5, 99, ""},
        {"5,-7", 5, -7, ""},
        {"5,+12", 5, 12, ""},
        {"5,2147483647", 5, 2147483647, ""},
        {"5,-2147483648", 5, -2147483647 - 1, ""},
        {"9,HexSixteen,543210wvr01", 9, smart::HexSixteen, "543210wvr01"},
    };
    for (const GoodRow& row : rows) {
        RawFormatOverride o;
        std::string error;
        ASSERT_TRUE(parse_raw_format(row.text, o, error)) << row.text << ": " << error;
        EXPECT_EQ(o.id, row.id) << row.text;
        EXPECT_EQ(o.raw_style, row.style) << row.text;
        EXPECT_EQ(o.byte_layout, row.layout) << row.text;
    }
}

TEST(RawFormatOption, RefusesBadTextWithAReason)
{
    struct BadRow {
        const char* text;
        const char* reason;  // a piece of the message
    };
    const BadRow rows[] = {
        {"", "ID,STYLE"},
        {"9", "ID,STYLE"},
        {"0,Decimal", "1 to 255"},
        {"256,Decimal", "1 to 255"},
        {"-1,Decimal", "1 to 255"},
        {"x,Decimal", "1 to 255"},
        {"9,", "style"},
        {"9,Bogus", "style"},
        {"9,3x", "style"},
        {"9,2147483648", "style"},
        {"9,+-1", "style"},
        {"9,Decimal,012345012345", "12 characters"},
        {"9,Decimal,54321x", "characters"},
        {"9,Decimal,543210,1", "characters"},
    };
    for (const BadRow& row : rows) {
        RawFormatOverride o;
        std::string error;
        EXPECT_FALSE(parse_raw_format(row.text, o, error)) << row.text;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.text << ": " << error;
    }
}

TEST(RawFormatOption, StyleNamesFollowTheCodes)
{
    EXPECT_EQ(platewise::raw_style_name(smart::ById), "ById");
    EXPECT_EQ(platewise::raw_style_name(smart::MinutesClock), "MinutesClock");
    EXPECT_EQ(platewise::raw_style_name(smart::Tenths), "Tenths");
    EXPECT_EQ(platewise::raw_style_name(17), "");
    EXPECT_EQ(platewise::raw_style_name(-1), "");
}

TEST(RawFormatOption, OverridesReplaceStyleAndLayoutButKeepTheName)
{
    RawFormatOverride first{9, smart::HexTwelve, "012345"};
    RawFormatOverride second{9, smart::MinutesClock, ""};
    RawFormatOverride other{200, 99, "r"};
    const smart::AttributeDefinitionTable table =
        platewise::definition_table({first, second, other});
    EXPECT_EQ(table.definition_for(9).name, "Power-On Hours");
    EXPECT_EQ(table.definition_for(9).raw_style, smart::MinutesClock);
    EXPECT_STREQ(table.definition_for(9).byte_layout, "");
    EXPECT_EQ(table.definition_for(200).raw_style, 99);
    EXPECT_STREQ(table.definition_for(200).byte_layout, "r");
    EXPECT_EQ(table.definition_for(194).raw_style, smart::ById);
}

}  // namespace
