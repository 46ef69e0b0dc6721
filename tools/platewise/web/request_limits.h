// What keeps the history-reading requests of the page bounded: at most
// kConcurrentLoads of them read the history at once (the others wait their
// turn, up to kLoadWaitMs, then get 503), and the drive views one of them
// loaded serve the page requests of the next kViewCacheMs as well. With a
// year-sized store each load costs a second of CPU and tens of megabytes;
// without the gate, 16 concurrent requests cost 16 of those at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history/history_view.h"

namespace platewise::web {

inline constexpr int kConcurrentLoads = 2;
inline constexpr std::int64_t kLoadWaitMs = 10000;
inline constexpr std::int64_t kViewCacheMs = 2000;

class RequestLimits {
public:
    // Holds one of the load slots while it lives; `entered()` false when
    // none came free in time.
    class Slot {
    public:
        explicit Slot(RequestLimits& limits);
        ~Slot();
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        bool entered() const { return entered_; }

    private:
        RequestLimits& limits_;
        bool entered_ = false;
    };

    using Views = std::shared_ptr<const std::vector<history::DriveView>>;

    // The views loaded at most kViewCacheMs before `now_ms`, or null.
    Views cached(std::int64_t now_ms) const;
    void remember(Views views, std::int64_t now_ms);

    // The answer of /api/drives given at most kViewCacheMs before `now_ms`;
    // false when there is none.
    bool cached_drives(std::int64_t now_ms, std::string& body) const;
    void remember_drives(std::string body, std::int64_t now_ms);

    // How many loads ran at once at most, since the start (for tests and
    // the benchmark).
    int most_at_once() const;

private:
    mutable std::mutex lock_;
    std::condition_variable freed_;
    int active_ = 0;
    int most_ = 0;
    Views views_;
    std::int64_t loaded_ms_ = 0;
    std::string drives_body_;
    std::int64_t drives_ms_ = 0;
    bool has_drives_ = false;
};

}  // namespace platewise::web
