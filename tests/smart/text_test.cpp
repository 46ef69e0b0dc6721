// Bounded formatting and display escaping.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "smart.h"

namespace {

std::string through_va_list(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = smart::vformat_text(format, args);
    va_end(args);
    return text;
}

TEST(FormatText, FormatsLikePrintf) {
    EXPECT_EQ(smart::format_text("%d-%s-%02u-%llx", -5, "ab", 7u, 0xABCull), "-5-ab-07-abc");
    EXPECT_EQ(smart::format_text("%s", ""), "");
    EXPECT_EQ(through_va_list("%u/%u", 3u, 2u), "3/2");
}

struct LengthRow {
    std::size_t input;
    std::size_t output;
};

void PrintTo(const LengthRow& row, std::ostream* os) {
    *os << row.input << " characters";
}

class FormatTextLength : public testing::TestWithParam<LengthRow> {};

TEST_P(FormatTextLength, CutsAt511Characters) {
    const std::string input(GetParam().input, 'a');
    const std::string expected(GetParam().output, 'a');
    EXPECT_EQ(smart::format_text("%s", input.c_str()), expected);
    EXPECT_EQ(through_va_list("%s", input.c_str()), expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, FormatTextLength,
                         testing::Values(LengthRow{0, 0}, LengthRow{510, 510}, LengthRow{511, 511},
                                         LengthRow{512, 511}, LengthRow{513, 511},
                                         LengthRow{5000, 511}),
                         [](const testing::TestParamInfo<LengthRow>& info) {
                             return "input_" + std::to_string(info.param.input);
                         });

TEST(FormatText, CutTextKeepsItsPrefix) {
    std::string input(600, 'x');
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(smart::format_text("%s", input.c_str()), input.substr(0, 511));
    EXPECT_EQ(smart::format_text("12%s", input.c_str()), ("12" + input).substr(0, 511));
}

TEST(FormatText, StopsAtAnEmbeddedNul) {
    EXPECT_EQ(smart::format_text("ab%cde", 0), "ab");
}

struct SanitizeRow {
    std::string input;
    std::string expected;
};

void PrintTo(const SanitizeRow& row, std::ostream* os) {
    *os << '"' << row.expected << '"';
}

class SanitizeText : public testing::TestWithParam<SanitizeRow> {};

TEST_P(SanitizeText, EscapesAllButPrintableAscii) {
    EXPECT_EQ(smart::sanitize_text(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, SanitizeText,
    testing::Values(SanitizeRow{"", ""}, SanitizeRow{"WDC WD2500JB-00REA0", "WDC WD2500JB-00REA0"},
                    SanitizeRow{" ~", " ~"}, SanitizeRow{"\x1f", "\\x1f"},
                    SanitizeRow{"a\nb\tc", "a\\x0ab\\x09c"}, SanitizeRow{"\x7f", "\\x7f"},
                    SanitizeRow{"\x80\xff", "\\x80\\xff"}, SanitizeRow{"a\\b", "a\\x5cb"},
                    SanitizeRow{std::string("a\0b", 3), "a\\x00b"},
                    SanitizeRow{"\x1b[2J", "\\x1b[2J"}),
    [](const testing::TestParamInfo<SanitizeRow>& info) {
        return "row_" + std::to_string(info.index);
    });

}  // namespace
