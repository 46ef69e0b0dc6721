// listen --notify-mail / --notify-exec: the listener's events handed to
// the dispatcher, which tells a person on its own threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "commands/listen_command.h"
#include "notify/dispatcher.h"
#include "notify/notify_settings.h"

namespace platewise::notify {

struct ListenNotify {
    std::unique_ptr<Dispatcher> dispatcher;
    std::vector<std::string> kinds;  // of the configured channels
};

// Starts the dispatcher for `settings` (nothing when no channel is
// configured) and sets options.on_events to feed it, after any handler set
// before. `history_path` (empty: none) keeps owed deliveries across
// restarts; `page_address` ("http://127.0.0.1:9946", or "") is named in the
// messages. Log lines go to `err`, which must be std::cerr or otherwise
// safe to write from another thread. False after reporting on `err` when
// the settings are wrong.
bool attach_notify(ListenNotify& state, const NotifySettings& settings, const std::string& history_path,
                   const std::string& page_address, ListenOptions& options, std::ostream& err);

// Failed delivery attempts by channel kind, 0 for every configured kind
// (platewise_notifications_failed_total).
std::map<std::string, std::uint64_t> notification_failures(const ListenNotify& state);

}  // namespace platewise::notify
