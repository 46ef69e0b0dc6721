// The dispatcher's threads.
#include "notify/dispatcher.h"

#include <algorithm>
#include <chrono>

namespace platewise::notify {

namespace {

std::vector<std::int64_t> ids_of(const Message& m)
{
    std::vector<std::int64_t> ids;
    for (const events::DriveEvent& e : m.events) {
        if (e.id > 0) {
            ids.push_back(e.id);
        }
    }
    return ids;
}

// The lines a program or sendmail wrote, each printable.
std::vector<std::string> output_lines(const std::string& output)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        std::string line = plain_text(output.substr(start, end - start), 400);
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
        start = end + 1;
    }
    return lines;
}

}  // namespace

Dispatcher::Dispatcher(DispatchSettings settings)
    : settings_(std::move(settings)), policy_(settings_.policy), states_(settings_.channels.size())
{
    if (settings_.parallel == 0) {
        settings_.parallel = 1;
    }
}

Dispatcher::~Dispatcher()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (settings_.cancel) {
        settings_.cancel->store(true);
    }
    changed_.notify_all();
    for (std::thread& t : threads_) {
        if (t.joinable()) {
            t.join();
        }
    }
}

std::int64_t Dispatcher::now() const
{
    if (settings_.clock) {
        return settings_.clock();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Dispatcher::say(const std::string& line)
{
    if (settings_.log) {
        const std::lock_guard<std::mutex> lock(log_mutex_);
        settings_.log(line);
    }
}

void Dispatcher::outbox_error(bool ok, const std::string& error)
{
    if (ok) {
        outbox_failing_ = false;
        return;
    }
    if (!outbox_failing_) {
        say("<4>platewise notify: cannot write the owed notifications to the history (" +
            plain_text(error, 300) + "); they are still delivered, but a restart would lose them");
    }
    outbox_failing_ = true;
}

void Dispatcher::start()
{
    if (settings_.outbox) {
        std::vector<Owed> owed;
        std::string error;
        if (!settings_.outbox->load(owed, error)) {
            say("<4>platewise notify: cannot read the owed notifications from the history: " +
                plain_text(error, 300));
        }
        // Per channel: the owed events as the rules would send them now,
        // one message each or one listing them all.
        std::map<std::size_t, std::vector<Owed>> by_channel;
        std::size_t unknown = 0;
        for (Owed& o : owed) {
            std::size_t index = settings_.channels.size();
            for (std::size_t i = 0; i < settings_.channels.size(); ++i) {
                if (settings_.channels[i].name == o.channel) {
                    index = i;
                }
            }
            if (index == settings_.channels.size()) {
                ++unknown;
                continue;
            }
            by_channel[index].push_back(std::move(o));
        }
        if (unknown > 0) {
            say("platewise notify: " + std::to_string(unknown) +
                " notifications owed to channels no longer configured stay in the history undelivered");
        }
        std::size_t resumed = 0;
        for (auto& [index, list] : by_channel) {
            std::vector<std::vector<Owed*>> groups;
            if (list.size() > settings_.policy.digest_above) {
                groups.emplace_back();
                for (Owed& o : list) {
                    groups.back().push_back(&o);
                }
            } else {
                for (Owed& o : list) {
                    groups.push_back({&o});
                }
            }
            for (const auto& group : groups) {
                auto job = std::make_shared<Job>();
                job->channel = index;
                job->message.host = settings_.host;
                job->message.page_address = settings_.page_address;
                job->next_try_ms = group.front()->next_try_ms;
                for (const Owed* o : group) {
                    job->message.events.push_back(o->event);
                    job->message.time_ms = std::max(job->message.time_ms, o->event.time_ms);
                    job->attempts = std::max(job->attempts, o->attempts);
                    job->next_try_ms = std::min(job->next_try_ms, o->next_try_ms);
                }
                job->event_ids = ids_of(job->message);
                jobs_.push_back(std::move(job));
                resumed += group.size();
            }
        }
        if (resumed > 0) {
            say("platewise notify: " + std::to_string(resumed) +
                " notifications still owed from before the restart are delivered now");
        }
    }
    threads_.emplace_back([this]() { schedule_loop(); });
    for (unsigned i = 0; i < settings_.parallel; ++i) {
        threads_.emplace_back([this]() { worker_loop(); });
    }
}

void Dispatcher::pass(const std::vector<events::DriveEvent>& events, std::int64_t now_ms)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        passes_.emplace_back(events, now_ms);
    }
    changed_.notify_all();
}

void Dispatcher::poke()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        poked_ = true;
    }
    changed_.notify_all();
}

void Dispatcher::add_jobs(std::vector<Message> messages, std::int64_t now_ms)
{
    std::vector<std::shared_ptr<Job>> jobs;
    for (Message& m : messages) {
        m.host = settings_.host;
        m.page_address = settings_.page_address;
        for (std::size_t i = 0; i < settings_.channels.size(); ++i) {
            auto job = std::make_shared<Job>();
            job->channel = i;
            job->message = m;
            job->event_ids = ids_of(m);
            job->next_try_ms = 0;  // at once, whatever the pass's clock says
            if (settings_.outbox && !job->event_ids.empty()) {
                std::string error;
                const bool ok = settings_.outbox->owe(job->event_ids, settings_.channels[i].name, now_ms, error);
                outbox_error(ok, error);
            }
            jobs.push_back(std::move(job));
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& j : jobs) {
        jobs_.push_back(std::move(j));
    }
}

void Dispatcher::finish(Done done)
{
    Job& job = *done.job;
    const Channel& channel = settings_.channels[job.channel];
    for (const std::string& line : output_lines(done.result.output)) {
        say("platewise notify: " + plain_text(channel.name, 300) + ": " + line);
    }
    const std::int64_t t = now();
    const bool ok = done.result.succeeded();
    std::string error;
    std::int64_t next_try = 0;
    if (ok) {
        if (settings_.outbox && !job.event_ids.empty()) {
            outbox_error(settings_.outbox->delivered(job.event_ids, channel.name, t, error), error);
        }
    } else {
        const int attempts = job.attempts + 1;
        std::int64_t delay = settings_.first_retry_ms;
        for (int i = 1; i < attempts && delay < settings_.longest_retry_ms; ++i) {
            delay *= 2;
        }
        delay = std::min(delay, settings_.longest_retry_ms);
        next_try = t + delay;
        if (settings_.outbox && !job.event_ids.empty()) {
            outbox_error(settings_.outbox->failed(job.event_ids, channel.name, attempts, next_try,
                                                  done.result.describe(), error),
                         error);
        }
    }
    bool first_failure = false;
    bool recovered = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ChannelState& state = states_[job.channel];
        state.in_flight = false;
        job.running = false;
        reports_.push_back({channel.name, ok, done.result.describe()});
        if (ok) {
            recovered = state.failing;
            state.failing = false;
            jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), done.job), jobs_.end());
        } else {
            ++job.attempts;
            job.next_try_ms = next_try;
            ++failures_[channel.kind];
            first_failure = !state.failing;
            state.failing = true;
            state.retry_at = next_try;
        }
    }
    if (first_failure) {
        say("<4>platewise notify: " + plain_text(channel.name, 300) + " failed: " +
            plain_text(done.result.describe(), 300) +
            "; retrying with back-off (further failures are counted in "
            "platewise_notifications_failed_total, not reported)");
    }
    if (recovered) {
        say("<5>platewise notify: " + plain_text(channel.name, 300) + " delivers again");
    }
}

void Dispatcher::hand_out_due(std::int64_t now_ms)
{
    for (const std::shared_ptr<Job>& job : jobs_) {
        if (job->running) {
            continue;
        }
        ChannelState& state = states_[job->channel];
        // While a channel fails, one delivery at a time finds out whether
        // it works again.
        if (state.failing && (state.in_flight || now_ms < state.retry_at)) {
            continue;
        }
        if (job->next_try_ms > now_ms) {
            continue;
        }
        job->running = true;
        state.in_flight = true;
        ready_.push_back(job);
    }
}

void Dispatcher::schedule_loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, std::chrono::milliseconds(200),
                          [this]() { return stop_ || poked_ || !passes_.empty() || !done_.empty(); });
        if (stop_) {
            return;
        }
        poked_ = false;
        auto passes = std::move(passes_);
        passes_.clear();
        auto done = std::move(done_);
        done_.clear();
        ++busy_;
        lock.unlock();
        for (auto& [events, now_ms] : passes) {
            add_jobs(policy_.pass(events, now_ms), now_ms);
        }
        for (Done& d : done) {
            finish(std::move(d));
        }
        lock.lock();
        --busy_;
        hand_out_due(now());
        changed_.notify_all();
    }
}

void Dispatcher::worker_loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this]() { return stop_ || !ready_.empty(); });
        if (stop_) {
            return;
        }
        std::shared_ptr<Job> job = ready_.front();
        ready_.pop_front();
        lock.unlock();
        Done d{job, settings_.channels[job->channel].send(job->message)};
        lock.lock();
        done_.push_back(std::move(d));
        changed_.notify_all();
    }
}

bool Dispatcher::wait_idle(std::int64_t timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        bool idle = passes_.empty() && done_.empty() && ready_.empty() && busy_ == 0;
        const std::int64_t t = now();
        for (const std::shared_ptr<Job>& job : jobs_) {
            const ChannelState& state = states_[job->channel];
            const std::int64_t due = std::max(job->next_try_ms, state.failing ? state.retry_at : 0);
            if (job->running || due <= t) {
                idle = false;
            }
        }
        if (idle) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        poked_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
}

std::map<std::string, std::uint64_t> Dispatcher::failures() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::vector<DeliveryReport> Dispatcher::reports() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

std::size_t Dispatcher::owed() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
}

}  // namespace platewise::notify
