// --save: timestamped names, unique within one second, whole files only.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "../../testservice/temp_dir.h"
#include "files/snapshot_store.h"
#include "../tool_test_support.h"

namespace {

TEST(SnapshotStore, SavesUnderUniqueTimestampedNames)
{
    TempDir dir;
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    std::set<std::string> names;
    for (int i = 0; i < 5; ++i) {
        std::string saved;
        std::string error;
        ASSERT_TRUE(platewise::save_snapshot(dir.path(), bytes, saved, error)) << error;
        names.insert(saved);
        EXPECT_EQ(tooltest::file_bytes(saved), bytes);
    }
    EXPECT_EQ(names.size(), 5u);
    const std::regex pattern(R"(snapshot-\d{8}-\d{6}-\d{3}\.bin)");
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
        EXPECT_TRUE(std::regex_match(entry.path().filename().string(), pattern)) << entry.path();
    }
    EXPECT_EQ(files, 5u) << "no temporary file is left behind";
}

TEST(SnapshotStore, UnwritableDirectoryFailsAndLeavesNothing)
{
    TempDir dir;
    std::string saved;
    std::string error;
    EXPECT_FALSE(platewise::save_snapshot(dir / "missing", std::vector<std::uint8_t>(10), saved, error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

}  // namespace
