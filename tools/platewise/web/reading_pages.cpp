// Reading the paging parameters of /api/drive/SERIAL and writing the link
// to the next page.
#include "web/reading_pages.h"

#include <algorithm>
#include <string_view>

#include "web/html_text.h"

namespace platewise::web {

namespace {

// A decimal number of at most 15 digits (no sign, no spaces): seconds that
// many still fit in 64 bits as milliseconds.
bool parse_count(std::string_view text, std::int64_t& out)
{
    if (text.empty() || text.size() > 15) {
        return false;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

}  // namespace

bool parse_reading_page(const std::string& query, ReadingPage& page, std::string& error)
{
    page = ReadingPage{};
    bool since_given = false;
    bool cursor_given = false;
    std::size_t at = 0;
    while (at < query.size()) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string_view pair = std::string_view(query).substr(at, end - at);
        at = end + 1;
        const std::size_t equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        const std::string_view text = equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        std::int64_t value = 0;
        if (key == "since" || key == "until") {
            if (!parse_count(text, value)) {
                error = std::string(key) + "= takes a time in Unix seconds (digits only).";
                return false;
            }
            (key == "since" ? page.since_ms : page.until_ms) = value * 1000;
            since_given = since_given || key == "since";
        } else if (key == "cursor") {
            if (!parse_count(text, value)) {
                error = "cursor= takes the value of a \"next\" link (Unix milliseconds).";
                return false;
            }
            page.since_ms = value;
            cursor_given = true;
        } else if (key == "limit") {
            if (!parse_count(text, value) || value < 1 ||
                value > static_cast<std::int64_t>(kMostReadingsPerPage)) {
                error = "limit= takes a number of readings from 1 to " + std::to_string(kMostReadingsPerPage) + ".";
                return false;
            }
            page.limit = static_cast<std::size_t>(value);
        }
    }
    if (since_given && cursor_given) {
        error = "since= and cursor= both say where the page starts: give one.";
        return false;
    }
    if (page.since_ms >= page.until_ms) {
        error = "until= must be later than where the page starts.";
        return false;
    }
    return true;
}

std::string next_page_link(const std::string& serial, const ReadingPage& page, std::int64_t next_ms)
{
    std::string link = "/api/drive/" + url_encode_segment(serial) + "?cursor=" + std::to_string(next_ms) +
                       "&limit=" + std::to_string(page.limit);
    if (page.until_ms != INT64_MAX) {
        link += "&until=" + std::to_string(page.until_ms / 1000);
    }
    return link;
}

}  // namespace platewise::web
