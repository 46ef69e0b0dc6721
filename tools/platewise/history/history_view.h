// What the history says about its drives, for the commands that read it
// (status, history, ack): each drive's current table as a report with its
// verdict and reasons, whether it is missing, and its readings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/event_store.h"
#include "history/history_store.h"
#include "report/drive_report.h"
#include "smart.h"

namespace platewise::history {

struct ViewReplays;

struct DriveView {
    StoredDrive drive;
    DriveReport report;  // the table as last seen, with the verdict and every reason
    bool missing = false;
    std::vector<Reading> readings;  // in time order
    std::vector<StoredBaseline> baselines;  // this drive's acknowledged ones
    std::vector<StoredLatch> latches;       // its indicators latched until acknowledged
};

struct ViewOptions {
    std::int64_t now_ms = 0;
    std::int64_t missing_after_ms = 0;
    // Judge the store as it was at now_ms: readings, acknowledgements and
    // latches after it are left out, drives first seen after it too, and a
    // drive seen before and after it counts as seen then.
    bool as_of = false;
    // Only the drives with this serial (their readings alone are loaded);
    // every drive when unset.
    std::optional<std::string> serial;
    // Only the readings of the last window_ms before the drive was last
    // seen (or now, when that is earlier) in DriveView::readings, after one
    // full reading holding the table as it stood before them; 0: all.
    std::int64_t window_ms = 0;
    // Replays kept between loads (history/view_replay.h), for a server that
    // loads the views again and again; null: every load replays every
    // reading. Not used with as_of.
    ViewReplays* replays = nullptr;
    smart::AttributeDefinitionTable names = smart::default_attribute_table();
};

// The drive's report for a table: the drive's own threshold verdict, as
// the listener gives it (the flags are not kept and read 0).
DriveReport report_of_table(const StoredDrive& drive, const std::vector<AttributeSample>& table,
                            const smart::AttributeDefinitionTable& names);

// Every drive of the store, in order of first sight.
bool load_views(HistoryStore& store, const ViewOptions& options, std::vector<DriveView>& views,
                std::string& error);

// The table the readings add up to at `time_ms` (readings up to it).
std::vector<AttributeSample> table_at(const std::vector<Reading>& readings, std::int64_t time_ms);

// The attribute `id` of `table`; nullptr when the table has none.
const AttributeSample* find_sample(const std::vector<AttributeSample>& table, std::uint8_t id);

// Temperature now (194, else 190: raw byte 0, degrees Celsius); -1 when the
// table has neither.
int temperature_of(const std::vector<AttributeSample>& table);

// A sample's raw value as the listener shows it, as text and as a number.
std::string sample_raw_text(const AttributeSample& sample, const smart::AttributeDefinitionTable& names);
std::uint64_t sample_raw_value(const AttributeSample& sample,
                               const smart::AttributeDefinitionTable& names);

// What a chart or a CSV column plots of a sample: the temperature byte
// (raw byte 0, degrees Celsius) of 190 and 194, the count of a count
// attribute (raw bytes 0-1; 0 for a value that cannot be a count), the raw
// value of any other attribute. reading_title names it: "Temperature (C)",
// "Count", "Raw value".
std::uint64_t sample_reading(const AttributeSample& sample, const smart::AttributeDefinitionTable& names);
const char* reading_title(std::uint8_t id) noexcept;

// Power-on time with its unit, from the attribute's raw style: "4377 hours
// (182 days)", "21086 hours (2.4 years)"; a count of hours no drive reaches
// is shown with its unit unknown.
std::string power_on_text(const AttributeSample& sample, const smart::AttributeDefinitionTable& names);

// The drives matching `serial` (and `model` unless empty).
std::vector<const DriveView*> find_views(const std::vector<DriveView>& views,
                                         const std::string& serial, const std::string& model);

// Parses WHEN for --since: "30m", "24h", "7d" before `now_ms`, a local date
// "YYYY-MM-DD" or date and time "YYYY-MM-DD HH:MM[:SS]" (or with 'T').
bool parse_when(const std::string& text, std::int64_t now_ms, std::int64_t& out_ms);

// Local time text of a Unix time in milliseconds: "YYYY-MM-DD HH:MM:SS".
std::string time_text(std::int64_t unix_ms);

}  // namespace platewise::history
