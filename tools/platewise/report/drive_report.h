// What a snapshot or a drive record says, as plain records: the decoded
// values of every drive, ready for the text and JSON renderers. All text
// that came from a drive is already sanitised (smart::sanitize_text), so
// every string here is printable ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "smart.h"

namespace platewise {

struct AttributeReport {
    std::uint8_t id = 0;
    std::string name;          // "" when the id has no common name
    std::uint16_t flags = 0;
    std::uint8_t value = 0;
    std::uint8_t worst = 0;
    std::uint8_t threshold = 0;  // 0 when the threshold sector has no entry for the id
    std::uint64_t raw = 0;       // smart::extract_raw_value
    std::string raw_text;        // smart::render_raw_value
    bool failing_now = false;    // threshold != 0 && value <= threshold
    bool failed_past = false;    // threshold != 0 && worst <= threshold
    // Pre-failure (flags bit 0): at its threshold the drive predicts its
    // failure; an old-age attribute there only says it is worn. Tables
    // whose flags were not kept (all 0) go by the usual flags of the id.
    bool prefailure = true;
    // The count attributes (smart::is_count_attribute): what the raw bytes
    // say as a count, and that in words ("count 2, vendor data 0xFD22").
    bool is_count = false;
    smart::CountReading count{};
    std::string count_text;
};

enum class Verdict {
    ok,
    failing_now,    // some attribute is at or below its threshold now
    failed_past,    // none is now, but some attribute's worst value was
    no_smart_data,  // the SMART READ DATA sector holds no attribute
    degrading,      // a leading indicator is above its acknowledged baseline (history)
    missing,        // a drive the history knows was not seen for too long
    warning,        // wear and past events: an old-age attribute at its threshold,
                    // leading-indicator counts present (not rising), a value that
                    // cannot be a count
};

// The name of a verdict in JSON and metric labels: "ok", "failing_now",
// "failed_past", "no_smart_data", "degrading", "missing", "warning".
const char* verdict_name(Verdict verdict) noexcept;

// One reason behind a verdict.
struct VerdictReason {
    Verdict kind = Verdict::ok;
    int attribute_id = -1;        // -1: about the drive as a whole
    std::string attribute_name;   // sanitised; "" when the id has no common name
    std::uint32_t baseline = 0;   // degrading: the acknowledged raw low 32 bits
    std::uint32_t current = 0;    // degrading: the raw low 32 bits now
    std::int64_t since_ms = 0;    // degrading: when it rose above the baseline;
                                  // missing: when the drive was last seen (Unix ms)
    int last_slot = -1;           // missing: the slot it was last read in
    std::string text;             // e.g. "attribute 5 Reallocated Sectors Count"
    // Which rule gave it: "threshold", "worst_at_threshold", "old_age_threshold",
    // "old_age_worst", "count_present", "not_a_count", "rising", "latched",
    // "first_seen", "acknowledged", "missing", "no_smart_data".
    std::string rule;
};

// The tier of a verdict, worst first: 0 FAILING NOW, 1 DEGRADING, 2 WARNING
// (failed in the past and warning), 3 DRIVE MISSING, 4 NO SMART DATA, 5 OK.
// FAILING NOW and DEGRADING are the ones that notify.
int verdict_tier(Verdict verdict) noexcept;
bool verdict_notifies(Verdict verdict) noexcept;

// The usual status flags of an attribute id: false for those drives mark
// old-age (counters of use, temperatures, the count attributes).
bool usually_prefailure(std::uint8_t id) noexcept;

struct DriveReport {
    std::size_t slot = 0;
    std::string model;
    std::string serial;
    std::string firmware;
    int smart_supported = -1;  // -1 unknown (IDENTIFY words not valid), 0, 1
    int smart_enabled = -1;
    smart::DriveSizes sizes{};
    std::vector<AttributeReport> attributes;  // in sector order
    Verdict verdict = Verdict::no_smart_data;
    std::string verdict_text;  // the one-line verdict, e.g. "OK"
    // Every reason, most severe first; empty for OK.
    std::vector<VerdictReason> reasons;
    // Counts someone acknowledged, kept in sight whatever the verdict:
    // "acknowledged: 529 pending sectors (by alice, 2026-12-07)"; "" for none.
    std::string acknowledged_text;
};

// Sets `verdict` and `verdict_text` from `reasons`: the most severe kind
// heads the text (failing now, degrading, failed in the past, warning,
// missing, no SMART data), the others follow, e.g. "FAILING NOW: attribute 5
// Reallocated Sectors Count; degrading: attribute 197 ...". No reasons: OK.
// The acknowledged counts follow in parentheses.
void compose_verdict(DriveReport& drive);

struct SnapshotReport {
    bool is_snapshot = false;  // false: a single drive record
    int count = 0;             // the snapshot's count byte
    std::vector<DriveReport> drives;
    // With a history (listen --history): the drives it knows that this pass
    // did not show for too long (verdict DRIVE MISSING, slot meaningless),
    // and how many passes it failed to record so far (-1: no history).
    std::vector<DriveReport> missing;
    std::int64_t history_write_failures = -1;
};

// SMART feature set supported (word 82 bit 0) and enabled (word 85 bit 0),
// each only when its validity word (83, 87) has bits 15-14 == 01; else -1.
int identify_smart_supported(smart::SectorView identify) noexcept;
int identify_smart_enabled(smart::SectorView identify) noexcept;

DriveReport report_drive(const smart::DriveRecord& record, std::size_t slot,
                         const smart::AttributeDefinitionTable& table);

// A single drive record: one drive in slot 0.
SnapshotReport report_record(const smart::DriveRecord& record,
                             const smart::AttributeDefinitionTable& table);

// The current slots of a snapshot (the first count - 1). A count byte of 0
// or above 33 cannot come from the service: false, with what is wrong in
// `error`, and nothing decoded.
bool report_snapshot(const smart::DriveSnapshot& snapshot,
                     const smart::AttributeDefinitionTable& table, SnapshotReport& out,
                     std::string& error);

}  // namespace platewise
