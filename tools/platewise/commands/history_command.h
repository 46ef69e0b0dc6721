// platewise history SERIAL: the recorded readings of a drive; with
// --attribute ID that attribute's values over time (a small chart when the
// output is a terminal), as text, JSON or CSV. platewise history import:
// snapshots saved by listen --save loaded into the history.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace platewise {

struct HistoryOptions {
    std::string store;
    std::string serial;
    std::string model;      // "" : every drive with the serial
    int attribute = -1;     // -1: every recorded change
    std::int64_t since_ms = INT64_MIN;
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

// Loads every snapshot-YYYYMMDD-HHMMSS-NNN.bin (the time from its name, in
// local time) in time order; a snapshot imported before is skipped. 0 when
// all were imported or skipped, 1 when any was refused (the others are
// still imported).
int run_import(const ImportOptions& options, std::ostream& out, std::ostream& err);

// The time a saved snapshot's name gives (Unix ms, the NNN counter added as
// milliseconds); false for any other name.
bool snapshot_name_time(const std::string& file_name, std::int64_t& time_ms);

}  // namespace platewise
