// What the listener's accepting threads do with peers before any reader
// sees them, so that hostile ones cost the service nothing:
// - a refused peer (a user the socket mode lets connect but the peer check
//   refuses) is counted here, under a lock of its own, never queued for the
//   reporting loop; the loop reports the refusals at most once a second
//   with a count, and they never cause a publish of the metrics;
// - admitted peers other than root and the listener's own user (those
//   named with --peer-uid) are limited: each such user at most
//   kConnectionsPerUid at once, all of them together at most
//   kConnectionsForOthers, so that the service's own connection (root's)
//   always finds a free reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace platewise {

inline constexpr unsigned kConnectionsPerUid = 4;
inline constexpr unsigned kConnectionsForOthers = 8;

class RefusalTally {
public:
    // One refusal; `line` says who and why (the first of a second is shown
    // as it is, the others as a count).
    void note(const std::string& line)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (count_ == 0) {
            first_ = line;
        }
        ++count_;
    }

    // The refusals since the last call, when at least `every` has passed
    // since then (or `force`): 0 otherwise. `line` gets the report.
    std::uint64_t take(std::chrono::steady_clock::time_point now, std::chrono::milliseconds every,
                       bool force, std::string& line)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (count_ == 0 || (!force && now - last_ < every)) {
            return 0;
        }
        last_ = now;
        line = first_;
        if (count_ > 1) {
            line += " (and " + std::to_string(count_ - 1) + " more connection" +
                    (count_ == 2 ? "" : "s") + " refused since)";
        }
        const std::uint64_t n = count_;
        count_ = 0;
        return n;
    }

private:
    std::mutex lock_;
    std::uint64_t count_ = 0;
    std::string first_;
    std::chrono::steady_clock::time_point last_{};
};

// Connections open per user id; the caller holds its own lock.
class UidLimits {
public:
    // True when one more connection of `uid` may be read (and counts it);
    // a negative uid (a system without user ids) is not limited.
    // `privileged`: root or the listener's own user.
    bool admit(std::int64_t uid, bool privileged)
    {
        if (uid < 0 || privileged) {
            return true;
        }
        unsigned& mine = open_[uid];
        if (mine >= kConnectionsPerUid || others_ >= kConnectionsForOthers) {
            return false;
        }
        ++mine;
        ++others_;
        return true;
    }
    void release(std::int64_t uid, bool privileged)
    {
        if (uid < 0 || privileged) {
            return;
        }
        const auto found = open_.find(uid);
        if (found == open_.end() || found->second == 0) {
            return;
        }
        if (--found->second == 0) {
            open_.erase(found);
        }
        if (others_ > 0) {
            --others_;
        }
    }

private:
    std::map<std::int64_t, unsigned> open_;
    unsigned others_ = 0;
};

}  // namespace platewise
