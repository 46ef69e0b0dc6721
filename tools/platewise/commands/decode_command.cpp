// platewise decode.
#include "commands/decode_command.h"

#include <memory>

#include "report/drive_report.h"
#include "files/input_file.h"
#include "report/json_report.h"
#include "report/text_report.h"

namespace platewise {

namespace {

std::string display_name(const std::string& file)
{
    return file == "-" ? "(standard input)" : smart::sanitize_text(file);
}

// Decodes one input into `report`; false with a message when refused.
bool decode_one(const std::string& file, std::istream& standard_input,
                const smart::AttributeDefinitionTable& table, SnapshotReport& report,
                std::string& problem)
{
    const InputBytes input = read_input(file, standard_input);
    if (!input.opened) {
        problem = input.error;
        return false;
    }
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
    problem = "refused: size is " + std::to_string(input.size) + " bytes; a snapshot is " +
              std::to_string(smart::kDriveSnapshotBytes) + " bytes and a drive record " +
              std::to_string(smart::kDriveRecordBytes) + " bytes";
    return false;
}

}  // namespace

int run_decode(const DecodeOptions& options, std::istream& standard_input, std::ostream& out,
               std::ostream& err)
{
    const smart::AttributeDefinitionTable table = definition_table(options.overrides);
    bool refused = false;
    for (const std::string& file : options.files) {
        SnapshotReport report;
        std::string problem;
        if (!decode_one(file, standard_input, table, report, problem)) {
            err << "platewise decode: " << display_name(file) << ": " << problem << "\n";
            refused = true;
            continue;
        }
        if (options.json) {
            out << render_json_line(report_to_json(report));
        } else {
            out << render_text(report, display_name(file));
        }
        out.flush();
    }
    return refused ? 1 : 0;
}

}  // namespace platewise
