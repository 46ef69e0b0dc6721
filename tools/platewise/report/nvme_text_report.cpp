// Rendering NVMe report records as text.
#include "report/nvme_text_report.h"

#include "report/text_report.h"

namespace platewise {

namespace nv = smart::nvme;

namespace {

std::string celsius(std::uint16_t kelvin)
{
    return kelvin == 0 ? std::string("not reported")
                       : smart::format_text("%d C", nv::kelvin_to_celsius(kelvin));
}

std::string bytes_text(const nv::u128& units)
{
    const nv::u128 bytes_max = ~static_cast<nv::u128>(0) / nv::kDataUnitBytes;
    std::string text = nv::u128_times_decimal(units, nv::kDataUnitBytes) + " bytes";
    if (units != 0 && units <= bytes_max) {
        const nv::u128 bytes = units * nv::kDataUnitBytes;
        if (bytes >> 64 == 0) {
            text += " (" + decimal_size(static_cast<std::uint64_t>(bytes)) + ")";
        }
    }
    return text;
}

std::string request_list(const NvmeDriveReport& d)
{
    static const char* const kRequests[3] = {"identify controller", "identify namespace", "health log"};
    std::string text;
    for (std::size_t i = 0; i < 3; ++i) {
        text += (i == 0 ? "" : ", ") + std::string(kRequests[i]) + " " + nv::request_result_name(d.results[i]);
    }
    return text;
}

}  // namespace

std::string render_nvme_drive_text(const NvmeDriveReport& d)
{
    std::string out;
    out += smart::format_text("NVMe drive %zu: %s\n", d.slot,
                              d.model.empty() ? "(no model)" : d.model.c_str());
    out += "  Serial: " + d.serial + "   Firmware: " + d.firmware +
           smart::format_text("   Namespace: %u\n", static_cast<unsigned>(d.namespace_id));
    if (d.status != static_cast<std::uint8_t>(nv::SlotStatus::answered)) {
        out += "  Requests: " + request_list(d) + "\n";
    }
    const nv::NamespaceGeometry& g = d.geometry;
    if (!d.namespace_read) {
        out += "  Capacity: unknown (no namespace data)\n";
    } else if (!g.lba_valid && g.format_index >= g.format_count) {
        // The index names no format of the namespace: there is no size to tell.
        out += smart::format_text("  Capacity: unknown (LBA format %u is beyond the namespace's %u format%s), "
                                  "%llu blocks\n",
                                  g.format_index, g.format_count, g.format_count == 1 ? "" : "s",
                                  static_cast<unsigned long long>(g.size_blocks));
    } else if (!g.lba_valid) {
        out += smart::format_text("  Capacity: unknown (LBA format %u has data size 2^%u), %llu blocks\n",
                                  g.format_index, g.lba_shift,
                                  static_cast<unsigned long long>(g.size_blocks));
    } else {
        const std::string exact = nv::u128_decimal(g.capacity_bytes);
        std::string scaled;
        if (g.capacity_bytes >> 64 == 0) {
            const auto bytes = static_cast<std::uint64_t>(g.capacity_bytes);
            scaled = " (" + decimal_size(bytes) + ", " + binary_size(bytes) + ")";
        }
        out += "  Capacity: " + exact + " bytes" + scaled +
               smart::format_text(", %llu blocks of %u bytes (LBA format %u)\n",
                                  static_cast<unsigned long long>(g.size_blocks), g.lba_bytes,
                                  g.format_index);
    }
    if (!d.health_read) {
        out += "  Health log: not read\n";
        out += "  Verdict: " + d.verdict_text + "\n";
        return out;
    }
    const nv::HealthLog& h = d.health;
    std::string warnings;
    for (const std::string& name : critical_warning_names(h.critical_warning)) {
        warnings += (warnings.empty() ? "" : ", ") + name;
    }
    out += smart::format_text("  Critical warning: 0x%02x", h.critical_warning) +
           (warnings.empty() ? std::string(" (none)") : " (" + warnings + ")") + "\n";
    out += "  Temperature: " + celsius(h.composite_temp_kelvin) + "   warning " +
           celsius(d.warning_temp_kelvin) + ", critical " + celsius(d.critical_temp_kelvin) + "\n";
    out += smart::format_text("  Available spare: %u%% (threshold %u%%)   Percentage used: %u%%\n",
                              h.available_spare, h.spare_threshold, h.percentage_used);
    out += "  Data read: " + bytes_text(h.data_units_read) + "\n";
    out += "  Data written: " + bytes_text(h.data_units_written) + "\n";
    out += "  Host commands: read " + nv::u128_decimal(h.host_read_commands) + ", write " +
           nv::u128_decimal(h.host_write_commands) + "   Controller busy: " +
           nv::u128_decimal(h.controller_busy_minutes) + " minutes\n";
    out += "  Power cycles: " + nv::u128_decimal(h.power_cycles) + "   Power-on hours: " +
           nv::u128_decimal(h.power_on_hours) + "   Unsafe shutdowns: " +
           nv::u128_decimal(h.unsafe_shutdowns) + "\n";
    out += "  Media and data integrity errors: " + nv::u128_decimal(h.media_errors) +
           "   Error log entries: " + nv::u128_decimal(h.error_log_entries) + "\n";
    out += smart::format_text("  Minutes above warning temperature: %u, above critical: %u\n",
                              static_cast<unsigned>(h.warning_temp_minutes),
                              static_cast<unsigned>(h.critical_temp_minutes));
    out += "  Verdict: " + d.verdict_text + "\n";
    return out;
}

std::string render_nvme_text(const NvmeSnapshotReport& report, const std::string& title)
{
    std::string out = "== " + smart::sanitize_text(title) + "\n";
    out += smart::format_text("NVMe snapshot: count %d, %zu NVMe drive%s, %zu not NVMe\n", report.count,
                              report.drives.size(), report.drives.size() == 1 ? "" : "s",
                              report.not_nvme);
    for (const NvmeDriveReport& d : report.drives) {
        out += render_nvme_drive_text(d);
    }
    return out;
}

}  // namespace platewise
