// NVMe drives and unreadable slots in `status`.
#include "commands/nvme_status.h"

#include <algorithm>

#include "history/nvme_fields.h"

namespace platewise {

namespace {

using history::AttributeSample;

const AttributeSample* field(const std::vector<AttributeSample>& table, std::uint8_t id)
{
    return history::find_sample(table, id);
}

std::string field_text(const std::vector<AttributeSample>& table, std::uint8_t id)
{
    const AttributeSample* a = field(table, id);
    return a == nullptr ? std::string("not reported") : history::nvme_field_text(*a);
}

}  // namespace

int listing_rank(Verdict verdict) noexcept
{
    // Within the WARNING tier a past failure comes before wear and counts.
    return verdict_tier(verdict) * 2 + (verdict == Verdict::warning ? 1 : 0);
}

void sort_worst_first(std::vector<history::DriveView>& views)
{
    std::stable_sort(views.begin(), views.end(), [](const history::DriveView& a, const history::DriveView& b) {
        return listing_rank(a.report.verdict) < listing_rank(b.report.verdict);
    });
}

std::string drive_name_id_text(const history::StoredDrive& drive)
{
    if (drive.wwn.empty()) {
        return {};
    }
    if (drive.kind != history::DriveKind::nvme) {
        return "wwn " + drive.wwn;
    }
    return (drive.wwn.size() == 16 ? "eui64 " : "nguid ") + drive.wwn;
}

int nvme_temperature_of(const std::vector<AttributeSample>& table)
{
    const AttributeSample* a = field(table, history::kNvmeTemperature);
    if (a == nullptr || a->raw < 273 || a->raw > 273 + 200) {
        return -1;  // not reported, or below freezing: not shown as a number
    }
    return static_cast<int>(a->raw) - 273;
}

std::string nvme_status_lines(const std::vector<AttributeSample>& table)
{
    if (table.empty()) {
        return "  Health log: not read\n";
    }
    std::string spare = field_text(table, history::kNvmeAvailableSpare);
    if (const AttributeSample* t = field(table, history::kNvmeSpareThreshold); t != nullptr) {
        spare += " (threshold " + history::nvme_field_text(*t) + ")";
    }
    std::string text;
    text += "  Temperature: " + field_text(table, history::kNvmeTemperature) +
            "   Percentage used: " + field_text(table, history::kNvmePercentageUsed) +
            "   Spare: " + spare + "\n";
    text += "  Power-on: " + field_text(table, history::kNvmePowerOnHours) + " h" +
            "   Data read: " + field_text(table, history::kNvmeDataUnitsRead) +
            "   Data written: " + field_text(table, history::kNvmeDataUnitsWritten) + "\n";
    const AttributeSample* media = field(table, history::kNvmeMediaErrors);
    const AttributeSample* log = field(table, history::kNvmeErrorLogEntries);
    const AttributeSample* warning = field(table, history::kNvmeCriticalWarning);
    text += "  Media errors: " + (media == nullptr ? std::string("not reported") : std::to_string(media->raw)) +
            "   Error-log entries: " + (log == nullptr ? std::string("not reported") : std::to_string(log->raw)) +
            "   Critical warning: " + (warning == nullptr ? std::string("not reported") : history::nvme_field_text(*warning)) +
            "\n";
    return text;
}

std::string nvme_change_text(std::uint8_t id, const AttributeSample* from, const AttributeSample* to)
{
    const history::NvmeField* f = history::nvme_field(id);
    std::string text = (f == nullptr ? "field " + std::to_string(id) : std::string(f->label)) + ": ";
    if (from == nullptr) {
        return text + "appeared, " + history::nvme_field_text(*to);
    }
    if (to == nullptr) {
        return text + "gone";
    }
    return text + history::nvme_field_text(*from) + " -> " + history::nvme_field_text(*to);
}

nlohmann::json nvme_field_json(const AttributeSample& a)
{
    const history::NvmeField* f = history::nvme_field(a.id);
    return {{"id", a.id},
            {"name", f == nullptr ? "" : f->name},
            {"label", f == nullptr ? "" : f->label},
            {"value", a.raw},
            {"text", history::nvme_field_text(a)}};
}

nlohmann::json nvme_fields_json(const std::vector<AttributeSample>& table)
{
    nlohmann::json out = nlohmann::json::array();
    for (const AttributeSample& a : table) {
        out.push_back(nvme_field_json(a));
    }
    return out;
}

std::string slot_status_text(const history::StoredSlot& slot)
{
    return "Slot " + std::to_string(slot.slot) + " (no drive identity)\n  Verdict: NO SMART DATA: " +
           smart::sanitize_text(slot.detail) + "\n  Last seen: " + history::time_text(slot.seen_ms) + "\n";
}

nlohmann::json slot_json(const history::StoredSlot& slot)
{
    return {{"slot", slot.slot},
            {"verdict", "NO SMART DATA: " + smart::sanitize_text(slot.detail)},
            {"verdict_code", "no_smart_data"},
            {"state", smart::sanitize_text(slot.state)},
            {"detail", smart::sanitize_text(slot.detail)},
            {"last_seen", slot.seen_ms / 1000}};
}

}  // namespace platewise
