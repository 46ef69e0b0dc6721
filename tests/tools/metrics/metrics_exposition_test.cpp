// The metric families of a pass: names, types, labels, escaping, and the
// values of a snapshot built from the corpus.
#include <gtest/gtest.h>

#include <set>

#include "metrics/metrics_exposition.h"
#include "../metrics_test_support.h"

namespace {

using platewise::metrics::build_families;
using platewise::metrics::ListenerStatus;
using platewise::metrics::serialize_text;
using prometheus::MetricFamily;
using prometheus::MetricType;

const MetricFamily& find(const std::vector<MetricFamily>& families, const std::string& name)
{
    for (const MetricFamily& f : families) {
        if (f.name == name) {
            return f;
        }
    }
    static const MetricFamily none;
    ADD_FAILURE() << "no family " << name;
    return none;
}

std::vector<metricstest::Sample> samples_of(const std::string& text)
{
    std::vector<metricstest::Sample> samples;
    std::string bad;
    EXPECT_TRUE(metricstest::parse_exposition(text, samples, bad)) << "bad line: " << bad;
    return samples;
}

// The value of the one sample of `name` whose labels include `match`.
std::string value_of(const std::vector<metricstest::Sample>& samples, const std::string& name,
                     const std::map<std::string, std::string>& match)
{
    std::string found;
    int hits = 0;
    for (const metricstest::Sample& s : samples) {
        if (s.name != name) {
            continue;
        }
        bool all = true;
        for (const auto& [k, v] : match) {
            auto it = s.labels.find(k);
            all = all && it != s.labels.end() && it->second == v;
        }
        if (all) {
            found = s.value;
            ++hits;
        }
    }
    EXPECT_EQ(hits, 1) << name;
    return found;
}

const std::vector<std::string> kAttributeFamilies = {
    "platewise_attribute_value",       "platewise_attribute_worst",
    "platewise_attribute_threshold",   "platewise_attribute_raw",
    "platewise_attribute_failing_now", "platewise_attribute_failed_past",
    "platewise_attribute_prefailure"};
// Only the count attributes (5, 187, 188, 196, 197, 198) have these.
const std::vector<std::string> kCountFamilies = {"platewise_attribute_count",
                                                 "platewise_attribute_not_a_count"};
const std::vector<std::string> kDriveFamilies = {
    "platewise_drive_info",                  "platewise_drive_capacity_bytes",
    "platewise_drive_logical_sector_bytes",  "platewise_drive_physical_sector_bytes",
    "platewise_drive_smart_supported",       "platewise_drive_smart_enabled",
    "platewise_drive_smart_data_present"};

TEST(MetricsExposition, NamesAndTypesFollowTheConventions)
{
    const std::vector<MetricFamily> families = build_families(nullptr, ListenerStatus{});
    std::vector<std::string> names;
    for (const MetricFamily& f : families) {
        names.push_back(f.name);
        EXPECT_EQ(f.name.rfind("platewise_", 0), 0u) << f.name;
        EXPECT_FALSE(f.help.empty()) << f.name;
        const bool total = f.name.size() > 6 && f.name.substr(f.name.size() - 6) == "_total";
        EXPECT_EQ(f.type, total ? MetricType::Counter : MetricType::Gauge) << f.name;
    }
    std::vector<std::string> expected = kAttributeFamilies;
    expected.insert(expected.end(), kCountFamilies.begin(), kCountFamilies.end());
    expected.insert(expected.end(), kDriveFamilies.begin(), kDriveFamilies.end());
    for (const char* n : {"platewise_drives", "platewise_last_snapshot_timestamp_seconds",
                          "platewise_snapshots_received_total", "platewise_snapshots_refused_total",
                          "platewise_drive_verdict", "platewise_drive_degrading",
                          "platewise_drive_missing", "platewise_history_write_failures_total"}) {
        expected.push_back(n);
    }
    EXPECT_EQ(names, expected);
}

TEST(MetricsExposition, BeforeTheFirstPassOnlyTheCountersHaveSeries)
{
    ListenerStatus status;
    status.refused = 3;
    const std::vector<MetricFamily> families = build_families(nullptr, status);
    for (const MetricFamily& f : families) {
        // The history's counter comes with the history's first pass.
        const bool counter = f.type == MetricType::Counter && f.name != "platewise_history_write_failures_total";
        EXPECT_EQ(f.metric.size(), counter ? 1u : 0u) << f.name;
    }
    const std::vector<metricstest::Sample> samples = samples_of(serialize_text(families));
    EXPECT_EQ(value_of(samples, "platewise_snapshots_refused_total", {}), "3");
    EXPECT_EQ(value_of(samples, "platewise_snapshots_received_total", {}), "0");
}

TEST(MetricsExposition, CorpusSnapshotValues)
{
    const std::vector<std::string> files = metricstest::corpus_files();
    ASSERT_EQ(files.size(), 19u);
    const platewise::SnapshotReport pass = metricstest::corpus_pass(files);
    ASSERT_EQ(pass.drives.size(), 19u);
    ListenerStatus status;
    status.received = 2;
    status.refused = 1;
    status.has_pass = true;
    status.last_snapshot_unix_seconds = 1796634902.5;
    const std::vector<MetricFamily> families = build_families(&pass, status);

    std::size_t attributes = 0;
    for (const platewise::DriveReport& d : pass.drives) {
        std::set<int> ids;
        for (const platewise::AttributeReport& a : d.attributes) {
            ids.insert(a.id);
        }
        attributes += ids.size();
    }
    for (const std::string& name : kAttributeFamilies) {
        EXPECT_EQ(find(families, name).metric.size(), attributes) << name;
    }
    for (const std::string& name : kDriveFamilies) {
        EXPECT_EQ(find(families, name).metric.size(), 19u) << name;
    }

    const std::vector<metricstest::Sample> samples = samples_of(serialize_text(families));
    EXPECT_EQ(value_of(samples, "platewise_drives", {}), "19");
    EXPECT_EQ(value_of(samples, "platewise_last_snapshot_timestamp_seconds", {}), "1796634902.5");
    EXPECT_EQ(value_of(samples, "platewise_snapshots_received_total", {}), "2");
    EXPECT_EQ(value_of(samples, "platewise_snapshots_refused_total", {}), "1");

    // Values read off the corpus by hand (platewise decode).
    const std::map<std::string, std::string> samsung = {
        {"slot", "9"}, {"model", "SAMSUNG HD501LJ"}, {"serial", "S0MUJ1NQ110060"}};
    EXPECT_EQ(value_of(samples, "platewise_drive_capacity_bytes", samsung), "500107862016");
    EXPECT_EQ(value_of(samples, "platewise_drive_logical_sector_bytes", samsung), "512");
    EXPECT_EQ(value_of(samples, "platewise_drive_physical_sector_bytes", samsung), "512");
    EXPECT_EQ(value_of(samples, "platewise_drive_smart_supported", samsung), "1");
    EXPECT_EQ(value_of(samples, "platewise_drive_smart_enabled", samsung), "1");
    EXPECT_EQ(value_of(samples, "platewise_drive_info", {{"slot", "9"}, {"firmware", "CR100-12"}}), "1");
    std::map<std::string, std::string> temperature = samsung;
    temperature["id"] = "194";
    temperature["name"] = "Temperature";
    EXPECT_EQ(value_of(samples, "platewise_attribute_raw", temperature), "47");
    EXPECT_EQ(value_of(samples, "platewise_attribute_value", temperature), "97");

    // The Maxtor in slot 7 fails attribute 10 now; 5 and 197 count sectors.
    const std::map<std::string, std::string> spin = {
        {"slot", "7"}, {"id", "10"}, {"name", "Spin Retry Count"}};
    EXPECT_EQ(value_of(samples, "platewise_attribute_failing_now", spin), "1");
    EXPECT_EQ(value_of(samples, "platewise_attribute_failed_past", spin), "1");
    EXPECT_EQ(value_of(samples, "platewise_attribute_raw", {{"slot", "7"}, {"id", "5"}}), "69");
    EXPECT_EQ(value_of(samples, "platewise_attribute_raw", {{"slot", "7"}, {"id", "197"}}), "2");
    EXPECT_EQ(value_of(samples, "platewise_attribute_failing_now", {{"slot", "9"}, {"id", "194"}}), "0");

    // Every attribute's series carries the report's values.
    for (const platewise::DriveReport& d : pass.drives) {
        std::set<int> ids;
        for (const platewise::AttributeReport& a : d.attributes) {
            if (!ids.insert(a.id).second) {
                continue;
            }
            const std::map<std::string, std::string> labels = {
                {"slot", std::to_string(d.slot)}, {"model", d.model}, {"serial", d.serial},
                {"id", std::to_string(a.id)},     {"name", a.name}};
            EXPECT_EQ(value_of(samples, "platewise_attribute_value", labels), std::to_string(a.value));
            EXPECT_EQ(value_of(samples, "platewise_attribute_worst", labels), std::to_string(a.worst));
            EXPECT_EQ(value_of(samples, "platewise_attribute_threshold", labels),
                      std::to_string(a.threshold));
            EXPECT_EQ(std::stod(value_of(samples, "platewise_attribute_raw", labels)),
                      static_cast<double>(a.raw));
            EXPECT_EQ(value_of(samples, "platewise_attribute_failing_now", labels),
                      a.failing_now ? "1" : "0");
            EXPECT_EQ(value_of(samples, "platewise_attribute_failed_past", labels),
                      a.failed_past ? "1" : "0");
        }
    }
}

// Every drive has one series per verdict, 1 for its own; a degrading
// indicator says by how much it is above its baseline; a missing drive has
// no slot; the history's failures are counted.
TEST(MetricsExposition, VerdictsAndTheirReasons)
{
    platewise::SnapshotReport pass = metricstest::corpus_pass({"ST9100821AS--3.CME.rec", "SAMSUNG_HD501LJ--CR100-12.rec"});
    platewise::VerdictReason up;
    up.kind = platewise::Verdict::degrading;
    up.attribute_id = 197;
    up.attribute_name = "Current Pending Sector Count";
    up.baseline = 2;
    up.current = 5;
    pass.drives[1].reasons.push_back(up);
    platewise::compose_verdict(pass.drives[1]);
    platewise::DriveReport gone;
    gone.model = "GONE";
    gone.serial = "G1";
    gone.reasons.push_back({platewise::Verdict::missing, -1, "", 0, 0, 1000, 4, "not seen", "missing"});
    platewise::compose_verdict(gone);
    pass.missing.push_back(gone);
    pass.history_write_failures = 7;
    ListenerStatus status;
    status.has_pass = true;
    const std::vector<metricstest::Sample> samples = samples_of(serialize_text(build_families(&pass, status)));
    const auto verdict = [&](const char* slot, const char* model, const char* serial, const char* v) {
        return value_of(samples, "platewise_drive_verdict",
                        {{"slot", slot}, {"model", model}, {"serial", serial}, {"verdict", v}});
    };
    // Its start/stop count (old-age) at the threshold is wear: WARNING.
    EXPECT_EQ(verdict("0", "ST9100821AS", pass.drives[0].serial.c_str(), "warning"), "1");
    EXPECT_EQ(verdict("0", "ST9100821AS", pass.drives[0].serial.c_str(), "failing_now"), "0");
    EXPECT_EQ(verdict("0", "ST9100821AS", pass.drives[0].serial.c_str(), "ok"), "0");
    EXPECT_EQ(verdict("1", "SAMSUNG HD501LJ", pass.drives[1].serial.c_str(), "degrading"), "1");
    EXPECT_EQ(verdict("1", "SAMSUNG HD501LJ", pass.drives[1].serial.c_str(), "ok"), "0");
    EXPECT_EQ(verdict("", "GONE", "G1", "missing"), "1");
    EXPECT_EQ(value_of(samples, "platewise_drive_missing", {{"model", "GONE"}, {"serial", "G1"}}), "1");
    EXPECT_EQ(value_of(samples, "platewise_drive_degrading",
                       {{"slot", "1"}, {"model", "SAMSUNG HD501LJ"}, {"serial", pass.drives[1].serial},
                        {"id", "197"}, {"name", "Current Pending Sector Count"}}),
              "3");
    EXPECT_EQ(value_of(samples, "platewise_history_write_failures_total", {}), "7");
    // What the alert rules read: old-age or pre-failure, and the count
    // without its vendor bytes (this drive's 187 reads 65536: count 0).
    const auto attribute = [&](const char* name, const char* slot, const char* model, const std::string& serial,
                               const char* id, const char* attribute_name) {
        return value_of(samples, name,
                        {{"slot", slot}, {"model", model}, {"serial", serial}, {"id", id}, {"name", attribute_name}});
    };
    EXPECT_EQ(attribute("platewise_attribute_prefailure", "0", "ST9100821AS", pass.drives[0].serial, "4",
                        "Start Stop Count"),
              "0");
    EXPECT_EQ(attribute("platewise_attribute_prefailure", "0", "ST9100821AS", pass.drives[0].serial, "1",
                        "Raw Read Error Rate"),
              "1");
    EXPECT_EQ(attribute("platewise_attribute_count", "1", "SAMSUNG HD501LJ", pass.drives[1].serial, "187",
                        "Reported Uncorrectable Errors"),
              "0");
    EXPECT_EQ(attribute("platewise_attribute_raw", "1", "SAMSUNG HD501LJ", pass.drives[1].serial, "187",
                        "Reported Uncorrectable Errors"),
              "65536");
    EXPECT_EQ(attribute("platewise_attribute_not_a_count", "1", "SAMSUNG HD501LJ", pass.drives[1].serial, "197",
                        "Current Pending Sector Count"),
              "0");
}

TEST(MetricsExposition, LabelsInTheDocumentedOrder)
{
    const platewise::SnapshotReport pass = metricstest::corpus_pass({"ST320410A--3.39.rec"});
    ListenerStatus status;
    status.has_pass = true;
    const std::string text = serialize_text(build_families(&pass, status));
    EXPECT_NE(text.find("\nplatewise_attribute_raw{slot=\"0\",model=\"ST320410A\",serial=\"5FB3QF34\","
                        "id=\"5\",name=\"Reallocated Sectors Count\"} 5\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nplatewise_drive_capacity_bytes{slot=\"0\",model=\"ST320410A\","
                        "serial=\"5FB3QF34\"} "),
              std::string::npos);
    EXPECT_NE(text.find("# TYPE platewise_snapshots_received_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE platewise_attribute_value gauge\n"), std::string::npos);
}

// ATA text: two characters per word, the first in the high byte.
void put_ata_string(std::uint8_t* identify, std::size_t first_word, std::size_t words,
                    const std::string& text)
{
    for (std::size_t i = 0; i < words * 2; ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        identify[(first_word + i / 2) * 2 + (i % 2 == 0 ? 1 : 0)] = static_cast<std::uint8_t>(c);
    }
}

TEST(MetricsExposition, HostileDriveStringsAreSanitisedAndEscaped)
{
    std::vector<std::uint8_t> bytes = metricstest::snapshot_of({"ST320410A--3.39.rec"});
    std::uint8_t* identify = bytes.data() + 2;  // count byte, reserved byte
    put_ata_string(identify, 27, 20, "Q\"uo\\te\nx\xc3\xa9");
    put_ata_string(identify, 10, 10, "S\"N\\1");
    const platewise::SnapshotReport pass = metricstest::decode(bytes);
    ASSERT_EQ(pass.drives.size(), 1u);
    EXPECT_EQ(pass.drives[0].model, "Q\"uo\\x5cte\\x0ax\\xc3\\xa9");
    EXPECT_EQ(pass.drives[0].serial, "S\"N\\x5c1");

    ListenerStatus status;
    status.has_pass = true;
    const std::string text = serialize_text(build_families(&pass, status));
    // Quote and backslash escaped as the format requires; nothing else
    // (no newline, no byte outside printable ASCII) gets through.
    EXPECT_NE(text.find("model=\"Q\\\"uo\\\\x5cte\\\\x0ax\\\\xc3\\\\xa9\",serial=\"S\\\"N\\\\x5c1\""),
              std::string::npos)
        << text;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        EXPECT_TRUE(c == '\n' || (b >= 0x20 && b <= 0x7e)) << static_cast<int>(b);
    }
    // Read back, the labels are exactly the report's strings.
    const std::vector<metricstest::Sample> samples = samples_of(text);
    EXPECT_EQ(value_of(samples, "platewise_drive_capacity_bytes",
                       {{"model", pass.drives[0].model}, {"serial", pass.drives[0].serial}}),
              std::to_string(pass.drives[0].sizes.total_bytes));
}

TEST(MetricsExposition, RepeatedAttributeIdGivesOneSeries)
{
    std::vector<std::uint8_t> bytes = metricstest::snapshot_of({"ST320410A--3.39.rec"});
    std::uint8_t* values = bytes.data() + 2 + smart::kSectorBytes;
    // Entry 1 takes entry 0's id.
    values[2 + 12] = values[2];
    const platewise::SnapshotReport pass = metricstest::decode(bytes);
    ASSERT_GE(pass.drives[0].attributes.size(), 2u);
    ASSERT_EQ(pass.drives[0].attributes[0].id, pass.drives[0].attributes[1].id);
    ListenerStatus status;
    status.has_pass = true;
    const std::vector<MetricFamily> families = build_families(&pass, status);
    EXPECT_EQ(find(families, "platewise_attribute_value").metric.size(),
              pass.drives[0].attributes.size() - 1);
    const std::vector<metricstest::Sample> samples = samples_of(serialize_text(families));
    EXPECT_EQ(value_of(samples, "platewise_attribute_value",
                       {{"id", std::to_string(pass.drives[0].attributes[0].id)}}),
              std::to_string(pass.drives[0].attributes[0].value));
}

TEST(MetricsExposition, EmptyPassHasZeroDrives)
{
    const platewise::SnapshotReport pass = metricstest::corpus_pass({});
    ListenerStatus status;
    status.has_pass = true;
    const std::vector<metricstest::Sample> samples =
        samples_of(serialize_text(build_families(&pass, status)));
    EXPECT_EQ(value_of(samples, "platewise_drives", {}), "0");
    for (const metricstest::Sample& s : samples) {
        EXPECT_EQ(s.name.rfind("platewise_drive_", 0), std::string::npos) << s.name;
    }
}

}  // namespace
