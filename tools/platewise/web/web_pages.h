// The status page's HTML, rendered on the server from the drive history:
// the front page (one card per drive, worst first) and a drive's page (its
// attribute table and charts over a day, a week or a year). Pure functions
// over the history's views, so the pages are tested without a server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events/drive_event.h"
#include "history/event_store.h"
#include "history/history_view.h"
#include "smart.h"
#include "web/svg_chart.h"

namespace platewise::web {

enum class Range { day, week, year };

// "day", "week", "year"; false for anything else.
bool parse_range(const std::string& text, Range& range);
std::int64_t range_ms(Range range);

// Worst first: failing now, failed in the past, warning (NVMe), degrading,
// missing, no SMART data, OK.
int verdict_rank(Verdict verdict) noexcept;
// The badge's words for a verdict ("FAILING NOW", ..., "OK").
const char* verdict_label(Verdict verdict) noexcept;

// The front page's order: by verdict_rank, then model and serial.
std::vector<const history::DriveView*> front_order(const std::vector<history::DriveView>& views);

// Two readings further apart than this are drawn with a gap: the listener
// writes a sample every hour even when nothing changed.
inline constexpr std::int64_t kChartGapMs = 2 * 3600 * 1000 + 10 * 60 * 1000;

// Temperature now (194, else 190: raw byte 0, degrees Celsius); -1 when the
// table has neither.
using history::temperature_of;

// What a chart of an attribute shows: the temperature (raw byte 0), a
// leading indicator's count (raw low 32 bits), the raw value as the
// listener reads it, or the normalised value.
enum class SeriesKind { temperature, count, raw, value };

// One attribute's points: one at every reading from `from_ms` on whose
// table (the readings added up) holds it, as `platewise history SERIAL
// --attribute ID` lists them.
std::vector<ChartPoint> series_of(const std::vector<history::Reading>& readings,
                                         std::uint8_t id, std::int64_t from_ms, SeriesKind kind,
                                         const smart::AttributeDefinitionTable& names);

// `events`: the newest events (oldest first), shown below the cards; none
// given, no such section. `slots`: the slots of the last pass whose drive
// nobody could read, each a card of its own after the drives.
std::string render_front_page(const std::vector<history::DriveView>& views, std::int64_t now_ms,
                              const smart::AttributeDefinitionTable& names,
                              const std::vector<events::DriveEvent>* events = nullptr,
                              const std::vector<history::StoredSlot>& slots = {});

// The drives that share `serial` (usually one), with their own `events`
// (oldest first) when given.
std::string render_drive_page(const std::vector<const history::DriveView*>& drives,
                              const std::string& serial, Range range, std::int64_t now_ms,
                              const smart::AttributeDefinitionTable& names,
                              const std::vector<events::DriveEvent>* events = nullptr);

// A short page for 4xx and 5xx answers.
std::string render_error_page(int status, const std::string& message);

// The page's style sheet, served as /style.css (the policy forbids inline
// styles).
const std::string& style_sheet();
// The page's icon, served as /favicon.svg.
const std::string& favicon_svg();

}  // namespace platewise::web
