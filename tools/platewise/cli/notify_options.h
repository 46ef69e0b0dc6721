// The notification options, the same on `listen` and `notify`.
#pragma once

#include "notify/notify_settings.h"

namespace CLI {
class App;
}

namespace platewise {

void add_notify_options(CLI::App& app, notify::NotifySettings& settings);

}  // namespace platewise
