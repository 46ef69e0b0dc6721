// Rendering NVMe report records as JSON.
#include "report/nvme_json_report.h"

#include "report/json_report.h"

namespace platewise {

namespace nv = smart::nvme;

namespace {

nlohmann::json celsius(std::uint16_t kelvin)
{
    return kelvin == 0 ? nlohmann::json(nullptr) : nlohmann::json(nv::kelvin_to_celsius(kelvin));
}

nlohmann::json health_to_json(const nv::HealthLog& h)
{
    nlohmann::json names = nlohmann::json::array();
    for (const std::string& name : critical_warning_names(h.critical_warning)) {
        names.push_back(name);
    }
    return {
        {"critical_warning", h.critical_warning},
        {"critical_warnings", std::move(names)},
        {"temperature_celsius", celsius(h.composite_temp_kelvin)},
        {"available_spare", h.available_spare},
        {"available_spare_threshold", h.spare_threshold},
        {"percentage_used", h.percentage_used},
        {"data_units_read", nv::u128_decimal(h.data_units_read)},
        {"data_units_written", nv::u128_decimal(h.data_units_written)},
        {"data_read_bytes", nv::u128_times_decimal(h.data_units_read, nv::kDataUnitBytes)},
        {"data_written_bytes", nv::u128_times_decimal(h.data_units_written, nv::kDataUnitBytes)},
        {"host_read_commands", nv::u128_decimal(h.host_read_commands)},
        {"host_write_commands", nv::u128_decimal(h.host_write_commands)},
        {"controller_busy_minutes", nv::u128_decimal(h.controller_busy_minutes)},
        {"power_cycles", nv::u128_decimal(h.power_cycles)},
        {"power_on_hours", nv::u128_decimal(h.power_on_hours)},
        {"unsafe_shutdowns", nv::u128_decimal(h.unsafe_shutdowns)},
        {"media_errors", nv::u128_decimal(h.media_errors)},
        {"error_log_entries", nv::u128_decimal(h.error_log_entries)},
        {"warning_temperature_minutes", h.warning_temp_minutes},
        {"critical_temperature_minutes", h.critical_temp_minutes},
    };
}

}  // namespace

nlohmann::json nvme_drive_to_json(const NvmeDriveReport& d)
{
    nlohmann::json reasons = nlohmann::json::array();
    for (const NvmeReason& r : d.reasons) {
        reasons.push_back({{"verdict", nvme_verdict_name(r.kind)}, {"reason", r.code}, {"text", r.text}});
    }
    nlohmann::json geometry = nullptr;
    if (d.namespace_read) {
        const nv::NamespaceGeometry& g = d.geometry;
        geometry = {
            {"size_blocks", g.size_blocks},
            {"capacity_blocks", g.capacity_blocks},
            {"used_blocks", g.used_blocks},
            {"format_index", g.format_index},
            {"lba_bytes", g.lba_bytes},  // 0: the format's data size is absurd
            {"capacity_bytes", nv::u128_decimal(g.capacity_bytes)},
        };
    }
    return {
        {"slot", d.slot},
        {"status", nv::slot_status_name(d.status)},
        {"namespace_id", d.namespace_id},
        {"requests",
         {
             {"identify_controller", nv::request_result_name(d.results[nv::kIdentifyControllerRequest])},
             {"identify_namespace", nv::request_result_name(d.results[nv::kIdentifyNamespaceRequest])},
             {"health_log", nv::request_result_name(d.results[nv::kHealthLogRequest])},
         }},
        {"model", d.model},
        {"serial", d.serial},
        {"firmware", d.firmware},
        {"warning_temperature_celsius", celsius(d.warning_temp_kelvin)},
        {"critical_temperature_celsius", celsius(d.critical_temp_kelvin)},
        {"namespace", std::move(geometry)},
        {"health", d.health_read ? health_to_json(d.health) : nlohmann::json(nullptr)},
        {"verdict", d.verdict_text},
        {"reasons", std::move(reasons)},
    };
}

nlohmann::json nvme_report_to_json(const NvmeSnapshotReport& report)
{
    nlohmann::json drives = nlohmann::json::array();
    for (const NvmeDriveReport& d : report.drives) {
        nlohmann::json j = nvme_drive_to_json(d);
        for (const DriveReport& h : report.history) {
            if (h.slot == d.slot) {
                j["history_verdict"] = h.verdict_text;
                j["history_verdict_code"] = verdict_name(h.verdict);
                j["history_reasons"] = reasons_to_json(h.reasons);
            }
        }
        drives.push_back(std::move(j));
    }
    nlohmann::json doc = {
        {"type", "nvme"},
        {"version", smart::nvme::kVersion},
        {"count", report.count},
        {"not_nvme", report.not_nvme},
        {"nvme_drives", std::move(drives)},
    };
    if (report.history_write_failures >= 0) {
        doc["history_write_failures"] = report.history_write_failures;
    }
    return doc;
}

}  // namespace platewise
