// Turning NVMe snapshot slots into report records, and judging them.
#include "report/nvme_report.h"

#include <algorithm>

#include "smart.h"

namespace platewise {

namespace nv = smart::nvme;

namespace {

int severity(NvmeVerdict v) noexcept
{
    switch (v) {
    case NvmeVerdict::failing_now: return 0;
    case NvmeVerdict::warning: return 1;
    case NvmeVerdict::no_smart_data: return 2;
    case NvmeVerdict::ok: break;
    }
    return 3;
}

const char* heading(NvmeVerdict v, bool first) noexcept
{
    switch (v) {
    case NvmeVerdict::failing_now: return first ? "FAILING NOW" : "failing now";
    case NvmeVerdict::warning: return first ? "WARNING" : "warning";
    case NvmeVerdict::no_smart_data: return first ? "NO SMART DATA" : "no SMART data";
    case NvmeVerdict::ok: break;
    }
    return "OK";
}

void add(NvmeDriveReport& drive, NvmeVerdict kind, const char* code, std::string text)
{
    drive.reasons.push_back(NvmeReason{kind, code, std::move(text)});
}

void compose(NvmeDriveReport& drive)
{
    std::stable_sort(drive.reasons.begin(), drive.reasons.end(),
                     [](const NvmeReason& a, const NvmeReason& b) {
                         return severity(a.kind) < severity(b.kind);
                     });
    if (drive.reasons.empty()) {
        drive.verdict = NvmeVerdict::ok;
        drive.verdict_text = "OK";
        return;
    }
    drive.verdict = drive.reasons.front().kind;
    std::string text;
    for (std::size_t i = 0; i < drive.reasons.size(); ++i) {
        const NvmeReason& r = drive.reasons[i];
        if (i == 0 || drive.reasons[i - 1].kind != r.kind) {
            if (i != 0) {
                text += "; ";
            }
            text += heading(r.kind, i == 0);
            text += ": ";
        } else {
            text += ", ";
        }
        text += r.text;
    }
    drive.verdict_text = std::move(text);
}

}  // namespace

const char* nvme_verdict_name(NvmeVerdict verdict) noexcept
{
    switch (verdict) {
    case NvmeVerdict::ok: return "ok";
    case NvmeVerdict::warning: return "warning";
    case NvmeVerdict::failing_now: return "failing_now";
    case NvmeVerdict::no_smart_data: return "no_smart_data";
    }
    return "ok";
}

std::vector<std::string> critical_warning_names(std::uint8_t warning)
{
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((warning >> bit) & 1u) {
            names.emplace_back(nv::critical_warning_name(bit));
        }
    }
    return names;
}

void judge_nvme_drive(NvmeDriveReport& drive)
{
    drive.reasons.clear();
    if (!drive.health_read) {
        add(drive, NvmeVerdict::no_smart_data, "health_log",
            std::string("health log ") + nv::request_result_name(drive.results[nv::kHealthLogRequest]));
        compose(drive);
        return;
    }
    const nv::HealthLog& h = drive.health;
    const std::uint8_t w = h.critical_warning;
    if ((w & nv::kWarnSpare) != 0 || h.available_spare < h.spare_threshold) {
        add(drive, NvmeVerdict::failing_now, "spare_below_threshold",
            smart::format_text("available spare below threshold (spare %u%%, threshold %u%%)",
                               h.available_spare, h.spare_threshold));
    }
    if ((w & nv::kWarnReliability) != 0) {
        add(drive, NvmeVerdict::failing_now, "reliability_degraded", "reliability degraded");
    }
    if ((w & nv::kWarnReadOnly) != 0) {
        add(drive, NvmeVerdict::failing_now, "read_only", "read-only");
    }
    if ((w & nv::kWarnVolatileBackup) != 0) {
        add(drive, NvmeVerdict::failing_now, "volatile_backup_failed", "volatile memory backup failed");
    }
    if ((w & nv::kWarnTemperature) != 0) {
        add(drive, NvmeVerdict::warning, "temperature", "temperature warning");
    }
    if ((w & nv::kWarnPersistentMemory) != 0) {
        add(drive, NvmeVerdict::warning, "persistent_memory_unreliable",
            "persistent memory region unreliable");
    }
    if (h.percentage_used >= 100) {
        add(drive, NvmeVerdict::warning, "percentage_used",
            smart::format_text("percentage used %u%%", h.percentage_used));
    }
    if (h.media_errors != 0) {
        add(drive, NvmeVerdict::warning, "media_errors",
            "media errors " + nv::u128_decimal(h.media_errors));
    }
    compose(drive);
}

NvmeDriveReport report_nvme_slot(const nv::Slot& slot, std::size_t number)
{
    NvmeDriveReport d;
    d.slot = number;
    d.status = slot.status;
    std::copy(std::begin(slot.results), std::end(slot.results), std::begin(d.results));
    d.namespace_id = nv::slot_namespace_id(slot);
    const auto read = [&](std::size_t request) {
        return slot.results[request] == static_cast<std::uint8_t>(nv::RequestResult::read);
    };
    d.controller_read = read(nv::kIdentifyControllerRequest);
    d.namespace_read = read(nv::kIdentifyNamespaceRequest);
    d.health_read = read(nv::kHealthLogRequest);
    if (d.controller_read) {
        const nv::ControllerIdentity c = nv::decode_identify_controller(slot.identify_controller);
        d.model = smart::sanitize_text(c.model);
        d.serial = smart::sanitize_text(c.serial);
        d.firmware = smart::sanitize_text(c.firmware);
        d.warning_temp_kelvin = c.warning_temp_kelvin;
        d.critical_temp_kelvin = c.critical_temp_kelvin;
    }
    if (d.namespace_read) {
        d.geometry = nv::decode_identify_namespace(slot.identify_namespace);
    }
    if (d.health_read) {
        d.health = nv::decode_health_log(slot.health_log);
    }
    judge_nvme_drive(d);
    return d;
}

NvmeSnapshotReport report_nvme_snapshot(const nv::Snapshot& snapshot)
{
    NvmeSnapshotReport report;
    report.count = snapshot.count;
    for (std::size_t n = 0; n < nv::kSlots; ++n) {
        const nv::Slot& slot = snapshot.slots[n];
        switch (static_cast<nv::SlotStatus>(slot.status)) {
        case nv::SlotStatus::answered:
        case nv::SlotStatus::failed:
            report.drives.push_back(report_nvme_slot(slot, n));
            break;
        case nv::SlotStatus::not_nvme:
            ++report.not_nvme;
            break;
        case nv::SlotStatus::absent:
            break;
        }
    }
    return report;
}

}  // namespace platewise
