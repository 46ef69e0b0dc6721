// platewise notify --test: a test event through every configured channel
// (the options, or the listener's configuration file), saying for each
// whether it was delivered.
#pragma once

#include <ostream>
#include <string>

#include "notify/notify_settings.h"

namespace platewise {

struct NotifyCommandOptions {
    bool test = false;
    notify::NotifySettings settings;
    std::string page_address;  // "http://ADDRESS" of --web, or ""
};

// 0 when every channel delivered; 1 when any failed or none is
// configured; 2 (usage) without --test or with a wrong option.
int run_notify(const NotifyCommandOptions& options, std::ostream& out, std::ostream& err);

}  // namespace platewise
