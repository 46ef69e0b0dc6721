// Turning drive records and snapshots into report records.
#include "report/drive_report.h"

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

void decide_verdict(DriveReport& drive)
{
    if (drive.attributes.empty()) {
        drive.verdict = Verdict::no_smart_data;
        drive.verdict_text = "NO SMART DATA";
        return;
    }
    std::string now;
    std::string past;
    for (const AttributeReport& a : drive.attributes) {
        if (a.failing_now) {
            now += (now.empty() ? "" : ", ") + attribute_label(a);
        } else if (a.failed_past) {
            past += (past.empty() ? "" : ", ") + attribute_label(a);
        }
    }
    if (!now.empty()) {
        drive.verdict = Verdict::failing_now;
        drive.verdict_text = "FAILING NOW: " + now;
        if (!past.empty()) {
            drive.verdict_text += "; failed in the past: " + past;
        }
    } else if (!past.empty()) {
        drive.verdict = Verdict::failed_past;
        drive.verdict_text = "FAILED IN THE PAST: " + past;
    } else {
        drive.verdict = Verdict::ok;
        drive.verdict_text = "OK";
    }
}

}  // namespace

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
