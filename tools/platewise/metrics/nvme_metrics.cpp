// The metric families of an NVMe snapshot.
#include "metrics/nvme_metrics.h"
#include "metrics/metric_family.h"

#include <utility>

#include <prometheus/metric_type.h>

namespace platewise::metrics {

namespace {

namespace nv = smart::nvme;
using prometheus::MetricFamily;
using prometheus::MetricType;

}  // namespace

std::vector<MetricFamily> build_nvme_families(const NvmeSnapshotReport* pass,
                                              const NvmeListenerStatus& status)
{
    MetricFamily info = family("platewise_nvme_info",
                               "Always 1: an NVMe drive read in the last pass, with its firmware");
    MetricFamily capacity = family("platewise_nvme_capacity_bytes",
                                   "Size of an NVMe drive's namespace in bytes (0: unknown)");
    MetricFamily lba = family("platewise_nvme_lba_bytes",
                              "LBA data size of the namespace's current format (0: unknown)");
    MetricFamily present = family("platewise_nvme_health_log_present",
                                  "1 when the last pass read an NVMe drive's health log; 0 when not");
    MetricFamily verdict = family("platewise_nvme_verdict",
                                  "1 for the NVMe drive's verdict (ok, warning, failing_now, "
                                  "no_smart_data), 0 for the others");
    MetricFamily warning = family("platewise_nvme_critical_warning",
                                  "1 while a critical warning bit of the health log is set");
    MetricFamily temperature = family("platewise_nvme_temperature_celsius",
                                      "Composite temperature of an NVMe drive");
    MetricFamily warning_temp = family("platewise_nvme_warning_temperature_celsius",
                                       "The controller's warning composite temperature threshold");
    MetricFamily critical_temp = family("platewise_nvme_critical_temperature_celsius",
                                        "The controller's critical composite temperature threshold");
    MetricFamily spare = family("platewise_nvme_available_spare_percent",
                                "Remaining spare capacity, percent");
    MetricFamily spare_threshold = family(
        "platewise_nvme_available_spare_threshold_percent",
        "Available spare below this threshold is a critical warning, percent");
    MetricFamily used = family("platewise_nvme_percentage_used",
                               "Vendor estimate of life used, percent (may exceed 100, up to 255)");
    struct Counter {
        MetricFamily family;
        nv::u128 nv::HealthLog::*field;
        double scale;
    };
    Counter counters[] = {
        {family("platewise_nvme_data_read_bytes_total", "Bytes read by the host (data units of 512000 bytes)",
                MetricType::Counter), &nv::HealthLog::data_units_read, nv::kDataUnitBytes},
        {family("platewise_nvme_data_written_bytes_total",
                "Bytes written by the host (data units of 512000 bytes)", MetricType::Counter),
         &nv::HealthLog::data_units_written, nv::kDataUnitBytes},
        {family("platewise_nvme_host_read_commands_total", "Read commands completed", MetricType::Counter),
         &nv::HealthLog::host_read_commands, 1},
        {family("platewise_nvme_host_write_commands_total", "Write commands completed", MetricType::Counter),
         &nv::HealthLog::host_write_commands, 1},
        {family("platewise_nvme_controller_busy_minutes_total", "Minutes the controller was busy with I/O",
                MetricType::Counter), &nv::HealthLog::controller_busy_minutes, 1},
        {family("platewise_nvme_power_cycles_total", "Power cycles", MetricType::Counter),
         &nv::HealthLog::power_cycles, 1},
        {family("platewise_nvme_power_on_hours_total", "Power-on hours", MetricType::Counter),
         &nv::HealthLog::power_on_hours, 1},
        {family("platewise_nvme_unsafe_shutdowns_total", "Unsafe shutdowns", MetricType::Counter),
         &nv::HealthLog::unsafe_shutdowns, 1},
        {family("platewise_nvme_media_errors_total",
                "Unrecovered data integrity errors (media and data integrity errors)", MetricType::Counter),
         &nv::HealthLog::media_errors, 1},
        {family("platewise_nvme_error_log_entries_total", "Error information log entries over the drive's life",
                MetricType::Counter), &nv::HealthLog::error_log_entries, 1},
    };
    MetricFamily warning_minutes = family("platewise_nvme_warning_temperature_minutes_total",
                                          "Minutes at or above the warning composite temperature",
                                          MetricType::Counter);
    MetricFamily critical_minutes = family("platewise_nvme_critical_temperature_minutes_total",
                                           "Minutes at or above the critical composite temperature",
                                           MetricType::Counter);
    MetricFamily drives = family("platewise_nvme_drives", "NVMe drives in the last NVMe snapshot");
    MetricFamily last = family("platewise_nvme_last_snapshot_timestamp_seconds",
                               "Unix time at which the last good NVMe snapshot arrived");
    MetricFamily received = family("platewise_nvme_snapshots_received_total",
                                   "NVMe snapshots the listener received and decoded", MetricType::Counter);

    if (pass != nullptr) {
        for (const NvmeDriveReport& d : pass->drives) {
            const Labels labels = {{"slot", std::to_string(d.slot)}, {"model", d.model}, {"serial", d.serial}};
            add(info, with(labels, "firmware", d.firmware), 1);
            add(capacity, labels, d.geometry.lba_valid ? nv::u128_to_double(d.geometry.capacity_bytes) : 0.0);
            add(lba, labels, d.geometry.lba_bytes);
            add(present, labels, d.health_read ? 1 : 0);
            for (const NvmeVerdict v : {NvmeVerdict::ok, NvmeVerdict::warning, NvmeVerdict::failing_now,
                                        NvmeVerdict::no_smart_data}) {
                add(verdict, with(labels, "verdict", nvme_verdict_name(v)), d.verdict == v ? 1 : 0);
            }
            if (d.warning_temp_kelvin != 0) {
                add(warning_temp, labels, nv::kelvin_to_celsius(d.warning_temp_kelvin));
            }
            if (d.critical_temp_kelvin != 0) {
                add(critical_temp, labels, nv::kelvin_to_celsius(d.critical_temp_kelvin));
            }
            if (!d.health_read) {
                continue;
            }
            const nv::HealthLog& h = d.health;
            for (unsigned bit = 0; bit < 6; ++bit) {
                add(warning, with(labels, "warning", nv::critical_warning_name(bit)),
                    (h.critical_warning >> bit) & 1u);
            }
            if (h.composite_temp_kelvin != 0) {
                add(temperature, labels, nv::kelvin_to_celsius(h.composite_temp_kelvin));
            }
            add(spare, labels, h.available_spare);
            add(spare_threshold, labels, h.spare_threshold);
            add(used, labels, h.percentage_used);
            for (Counter& c : counters) {
                add(c.family, labels, nv::u128_to_double(h.*c.field) * c.scale);
            }
            add(warning_minutes, labels, h.warning_temp_minutes);
            add(critical_minutes, labels, h.critical_temp_minutes);
        }
    }
    if (status.has_pass) {
        add(drives, {}, pass == nullptr ? 0.0 : static_cast<double>(pass->drives.size()));
        add(last, {}, status.last_snapshot_unix_seconds);
    }
    add(received, {}, static_cast<double>(status.received));

    std::vector<MetricFamily> out;
    for (MetricFamily* f : {&info, &capacity, &lba, &present, &verdict, &warning, &temperature,
                            &warning_temp, &critical_temp, &spare, &spare_threshold, &used}) {
        out.push_back(std::move(*f));
    }
    for (Counter& c : counters) {
        out.push_back(std::move(c.family));
    }
    for (MetricFamily* f : {&warning_minutes, &critical_minutes, &drives, &last, &received}) {
        out.push_back(std::move(*f));
    }
    return out;
}

}  // namespace platewise::metrics
