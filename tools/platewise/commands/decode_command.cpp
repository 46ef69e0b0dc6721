// platewise decode.
#include "commands/decode_command.h"

#include <algorithm>
#include <memory>

#include "report/drive_report.h"
#include "files/input_file.h"
#include "report/json_report.h"
#include "report/nvme_json_report.h"
#include "report/nvme_text_report.h"
#include "report/text_report.h"

namespace platewise {

namespace {

std::string display_name(const std::string& file)
{
    return file == "-" ? "(standard input)" : smart::sanitize_text(file);
}

// An NVMe snapshot, known by its magic: whole and checked, or refused.
bool decode_nvme(const InputBytes& input, NvmeSnapshotReport& report, std::string& problem)
{
    if (input.size != smart::nvme::kSnapshotBytes) {
        problem = "refused: an NVMe snapshot of " + std::to_string(input.size) + " bytes; it must be " +
                  std::to_string(smart::nvme::kSnapshotBytes) + " bytes";
        return false;
    }
    auto snapshot = std::make_unique<smart::nvme::Snapshot>();
    if (!smart::nvme::split_nvme_snapshot(input.bytes, *snapshot, problem)) {
        problem = "refused: " + problem;
        return false;
    }
    report = report_nvme_snapshot(*snapshot);
    return true;
}

// An NVMe snapshot that lost its magic: "PWNVME" followed by anything but
// CR LF is what a text-mode copy leaves (CR LF turned into LF, or LF into
// CR LF), and the NVMe snapshot's exact size without the magic is one whose
// first bytes were overwritten. "" for anything else.
std::string damaged_nvme_problem(const InputBytes& input)
{
    const std::size_t name = 6;  // "PWNVME" before CR LF
    const bool named = input.bytes.size() >= name &&
                       std::equal(input.bytes.begin(), input.bytes.begin() + name, smart::nvme::kMagic);
    if (named) {
        return "refused: a damaged NVMe snapshot (" + std::to_string(input.size) +
               " bytes): its magic PWNVME is not followed by CR LF, as after a copy in text mode "
               "(CR LF turned into LF, or LF into CR LF); copy the file as binary: an NVMe snapshot is " +
               std::to_string(smart::nvme::kSnapshotBytes) + " bytes starting PWNVME CR LF";
    }
    if (input.size == smart::nvme::kSnapshotBytes) {
        return "refused: " + std::to_string(input.size) +
               " bytes, an NVMe snapshot's size, but without its magic PWNVME CR LF: a damaged NVMe "
               "snapshot, or not one";
    }
    return "";
}

// Decodes one ATA input into `report`; false with a message when refused.
bool decode_one(const InputBytes& input, const smart::AttributeDefinitionTable& table,
                SnapshotReport& report, std::string& problem)
{
    if (input.size == smart::kDriveSnapshotBytes) {
        auto snapshot = std::make_unique<smart::DriveSnapshot>();
        smart::split_snapshot(input.bytes, *snapshot);
        return report_snapshot(*snapshot, table, report, problem);
    }
    if (input.size == smart::kDriveRecordBytes) {
        auto record = std::make_unique<smart::DriveRecord>();
        smart::read_drive_record(input.bytes, *record);
        report = report_record(*record, table);
        return true;
    }
    problem = damaged_nvme_problem(input);
    if (problem.empty()) {
        problem = "refused: size is " + std::to_string(input.size) + " bytes; a snapshot is " +
                  std::to_string(smart::kDriveSnapshotBytes) + " bytes, a drive record " +
                  std::to_string(smart::kDriveRecordBytes) + " bytes and an NVMe snapshot " +
                  std::to_string(smart::nvme::kSnapshotBytes) + " bytes";
    }
    return false;
}

}  // namespace

int run_decode(const DecodeOptions& options, std::istream& standard_input, std::ostream& out,
               std::ostream& err)
{
    const smart::AttributeDefinitionTable table = definition_table(options.overrides);
    bool refused = false;
    for (const std::string& file : options.files) {
        const InputBytes input = read_input(file, standard_input);
        std::string problem;
        if (!input.opened) {
            err << "platewise decode: " << display_name(file) << ": " << input.error << "\n";
            refused = true;
            continue;
        }
        // An NVMe snapshot or a drive snapshot (or record): decoded and
        // shown alike.
        const bool nvme = smart::nvme::has_nvme_magic(input.bytes);
        NvmeSnapshotReport nvme_report;
        SnapshotReport report;
        if (!(nvme ? decode_nvme(input, nvme_report, problem) : decode_one(input, table, report, problem))) {
            err << "platewise decode: " << display_name(file) << ": " << problem << "\n";
            refused = true;
            continue;
        }
        if (options.json) {
            out << render_json_line(nvme ? nvme_report_to_json(nvme_report) : report_to_json(report));
        } else {
            const std::string title = display_name(file);
            out << (nvme ? render_nvme_text(nvme_report, title) : render_text(report, title));
        }
        out.flush();
    }
    return refused ? 1 : 0;
}

}  // namespace platewise
