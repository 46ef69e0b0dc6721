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
    // 187 reads 65536 on this drive: its count is 0, the 1 is vendor data.
    ASSERT_EQ(d["reasons"].size(), 2u);
    EXPECT_EQ(d["reasons"][0]["text"], "1 reallocated sector");
    EXPECT_EQ(d["reasons"][0]["rule"], "count_present");
    EXPECT_EQ(d["reasons"][1]["text"], "1 pending sector");
    EXPECT_EQ(keys(d["sizes"]),
              (std::set<std::string>{"sector_count", "total_bytes", "logical_sector_bytes",
                                     "physical_sector_bytes", "alignment_offset_bytes"}));
    ASSERT_FALSE(d["attributes"].empty());
    EXPECT_EQ(keys(d["attributes"][0]),
              (std::set<std::string>{"id", "name", "flags", "value", "worst", "threshold", "raw",
                                     "raw_text", "failing_now", "failed_past", "prefailure", "count"}));
    EXPECT_EQ(d["slot"], 0);
    EXPECT_EQ(d["model"], "SAMSUNG HD501LJ");
    EXPECT_EQ(d["smart_supported"], 1);
    EXPECT_EQ(d["sizes"]["total_bytes"].get<std::uint64_t>(), 500107862016ULL);
    EXPECT_EQ(d["sizes"]["logical_sector_bytes"], 512);
    EXPECT_TRUE(d["attributes"][0]["failing_now"].is_boolean());
    EXPECT_EQ(d["verdict"], "WARNING: 1 reallocated sector, 1 pending sector");
}

// Values, not just names: attributes of corpus drives whose value, worst and
// threshold differ from each other, at and around the threshold, including
// a worst at a threshold of 0 (no threshold: never failed).
TEST(JsonReport, AttributeValuesAreTheDrivesOwn)
{
    struct Row {
        int slot;
        std::size_t index;  // position in the drive's attribute list
        int id;
        const char* name;
        int flags, value, worst, threshold;
        std::uint64_t raw;
        const char* raw_text;
        bool failing_now, failed_past;
    };
    const Row rows[] = {
        {0, 6, 10, "Spin Retry Count", 0x13, 100, 96, 97, 0, "0", false, true},
        {0, 8, 194, "Temperature", 0x22, 40, 61, 0, 40, "40", false, false},
        {1, 0, 3, "Spin Up Time", 0x00, 100, 0, 0, 0, "0", false, false},
        {1, 10, 227, "", 0x02, 0, 0, 0, 281474976710655ULL, "281474976710655", false, false},
        {2, 1, 3, "Spin Up Time", 0x27, 187, 183, 63, 61976378081334ULL, "54", false, false},
        {2, 8, 10, "Spin Retry Count", 0x2b, 212, 210, 223, 176093659235ULL, "176093659235",
         true, true},
        {3, 10, 190, "Airflow Temperature", 0x22, 62, 44, 45, 85934345617446ULL, "38 (78 40 38 37 0)",
         false, true},
    };
    struct DriveRow {
        const char* file;
        std::size_t attributes;
        std::uint64_t sector_count;
        const char* verdict;
    };
    const DriveRow drives[] = {
        {"ST320410A--3.39.rec", 15, 39100223,
         "FAILED IN THE PAST: attribute 10 Spin Retry Count; warning: 5 reallocated sectors"},
        {"INTEL_SSDSA2MH080G1GC--045C8820.rec", 12, 156301488, "OK"},
        {"Maxtor_96147H8--BAC51KJ0--2.rec", 30, 120060864,
         "FAILING NOW: attribute 10 Spin Retry Count; warning: 69 reallocated sectors, 2 pending sectors"},
        {"ST9160821AS--3.CLH.rec", 22, 312581808,
         "WARNING: attribute 190 Airflow Temperature reached its threshold in the past (wear), "
         "1 pending sector, 1 offline uncorrectable sector"},
    };
    std::vector<std::string> files;
    for (const DriveRow& drive : drives) {
        files.push_back(drive.file);
    }
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    ASSERT_TRUE(smart::split_snapshot(tooltest::snapshot_of(files), *snapshot));
    platewise::SnapshotReport report;
    std::string error;
    ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    const json doc = json::parse(platewise::render_json_line(platewise::report_to_json(report)));
    EXPECT_EQ(doc["count"], 5);
    ASSERT_EQ(doc["drives"].size(), std::size(drives));
    for (std::size_t slot = 0; slot < std::size(drives); ++slot) {
        const json& d = doc["drives"][slot];
        EXPECT_EQ(d["slot"], slot);
        EXPECT_EQ(d["attributes"].size(), drives[slot].attributes) << drives[slot].file;
        EXPECT_EQ(d["sizes"]["sector_count"], drives[slot].sector_count) << drives[slot].file;
        EXPECT_EQ(d["sizes"]["total_bytes"], drives[slot].sector_count * 512) << drives[slot].file;
        EXPECT_EQ(d["verdict"], drives[slot].verdict) << drives[slot].file;
    }
    for (const Row& row : rows) {
        const json& a = doc["drives"][row.slot]["attributes"].at(row.index);
        const std::string where = std::string(drives[row.slot].file) + " attribute " +
                                  std::to_string(row.id);
        EXPECT_EQ(a["id"], row.id) << where;
        EXPECT_EQ(a["name"], row.name) << where;
        EXPECT_EQ(a["flags"], row.flags) << where;
        EXPECT_EQ(a["value"], row.value) << where;
        EXPECT_EQ(a["worst"], row.worst) << where;
        EXPECT_EQ(a["threshold"], row.threshold) << where;
        EXPECT_EQ(a["raw"].get<std::uint64_t>(), row.raw) << where;
        EXPECT_EQ(a["raw_text"], row.raw_text) << where;
        EXPECT_EQ(a["failing_now"], row.failing_now) << where;
        EXPECT_EQ(a["failed_past"], row.failed_past) << where;
    }
}

// Every field of the drive carries its own value: SMART supported but off,
// 4096-byte physical sectors, the first logical sector 512 bytes in.
TEST(JsonReport, DriveFieldsAreTheDrivesOwn)
{
    smart::DriveRecord record{};
    tooltest::put_ata_string(record.identify, 10, 10, "SERIAL9");
    tooltest::put_ata_string(record.identify, 23, 4, "FW01");
    tooltest::put_ata_string(record.identify, 27, 20, "MODEL 4T");
    tooltest::put_word(record.identify, 49, 0x0200);
    tooltest::put_word(record.identify, 60, 0xFFFF);
    tooltest::put_word(record.identify, 61, 0x0FFF);
    tooltest::put_word(record.identify, 82, 0x0001);
    tooltest::put_word(record.identify, 83, 0x4400);
    tooltest::put_word(record.identify, 85, 0x0000);
    tooltest::put_word(record.identify, 87, 0x4000);
    const std::uint64_t sectors = 7814037168ULL;
    for (int i = 0; i < 4; ++i) {
        tooltest::put_word(record.identify, 100 + i, static_cast<std::uint16_t>(sectors >> (16 * i)));
    }
    tooltest::put_word(record.identify, 106, 0x6003);  // 8 logical sectors per physical one
    tooltest::put_word(record.identify, 209, 0x4001);  // first logical sector at offset 1
    tooltest::put_attribute(record, 0, 5, 100, 100, 36);
    const json doc = json::parse(platewise::render_json_line(platewise::report_to_json(
        platewise::report_record(record, smart::default_attribute_table()))));
    const json& d = doc["drives"][0];
    EXPECT_EQ(d["model"], "MODEL 4T");
    EXPECT_EQ(d["serial"], "SERIAL9");
    EXPECT_EQ(d["firmware"], "FW01");
    EXPECT_EQ(d["smart_supported"], 1);
    EXPECT_EQ(d["smart_enabled"], 0);
    EXPECT_EQ(d["sizes"]["sector_count"], sectors);
    EXPECT_EQ(d["sizes"]["total_bytes"], sectors * 512);
    EXPECT_EQ(d["sizes"]["logical_sector_bytes"], 512);
    EXPECT_EQ(d["sizes"]["physical_sector_bytes"], 4096);
    EXPECT_EQ(d["sizes"]["alignment_offset_bytes"], 512);
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
    json doc = {{"text", std::string("a\xff\xfe" "b")}};
    std::string line;
    ASSERT_NO_THROW(line = platewise::render_json_line(doc));
    json back;
    ASSERT_NO_THROW(back = json::parse(line));
    EXPECT_EQ(back["text"], "a\xef\xbf\xbd\xef\xbf\xbd" "b") << "each bad byte shows as U+FFFD";
}

}  // namespace
