// The status page's parts for NVMe drives and unreadable slots: an NVMe
// drive's card lines, its health fields as a table with plain names, its
// charts (temperature, available spare, percentage used, data written per
// hour or day), and the card of a slot whose drive nobody could read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/event_store.h"
#include "history/history_view.h"
#include "web/svg_chart.h"

namespace platewise::web {

// The <dt>/<dd> rows of an NVMe drive's card after its capacity:
// temperature (with the last 24 h's range), percentage used, spare,
// power-on hours, data written as bytes.
std::string nvme_card_rows(const history::DriveView& v, std::int64_t now_ms);

// The health fields as last read, as a table.
std::string nvme_fields_table(const std::vector<history::AttributeSample>& table);

// A field's values since `from_ms` (one point per reading that holds it);
// the temperature in degrees Celsius.
std::vector<ChartPoint> nvme_series_of(const std::vector<history::Reading>& readings, std::uint8_t id,
                                       std::int64_t from_ms);
// Bytes written in each `bucket_ms` from `from_ms` to `to_ms` (the rise of
// data units written within it, at the bucket's end); buckets without two
// readings are left out.
std::vector<ChartPoint> nvme_written_per(const std::vector<history::Reading>& readings, std::int64_t from_ms,
                                         std::int64_t to_ms, std::int64_t bucket_ms);

// The charts of an NVMe drive's section; `per_hour` for the day's range.
std::string nvme_charts(const history::DriveView& v, std::int64_t from_ms, std::int64_t now_ms,
                        bool per_hour, std::size_t index, std::int64_t max_gap_ms);

// The card of an unreadable slot: NO SMART DATA, the slot, what failed.
std::string slot_card(const history::StoredSlot& slot, std::int64_t now_ms);

}  // namespace platewise::web
