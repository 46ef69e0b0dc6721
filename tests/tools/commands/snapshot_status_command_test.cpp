// platewise status without the history: the newest saved snapshot, found
// among what else a snapshot folder may hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "../../testservice/temp_dir.h"
#include "commands/snapshot_status_command.h"
#include "../tool_test_support.h"

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

}  // namespace
