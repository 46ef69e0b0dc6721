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
#include "report/nvme_json_report.h"
#include "report/nvme_report.h"
#include "report/nvme_text_report.h"
#include "nvme.h"
#include "report/text_report.h"
#include "smart.h"

namespace platewise {

namespace {

// PREFIX + YYYYMMDD-HHMMSS-NNN.bin, as the snapshot store names them.
bool is_saved_name(const std::string& name, const std::string& prefix)
{
    const std::string shape = prefix + "00000000-000000-000.bin";
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

// The ATA slots that IDENTIFY could not read: an NVMe drive's slot leaves
// the ATA report (the NVMe report shows the drive); the others say so.
void reconcile_slots(SnapshotReport& report, const NvmeSnapshotReport* nvme)
{
    std::vector<DriveReport> kept;
    for (DriveReport& d : report.drives) {
        if (!d.model.empty() || !d.serial.empty()) {
            kept.push_back(std::move(d));
            continue;
        }
        std::string detail = "IDENTIFY DEVICE came back empty";
        bool is_nvme = false;
        if (nvme != nullptr) {
            detail += " and the drive does not answer NVMe Identify";
            for (const NvmeDriveReport& n : nvme->drives) {
                if (n.slot != d.slot) {
                    continue;
                }
                is_nvme = n.controller_read;
                if (!is_nvme) {
                    detail = "IDENTIFY DEVICE came back empty; NVMe Identify Controller " +
                             std::string(smart::nvme::request_result_name(n.results[0]));
                }
            }
        }
        if (is_nvme) {
            continue;
        }
        VerdictReason r;
        r.kind = Verdict::no_smart_data;
        r.last_slot = static_cast<int>(d.slot);
        r.text = "slot " + std::to_string(d.slot) + ": " + detail;
        d.reasons = {r};
        compose_verdict(d);
        kept.push_back(std::move(d));
    }
    report.drives = std::move(kept);
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
    std::string newest_nvme;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (is_saved_name(name, "snapshot-") && entry.is_regular_file(error) && name > newest) {
            newest = name;
        }
        if (is_saved_name(name, "nvme-") && entry.is_regular_file(error) && name > newest_nvme) {
            newest_nvme = name;
        }
    }
    // The newest NVMe snapshot beside it (a machine may have only NVMe
    // drives): shown after the drive snapshot, its slots reconciled.
    NvmeSnapshotReport nvme_report;
    bool have_nvme = false;
    if (!newest_nvme.empty()) {
        std::istringstream none;
        const InputBytes bytes = read_input((fs::path(options.directory) / newest_nvme).string(), none);
        std::string problem = bytes.opened ? "" : bytes.error;
        auto nvme_snapshot = std::make_unique<smart::nvme::Snapshot>();
        if (bytes.opened && smart::nvme::split_nvme_snapshot(bytes.bytes, *nvme_snapshot, problem)) {
            nvme_report = report_nvme_snapshot(*nvme_snapshot);
            have_nvme = true;
        } else {
            err << "platewise status: " << newest_nvme << " in " << shown << ": " << problem << "\n";
            if (options.brief) {
                out << unknown_brief_line(newest_nvme + ": " + problem);
            }
            return kStatusUnknown;
        }
    }
    VerdictSummary summary;
    for (const NvmeDriveReport& n : nvme_report.drives) {
        if (n.controller_read) {
            add_drive(summary, events::nvme_verdict_words(n.verdict), n.model, n.serial);
        }
    }
    if (newest.empty() && have_nvme) {
        if (options.brief) {
            out << brief_line(summary);
            out.flush();
            return summary_exit_status(summary);
        }
        if (options.json) {
            out << render_json_line({{"drives", nlohmann::json::array()}, {"nvme", nvme_report_to_json(nvme_report)}});
        } else {
            out << render_nvme_text(nvme_report, "Newest NVMe snapshot " + newest_nvme + " in " + options.directory);
        }
        out.flush();
        return summary_exit_status(summary);
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
    // After reconciling, an unreadable slot counts as NO SMART DATA; a slot
    // holding an NVMe drive counts once, as that drive.
    reconcile_slots(report, have_nvme ? &nvme_report : nullptr);
    for (const DriveReport& d : report.drives) {
        add_drive(summary, events::verdict_words(d.verdict), d.model, d.serial);
    }
    if (options.brief) {
        out << brief_line(summary);
        out.flush();
        return summary_exit_status(summary);
    }
    if (options.json) {
        nlohmann::json doc = report_to_json(report);
        if (have_nvme) {
            doc["nvme"] = nvme_report_to_json(nvme_report);
        }
        out << render_json_line(doc);
    } else {
        out << render_text(report, "Newest snapshot " + newest + " in " + options.directory);
        if (have_nvme) {
            out << "\n"
                << render_nvme_text(nvme_report, "Newest NVMe snapshot " + newest_nvme + " in " + options.directory);
        }
    }
    out.flush();
    return summary_exit_status(summary);
}

}  // namespace platewise
