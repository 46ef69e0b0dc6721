// What `status` (and the page) says of the drives beyond ATA ones: an NVMe
// drive's lines and JSON from its stored health fields, the slots that held
// a drive nobody could read, and the order drives are listed in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "history/event_store.h"
#include "history/history_view.h"

namespace platewise {

// Worst first by the verdict tiers (verdict_tier): failing now, degrading,
// failed in the past then warning, missing, no SMART data, OK; the order of
// first sight within one verdict.
int listing_rank(Verdict verdict) noexcept;
void sort_worst_first(std::vector<history::DriveView>& views);

// "eui64 0025385b71b0c4d1", "nguid ...", "wwn ..." or "" for a drive's
// world-wide name (an NVMe drive's namespace id).
std::string drive_name_id_text(const history::StoredDrive& drive);

// The NVMe drive's lines under its verdict and last-seen line: temperature,
// percentage used, spare, power-on hours, data read and written.
std::string nvme_status_lines(const std::vector<history::AttributeSample>& table);
// One change of a field in the last 24 hours, for people.
std::string nvme_change_text(std::uint8_t id, const history::AttributeSample* from,
                             const history::AttributeSample* to);

// The drive's fields as JSON: id, name, label, value (raw), text.
nlohmann::json nvme_fields_json(const std::vector<history::AttributeSample>& table);
nlohmann::json nvme_field_json(const history::AttributeSample& sample);

// Temperature in degrees Celsius from an NVMe table; -1 when not reported.
int nvme_temperature_of(const std::vector<history::AttributeSample>& table);

// An unreadable slot, for people and as JSON.
std::string slot_status_text(const history::StoredSlot& slot);
nlohmann::json slot_json(const history::StoredSlot& slot);

}  // namespace platewise
