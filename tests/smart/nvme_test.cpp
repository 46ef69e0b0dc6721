// The NVMe snapshot and its pages: checking a message, and decoding hand-made
// Identify Controller, Identify Namespace and health log pages.
#include <gtest/gtest.h>

#include <functional>

#include "nvme.h"
#include "nvme_test_pages.h"

namespace {

namespace nv = smart::nvme;
using nvmetest::Field;

constexpr nv::u128 kTwo64 = static_cast<nv::u128>(1) << 64;
constexpr nv::u128 kMax128 = ~static_cast<nv::u128>(0);

TEST(NvmeSnapshot, SplitChecksSizeMagicVersionCountAndStatus)
{
    struct Row {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> change;
        const char* error;  // nullptr: accepted
    };
    const Row rows[] = {
        {"as sent", [](auto&) {}, nullptr},
        {"count 33", [](auto& b) { b[10] = 33; }, nullptr},
        {"reserved bytes set", [](auto& b) { b[11] = b[15] = 0xff; }, nullptr},
        {"truncated", [](auto& b) { b.pop_back(); }, "278799 bytes, it must be 278800"},
        {"one byte long", [](auto& b) { b.push_back(0); }, "278801 bytes, it must be 278800"},
        {"header only", [](auto& b) { b.resize(16); }, "16 bytes, it must be 278800"},
        {"shorter than the magic", [](auto& b) { b.resize(5); }, "not an NVMe snapshot"},
        {"an ATA count byte first", [](auto& b) { b[0] = 2; }, "not an NVMe snapshot"},
        {"CR LF become LF", [](auto& b) { b.erase(b.begin() + 6); b.push_back(0); }, "not an NVMe snapshot"},
        {"version 2", [](auto& b) { b[8] = 2; }, "version 2 is not known"},
        {"version 0", [](auto& b) { b[8] = 0; }, "version 0 is not known"},
        {"version 257", [](auto& b) { b[9] = 1; }, "version 257 is not known"},
        {"count 0", [](auto& b) { b[10] = 0; }, "count byte is 0, it must be 1 to 33"},
        {"count 34", [](auto& b) { b[10] = 34; }, "count byte is 34"},
        {"unknown slot status", [](auto& b) { b[16 + 31 * 8712] = 4; }, "slot 31 has the unknown status 4"},
    };
    for (const Row& row : rows) {
        std::vector<std::uint8_t> bytes = nvmetest::one_drive_snapshot(0, 2);
        row.change(bytes);
        auto snapshot = nvmetest::empty_snapshot(7);
        std::string error;
        const bool ok = nv::split_nvme_snapshot(bytes, *snapshot, error);
        if (row.error == nullptr) {
            EXPECT_TRUE(ok) << row.what << ": " << error;
            EXPECT_EQ(snapshot->slots[0].status, 1) << row.what;
        } else {
            EXPECT_FALSE(ok) << row.what;
            EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
            EXPECT_EQ(snapshot->count, 7) << row.what << ": left unchanged";
        }
    }
}

TEST(NvmeSnapshot, MagicIsRecognisedWhateverFollows)
{
    const std::vector<std::uint8_t> magic(std::begin(nv::kMagic), std::end(nv::kMagic));
    EXPECT_TRUE(nv::has_nvme_magic(magic));
    EXPECT_FALSE(nv::has_nvme_magic(std::span(magic).first(7)));
    for (std::uint8_t count = 0; count <= 33; ++count) {
        std::vector<std::uint8_t> ata = magic;
        ata[0] = count;  // what an ATA snapshot begins with
        EXPECT_FALSE(nv::has_nvme_magic(ata));
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(nv::kMagic), 8), "PWNVME\r\n");
}

TEST(NvmeSnapshot, NamesOfStatusesAndResults)
{
    EXPECT_STREQ(nv::slot_status_name(0), "absent");
    EXPECT_STREQ(nv::slot_status_name(1), "answered");
    EXPECT_STREQ(nv::slot_status_name(2), "not_nvme");
    EXPECT_STREQ(nv::slot_status_name(3), "failed");
    EXPECT_STREQ(nv::slot_status_name(4), "unknown");
    EXPECT_STREQ(nv::request_result_name(0), "read");
    EXPECT_STREQ(nv::request_result_name(1), "not_supported");
    EXPECT_STREQ(nv::request_result_name(2), "driver_error");
    EXPECT_STREQ(nv::request_result_name(3), "device_error");
    EXPECT_STREQ(nv::request_result_name(0xff), "not_sent");
    EXPECT_STREQ(nv::request_result_name(4), "unknown");
    nv::Slot slot{};
    slot.namespace_id[0] = 0x78;
    slot.namespace_id[3] = 0x12;
    EXPECT_EQ(nv::slot_namespace_id(slot), 0x12000078u);
}

TEST(NvmeWideCounters, ExactDecimalBeyond64Bits)
{
    struct Row {
        nv::u128 value;
        std::uint32_t factor;
        const char* decimal;
        const char* product;
    };
    const Row rows[] = {
        {0, 512000, "0", "0"},
        {1, 512000, "1", "512000"},
        {kTwo64 - 1, 1, "18446744073709551615", "18446744073709551615"},
        {kTwo64 + 5, 1, "18446744073709551621", "18446744073709551621"},
        {kTwo64, 512000, "18446744073709551616", "9444732965739290427392000"},
        {kMax128, 512000, "340282366920938463463374607431768211455",
         "174224571863520493293247799005065324264960000"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(nv::u128_decimal(row.value), row.decimal);
        EXPECT_EQ(nv::u128_times_decimal(row.value, row.factor), row.product) << row.decimal;
    }
    EXPECT_DOUBLE_EQ(nv::u128_to_double(kTwo64 * 3 + 7), 3 * 18446744073709551616.0 + 7);
}

TEST(NvmeHealthLog, EveryFieldAtItsOffset)
{
    using Get = std::function<nv::u128(const nv::HealthLog&)>;
    struct Row {
        const char* name;
        Field field;
        nv::u128 value;
        Get get;
    };
    const nv::u128 big = kTwo64 * 1000 + 42;  // needs more than 64 bits
    const Row rows[] = {
        {"critical warning", nvmetest::kCriticalWarning, 0x1f, [](auto& h) { return h.critical_warning; }},
        {"composite temperature", nvmetest::kCompositeTemperature, 0x0150, [](auto& h) { return h.composite_temp_kelvin; }},
        {"available spare", nvmetest::kAvailableSpare, 97, [](auto& h) { return h.available_spare; }},
        {"spare threshold", nvmetest::kAvailableSpareThreshold, 10, [](auto& h) { return h.spare_threshold; }},
        {"percentage used 255", nvmetest::kPercentageUsed, 255, [](auto& h) { return h.percentage_used; }},
        {"data units read", nvmetest::kDataUnitsRead, big, [](auto& h) { return h.data_units_read; }},
        {"data units written", nvmetest::kDataUnitsWritten, kMax128, [](auto& h) { return h.data_units_written; }},
        {"host reads", nvmetest::kHostReadCommands, big + 1, [](auto& h) { return h.host_read_commands; }},
        {"host writes", nvmetest::kHostWriteCommands, big + 2, [](auto& h) { return h.host_write_commands; }},
        {"busy time", nvmetest::kControllerBusyTime, big + 3, [](auto& h) { return h.controller_busy_minutes; }},
        {"power cycles", nvmetest::kPowerCycles, big + 4, [](auto& h) { return h.power_cycles; }},
        {"power-on hours", nvmetest::kPowerOnHours, big + 5, [](auto& h) { return h.power_on_hours; }},
        {"unsafe shutdowns", nvmetest::kUnsafeShutdowns, big + 6, [](auto& h) { return h.unsafe_shutdowns; }},
        {"media errors", nvmetest::kMediaErrors, big + 7, [](auto& h) { return h.media_errors; }},
        {"error log entries", nvmetest::kErrorLogEntries, big + 8, [](auto& h) { return h.error_log_entries; }},
        {"warning temperature time", nvmetest::kWarningTemperatureTime, 0xfedcba98, [](auto& h) { return h.warning_temp_minutes; }},
        {"critical temperature time", nvmetest::kCriticalTemperatureTime, 0x01020304, [](auto& h) { return h.critical_temp_minutes; }},
    };
    for (const Row& row : rows) {
        // Every other byte of the page set: a field that reads beyond its
        // own bytes, or at the wrong offset, sees them.
        std::uint8_t page[512];
        std::memset(page, 0xA5, sizeof page);
        for (std::size_t i = 0; i < row.field.bytes; ++i) {
            page[row.field.offset + i] = 0;
        }
        nvmetest::put_le(page, row.field, row.value);
        const nv::HealthLog h = nv::decode_health_log(nv::HealthLogView(page, 512));
        EXPECT_TRUE(row.get(h) == row.value) << row.name << ": " << nv::u128_decimal(row.get(h));
    }
}

TEST(NvmeHealthLog, CriticalWarningNames)
{
    const char* const names[] = {"spare_below_threshold", "temperature", "reliability_degraded", "read_only",
                                 "volatile_backup_failed", "persistent_memory_unreliable", "reserved_6",
                                 "reserved_7"};
    for (unsigned bit = 0; bit < 8; ++bit) {
        EXPECT_STREQ(nv::critical_warning_name(bit), names[bit]);
    }
    EXPECT_EQ(nv::kelvin_to_celsius(273), 0);
    EXPECT_EQ(nv::kelvin_to_celsius(311), 38);
    EXPECT_EQ(nv::kelvin_to_celsius(200), -73);
}

TEST(NvmeIdentify, ControllerStringsAndThresholds)
{
    nv::Slot slot{};
    nvmetest::put_controller(slot, "  Model With Blanks", "S3RIAL-1", "FW\x01\"9", 357, 358);
    slot.identify_controller[23] = 0;  // NUL padding is trimmed too
    nv::ControllerIdentity c = nv::decode_identify_controller(slot.identify_controller);
    EXPECT_EQ(c.model, "Model With Blanks");
    EXPECT_EQ(c.serial, "S3RIAL-1");
    EXPECT_EQ(c.firmware, "FW\x01\"9") << "hostile bytes are the caller's to sanitise";
    EXPECT_EQ(c.vendor_id, 0x1b36);
    EXPECT_EQ(c.warning_temp_kelvin, 357);
    EXPECT_EQ(c.critical_temp_kelvin, 358);

    // Fields that fill their whole width, next to each other: no bleeding.
    nvmetest::put_controller(slot, std::string(40, 'M'), std::string(20, 'S'), std::string(8, 'F'));
    c = nv::decode_identify_controller(slot.identify_controller);
    EXPECT_EQ(c.model, std::string(40, 'M'));
    EXPECT_EQ(c.serial, std::string(20, 'S'));
    EXPECT_EQ(c.firmware, std::string(8, 'F'));
    EXPECT_EQ(c.warning_temp_kelvin, 0) << "0: not reported";
}

TEST(NvmeIdentify, NamespaceLbaSizeAndCapacity)
{
    struct Row {
        const char* what;
        std::uint64_t nsze;
        std::uint8_t lbads;
        std::uint8_t format;
        std::uint8_t formats;
        bool valid;
        std::uint32_t lba_bytes;
        const char* capacity;
    };
    const Row rows[] = {
        {"512-byte blocks", 1953525168, 9, 0, 2, true, 512, "1000204886016"},
        {"4 KiB format 1", 244190646, 12, 1, 2, true, 4096, "1000204886016"},
        {"64 KiB largest accepted", 16, 16, 1, 2, true, 65536, "1048576"},
        {"LBADS 8 absurd", 100, 8, 1, 2, false, 0, "0"},
        {"LBADS 0 (zeroed entry)", 100, 0, 1, 2, false, 0, "0"},
        {"LBADS 17 absurd", 100, 17, 1, 2, false, 0, "0"},
        {"LBADS 255 absurd", 100, 255, 1, 2, false, 0, "0"},
        {"format beyond NLBAF", 100, 12, 3, 2, false, 0, "0"},
        {"format 17 of 20 (FLBAS bits 6:5)", 1000, 12, 17, 20, true, 4096, "4096000"},
        {"capacity beyond 2^64 bytes", 1ull << 63, 16, 1, 2, true, 65536, "604462909807314587353088"},
    };
    for (const Row& row : rows) {
        nv::Slot slot{};
        nvmetest::put_namespace(slot, row.nsze, row.lbads, row.format, row.formats);
        const nv::NamespaceGeometry g = nv::decode_identify_namespace(slot.identify_namespace);
        EXPECT_EQ(g.size_blocks, row.nsze) << row.what;
        EXPECT_EQ(g.capacity_blocks, row.nsze) << row.what;
        EXPECT_EQ(g.used_blocks, row.nsze / 2) << row.what;
        EXPECT_EQ(g.format_count, row.formats) << row.what;
        EXPECT_EQ(g.format_index, row.format) << row.what;
        EXPECT_EQ(g.lba_valid, row.valid) << row.what;
        EXPECT_EQ(g.lba_bytes, row.lba_bytes) << row.what;
        EXPECT_EQ(nv::u128_decimal(g.capacity_bytes), row.capacity) << row.what;
    }
    // With 16 formats or fewer, FLBAS bits 6:5 are not part of the index.
    nv::Slot slot{};
    nvmetest::put_namespace(slot, 8, 12, 1, 16);
    slot.identify_namespace[26] |= 0x60;
    EXPECT_EQ(nv::decode_identify_namespace(slot.identify_namespace).lba_bytes, 4096u);
}

}  // namespace
