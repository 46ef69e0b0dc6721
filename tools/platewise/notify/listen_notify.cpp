// Wiring the dispatcher into the listener.
#include "notify/listen_notify.h"

#if defined(PLATEWISE_HAVE_HISTORY)
#include "notify/history_outbox.h"
#endif

namespace platewise::notify {

bool attach_notify(ListenNotify& state, const NotifySettings& settings, const std::string& history_path,
                   const std::string& page_address, ListenOptions& options, std::ostream& err)
{
    std::string error;
    if (!check_settings(settings, error)) {
        err << "platewise: " << error << "\nRun with --help for more information.\n";
        return false;
    }
    if (!settings.any()) {
        return true;
    }
    DispatchSettings d;
    d.cancel = std::make_shared<std::atomic<bool>>(false);
    d.channels = make_channels(settings, d.cancel);
    for (const Channel& c : d.channels) {
        state.kinds.push_back(c.kind);
    }
    d.host = host_name();
    d.page_address = page_address;
    parse_duration(settings.repeat, d.policy.repeat_ms);
    d.log = [&err](const std::string& line) {
        err << line << "\n";
        err.flush();
    };
#if defined(PLATEWISE_HAVE_HISTORY)
    if (!history_path.empty()) {
        d.outbox = HistoryOutbox::open(history_path, error);
        if (!d.outbox) {
            err << "<4>platewise listen: notifications are sent but not kept in the history ("
                << plain_text(error, 300) << "): a restart loses those still owed\n";
        }
    }
#else
    (void)history_path;
#endif
    state.dispatcher = std::make_unique<Dispatcher>(std::move(d));
    state.dispatcher->start();
    err << "platewise listen: notifying " << state.kinds.size() << " channel"
        << (state.kinds.size() == 1 ? "" : "s") << " of drive changes (";
    bool first = true;
    for (const std::string& a : settings.mail) {
        err << (first ? "" : ", ") << "mail to " << plain_text(a, 254);
        first = false;
    }
    for (const std::string& p : settings.programs) {
        err << (first ? "" : ", ") << "program " << plain_text(p, 300);
        first = false;
    }
    err << ")\n";
    err.flush();
    Dispatcher* dispatcher = state.dispatcher.get();
    auto before = std::move(options.on_events);
    options.on_events = [dispatcher, before](const std::vector<events::DriveEvent>& events, std::int64_t now_ms) {
        if (before) {
            before(events, now_ms);
        }
        dispatcher->pass(events, now_ms);
    };
    return true;
}

std::map<std::string, std::uint64_t> notification_failures(const ListenNotify& state)
{
    std::map<std::string, std::uint64_t> out;
    for (const std::string& k : state.kinds) {
        out[k] = 0;
    }
    if (state.dispatcher) {
        for (const auto& [kind, count] : state.dispatcher->failures()) {
            out[kind] = count;
        }
    }
    return out;
}

}  // namespace platewise::notify
