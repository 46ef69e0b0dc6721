// The human report: sizes in both units, the table, statuses, the verdict,
// and no raw drive bytes reaching the terminal.
#include <gtest/gtest.h>

#include "report/text_report.h"
#include "../tool_test_support.h"

namespace {

TEST(TextReport, SizesInDecimalAndBinaryUnits)
{
    struct Row {
        std::uint64_t bytes;
        const char* decimal;
        const char* binary;
    };
    const Row rows[] = {
        {0, "0 bytes", "0 bytes"},
        {999, "999 bytes", "999 bytes"},
        // Each unit starts exactly at its base: 1000 in one, 1024 in the other.
        {1000, "1.0 kB", "1000 bytes"},
        {1023, "1.0 kB", "1023 bytes"},
        {1024, "1.0 kB", "1.0 KiB"},
        {1536, "1.5 kB", "1.5 KiB"},
        {1000000, "1.0 MB", "976.6 KiB"},
        {1048576, "1.0 MB", "1.0 MiB"},
        // What rounds up to the next unit is shown in it: never "1000.0 MB"
        // nor "1024.0 KiB".
        {999999999, "1.0 GB", "953.7 MiB"},
        {999949999, "999.9 MB", "953.6 MiB"},
        {1048575, "1.0 MB", "1.0 MiB"},
        {1073700000, "1.1 GB", "1.0 GiB"},
        {999999999999ULL, "1.0 TB", "931.3 GiB"},
        {1000000000000ULL, "1.0 TB", "931.3 GiB"},
        {1099511627776ULL, "1.1 TB", "1.0 TiB"},
        {4000787030016ULL, "4.0 TB", "3.6 TiB"},
        {1000000000000000ULL, "1.0 PB", "909.5 TiB"},
        {1000000000000000000ULL, "1.0 EB", "888.2 PiB"},
        {1152921504606846976ULL, "1.2 EB", "1.0 EiB"},
        {500107862016ULL, "500.1 GB", "465.8 GiB"},
        {250000000000ULL, "250.0 GB", "232.8 GiB"},
        {18446744073709551615ULL, "18.4 EB", "16.0 EiB"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(platewise::decimal_size(row.bytes), row.decimal) << row.bytes;
        EXPECT_EQ(platewise::binary_size(row.bytes), row.binary) << row.bytes;
    }
}

TEST(TextReport, CorpusDriveShowsWhatTheIssueAsksFor)
{
    const platewise::SnapshotReport report = platewise::report_record(
        tooltest::corpus_record("ST9160821AS--3.CLH.rec"), smart::default_attribute_table());
    const std::string text = platewise::render_text(report, "ST9160821AS--3.CLH.rec");
    for (const char* piece : {"== ST9160821AS--3.CLH.rec\n", "Drive record\n", "Drive 0: ST9160821AS\n",
                              "Serial: 5MAC2QTA", "Firmware: 3.CLH", "160.0 GB (149.1 GiB)",
                              "312581808 sectors", "logical 512 bytes, physical 512 bytes, alignment offset 0 bytes",
                              "SMART: supported yes, enabled yes", "Flags", "Thresh",
                              "  194  Temperature", "  190  Airflow Temperature            0x0022    62    44     45  38 (78 40 38 37 0)",
                              "was at threshold (wear)\n",
                              "Verdict: WARNING: attribute 190 Airflow Temperature reached its threshold "
                              "in the past (wear), 1 pending sector, 1 offline uncorrectable sector\n"}) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
    }
}

TEST(TextReport, EveryByteIsPrintableAscii)
{
    smart::DriveRecord record{};
    tooltest::put_ata_string(record.identify, 27, 20, "\x1b]0;pwned\x07\xc3\xa9");
    tooltest::put_attribute(record, 0, 5, 1, 1, 10);
    platewise::SnapshotReport report =
        platewise::report_record(record, smart::default_attribute_table());
    const std::string text = platewise::render_text(report, "odd\x1bname");
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte <= 0x7e)) << int{byte};
    }
    EXPECT_NE(text.find("\\x1b]0;pwned\\x07\\xc3\\xa9"), std::string::npos) << text;
    EXPECT_NE(text.find("odd\\x1bname"), std::string::npos);
    EXPECT_NE(text.find("failing now"), std::string::npos);
}

TEST(TextReport, SnapshotHeaderAndEmptyDrive)
{
    platewise::SnapshotReport report;
    report.is_snapshot = true;
    report.count = 2;
    report.drives.push_back(platewise::report_drive(smart::DriveRecord{}, 0, smart::default_attribute_table()));
    const std::string text = platewise::render_text(report, "t");
    EXPECT_NE(text.find("Snapshot: count 2, 1 current drive slot\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Drive 0: (no model)"), std::string::npos) << text;
    EXPECT_NE(text.find("Capacity: unknown"), std::string::npos) << text;
    EXPECT_NE(text.find("SMART: supported unknown, enabled unknown"), std::string::npos) << text;
    EXPECT_NE(text.find("Verdict: NO SMART DATA\n"), std::string::npos) << text;
}

}  // namespace
