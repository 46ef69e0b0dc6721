// NVMe drives judged and shown: the verdict and its reasons for every
// critical warning bit and the wear, spare and error boundaries; the text
// and JSON of hand-made health logs, hostile drive strings included.
#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "report/json_report.h"
#include "report/nvme_json_report.h"
#include "report/nvme_report.h"
#include "report/nvme_text_report.h"
#include "../../smart/nvme_test_pages.h"

namespace {

namespace nv = smart::nvme;
using nlohmann::json;
using nvmetest::put_le;

constexpr nv::u128 kTwo64 = static_cast<nv::u128>(1) << 64;

platewise::NvmeDriveReport answered(const std::function<void(nv::Slot&)>& change = {})
{
    nv::Slot slot{};
    nvmetest::put_answered(slot);
    if (change) {
        change(slot);
    }
    return platewise::report_nvme_slot(slot, 3);
}

TEST(NvmeVerdict, ReasonsFromTheHealthLog)
{
    using platewise::NvmeVerdict;
    struct Row {
        const char* what;
        std::function<void(std::uint8_t* log)> change;
        NvmeVerdict verdict;
        const char* text;
    };
    const Row rows[] = {
        {"healthy", [](std::uint8_t*) {}, NvmeVerdict::ok, "OK"},
        {"spare equal to threshold", [](std::uint8_t* h) { h[3] = 10; }, NvmeVerdict::ok, "OK"},
        {"spare one below threshold", [](std::uint8_t* h) { h[3] = 9; }, NvmeVerdict::failing_now,
         "FAILING NOW: available spare below threshold (spare 9%, threshold 10%)"},
        {"spare 0, threshold 0", [](std::uint8_t* h) { h[3] = 0; h[4] = 0; }, NvmeVerdict::ok, "OK"},
        {"bit 0 spare", [](std::uint8_t* h) { h[0] = 0x01; }, NvmeVerdict::failing_now,
         "FAILING NOW: available spare below threshold (spare 100%, threshold 10%)"},
        {"bit 1 temperature", [](std::uint8_t* h) { h[0] = 0x02; }, NvmeVerdict::warning,
         "WARNING: temperature warning"},
        {"bit 2 reliability", [](std::uint8_t* h) { h[0] = 0x04; }, NvmeVerdict::failing_now,
         "FAILING NOW: reliability degraded"},
        {"bit 3 read-only", [](std::uint8_t* h) { h[0] = 0x08; }, NvmeVerdict::failing_now,
         "FAILING NOW: read-only"},
        {"bit 4 volatile backup", [](std::uint8_t* h) { h[0] = 0x10; }, NvmeVerdict::failing_now,
         "FAILING NOW: volatile memory backup failed"},
        {"bit 5 persistent memory", [](std::uint8_t* h) { h[0] = 0x20; }, NvmeVerdict::warning,
         "WARNING: persistent memory region unreliable"},
        {"reserved bits 6 and 7", [](std::uint8_t* h) { h[0] = 0xc0; }, NvmeVerdict::ok, "OK"},
        {"0% used", [](std::uint8_t* h) { h[5] = 0; }, NvmeVerdict::ok, "OK"},
        {"99% used", [](std::uint8_t* h) { h[5] = 99; }, NvmeVerdict::ok, "OK"},
        {"100% used", [](std::uint8_t* h) { h[5] = 100; }, NvmeVerdict::warning, "WARNING: percentage used 100%"},
        {"255% used", [](std::uint8_t* h) { h[5] = 255; }, NvmeVerdict::warning, "WARNING: percentage used 255%"},
        {"one media error", [](std::uint8_t* h) { put_le(h, nvmetest::kMediaErrors, 1); }, NvmeVerdict::warning,
         "WARNING: media errors 1"},
        {"media errors beyond 2^64", [](std::uint8_t* h) { put_le(h, nvmetest::kMediaErrors, kTwo64); },
         NvmeVerdict::warning, "WARNING: media errors 18446744073709551616"},
        {"error log entries alone", [](std::uint8_t* h) { put_le(h, nvmetest::kErrorLogEntries, 9); },
         NvmeVerdict::ok, "OK"},
        {"everything at once", [](std::uint8_t* h) { h[0] = 0x1f; h[5] = 120; put_le(h, nvmetest::kMediaErrors, 2); },
         NvmeVerdict::failing_now,
         "FAILING NOW: available spare below threshold (spare 100%, threshold 10%), reliability degraded, "
         "read-only, volatile memory backup failed; warning: temperature warning, percentage used 120%, "
         "media errors 2"},
    };
    for (const Row& row : rows) {
        const platewise::NvmeDriveReport d = answered([&](nv::Slot& s) { row.change(s.health_log); });
        EXPECT_EQ(d.verdict, row.verdict) << row.what;
        EXPECT_EQ(d.verdict_text, row.text) << row.what;
        EXPECT_EQ(d.reasons.empty(), row.verdict == NvmeVerdict::ok) << row.what;
    }
}

TEST(NvmeVerdict, NoHealthLogIsNoSmartData)
{
    const platewise::NvmeDriveReport d = answered([](nv::Slot& s) {
        s.status = static_cast<std::uint8_t>(nv::SlotStatus::failed);
        s.results[2] = static_cast<std::uint8_t>(nv::RequestResult::device_error);
        s.health_log[0] = 0x08;  // ignored: the page is not valid
    });
    EXPECT_EQ(d.verdict, platewise::NvmeVerdict::no_smart_data);
    EXPECT_EQ(d.verdict_text, "NO SMART DATA: health log device_error");
    EXPECT_EQ(d.model, "Platewise Test NVMe") << "what was read still counts";
    const std::string text = platewise::render_nvme_drive_text(d);
    EXPECT_NE(text.find("  Requests: identify controller read, identify namespace read, health log device_error\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("  Health log: not read\n"), std::string::npos) << text;
    const json j = platewise::nvme_drive_to_json(d);
    EXPECT_TRUE(j["health"].is_null());
    EXPECT_EQ(j["status"], "failed");
    EXPECT_EQ(j["requests"]["health_log"], "device_error");
    EXPECT_EQ(j["reasons"][0]["verdict"], "no_smart_data");
}

TEST(NvmeReport, SnapshotListsTheNvmeSlotsOnly)
{
    auto s = nvmetest::empty_snapshot(6);
    nvmetest::put_answered(s->slots[1]);
    s->slots[2].status = static_cast<std::uint8_t>(nv::SlotStatus::not_nvme);
    s->slots[2].results[0] = 1;
    s->slots[2].results[1] = s->slots[2].results[2] = 0xff;
    s->slots[4].status = static_cast<std::uint8_t>(nv::SlotStatus::failed);
    s->slots[4].results[0] = 2;
    s->slots[4].results[1] = s->slots[4].results[2] = 0xff;
    const platewise::NvmeSnapshotReport r = platewise::report_nvme_snapshot(*s);
    EXPECT_EQ(r.count, 6);
    EXPECT_EQ(r.not_nvme, 1u);
    ASSERT_EQ(r.drives.size(), 2u);
    EXPECT_EQ(r.drives[0].slot, 1u);
    EXPECT_EQ(r.drives[1].slot, 4u);
    EXPECT_EQ(r.drives[1].model, "");
    EXPECT_FALSE(r.drives[1].namespace_read);
    EXPECT_EQ(platewise::render_nvme_text(r, "t").find("NVMe snapshot: count 6, 2 NVMe drives, 1 not NVMe\n"), 5u);
}

TEST(NvmeReport, TextOfAWholeDrive)
{
    const platewise::NvmeDriveReport d = answered([](nv::Slot& s) {
        std::uint8_t* h = s.health_log;
        h[0] = 0x0a;
        put_le(h, nvmetest::kDataUnitsRead, 123456);
        put_le(h, nvmetest::kDataUnitsWritten, kTwo64 * 2);
        put_le(h, nvmetest::kHostReadCommands, 1);
        put_le(h, nvmetest::kHostWriteCommands, 2);
        put_le(h, nvmetest::kControllerBusyTime, 3);
        put_le(h, nvmetest::kUnsafeShutdowns, 7);
        put_le(h, nvmetest::kErrorLogEntries, 8);
        put_le(h, nvmetest::kWarningTemperatureTime, 11);
        put_le(h, nvmetest::kCriticalTemperatureTime, 12);
    });
    const std::string text = platewise::render_nvme_drive_text(d);
    for (const char* line : {
             "NVMe drive 3: Platewise Test NVMe\n",
             "  Serial: PWN0001   Firmware: 1.0   Namespace: 1\n",
             "  Capacity: 1000204886016 bytes (1.0 TB, 931.5 GiB), 1953525168 blocks of 512 bytes (LBA format 0)\n",
             "  Critical warning: 0x0a (temperature, read_only)\n",
             "  Temperature: 38 C   warning 84 C, critical 85 C\n",
             "  Available spare: 100% (threshold 10%)   Percentage used: 3%\n",
             "  Data read: 63209472000 bytes (63.2 GB)\n",
             "  Data written: 18889465931478580854784000 bytes\n",
             "  Host commands: read 1, write 2   Controller busy: 3 minutes\n",
             "  Power cycles: 56   Power-on hours: 1234   Unsafe shutdowns: 7\n",
             "  Media and data integrity errors: 0   Error log entries: 8\n",
             "  Minutes above warning temperature: 11, above critical: 12\n",
             "  Verdict: FAILING NOW: read-only; warning: temperature warning\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    const platewise::NvmeDriveReport cold = answered([](nv::Slot& s) {
        put_le(s.health_log, nvmetest::kCompositeTemperature, 0);
        nvmetest::put_controller(s, "M", "S", "F", 0, 0);
        nvmetest::put_namespace(s, 1000, 3, 1);  // absurd LBADS
    });
    const std::string cold_text = platewise::render_nvme_drive_text(cold);
    EXPECT_NE(cold_text.find("  Temperature: not reported   warning not reported, critical not reported\n"),
              std::string::npos) << cold_text;
    EXPECT_NE(cold_text.find("  Capacity: unknown (LBA format 1 has data size 2^3), 1000 blocks\n"),
              std::string::npos) << cold_text;
    // A format index beyond the formats the namespace has: no data size
    // was read at all, and the text says so.
    struct IndexRow {
        std::uint8_t format;
        std::uint8_t formats;
        const char* line;
    };
    for (const IndexRow& row : {
             IndexRow{2, 2, "  Capacity: unknown (LBA format 2 is beyond the namespace's 2 formats), 1000 blocks\n"},
             IndexRow{1, 1, "  Capacity: unknown (LBA format 1 is beyond the namespace's 1 format), 1000 blocks\n"},
             IndexRow{1, 2, "  Capacity: 512000 bytes"},
         }) {
        const platewise::NvmeDriveReport beyond = answered([&](nv::Slot& s) {
            nvmetest::put_namespace(s, 1000, 9, row.format, row.formats);
        });
        const std::string beyond_text = platewise::render_nvme_drive_text(beyond);
        EXPECT_NE(beyond_text.find(row.line), std::string::npos) << beyond_text;
        EXPECT_EQ(beyond_text.find("data size 2^0"), std::string::npos) << beyond_text;
    }
}

TEST(NvmeReport, JsonFieldsAreExact)
{
    const nv::u128 huge = kTwo64 * 5 + 1;
    const platewise::NvmeDriveReport d = answered([&](nv::Slot& s) {
        std::uint8_t* h = s.health_log;
        h[0] = 0x04;
        h[5] = 255;
        put_le(h, nvmetest::kDataUnitsRead, huge);
        put_le(h, nvmetest::kDataUnitsWritten, 2);
        put_le(h, nvmetest::kPowerOnHours, huge);
        put_le(h, nvmetest::kCriticalTemperatureTime, 0xffffffff);
        put_le(h, nvmetest::kCompositeTemperature, 0);
    });
    const json j = json::parse(platewise::render_json_line(platewise::nvme_drive_to_json(d)));
    EXPECT_EQ(j["slot"], 3);
    EXPECT_EQ(j["status"], "answered");
    EXPECT_EQ(j["namespace_id"], 1);
    EXPECT_EQ(j["warning_temperature_celsius"], 84);
    EXPECT_EQ(j["critical_temperature_celsius"], 85);
    EXPECT_EQ(j["namespace"]["size_blocks"], 1953525168u);
    EXPECT_EQ(j["namespace"]["lba_bytes"], 512);
    EXPECT_EQ(j["namespace"]["capacity_bytes"], "1000204886016");
    const json& h = j["health"];
    EXPECT_EQ(h["critical_warning"], 4);
    EXPECT_EQ(h["critical_warnings"], json::array({"reliability_degraded"}));
    EXPECT_TRUE(h["temperature_celsius"].is_null()) << "kelvin 0: not reported";
    EXPECT_EQ(h["percentage_used"], 255);
    EXPECT_EQ(h["available_spare"], 100);
    EXPECT_EQ(h["available_spare_threshold"], 10);
    EXPECT_EQ(h["data_units_read"], "92233720368547758081");
    EXPECT_EQ(h["data_read_bytes"], "47223664828696452137472000");
    EXPECT_EQ(h["data_units_written"], "2");
    EXPECT_EQ(h["data_written_bytes"], "1024000");
    EXPECT_EQ(h["power_on_hours"], "92233720368547758081");
    EXPECT_EQ(h["power_cycles"], "56");
    EXPECT_EQ(h["media_errors"], "0");
    EXPECT_EQ(h["critical_temperature_minutes"], 4294967295u);
    EXPECT_EQ(j["verdict"], "FAILING NOW: reliability degraded; warning: percentage used 255%");
    ASSERT_EQ(j["reasons"].size(), 2u);
    EXPECT_EQ(j["reasons"][0], json({{"verdict", "failing_now"}, {"reason", "reliability_degraded"},
                                     {"text", "reliability degraded"}}));
    EXPECT_EQ(j["reasons"][1]["reason"], "percentage_used");
}

TEST(NvmeReport, HostileDriveStringsAreSanitisedAndEscaped)
{
    const platewise::NvmeDriveReport d = answered([](nv::Slot& s) {
        nvmetest::put_controller(s, "Q\"uo\\te\nx\xc3\xa9", "S\x1b[31m", "F\x7f\"}");
    });
    EXPECT_EQ(d.model, "Q\"uo\\x5cte\\x0ax\\xc3\\xa9");
    EXPECT_EQ(d.serial, "S\\x1b[31m");
    EXPECT_EQ(d.firmware, "F\\x7f\"}");
    const std::string line = platewise::render_json_line(platewise::nvme_drive_to_json(d));
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
    const json j = json::parse(line);
    EXPECT_EQ(j["model"], "Q\"uo\\x5cte\\x0ax\\xc3\\xa9");
    EXPECT_EQ(j["firmware"], "F\\x7f\"}");
    const std::string text = platewise::render_nvme_drive_text(d);
    for (const unsigned char c : text) {
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << static_cast<int>(c);
    }
}

}  // namespace
