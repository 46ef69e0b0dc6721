// The NVMe health log fields kept in the history.
#include "history/nvme_fields.h"

#include <algorithm>
#include <charconv>

#include "smart.h"

namespace platewise::history {

namespace {

namespace nv = smart::nvme;

constexpr NvmeField kFields[] = {
    {kNvmeCriticalWarning, "critical_warning", "Critical warning", true},
    {kNvmeTemperature, "temperature", "Composite temperature", false},
    {kNvmeAvailableSpare, "available_spare", "Available spare", true},
    {kNvmeSpareThreshold, "available_spare_threshold", "Available spare threshold", true},
    {kNvmePercentageUsed, "percentage_used", "Percentage used", true},
    {kNvmeMediaErrors, "media_errors", "Media and data integrity errors", true},
    {kNvmeErrorLogEntries, "error_log_entries", "Error information log entries", true},
    {kNvmeUnsafeShutdowns, "unsafe_shutdowns", "Unsafe shutdowns", false},
    {kNvmePowerCycles, "power_cycles", "Power cycles", false},
    {kNvmePowerOnHours, "power_on_hours", "Power-on hours", false},
    {kNvmeDataUnitsRead, "data_units_read", "Data units read", false},
    {kNvmeDataUnitsWritten, "data_units_written", "Data units written", false},
};

std::string bytes_text(std::uint64_t bytes)
{
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    double v = static_cast<double>(bytes);
    std::size_t u = 0;
    while (v >= 1000.0 && u + 1 < std::size(units)) {
        v /= 1000.0;
        ++u;
    }
    return u == 0 ? std::to_string(bytes) + " B" : smart::format_text("%.1f %s", v, units[u]);
}

}  // namespace

std::span<const NvmeField> nvme_fields() noexcept
{
    return kFields;
}

const NvmeField* nvme_field(std::uint8_t id) noexcept
{
    const auto it = std::find_if(std::begin(kFields), std::end(kFields),
                                 [&](const NvmeField& f) { return f.id == id; });
    return it == std::end(kFields) ? nullptr : &*it;
}

const NvmeField* nvme_field_named(std::string_view name) noexcept
{
    for (const NvmeField& f : kFields) {
        if (name == f.name) {
            return &f;
        }
    }
    unsigned id = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), id);
    if (ec == std::errc() && end == name.data() + name.size() && id <= 255) {
        return nvme_field(static_cast<std::uint8_t>(id));
    }
    return nullptr;
}

std::uint64_t saturate_sample(nv::u128 value) noexcept
{
    return value > kSampleRawMax ? kSampleRawMax : static_cast<std::uint64_t>(value);
}

std::vector<AttributeSample> nvme_samples_of(const nv::HealthLog& h)
{
    const auto sample = [](std::uint8_t id, nv::u128 raw) {
        AttributeSample a;
        a.id = id;
        a.raw = saturate_sample(raw);
        return a;
    };
    return {
        sample(kNvmeCriticalWarning, h.critical_warning),
        sample(kNvmeTemperature, h.composite_temp_kelvin),
        sample(kNvmeAvailableSpare, h.available_spare),
        sample(kNvmeSpareThreshold, h.spare_threshold),
        sample(kNvmePercentageUsed, h.percentage_used),
        sample(kNvmeMediaErrors, h.media_errors),
        sample(kNvmeErrorLogEntries, h.error_log_entries),
        sample(kNvmeUnsafeShutdowns, h.unsafe_shutdowns),
        sample(kNvmePowerCycles, h.power_cycles),
        sample(kNvmePowerOnHours, h.power_on_hours),
        sample(kNvmeDataUnitsRead, h.data_units_read),
        sample(kNvmeDataUnitsWritten, h.data_units_written),
    };
}

nv::HealthLog health_of_samples(const std::vector<AttributeSample>& table) noexcept
{
    nv::HealthLog h{};
    for (const AttributeSample& a : table) {
        const auto byte = static_cast<std::uint8_t>(std::min<std::uint64_t>(a.raw, 255));
        switch (a.id) {
        case kNvmeCriticalWarning: h.critical_warning = byte; break;
        case kNvmeTemperature:
            h.composite_temp_kelvin = static_cast<std::uint16_t>(std::min<std::uint64_t>(a.raw, 65535));
            break;
        case kNvmeAvailableSpare: h.available_spare = byte; break;
        case kNvmeSpareThreshold: h.spare_threshold = byte; break;
        case kNvmePercentageUsed: h.percentage_used = byte; break;
        case kNvmeMediaErrors: h.media_errors = a.raw; break;
        case kNvmeErrorLogEntries: h.error_log_entries = a.raw; break;
        case kNvmeUnsafeShutdowns: h.unsafe_shutdowns = a.raw; break;
        case kNvmePowerCycles: h.power_cycles = a.raw; break;
        case kNvmePowerOnHours: h.power_on_hours = a.raw; break;
        case kNvmeDataUnitsRead: h.data_units_read = a.raw; break;
        case kNvmeDataUnitsWritten: h.data_units_written = a.raw; break;
        default: break;
        }
    }
    return h;
}

std::uint64_t data_unit_bytes(std::uint64_t units) noexcept
{
    constexpr std::uint64_t kUnit = nv::kDataUnitBytes;
    return units > UINT64_MAX / kUnit ? UINT64_MAX : units * kUnit;
}

std::string nvme_field_text(const AttributeSample& a)
{
    switch (a.id) {
    case kNvmeTemperature:
        return a.raw == 0 ? std::string("not reported")
                          : std::to_string(static_cast<std::int64_t>(a.raw) - 273) + " C";
    case kNvmeAvailableSpare:
    case kNvmeSpareThreshold:
    case kNvmePercentageUsed:
        return std::to_string(a.raw) + " %";
    case kNvmeCriticalWarning: {
        std::string text = smart::format_text("0x%02x", static_cast<unsigned>(a.raw & 0xFF));
        std::string names;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((a.raw >> bit) & 1u) {
                names += (names.empty() ? "" : ", ") + std::string(nv::critical_warning_name(bit));
            }
        }
        return names.empty() ? text : text + " (" + names + ")";
    }
    case kNvmeDataUnitsRead:
    case kNvmeDataUnitsWritten:
        return std::to_string(a.raw) + " (" + bytes_text(data_unit_bytes(a.raw)) + ")";
    default:
        return std::to_string(a.raw);
    }
}

}  // namespace platewise::history
