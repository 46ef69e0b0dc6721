// The events on the status page: the newest on the front page, each
// drive's own on its page, newest first, every string escaped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "events/drive_event.h"

namespace platewise::web {

// How many events the front page shows.
inline constexpr std::size_t kFrontPageEvents = 10;
// How many of a drive's own events its page shows.
inline constexpr std::size_t kDrivePageEvents = 50;

// A section titled `title` listing `events` (given oldest first, as the
// history loads them) newest first: time, drive (a link to its page when
// `link_drives`), the verdict before and after, and the reasons.
std::string render_event_list(const std::vector<events::DriveEvent>& events, const std::string& title,
                              bool link_drives);

}  // namespace platewise::web
