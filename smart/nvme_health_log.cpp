// The SMART / Health Information log page (log identifier 02h).
#include "nvme.h"

namespace smart::nvme {

namespace {

u128 le(HealthLogView data, std::size_t at, std::size_t bytes) noexcept
{
    u128 value = 0;
    for (std::size_t i = bytes; i-- > 0;) {
        value = value << 8 | data[at + i];
    }
    return value;
}

}  // namespace

const char* critical_warning_name(unsigned bit) noexcept
{
    static const char* const kNames[8] = {
        "spare_below_threshold", "temperature",   "reliability_degraded",
        "read_only",             "volatile_backup_failed", "persistent_memory_unreliable",
        "reserved_6",            "reserved_7",
    };
    return bit < 8 ? kNames[bit] : "unknown";
}

HealthLog decode_health_log(HealthLogView data) noexcept
{
    HealthLog h;
    h.critical_warning = data[0];
    h.composite_temp_kelvin = static_cast<std::uint16_t>(le(data, 1, 2));
    h.available_spare = data[3];
    h.spare_threshold = data[4];
    h.percentage_used = data[5];
    h.data_units_read = le(data, 32, 16);
    h.data_units_written = le(data, 48, 16);
    h.host_read_commands = le(data, 64, 16);
    h.host_write_commands = le(data, 80, 16);
    h.controller_busy_minutes = le(data, 96, 16);
    h.power_cycles = le(data, 112, 16);
    h.power_on_hours = le(data, 128, 16);
    h.unsafe_shutdowns = le(data, 144, 16);
    h.media_errors = le(data, 160, 16);
    h.error_log_entries = le(data, 176, 16);
    h.warning_temp_minutes = static_cast<std::uint32_t>(le(data, 192, 4));
    h.critical_temp_minutes = static_cast<std::uint32_t>(le(data, 196, 4));
    return h;
}

}  // namespace smart::nvme
