// Which events become notifications, and when: the rules that keep a
// person informed without burying them.
//   - A new drive that is OK is only noted; every other event is told.
//   - A drive that flaps is told at most once per flap interval (an hour):
//     a change that is no worse than what was last told within the interval
//     is held, and when the interval ends the drive's verdict is told if it
//     differs from what was told (a drive that flapped back is not).
//     A change to something worse is told at once.
//   - A drive that stays in a bad verdict (anything but OK) is reminded
//     every repeat interval (a day; 0: never).
//   - A pass that leaves more than `digest_above` notifications sends one
//     message listing them all (a controller lost takes thirty drives with
//     it).
// The clock is the passes' own: pass(events, now_ms).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "events/drive_event.h"
#include "notify/notify_message.h"

namespace platewise::notify {

inline constexpr std::int64_t kDefaultRepeatMs = 24LL * 3600 * 1000;
inline constexpr std::int64_t kFlapIntervalMs = 3600LL * 1000;
inline constexpr std::size_t kDigestAbove = 5;

struct PolicySettings {
    std::int64_t repeat_ms = kDefaultRepeatMs;  // 0: never remind
    std::int64_t flap_ms = kFlapIntervalMs;
    std::size_t digest_above = kDigestAbove;
};

class NotifyPolicy {
public:
    explicit NotifyPolicy(PolicySettings settings = {}) : settings_(settings) {}

    // The messages owed after a pass at `now_ms` that caused `events`
    // (none for a steady pass: then only reminders and held changes are
    // due). Messages carry the events and the time, not host or page.
    std::vector<Message> pass(const std::vector<events::DriveEvent>& events, std::int64_t now_ms);

private:
    struct DriveState {
        events::DriveEvent latest;  // the drive's newest event
        std::string told;           // the verdict last told ("" before any)
        std::int64_t told_ms = -1;  // when; -1: never
        bool held = false;          // a change waits for the flap interval
    };
    PolicySettings settings_;
    std::map<std::string, DriveState> drives_;  // by model and serial
};

}  // namespace platewise::notify
