// A drive's readings at /api/drive/SERIAL come a page at a time: a year of
// passes of one drive is far more than any client reads at once, and the
// listener must not build it for each request. The page is chosen by
//   since=SECONDS  the first reading's time (Unix seconds, inclusive)
//   until=SECONDS  the end (Unix seconds, exclusive)
//   limit=N        readings per page (kReadingsPerPage unless given,
//                  kMostReadingsPerPage at most)
//   cursor=MS      where the next page starts, as the answer's "next"
//                  link gives it (Unix milliseconds; not with since=)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platewise::web {

inline constexpr std::size_t kReadingsPerPage = 1000;
inline constexpr std::size_t kMostReadingsPerPage = 10000;

struct ReadingPage {
    std::int64_t since_ms = INT64_MIN;
    std::int64_t until_ms = INT64_MAX;
    std::size_t limit = kReadingsPerPage;
};

// The page a query string asks for; false with a message fit for the
// client (it names the parameter and what it takes) when a value is not
// one of the above.
bool parse_reading_page(const std::string& query, ReadingPage& page, std::string& error);

// The path and query of the page that starts at `next_ms`, with the same
// end and size: /api/drive/SERIAL?cursor=MS&limit=N[&until=SECONDS].
std::string next_page_link(const std::string& serial, const ReadingPage& page, std::int64_t next_ms);

}  // namespace platewise::web
