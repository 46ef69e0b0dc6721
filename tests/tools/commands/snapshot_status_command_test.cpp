// platewise status without the history: the newest saved snapshot, found
// among what else a snapshot folder may hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "../../testservice/temp_dir.h"
#include "commands/snapshot_status_command.h"
#include "../tool_test_support.h"
#include "../../smart/nvme_test_pages.h"

namespace {

TEST(SnapshotStatusCommand, ShowsTheNewestSnapshotOrSaysWhyNot)
{
    TempDir dir;
    const std::filesystem::path folder(dir.path());
    const auto older = tooltest::snapshot_of({"FUJITSU_MHZ2160BH_G1--0084000A.rec"});
    const auto newest = tooltest::snapshot_of({"ST9100821AS--3.CME.rec"});
    tooltest::write_bytes((folder / "snapshot-20261207-101500-000.bin").string(), older);
    tooltest::write_bytes((folder / "snapshot-20261207-101505-001.bin").string(), newest);
    // Not snapshots, however their names sort: a store's temporary file, a
    // longer name, another file, a folder.
    tooltest::write_bytes((folder / ".snapshot-20991231-235959-999.bin.AbCdEf.tmp").string(), older);
    tooltest::write_bytes((folder / "snapshot-20991231-235959-999.bin.old").string(), older);
    tooltest::write_bytes((folder / "zz-notes.txt").string(), {1, 2, 3});
    std::filesystem::create_directory(folder / "snapshot-20991231-235959-998.bin");

    platewise::SnapshotStatusOptions options;
    options.directory = folder.string();
    std::ostringstream out;
    std::ostringstream err;
    // A checker's exit status: the newest snapshot holds a drive worn past
    // an old-age threshold (attribute 4), a warning.
    EXPECT_EQ(platewise::run_snapshot_status(options, out, err), 1) << err.str();
    EXPECT_NE(out.str().find("Newest snapshot snapshot-20261207-101505-001.bin in "), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("Drive 0: ST9100821AS"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("FUJITSU"), std::string::npos) << out.str();

    options.json = true;
    std::ostringstream json_out;
    EXPECT_EQ(platewise::run_snapshot_status(options, json_out, err), 1) << err.str();
    EXPECT_EQ(json_out.str().rfind("{", 0), 0u) << "the JSON document alone: " << json_out.str();
    options.json = false;
    options.brief = true;
    std::ostringstream brief_out;
    EXPECT_EQ(platewise::run_snapshot_status(options, brief_out, err), 1) << err.str();
    EXPECT_EQ(brief_out.str(), "PLATEWISE WARNING - 1 WARNING | drives=1 failing=0 "
                               "degrading=0 warning=1 missing=0 no_smart_data=0 failed_past=0\n");
    tooltest::write_bytes((folder / "snapshot-20261207-101506-000.bin").string(), older);
    std::ostringstream ok_out;
    EXPECT_EQ(platewise::run_snapshot_status(options, ok_out, err), 0) << err.str();
    EXPECT_EQ(ok_out.str(), "PLATEWISE OK - 1 drive OK | drives=1 failing=0 degrading=0 warning=0 missing=0 "
                           "no_smart_data=0 failed_past=0\n");
    options.brief = false;

    struct Row {
        const char* name;
        std::string directory;
        const char* error;
        const char* brief;  // the checker's line
    };
    TempDir empty;
    const Row rows[] = {
        {"no snapshot yet", empty.path(), "no snapshot in ", "PLATEWISE UNKNOWN - no snapshot in "},
        {"no such folder", (folder / "missing").string(), "cannot read ", "PLATEWISE UNKNOWN - cannot read "},
        {"the newest cut short", "", "snapshot-20261207-101510-000.bin in ",
         "PLATEWISE UNKNOWN - snapshot-20261207-101510-000.bin: refused: size is 3 bytes"},
    };
    tooltest::write_bytes((folder / "snapshot-20261207-101510-000.bin").string(), {2, 0, 0});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        options.directory = row.directory.empty() ? folder.string() : row.directory;
        std::ostringstream none;
        std::ostringstream why;
        EXPECT_EQ(platewise::run_snapshot_status(options, none, why), 3);
        EXPECT_EQ(none.str(), "");
        EXPECT_NE(why.str().find(row.error), std::string::npos) << why.str();
        options.brief = true;
        std::ostringstream brief;
        EXPECT_EQ(platewise::run_snapshot_status(options, brief, why), 3);
        EXPECT_EQ(brief.str().rfind(row.brief, 0), 0u) << brief.str();
        EXPECT_EQ(brief.str().find('\n'), brief.str().size() - 1) << "one line";
        options.brief = false;
    }
}

// The newest NVMe snapshot beside the drive snapshot: its drives shown too
// (a machine with NVMe drives only as well), the NVMe drive's ATA slot not
// listed as an unreadable drive, the slot nobody read says what failed.
TEST(SnapshotStatusCommand, ShowsTheNewestNvmeSnapshotBesideIt)
{
    TempDir dir;
    const std::filesystem::path folder(dir.path());
    // ATA: a disk in slot 0, slots 1 and 2 without IDENTIFY data.
    std::vector<std::uint8_t> ata = tooltest::snapshot_of({"ST9100821AS--3.CME.rec"});
    ata[0] = 4;
    auto nvme = nvmetest::empty_snapshot(4);
    nvmetest::put_answered(nvme->slots[1], "PW WIN NVME", "WN1");
    nvme->slots[2].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::failed);
    nvme->slots[2].results[0] = static_cast<std::uint8_t>(smart::nvme::RequestResult::driver_error);
    nvme->slots[2].results[1] = nvme->slots[2].results[2] = 0xFF;
    tooltest::write_bytes((folder / "nvme-20261207-101500-000.bin").string(), nvmetest::bytes_of(*nvmetest::empty_snapshot()));
    tooltest::write_bytes((folder / "nvme-20261207-101505-002.bin").string(), nvmetest::bytes_of(*nvme));

    struct Row {
        const char* what;
        bool with_ata;
        std::vector<const char*> shown;
        std::vector<const char*> not_shown;
        int status;         // the NVMe drive counts; so does the slot nobody read
                            // (the corpus disk is a WARNING: its counts are present)
        const char* brief;  // the performance data of --brief
    };
    const Row rows[] = {
        {"NVMe drives only", false,
         {"Newest NVMe snapshot nvme-20261207-101505-002.bin in ", "PW WIN NVME"}, {"Newest snapshot snapshot-"},
         0, "drives=1 failing=0 degrading=0 warning=0 missing=0 no_smart_data=0 failed_past=0"},
        {"both kinds", true,
         {"Newest snapshot snapshot-20261207-101505-001.bin in ", "Drive 0: ST9100821AS",
          "Newest NVMe snapshot nvme-20261207-101505-002.bin in ", "PW WIN NVME",
          "NO SMART DATA: slot 2: IDENTIFY DEVICE came back empty; NVMe Identify Controller driver_error"},
         {"Drive 1:"}, 1, "drives=3 failing=0 degrading=0 warning=1 missing=0 no_smart_data=1 failed_past=0"},
    };
    for (const Row& row : rows) {
        if (row.with_ata) {
            tooltest::write_bytes((folder / "snapshot-20261207-101505-001.bin").string(), ata);
        }
        platewise::SnapshotStatusOptions options;
        options.directory = folder.string();
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(platewise::run_snapshot_status(options, out, err), row.status) << row.what << ": " << err.str();
        for (const char* piece : row.shown) {
            EXPECT_NE(out.str().find(piece), std::string::npos) << row.what << ": " << piece << "\n" << out.str();
        }
        for (const char* piece : row.not_shown) {
            EXPECT_EQ(out.str().find(piece), std::string::npos) << row.what << ": " << piece << "\n" << out.str();
        }
        options.json = true;
        std::ostringstream json;
        EXPECT_EQ(platewise::run_snapshot_status(options, json, err), row.status) << row.what;
        EXPECT_NE(json.str().find("\"nvme\":"), std::string::npos) << json.str();
        EXPECT_NE(json.str().find("WN1"), std::string::npos) << json.str();
        options.json = false;
        options.brief = true;
        std::ostringstream brief;
        EXPECT_EQ(platewise::run_snapshot_status(options, brief, err), row.status) << row.what;
        EXPECT_NE(brief.str().find(std::string(" | ") + row.brief + "\n"), std::string::npos)
            << row.what << ": " << brief.str();
    }
}

}  // namespace
