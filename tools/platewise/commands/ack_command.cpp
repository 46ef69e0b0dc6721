// platewise ack.
#include "commands/ack_command.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "files/path_text.h"
#include "history/history_recorder.h"
#include "history/history_view.h"
#include "history/nvme_fields.h"
#include "history/nvme_verdicts.h"
#include "history/store_access.h"
#include "history/verdict_rules.h"

namespace platewise {

namespace {

bool is_nvme_view(const history::DriveView& view)
{
    return view.drive.kind == history::DriveKind::nvme;
}

// What may be acknowledged of a drive of this kind: an ATA drive's leading
// indicators, an NVMe drive's spare and error counts.
bool ackable(bool nvme, std::uint8_t id)
{
    return nvme ? history::is_nvme_ackable(id) : history::is_leading_indicator(id);
}

std::string label_of(bool nvme, std::uint8_t id)
{
    const history::NvmeField* f = nvme ? history::nvme_field(id) : nullptr;
    return f != nullptr ? std::string(f->name) + " (" + std::to_string(id) + ")" : "attribute " + std::to_string(id);
}

// Sets the baselines of `ids` (everything the drive reports that takes one
// when empty) to today's counts (an NVMe drive's spare: today's
// percentage) and lifts their latches; the lines said go to `said`. 2 for
// an id the drive does not report, 1 when the store cannot be written.
int ack_drive(history::HistoryStore& store, const history::DriveView& view, std::vector<std::uint8_t> ids,
              const AckOptions& options, std::string& said, std::ostream& err)
{
    const bool nvme = is_nvme_view(view);
    std::string error;
    if (ids.empty()) {
        for (const history::AttributeSample& a : view.drive.current) {
            if (ackable(nvme, a.id)) {
                ids.push_back(a.id);
            }
        }
    }
    for (const std::uint8_t id : ids) {
        const auto it = std::find_if(view.drive.current.begin(), view.drive.current.end(),
                                     [&](const history::AttributeSample& a) { return a.id == id; });
        if (it == view.drive.current.end()) {
            err << "platewise ack: the drive does not report " << label_of(nvme, id) << "\n";
            return 2;
        }
        history::StoredBaseline b;
        b.drive_id = view.drive.id;
        b.attribute_id = id;
        b.baseline = nvme ? history::nvme_baseline_value(*it) : history::indicator_count(it->raw);
        b.acked_ms = options.now_ms;
        b.acked_by = options.who;
        if (!history::set_baseline(store, b, error)) {
            err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
            return 1;
        }
        said += "  " + label_of(nvme, id) + ": baseline " + std::to_string(b.baseline);
        const auto latch = std::find_if(view.latches.begin(), view.latches.end(),
                                        [&](const history::StoredLatch& l) { return l.indicator == id; });
        if (latch != view.latches.end()) {
            const bool percent = nvme && id == history::kNvmeAvailableSpare;
            said += " (lifts DEGRADING: was " + std::to_string(latch->peak) + (percent ? "%" : "") + " since " +
                    history::time_text(latch->since_ms) + ")";
        }
        said += "\n";
    }
    // The latches of the acknowledged indicators go; the others stay.
    if (!history::clear_latches(store, view.drive.id, error)) {
        err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
        return 1;
    }
    for (const history::StoredLatch& l : view.latches) {
        if (std::find(ids.begin(), ids.end(), l.indicator) == ids.end() &&
            !history::set_latch(store, l, error)) {
            err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
            return 1;
        }
    }
    return 0;
}

}  // namespace

int run_ack(const AckOptions& options, std::ostream& out, std::ostream& err)
{
    if (const std::string problem = history::store_access_problem(options.store, true); !problem.empty()) {
        err << "platewise ack: " << problem << "\n";
        return 1;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(options.store, ec)) {
        err << "platewise ack: no history at " << path_text(options.store) << "\n";
        return 1;
    }
    history::HistoryStore store;
    std::string error;
    if (!history::open_history(store, options.store, false, error)) {
        err << "platewise ack: " << error << "\n";
        return 1;
    }
    history::ViewOptions view_options;
    view_options.now_ms = options.now_ms;
    std::vector<history::DriveView> views;
    if (!history::load_views(store, view_options, views, error)) {
        err << "platewise ack: " << error << "\n";
        return 1;
    }
    // Ids are checked against the kind of the drive once it is known (with
    // --all, each must fit one kind).
    for (const int id : options.ids) {
        const bool fits = id >= 1 && id <= 255 &&
                          (ackable(false, static_cast<std::uint8_t>(id)) || ackable(true, static_cast<std::uint8_t>(id)));
        if (!fits && options.all) {
            err << "platewise ack: " << id << " is neither a leading indicator (5, 187, 188, 197, 198) "
                   "nor an NVMe field that takes a baseline (34 available_spare, 37 media_errors, 38 "
                   "error_log_entries)\n";
            return 2;
        }
    }
    std::vector<const history::DriveView*> chosen;
    if (options.all) {
        // The drives of the last pass: those seen within the missing time
        // of the newest sighting (the store notes sightings once a minute).
        std::int64_t newest = INT64_MIN;
        for (const history::DriveView& v : views) {
            newest = std::max(newest, v.drive.last_seen_ms);
        }
        for (const history::DriveView& v : views) {
            if (v.drive.has_current && newest - v.drive.last_seen_ms <= history::kDefaultMissingAfterMs) {
                chosen.push_back(&v);
            }
        }
        if (chosen.empty()) {
            err << "platewise ack: the history holds no drive yet\n";
            return 1;
        }
    } else {
        chosen = history::find_views(views, options.serial, options.model);
        if (chosen.empty()) {
            err << "platewise ack: no drive with serial " << smart::sanitize_text(options.serial)
                << (options.model.empty() ? "" : " and model " + smart::sanitize_text(options.model))
                << " in the history\n";
            return 1;
        }
        if (chosen.size() > 1) {
            err << "platewise ack: " << chosen.size() << " drives have serial "
                << smart::sanitize_text(options.serial) << "; name one with --model:";
            for (const history::DriveView* v : chosen) {
                err << " \"" << v->drive.model << "\"";
            }
            err << "\n";
            return 2;
        }
    }
    history::Transaction t(store.db);
    if (!t.begin(error)) {
        err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
        return 1;
    }
    std::string text;
    for (const history::DriveView* view : chosen) {
        // Of the ids given, those that fit this drive's kind; with --all a
        // drive of the other kind is left as it is.
        const bool nvme = is_nvme_view(*view);
        std::vector<std::uint8_t> own;
        for (const int id : options.ids) {
            if (id >= 1 && id <= 255 && ackable(nvme, static_cast<std::uint8_t>(id))) {
                own.push_back(static_cast<std::uint8_t>(id));
            } else if (!options.all && nvme) {
                err << "platewise ack: field " << id << " of an NVMe drive takes no baseline (34 "
                       "available_spare, 37 media_errors, 38 error_log_entries)\n";
                return 2;
            } else if (!options.all) {
                err << "platewise ack: attribute " << id << " is not a leading indicator (5, 187, 188, "
                       "197, 198)\n";
                return 2;
            }
        }
        if (!options.ids.empty() && own.empty()) {
            continue;
        }
        std::string said;
        if (const int rc = ack_drive(store, *view, own, options, said, err); rc != 0) {
            return rc;
        }
        text += "Acknowledged for " + view->drive.model + " serial " + view->drive.serial + " by " +
                options.who + " at " + history::time_text(options.now_ms) + ":\n" +
                (said.empty() ? "  (the drive reports no leading indicator)\n" : said);
    }
    if (!t.commit(error)) {
        err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
        return 1;
    }
    out << text;
    return 0;
}

}  // namespace platewise
