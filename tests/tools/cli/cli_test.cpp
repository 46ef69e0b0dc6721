// The command line in-process: exit statuses, help, version and usage errors.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli.h"
#include "../../testservice/temp_dir.h"
#include "../tool_test_support.h"

namespace {

tooltest::CliRun run(std::vector<std::string> args)
{
    args.insert(args.begin(), "platewise");
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    tooltest::CliRun result;
    result.status = platewise::run_cli(static_cast<int>(argv.size()), argv.data(), in, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

const std::string kRecord = (tooltest::kDrives / "ST9160821AS--3.CLH.rec").string();

TEST(Cli, VersionAndHelp)
{
    tooltest::CliRun r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "platewise 0.1.0\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"listen", "--help"}, {"decode", "--help"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 0) << args.back();
        EXPECT_NE(r.out.find("Usage: platewise"), std::string::npos) << r.out;
    }
    r = run({"listen", "--help"});
    for (const char* option : {"--json", "--save", "--once", "--raw-format", "--endpoint", "--socket-mode",
                               "--read-timeout", "--peer-uid", "--file-mode", "--save-keep-days",
                               "--save-max-bytes"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
    EXPECT_NE(r.out.find("nothing is ever removed"), std::string::npos)
        << "--help says what --save does without retention";
}

TEST(Cli, UsageErrorsExitWith2)
{
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"frobnicate"},
        {"decode"},
        {"decode", "--bogus", kRecord},
        {"decode", "--raw-format", "9,Bogus", kRecord},
        {"decode", "--raw-format", "9,1,012345012345", kRecord},
        {"decode", "--raw-format", "0,Decimal", kRecord},
        {"decode", "--raw-format"},
        {"listen", "--raw-format", "9,NoSuchStyle"},
        {"listen", "--socket-mode", "999"},
        {"listen", "--socket-mode", "rw"},
        {"listen", "--save", "/nonexistent/platewise-dir"},
        {"listen", "--read-timeout", "0"},
        {"listen", "--file-mode", "0644"},
        {"listen", "--file-mode", "0700"},
        {"listen", "--file-mode", "0060"},
        {"listen", "--file-mode", "x"},
        {"listen", "--save-max-bytes", "0"},
        {"listen", "--save-max-bytes", "12Q"},
        {"listen", "--save-max-bytes", "99999999999999999999"},
        {"listen", "--save-max-bytes", "17179869184T"},
        {"listen", "--save-keep-days", "0"},
        {"listen", "--peer-uid", "bob"},
        {"listen", "--peer-uid", "-1"},
        {"listen", "extra"},
#if defined(PLATEWISE_HAVE_HISTORY)
        {"listen", "--missing-after", "0"},
        // The last-seen time reaches the file once a minute: a shorter wait
        // than two of those shows present drives as missing.
        {"listen", "--missing-after", "60"},
        {"listen", "--missing-after", "119"},
        {"status", "--missing-after", "60"},
        {"history"},
        {"history", "S1", "--since", "yesterday"},
        {"history", "S1", "--attribute", "0"},
        {"history", "S1", "--json", "--csv"},
        {"history", "import"},
        {"ack"},
        {"status", "extra"},
#endif
#if defined(PLATEWISE_HAVE_WEB)
        {"listen", "--web", "127.0.0.1:9946"},  // the page needs the history
        {"listen", "--history", "/nonexistent/h.db", "--web", "9946"},
        {"listen", "--history", "/nonexistent/h.db", "--web", "localhost:9946"},
        {"listen", "--history", "/nonexistent/h.db", "--web", "127.0.0.1:99999"},
#endif
    };
    for (const auto& args : rows) {
        const tooltest::CliRun r = run(args);
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(r.status, 2) << joined << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << joined;
        EXPECT_EQ(r.out, "") << joined;
    }
}

TEST(Cli, DecodeWithRepeatedOverrides)
{
    const tooltest::CliRun r =
        run({"decode", "--json", "--raw-format", "9,MinutesClock", "--raw-format", "194,99", kRecord});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"raw_text\":\"9h+16m (54934)\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"raw_text\":\"?\""), std::string::npos) << r.out;
}

#if defined(PLATEWISE_HAVE_HISTORY)
// The history's commands on a file that is not a history: a clear error,
// exit 1, the file untouched; listen does not start.
TEST(Cli, HistoryCommandsRefuseAFileThatIsNotAHistory)
{
    TempDir dir;
    const std::string path = dir / "not-a-history.db";
    tooltest::write_bytes(path, std::vector<std::uint8_t>(3000, 'x'));
    const std::vector<std::vector<std::string>> rows = {
        {"status", "--store", path},
        {"history", "S1", "--store", path},
        {"ack", "S1", "--store", path},
        {"history", "import", "--store", path, dir.path()},
        {"listen", "--endpoint", dir / "pipe", "--history", path},
    };
    for (const auto& args : rows) {
        const tooltest::CliRun r = run(args);
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("refusing the history " + path + ": not an SQLite database"), std::string::npos)
            << args[0] << ": " << r.err;
    }
    EXPECT_EQ(tooltest::file_bytes(path), std::vector<std::uint8_t>(3000, 'x'));
    EXPECT_FALSE(std::filesystem::exists(dir / "pipe"));
}
#endif

TEST(Cli, RefusedInputExitsWith1)
{
    const tooltest::CliRun r = run({"decode", kRecord, PLATEWISE_TEST_DATA});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Drive 0: ST9160821AS"), std::string::npos);
    EXPECT_NE(r.err.find(PLATEWISE_TEST_DATA), std::string::npos) << r.err;
}

}  // namespace
