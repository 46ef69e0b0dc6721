// The history in the listen loop.
#include "history/listen_history.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "history/future_times.h"
#include "history/store_file.h"
#include "history/verdict_rules.h"

namespace platewise::history {

namespace {

constexpr std::int64_t kReopenEveryMs = 60 * 1000;
constexpr std::int64_t kIdentityCheckEveryMs = 60 * 1000;
// How long after the first ATA pass its unreadable slots wait for an NVMe
// pass to say whether they hold NVMe drives (the two snapshots of a pass
// arrive in either order): meanwhile they are neither listed nor counted,
// so that an NVMe drive never shows as an unreadable drive for a moment.
constexpr std::int64_t kAwaitNvmeMs = 30 * 1000;

std::int64_t now_unix_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool try_open(ListenHistory& history, std::int64_t now_ms, std::string& error, bool& refused)
{
    history.last_open_attempt_ms = now_ms;
    if (!open_history(history.store, history.path, false, error, &refused)) {
        return false;
    }
    std::size_t moved = 0;
    if (!settle_future_times(history.store, now_ms, moved, error) ||
        !load_recorder(history.recorder, history.store, false, error)) {
        refused = false;
        history.store.db.close();
        return false;
    }
    history.recorder.write_failures = history.failures_before_open;
    history.open = true;
    history.future_drives = moved;
    store_file_identity(history.path, history.device, history.inode);
    history.last_identity_check_ms = now_ms;
    return true;
}

void report_failure(ListenHistory& history, const std::string& error, std::uint64_t failures,
                    std::ostream& err)
{
    // The same failure every pass is said once, then every 100th time.
    if (error != history.last_error || failures % 100 == 0) {
        // A lock of another process: say whose, so that it can be ended.
        std::string holders;
        if (error.find("locked") != std::string::npos) {
            holders = store_lock_holders(history.path);
        }
        err << "platewise listen: history: " << error
            << (holders.empty() ? "" : ", held by " + holders + ": end it or wait for it") << " (" << failures
            << " pass" << (failures == 1 ? "" : "es") << " not recorded so far; the listener carries on)\n";
        err.flush();
        history.last_error = error;
    }
}

// Said once, when the file is opened: the times are moved for good.
void report_future(ListenHistory& history, std::ostream& err)
{
    if (history.future_drives != 0) {
        err << "platewise listen: history: " << history.future_drives << " drive"
            << (history.future_drives == 1 ? " was" : "s were")
            << " last seen later than now (a clock that ran ahead, or a snapshot imported under a "
               "later name); those times are taken as now\n";
        history.future_drives = 0;
    }
}

// The unreadable slots of the last passes written when they change; the
// ATA report's slots that the last NVMe pass read as NVMe drives dropped,
// the others told what failed.
void reconcile_slots(ListenHistory& history, SnapshotReport& report, std::int64_t now_ms)
{
    if (history.first_ata_ms < 0) {
        history.first_ata_ms = now_ms;
    }
    if (!history.have_nvme_sight && now_ms - history.first_ata_ms < kAwaitNvmeMs) {
        std::vector<DriveReport> kept;
        for (DriveReport& d : report.drives) {
            if (d.slot >= history.ata_unreadable.size() || !history.ata_unreadable[d.slot]) {
                kept.push_back(std::move(d));
            }
        }
        report.drives = std::move(kept);
        return;
    }
    std::vector<StoredSlot> slots = unreadable_slots(
        history.ata_unreadable, history.have_nvme_sight ? &history.nvme_sight : nullptr, now_ms);
    const auto same_slots = [](const std::vector<StoredSlot>& a, const std::vector<StoredSlot>& b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](const StoredSlot& x, const StoredSlot& y) {
                   return x.slot == y.slot && x.state == y.state && x.detail == y.detail;
               });
    };
    if (!history.slots_written || !same_slots(slots, history.slots)) {
        std::string error;
        history.slots_written = replace_slots(history.store, slots, error);
        history.slots = slots;
    }
    std::vector<DriveReport> kept;
    for (DriveReport& d : report.drives) {
        const bool unreadable = d.slot < history.ata_unreadable.size() && history.ata_unreadable[d.slot];
        if (!unreadable) {
            kept.push_back(std::move(d));
            continue;
        }
        const auto it = std::find_if(slots.begin(), slots.end(), [&](const StoredSlot& s) {
            return s.slot == static_cast<int>(d.slot);
        });
        if (it == slots.end()) {
            continue;  // an NVMe drive: the NVMe report has it
        }
        DriveReport u = unreadable_report(*it);
        d.reasons = std::move(u.reasons);
        compose_verdict(d);
        kept.push_back(std::move(d));
    }
    report.drives = std::move(kept);
}

}  // namespace

void history_nvme_pass(ListenHistory& history, const smart::nvme::Snapshot& snapshot,
                       NvmeSnapshotReport& report, std::int64_t now_ms, std::ostream& err)
{
    history.nvme_sight = nvme_sight_of(snapshot);
    history.have_nvme_sight = true;
    std::string error;
    if (!history.open) {
        report.history_write_failures = static_cast<std::int64_t>(history.failures_before_open);
        return;  // the next ATA pass tries to open it again
    }
    Recorder& recorder = history.recorder;
    if (!refresh_baselines(recorder, history.store, error)) {
        error.clear();
    }
    if (!record_nvme_snapshot(recorder, history.store, snapshot, now_ms, history.nvme_slot_drive, error)) {
        report_failure(history, error, recorder.write_failures, err);
    }
    report.history_write_failures = static_cast<std::int64_t>(recorder.write_failures);
    report.history.clear();
    for (std::size_t slot = 0; slot < history.nvme_slot_drive.size(); ++slot) {
        if (history.nvme_slot_drive[slot] < 0) {
            continue;
        }
        DriveReport d = judge_nvme_recorded(recorder, static_cast<std::size_t>(history.nvme_slot_drive[slot]));
        d.slot = slot;
        report.history.push_back(std::move(d));
    }
}

ListenHistory::~ListenHistory()
{
    if (open && store.db.is_open()) {
        std::string ignored;
        flush_recorder(recorder, store, ignored);
    }
}

bool attach_history(ListenHistory& history, const std::string& path,
                    std::int64_t missing_after_ms, ListenOptions& options, std::ostream& err)
{
    history.path = path;
    history.missing_after_ms = missing_after_ms;
    history.names = definition_table(options.overrides);
    if (path == default_history_path()) {
        // The default place is made when missing, for root's use only.
        make_store_directory(std::filesystem::path(path).parent_path().string());
    }
    std::string error;
    bool refused = true;
    if (!try_open(history, now_unix_ms(), error, refused)) {
        if (refused && history.store.damaged) {
            // Set aside: socket, metrics and alerts go on; the page and the
            // metrics say the history is unavailable.
            err << "platewise listen: " << error << "\n"
                << "platewise listen: history: unavailable; the listener carries on without it "
                   "and tries the file again every minute\n";
            history.last_error = error;
        } else if (refused) {
            err << "platewise listen: " << error << "\n";
            return false;
        } else {
            err << "platewise listen: history: " << error << "; trying again every minute\n";
            history.last_error = error;
        }
    } else {
        err << "platewise listen: recording the history in " << path << "\n";
        report_future(history, err);
    }
    options.on_decoded = [&history, &err](const smart::DriveSnapshot& snapshot, SnapshotReport& report) {
        history_pass(history, snapshot, report, now_unix_ms(), err);
    };
    options.on_nvme_decoded = [&history, &err](const smart::nvme::Snapshot& snapshot,
                                               NvmeSnapshotReport& report) {
        history_nvme_pass(history, snapshot, report, now_unix_ms(), err);
    };
    return true;
}

void history_pass(ListenHistory& history, const smart::DriveSnapshot& snapshot,
                  SnapshotReport& report, std::int64_t now_ms, std::ostream& err)
{
    std::string error;
    if (history.open && now_ms - history.last_identity_check_ms >= kIdentityCheckEveryMs) {
        // A store removed or replaced under the listener would otherwise be
        // written into unseen while readers look at the new file.
        history.last_identity_check_ms = now_ms;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        if (!store_file_identity(history.path, device, inode) || device != history.device ||
            inode != history.inode) {
            err << "platewise listen: history: " << history.path
                << " was removed or replaced while open; opening it again\n";
            err.flush();
            flush_recorder(history.recorder, history.store, error);
            error.clear();
            history.failures_before_open = history.recorder.write_failures;
            history.store.db.close();
            history.open = false;
            history.last_open_attempt_ms = now_ms - kReopenEveryMs;
        }
    }
    if (!history.open) {
        bool refused = false;
        if (now_ms - history.last_open_attempt_ms < kReopenEveryMs ||
            !try_open(history, now_ms, error, refused)) {
            ++history.failures_before_open;
            report.history_write_failures = static_cast<std::int64_t>(history.failures_before_open);
            if (!error.empty()) {
                report_failure(history, error, history.failures_before_open, err);
            }
            return;
        }
        err << "platewise listen: recording the history in " << history.path << "\n";
        report_future(history, err);
        err.flush();
    }
    Recorder& recorder = history.recorder;
    if (!refresh_baselines(recorder, history.store, error)) {
        error.clear();  // the baselines known so far still hold
    }
    history.ata_unreadable = ata_unreadable_of(snapshot);
    reconcile_slots(history, report, now_ms);
    if (!record_snapshot(recorder, history.store, snapshot, now_ms, error)) {
        report_failure(history, error, recorder.write_failures, err);
    } else if (!history.last_error.empty()) {
        err << "platewise listen: history: recording again\n";
        err.flush();
        history.last_error.clear();
    }
    report.history_write_failures = static_cast<std::int64_t>(recorder.write_failures);
    judge_pass(recorder, report, history.names);

    report.missing.clear();
    for (std::size_t i = 0; i < recorder.drives.size(); ++i) {
        const RecordedDrive& d = recorder.drives[i];
        const bool seen = std::find(recorder.slot_drive.begin(), recorder.slot_drive.end(),
                                    static_cast<int>(i)) != recorder.slot_drive.end();
        if (seen || d.stored.id == 0 || !is_missing(d.stored.last_seen_ms, now_ms, history.missing_after_ms)) {
            continue;
        }
        DriveReport m;
        m.slot = d.stored.last_slot < 0 ? 0 : static_cast<std::size_t>(d.stored.last_slot);
        m.model = d.stored.model;
        m.serial = d.stored.serial;
        m.firmware = d.stored.firmware;
        m.nvme = d.stored.kind == DriveKind::nvme;
        m.reasons.push_back(missing_reason(d.stored));
        compose_verdict(m);
        report.missing.push_back(std::move(m));
    }
}

}  // namespace platewise::history
