// A history for the status page's tests: one drive of each verdict and one
// with hostile strings, recorded pass by pass over two days.
#pragma once

#include <string>

#include "../history/history_test_support.h"

namespace webtest {

using historytest::Drive;
using historytest::kHour;
using historytest::kSecond;
using historytest::kT0;

inline constexpr const char* kHostileModel = "<script>alert(1)</script>";
inline constexpr const char* kHostileSerial = "S\"<i>&'";
// The time the pages are drawn at: the last pass, a minute later.
inline constexpr std::int64_t kNow = kT0 + 48 * kHour + 60 * kSecond;

inline Drive disk(const char* model, const char* serial, std::uint64_t pending, std::uint8_t realloc_value,
                  std::uint64_t temperature)
{
    return {model, serial,
            {{5, realloc_value, realloc_value, 36, 0}, {9, 99, 99, 0, 1234}, {194, 40, 30, 0, temperature},
             {197, 100, 100, 0, pending}}};
}

// Every 10 minutes for two days: D1's pending count rises by one every 6
// hours from hour 24 on; F1 is failing; M1 left after hour 10; N1 gives no
// SMART data; the listener was down from hour 30 to hour 36.
inline std::string build_history(const TempDir& dir)
{
    historytest::use_utc();
    const std::string path = dir / "history.db";
    platewise::history::HistoryStore store;
    std::string error;
    platewise::history::Recorder recorder;
    EXPECT_TRUE(historytest::open_recording(store, recorder, path));
    for (std::int64_t t = kT0; t <= kT0 + 48 * kHour; t += 10 * 60 * kSecond) {
        if (t > kT0 + 30 * kHour && t < kT0 + 36 * kHour) {
            continue;
        }
        const std::int64_t hour = (t - kT0) / kHour;
        const auto pending = static_cast<std::uint64_t>(hour < 24 ? 0 : (hour - 24) / 6 + 1);
        std::vector<Drive> drives{disk("PW OK DISK", "OK1", 0, 100, 30 + static_cast<std::uint64_t>(hour % 5)),
                                  disk("PW DEGRADING DISK", "D1", pending, 100, 35),
                                  disk("PW FAILING DISK", "F1", 0, 10, 41),
                                  Drive{"PW NO DATA DISK", "N1", {}},
                                  disk(kHostileModel, kHostileSerial, 0, 100, 33)};
        if (hour < 10) {
            drives.push_back(disk("PW GONE DISK", "M1", 0, 100, 29));
        }
        const auto pass = historytest::pass_of(drives);
        EXPECT_TRUE(platewise::history::record_snapshot(recorder, store, *pass, t, error)) << error;
    }
    EXPECT_TRUE(platewise::history::flush_recorder(recorder, store, error)) << error;
    return path;
}

}  // namespace webtest
