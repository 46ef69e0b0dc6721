// The 19 real drives in tests/data/drives: every record decodes into a
// capacity of its model's size class, a believable temperature and a
// power-on text, and names the model its file is named after.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "smart.h"

namespace {

namespace fs = std::filesystem;

const fs::path kDrives = fs::path(PLATEWISE_TEST_DATA) / "drives";

struct CorpusRow {
    const char* file;
    double marketed_gb;       // decimal gigabytes of the model's size class
    int temperature_id;       // 194, else 190; 0 when the drive has neither
    const char* temperature;  // its rendered raw value
};

void PrintTo(const CorpusRow& row, std::ostream* os) {
    *os << row.file;
}

const CorpusRow kCorpus[] = {
    {"FUJITSU_MHY2120BH--0084000D.rec", 120, 194, "28 (Min/Max 15/54)"},
    {"FUJITSU_MHY2120BH--0085000B.rec", 120, 194, "34 (0 47 255 255 0)"},
    {"FUJITSU_MHY2250BH--0085000B.rec", 250, 194, "39 (Min/Max 16/49)"},
    {"FUJITSU_MHZ2160BH_G1--0084000A.rec", 160, 194, "39 (Min/Max 17/50)"},
    {"INTEL_SSDSA2CW120G3--4PC10302.rec", 120, 0, ""},
    {"INTEL_SSDSA2MH080G1GC--045C8820.rec", 80, 0, ""},
    // Sold as a 64 GB module; it reports the standard 60 GB sector count
    // (117231408), and its attribute 190 is present but reads 0.
    {"MCCOE64GEMPP--2.9.09.rec", 60, 190, "0"},
    {"Maxtor_96147H8--BAC51KJ0--2.rec", 61.4, 0, ""},  // DiamondMax 61.4 GB, 28-bit only
    {"Maxtor_96147H8--BAC51KJ0.rec", 61.4, 0, ""},
    {"SAMSUNG_HD501LJ--CR100-12.rec", 500, 194, "47"},
    {"SAMSUNG_MMCQE28G8MUP--0VA_VAM08L1Q.rec", 128, 0, ""},
    {"SAMSUNG_MP0804H--UE100-14.rec", 80, 194, "48"},
    {"ST320410A--3.39.rec", 20, 194, "40"},
    {"ST9100821AS--3.CME.rec", 100, 194, "34 (0 20 0 0 0)"},
    {"ST9160821AS--3.CLH.rec", 160, 194, "38 (0 17 0 0 0)"},
    {"TOSHIBA_MK1651GSY--38IGT0G5T.rec", 160, 194, "41 (Min/Max 15/53)"},
    {"WDC_WD2500JB--00REA0-20.00K20.rec", 250, 194, "17"},
    {"WDC_WD2500JS-75NCB3--10.02E04.rec", 250, 194, "38"},
    {"WDC_WD5000AAKS--00TMA0-12.01C01.rec", 500, 194, "40"},
};

std::unique_ptr<smart::DriveRecord> load(const std::string& file) {
    std::ifstream in(kDrives / file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    auto record = std::make_unique<smart::DriveRecord>();
    if (!smart::read_drive_record(bytes, *record)) {
        return nullptr;
    }
    return record;
}

std::string alphanumerics_upper(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    return out;
}

// The leading decimal number of a rendered value; -1 when there is none.
long leading_number(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    return digits == 0 || digits > 9 ? -1 : std::stol(text.substr(0, digits));
}

const smart::AttributeEntry* find_attribute(const smart::AttributeList& list, std::uint8_t id) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        if (list.entries[i].id == id) {
            return &list.entries[i];
        }
    }
    return nullptr;
}

TEST(Corpus, TableListsEveryFile) {
    std::set<std::string> on_disk;
    for (const auto& entry : fs::directory_iterator(kDrives)) {
        if (entry.path().extension() == ".rec") {
            on_disk.insert(entry.path().filename().string());
        }
    }
    std::set<std::string> listed;
    for (const CorpusRow& row : kCorpus) {
        listed.insert(row.file);
    }
    EXPECT_EQ(on_disk, listed);
    EXPECT_EQ(listed.size(), 19u);
}

class CorpusDrive : public testing::TestWithParam<CorpusRow> {
protected:
    void SetUp() override {
        record_ = load(GetParam().file);
        ASSERT_NE(record_, nullptr) << "not a 1537-byte record";
    }
    std::unique_ptr<smart::DriveRecord> record_;
};

TEST_P(CorpusDrive, CapacityMatchesSizeClass) {
    smart::DriveSizes sizes;
    smart::compute_drive_sizes(record_->identify, sizes);
    ASSERT_NE(sizes.sector_count, 0u);
    EXPECT_EQ(sizes.logical_sector_bytes, 512u);
    EXPECT_GE(sizes.physical_sector_bytes, 512u);
    EXPECT_EQ(sizes.total_bytes, sizes.sector_count * sizes.logical_sector_bytes);
    const double gb = static_cast<double>(sizes.total_bytes) / 1e9;
    EXPECT_NEAR(gb, GetParam().marketed_gb, GetParam().marketed_gb * 0.03);
}

TEST_P(CorpusDrive, ModelMatchesFileName) {
    const std::string model = smart::identify_model(record_->identify);
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(smart::sanitize_text(model), model) << "model text is printable as it is";
    // Underscores in file names stand for blanks or other characters, so
    // compare letters and digits only: the model begins the file name, and
    // the file name's model part begins the model.
    const std::string file = GetParam().file;
    const std::string stem = alphanumerics_upper(file.substr(0, file.size() - 4));
    const std::string name_model = alphanumerics_upper(file.substr(0, file.find("--")));
    const std::string decoded = alphanumerics_upper(model);
    EXPECT_EQ(stem.rfind(decoded, 0), 0u) << model;
    EXPECT_EQ(decoded.rfind(name_model, 0), 0u) << model;
    EXPECT_FALSE(smart::identify_serial(record_->identify).empty());
    EXPECT_FALSE(smart::identify_firmware(record_->identify).empty());
}

TEST_P(CorpusDrive, TemperatureIsBelievable) {
    const CorpusRow& row = GetParam();
    const smart::AttributeList list = smart::decode_attribute_sector(record_->smart_values);
    const smart::AttributeEntry* temperature = find_attribute(list, 194);
    if (temperature == nullptr) {
        temperature = find_attribute(list, 190);
    }
    if (row.temperature_id == 0) {
        EXPECT_EQ(temperature, nullptr) << "a temperature attribute this drive is not known to have";
        return;
    }
    ASSERT_NE(temperature, nullptr) << "attribute " << row.temperature_id << " went missing";
    EXPECT_EQ(temperature->id, row.temperature_id);
    const std::string text =
        smart::render_raw_value(*temperature, smart::default_attribute_table());
    EXPECT_EQ(text, row.temperature);
    if (text != "0") {
        const long celsius = leading_number(text);
        EXPECT_GE(celsius, 10) << text;
        EXPECT_LE(celsius, 80) << text;
    }
}

TEST_P(CorpusDrive, PowerOnHoursRender) {
    const smart::AttributeList list = smart::decode_attribute_sector(record_->smart_values);
    const smart::AttributeEntry* power_on = find_attribute(list, 9);
    ASSERT_NE(power_on, nullptr);
    const std::string text = smart::render_raw_value(*power_on, smart::default_attribute_table());
    EXPECT_NE(text, "?");
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(std::all_of(text.begin(), text.end(),
                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        << text;
}

TEST_P(CorpusDrive, ThresholdsPairWithValues) {
    const smart::AttributeList values = smart::decode_attribute_sector(record_->smart_values);
    const smart::ThresholdList thresholds =
        smart::decode_threshold_sector(record_->smart_thresholds);
    ASSERT_GT(values.count, 0u);
    ASSERT_EQ(values.count, thresholds.count);
    for (std::uint32_t i = 0; i < values.count; ++i) {
        EXPECT_EQ(values.entries[i].id, thresholds.entries[i].id);
        EXPECT_EQ(values.slots[i], thresholds.slots[i]);
        EXPECT_NE(smart::find_threshold(thresholds, values.entries[i].id), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Drives, CorpusDrive, testing::ValuesIn(kCorpus),
                         [](const testing::TestParamInfo<CorpusRow>& info) {
                             std::string name = alphanumerics_upper(info.param.file);
                             return name + "_" + std::to_string(info.index);
                         });

// All drives in one snapshot message, as the listener would receive it.
TEST(Corpus, SnapshotOfAllDrivesSplitsBack) {
    std::vector<std::uint8_t> message(smart::kDriveSnapshotBytes, 0);
    message[0] = static_cast<std::uint8_t>(std::size(kCorpus) + 1);
    for (std::size_t slot = 0; slot < std::size(kCorpus); ++slot) {
        const auto record = load(kCorpus[slot].file);
        ASSERT_NE(record, nullptr);
        std::memcpy(message.data() + 1 + slot * smart::kDriveRecordBytes, record.get(),
                    smart::kDriveRecordBytes);
    }
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    ASSERT_TRUE(smart::split_snapshot(message, *snapshot));
    ASSERT_EQ(smart::current_slot_count(*snapshot), std::size(kCorpus));
    for (std::size_t slot = 0; slot < std::size(kCorpus); ++slot) {
        const auto record = load(kCorpus[slot].file);
        EXPECT_EQ(smart::identify_model(snapshot->drives[slot].identify),
                  smart::identify_model(record->identify));
        smart::DriveSizes from_snapshot;
        smart::DriveSizes from_file;
        smart::compute_drive_sizes(snapshot->drives[slot].identify, from_snapshot);
        smart::compute_drive_sizes(record->identify, from_file);
        EXPECT_EQ(from_snapshot.total_bytes, from_file.total_bytes);
    }
    EXPECT_EQ(smart::identify_model(snapshot->drives[std::size(kCorpus)].identify), "");
}

}  // namespace
