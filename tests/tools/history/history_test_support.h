// Shared helpers of the history tests: drives built field by field, passes
// of them as snapshots, and a store in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../../smart/nvme_test_pages.h"
#include "../../testservice/temp_dir.h"
#include "../tool_test_support.h"
#include "history/history_recorder.h"
#include "history/history_store.h"
#include "history/history_view.h"
#include "history/view_replay.h"
#include "smart.h"

namespace historytest {

struct Attr {
    std::uint8_t id;
    std::uint8_t value = 100;
    std::uint8_t worst = 100;
    std::uint8_t threshold = 0;
    std::uint64_t raw = 0;
};

struct Drive {
    std::string model;
    std::string serial;
    std::vector<Attr> attributes;
};

inline smart::DriveRecord record_of(const Drive& drive)
{
    smart::DriveRecord record{};
    tooltest::put_ata_string(record.identify, 27, 20, drive.model);
    tooltest::put_ata_string(record.identify, 10, 10, drive.serial);
    for (std::size_t i = 0; i < drive.attributes.size(); ++i) {
        const Attr& a = drive.attributes[i];
        std::uint8_t raw[6];
        for (int b = 0; b < 6; ++b) {
            raw[b] = static_cast<std::uint8_t>(a.raw >> (8 * b));
        }
        tooltest::put_attribute(record, i, a.id, a.value, a.worst, a.threshold, raw);
    }
    return record;
}

// A snapshot whose slots hold `drives` in order (an empty model and serial
// leaves a slot that IDENTIFY could not fill).
inline std::unique_ptr<smart::DriveSnapshot> pass_of(const std::vector<Drive>& drives)
{
    auto s = std::make_unique<smart::DriveSnapshot>();
    std::memset(s.get(), 0, sizeof *s);
    s->count = static_cast<std::uint8_t>(drives.size() + 1);
    for (std::size_t i = 0; i < drives.size(); ++i) {
        s->drives[i] = record_of(drives[i]);
    }
    return s;
}

// An NVMe drive as its health log gives it, field by field.
struct NvmeDrive {
    std::string model;
    std::string serial;
    std::uint8_t spare = 100;
    std::uint8_t spare_threshold = 10;
    std::uint8_t used = 3;
    std::uint64_t media_errors = 0;
    std::uint64_t error_log = 0;
    std::uint8_t warning = 0;
    std::uint16_t kelvin = 311;
    smart::nvme::u128 written = 1000;
    std::uint64_t eui64 = 0;  // 0: none (the NGUID neither)
};

// An NVMe snapshot whose slots hold `drives` in order (an empty model and
// serial leaves a slot absent); `count` 0: as many as the drives, plus one.
inline std::unique_ptr<smart::nvme::Snapshot> nvme_pass_of(const std::vector<NvmeDrive>& drives,
                                                           std::uint8_t count = 0)
{
    auto s = nvmetest::empty_snapshot(count != 0 ? count : static_cast<std::uint8_t>(drives.size() + 1));
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const NvmeDrive& d = drives[i];
        if (d.model.empty() && d.serial.empty()) {
            continue;
        }
        smart::nvme::Slot& slot = s->slots[i];
        nvmetest::put_answered(slot, d.model, d.serial);
        std::uint8_t* h = slot.health_log;
        nvmetest::put_le(h, nvmetest::kCriticalWarning, d.warning);
        nvmetest::put_le(h, nvmetest::kCompositeTemperature, d.kelvin);
        nvmetest::put_le(h, nvmetest::kAvailableSpare, d.spare);
        nvmetest::put_le(h, nvmetest::kAvailableSpareThreshold, d.spare_threshold);
        nvmetest::put_le(h, nvmetest::kPercentageUsed, d.used);
        nvmetest::put_le(h, nvmetest::kMediaErrors, d.media_errors);
        nvmetest::put_le(h, nvmetest::kErrorLogEntries, d.error_log);
        nvmetest::put_le(h, nvmetest::kDataUnitsWritten, d.written);
        // EUI64, Identify Namespace bytes 120-127, as the drive lists them.
        for (int b = 0; b < 8; ++b) {
            slot.identify_namespace[120 + b] = static_cast<std::uint8_t>(d.eui64 >> (8 * (7 - b)));
        }
    }
    return s;
}

inline constexpr std::int64_t kT0 = 1796119200000;  // 2026-12-01 10:00:00 UTC
inline constexpr std::int64_t kSecond = 1000;
inline constexpr std::int64_t kHour = 3600 * kSecond;

// Opens (creating it) the history at `path` and loads its recorder, as the
// listener does at start; false, with the reason as a test failure, when
// either fails.
inline bool open_recording(platewise::history::HistoryStore& store, platewise::history::Recorder& recorder,
                           const std::string& path)
{
    std::string error;
    if (!platewise::history::open_history(store, path, false, error) ||
        !platewise::history::load_recorder(recorder, store, false, error)) {
        ADD_FAILURE() << path << ": " << error;
        return false;
    }
    return true;
}

// Everything a reader shows of the views: each drive's verdict, reasons
// and readings.
inline std::string described(const std::vector<platewise::history::DriveView>& views)
{
    std::ostringstream o;
    for (const platewise::history::DriveView& v : views) {
        o << v.drive.id << " " << v.drive.serial << " seen " << v.drive.last_seen_ms << (v.missing ? " missing" : "")
          << ": " << v.report.verdict_text << "\n";
        for (const platewise::VerdictReason& r : v.report.reasons) {
            o << "  reason " << r.rule << " since " << r.since_ms << ": " << r.text << "\n";
        }
        for (const platewise::history::Reading& r : v.readings) {
            o << "  " << r.time_ms << " kind " << static_cast<int>(r.kind) << ":";
            for (const platewise::history::AttributeSample& a : r.attributes) {
                o << " " << static_cast<int>(a.id) << "=" << a.raw << "/" << static_cast<int>(a.value);
            }
            o << "\n";
        }
    }
    return o.str();
}

// The views of `store` at `now_ms` loaded with `replays` kept from earlier
// loads must be what a load that replays every reading gives; `window_ms`
// as ViewOptions::window_ms.
inline void expect_kept_replays_agree(platewise::history::HistoryStore& store,
                                      platewise::history::ViewReplays& replays, std::int64_t now_ms,
                                      std::int64_t window_ms, const std::string& what)
{
    platewise::history::ViewOptions o;
    o.now_ms = now_ms;
    o.missing_after_ms = 10 * 60 * 1000;
    o.window_ms = window_ms;
    std::vector<platewise::history::DriveView> fresh;
    std::vector<platewise::history::DriveView> kept;
    std::string error;
    ASSERT_TRUE(platewise::history::load_views(store, o, fresh, error)) << what << ": " << error;
    o.replays = &replays;
    ASSERT_TRUE(platewise::history::load_views(store, o, kept, error)) << what << ": " << error;
    EXPECT_EQ(described(kept), described(fresh)) << what << " (window " << window_ms << " ms)";
}

// Local times in the tests are UTC.
inline void use_utc()
{
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace historytest
