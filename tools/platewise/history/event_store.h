// The rows of the history beside the drives and their readings: the
// events (a drive's verdict changed, it appeared, went missing or came
// back), the notifications still owed for each event on each channel, the
// leading indicators latched above their baseline until acknowledged, and
// the slots of the last pass that held a drive nobody could read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events/drive_event.h"
#include "history/history_store.h"

namespace platewise::history {

using StoredEvent = events::DriveEvent;

struct EventQuery {
    std::int64_t since_ms = 0;    // events at or after
    std::int64_t drive_id = -1;   // -1: every drive
    std::size_t limit = 0;        // 0: all; else the newest `limit`
};

// Inserts `event` and sets its id.
bool insert_event(HistoryStore& store, StoredEvent& event, std::string& error);
// The events matching `query`, oldest first.
bool load_events(HistoryStore& store, const EventQuery& query, std::vector<StoredEvent>& events,
                 std::string& error);

struct PendingNotification {
    std::int64_t event_id = 0;
    std::string channel;  // "mail:root@example.org", "exec:/usr/local/bin/x", ...
    int attempts = 0;
    std::int64_t next_try_ms = 0;
    std::string last_error;
    friend bool operator==(const PendingNotification&, const PendingNotification&) = default;
};

// Owes `event_id` to `channel`, first tried at `next_try_ms`.
bool add_notification(HistoryStore& store, const PendingNotification& pending, std::string& error);
// Every notification not yet delivered, oldest event first.
bool load_pending_notifications(HistoryStore& store, std::vector<PendingNotification>& pending,
                                std::string& error);
bool mark_delivered(HistoryStore& store, std::int64_t event_id, const std::string& channel,
                    std::int64_t time_ms, std::string& error);
// Records a failed attempt: its count, when to try again and why it failed.
bool mark_attempt_failed(HistoryStore& store, const PendingNotification& pending,
                         std::string& error);

// A leading indicator that rose above its baseline stays latched, with when
// it first rose and the highest count seen, until it is acknowledged.
struct StoredLatch {
    std::int64_t drive_id = 0;
    std::uint8_t indicator = 0;  // attribute id (NVMe: its field id)
    std::int64_t since_ms = 0;
    std::uint64_t peak = 0;
    friend bool operator==(const StoredLatch&, const StoredLatch&) = default;
};

bool load_latches(HistoryStore& store, std::vector<StoredLatch>& latches, std::string& error);
// Inserts or replaces the latch of (drive_id, indicator).
bool set_latch(HistoryStore& store, const StoredLatch& latch, std::string& error);
// Drops every latch of the drive (acknowledged).
bool clear_latches(HistoryStore& store, std::int64_t drive_id, std::string& error);

// A slot of the last pass that held something unreadable.
struct StoredSlot {
    int slot = 0;
    std::int64_t seen_ms = 0;
    std::string state;   // "failed", "no_smart", ...
    std::string detail;  // what failed, in words
    friend bool operator==(const StoredSlot&, const StoredSlot&) = default;
};

// Replaces the unreadable slots with `slots` (empty: none).
bool replace_slots(HistoryStore& store, const std::vector<StoredSlot>& slots, std::string& error);
bool load_slots(HistoryStore& store, std::vector<StoredSlot>& slots, std::string& error);

}  // namespace platewise::history
