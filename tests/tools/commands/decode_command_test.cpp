// platewise decode: corpus drives, a snapshot built from several of them,
// overrides, standard input, and refused inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "../../testservice/temp_dir.h"
#include "commands/decode_command.h"
#include "report/json_report.h"
#include "smart.h"
#include "../../smart/nvme_test_pages.h"
#include "../tool_test_support.h"

namespace {

using tooltest::occurrences;

using nlohmann::json;

struct Decoded {
    int status;
    std::string out;
    std::string err;
};

Decoded decode(const platewise::DecodeOptions& options, const std::string& standard_input = "")
{
    std::istringstream in(standard_input);
    std::ostringstream out;
    std::ostringstream err;
    const int status = platewise::run_decode(options, in, out, err);
    return {status, out.str(), err.str()};
}

std::vector<json> json_lines(const std::string& text)
{
    std::vector<json> docs;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        docs.push_back(json::parse(line));
    }
    return docs;
}

const json* attribute(const json& drive, int id)
{
    for (const json& a : drive["attributes"]) {
        if (a["id"] == id) {
            return &a;
        }
    }
    return nullptr;
}

TEST(DecodeCommand, EveryCorpusDriveAsJson)
{
    platewise::DecodeOptions options;
    options.json = true;
    for (const auto& entry : std::filesystem::directory_iterator(tooltest::kDrives)) {
        options.files.push_back(entry.path().string());
    }
    std::sort(options.files.begin(), options.files.end());
    ASSERT_EQ(options.files.size(), 19u);
    const Decoded result = decode(options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<json> docs = json_lines(result.out);
    ASSERT_EQ(docs.size(), 19u);
    for (std::size_t i = 0; i < docs.size(); ++i) {
        const json& d = docs[i]["drives"][0];
        EXPECT_FALSE(docs[i].contains("count"));
        EXPECT_GT(d["sizes"]["total_bytes"].get<std::uint64_t>(), 10'000'000'000ULL) << options.files[i];
        EXPECT_NE(attribute(d, 9), nullptr) << options.files[i];
        EXPECT_FALSE(d["model"].get<std::string>().empty());
    }
}

TEST(DecodeCommand, SnapshotOfSeveralDrivesInTextAndJson)
{
    TempDir dir;
    const std::string file = dir / "snapshot.bin";
    tooltest::write_bytes(file, tooltest::snapshot_of({"WDC_WD5000AAKS--00TMA0-12.01C01.rec",
                                                       "FUJITSU_MHY2250BH--0085000B.rec",
                                                       "ST9100821AS--3.CME.rec"}));
    platewise::DecodeOptions options;
    options.files = {file};
    Decoded result = decode(options);
    EXPECT_EQ(result.status, 0) << result.err;
    for (const char* piece : {"Snapshot: count 4, 3 current drive slots", "Drive 0: WDC WD5000AAKS-00TMA0",
                              "Drive 1: FUJITSU MHY2250BH", "Drive 2: ST9100821AS",
                              "500.1 GB (465.8 GiB)", "Verdict: WARNING: 63 reallocated sectors, 529 pending sectors",
                              "count 3, vendor data 0x27C51E8F",
                              "Verdict: WARNING: attribute 4 Start Stop Count at its threshold (wear)"}) {
        EXPECT_NE(result.out.find(piece), std::string::npos) << piece << "\n" << result.out;
    }
    EXPECT_EQ(result.out.find("Drive 3"), std::string::npos);

    options.json = true;
    result = decode(options);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<json> docs = json_lines(result.out);
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0]["count"], 4);
    ASSERT_EQ(docs[0]["drives"].size(), 3u);
    const json& fujitsu = docs[0]["drives"][1];
    EXPECT_EQ(fujitsu["slot"], 1);
    EXPECT_EQ(fujitsu["model"], "FUJITSU MHY2250BH");
    EXPECT_EQ(fujitsu["sizes"]["total_bytes"].get<std::uint64_t>(), 250059350016ULL);
    EXPECT_EQ(fujitsu["sizes"]["sector_count"].get<std::uint64_t>(), 488397168ULL);
    ASSERT_NE(attribute(fujitsu, 194), nullptr);
    ASSERT_NE(attribute(fujitsu, 9), nullptr);
    EXPECT_EQ(docs[0]["drives"][2]["verdict"], "WARNING: attribute 4 Start Stop Count at its threshold (wear)");
    const json* start_stop = attribute(docs[0]["drives"][2], 4);
    ASSERT_NE(start_stop, nullptr);
    EXPECT_EQ((*start_stop)["failing_now"], true);
}

TEST(DecodeCommand, OverridesChangeTheRawText)
{
    const std::string file = (tooltest::kDrives / "ST9160821AS--3.CLH.rec").string();
    platewise::DecodeOptions options;
    options.json = true;
    options.files = {file};
    const json plain = json_lines(decode(options).out).at(0)["drives"][0];
    EXPECT_EQ((*attribute(plain, 9))["raw_text"], "235939733439020");
    EXPECT_EQ((*attribute(plain, 194))["raw_text"], "38 (0 17 0 0 0)");

    options.overrides = {{9, smart::MinutesClock, ""}, {194, 99, ""}};
    const json changed = json_lines(decode(options).out).at(0)["drives"][0];
    EXPECT_EQ((*attribute(changed, 9))["raw_text"], "9h+16m (54934)");
    EXPECT_EQ((*attribute(changed, 9))["raw"], (*attribute(plain, 9))["raw"]);
    EXPECT_EQ((*attribute(changed, 194))["raw_text"], "?");
    // Others keep their default.
    EXPECT_EQ((*attribute(changed, 5))["raw_text"], (*attribute(plain, 5))["raw_text"]);
}

TEST(DecodeCommand, StandardInput)
{
    const std::vector<std::uint8_t> bytes = tooltest::file_bytes(tooltest::kDrives / "ST320410A--3.39.rec");
    platewise::DecodeOptions options;
    options.files = {"-"};
    const Decoded result = decode(options, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("== (standard input)\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Drive 0: ST320410A"), std::string::npos);
}

TEST(DecodeCommand, WrongSizesAreRefusedByNameAndTheRestDecoded)
{
    TempDir dir;
    struct Row {
        std::size_t size;
    };
    const std::size_t sizes[] = {0, 1, 1536, 1538, 49184, 49186, 100000};
    platewise::DecodeOptions options;
    for (const std::size_t size : sizes) {
        const std::string name = dir / ("bad-" + std::to_string(size) + ".bin");
        tooltest::write_bytes(name, std::vector<std::uint8_t>(size, 1));
        options.files.push_back(name);
    }
    options.files.push_back((tooltest::kDrives / "ST320410A--3.39.rec").string());
    options.files.push_back(dir / "missing.bin");
    const Decoded result = decode(options);
    EXPECT_EQ(result.status, 1);
    for (const std::size_t size : sizes) {
        // File names are shown sanitised (a Windows path's backslashes as \x5c).
        const std::string expected = "platewise decode: " +
                                     smart::sanitize_text(dir / ("bad-" + std::to_string(size) + ".bin")) +
                                     ": refused: size is " + std::to_string(size) +
                                     " bytes; a snapshot is 49185 bytes, a drive record 1537 bytes and an NVMe "
                                     "snapshot 278800 bytes\n";
        EXPECT_NE(result.err.find(expected), std::string::npos) << expected << result.err;
    }
    EXPECT_NE(result.err.find(smart::sanitize_text(dir / "missing.bin") + ": cannot open"), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("Drive 0: ST320410A"), std::string::npos) << "good input still decoded";
}

TEST(DecodeCommand, MalformedCountIsRefused)
{
    TempDir dir;
    std::vector<std::uint8_t> bytes = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    bytes[0] = 0;
    tooltest::write_bytes(dir / "zero.bin", bytes);
    bytes[0] = 34;
    tooltest::write_bytes(dir / "big.bin", bytes);
    platewise::DecodeOptions options;
    options.files = {dir / "zero.bin", dir / "big.bin"};
    const Decoded result = decode(options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("zero.bin: malformed snapshot: count byte is 0"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("big.bin: malformed snapshot: count byte is 34"), std::string::npos) << result.err;
}

// An NVMe snapshot is known by its magic whatever its name; one that is cut
// short, too long or of another version is refused by name.
TEST(DecodeCommand, NvmeSnapshotsByTheirMagic)
{
    TempDir dir;
    const std::vector<std::uint8_t> good = nvmetest::one_drive_snapshot(1, 3);
    struct Row {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> change;
        const char* refusal;  // nullptr: decoded
    };
    const Row rows[] = {
        {"pass.rec", [](auto&) {}, nullptr},
        {"snapshot-20261207-000000-000.bin", [](auto&) {}, nullptr},
        {"no-extension", [](auto&) {}, nullptr},
        {"cut.bin", [](auto& b) { b.resize(49185); },
         "refused: an NVMe snapshot of 49185 bytes; it must be 278800 bytes"},
        {"long.bin", [](auto& b) { b.resize(300000); },
         "refused: an NVMe snapshot of 300000 bytes; it must be 278800 bytes"},
        {"v2.bin", [](auto& b) { b[8] = 2; }, "refused: NVMe snapshot version 2 is not known"},
        {"count.bin", [](auto& b) { b[10] = 0; }, "refused: malformed NVMe snapshot: count byte is 0"},
        // Copied in text mode: the magic's CR LF became LF (a byte shorter),
        // or LF became CR LF.
        {"text-mode.bin", [](auto& b) { b.erase(b.begin() + 6); },
         "refused: a damaged NVMe snapshot (278799 bytes): its magic PWNVME is not followed by CR LF, as "
         "after a copy in text mode"},
        {"unix2dos.bin", [](auto& b) { b.insert(b.begin() + 6, 0x0D); },
         "refused: a damaged NVMe snapshot (278801 bytes): its magic PWNVME is not followed by CR LF"},
        // The right size without the magic.
        {"no-magic.bin", [](auto& b) { std::fill(b.begin(), b.begin() + 8, 0); },
         "refused: 278800 bytes, an NVMe snapshot's size, but without its magic PWNVME CR LF: a damaged "
         "NVMe snapshot, or not one"},
    };
    platewise::DecodeOptions options;
    for (const Row& row : rows) {
        std::vector<std::uint8_t> bytes = good;
        row.change(bytes);
        tooltest::write_bytes(dir / row.name, bytes);
        options.files.push_back(dir / row.name);
    }
    Decoded result = decode(options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(occurrences(result.out, "NVMe snapshot: count 3, 1 NVMe drive, 0 not NVMe\n"), 3u) << result.out;
    EXPECT_EQ(occurrences(result.out, "NVMe drive 1: Platewise Test NVMe\n"), 3u) << result.out;
    for (const Row& row : rows) {
        if (row.refusal != nullptr) {
            const std::string expected = smart::sanitize_text(dir / row.name) + ": " + row.refusal;
            EXPECT_NE(result.err.find(expected), std::string::npos) << expected << "\n" << result.err;
        }
    }

    options.json = true;
    options.files = {dir / "pass.rec", (tooltest::kDrives / "ST320410A--3.39.rec").string()};
    result = decode(options);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<json> docs = json_lines(result.out);
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[0]["type"], "nvme");
    EXPECT_EQ(docs[0]["version"], 1);
    EXPECT_FALSE(docs[0].contains("drives")) << "never taken for a drive snapshot's document";
    EXPECT_EQ(docs[0]["nvme_drives"][0]["serial"], "PWN0001");
    EXPECT_EQ(docs[0]["nvme_drives"][0]["health"]["power_on_hours"], "1234");
    EXPECT_EQ(docs[1]["drives"][0]["model"], "ST320410A");

    // From standard input too.
    options.files = {"-"};
    result = decode(options, std::string(good.begin(), good.end()));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(json_lines(result.out).at(0)["nvme_drives"][0]["slot"], 1);
}

TEST(DecodeCommand, FileNamesAreSanitisedInMessages)
{
    TempDir dir;
    const std::string name = dir / "evil\x1b[31m.bin";
    tooltest::write_bytes(name, std::vector<std::uint8_t>(3, 0));
    platewise::DecodeOptions options;
    options.files = {name};
    const Decoded result = decode(options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
    EXPECT_NE(result.err.find("evil\\x1b[31m.bin"), std::string::npos) << result.err;
}

}  // namespace
