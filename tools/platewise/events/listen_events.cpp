// The events in the listen loop.
#include "events/listen_events.h"

#include <chrono>
#include <iterator>
#include <utility>

#include "events/event_journal.h"

namespace platewise::events {

namespace {

std::int64_t system_now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string ata_wwn(smart::SectorView identify)
{
    const auto marks = [&](std::size_t word) {
        const std::uint16_t w = smart::identify_word(identify, word);
        return (w >> 14) == 0x1 && (w & 0x0100) != 0;
    };
    if (!marks(84) && !marks(87)) {
        return {};
    }
    std::uint64_t wwn = 0;
    for (std::size_t word = 108; word <= 111; ++word) {
        wwn = (wwn << 16) | smart::identify_word(identify, word);
    }
    if (wwn == 0) {
        return {};
    }
    return smart::format_text("%016llx", static_cast<unsigned long long>(wwn));
}

std::vector<std::string> ata_wwns(const smart::DriveSnapshot& snapshot, const SnapshotReport& report)
{
    std::vector<std::string> out;
    out.reserve(report.drives.size());
    for (const DriveReport& d : report.drives) {
        out.push_back(d.slot < std::size(snapshot.drives)
                          ? ata_wwn(smart::SectorView(snapshot.drives[d.slot].identify))
                          : std::string());
    }
    return out;
}

std::vector<DriveEvent> events_pass(ListenEvents& events, DriveFamily family,
                                    const std::vector<SeenDrive>& seen, const ListenOptions& options,
                                    std::int64_t now_ms, std::ostream& err)
{
    if (events.before_pass) {
        events.before_pass(events.tracker);
    }
    std::vector<DriveEvent> made = track_pass(events.tracker, family, seen, now_ms);
    if (!made.empty() && events.record) {
        events.record(made);
    }
    write_journal(made, err);
    if (options.on_events) {
        options.on_events(made, now_ms);
    }
    return made;
}

void attach_events(ListenEvents& events, ListenOptions& options, std::ostream& err)
{
    if (!events.clock) {
        events.clock = system_now_ms;
    }
    const ListenOptions* const current = &options;
    auto decoded = std::move(options.on_decoded);
    options.on_decoded = [&events, &err, current, decoded = std::move(decoded)](
                             const smart::DriveSnapshot& snapshot, SnapshotReport& report) {
        if (decoded) {
            decoded(snapshot, report);
        }
        events_pass(events, DriveFamily::ata, seen_of(report, ata_wwns(snapshot, report)), *current,
                    events.clock(), err);
    };
    auto nvme = std::move(options.on_nvme_snapshot);
    options.on_nvme_snapshot = [&events, &err, current, nvme = std::move(nvme)](
                                   const NvmeSnapshotReport& report) {
        events_pass(events, DriveFamily::nvme, seen_of(report), *current, events.clock(), err);
        if (nvme) {
            nvme(report);
        }
    };
}

std::string counts_text(const VerdictTracker& tracker)
{
    if (tracker.drives.empty()) {
        return "no drive seen yet";
    }
    const std::size_t n = tracker.drives.size();
    std::string text = std::to_string(n) + (n == 1 ? " drive" : " drives");
    const std::vector<VerdictCount> counts = count_verdicts(tracker);
    for (std::size_t i = 0; i < counts.size(); ++i) {
        text += (i == 0 ? ": " : ", ") + std::to_string(counts[i].drives) + " " + counts[i].verdict;
    }
    return text;
}

}  // namespace platewise::events
