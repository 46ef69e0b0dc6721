// The metric families of a decoded pass.
#include "metrics/metrics_exposition.h"
#include "metrics/metric_family.h"

#include <set>
#include <sstream>
#include <utility>

#include <prometheus/client_metric.h>
#include <prometheus/metric_type.h>
#include <prometheus/text_serializer.h>

namespace platewise::metrics {

namespace {

using prometheus::MetricFamily;
using prometheus::MetricType;

Labels drive_labels(const DriveReport& drive)
{
    return {{"slot", std::to_string(drive.slot)}, {"model", drive.model}, {"serial", drive.serial}};
}

}  // namespace

std::vector<MetricFamily> build_families(const SnapshotReport* pass, const ListenerStatus& status,
                                         const std::vector<HeldAttributes>& held)
{
    MetricFamily value = family("platewise_attribute_value",
                                "Normalised value of a SMART attribute (1-253, higher is better)");
    MetricFamily worst = family("platewise_attribute_worst",
                                "Worst normalised value a SMART attribute has had");
    MetricFamily threshold = family(
        "platewise_attribute_threshold",
        "Failure threshold of a SMART attribute (0: the drive gives none, never failing)");
    MetricFamily raw = family("platewise_attribute_raw",
                              "Raw value of a SMART attribute as the listener extracts it "
                              "(for temperatures 190 and 194 the reading is raw % 256)");
    MetricFamily failing_now = family(
        "platewise_attribute_failing_now",
        "1 when a SMART attribute is failing now: value <= threshold and threshold != 0");
    MetricFamily failed_past = family(
        "platewise_attribute_failed_past",
        "1 when a SMART attribute failed in the past: worst <= threshold and threshold != 0");

    MetricFamily prefailure = family(
        "platewise_attribute_prefailure",
        "1 for a pre-failure SMART attribute (at its threshold the drive predicts its failure), "
        "0 for an old-age one (at its threshold it is worn)");
    MetricFamily count = family(
        "platewise_attribute_count",
        "The count of a count attribute (5, 187, 188, 196, 197, 198): raw bytes 0-1, the "
        "bytes above are vendor data; absent when the raw value cannot be a count");
    MetricFamily not_a_count = family(
        "platewise_attribute_not_a_count",
        "1 when a count attribute's raw value cannot be a count (0xFFF0-0xFFFF, or more "
        "sectors than the drive has), 0 when it is one");

    MetricFamily info = family("platewise_drive_info",
                               "Always 1: a drive read in the last pass, with its firmware");
    MetricFamily capacity = family("platewise_drive_capacity_bytes",
                                   "Capacity of a drive in bytes (0: the drive reports no size)");
    MetricFamily logical = family("platewise_drive_logical_sector_bytes",
                                  "Logical sector size of a drive in bytes");
    MetricFamily physical = family("platewise_drive_physical_sector_bytes",
                                   "Physical sector size of a drive in bytes");
    MetricFamily supported = family("platewise_drive_smart_supported",
                                    "SMART supported by a drive: 1 yes, 0 no, -1 unknown");
    MetricFamily enabled = family("platewise_drive_smart_enabled",
                                  "SMART enabled on a drive: 1 yes, 0 no, -1 unknown");
    MetricFamily present = family(
        "platewise_drive_smart_data_present",
        "1 when the last pass read a drive's SMART attributes; 0 when it did not (its attribute "
        "series then show the values last read, for a while)");

    MetricFamily drives = family("platewise_drives", "Drives read in the last pass");
    MetricFamily last = family("platewise_last_snapshot_timestamp_seconds",
                               "Unix time at which the last good snapshot arrived");
    MetricFamily received = family("platewise_snapshots_received_total",
                                   "Snapshots the listener received and decoded",
                                   MetricType::Counter);
    MetricFamily refused = family(
        "platewise_snapshots_refused_total",
        "Connections the listener refused: peers not allowed to send, and short, long, "
        "malformed or too slow messages",
        MetricType::Counter);

    // The verdict of each drive (one series per verdict, 1 for the drive's),
    // the leading indicators above their acknowledged baselines, and the
    // history's write failures (these two with listen --history only).
    MetricFamily verdict = family("platewise_drive_verdict",
                                  "1 for the drive's verdict (ok, failing_now, failed_past, "
                                  "degrading, no_smart_data, missing, warning), 0 for the others");
    MetricFamily degrading = family(
        "platewise_drive_degrading",
        "A leading indicator's count (raw bytes 0-1) above its baseline: by how much");
    MetricFamily missing = family(
        "platewise_drive_missing",
        "1 for a drive the history knows that was not seen for too long, whatever its verdict");
    MetricFamily history_failures = family(
        "platewise_history_write_failures_total",
        "Passes the listener could not record in its history (full disk, locked file, ...)",
        MetricType::Counter);
    const auto add_verdict = [&](const DriveReport& drive, Labels labels) {
        for (const Verdict v : {Verdict::ok, Verdict::failing_now, Verdict::failed_past,
                                Verdict::degrading, Verdict::no_smart_data, Verdict::missing,
                                Verdict::warning}) {
            add(verdict, with(labels, "verdict", verdict_name(v)), drive.verdict == v ? 1 : 0);
        }
        for (const VerdictReason& r : drive.reasons) {
            if (r.kind == Verdict::degrading) {
                Labels l = labels;
                l.push_back({"id", std::to_string(r.attribute_id)});
                l.push_back({"name", r.attribute_name});
                add(degrading, l, static_cast<double>(r.current) - static_cast<double>(r.baseline));
            }
        }
    };
    if (pass != nullptr) {
        for (const DriveReport& drive : pass->drives) {
            add_verdict(drive, drive_labels(drive));
        }
        for (const DriveReport& drive : pass->missing) {
            // A missing drive is in no slot.
            add_verdict(drive, {{"slot", ""}, {"model", drive.model}, {"serial", drive.serial}});
            add(missing, {{"model", drive.model}, {"serial", drive.serial}}, 1);
        }
        if (pass->history_write_failures >= 0) {
            add(history_failures, {}, static_cast<double>(pass->history_write_failures));
        }
        for (const DriveReport& drive : pass->drives) {
            const Labels labels = drive_labels(drive);
            add(info, with(labels, "firmware", drive.firmware), 1);
            add(capacity, labels, static_cast<double>(drive.sizes.total_bytes));
            add(logical, labels, drive.sizes.logical_sector_bytes);
            add(physical, labels, drive.sizes.physical_sector_bytes);
            add(supported, labels, drive.smart_supported);
            add(enabled, labels, drive.smart_enabled);
            add(present, labels, drive.attributes.empty() ? 0 : 1);

            const std::vector<AttributeReport>* attributes = &drive.attributes;
            if (drive.attributes.empty()) {
                for (const HeldAttributes& h : held) {
                    if (h.slot == drive.slot) {
                        attributes = &h.attributes;
                    }
                }
            }
            std::set<int> seen;
            for (const AttributeReport& a : *attributes) {
                if (!seen.insert(a.id).second) {
                    continue;
                }
                Labels attribute = labels;
                attribute.push_back({"id", std::to_string(a.id)});
                attribute.push_back({"name", a.name});
                add(value, attribute, a.value);
                add(worst, attribute, a.worst);
                add(threshold, attribute, a.threshold);
                add(raw, attribute, static_cast<double>(a.raw));
                add(failing_now, attribute, a.failing_now ? 1 : 0);
                add(failed_past, attribute, a.failed_past ? 1 : 0);
                add(prefailure, attribute, a.prefailure ? 1 : 0);
                if (a.is_count) {
                    const bool is_count = a.count.state == smart::CountState::count;
                    add(not_a_count, attribute, is_count ? 0 : 1);
                    if (is_count) {
                        add(count, attribute, a.count.count);
                    }
                }
            }
        }
    }
    if (status.has_pass) {
        add(drives, {}, pass == nullptr ? 0.0 : static_cast<double>(pass->drives.size()));
        add(last, {}, status.last_snapshot_unix_seconds);
    }
    add(received, {}, static_cast<double>(status.received));
    add(refused, {}, static_cast<double>(status.refused));

    std::vector<MetricFamily> out;
    out.reserve(24);
    for (MetricFamily* f : {&value, &worst, &threshold, &raw, &failing_now, &failed_past,
                            &prefailure, &count, &not_a_count, &info,
                            &capacity, &logical, &physical, &supported, &enabled, &present, &drives,
                            &last, &received, &refused, &verdict, &degrading, &missing, &history_failures}) {
        out.push_back(std::move(*f));
    }
    return out;
}

MetricFamily notification_failure_family(const std::map<std::string, std::uint64_t>& failures)
{
    MetricFamily f = family("platewise_notifications_failed_total",
                            "Notification attempts that failed (sendmail missing or refusing, a "
                            "program that failed or ran past its time limit), by channel kind",
                            MetricType::Counter);
    for (const auto& [kind, count] : failures) {
        add(f, {{"channel", kind}}, static_cast<double>(count));
    }
    return f;
}

std::string serialize_text(const std::vector<MetricFamily>& families)
{
    std::ostringstream text;
    prometheus::TextSerializer().Serialize(text, families);
    return text.str();
}

}  // namespace platewise::metrics
