// The NVMe metric families: names and types, the values of hand-made health
// logs (counters beyond 2^64 included), the series a drive without its
// health log keeps, label escaping, and the publisher serving them beside
// the drive snapshot's.
#include <gtest/gtest.h>

#include "metrics/metrics_exposition.h"
#include "metrics/metrics_server.h"
#include "metrics/nvme_metrics.h"
#include "../../smart/nvme_test_pages.h"
#include "../metrics_test_support.h"

namespace {

namespace nv = smart::nvme;
using platewise::metrics::build_nvme_families;
using platewise::metrics::NvmeListenerStatus;
using platewise::metrics::serialize_text;
using prometheus::MetricFamily;
using prometheus::MetricType;

std::vector<metricstest::Sample> samples_of(const std::string& text)
{
    std::vector<metricstest::Sample> samples;
    std::string bad;
    EXPECT_TRUE(metricstest::parse_exposition(text, samples, bad)) << "bad line: " << bad;
    return samples;
}

// Every sample of `name` whose labels include `match`, by value.
std::vector<std::string> values_of(const std::vector<metricstest::Sample>& samples, const std::string& name,
                                   const std::map<std::string, std::string>& match = {})
{
    std::vector<std::string> found;
    for (const metricstest::Sample& s : samples) {
        bool all = s.name == name;
        for (const auto& [k, v] : match) {
            auto it = s.labels.find(k);
            all = all && it != s.labels.end() && it->second == v;
        }
        if (all) {
            found.push_back(s.value);
        }
    }
    return found;
}

platewise::NvmeSnapshotReport pass_of(const nv::Snapshot& snapshot)
{
    return platewise::report_nvme_snapshot(snapshot);
}

TEST(NvmeMetrics, NamesAndTypesFollowTheConventions)
{
    for (const MetricFamily& f : build_nvme_families(nullptr, NvmeListenerStatus{})) {
        EXPECT_EQ(f.name.rfind("platewise_nvme_", 0), 0u) << f.name;
        EXPECT_FALSE(f.help.empty()) << f.name;
        const bool total = f.name.size() > 6 && f.name.substr(f.name.size() - 6) == "_total";
        EXPECT_EQ(f.type, total ? MetricType::Counter : MetricType::Gauge) << f.name;
        EXPECT_EQ(f.metric.size(), f.name == "platewise_nvme_snapshots_received_total" ? 1u : 0u) << f.name;
    }
}

TEST(NvmeMetrics, ValuesOfAHealthLog)
{
    auto s = nvmetest::empty_snapshot(3);
    nvmetest::put_answered(s->slots[1], "Lab NVMe", "NV-1", "2.0");
    std::uint8_t* h = s->slots[1].health_log;
    h[0] = 0x0a;  // temperature, read-only
    h[5] = 255;
    nvmetest::put_le(h, nvmetest::kDataUnitsRead, 1000);
    nvmetest::put_le(h, nvmetest::kDataUnitsWritten, static_cast<nv::u128>(1) << 64);
    nvmetest::put_le(h, nvmetest::kMediaErrors, 4);
    nvmetest::put_le(h, nvmetest::kWarningTemperatureTime, 77);
    // Slot 2: an NVMe drive whose health log failed.
    nvmetest::put_answered(s->slots[2], "Lab NVMe", "NV-2", "2.0");
    s->slots[2].status = 3;
    s->slots[2].results[2] = 2;
    const platewise::NvmeSnapshotReport pass = pass_of(*s);
    NvmeListenerStatus status;
    status.has_pass = true;
    status.received = 5;
    status.last_snapshot_unix_seconds = 1796634902;
    const std::vector<metricstest::Sample> samples = samples_of(serialize_text(build_nvme_families(&pass, status)));
    const std::map<std::string, std::string> one = {{"slot", "1"}, {"model", "Lab NVMe"}, {"serial", "NV-1"}};
    const std::map<std::string, std::string> two = {{"slot", "2"}, {"serial", "NV-2"}};
    struct Row {
        const char* name;
        std::map<std::string, std::string> labels;
        std::vector<std::string> values;
    };
    const auto with = [](std::map<std::string, std::string> m, const char* k, const char* v) {
        m[k] = v;
        return m;
    };
    const Row rows[] = {
        {"platewise_nvme_info", with(one, "firmware", "2.0"), {"1"}},
        {"platewise_nvme_capacity_bytes", one, {"1000204886016"}},
        {"platewise_nvme_lba_bytes", one, {"512"}},
        {"platewise_nvme_health_log_present", one, {"1"}},
        {"platewise_nvme_health_log_present", two, {"0"}},
        {"platewise_nvme_verdict", with(one, "verdict", "failing_now"), {"1"}},
        {"platewise_nvme_verdict", with(one, "verdict", "warning"), {"0"}},
        {"platewise_nvme_verdict", with(two, "verdict", "no_smart_data"), {"1"}},
        {"platewise_nvme_verdict", two, {"0", "0", "0", "1"}},
        {"platewise_nvme_critical_warning", with(one, "warning", "read_only"), {"1"}},
        {"platewise_nvme_critical_warning", with(one, "warning", "temperature"), {"1"}},
        {"platewise_nvme_critical_warning", with(one, "warning", "spare_below_threshold"), {"0"}},
        {"platewise_nvme_critical_warning", one, {"0", "1", "0", "1", "0", "0"}},
        {"platewise_nvme_critical_warning", two, {}},
        {"platewise_nvme_temperature_celsius", one, {"38"}},
        {"platewise_nvme_temperature_celsius", two, {}},
        {"platewise_nvme_warning_temperature_celsius", one, {"84"}},
        {"platewise_nvme_critical_temperature_celsius", two, {"85"}},
        {"platewise_nvme_available_spare_percent", one, {"100"}},
        {"platewise_nvme_available_spare_threshold_percent", one, {"10"}},
        {"platewise_nvme_percentage_used", one, {"255"}},
        {"platewise_nvme_data_read_bytes_total", one, {"512000000"}},
        {"platewise_nvme_data_written_bytes_total", one, {"9.44473296573929e+24"}},
        {"platewise_nvme_media_errors_total", one, {"4"}},
        {"platewise_nvme_power_on_hours_total", one, {"1234"}},
        {"platewise_nvme_power_cycles_total", one, {"56"}},
        {"platewise_nvme_warning_temperature_minutes_total", one, {"77"}},
        {"platewise_nvme_media_errors_total", two, {}},
        {"platewise_nvme_drives", {}, {"2"}},
        {"platewise_nvme_last_snapshot_timestamp_seconds", {}, {"1796634902"}},
        {"platewise_nvme_snapshots_received_total", {}, {"5"}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(values_of(samples, row.name, row.labels), row.values) << row.name;
    }
}

TEST(NvmeMetrics, HostileDriveStringsAreEscapedInLabels)
{
    auto s = nvmetest::empty_snapshot(2);
    nvmetest::put_answered(s->slots[0], "Q\"uo\\te\nx\xc3\xa9", "S\"N\\1", "F}\x01");
    const platewise::NvmeSnapshotReport pass = pass_of(*s);
    const std::string text = serialize_text(build_nvme_families(&pass, NvmeListenerStatus{}));
    EXPECT_NE(text.find("model=\"Q\\\"uo\\\\x5cte\\\\x0ax\\\\xc3\\\\xa9\",serial=\"S\\\"N\\\\x5c1\""),
              std::string::npos) << text;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        EXPECT_TRUE(c == '\n' || (b >= 0x20 && b <= 0x7e)) << static_cast<int>(b);
    }
    const std::vector<metricstest::Sample> samples = samples_of(text);
    EXPECT_EQ(values_of(samples, "platewise_nvme_info",
                        {{"model", pass.drives[0].model}, {"firmware", "F}\\x01"}}),
              std::vector<std::string>{"1"});
}

TEST(NvmeMetrics, ThePublisherServesBothSnapshotsAndReplacesNvmeDrives)
{
    platewise::metrics::MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("", "", platewise::kDefaultFileMode, error)) << error;
    EXPECT_NE(publisher.text().find("\nplatewise_nvme_snapshots_received_total 0\n"), std::string::npos);

    const platewise::SnapshotReport ata = metricstest::corpus_pass({"ST320410A--3.39.rec"});
    ASSERT_TRUE(publisher.snapshot_received(ata, 1796634902, error)) << error;
    auto s = nvmetest::empty_snapshot(3);
    nvmetest::put_answered(s->slots[1], "First", "NV-1");
    ASSERT_TRUE(publisher.nvme_snapshot_received(pass_of(*s), 1796634903, error)) << error;
    std::string text = publisher.text();
    EXPECT_NE(text.find("platewise_drive_info{slot=\"0\",model=\"ST320410A\""), std::string::npos) << text;
    EXPECT_NE(text.find("platewise_nvme_info{slot=\"1\",model=\"First\",serial=\"NV-1\""), std::string::npos);
    EXPECT_NE(text.find("\nplatewise_nvme_drives 1\n"), std::string::npos);

    // The next NVMe snapshot replaces the NVMe drives; the next drive
    // snapshot leaves them alone.
    auto next = nvmetest::empty_snapshot(3);
    nvmetest::put_answered(next->slots[0], "Second", "NV-2");
    ASSERT_TRUE(publisher.nvme_snapshot_received(pass_of(*next), 1796634908, error)) << error;
    ASSERT_TRUE(publisher.snapshot_received(ata, 1796634909, error)) << error;
    text = publisher.text();
    EXPECT_EQ(text.find("NV-1"), std::string::npos) << text;
    EXPECT_NE(text.find("platewise_nvme_info{slot=\"0\",model=\"Second\""), std::string::npos) << text;
    EXPECT_NE(text.find("\nplatewise_nvme_snapshots_received_total 2\n"), std::string::npos);
    EXPECT_NE(text.find("\nplatewise_snapshots_received_total 2\n"), std::string::npos);
    std::vector<metricstest::Sample> samples;
    std::string bad;
    EXPECT_TRUE(metricstest::parse_exposition(text, samples, bad)) << bad;
}

}  // namespace
