// Delivering notifications without ever holding up the listener: the
// listen loop hands each pass's events over and returns at once; a thread
// of the dispatcher applies the rules (notify_policy.h) and hands each
// message to every channel on a small pool of workers (at most `parallel`
// programs or sendmails at once, each with its time limit). A delivery that
// fails is retried with back-off (one attempt at a time while its channel
// keeps failing); the first failure of a channel is reported on the log
// and every failed attempt is counted. With an outbox (the history) every
// owed delivery is written down before it is tried, so a restart resumes
// what was pending.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/drive_event.h"
#include "notify/child_process.h"
#include "notify/notify_message.h"
#include "notify/notify_policy.h"

namespace platewise::notify {

struct Channel {
    std::string name;  // "mail:root", "exec:/usr/local/bin/page-me": the key in the outbox
    std::string kind;  // "mail", "exec": the metric's label
    std::function<ChildResult(const Message&)> send;
};

// A delivery still owed after a restart.
struct Owed {
    std::string channel;
    events::DriveEvent event;
    int attempts = 0;
    std::int64_t next_try_ms = 0;
};

// Where owed deliveries are written down (the history's notifications).
// Called from the dispatcher's thread only. A false return is reported
// once on the log; delivery goes on regardless.
class Outbox {
public:
    virtual ~Outbox() = default;
    virtual bool owe(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                     std::int64_t next_try_ms, std::string& error) = 0;
    virtual bool delivered(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                           std::int64_t time_ms, std::string& error) = 0;
    virtual bool failed(const std::vector<std::int64_t>& event_ids, const std::string& channel,
                        int attempts, std::int64_t next_try_ms, const std::string& why,
                        std::string& error) = 0;
    virtual bool load(std::vector<Owed>& owed, std::string& error) = 0;
};

inline constexpr std::int64_t kFirstRetryMs = 60 * 1000;
inline constexpr std::int64_t kLongestRetryMs = 3600 * 1000;
inline constexpr unsigned kParallelDeliveries = 4;

struct DispatchSettings {
    std::vector<Channel> channels;
    std::string host;          // named in every message
    std::string page_address;  // the status page, "" without one
    PolicySettings policy;
    unsigned parallel = kParallelDeliveries;
    std::int64_t first_retry_ms = kFirstRetryMs;  // doubled after each failure...
    std::int64_t longest_retry_ms = kLongestRetryMs;  // ...up to this
    // Unix milliseconds now (retries); the system clock when empty.
    std::function<std::int64_t()> clock;
    // One line for the log (standard error, the journal), without its
    // newline; problems carry the journal's priority prefix (<4>, <5>); called from the dispatcher's threads one at a time.
    std::function<void(const std::string&)> log;
    std::shared_ptr<Outbox> outbox;  // nullptr: nothing written down
    // Set when the dispatcher stops, so that the channels' programs end
    // then (make_channels' `cancel`); what they owed stays in the outbox.
    std::shared_ptr<std::atomic<bool>> cancel;
};

// What happened to one delivery (notify --test; tests).
struct DeliveryReport {
    std::string channel;
    bool delivered = false;
    std::string detail;  // describe() of the attempt
};

class Dispatcher {
public:
    explicit Dispatcher(DispatchSettings settings);
    // Stops taking work, ends the programs running now (through
    // settings.cancel) and waits for them.
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Loads what the outbox still owes and starts the threads.
    void start();
    // A pass and its events (none for a steady pass); returns at once.
    void pass(const std::vector<events::DriveEvent>& events, std::int64_t now_ms);
    // Looks again at what is due (after the clock moved, in tests).
    void poke();
    // Waits until nothing is queued, running or due now; false on time-out.
    bool wait_idle(std::int64_t timeout_ms);

    // Failed attempts so far, by channel kind.
    std::map<std::string, std::uint64_t> failures() const;
    // Every attempt so far, oldest first.
    std::vector<DeliveryReport> reports() const;
    // Deliveries owed and not yet made (waiting for a retry, or running).
    std::size_t owed() const;

private:
    struct Job {
        std::size_t channel = 0;
        Message message;
        std::vector<std::int64_t> event_ids;
        int attempts = 0;
        std::int64_t next_try_ms = 0;
        bool running = false;
    };
    struct Done {
        std::shared_ptr<Job> job;
        ChildResult result;
    };
    struct ChannelState {
        bool failing = false;
        std::int64_t retry_at = 0;
        bool in_flight = false;
    };

    void schedule_loop();
    void worker_loop();
    std::int64_t now() const;
    void say(const std::string& line);
    void outbox_error(bool ok, const std::string& error);
    void add_jobs(std::vector<Message> messages, std::int64_t now_ms);
    void finish(Done done);
    void hand_out_due(std::int64_t now_ms);

    DispatchSettings settings_;
    NotifyPolicy policy_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool poked_ = false;
    std::deque<std::pair<std::vector<events::DriveEvent>, std::int64_t>> passes_;
    std::vector<std::shared_ptr<Job>> jobs_;
    std::deque<std::shared_ptr<Job>> ready_;
    std::deque<Done> done_;
    std::vector<ChannelState> states_;
    std::map<std::string, std::uint64_t> failures_;
    std::vector<DeliveryReport> reports_;
    unsigned busy_ = 0;  // passes or results being handled outside the lock
    bool outbox_failing_ = false;
    std::mutex log_mutex_;
    std::vector<std::thread> threads_;
};

}  // namespace platewise::notify
