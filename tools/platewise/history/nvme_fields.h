// An NVMe drive's health log in the history: each field the history keeps
// becomes one AttributeSample with an id of its own (32 and up, so that no
// rule written for ATA attribute ids ever matches one), value, worst and
// threshold 0, and the field's value in `raw`: the 48 bits a sample holds,
// saturating (a 128-bit counter past 2^48 - 1 stays there). The readings
// machinery then records them by the ATA rules: a full table first, the
// changes a verdict hangs on at once, the rest with the hourly sample.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_store.h"
#include "nvme.h"

namespace platewise::history {

enum NvmeFieldId : std::uint8_t {
    kNvmeCriticalWarning = 32,   // byte 0, the warning bits
    kNvmeTemperature = 33,       // bytes 1-2, kelvin (0: not reported)
    kNvmeAvailableSpare = 34,    // byte 3, percent
    kNvmeSpareThreshold = 35,    // byte 4, percent
    kNvmePercentageUsed = 36,    // byte 5, percent (may pass 100)
    kNvmeMediaErrors = 37,       // bytes 160-175
    kNvmeErrorLogEntries = 38,   // bytes 176-191
    kNvmeUnsafeShutdowns = 39,   // bytes 144-159
    kNvmePowerCycles = 40,       // bytes 112-127
    kNvmePowerOnHours = 41,      // bytes 128-143
    kNvmeDataUnitsRead = 42,     // bytes 32-47, units of 512000 bytes
    kNvmeDataUnitsWritten = 43,  // bytes 48-63, units of 512000 bytes
};

inline constexpr std::uint64_t kSampleRawMax = (std::uint64_t{1} << 48) - 1;

struct NvmeField {
    std::uint8_t id;
    const char* name;   // for --field, JSON and CSV: "available_spare"
    const char* label;  // for people: "Available spare"
    // When a change is written at once rather than with the hourly sample.
    bool urgent;
};

// Every field the history keeps, in the order they are shown.
std::span<const NvmeField> nvme_fields() noexcept;
const NvmeField* nvme_field(std::uint8_t id) noexcept;
// By name ("media_errors") or by id as text ("37").
const NvmeField* nvme_field_named(std::string_view name) noexcept;

// The value as a sample holds it: at most 2^48 - 1.
std::uint64_t saturate_sample(smart::nvme::u128 value) noexcept;

// The health log as samples, in nvme_fields() order.
std::vector<AttributeSample> nvme_samples_of(const smart::nvme::HealthLog& health);

// The health log a table of samples gives back (fields it lacks read 0);
// for judging a stored drive as the listener judges a live one.
smart::nvme::HealthLog health_of_samples(const std::vector<AttributeSample>& table) noexcept;

// The field's value for people: "41 C", "97 %", "1234 (631.8 GB)",
// "0x04 (reliability_degraded)", "12345".
std::string nvme_field_text(const AttributeSample& sample);

// Data units as bytes (units x 512000), saturating at UINT64_MAX.
std::uint64_t data_unit_bytes(std::uint64_t units) noexcept;

}  // namespace platewise::history
