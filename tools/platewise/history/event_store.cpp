// Events, owed notifications, latches and unreadable slots in the history.
#include "history/event_store.h"

#include <sqlite3.h>

#include <algorithm>

namespace platewise::history {

namespace {

// Reasons are kept one per line; a reason never holds a line break (the
// drive's strings are sanitised before they reach one).
std::string join_lines(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines) {
        if (!out.empty()) {
            out += '\n';
        }
        out += line;
    }
    return out;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool finish(HistoryStore& store, Statement& s, std::string& error)
{
    if (s.step() != Step::done) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

}  // namespace

bool insert_event(HistoryStore& store, StoredEvent& event, std::string& error)
{
    Statement s;
    if (!store.db.prepare("INSERT INTO events(time_ms, drive_id, kind, model, serial, slot, "
                          "verdict_before, verdict_after, reasons) VALUES(?,?,?,?,?,?,?,?,?)",
                          s, error)) {
        return false;
    }
    s.bind(1, event.time_ms);
    s.bind(2, event.drive_id);
    s.bind(3, event.kind);
    s.bind(4, event.model);
    s.bind(5, event.serial);
    s.bind(6, static_cast<std::int64_t>(event.slot));
    s.bind(7, event.verdict_before);
    s.bind(8, event.verdict_after);
    s.bind(9, join_lines(event.reasons));
    if (!finish(store, s, error)) {
        return false;
    }
    event.id = sqlite3_last_insert_rowid(store.db.handle());
    return true;
}

bool load_events(HistoryStore& store, const EventQuery& query, std::vector<StoredEvent>& events,
                 std::string& error)
{
    // The newest `limit` are chosen newest first, then given oldest first.
    Statement s;
    if (!store.db.prepare("SELECT id, time_ms, drive_id, kind, model, serial, slot, "
                          "verdict_before, verdict_after, reasons FROM events "
                          "WHERE time_ms >= ? AND (? < 0 OR drive_id = ?) "
                          "ORDER BY time_ms DESC, id DESC LIMIT ?",
                          s, error)) {
        return false;
    }
    s.bind(1, query.since_ms);
    s.bind(2, query.drive_id);
    s.bind(3, query.drive_id);
    s.bind(4, query.limit == 0 ? std::int64_t{-1} : static_cast<std::int64_t>(query.limit));
    events.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        StoredEvent e;
        e.id = s.column_int(0);
        e.time_ms = s.column_int(1);
        e.drive_id = s.column_int(2);
        e.kind = s.column_text(3);
        e.model = s.column_text(4);
        e.serial = s.column_text(5);
        e.slot = static_cast<int>(s.column_int(6));
        e.verdict_before = s.column_text(7);
        e.verdict_after = s.column_text(8);
        e.reasons = split_lines(s.column_text(9));
        events.push_back(std::move(e));
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    std::reverse(events.begin(), events.end());
    return true;
}

bool add_notification(HistoryStore& store, const PendingNotification& pending, std::string& error)
{
    Statement s;
    if (!store.db.prepare("INSERT OR IGNORE INTO notifications(event_id, channel, attempts, "
                          "next_try_ms, last_error) VALUES(?,?,?,?,?)",
                          s, error)) {
        return false;
    }
    s.bind(1, pending.event_id);
    s.bind(2, pending.channel);
    s.bind(3, static_cast<std::int64_t>(pending.attempts));
    s.bind(4, pending.next_try_ms);
    s.bind(5, pending.last_error);
    return finish(store, s, error);
}

bool load_pending_notifications(HistoryStore& store, std::vector<PendingNotification>& pending,
                                std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT event_id, channel, attempts, next_try_ms, last_error FROM "
                          "notifications WHERE delivered_ms IS NULL ORDER BY event_id, channel",
                          s, error)) {
        return false;
    }
    pending.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        PendingNotification p;
        p.event_id = s.column_int(0);
        p.channel = s.column_text(1);
        p.attempts = static_cast<int>(s.column_int(2));
        p.next_try_ms = s.column_int(3);
        p.last_error = s.column_text(4);
        pending.push_back(std::move(p));
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool mark_delivered(HistoryStore& store, std::int64_t event_id, const std::string& channel,
                    std::int64_t time_ms, std::string& error)
{
    Statement s;
    if (!store.db.prepare("UPDATE notifications SET delivered_ms = ? WHERE event_id = ? AND "
                          "channel = ?",
                          s, error)) {
        return false;
    }
    s.bind(1, time_ms);
    s.bind(2, event_id);
    s.bind(3, channel);
    return finish(store, s, error);
}

bool mark_attempt_failed(HistoryStore& store, const PendingNotification& pending,
                         std::string& error)
{
    Statement s;
    if (!store.db.prepare("UPDATE notifications SET attempts = ?, next_try_ms = ?, last_error = ? "
                          "WHERE event_id = ? AND channel = ?",
                          s, error)) {
        return false;
    }
    s.bind(1, static_cast<std::int64_t>(pending.attempts));
    s.bind(2, pending.next_try_ms);
    s.bind(3, pending.last_error);
    s.bind(4, pending.event_id);
    s.bind(5, pending.channel);
    return finish(store, s, error);
}

bool load_latches(HistoryStore& store, std::vector<StoredLatch>& latches, std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT drive_id, indicator, since_ms, peak FROM latches ORDER BY "
                          "drive_id, indicator",
                          s, error)) {
        return false;
    }
    latches.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        StoredLatch l;
        l.drive_id = s.column_int(0);
        l.indicator = static_cast<std::uint8_t>(s.column_int(1));
        l.since_ms = s.column_int(2);
        l.peak = static_cast<std::uint64_t>(s.column_int(3));
        latches.push_back(l);
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool set_latch(HistoryStore& store, const StoredLatch& latch, std::string& error)
{
    Statement s;
    if (!store.db.prepare("INSERT OR REPLACE INTO latches(drive_id, indicator, since_ms, peak) "
                          "VALUES(?,?,?,?)",
                          s, error)) {
        return false;
    }
    s.bind(1, latch.drive_id);
    s.bind(2, static_cast<std::int64_t>(latch.indicator));
    s.bind(3, latch.since_ms);
    s.bind(4, static_cast<std::int64_t>(latch.peak));
    return finish(store, s, error);
}

bool clear_latches(HistoryStore& store, std::int64_t drive_id, std::string& error)
{
    Statement s;
    if (!store.db.prepare("DELETE FROM latches WHERE drive_id = ?", s, error)) {
        return false;
    }
    s.bind(1, drive_id);
    return finish(store, s, error);
}

bool replace_slots(HistoryStore& store, const std::vector<StoredSlot>& slots, std::string& error)
{
    Transaction t(store.db);
    if (!t.begin(error) || !store.db.exec("DELETE FROM slots", error)) {
        return false;
    }
    Statement s;
    if (!store.db.prepare("INSERT OR REPLACE INTO slots(slot, seen_ms, state, detail) "
                          "VALUES(?,?,?,?)",
                          s, error)) {
        return false;
    }
    for (const StoredSlot& slot : slots) {
        s.reset();
        s.bind(1, static_cast<std::int64_t>(slot.slot));
        s.bind(2, slot.seen_ms);
        s.bind(3, slot.state);
        s.bind(4, slot.detail);
        if (!finish(store, s, error)) {
            return false;
        }
    }
    return t.commit(error);
}

bool load_slots(HistoryStore& store, std::vector<StoredSlot>& slots, std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT slot, seen_ms, state, detail FROM slots ORDER BY slot", s,
                          error)) {
        return false;
    }
    slots.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        StoredSlot slot;
        slot.slot = static_cast<int>(s.column_int(0));
        slot.seen_ms = s.column_int(1);
        slot.state = s.column_text(2);
        slot.detail = s.column_text(3);
        slots.push_back(std::move(slot));
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

}  // namespace platewise::history
