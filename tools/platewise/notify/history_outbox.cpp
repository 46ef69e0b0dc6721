// Owed deliveries in the history's notifications table.
#include "notify/history_outbox.h"

#include <algorithm>
#include <map>

#include "history/event_store.h"

namespace platewise::notify {

std::shared_ptr<HistoryOutbox> HistoryOutbox::open(const std::string& path, std::string& error)
{
    auto outbox = std::make_shared<HistoryOutbox>();
    if (!history::open_history(outbox->store_, path, false, error)) {
        return nullptr;
    }
    return outbox;
}

bool HistoryOutbox::owe(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                        std::int64_t next_try_ms, std::string& error)
{
    for (const std::int64_t id : event_ids) {
        history::PendingNotification p;
        p.event_id = id;
        p.channel = channel;
        p.next_try_ms = next_try_ms;
        if (!history::add_notification(store_, p, error)) {
            return false;
        }
    }
    return true;
}

bool HistoryOutbox::delivered(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                              std::int64_t time_ms, std::string& error)
{
    for (const std::int64_t id : event_ids) {
        if (!history::mark_delivered(store_, id, channel, time_ms, error)) {
            return false;
        }
    }
    return true;
}

bool HistoryOutbox::failed(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                           int attempts, std::int64_t next_try_ms, const std::string& why,
                           std::string& error)
{
    for (const std::int64_t id : event_ids) {
        history::PendingNotification p;
        p.event_id = id;
        p.channel = channel;
        p.attempts = attempts;
        p.next_try_ms = next_try_ms;
        p.last_error = why;
        if (!history::mark_attempt_failed(store_, p, error)) {
            return false;
        }
    }
    return true;
}

bool HistoryOutbox::load(std::vector<Owed>& owed, std::string& error)
{
    owed.clear();
    std::vector<history::PendingNotification> pending;
    if (!history::load_pending_notifications(store_, pending, error)) {
        return false;
    }
    if (pending.empty()) {
        return true;
    }
    // The events they are owed for (the oldest owed one and all after it).
    std::int64_t oldest = pending.front().event_id;
    for (const auto& p : pending) {
        oldest = std::min(oldest, p.event_id);
    }
    std::vector<history::StoredEvent> stored;
    if (!history::load_events(store_, history::EventQuery{}, stored, error)) {
        return false;
    }
    std::map<std::int64_t, const history::StoredEvent*> by_id;
    for (const auto& e : stored) {
        if (e.id >= oldest) {
            by_id[e.id] = &e;
        }
    }
    for (const auto& p : pending) {
        const auto found = by_id.find(p.event_id);
        if (found == by_id.end()) {
            continue;  // the event is gone: nothing left to tell
        }
        Owed o;
        o.channel = p.channel;
        o.event = *found->second;
        o.attempts = p.attempts;
        o.next_try_ms = p.next_try_ms;
        owed.push_back(std::move(o));
    }
    return true;
}

}  // namespace platewise::notify
