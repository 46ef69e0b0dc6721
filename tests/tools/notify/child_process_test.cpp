// Programs run for notifications: input, output, exit statuses, a program
// that hangs (killed with what it started) and one that cannot be run.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

#include "../../testservice/temp_dir.h"
#include "notify/child_process.h"
#include "notify_test_support.h"

namespace {

using platewise::notify::ChildRequest;
using platewise::notify::ChildResult;
using platewise::notify::run_child;

std::int64_t elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

TEST(ChildProcess, OutcomesOfPrograms)
{
    TempDir dir;
    struct Row {
        const char* name;
        std::string body;
        std::string input;
        bool succeeded;
        int exit_code;
        bool timed_out;
        std::string output;
    };
    const std::vector<Row> rows = {
        {"echoes its input and environment", "cat; echo \"$PLATEWISE_X\"", "hello\n", true, 0, false,
         "hello\nvalue\n"},
        {"exits non-zero", "echo refused >&2; exit 75", "", false, 75, false, "refused\n"},
        {"closes its input unread", "exec 0<&-; echo done", std::string(1 << 20, 'x'), true, 0, false,
         "done\n"},
        {"hangs", "sleep 30", "", false, -1, true, ""},
        {"hangs in a child of its own", "sleep 30 & wait", "", false, -1, true, ""},
        {"hangs after its output", "echo partial; sleep 30", "", false, -1, true, "partial\n"},
    };
    for (const Row& row : rows) {
        ChildRequest request;
        request.argv = {notifytest::script(dir / "p.sh", row.body)};
        request.environment = {"PATH=/usr/bin:/bin", "PLATEWISE_X=value"};
        request.input = row.input;
        request.time_limit_ms = 500;
        const auto start = std::chrono::steady_clock::now();
        const ChildResult r = run_child(request);
        EXPECT_TRUE(r.started) << row.name;
        EXPECT_EQ(r.succeeded(), row.succeeded) << row.name;
        EXPECT_EQ(r.exit_code, row.exit_code) << row.name;
        EXPECT_EQ(r.timed_out, row.timed_out) << row.name;
        EXPECT_EQ(r.output, row.output) << row.name;
        // A hanging program takes its limit and a moment, not 30 s.
        EXPECT_LT(elapsed_ms(start), 5000) << row.name;
        if (row.timed_out) {
            EXPECT_EQ(r.signal, SIGKILL) << row.name;
        }
    }
}

TEST(ChildProcess, ProgramsThatCannotRun)
{
    TempDir dir;
    std::ofstream(dir / "not-executable") << "#!/bin/sh\nexit 0\n";
    for (const std::string& program : {dir / "missing", dir / "not-executable", dir.path(), std::string()}) {
        ChildRequest request;
        request.argv = {program};
        const ChildResult r = run_child(request);
        EXPECT_FALSE(r.started) << program;
        EXPECT_FALSE(r.succeeded()) << program;
        EXPECT_FALSE(r.error.empty()) << program;
        EXPECT_NE(r.describe().find("could not be run"), std::string::npos) << program;
    }
}

TEST(ChildProcess, OutputIsCapped)
{
    TempDir dir;
    ChildRequest request;
    request.argv = {notifytest::script(dir / "p.sh", "head -c 200000 /dev/zero")};
    request.environment = {"PATH=/usr/bin:/bin"};
    const ChildResult r = run_child(request);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.output.size(), platewise::notify::kMaxChildOutput);
}

TEST(ChildProcess, InheritedEnvironmentDropsStaleVariables)
{
    ::setenv("PLATEWISE_SERIAL", "stale", 1);
    const std::vector<std::string> env = platewise::notify::inherited_environment("PLATEWISE_");
    ::unsetenv("PLATEWISE_SERIAL");
    for (const std::string& e : env) {
        EXPECT_NE(e.rfind("PLATEWISE_", 0), 0u) << e;
    }
    EXPECT_FALSE(env.empty());
}

}  // namespace
