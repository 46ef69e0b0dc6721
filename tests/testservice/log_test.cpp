#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "platform/simulated.h"
#include "service.h"
#include "temp_dir.h"

namespace {

class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        setenv("APPDATA", dir.path().c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("APPDATA");
        sim::reset();
    }
    std::string log_path() const { return dir / "platewise_s.log"; }
    TempDir dir;
};

TEST_F(Log, AppendsTimestampedLinesInCallOrder)
{
    ASSERT_EQ(write_log("Monitoring started."), 0);
    ASSERT_EQ(write_log("second"), 0);
    const std::string text = read_file(log_path());
    const std::regex lines(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d> Monitoring started\.\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d> second\n)");
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
}

// Whole lines at fixed times: every field keeps its width, also where the
// clock turns over; a clock that fails still leaves the line.
TEST_F(Log, TimestampsAreFixedWidthAtEveryTime)
{
    struct Row {
        platform::LocalTime time;
        bool clock_fails;
        const char* line;
    };
    const Row rows[] = {
        {{2026, 1, 2, 3, 4, 5}, false, "2026-01-02 03:04:05> one-digit fields\n"},
        {{2026, 10, 11, 12, 13, 14}, false, "2026-10-11 12:13:14> two-digit fields\n"},
        {{2026, 12, 7, 0, 0, 0}, false, "2026-12-07 00:00:00> midnight\n"},
        {{2026, 12, 31, 23, 59, 59}, false, "2026-12-31 23:59:59> last second of the year\n"},
        {{2027, 1, 1, 0, 0, 0}, false, "2027-01-01 00:00:00> first second of the next\n"},
        {{2028, 2, 29, 9, 9, 9}, false, "2028-02-29 09:09:09> leap day\n"},
        {{2026, 1, 2, 3, 4, 5}, true, "   0-00-00 00:00:00> clock failed\n"},
    };
    std::string expected;
    for (const Row& row : rows) {
        sim::fix_clock(row.time);
        sim::fail_clock(row.clock_fails);
        const std::string line = row.line;
        ASSERT_EQ(write_log(line.substr(21, line.size() - 22).c_str()), 0) << row.line;
        expected += line;
    }
    EXPECT_EQ(read_file(log_path()), expected);
}

TEST_F(Log, WritesTheTextUnchangedWhateverItsLength)
{
    const std::string long_text(5000, 'x');
    ASSERT_EQ(write_log(long_text.c_str()), 0);
    ASSERT_EQ(write_log("100% [\\\\.\\x] %s %n"), 0);
    const std::string text = read_file(log_path());
    EXPECT_NE(text.find("> " + long_text + "\n"), std::string::npos);
    EXPECT_NE(text.find("> 100% [\\\\.\\x] %s %n\n"), std::string::npos);
}

TEST_F(Log, NothingIsWrittenWhereAppDataNamesNoUsableDirectory)
{
    struct Row {
        const char* name;
        bool set;
        std::string value;
    };
    const Row rows[] = {
        {"unset", false, ""},
        {"empty", true, ""},
        {"missing directory", true, dir / "missing"},
        {"path too long", true, dir.path() + "/" + std::string(300, 'd')},
        {"a file, not a directory", true, dir / "plain"},
    };
    std::ofstream(dir / "plain") << "x";
    for (const Row& row : rows) {
        if (row.set) {
            setenv("APPDATA", row.value.c_str(), 1);
        } else {
            unsetenv("APPDATA");
        }
        EXPECT_EQ(write_log("lost"), -1) << row.name;
    }
    EXPECT_FALSE(std::filesystem::exists(log_path()));
    EXPECT_FALSE(std::filesystem::exists("/platewise_s.log"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST_F(Log, LongestPathThatFitsIsUsed)
{
    // 259 characters is the most the path may have.
    const std::string suffix = "/platewise_s.log";
    std::string deep = dir.path();
    const std::size_t target = 259 - suffix.size();
    while (deep.size() < target) {
        const std::size_t room = target - deep.size();
        deep += room == 1 ? std::string("a") : "/" + std::string(std::min<std::size_t>(room - 1, 100), 'a');
    }
    ASSERT_EQ(deep.size() + suffix.size(), 259u);
    std::filesystem::create_directories(deep);
    setenv("APPDATA", deep.c_str(), 1);
    EXPECT_EQ(write_log("fits"), 0);
    EXPECT_TRUE(std::filesystem::exists(deep + suffix));

    const std::string one_more = deep + "b";
    std::filesystem::create_directories(one_more);
    setenv("APPDATA", one_more.c_str(), 1);
    EXPECT_EQ(write_log("does not fit"), -1);
    EXPECT_FALSE(std::filesystem::exists(one_more + suffix));
}

}  // namespace
