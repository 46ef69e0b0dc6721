// listen --textfile: the file is replaced whole, never left half written,
// never world-readable, and never written through a planted link.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "metrics/metrics_textfile.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir()
    {
        path = fs::temp_directory_path() /
               ("platewise-metrics-textfile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
        fs::permissions(path, fs::perms::owner_all);
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

platewise::OutputDirectory open(const fs::path& path, std::uint32_t mode = platewise::kDefaultFileMode)
{
    platewise::OutputDirectory dir;
    std::string error;
    EXPECT_TRUE(platewise::open_output_directory(path.string(), mode, dir, error)) << error;
    return dir;
}

TEST(MetricsTextfile, WritesAndReplacesLeavingNoTemporary)
{
    TempDir dir;
    platewise::OutputDirectory out = open(dir.path);
    const fs::path file = dir.path / "platewise.prom";
    std::string error;
    ASSERT_TRUE(platewise::metrics::write_textfile(out, "platewise.prom", "a 1\n", error)) << error;
    EXPECT_EQ(read(file), "a 1\n");
    const std::string big(100000, 'x');
    ASSERT_TRUE(platewise::metrics::write_textfile(out, "platewise.prom", big, error)) << error;
    EXPECT_EQ(read(file), big);
    ASSERT_TRUE(platewise::metrics::write_textfile(out, "platewise.prom", "b 2\n", error)) << error;
    EXPECT_EQ(read(file), "b 2\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    platewise::close_output_directory(out);
}

TEST(MetricsTextfile, FailureSaysWhyAndLeavesNothing)
{
    TempDir dir;
    platewise::OutputDirectory missing;
    std::string error;
    EXPECT_FALSE(platewise::open_output_directory((dir.path / "missing").string(),
                                                  platewise::kDefaultFileMode, missing, error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;

    // The target is a directory: the rename fails, the temporary goes.
    platewise::OutputDirectory out = open(dir.path);
    fs::create_directories(dir.path / "taken.prom" / "inside");
    error.clear();
    EXPECT_FALSE(platewise::metrics::write_textfile(out, "taken.prom", "a 1\n", error));
    EXPECT_NE(error.find("rename"), std::string::npos) << error;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    // Only a plain name within the directory.
    EXPECT_FALSE(platewise::metrics::write_textfile(out, "../escape.prom", "a 1\n", error));
    platewise::close_output_directory(out);
}

#if !defined(_WIN32)
// A link planted at the temporary name the listener used to write through
// (PATH.tmp, opened with O_TRUNC) made root overwrite its target.
TEST(MetricsTextfile, APlantedLinkIsNeitherFollowedNorReplacedByTheMetrics)
{
    TempDir dir;
    fs::create_directory(dir.path / "out");
    fs::permissions(dir.path / "out", fs::perms::owner_all);
    const fs::path victim = dir.path / "victim";
    std::ofstream(victim) << "precious\n";
    fs::create_symlink(victim, dir.path / "out" / "platewise.prom.tmp");
    for (const std::uint32_t mode : {0600u, 0640u}) {
        platewise::OutputDirectory out = open(dir.path / "out", mode);
        std::string error;
        ASSERT_TRUE(platewise::metrics::write_textfile(out, "platewise.prom", "a 1\n", error)) << error;
        EXPECT_EQ(read(victim), "precious\n");
        EXPECT_EQ(read(dir.path / "out" / "platewise.prom"), "a 1\n");
        struct stat st{};
        ASSERT_EQ(::lstat((dir.path / "out" / "platewise.prom").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, mode);
        platewise::close_output_directory(out);
    }
}
#endif

}  // namespace
