// The dispatcher's outbox in the history: each owed delivery is a row of
// the notifications table (event, channel, attempts, next try, last
// error), marked delivered when it is. A connection of its own, used from
// the dispatcher's thread only.
#pragma once

#include <memory>
#include <string>

#include "history/history_store.h"
#include "notify/dispatcher.h"

namespace platewise::notify {

class HistoryOutbox : public Outbox {
public:
    // Opens the history at `path` for writing; nullptr with the reason in
    // `error` when it cannot be opened.
    static std::shared_ptr<HistoryOutbox> open(const std::string& path, std::string& error);

    bool owe(const std::vector<std::int64_t>& event_ids, const std::string& channel,
             std::int64_t next_try_ms, std::string& error) override;
    bool delivered(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                   std::int64_t time_ms, std::string& error) override;
    bool failed(const std::vector<std::int64_t>& event_ids, const std::string& channel, int attempts,
                std::int64_t next_try_ms, const std::string& why, std::string& error) override;
    bool load(std::vector<Owed>& owed, std::string& error) override;

private:
    history::HistoryStore store_;
};

}  // namespace platewise::notify
