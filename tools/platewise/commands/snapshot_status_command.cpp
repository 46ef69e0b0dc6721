// platewise status from the newest saved snapshot.
#include "commands/snapshot_status_command.h"

#include <filesystem>
#include <memory>
#include <sstream>
#include <system_error>

#include "cli/raw_format_option.h"
#include "commands/verdict_summary.h"
#include "events/verdict_tracker.h"
#include "files/input_file.h"
#include "files/path_text.h"
#include "report/drive_report.h"
#include "report/json_report.h"
#include "report/text_report.h"
#include "smart.h"

namespace platewise {

namespace {

// snapshot-YYYYMMDD-HHMMSS-NNN.bin, as the snapshot store names them.
bool is_snapshot_name(const std::string& name)
{
    const std::string shape = "snapshot-00000000-000000-000.bin";
    if (name.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (shape[i] == '0' ? !digit : name[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

int run_snapshot_status(const SnapshotStatusOptions& options, std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    const std::string shown = path_text(options.directory);
    std::error_code error;
    fs::directory_iterator entries(options.directory, error);
    if (error) {
        err << "platewise status: cannot read " << shown << ": " << error.message() << "\n";
        if (options.brief) {
            out << unknown_brief_line("cannot read " + shown + ": " + error.message());
        }
        return kStatusUnknown;
    }
    std::string newest;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (is_snapshot_name(name) && entry.is_regular_file(error) && name > newest) {
            newest = name;
        }
    }
    if (newest.empty()) {
        err << "platewise status: no snapshot in " << shown
            << " yet; is the listener running and the service sending?\n";
        if (options.brief) {
            out << unknown_brief_line("no snapshot in " + shown + " yet");
        }
        return kStatusUnknown;
    }
    // The name is plain ASCII (checked above); the folder may not be.
    const std::string path = (fs::path(options.directory) / newest).string();
    std::istringstream no_input;
    const InputBytes input = read_input(path, no_input);
    SnapshotReport report;
    std::string problem = input.opened ? "" : input.error;
    if (input.opened && input.size != smart::kDriveSnapshotBytes) {
        problem = "refused: size is " + std::to_string(input.size) + " bytes, not " +
                  std::to_string(smart::kDriveSnapshotBytes);
    } else if (input.opened) {
        auto snapshot = std::make_unique<smart::DriveSnapshot>();
        smart::split_snapshot(input.bytes, *snapshot);
        report_snapshot(*snapshot, definition_table({}), report, problem);
    }
    if (!problem.empty()) {
        err << "platewise status: " << newest << " in " << shown << ": " << problem << "\n";
        if (options.brief) {
            out << unknown_brief_line(newest + ": " + problem);
        }
        return kStatusUnknown;
    }
    VerdictSummary summary;
    for (const DriveReport& d : report.drives) {
        if (!d.model.empty() || !d.serial.empty()) {
            add_drive(summary, events::verdict_words(d.verdict), d.model, d.serial);
        }
    }
    if (options.brief) {
        out << brief_line(summary);
        out.flush();
        return summary_exit_status(summary);
    }
    if (options.json) {
        out << render_json_line(report_to_json(report));
    } else {
        out << render_text(report, "Newest snapshot " + newest + " in " + options.directory);
    }
    out.flush();
    return summary_exit_status(summary);
}

}  // namespace platewise
