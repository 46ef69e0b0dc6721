// listen --metrics / --textfile: the Prometheus metric families of the last
// decoded pass and of the listener itself, built from the plain report
// records (drive_report.h) with prometheus-cpp's data model.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "report/drive_report.h"

namespace platewise::metrics {

// What the listener has seen so far.
struct ListenerStatus {
    std::uint64_t received = 0;  // snapshots taken and decoded
    std::uint64_t refused = 0;   // connections reported as short, long, malformed, ...
    bool has_pass = false;       // false until the first good snapshot
    double last_snapshot_unix_seconds = 0;  // when the last good snapshot arrived
};

// The families, in a fixed order:
//   per attribute (labels slot, model, serial, id, name), gauges:
//     platewise_attribute_value, _worst, _threshold, _raw,
//     platewise_attribute_failing_now, platewise_attribute_failed_past (0/1)
//   per drive (labels slot, model, serial), gauges:
//     platewise_drive_info (1, with the extra label firmware),
//     platewise_drive_capacity_bytes, platewise_drive_logical_sector_bytes,
//     platewise_drive_physical_sector_bytes,
//     platewise_drive_smart_supported, platewise_drive_smart_enabled (1, 0, -1 unknown),
//     platewise_drive_smart_data_present (1: the pass had its attributes; 0: not)
//   per listener:
//     platewise_drives (gauge), platewise_last_snapshot_timestamp_seconds (gauge),
//     platewise_snapshots_received_total, platewise_snapshots_refused_total (counters)
//   per drive, from the verdict and its reasons:
//     platewise_drive_verdict (labels slot, model, serial, verdict: 1 for the
//       drive's verdict, 0 for the other five; a missing drive has slot ""),
//     platewise_drive_degrading (labels slot, model, serial, id, name: the
//       count above the acknowledged baseline, only while above it)
//   with a history: platewise_history_write_failures_total (counter)
// `pass` is the last good pass, or nullptr before the first one; then the
// per-drive and per-attribute families and the two per-pass gauges
// (platewise_drives, platewise_last_snapshot_timestamp_seconds) carry no
// series. Label values are the report's strings, which are sanitised
// already (printable ASCII); the serializer escapes them for the format. An
// attribute id that occurs twice in one drive's sector gives series only for
// its first entry (the same labels twice would break a scrape).
//
// `held` gives attributes for drives of the pass that came without SMART
// data: their series are shown as last seen (a failing drive whose SMART
// read then fails keeps its alert), while platewise_drive_smart_data_present
// says 0.
struct HeldAttributes {
    std::size_t slot = 0;  // the drive's slot in `pass`
    std::vector<AttributeReport> attributes;
};
std::vector<prometheus::MetricFamily> build_families(const SnapshotReport* pass,
                                                     const ListenerStatus& status,
                                                     const std::vector<HeldAttributes>& held = {});

// platewise_notifications_failed_total (counter, label channel: "mail",
// "exec"): failed delivery attempts of listen --notify-mail and
// --notify-exec, by channel kind.
prometheus::MetricFamily notification_failure_family(const std::map<std::string, std::uint64_t>& failures);

// The families in the text exposition format (prometheus::TextSerializer).
std::string serialize_text(const std::vector<prometheus::MetricFamily>& families);

}  // namespace platewise::metrics
