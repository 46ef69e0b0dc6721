// The page's bounds on history-reading requests.
#include "web/request_limits.h"

#include <algorithm>

namespace platewise::web {

RequestLimits::Slot::Slot(RequestLimits& limits) : limits_(limits)
{
    std::unique_lock<std::mutex> hold(limits_.lock_);
    entered_ = limits_.freed_.wait_for(hold, std::chrono::milliseconds(kLoadWaitMs),
                                       [this] { return limits_.active_ < kConcurrentLoads; });
    if (entered_) {
        ++limits_.active_;
        limits_.most_ = std::max(limits_.most_, limits_.active_);
    }
}

RequestLimits::Slot::~Slot()
{
    if (!entered_) {
        return;
    }
    const std::lock_guard<std::mutex> hold(limits_.lock_);
    --limits_.active_;
    limits_.freed_.notify_one();
}

RequestLimits::Views RequestLimits::cached(std::int64_t now_ms) const
{
    const std::lock_guard<std::mutex> hold(lock_);
    if (views_ != nullptr && now_ms >= loaded_ms_ && now_ms - loaded_ms_ < kViewCacheMs) {
        return views_;
    }
    return nullptr;
}

void RequestLimits::remember(Views views, std::int64_t now_ms)
{
    const std::lock_guard<std::mutex> hold(lock_);
    views_ = std::move(views);
    loaded_ms_ = now_ms;
}

bool RequestLimits::cached_drives(std::int64_t now_ms, std::string& body) const
{
    const std::lock_guard<std::mutex> hold(lock_);
    if (has_drives_ && now_ms >= drives_ms_ && now_ms - drives_ms_ < kViewCacheMs) {
        body = drives_body_;
        return true;
    }
    return false;
}

void RequestLimits::remember_drives(std::string body, std::int64_t now_ms)
{
    const std::lock_guard<std::mutex> hold(lock_);
    drives_body_ = std::move(body);
    drives_ms_ = now_ms;
    has_drives_ = true;
}

int RequestLimits::most_at_once() const
{
    const std::lock_guard<std::mutex> hold(lock_);
    return most_;
}

}  // namespace platewise::web
