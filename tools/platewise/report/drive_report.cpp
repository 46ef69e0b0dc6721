// Turning drive records and snapshots into report records.
#include "report/drive_report.h"

#include <algorithm>

namespace platewise {

namespace {

int feature_bit(smart::SectorView identify, std::size_t word, std::size_t validity_word) noexcept
{
    const std::uint16_t validity = smart::identify_word(identify, validity_word);
    if ((validity >> 14) != 0x1) {
        return -1;
    }
    return (smart::identify_word(identify, word) & 0x1) != 0 ? 1 : 0;
}

std::string attribute_label(const AttributeReport& a)
{
    std::string label = "attribute " + std::to_string(a.id);
    if (!a.name.empty()) {
        label += " " + a.name;
    }
    return label;
}

int severity(Verdict v) noexcept
{
    // Within the WARNING tier a past failure of a pre-failure attribute
    // comes before wear and counts.
    switch (v) {
    case Verdict::failing_now: return 0;
    case Verdict::degrading: return 1;
    case Verdict::failed_past: return 2;
    case Verdict::warning: return 3;
    case Verdict::missing: return 4;
    case Verdict::no_smart_data: return 5;
    case Verdict::ok: break;
    }
    return 6;
}

const char* heading(Verdict v, bool first) noexcept
{
    switch (v) {
    case Verdict::missing: return first ? "DRIVE MISSING" : "drive missing";
    case Verdict::failing_now: return first ? "FAILING NOW" : "failing now";
    case Verdict::failed_past: return first ? "FAILED IN THE PAST" : "failed in the past";
    case Verdict::degrading: return first ? "DEGRADING" : "degrading";
    case Verdict::warning: return first ? "WARNING" : "warning";
    case Verdict::no_smart_data: return first ? "NO SMART DATA" : "no SMART data";
    case Verdict::ok: break;
    }
    return "OK";
}

VerdictReason attribute_reason(const AttributeReport& a, Verdict kind, const char* rule,
                               const std::string& text)
{
    VerdictReason r;
    r.kind = kind;
    r.attribute_id = a.id;
    r.attribute_name = a.name;
    r.rule = rule;
    r.text = text;
    return r;
}

void decide_verdict(DriveReport& drive)
{
    drive.reasons.clear();
    if (drive.attributes.empty()) {
        VerdictReason r;
        r.kind = Verdict::no_smart_data;
        r.rule = "no_smart_data";
        drive.reasons.push_back(std::move(r));
    }
    for (const AttributeReport& a : drive.attributes) {
        const std::string label = attribute_label(a);
        if (a.failing_now) {
            drive.reasons.push_back(
                a.prefailure ? attribute_reason(a, Verdict::failing_now, "threshold", label)
                             : attribute_reason(a, Verdict::warning, "old_age_threshold",
                                                label + " at its threshold (wear)"));
        } else if (a.failed_past) {
            drive.reasons.push_back(
                a.prefailure ? attribute_reason(a, Verdict::failed_past, "worst_at_threshold", label)
                             : attribute_reason(a, Verdict::warning, "old_age_worst",
                                                label + " reached its threshold in the past (wear)"));
        }
    }
    // Without a history every leading indicator above zero is named: a
    // count that is present is weaker than one that grows, but never OK.
    for (const AttributeReport& a : drive.attributes) {
        if (!a.is_count || a.id == 196) {
            continue;
        }
        if (a.count.state != smart::CountState::count) {
            VerdictReason r = attribute_reason(a, Verdict::warning, "not_a_count",
                                               attribute_label(a) + " " + a.count_text);
            drive.reasons.push_back(std::move(r));
        } else if (a.count.count > 0) {
            VerdictReason r = attribute_reason(a, Verdict::warning, "count_present",
                                               smart::count_phrase(a.id, a.count.count));
            r.current = a.count.count;
            drive.reasons.push_back(std::move(r));
        }
    }
    compose_verdict(drive);
}

}  // namespace

const char* verdict_name(Verdict verdict) noexcept
{
    switch (verdict) {
    case Verdict::ok: return "ok";
    case Verdict::failing_now: return "failing_now";
    case Verdict::failed_past: return "failed_past";
    case Verdict::no_smart_data: return "no_smart_data";
    case Verdict::degrading: return "degrading";
    case Verdict::missing: return "missing";
    case Verdict::warning: return "warning";
    }
    return "ok";
}

int verdict_tier(Verdict verdict) noexcept
{
    switch (verdict) {
    case Verdict::failing_now: return 0;
    case Verdict::degrading: return 1;
    case Verdict::failed_past:
    case Verdict::warning: return 2;
    case Verdict::missing: return 3;
    case Verdict::no_smart_data: return 4;
    case Verdict::ok: break;
    }
    return 5;
}

bool verdict_notifies(Verdict verdict) noexcept
{
    return verdict_tier(verdict) <= 1;
}

bool usually_prefailure(std::uint8_t id) noexcept
{
    switch (id) {
    case 4: case 9: case 12: case 187: case 188: case 189: case 190: case 191: case 192:
    case 193: case 194: case 195: case 196: case 197: case 198: case 199: case 200:
    case 240: case 241: case 242:
        return false;
    default:
        return true;
    }
}

void compose_verdict(DriveReport& drive)
{
    std::stable_sort(drive.reasons.begin(), drive.reasons.end(),
                     [](const VerdictReason& a, const VerdictReason& b) {
                         return severity(a.kind) < severity(b.kind);
                     });
    const std::string acknowledged =
        drive.acknowledged_text.empty() ? "" : " (" + drive.acknowledged_text + ")";
    if (drive.reasons.empty()) {
        drive.verdict = Verdict::ok;
        drive.verdict_text = "OK" + acknowledged;
        return;
    }
    drive.verdict = drive.reasons.front().kind;
    std::string text;
    for (std::size_t i = 0; i < drive.reasons.size(); ++i) {
        const VerdictReason& r = drive.reasons[i];
        const bool new_group = i == 0 || drive.reasons[i - 1].kind != r.kind;
        if (new_group) {
            if (i != 0) {
                text += "; ";
            }
            text += heading(r.kind, i == 0);
            if (!r.text.empty()) {
                text += ": ";
            }
        } else if (!r.text.empty()) {
            text += ", ";
        }
        text += r.text;
    }
    drive.verdict_text = std::move(text) + acknowledged;
}

int identify_smart_supported(smart::SectorView identify) noexcept
{
    return feature_bit(identify, 82, 83);
}

int identify_smart_enabled(smart::SectorView identify) noexcept
{
    return feature_bit(identify, 85, 87);
}

DriveReport report_drive(const smart::DriveRecord& record, std::size_t slot,
                         const smart::AttributeDefinitionTable& table)
{
    const smart::SectorView identify(record.identify);
    DriveReport drive;
    drive.slot = slot;
    drive.model = smart::sanitize_text(smart::identify_model(identify));
    drive.serial = smart::sanitize_text(smart::identify_serial(identify));
    drive.firmware = smart::sanitize_text(smart::identify_firmware(identify));
    drive.smart_supported = identify_smart_supported(identify);
    drive.smart_enabled = identify_smart_enabled(identify);
    smart::compute_drive_sizes(identify, drive.sizes);

    const smart::AttributeList values = smart::decode_attribute_sector(record.smart_values);
    const smart::ThresholdList thresholds =
        smart::decode_threshold_sector(record.smart_thresholds);
    drive.attributes.reserve(values.count);
    for (std::uint32_t i = 0; i < values.count && i < smart::kAttributeSlots; ++i) {
        const smart::AttributeEntry& entry = values.entries[i];
        AttributeReport a;
        a.id = entry.id;
        a.name = smart::sanitize_text(table.definition_for(entry.id).name);
        a.flags = smart::attribute_flags(entry);
        a.value = entry.value;
        a.worst = entry.worst;
        const smart::AttributeThreshold* t = smart::find_threshold(thresholds, entry.id);
        a.threshold = t == nullptr ? 0 : t->threshold;
        a.raw = smart::extract_raw_value(entry, table);
        a.raw_text = smart::sanitize_text(smart::render_raw_value(entry, table));
        a.failing_now = a.threshold != 0 && a.value <= a.threshold;
        a.failed_past = a.threshold != 0 && a.worst <= a.threshold;
        a.prefailure = a.flags != 0 ? (a.flags & 0x1) != 0 : usually_prefailure(a.id);
        a.is_count = smart::is_count_attribute(a.id);
        if (a.is_count) {
            a.count = smart::read_count(a.id, smart::raw48_of(entry), drive.sizes.sector_count);
            a.count_text = smart::count_reading_text(a.count, drive.sizes.sector_count);
        }
        drive.attributes.push_back(std::move(a));
    }
    decide_verdict(drive);
    return drive;
}

SnapshotReport report_record(const smart::DriveRecord& record,
                             const smart::AttributeDefinitionTable& table)
{
    SnapshotReport report;
    report.is_snapshot = false;
    report.drives.push_back(report_drive(record, 0, table));
    return report;
}

bool report_snapshot(const smart::DriveSnapshot& snapshot,
                     const smart::AttributeDefinitionTable& table, SnapshotReport& out,
                     std::string& error)
{
    if (snapshot.count == 0 || snapshot.count > smart::kDriveSlots + 1) {
        error = "malformed snapshot: count byte is " + std::to_string(snapshot.count) +
                ", it must be 1 to " + std::to_string(smart::kDriveSlots + 1) +
                " (drives read plus one)";
        return false;
    }
    SnapshotReport report;
    report.is_snapshot = true;
    report.count = snapshot.count;
    const std::size_t current = smart::current_slot_count(snapshot);
    report.drives.reserve(current);
    for (std::size_t slot = 0; slot < current; ++slot) {
        report.drives.push_back(report_drive(snapshot.drives[slot], slot, table));
    }
    out = std::move(report);
    return true;
}

}  // namespace platewise
