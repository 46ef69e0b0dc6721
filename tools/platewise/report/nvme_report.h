// What an NVMe snapshot says, as plain records ready for the text, JSON and
// metrics renderers: per NVMe drive its identity, namespace geometry,
// health log and a verdict with reasons. Every string that came from a
// drive is sanitised already (smart::sanitize_text): printable ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nvme.h"
#include "report/drive_report.h"

namespace platewise {

// The verdict of an NVMe drive. The words are the ATA report's where they
// exist ("OK", "FAILING NOW", "NO SMART DATA"); WARNING is NVMe's own.
enum class NvmeVerdict {
    ok,
    warning,        // temperature warning, percentage used >= 100, media errors
    failing_now,    // spare below threshold, reliability degraded, read-only, backup failed
    no_smart_data,  // the health log could not be read
};

// "ok", "warning", "failing_now", "no_smart_data": JSON and metric labels.
const char* nvme_verdict_name(NvmeVerdict verdict) noexcept;

struct NvmeReason {
    NvmeVerdict kind = NvmeVerdict::ok;
    std::string code;  // e.g. "read_only", "percentage_used", "media_errors", "health_log"
    std::string text;  // e.g. "available spare below threshold (4% < 5%)"
};

struct NvmeDriveReport {
    std::size_t slot = 0;
    std::uint8_t status = 0;    // smart::nvme::SlotStatus (answered or failed)
    std::uint8_t results[3]{};  // smart::nvme::RequestResult of each request
    std::uint32_t namespace_id = 0;

    bool controller_read = false;  // Identify Controller data present
    bool namespace_read = false;   // Identify Namespace data present
    bool health_read = false;      // health log present

    std::string model;  // sanitised; "" without Identify Controller data
    std::string serial;
    std::string firmware;
    std::uint16_t warning_temp_kelvin = 0;   // 0: not reported
    std::uint16_t critical_temp_kelvin = 0;  // 0: not reported

    smart::nvme::NamespaceGeometry geometry{};
    smart::nvme::HealthLog health{};

    NvmeVerdict verdict = NvmeVerdict::no_smart_data;
    std::string verdict_text;          // e.g. "OK", "FAILING NOW: read-only; warning: ..."
    std::vector<NvmeReason> reasons;   // most severe first; empty for OK
};

struct NvmeSnapshotReport {
    int count = 0;                        // the pass's count byte
    std::vector<NvmeDriveReport> drives;  // slots answered or failed, in slot order
    std::size_t not_nvme = 0;             // slots whose drive is not NVMe
    // With a history (listen --history): each NVMe drive of the pass with
    // the history's verdict (its own, then DEGRADING), in slot order, and
    // how many passes the history failed to record so far (-1: no history).
    std::vector<DriveReport> history;
    std::int64_t history_write_failures = -1;
};

// The names of the critical warning bits set in `warning`, lowest bit first.
std::vector<std::string> critical_warning_names(std::uint8_t warning);

// Judges a drive from its health log: sets verdict, verdict_text and reasons.
//   FAILING NOW: available spare below its threshold (warning bit 0, or the
//   spare under the threshold), reliability degraded (bit 2), read-only
//   (bit 3), volatile memory backup failed (bit 4);
//   WARNING: temperature (bit 1), persistent memory region unreliable
//   (bit 5), percentage used at or above 100, media and data integrity
//   errors above zero;
//   NO SMART DATA: no health log; OK otherwise.
void judge_nvme_drive(NvmeDriveReport& drive);

NvmeDriveReport report_nvme_slot(const smart::nvme::Slot& slot, std::size_t number);

// Every NVMe slot (status answered or failed) of a checked snapshot.
NvmeSnapshotReport report_nvme_snapshot(const smart::nvme::Snapshot& snapshot);

}  // namespace platewise
