// Text for the status page: HTML escaping of everything that came from a
// drive, and the percent-encoding of serial numbers in links.
#pragma once

#include <string>
#include <string_view>

namespace platewise::web {

// `text` for an HTML text node or a quoted attribute value: & < > " ' as
// character references; any byte outside printable ASCII (which sanitised
// drive strings never hold, but a caller's text might) as U+FFFD, so the
// page stays valid UTF-8 and nothing can end an element or an attribute.
std::string html_escape(std::string_view text);

// One path segment of a URL: unreserved characters as they are, every
// other byte as %XX.
std::string url_encode_segment(std::string_view text);

// The inverse for a path segment or query value: %XX to its byte ('+' stays
// '+'). False for a malformed escape or one that gives a NUL byte.
bool url_decode(std::string_view text, std::string& out);

}  // namespace platewise::web
