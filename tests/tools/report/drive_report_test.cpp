// Report records from the corpus and from made-up drives: identity, sizes,
// SMART state, attribute statuses and the verdict.
#include <gtest/gtest.h>

#include <algorithm>

#include "report/drive_report.h"
#include "report/json_report.h"
#include "../tool_test_support.h"

namespace {

using platewise::DriveReport;
using platewise::Verdict;

struct CorpusRow {
    const char* file;
    const char* model;
    std::uint64_t total_bytes;
    bool has_194;
    Verdict verdict;
    const char* failing_now;  // ids of the attributes failing now, in sector order
    const char* failed_past;  // ids of those whose worst value was at or below the threshold
};

void PrintTo(const CorpusRow& row, std::ostream* os)
{
    *os << row.file;
}

const CorpusRow kCorpus[] = {
    {"FUJITSU_MHY2120BH--0084000D.rec", "FUJITSU MHY2120BH", 120034123776, true, Verdict::ok, "", ""},
    {"FUJITSU_MHY2120BH--0085000B.rec", "FUJITSU MHY2120BH", 120034123776, true, Verdict::ok, "", ""},
    {"FUJITSU_MHY2250BH--0085000B.rec", "FUJITSU MHY2250BH", 250059350016, true, Verdict::ok, "", ""},
    {"FUJITSU_MHZ2160BH_G1--0084000A.rec", "FUJITSU MHZ2160BH G1", 160041885696, true, Verdict::ok, "", ""},
    {"INTEL_SSDSA2CW120G3--4PC10302.rec", "INTEL SSDSA2CW120G3", 120034123776, false, Verdict::ok, "", ""},
    {"INTEL_SSDSA2MH080G1GC--045C8820.rec", "INTEL SSDSA2MH080G1GC", 80026361856, false, Verdict::ok, "", ""},
    {"MCCOE64GEMPP--2.9.09.rec", "MCCOE64GEMPP", 60022480896, false, Verdict::ok, "", ""},
    {"Maxtor_96147H8--BAC51KJ0--2.rec", "Maxtor 96147H8", 61471162368, false, Verdict::failing_now, "10", "10"},
    {"Maxtor_96147H8--BAC51KJ0.rec", "Maxtor 96147H8", 61471162368, false, Verdict::ok, "", ""},
    {"SAMSUNG_HD501LJ--CR100-12.rec", "SAMSUNG HD501LJ", 500107862016, true, Verdict::ok, "", ""},
    {"SAMSUNG_MMCQE28G8MUP--0VA_VAM08L1Q.rec", "SAMSUNG MMCQE28G8MUP-0VA", 128035676160, false, Verdict::ok, "", ""},
    {"SAMSUNG_MP0804H--UE100-14.rec", "SAMSUNG MP0804H", 80060424192, true, Verdict::ok, "", ""},
    {"ST320410A--3.39.rec", "ST320410A", 20019314176, true, Verdict::failed_past, "", "10"},
    {"ST9100821AS--3.CME.rec", "ST9100821AS", 100030242816, true, Verdict::failing_now, "4", "4"},
    {"ST9160821AS--3.CLH.rec", "ST9160821AS", 160041885696, true, Verdict::failed_past, "", "190"},
    {"TOSHIBA_MK1651GSY--38IGT0G5T.rec", "TOSHIBA MK1651GSY", 160041885696, true, Verdict::ok, "", ""},
    {"WDC_WD2500JB--00REA0-20.00K20.rec", "WDC WD2500JB-00REA0", 250059350016, true, Verdict::failed_past, "", "3"},
    {"WDC_WD2500JS-75NCB3--10.02E04.rec", "WDC WD2500JS-75NCB3", 250000000000, true, Verdict::failed_past, "", "190"},
    {"WDC_WD5000AAKS--00TMA0-12.01C01.rec", "WDC WD5000AAKS-00TMA0", 500107862016, true, Verdict::ok, "", ""},
};

class CorpusReport : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(CorpusReport, DecodesIdentitySizesAndAttributes)
{
    const CorpusRow& row = GetParam();
    const smart::DriveRecord record = tooltest::corpus_record(row.file);
    const platewise::SnapshotReport report =
        platewise::report_record(record, smart::default_attribute_table());
    EXPECT_FALSE(report.is_snapshot);
    ASSERT_EQ(report.drives.size(), 1u);
    const DriveReport& d = report.drives[0];
    EXPECT_EQ(d.slot, 0u);
    EXPECT_EQ(d.model, row.model);
    EXPECT_FALSE(d.serial.empty());
    EXPECT_FALSE(d.firmware.empty());
    EXPECT_EQ(d.sizes.total_bytes, row.total_bytes);
    EXPECT_EQ(d.sizes.total_bytes, d.sizes.sector_count * d.sizes.logical_sector_bytes);
    EXPECT_EQ(d.smart_supported, 1);
    EXPECT_EQ(d.smart_enabled, 1);
    const auto has = [&](std::uint8_t id) {
        return std::any_of(d.attributes.begin(), d.attributes.end(),
                           [&](const platewise::AttributeReport& a) { return a.id == id; });
    };
    EXPECT_TRUE(has(9));
    EXPECT_EQ(has(194), row.has_194);
    EXPECT_EQ(d.verdict, row.verdict) << d.verdict_text;
    std::string failing_now;
    std::string failed_past;
    for (const platewise::AttributeReport& a : d.attributes) {
        if (a.failing_now) {
            failing_now += (failing_now.empty() ? "" : " ") + std::to_string(a.id);
        }
        if (a.failed_past) {
            failed_past += (failed_past.empty() ? "" : " ") + std::to_string(a.id);
        }
        EXPECT_FALSE(a.raw_text.empty()) << int{a.id};
    }
    EXPECT_EQ(failing_now, row.failing_now);
    EXPECT_EQ(failed_past, row.failed_past);
}

INSTANTIATE_TEST_SUITE_P(Drives, CorpusReport, ::testing::ValuesIn(kCorpus));

TEST(DriveReport, AttributesStayInSectorOrderWithTheirThresholds)
{
    const smart::DriveRecord record = tooltest::corpus_record("Maxtor_96147H8--BAC51KJ0.rec");
    const smart::AttributeList list = smart::decode_attribute_sector(record.smart_values);
    const DriveReport d = platewise::report_drive(record, 3, smart::default_attribute_table());
    EXPECT_EQ(d.slot, 3u);
    ASSERT_EQ(d.attributes.size(), list.count);
    for (std::size_t i = 0; i < d.attributes.size(); ++i) {
        EXPECT_EQ(d.attributes[i].id, list.entries[i].id);
    }
    // Ids 96..101 stand after 209 in this drive's sector.
    EXPECT_EQ(d.attributes.back().id, 101);
    EXPECT_EQ(d.attributes[3].id, 5);
    EXPECT_EQ(d.attributes[3].name, "Reallocated Sectors Count");
    EXPECT_EQ(d.attributes[3].threshold, 63);
}

struct VerdictRow {
    const char* what;
    std::uint8_t value, worst, threshold;
    Verdict verdict;
    const char* text;
};

TEST(DriveReport, VerdictFollowsValueWorstAndThreshold)
{
    const VerdictRow rows[] = {
        {"above", 100, 100, 36, Verdict::ok, "OK"},
        {"value at threshold", 36, 36, 36, Verdict::failing_now,
         "FAILING NOW: attribute 5 Reallocated Sectors Count"},
        {"value below", 10, 10, 36, Verdict::failing_now,
         "FAILING NOW: attribute 5 Reallocated Sectors Count"},
        {"worst at threshold", 100, 36, 36, Verdict::failed_past,
         "FAILED IN THE PAST: attribute 5 Reallocated Sectors Count"},
        {"threshold 0 never fails", 0, 0, 0, Verdict::ok, "OK"},
    };
    for (const VerdictRow& row : rows) {
        smart::DriveRecord record{};
        tooltest::put_attribute(record, 0, 9, 100, 100, 0);
        tooltest::put_attribute(record, 1, 5, row.value, row.worst, row.threshold);
        const DriveReport d = platewise::report_drive(record, 0, smart::default_attribute_table());
        EXPECT_EQ(d.verdict, row.verdict) << row.what;
        EXPECT_EQ(d.verdict_text, row.text) << row.what;
    }
}

TEST(DriveReport, FailingNowNamesEveryFailingAttributeAndMentionsThePast)
{
    smart::DriveRecord record{};
    tooltest::put_attribute(record, 0, 5, 1, 1, 36);
    tooltest::put_attribute(record, 1, 170, 5, 5, 10);   // no common name
    tooltest::put_attribute(record, 2, 197, 100, 1, 2);  // past only
    const DriveReport d = platewise::report_drive(record, 0, smart::default_attribute_table());
    EXPECT_EQ(d.verdict, Verdict::failing_now);
    EXPECT_EQ(d.verdict_text,
              "FAILING NOW: attribute 5 Reallocated Sectors Count, attribute 170; "
              "failed in the past: attribute 197 Current Pending Sector Count");
    // Each reason on its own, for JSON and metrics.
    ASSERT_EQ(d.reasons.size(), 3u);
    EXPECT_EQ(d.reasons[0].kind, Verdict::failing_now);
    EXPECT_EQ(d.reasons[0].attribute_id, 5);
    EXPECT_EQ(d.reasons[0].attribute_name, "Reallocated Sectors Count");
    EXPECT_EQ(d.reasons[1].attribute_id, 170);
    EXPECT_EQ(d.reasons[2].kind, Verdict::failed_past);
    EXPECT_EQ(d.reasons[2].text, "attribute 197 Current Pending Sector Count");
    const nlohmann::json j = platewise::reasons_to_json(d.reasons);
    EXPECT_EQ(j[2], (nlohmann::json{{"verdict", "failed_past"}, {"text", "attribute 197 Current Pending Sector Count"},
                                    {"attribute", 197}, {"name", "Current Pending Sector Count"}}));
}

TEST(DriveReport, ZeroSectionsHaveNoSmartData)
{
    const smart::DriveRecord record{};
    const DriveReport d = platewise::report_drive(record, 0, smart::default_attribute_table());
    EXPECT_EQ(d.verdict, Verdict::no_smart_data);
    EXPECT_EQ(d.verdict_text, "NO SMART DATA");
    EXPECT_EQ(d.smart_supported, -1);
    EXPECT_EQ(d.smart_enabled, -1);
    EXPECT_EQ(d.sizes.sector_count, 0u);
    EXPECT_TRUE(d.model.empty());
}

TEST(DriveReport, SmartStateNeedsValidityBits)
{
    struct Row {
        std::uint16_t w82, w83, w85, w87;
        int supported, enabled;
    };
    const Row rows[] = {
        {0x0001, 0x4000, 0x0001, 0x4000, 1, 1},
        {0x0001, 0x4000, 0x0000, 0x4000, 1, 0},
        {0x0000, 0x4000, 0x0000, 0x4000, 0, 0},
        {0x0001, 0x0000, 0x0001, 0x0000, -1, -1},   // bits 15-14 == 00
        {0x0001, 0xC000, 0x0001, 0x8000, -1, -1},   // 11 and 10
        {0xFFFF, 0x7FFF, 0xFFFE, 0x4123, 1, 0},
    };
    for (const Row& row : rows) {
        std::uint8_t identify[512] = {};
        tooltest::put_word(identify, 82, row.w82);
        tooltest::put_word(identify, 83, row.w83);
        tooltest::put_word(identify, 85, row.w85);
        tooltest::put_word(identify, 87, row.w87);
        const smart::SectorView view(identify);
        EXPECT_EQ(platewise::identify_smart_supported(view), row.supported) << std::hex << row.w83;
        EXPECT_EQ(platewise::identify_smart_enabled(view), row.enabled) << std::hex << row.w87;
    }
}

TEST(DriveReport, DriveTextIsSanitised)
{
    smart::DriveRecord record{};
    tooltest::put_ata_string(record.identify, 27, 20, "Evil\x1b[2J\\Model\xff");
    tooltest::put_ata_string(record.identify, 10, 10, "SER\nIAL");
    const DriveReport d = platewise::report_drive(record, 0, smart::default_attribute_table());
    EXPECT_EQ(d.model, "Evil\\x1b[2J\\x5cModel\\xff");
    EXPECT_EQ(d.serial, "SER\\x0aIAL");
}

TEST(SnapshotReport, CurrentSlotsAreTheFirstCountMinusOne)
{
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of(
        {"SAMSUNG_HD501LJ--CR100-12.rec", "ST9160821AS--3.CLH.rec", "INTEL_SSDSA2CW120G3--4PC10302.rec"});
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    ASSERT_TRUE(smart::split_snapshot(bytes, *snapshot));
    platewise::SnapshotReport report;
    std::string error;
    ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    EXPECT_TRUE(report.is_snapshot);
    EXPECT_EQ(report.count, 4);
    ASSERT_EQ(report.drives.size(), 3u);
    EXPECT_EQ(report.drives[0].model, "SAMSUNG HD501LJ");
    EXPECT_EQ(report.drives[1].model, "ST9160821AS");
    EXPECT_EQ(report.drives[2].model, "INTEL SSDSA2CW120G3");
    EXPECT_EQ(report.drives[2].slot, 2u);

    // A smaller count hides the stale slots behind it.
    snapshot->count = 2;
    ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    EXPECT_EQ(report.drives.size(), 1u);
    snapshot->count = 1;
    ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    EXPECT_TRUE(report.drives.empty());
    snapshot->count = 33;
    ASSERT_TRUE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
    EXPECT_EQ(report.drives.size(), 32u);
}

TEST(SnapshotReport, CountOfZeroOrAbove33IsMalformed)
{
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    std::memset(snapshot.get(), 0, sizeof *snapshot);
    for (const int count : {0, 34, 255}) {
        snapshot->count = static_cast<std::uint8_t>(count);
        platewise::SnapshotReport report;
        std::string error;
        EXPECT_FALSE(platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error));
        EXPECT_NE(error.find("count byte is " + std::to_string(count)), std::string::npos) << error;
    }
}

}  // namespace
