// listen --metrics / --textfile: the Prometheus metric families of the last
// NVMe snapshot, beside the drive snapshot's (metrics_exposition.h).
#pragma once

#include <cstdint>
#include <vector>

#include <prometheus/metric_family.h>

#include "report/nvme_report.h"

namespace platewise::metrics {

struct NvmeListenerStatus {
    std::uint64_t received = 0;             // NVMe snapshots taken and decoded
    bool has_pass = false;                  // false until the first one
    double last_snapshot_unix_seconds = 0;  // when the last one arrived
};

// The families, in a fixed order:
//   per NVMe drive (labels slot, model, serial), gauges:
//     platewise_nvme_info (1, with the extra label firmware),
//     platewise_nvme_capacity_bytes, platewise_nvme_lba_bytes (0: unknown),
//     platewise_nvme_health_log_present (1: the pass read the health log),
//     platewise_nvme_verdict (extra label verdict: ok, warning, failing_now,
//       no_smart_data; 1 for the drive's, 0 for the others)
//   per NVMe drive whose health log was read:
//     platewise_nvme_critical_warning (extra label warning: one series per
//       defined bit, by name; 0/1),
//     platewise_nvme_temperature_celsius, platewise_nvme_warning_temperature_celsius,
//     platewise_nvme_critical_temperature_celsius (each only when reported),
//     platewise_nvme_available_spare_percent,
//     platewise_nvme_available_spare_threshold_percent,
//     platewise_nvme_percentage_used (gauges), and the drive's own counters:
//     platewise_nvme_data_read_bytes_total, _data_written_bytes_total,
//     _host_read_commands_total, _host_write_commands_total,
//     _controller_busy_minutes_total, _power_cycles_total,
//     _power_on_hours_total, _unsafe_shutdowns_total, _media_errors_total,
//     _error_log_entries_total, _warning_temperature_minutes_total,
//     _critical_temperature_minutes_total (128-bit counts as the nearest
//     double: exact up to 2^53)
//   per listener: platewise_nvme_drives, platewise_nvme_last_snapshot_timestamp_seconds
//     (gauges, after the first NVMe snapshot), platewise_nvme_snapshots_received_total.
// `pass` is the last good NVMe snapshot, or nullptr before the first.
std::vector<prometheus::MetricFamily> build_nvme_families(const NvmeSnapshotReport* pass,
                                                          const NvmeListenerStatus& status);

}  // namespace platewise::metrics
