// The NVMe snapshot as JSON for programs:
// {type: "nvme", version: 1, count, not_nvme, nvme_drives: [{slot, status,
//  namespace_id, requests: {identify_controller, identify_namespace,
//  health_log}, model, serial, firmware, warning_temperature_celsius,
//  critical_temperature_celsius, namespace: {size_blocks, capacity_blocks,
//  used_blocks, format_index, lba_bytes, capacity_bytes} or null,
//  health: {critical_warning, critical_warnings, temperature_celsius,
//  available_spare, available_spare_threshold, percentage_used,
//  data_units_read, data_units_written, data_read_bytes,
//  data_written_bytes, host_read_commands, host_write_commands,
//  controller_busy_minutes, power_cycles, power_on_hours, unsafe_shutdowns,
//  media_errors, error_log_entries, warning_temperature_minutes,
//  critical_temperature_minutes} or null, verdict, reasons: [{verdict,
//  reason, text}]}]}.
// The health log's 128-bit counters (and the byte counts made from them,
// and capacity_bytes) are exact decimal strings: JSON numbers beyond 2^53
// lose precision in most readers, and these may exceed even 2^64.
// Temperatures are whole degrees Celsius, null when the drive reports none.
// It has no "drives" member, so no reader of the ATA documents takes it for
// one of them.
#pragma once

#include <nlohmann/json.hpp>

#include "report/nvme_report.h"

namespace platewise {

nlohmann::json nvme_drive_to_json(const NvmeDriveReport& drive);
nlohmann::json nvme_report_to_json(const NvmeSnapshotReport& report);

}  // namespace platewise
