// listen --textfile: the file is replaced whole, never left half written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "metrics/metrics_textfile.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir()
    {
        path = fs::temp_directory_path() /
               ("platewise-metrics-textfile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(MetricsTextfile, WritesAndReplacesLeavingNoTemporary)
{
    TempDir dir;
    const fs::path file = dir.path / "platewise.prom";
    std::string error;
    ASSERT_TRUE(platewise::metrics::write_textfile(file.string(), "a 1\n", error)) << error;
    EXPECT_EQ(read(file), "a 1\n");
    const std::string big(100000, 'x');
    ASSERT_TRUE(platewise::metrics::write_textfile(file.string(), big, error)) << error;
    EXPECT_EQ(read(file), big);
    ASSERT_TRUE(platewise::metrics::write_textfile(file.string(), "b 2\n", error)) << error;
    EXPECT_EQ(read(file), "b 2\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(MetricsTextfile, FailureSaysWhyAndLeavesNothing)
{
    TempDir dir;
    const fs::path file = dir.path / "missing" / "platewise.prom";
    std::string error;
    EXPECT_FALSE(platewise::metrics::write_textfile(file.string(), "a 1\n", error));
    EXPECT_NE(error.find("platewise.prom.tmp"), std::string::npos) << error;

    // The target is a directory: the rename fails, the temporary goes.
    const fs::path directory = dir.path / "taken.prom";
    fs::create_directories(directory / "inside");
    error.clear();
    EXPECT_FALSE(platewise::metrics::write_textfile(directory.string(), "a 1\n", error));
    EXPECT_NE(error.find("rename"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(directory.string() + ".tmp"));
}

}  // namespace
