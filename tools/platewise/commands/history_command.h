// platewise history SERIAL: the recorded readings of a drive; with
// --attribute ID (an NVMe drive: --field NAME) that attribute's values over time (a small chart when the
// output is a terminal), as text, JSON or CSV. platewise history import:
// snapshots saved by listen --save loaded into the history.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace platewise {

struct HistoryOptions {
    std::string store;
    std::string serial;
    std::string model;      // "" : every drive with the serial
    int attribute = -1;     // -1: every recorded change
    std::string field;      // an NVMe drive's field by name ("percentage_used") or id; "" : none
    std::int64_t since_ms = INT64_MIN;
    std::int64_t until_ms = INT64_MAX;  // readings before it only
    // At most this many readings (of every drive with the serial, in time
    // order; readings of one time are never split); 0: every one. With
    // JSON, "next" then holds next_link(the time the next page starts), or
    // null after the last page.
    std::size_t limit = 0;
    std::function<std::string(std::int64_t)> next_link;
    bool json = false;
    bool csv = false;
    bool chart = false;     // the text chart (a terminal, or asked for)
    std::int64_t now_ms = 0;  // the time the verdict is judged at (0: the clock now)
    std::int64_t missing_after_ms = 10 * 60 * 1000;
};

// 0 after printing, 1 when the history cannot be read or no drive has the
// serial.
int run_history(const HistoryOptions& options, std::ostream& out, std::ostream& err);

struct ImportOptions {
    std::string store;
    std::vector<std::string> paths;  // directories and snapshot files
    std::int64_t now_ms = 0;         // what counts as now (Unix ms); 0: the clock
};

// Loads every snapshot-YYYYMMDD-HHMMSS-NNN.bin and nvme-YYYYMMDD-HHMMSS-NNN.bin
// (the time from its name, in local time) in time order; a snapshot
// imported before is skipped, any other file in a folder is named and
// skipped. 0 when
// all were imported or skipped, 1 when any was refused (the others are
// still imported).
int run_import(const ImportOptions& options, std::ostream& out, std::ostream& err);

// The time a saved snapshot's name gives (Unix ms, the NNN counter added as
// milliseconds); false for any other name.
bool snapshot_name_time(const std::string& file_name, std::int64_t& time_ms);
// The same for a saved NVMe snapshot (nvme-YYYYMMDD-HHMMSS-NNN.bin), and for
// any prefix.
bool nvme_snapshot_name_time(const std::string& file_name, std::int64_t& time_ms);
bool saved_name_time(const std::string& file_name, const std::string& prefix, std::int64_t& time_ms);

}  // namespace platewise
