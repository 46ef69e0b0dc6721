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
};

enum class Verdict {
    ok,
    failing_now,    // some attribute is at or below its threshold now
    failed_past,    // none is now, but some attribute's worst value was
    no_smart_data,  // the SMART READ DATA sector holds no attribute
};

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
};

struct SnapshotReport {
    bool is_snapshot = false;  // false: a single drive record
    int count = 0;             // the snapshot's count byte
    std::vector<DriveReport> drives;
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
