// The command line in-process: exit statuses, help, version and usage errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#if defined(PLATEWISE_HAVE_WEB) && !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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
    EXPECT_EQ(r.out.rfind("platewise 0.1.0 (commit ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 2), ")\n") << r.out;
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
        {"history"},
        {"history", "S1", "--since", "yesterday"},
        {"history", "S1", "--attribute", "0"},
        {"history", "S1", "--json", "--csv"},
        {"history", "import"},
        {"ack"},
        {"events", "--since", "yesterday"},
        {"events", "extra"},
#endif
#if defined(PLATEWISE_HAVE_NOTIFY)
        {"listen", "--notify-mail", "root\nBcc: x@example.org"},
        {"listen", "--notify-mail", "-oQ/tmp"},
        {"listen", "--notify-mail", ""},
        {"listen", "--notify-exec", "relative/script"},
        {"listen", "--notify-exec", "/nonexistent/platewise-script"},
        {"listen", "--notify-exec", "/"},
        {"listen", "--notify-repeat", "daily"},
        {"listen", "--notify-repeat", "-1h"},
        {"listen", "--notify-timeout", "0"},
        {"listen", "--notify-mail", "root", "--notify-sendmail", "smtp://mail.example.org"},
        {"listen", "--notify-mail", "root", "--notify-sendmail", "smtp://localhost:0"},
        {"listen", "--notify-mail", "root", "--notify-sendmail", "sendmail"},
        {"listen", "--config", "/nonexistent/platewise-listen.conf"},
        {"notify"},
        {"notify", "--test", "--notify-mail", "a b"},
        {"notify", "--test", "--config", "/nonexistent/platewise-listen.conf"},
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

// A mistyped command is named as unknown with the nearest one, not taken
// for a missing command; a word far from every command gets the list alone.
TEST(Cli, UnknownCommandsSuggestTheNearest)
{
    struct Row {
        const char* typed;
        const char* nearest;  // nullptr: no suggestion
    };
    const Row rows[] = {
        {"dekode", "decode"},  {"stauts", "status"}, {"lisen", "listen"},
        {"Decode", "decode"},  {"decod", "decode"},  {"listenn", "listen"},
        {"frobnicate", nullptr}, {"x", nullptr},
#if defined(PLATEWISE_HAVE_HISTORY)
        {"histroy", "history"}, {"akc", "ack"},
#endif
    };
    for (const Row& row : rows) {
        const tooltest::CliRun r = run({row.typed, "--json"});
        EXPECT_EQ(r.status, 2) << row.typed;
        EXPECT_EQ(r.out, "") << row.typed;
        EXPECT_NE(r.err.find(std::string("unknown command \"") + row.typed + "\""), std::string::npos)
            << row.typed << ": " << r.err;
        EXPECT_EQ(r.err.find("A subcommand is required"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Commands: listen"), std::string::npos) << r.err;
        if (row.nearest != nullptr) {
            EXPECT_NE(r.err.find(std::string("did you mean \"") + row.nearest + "\"?"), std::string::npos)
                << row.typed << ": " << r.err;
        } else {
            EXPECT_EQ(r.err.find("did you mean"), std::string::npos) << row.typed << ": " << r.err;
        }
    }
    // A drive's text in a command name is shown sanitised.
    const tooltest::CliRun hostile = run({"dec\node"});
    EXPECT_NE(hostile.err.find("unknown command \"dec\\x0aode\""), std::string::npos) << hostile.err;
}

// A checker runs status and reads its exit status: a mistake in the
// command line is UNKNOWN (3), not the CRITICAL a usage error's 2 would say.
TEST(Cli, StatusUsageErrorsAreUnknownToACheckerNotCritical)
{
    const std::vector<std::vector<std::string>> rows = {
        {"status", "extra"},
        {"status", "--no-such-option"},
#if defined(PLATEWISE_HAVE_HISTORY)
        {"status", "--brief", "--json"},
        {"status", "--missing-after", "0"},
        {"status", "--missing-after", "60"},
        {"status", "--store"},
#else
        {"status", "--snapshots"},
#endif
    };
    for (const auto& args : rows) {
        const tooltest::CliRun r = run(args);
        EXPECT_EQ(r.status, 3) << args.back() << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
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
    struct Row {
        std::vector<std::string> args;
        int status;  // status: 3, the monitoring-plugins "unknown"
    };
    const std::vector<Row> rows = {
        {{"status", "--store", path}, 3},
        {{"status", "--brief", "--store", path}, 3},
        {{"events", "--store", path}, 1},
        {{"history", "S1", "--store", path}, 1},
        {{"ack", "S1", "--store", path}, 1},
        {{"history", "import", "--store", path, dir.path()}, 1},
        {{"listen", "--endpoint", dir / "pipe", "--history", path}, 1},
    };
    for (const auto& [args, status] : rows) {
        const tooltest::CliRun r = run(args);
        EXPECT_EQ(r.status, status) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("refusing the history " + path + ": not an SQLite database"), std::string::npos)
            << args[0] << ": " << r.err;
    }
    EXPECT_EQ(tooltest::file_bytes(path), std::vector<std::uint8_t>(3000, 'x'));
    EXPECT_FALSE(std::filesystem::exists(dir / "pipe"));
}

// A directory given where the history file goes is named as one, with the
// file to give instead (SQLite itself says "disk I/O error").
TEST(Cli, HistoryCommandsSayWhenTheStoreIsADirectory)
{
    TempDir dir;
    const std::vector<std::vector<std::string>> rows = {
        {"status", "--store", dir.path()},
        {"history", "S1", "--store", dir.path()},
        {"ack", "S1", "--store", dir.path()},
        {"history", "import", "--store", dir.path(), dir.path()},
        {"listen", "--endpoint", dir / "pipe", "--history", dir.path()},
    };
    for (const auto& args : rows) {
        const tooltest::CliRun r = run(args);
        // status speaks to checkers: a store it cannot read is UNKNOWN.
        EXPECT_EQ(r.status, args[0] == "status" ? 3 : 1) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find(dir.path() + " is a directory, not a history file; give the file in it (such as " +
                             (std::filesystem::path(dir.path()) / "history.db").string() + ")"),
                  std::string::npos)
            << args[0] << ": " << r.err;
        EXPECT_EQ(r.err.find("disk I/O error"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "pipe"));
}
#endif

#if defined(PLATEWISE_HAVE_WEB)
// A port another program holds: the listener says the address is in use
// (the servers themselves say "null context" or "Failed to setup server ports").
TEST(Cli, BusyPortsAreNamedAsInUse)
{
#if defined(_WIN32)
    GTEST_SKIP() << "holds the port with a POSIX socket and listens on a Unix socket endpoint";
#else
    TempDir dir;
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const std::vector<std::vector<std::string>> rows = {
        {"listen", "--endpoint", dir / "pipe", "--metrics", busy},
        {"listen", "--endpoint", dir / "pipe", "--history", dir / "h.db", "--web", busy},
    };
    for (const auto& args : rows) {
        const tooltest::CliRun r = run(args);
        EXPECT_EQ(r.status, 1) << args[3] << ": " << r.err;
        EXPECT_NE(r.err.find("the address " + busy + " is in use"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("choose another port"), std::string::npos) << r.err;
    }
    ::close(holder);
    EXPECT_FALSE(std::filesystem::exists(dir / "pipe"));
#endif
}
#endif

TEST(Cli, RefusedInputExitsWith1)
{
    const tooltest::CliRun r = run({"decode", kRecord, PLATEWISE_TEST_DATA});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Drive 0: ST9160821AS"), std::string::npos);
    EXPECT_NE(r.err.find(PLATEWISE_TEST_DATA), std::string::npos) << r.err;
}

#if defined(PLATEWISE_HAVE_NOTIFY)
TEST(Cli, ConfigFileErrorsNameTheFileTheLineAndTheKey)
{
    TempDir dir;
    const std::string path = dir / "listen.conf";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"# mail\nnotify-mail = root\n\nbogus = 1\n", path + ":4: unknown key 'bogus'"},
        {"notify-mail = root\nnotify-mail = \"root\\nBcc: x\"\n", path + ":1: notify-mail: "},
        {"[listen]\nread-timeout = abc\n", path + ":2: listen.read-timeout: "},
        {"\n\nread_timeout = 0\n", path + ":3: read-timeout: "},
        {"[listen]\n[other]\nfrob = 1\n", path + ":3: unknown key 'other.frob'"},
        {"notify-repeat = weekly\n", path + ":1: notify-repeat: "},
        {"config = other.conf\n", path + ":1: unknown key 'config'"},
        {"help = true\n", path + ":1: unknown key 'help'"},
        {"socket-mode = 0600\nsave-keep-days = 0\n", path + ":2: save-keep-days: "},
        {"read-timeout =\n", path + ":1: read-timeout: a value is required"},
        // A value with commas of its own, quoted or not, is one value.
        {"raw-format = 9,MinutesClock\nraw-format = \"194,MinutesClock\"\nraw-format = 9,Bogus\n",
         "--raw-format 9,Bogus: "},
        {"# flags and values\nonce = true\njson = false\nnotify-mail = \"\"\n", path + ":4: notify-mail: "},
    };
    for (const auto& [text, expected] : rows) {
        std::ofstream(path) << text;
        const tooltest::CliRun r = run({"listen", "--config", path, "--endpoint", dir / "never"});
        EXPECT_EQ(r.status, 2) << text << r.err;
        EXPECT_NE(r.err.find(expected), std::string::npos) << text << "\n" << r.err;
        EXPECT_EQ(r.out, "") << text;
        EXPECT_FALSE(std::filesystem::exists(dir / "never")) << text;
    }
    // A value of the file is used (here refused after reading: the socket
    // mode), and the command line wins over it.
    std::ofstream(path) << "socket-mode = 999\n";
    EXPECT_NE(run({"listen", "--config", path}).err.find("--socket-mode 999"), std::string::npos);
    // An option whose value is optional, set as a flag (as the packaged file
    // sets the history), is taken: the first refusal is the later line's.
    std::ofstream(path) << "history = true\nsocket-mode = 999\n";
    const tooltest::CliRun flagged = run({"listen", "--config", path});
    EXPECT_NE(flagged.err.find("--socket-mode 999"), std::string::npos) << flagged.err;
    EXPECT_EQ(flagged.err.find("history"), std::string::npos) << flagged.err;
    std::ofstream(path) << "notify-timeout = 0\n";
    EXPECT_EQ(run({"listen", "--config", path, "--notify-timeout", "5", "--endpoint", dir / "never",
                   "--notify-repeat", "x"})
                  .err.find("notify-timeout"),
              std::string::npos);
}

TEST(Cli, NotifyTestSaysForEachChannelWhetherItWasDelivered)
{
    TempDir dir;
    const std::string sendmail = dir / "sendmail";
    std::ofstream(sendmail) << "#!/bin/sh\n[ \"$*\" = \"-oi -t\" ] || exit 64\ncat > " << dir / "mail.txt"
                            << "\n";
    std::ofstream(dir / "fails") << "#!/bin/sh\necho no route to the pager\nexit 3\n";
    std::ofstream(dir / "works") << "#!/bin/sh\ncat > " << dir / "event.json" << "\n";
    for (const char* name : {"sendmail", "fails", "works"}) {
        std::filesystem::permissions(dir / name, std::filesystem::perms::owner_all);
    }
    const std::string conf = dir / "listen.conf";
    // The listener's file: its own keys are passed over by notify.
    std::ofstream(conf) << "endpoint = " << dir / "sock" << "\nhistory\nread-timeout = 5\n"
                        << "notify-mail = root\nnotify-sendmail = " << sendmail << "\n";
    const std::string flagged = dir / "flagged.conf";
    std::ofstream(flagged) << "[listen]\nnotify-mail = root\nnotify-sendmail = " << sendmail << "\ntest = true\n";
    const std::string bare = dir / "bare.conf";
    std::ofstream(bare) << "notify-mail = root\nnotify-sendmail = " << sendmail << "\ntest\n";
    const std::vector<std::tuple<std::vector<std::string>, int, std::vector<std::string>>> rows = {
        {{"notify", "--test", "--config", conf}, 0, {"mail:root: delivered\n"}},
        // A flag in the file: given a value, or alone.
        {{"notify", "--config", flagged}, 0, {"mail:root: delivered\n"}},
        {{"notify", "--config", bare}, 0, {"mail:root: delivered\n"}},
        {{"notify", "--test", "--config", conf, "--notify-exec", dir / "fails", "--notify-exec", dir / "works"},
         1,
         {"mail:root: delivered\n", "exec:" + dir / "fails" + ": NOT delivered (exited with 3)\n",
          "  no route to the pager\n", "exec:" + dir / "works" + ": delivered\n"}},
        {{"notify", "--test", "--notify-mail", "root", "--notify-sendmail", dir / "none"},
         1,
         {"mail:root: NOT delivered (could not be run: "}},
        // Over SMTP to a port of this machine where no transport listens.
        {{"notify", "--test", "--notify-mail", "root", "--notify-sendmail", "smtp://127.0.0.1:1"},
         1,
         {"mail:root: NOT delivered (cannot connect to the mail server at 127.0.0.1:1: "}},
        {{"notify", "--test"}, 1, {}},
    };
    for (const auto& [args, status, pieces] : rows) {
        const tooltest::CliRun r = run(args);
        EXPECT_EQ(r.status, status) << r.out << r.err;
        for (const std::string& p : pieces) {
            EXPECT_NE(r.out.find(p), std::string::npos) << p << "\n" << r.out;
        }
    }
    const std::string mail = read_file(dir / "mail.txt");
    EXPECT_NE(mail.find("\nSubject: [platewise] "), std::string::npos) << mail;
    EXPECT_NE(mail.find(": test notification\n"), std::string::npos) << mail;
    EXPECT_NE(read_file(dir / "event.json").find("\"kind\":\"test\""), std::string::npos);
}
#endif

}  // namespace
