// The verdict tracker: one event per change, none per steady pass.
#include "events/verdict_tracker.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace platewise::events {

namespace {

bool same_drive(const TrackedDrive& t, DriveFamily family, const SeenDrive& s)
{
    if (t.family != family && t.family != DriveFamily::unknown) {
        return false;
    }
    // A world-wide name tells two drives apart; one side without it (an
    // event recorded before the name was known) does not.
    return t.model == s.model && t.serial == s.serial &&
           (t.wwn == s.wwn || t.wwn.empty() || s.wwn.empty());
}

DriveEvent event_of(const TrackedDrive& t, const char* kind, std::string before, std::string after,
                    std::vector<std::string> reasons, std::int64_t now_ms)
{
    DriveEvent e;
    e.time_ms = now_ms;
    e.drive_id = t.drive_id;
    e.kind = kind;
    e.model = t.model;
    e.serial = t.serial;
    e.slot = t.slot;
    e.verdict_before = std::move(before);
    e.verdict_after = std::move(after);
    e.reasons = std::move(reasons);
    return e;
}

std::string away_text(std::int64_t ms)
{
    const std::int64_t minutes = ms / 60000;
    if (minutes < 180) {
        return std::to_string(minutes) + " min";
    }
    if (minutes < 72 * 60) {
        return std::to_string(minutes / 60) + " h";
    }
    return std::to_string(minutes / (24 * 60)) + " days";
}

const char* nvme_reason_heading(NvmeVerdict v) noexcept
{
    switch (v) {
    case NvmeVerdict::failing_now: return "failing now";
    case NvmeVerdict::warning: return "warning";
    case NvmeVerdict::no_smart_data: return "no SMART data";
    case NvmeVerdict::ok: break;
    }
    return "ok";
}

const char* reason_heading(Verdict v) noexcept
{
    switch (v) {
    case Verdict::failing_now: return "failing now";
    case Verdict::failed_past: return "failed in the past";
    case Verdict::degrading: return "degrading";
    case Verdict::missing: return "drive missing";
    case Verdict::no_smart_data: return "no SMART data";
    case Verdict::warning: return "warning";
    case Verdict::ok: break;
    }
    return "ok";
}

}  // namespace

const char* verdict_words(Verdict verdict) noexcept
{
    switch (verdict) {
    case Verdict::failing_now: return "FAILING NOW";
    case Verdict::failed_past: return "FAILED IN THE PAST";
    case Verdict::degrading: return "DEGRADING";
    case Verdict::missing: return kMissingWords;
    case Verdict::no_smart_data: return "NO SMART DATA";
    case Verdict::warning: return "WARNING";
    case Verdict::ok: break;
    }
    return kOkWords;
}

const char* nvme_verdict_words(NvmeVerdict verdict) noexcept
{
    switch (verdict) {
    case NvmeVerdict::failing_now: return "FAILING NOW";
    case NvmeVerdict::warning: return "WARNING";
    case NvmeVerdict::no_smart_data: return "NO SMART DATA";
    case NvmeVerdict::ok: break;
    }
    return kOkWords;
}

int verdict_severity(const std::string& words) noexcept
{
    static constexpr std::array<std::string_view, 6> kOrder{
        "FAILING NOW", kMissingWords, "FAILED IN THE PAST", "DEGRADING", "WARNING", "NO SMART DATA"};
    for (std::size_t i = 0; i < kOrder.size(); ++i) {
        if (words == kOrder[i]) {
            return static_cast<int>(i);
        }
    }
    return words == kOkWords ? static_cast<int>(kOrder.size()) + 1 : static_cast<int>(kOrder.size());
}

std::vector<DriveEvent> track_pass(VerdictTracker& tracker, DriveFamily family,
                                   const std::vector<SeenDrive>& seen, std::int64_t now_ms)
{
    std::vector<DriveEvent> events;
    std::vector<bool> shown(tracker.drives.size(), false);
    for (const SeenDrive& s : seen) {
        if (s.model.empty() && s.serial.empty()) {
            continue;
        }
        const auto found = std::find_if(tracker.drives.begin(), tracker.drives.end(),
                                        [&](const TrackedDrive& t) { return same_drive(t, family, s); });
        if (found == tracker.drives.end()) {
            TrackedDrive t;
            t.family = family;
            t.model = s.model;
            t.serial = s.serial;
            t.wwn = s.wwn;
            t.drive_id = s.drive_id;
            t.slot = s.slot;
            t.verdict = s.verdict;
            t.last_seen_ms = now_ms;
            events.push_back(event_of(t, "new", "", s.verdict, s.reasons, now_ms));
            tracker.drives.push_back(std::move(t));
            shown.push_back(true);
            continue;
        }
        const std::size_t index = static_cast<std::size_t>(found - tracker.drives.begin());
        if (shown[index]) {
            continue;  // the same drive twice in one pass
        }
        shown[index] = true;
        TrackedDrive& t = *found;
        t.family = family;
        if (t.wwn.empty()) {
            t.wwn = s.wwn;
        }
        if (s.drive_id != 0) {
            t.drive_id = s.drive_id;
        }
        t.slot = s.slot;
        t.last_seen_ms = now_ms;
        if (t.verdict == kMissingWords) {
            events.push_back(event_of(t, "back", t.verdict, s.verdict, s.reasons, now_ms));
        } else if (t.verdict.empty() ? s.verdict != kOkWords : t.verdict != s.verdict) {
            events.push_back(event_of(t, "change", t.verdict, s.verdict, s.reasons, now_ms));
        }
        t.verdict = s.verdict;
    }
    for (std::size_t i = 0; i < tracker.drives.size(); ++i) {
        TrackedDrive& t = tracker.drives[i];
        if (shown[i] || t.family != family || t.verdict == kMissingWords ||
            now_ms - t.last_seen_ms <= tracker.missing_after_ms) {
            continue;
        }
        std::string reason = "drive missing: not seen for " + away_text(now_ms - t.last_seen_ms);
        if (t.slot >= 0) {
            reason += " (last in slot " + std::to_string(t.slot) + ")";
        }
        events.push_back(event_of(t, "missing", t.verdict, kMissingWords, {reason}, now_ms));
        t.verdict = kMissingWords;
    }
    return events;
}

bool is_quiet(const DriveEvent& event) noexcept
{
    return event.kind == "new" && event.verdict_after == kOkWords;
}

std::vector<SeenDrive> seen_of(const SnapshotReport& report, const std::vector<std::string>& wwns)
{
    std::vector<SeenDrive> out;
    out.reserve(report.drives.size());
    for (std::size_t i = 0; i < report.drives.size(); ++i) {
        const DriveReport& d = report.drives[i];
        SeenDrive s;
        s.model = d.model;
        s.serial = d.serial;
        s.wwn = i < wwns.size() ? wwns[i] : std::string();
        s.slot = static_cast<int>(d.slot);
        s.verdict = verdict_words(d.verdict);
        for (const VerdictReason& r : d.reasons) {
            s.reasons.push_back(std::string(reason_heading(r.kind)) + ": " + r.text);
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<SeenDrive> seen_of(const NvmeSnapshotReport& report)
{
    std::vector<SeenDrive> out;
    out.reserve(report.drives.size());
    for (const NvmeDriveReport& d : report.drives) {
        SeenDrive s;
        s.model = d.model;
        s.serial = d.serial;
        s.slot = static_cast<int>(d.slot);
        s.verdict = nvme_verdict_words(d.verdict);
        for (const NvmeReason& r : d.reasons) {
            s.reasons.push_back(std::string(nvme_reason_heading(r.kind)) + ": " + r.text);
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<VerdictCount> count_verdicts(const VerdictTracker& tracker)
{
    std::vector<VerdictCount> counts;
    for (const TrackedDrive& t : tracker.drives) {
        if (t.verdict.empty()) {
            continue;
        }
        const auto found = std::find_if(counts.begin(), counts.end(),
                                        [&](const VerdictCount& c) { return c.verdict == t.verdict; });
        if (found == counts.end()) {
            counts.push_back({t.verdict, 1});
        } else {
            ++found->drives;
        }
    }
    std::stable_sort(counts.begin(), counts.end(), [](const VerdictCount& a, const VerdictCount& b) {
        return verdict_severity(a.verdict) < verdict_severity(b.verdict);
    });
    return counts;
}

}  // namespace platewise::events
