// The events in the listen loop.
#include "events/listen_events.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "events/event_journal.h"
#include "nvme.h"

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

void mark_unreadable_slots(std::vector<SeenDrive>& seen, const smart::DriveSnapshot& snapshot,
                           const std::vector<NvmeDriveReport>* nvme)
{
    namespace nv = smart::nvme;
    const std::size_t current = smart::current_slot_count(snapshot);
    for (SeenDrive& s : seen) {
        if (s.unreadable_slot || !s.model.empty() || !s.serial.empty() || s.slot < 0 ||
            static_cast<std::size_t>(s.slot) >= current) {
            continue;
        }
        const smart::SectorView identify(snapshot.drives[static_cast<std::size_t>(s.slot)].identify);
        if (!smart::sanitize_text(smart::identify_model(identify)).empty() ||
            !smart::sanitize_text(smart::identify_serial(identify)).empty()) {
            continue;
        }
        std::string detail = "IDENTIFY DEVICE came back empty";
        if (nvme != nullptr) {
            const auto n = std::find_if(nvme->begin(), nvme->end(), [&](const NvmeDriveReport& d) {
                return d.slot == static_cast<std::size_t>(s.slot);
            });
            if (n != nvme->end() && n->controller_read) {
                continue;  // an NVMe drive: the NVMe pass shows it
            }
            std::string failed;
            if (n != nvme->end() && n->status == static_cast<std::uint8_t>(nv::SlotStatus::failed)) {
                static const char* const names[] = {"Identify Controller", "Identify Namespace", "health log"};
                for (std::size_t i = 0; i < 3; ++i) {
                    if (n->results[i] != static_cast<std::uint8_t>(nv::RequestResult::read) &&
                        n->results[i] != static_cast<std::uint8_t>(nv::RequestResult::not_sent)) {
                        failed += (failed.empty() ? "" : ", ") + std::string(names[i]) + " " +
                                  nv::request_result_name(n->results[i]);
                    }
                }
            }
            detail += failed.empty() ? " and the drive does not answer NVMe Identify" : "; NVMe: " + failed;
        }
        s.unreadable_slot = true;
        s.verdict = verdict_words(Verdict::no_smart_data);
        s.reasons = {"no SMART data: slot " + std::to_string(s.slot) + ": " + detail};
    }
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
        const std::int64_t now_ms = events.clock();
        if (events.first_ata_ms < 0) {
            events.first_ata_ms = now_ms;
        }
        std::vector<SeenDrive> seen = seen_of(report, ata_wwns(snapshot, report));
        // Without a history nobody has told the unreadable slots apart yet;
        // an empty slot may be an NVMe drive until its pass came or the
        // NVMe pass stays away for a while.
        if (events.have_nvme || now_ms - events.first_ata_ms >= kAwaitNvmeSightMs) {
            mark_unreadable_slots(seen, snapshot, events.have_nvme ? &events.nvme_slots : nullptr);
        }
        events_pass(events, DriveFamily::ata, seen, *current, now_ms, err);
    };
    auto nvme = std::move(options.on_nvme_snapshot);
    options.on_nvme_snapshot = [&events, &err, current, nvme = std::move(nvme)](
                                   const NvmeSnapshotReport& report) {
        events.have_nvme = true;
        events.nvme_slots = report.drives;
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
