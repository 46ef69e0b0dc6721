// Rendering report records as JSON.
#include "report/json_report.h"

namespace platewise {

nlohmann::json reasons_to_json(const std::vector<VerdictReason>& reasons)
{
    nlohmann::json out = nlohmann::json::array();
    for (const VerdictReason& r : reasons) {
        nlohmann::json j = {{"verdict", verdict_name(r.kind)}, {"text", r.text}};
        if (r.attribute_id >= 0) {
            j["attribute"] = r.attribute_id;
            j["name"] = r.attribute_name;
        }
        if (r.kind == Verdict::degrading) {
            j["baseline"] = r.baseline;
            j["current"] = r.current;
            j["since"] = r.since_ms / 1000;
        }
        if (r.kind == Verdict::missing) {
            j["last_seen"] = r.since_ms / 1000;
            j["last_slot"] = r.last_slot;
        }
        if (!r.rule.empty()) {
            j["rule"] = r.rule;
        }
        out.push_back(std::move(j));
    }
    return out;
}

nlohmann::json drive_to_json(const DriveReport& d)
{
    nlohmann::json attributes = nlohmann::json::array();
    for (const AttributeReport& a : d.attributes) {
        nlohmann::json count;  // null unless a count attribute
        if (a.is_count) {
            const bool is_count = a.count.state == smart::CountState::count;
            count = {{"count", is_count ? nlohmann::json(a.count.count) : nlohmann::json()},
                     {"vendor_data", a.count.vendor},
                     {"text", a.count_text}};
        }
        attributes.push_back({
            {"id", a.id},
            {"name", a.name},
            {"flags", a.flags},
            {"value", a.value},
            {"worst", a.worst},
            {"threshold", a.threshold},
            {"raw", a.raw},  // std::uint64_t: an exact unsigned JSON number
            {"raw_text", a.raw_text},
            {"failing_now", a.failing_now},
            {"failed_past", a.failed_past},
            {"prefailure", a.prefailure},
            {"count", std::move(count)},
        });
    }
    return {
        {"slot", d.slot},
        {"model", d.model},
        {"serial", d.serial},
        {"firmware", d.firmware},
        {"smart_supported", d.smart_supported},
        {"smart_enabled", d.smart_enabled},
        {"sizes",
         {
             {"sector_count", d.sizes.sector_count},
             {"total_bytes", d.sizes.total_bytes},
             {"logical_sector_bytes", d.sizes.logical_sector_bytes},
             {"physical_sector_bytes", d.sizes.physical_sector_bytes},
             {"alignment_offset_bytes", d.sizes.alignment_offset_bytes},
         }},
        {"attributes", std::move(attributes)},
        {"verdict", d.verdict_text},
        {"reasons", reasons_to_json(d.reasons)},
    };
}

nlohmann::json report_to_json(const SnapshotReport& report)
{
    nlohmann::json document = nlohmann::json::object();
    if (report.is_snapshot) {
        document["count"] = report.count;
    }
    nlohmann::json drives = nlohmann::json::array();
    for (const DriveReport& d : report.drives) {
        drives.push_back(drive_to_json(d));
    }
    document["drives"] = std::move(drives);
    if (!report.missing.empty()) {
        // Drives the history knows that this pass did not show.
        nlohmann::json missing = nlohmann::json::array();
        for (const DriveReport& d : report.missing) {
            missing.push_back({{"model", d.model},
                               {"serial", d.serial},
                               {"verdict", d.verdict_text},
                               {"reasons", reasons_to_json(d.reasons)}});
        }
        document["missing"] = std::move(missing);
    }
    return document;
}

std::string render_json_line(const nlohmann::json& document)
{
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace platewise
