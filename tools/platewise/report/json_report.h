// The report as JSON for programs. The names are binding (issue 5):
// {count (snapshots only), drives: [{slot, model, serial, firmware,
// smart_supported, smart_enabled, sizes: {sector_count, total_bytes,
// logical_sector_bytes, physical_sector_bytes, alignment_offset_bytes},
// attributes: [{id, name, flags, value, worst, threshold, raw, raw_text,
// failing_now, failed_past}], verdict, reasons}]}. `verdict` (the one-line
// text) and `reasons` ([{verdict: "failing_now" ..., text, and where they
// apply attribute, name, baseline, current, since, last_seen, last_slot}])
// are additions, as is `missing` ([{model, serial, verdict, reasons}]: with
// listen --history, drives the history knows that the pass did not show).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "report/drive_report.h"

namespace platewise {

nlohmann::json reasons_to_json(const std::vector<VerdictReason>& reasons);
nlohmann::json drive_to_json(const DriveReport& drive);
nlohmann::json report_to_json(const SnapshotReport& report);

// One JSON document on one line, ending with a newline. Never throws on
// text: strings are sanitised ASCII, and any invalid byte that might remain
// would be replaced rather than thrown on.
std::string render_json_line(const nlohmann::json& document);

}  // namespace platewise
