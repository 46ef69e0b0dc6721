// platewise ack.
#include "commands/ack_command.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "files/path_text.h"
#include "history/history_view.h"
#include "history/store_access.h"
#include "history/verdict_rules.h"

namespace platewise {

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
    const auto found = history::find_views(views, options.serial, options.model);
    if (found.empty()) {
        err << "platewise ack: no drive with serial " << smart::sanitize_text(options.serial)
            << (options.model.empty() ? "" : " and model " + smart::sanitize_text(options.model))
            << " in the history\n";
        return 1;
    }
    if (found.size() > 1) {
        err << "platewise ack: " << found.size() << " drives have serial "
            << smart::sanitize_text(options.serial) << "; name one with --model:";
        for (const history::DriveView* v : found) {
            err << " \"" << v->drive.model << "\"";
        }
        err << "\n";
        return 2;
    }
    const history::DriveView& view = *found.front();
    std::vector<std::uint8_t> ids;
    for (const int id : options.ids) {
        if (id < 1 || id > 255 || !history::is_leading_indicator(static_cast<std::uint8_t>(id))) {
            err << "platewise ack: attribute " << id << " is not a leading indicator (5, 187, 188, "
                   "197, 198)\n";
            return 2;
        }
        ids.push_back(static_cast<std::uint8_t>(id));
    }
    if (ids.empty()) {
        for (const history::AttributeSample& a : view.drive.current) {
            if (history::is_leading_indicator(a.id)) {
                ids.push_back(a.id);
            }
        }
    }
    history::Transaction t(store.db);
    if (!t.begin(error)) {
        err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
        return 1;
    }
    std::string said;
    for (const std::uint8_t id : ids) {
        const auto it = std::find_if(view.drive.current.begin(), view.drive.current.end(),
                                     [&](const history::AttributeSample& a) { return a.id == id; });
        if (it == view.drive.current.end()) {
            err << "platewise ack: the drive does not report attribute " << int{id} << "\n";
            return 2;
        }
        history::StoredBaseline b;
        b.drive_id = view.drive.id;
        b.attribute_id = id;
        b.baseline = history::indicator_count(it->raw);
        b.acked_ms = options.now_ms;
        b.acked_by = options.who;
        if (!history::set_baseline(store, b, error)) {
            err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
            return 1;
        }
        said += "  attribute " + std::to_string(id) + ": baseline " + std::to_string(b.baseline) + "\n";
    }
    if (!t.commit(error)) {
        err << "platewise ack: cannot write " << options.store << ": " << error << "\n";
        return 1;
    }
    out << "Acknowledged for " << view.drive.model << " serial " << view.drive.serial << " by "
        << options.who << " at " << history::time_text(options.now_ms) << ":\n"
        << (said.empty() ? "  (the drive reports no leading indicator)\n" : said);
    return 0;
}

}  // namespace platewise
