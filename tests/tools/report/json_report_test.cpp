// The JSON report: the binding names, exact 64-bit raw values, and strings
// that are always safe.
#include <gtest/gtest.h>

#include <set>

#include "report/json_report.h"
#include "cli/raw_format_option.h"
#include "../tool_test_support.h"

namespace {

using nlohmann::json;

std::set<std::string> keys(const json& object)
{
    std::set<std::string> out;
    for (auto it = object.begin(); it != object.end(); ++it) {
        out.insert(it.key());
    }
    return out;
}

TEST(JsonReport, NamesAreTheIssuesNames)
{
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of({"SAMSUNG_HD501LJ--CR100-12.rec"});
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    ASSERT_TRUE(smart::split_snapshot(bytes, *snapshot));
    platewise::SnapshotReport report;
    std::string error;
    ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    const std::string line = platewise::render_json_line(platewise::report_to_json(report));
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one document per line";

    const json doc = json::parse(line);
    EXPECT_EQ(keys(doc), (std::set<std::string>{"count", "drives"}));
    EXPECT_EQ(doc["count"], 2);
    ASSERT_EQ(doc["drives"].size(), 1u);
    const json& d = doc["drives"][0];
    EXPECT_EQ(keys(d), (std::set<std::string>{"slot", "model", "serial", "firmware", "smart_supported",
                                              "smart_enabled", "sizes", "attributes", "verdict",
                                              "reasons"}));
    EXPECT_EQ(d["reasons"], json::array()) << "OK has no reasons";
    EXPECT_EQ(keys(d["sizes"]),
              (std::set<std::string>{"sector_count", "total_bytes", "logical_sector_bytes",
                                     "physical_sector_bytes", "alignment_offset_bytes"}));
    ASSERT_FALSE(d["attributes"].empty());
    EXPECT_EQ(keys(d["attributes"][0]),
              (std::set<std::string>{"id", "name", "flags", "value", "worst", "threshold", "raw",
                                     "raw_text", "failing_now", "failed_past"}));
    EXPECT_EQ(d["slot"], 0);
    EXPECT_EQ(d["model"], "SAMSUNG HD501LJ");
    EXPECT_EQ(d["smart_supported"], 1);
    EXPECT_EQ(d["sizes"]["total_bytes"].get<std::uint64_t>(), 500107862016ULL);
    EXPECT_EQ(d["sizes"]["logical_sector_bytes"], 512);
    EXPECT_TRUE(d["attributes"][0]["failing_now"].is_boolean());
    EXPECT_EQ(d["verdict"], "OK");
}

TEST(JsonReport, RecordHasNoCount)
{
    const platewise::SnapshotReport report = platewise::report_record(
        tooltest::corpus_record("ST320410A--3.39.rec"), smart::default_attribute_table());
    const json doc = json::parse(platewise::render_json_line(platewise::report_to_json(report)));
    EXPECT_FALSE(doc.contains("count"));
    EXPECT_EQ(doc["drives"].size(), 1u);
}

TEST(JsonReport, RawIsAnExactUnsigned64BitNumber)
{
    smart::DriveRecord record{};
    tooltest::put_attribute(record, 0, 241, 0xff, 0xff, 0, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    tooltest::put_attribute(record, 1, 242, 0x12, 0x34, 0, {0xf0, 0xde, 0xbc, 0x9a, 0x78, 0x56});
    // 8-byte layouts: the whole 64 bits.
    const smart::AttributeDefinitionTable table = platewise::definition_table(
        {{241, smart::HexSixteen, "543210wv"}, {242, smart::WideDecimal, ""}});
    const platewise::DriveReport d = platewise::report_drive(record, 0, table);
    const std::string line = platewise::render_json_line(
        platewise::report_to_json(platewise::SnapshotReport{false, 0, {d}, {}, -1}));
    EXPECT_NE(line.find("\"raw\":18446744073709551615"), std::string::npos) << line;
    const json doc = json::parse(line);
    const json& a = doc["drives"][0]["attributes"];
    EXPECT_TRUE(a[0]["raw"].is_number_unsigned());
    EXPECT_EQ(a[0]["raw"].get<std::uint64_t>(), 0xffffffffffffffffULL);
    EXPECT_EQ(a[0]["raw_text"], "0xffffffffffffffff");
    EXPECT_EQ(a[1]["raw"].get<std::uint64_t>(), 0x56789abcdef03412ULL);
    EXPECT_EQ(a[1]["raw_text"], "6230900220451894290");
}

TEST(JsonReport, HostileDriveTextStaysValidAscii)
{
    smart::DriveRecord record{};
    tooltest::put_ata_string(record.identify, 27, 20, "A\"B\\C\x01\x7f\xff\xc3(");
    tooltest::put_ata_string(record.identify, 10, 10, "\xed\xa0\x80");  // invalid UTF-8
    const platewise::SnapshotReport report =
        platewise::report_record(record, smart::default_attribute_table());
    std::string line;
    ASSERT_NO_THROW(line = platewise::render_json_line(platewise::report_to_json(report)));
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte <= 0x7e)) << int{byte};
    }
    const json doc = json::parse(line);
    EXPECT_EQ(doc["drives"][0]["model"], "A\"B\\x5cC\\x01\\x7f\\xff\\xc3(");
    EXPECT_EQ(doc["drives"][0]["serial"], "\\xed\\xa0\\x80");
}

TEST(JsonReport, InvalidUtf8NeverThrows)
{
    json doc = {{"text", std::string("\xff\xfe")}};
    std::string line;
    ASSERT_NO_THROW(line = platewise::render_json_line(doc));
    EXPECT_NO_THROW(json::parse(line));
}

}  // namespace
