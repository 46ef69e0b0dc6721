// The notification options of `listen` and `notify`, checked, and the
// channels they make.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "notify/dispatcher.h"
#include "notify/mail_channel.h"
#include "notify/program_channel.h"

namespace platewise::notify {

struct NotifySettings {
    std::vector<std::string> mail;      // --notify-mail ADDRESS
    std::vector<std::string> programs;  // --notify-exec PROGRAM
    std::string repeat = "24h";         // --notify-repeat DURATION
    std::string sendmail = kDefaultSendmail;  // --notify-sendmail PATH
    double time_limit_seconds = kProgramTimeLimitMs / 1000.0;  // --notify-timeout
    bool any() const { return !mail.empty() || !programs.empty(); }
};

// A duration: 0, or a positive number with s, m, h or d ("24h", "30m",
// "1d"; a bare number counts seconds).
bool parse_duration(const std::string& text, std::int64_t& ms);

// Checks every address and program (an absolute path to an executable
// file), the repeat interval and sendmail; false with the first problem in
// `error`, naming the option.
bool check_settings(const NotifySettings& settings, std::string& error);

// One channel per address and program, in the order given. `cancel` (when
// given, and kept alive by the channels) ends their programs early: the
// dispatcher sets it when it stops.
std::vector<Channel> make_channels(const NotifySettings& settings,
                                   std::shared_ptr<std::atomic<bool>> cancel = nullptr);

}  // namespace platewise::notify
