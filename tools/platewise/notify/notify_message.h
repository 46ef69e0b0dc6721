// What a notification says: one event, or (a pass that changed many drives
// at once) several listed in one message; and the forms the channels give
// it: a subject line, a text body, one JSON document and PLATEWISE_*
// environment variables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events/drive_event.h"

namespace platewise::notify {

struct Message {
    std::vector<events::DriveEvent> events;  // one, or several in a digest
    std::int64_t time_ms = 0;                // the pass that made it
    std::string host;                        // this machine's name, sanitised
    std::string page_address;                // "http://127.0.0.1:9946" or "" without a page
    bool digest() const { return events.size() > 1; }
};

// Printable ASCII only: control characters (CR, LF, TAB, ESC, ...), DEL
// and bytes beyond ASCII become '?', so that no drive string can start a
// header or a line of its own. At most `max` characters.
std::string plain_text(const std::string& text, std::size_t max = 200);

// This machine's name, reduced to letters, digits, '.', '-' and '_'
// ("localhost" when it has none).
std::string host_name();

// The worst verdict of the message's events, as their text gives it.
std::string worst_verdict(const Message& message);

// "web01: FAILING NOW: ST9100821AS (5NJ0R13A)", "web01: 30 drives changed:
// 2 FAILING NOW, 28 DRIVE MISSING", "web01: still DEGRADING: ...".
std::string subject_line(const Message& message);

// The text body: each drive with its verdict before and after, its slot,
// its reasons (the values the verdict rests on), the time and the page.
std::string body_text(const Message& message);

// One JSON document: host, kind, time, page, and the events; with one
// event its fields are at the top level too.
std::string json_document(const Message& message);

// PLATEWISE_HOST, _KIND, _SERIAL, _MODEL, _SLOT, _VERDICT,
// _PREVIOUS_VERDICT, _REASONS (one per line), _TIME and _COUNT (NAME=VALUE).
// In a digest the drive variables hold one line per drive.
std::vector<std::string> environment_variables(const Message& message);

// The status page's address of one drive (the serial percent-encoded).
std::string drive_page(const std::string& page_address, const std::string& serial);

// Unix milliseconds as "2026-12-07 22:45:35 UTC".
std::string utc_text(std::int64_t time_ms);

}  // namespace platewise::notify
