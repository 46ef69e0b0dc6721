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
    const char* verdict_text;
};

void PrintTo(const CorpusRow& row, std::ostream* os)
{
    *os << row.file;
}

const CorpusRow kCorpus[] = {
    {"FUJITSU_MHY2120BH--0084000D.rec", "FUJITSU MHY2120BH", 120034123776, true, Verdict::ok, "", "", "OK"},
    {"FUJITSU_MHY2120BH--0085000B.rec", "FUJITSU MHY2120BH", 120034123776, true, Verdict::warning, "", "",
     "WARNING: 2 pending sectors, 3 offline uncorrectable sectors"},
    {"FUJITSU_MHY2250BH--0085000B.rec", "FUJITSU MHY2250BH", 250059350016, true, Verdict::warning, "", "",
     "WARNING: 3 pending sectors, 3 offline uncorrectable sectors"},
    {"FUJITSU_MHZ2160BH_G1--0084000A.rec", "FUJITSU MHZ2160BH G1", 160041885696, true, Verdict::ok, "", "", "OK"},
    {"INTEL_SSDSA2CW120G3--4PC10302.rec", "INTEL SSDSA2CW120G3", 120034123776, false, Verdict::ok, "", "", "OK"},
    {"INTEL_SSDSA2MH080G1GC--045C8820.rec", "INTEL SSDSA2MH080G1GC", 80026361856, false, Verdict::ok, "", "", "OK"},
    {"MCCOE64GEMPP--2.9.09.rec", "MCCOE64GEMPP", 60022480896, false, Verdict::warning, "", "",
     "WARNING: 20480 reallocated sectors"},
    {"Maxtor_96147H8--BAC51KJ0--2.rec", "Maxtor 96147H8", 61471162368, false, Verdict::failing_now, "10", "10",
     "FAILING NOW: attribute 10 Spin Retry Count; warning: 69 reallocated sectors, 2 pending sectors"},
    {"Maxtor_96147H8--BAC51KJ0.rec", "Maxtor 96147H8", 61471162368, false, Verdict::warning, "", "",
     "WARNING: 69 reallocated sectors, 2 pending sectors"},
    // 187 reads 65536: no error in its count, 1 in its vendor bytes.
    {"SAMSUNG_HD501LJ--CR100-12.rec", "SAMSUNG HD501LJ", 500107862016, true, Verdict::warning, "", "",
     "WARNING: 1 reallocated sector, 1 pending sector"},
    {"SAMSUNG_MMCQE28G8MUP--0VA_VAM08L1Q.rec", "SAMSUNG MMCQE28G8MUP-0VA", 128035676160, false, Verdict::ok, "", "", "OK"},
    {"SAMSUNG_MP0804H--UE100-14.rec", "SAMSUNG MP0804H", 80060424192, true, Verdict::ok, "", "", "OK"},
    {"ST320410A--3.39.rec", "ST320410A", 20019314176, true, Verdict::failed_past, "", "10",
     "FAILED IN THE PAST: attribute 10 Spin Retry Count; warning: 5 reallocated sectors"},
    // Start/stop count is old-age: worn, not failing.
    {"ST9100821AS--3.CME.rec", "ST9100821AS", 100030242816, true, Verdict::warning, "4", "4",
     "WARNING: attribute 4 Start Stop Count at its threshold (wear)"},
    {"ST9160821AS--3.CLH.rec", "ST9160821AS", 160041885696, true, Verdict::warning, "", "190",
     "WARNING: attribute 190 Airflow Temperature reached its threshold in the past (wear), "
     "1 pending sector, 1 offline uncorrectable sector"},
    {"TOSHIBA_MK1651GSY--38IGT0G5T.rec", "TOSHIBA MK1651GSY", 160041885696, true, Verdict::warning, "", "",
     "WARNING: 1 reallocated sector"},
    {"WDC_WD2500JB--00REA0-20.00K20.rec", "WDC WD2500JB-00REA0", 250059350016, true, Verdict::failed_past, "", "3",
     "FAILED IN THE PAST: attribute 3 Spin Up Time; warning: 1 pending sector"},
    {"WDC_WD2500JS-75NCB3--10.02E04.rec", "WDC WD2500JS-75NCB3", 250000000000, true, Verdict::warning, "", "190",
     "WARNING: attribute 190 Airflow Temperature reached its threshold in the past (wear)"},
    // The drive of 63 reallocated and 529 pending sectors: never OK.
    {"WDC_WD5000AAKS--00TMA0-12.01C01.rec", "WDC WD5000AAKS-00TMA0", 500107862016, true, Verdict::warning, "", "",
     "WARNING: 63 reallocated sectors, 529 pending sectors"},
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
    EXPECT_EQ(d.verdict_text, row.verdict_text);
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

struct CorpusCountRow {
    const char* file;
    std::uint8_t id;
    const char* count_text;
    const char* status;  // the text report's status column
};

TEST(DriveReport, CorpusCountsAreReadAsCounts)
{
    const CorpusCountRow rows[] = {
        {"FUJITSU_MHY2120BH--0085000B.rec", 197, "count 2, vendor data 0x6D4BFD22", "count 2, vendor data 0x6D4BFD22"},
        {"FUJITSU_MHY2120BH--0085000B.rec", 198, "count 3, vendor data 0x31B90B71", "count 3, vendor data 0x31B90B71"},
        {"FUJITSU_MHY2120BH--0085000B.rec", 5, "count 0, vendor data 0x7D00000", "count 0, vendor data 0x7D00000"},
        {"SAMSUNG_HD501LJ--CR100-12.rec", 187, "count 0, vendor data 0x1", "count 0, vendor data 0x1"},
        {"WDC_WD5000AAKS--00TMA0-12.01C01.rec", 197, "count 529", ""},
        {"WDC_WD5000AAKS--00TMA0-12.01C01.rec", 5, "count 63", ""},
    };
    for (const CorpusCountRow& row : rows) {
        const smart::DriveRecord record = tooltest::corpus_record(row.file);
        const DriveReport d = platewise::report_drive(record, 0, smart::default_attribute_table());
        const auto a = std::find_if(d.attributes.begin(), d.attributes.end(),
                                    [&](const platewise::AttributeReport& x) { return x.id == row.id; });
        ASSERT_NE(a, d.attributes.end()) << row.file << " " << int{row.id};
        EXPECT_TRUE(a->is_count);
        EXPECT_EQ(a->count_text, row.count_text) << row.file << " " << int{row.id};
        const nlohmann::json j = platewise::drive_to_json(d);
        for (const nlohmann::json& attribute : j["attributes"]) {
            if (attribute["id"] == row.id) {
                EXPECT_EQ(attribute["count"]["text"], row.count_text);
            }
        }
    }
}

TEST(DriveReport, ValuesThatCannotBeCountsAreWarnings)
{
    smart::DriveRecord record{};
    tooltest::put_attribute(record, 0, 9, 100, 100, 0);
    tooltest::put_attribute(record, 1, 197, 100, 100, 0, {0xF8, 0xFF, 0, 0, 0, 0});
    const DriveReport d = platewise::report_drive(record, 0, smart::default_attribute_table());
    EXPECT_EQ(d.verdict, Verdict::warning);
    EXPECT_EQ(d.verdict_text, "WARNING: attribute 197 Current Pending Sector Count not a count (0xFFF8)");
    ASSERT_EQ(d.reasons.size(), 1u);
    EXPECT_EQ(d.reasons[0].rule, "not_a_count");
}

TEST(DriveReport, TiersRankWorstFirst)
{
    using platewise::verdict_tier;
    EXPECT_EQ(verdict_tier(Verdict::failing_now), 0);
    EXPECT_EQ(verdict_tier(Verdict::degrading), 1);
    EXPECT_EQ(verdict_tier(Verdict::failed_past), 2);
    EXPECT_EQ(verdict_tier(Verdict::warning), 2);
    EXPECT_EQ(verdict_tier(Verdict::missing), 3);
    EXPECT_EQ(verdict_tier(Verdict::no_smart_data), 4);
    EXPECT_EQ(verdict_tier(Verdict::ok), 5);
    EXPECT_TRUE(platewise::verdict_notifies(Verdict::failing_now));
    EXPECT_TRUE(platewise::verdict_notifies(Verdict::degrading));
    EXPECT_FALSE(platewise::verdict_notifies(Verdict::failed_past));
    EXPECT_FALSE(platewise::verdict_notifies(Verdict::warning));
    EXPECT_FALSE(platewise::verdict_notifies(Verdict::missing));
    // A degrading drive with old wear reads DEGRADING first.
    DriveReport d;
    platewise::VerdictReason wear;
    wear.kind = Verdict::warning;
    wear.text = "attribute 4 Start Stop Count at its threshold (wear)";
    platewise::VerdictReason rising;
    rising.kind = Verdict::degrading;
    rising.text = "attribute 197 Current Pending Sector Count 3 above baseline 0";
    platewise::VerdictReason gone;
    gone.kind = Verdict::missing;
    gone.text = "not seen since then";
    d.reasons = {wear, gone, rising};
    d.acknowledged_text = "acknowledged: 63 reallocated sectors (by alice, 2026-12-07)";
    platewise::compose_verdict(d);
    EXPECT_EQ(d.verdict, Verdict::degrading);
    EXPECT_EQ(d.verdict_text,
              "DEGRADING: attribute 197 Current Pending Sector Count 3 above baseline 0; warning: "
              "attribute 4 Start Stop Count at its threshold (wear); drive missing: not seen since "
              "then (acknowledged: 63 reallocated sectors (by alice, 2026-12-07))");
    d.reasons.clear();
    platewise::compose_verdict(d);
    EXPECT_EQ(d.verdict_text, "OK (acknowledged: 63 reallocated sectors (by alice, 2026-12-07))");
}

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
        {"worst one above", 100, 37, 36, Verdict::ok, "OK"},
        {"value one above", 37, 37, 36, Verdict::ok, "OK"},
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

struct AgeRow {
    const char* what;
    std::uint8_t id;
    std::uint8_t flags;  // low byte of the status flags
    std::uint8_t value, worst, threshold;
    Verdict verdict;
    const char* text;
};

TEST(DriveReport, OldAgeAttributesAtThresholdAreWearNotFailure)
{
    const AgeRow rows[] = {
        {"pre-failure at threshold", 10, 0x13, 36, 36, 36, Verdict::failing_now,
         "FAILING NOW: attribute 10 Spin Retry Count"},
        {"old-age at threshold", 4, 0x32, 36, 36, 36, Verdict::warning,
         "WARNING: attribute 4 Start Stop Count at its threshold (wear)"},
        {"old-age worst at threshold", 190, 0x22, 62, 44, 45, Verdict::warning,
         "WARNING: attribute 190 Airflow Temperature reached its threshold in the past (wear)"},
        {"old-age one above", 4, 0x32, 37, 37, 36, Verdict::ok, "OK"},
        // Tables from the history keep no flags: the id's usual ones count.
        {"no flags, usually old-age", 193, 0x00, 10, 10, 10, Verdict::warning,
         "WARNING: attribute 193 Load Cycle Count at its threshold (wear)"},
        {"no flags, usually pre-failure", 5, 0x00, 10, 10, 10, Verdict::failing_now,
         "FAILING NOW: attribute 5 Reallocated Sectors Count"},
    };
    for (const AgeRow& row : rows) {
        smart::DriveRecord record{};
        tooltest::put_attribute(record, 0, row.id, row.value, row.worst, row.threshold);
        record.smart_values[2 + 1] = row.flags;
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
    EXPECT_EQ(j[0], (nlohmann::json{{"verdict", "failing_now"}, {"text", "attribute 5 Reallocated Sectors Count"},
                                    {"attribute", 5}, {"name", "Reallocated Sectors Count"},
                                    {"rule", "threshold"}}));
    EXPECT_EQ(j[2]["verdict"], "failed_past");
    EXPECT_EQ(j[2]["rule"], "worst_at_threshold");
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
