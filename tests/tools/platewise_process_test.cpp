// The platewise program as a process: exit statuses of decode, listen ended
// by signals, and listen --once --json against the real testservice on the
// real endpoint, in a /run of the test's own (root only).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../testservice/bound_socket.h"
#include "../testservice/private_run.h"
#include "../testservice/temp_dir.h"
#include "endpoint/unix_connect.h"
#include "service.h"
#include "tool_test_support.h"

extern char** environ;

namespace {

using nlohmann::json;

struct Process {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
};

// Starts `argv` with standard output and error going to files in `dir`
// (and standard input from `input` when given).
Process spawn(const std::vector<std::string>& args, const TempDir& dir, const std::string& tag,
              const std::string& input = "", char* const* envp = environ)
{
    Process p;
    p.out_path = dir / (tag + ".out");
    p.err_path = dir / (tag + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!input.empty()) {
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    if (::posix_spawn(&p.pid, argv[0], &actions, nullptr, argv.data(), envp) != 0) {
        p.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return p;
}

// The exit status, or nullopt (and the process killed) after `seconds`.
std::optional<int> wait_exit(pid_t pid, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) {
                return WEXITSTATUS(status);
            }
            return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool wait_for_socket(const std::string& path, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat st{};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// send_snapshot_to, retried while the listener is still between bind and listen.
bool send_when_ready(const std::string& path, const DriveSnapshot* message)
{
    for (int i = 0; i < 200; ++i) {
        if (send_snapshot_to(path.c_str(), message)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::unique_ptr<DriveSnapshot> service_snapshot(const std::vector<std::string>& files)
{
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of(files);
    auto message = std::make_unique<DriveSnapshot>();
    std::memcpy(message.get(), bytes.data(), sizeof *message);
    return message;
}

const std::string kBinary = PLATEWISE_BINARY;

TEST(PlatewiseProcess, DecodeExitStatuses)
{
    TempDir dir;
    const std::string record = (tooltest::kDrives / "WDC_WD2500JB--00REA0-20.00K20.rec").string();
    tooltest::write_bytes(dir / "odd.bin", std::vector<std::uint8_t>(4096, 0));

    Process p = spawn({kBinary, "decode", record}, dir, "good");
    EXPECT_EQ(wait_exit(p.pid, 30), 0);
    EXPECT_NE(read_file(p.out_path).find("Drive 0: WDC WD2500JB-00REA0"), std::string::npos);

    p = spawn({kBinary, "decode", "--json", record, dir / "odd.bin"}, dir, "refused");
    EXPECT_EQ(wait_exit(p.pid, 30), 1);
    EXPECT_NE(read_file(p.err_path).find(dir / "odd.bin" + ": refused: size is 4096 bytes"), std::string::npos)
        << read_file(p.err_path);
    EXPECT_EQ(json::parse(read_file(p.out_path))["drives"][0]["model"], "WDC WD2500JB-00REA0");

    p = spawn({kBinary, "decode", "--raw-format", "9,Nope", record}, dir, "usage");
    EXPECT_EQ(wait_exit(p.pid, 30), 2);
    EXPECT_NE(read_file(p.err_path).find("--raw-format 9,Nope"), std::string::npos);

    p = spawn({kBinary, "decode", "--raw-format", "9,3,543210543210", record}, dir, "layout");
    EXPECT_EQ(wait_exit(p.pid, 30), 2);

    p = spawn({kBinary, "decode", "--json", "-"}, dir, "stdin", record);
    EXPECT_EQ(wait_exit(p.pid, 30), 0);
    EXPECT_EQ(json::parse(read_file(p.out_path))["drives"][0]["sizes"]["total_bytes"].get<std::uint64_t>(),
              250059350016ULL);

    p = spawn({kBinary, "--version"}, dir, "version");
    EXPECT_EQ(wait_exit(p.pid, 30), 0);
    // The release and the commit it was built from ("unknown" outside a
    // git checkout).
    const std::string version = read_file(p.out_path);
    EXPECT_EQ(version.rfind("platewise 0.1.0 (commit ", 0), 0u) << version;
    EXPECT_GT(version.size(), std::string("platewise 0.1.0 (commit )\n").size()) << version;
    EXPECT_EQ(version.substr(version.size() - 2), ")\n") << version;
}

// Runs `args` as the user nobody (65534) when the test is root, so that a
// folder of root's 0700 is closed to it; as itself otherwise, the folder
// then closed to everyone (mode 0). The exit status and standard error.
struct Refusal {
    std::optional<int> status;
    std::string err;
};
Refusal run_as_outsider(const std::vector<std::string>& args, const TempDir& dir, const std::string& tag)
{
    const std::string err_path = dir / (tag + ".err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || ::dup2(fd, 2) < 0) {
            ::_exit(120);
        }
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(121);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(122);
    }
    Refusal r;
    r.status = wait_exit(pid, 30);
    r.err = read_file(err_path);
    return r;
}

// The history's commands as a user who may not read the store: they say
// permission denied and what to do, never "no history" or "does not exist".
TEST(PlatewiseProcess, HistoryWithoutPermissionSaysSo)
{
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // the outsider may reach what is inside
    const std::string closed = dir / "closed";        // as /var/lib/platewise: 0750 root
    const std::string open = dir / "open";
    std::filesystem::create_directories(closed);
    std::filesystem::create_directories(open);
    tooltest::write_bytes(closed + "/history.db", std::vector<std::uint8_t>(4096, 0));
    tooltest::write_bytes(open + "/history.db", std::vector<std::uint8_t>(4096, 0));
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(closed.c_str(), root ? 0700 : 0), 0);
    ASSERT_EQ(::chmod((open + "/history.db").c_str(), root ? 0600 : 0), 0);
    struct Row {
        std::vector<std::string> args;
        const char* said;
    };
    const Row rows[] = {
        {{kBinary, "status", "--store", closed + "/history.db"}, "platewise status: permission denied reading the history"},
        {{kBinary, "status", "--store", open + "/history.db"}, "platewise status: permission denied reading the history"},
        {{kBinary, "history", "S1", "--store", closed + "/history.db"}, "permission denied reading the history"},
        {{kBinary, "ack", "S1", "--store", closed + "/history.db"}, "platewise ack: permission denied writing the history"},
        {{kBinary, "ack", "S1", "--store", open + "/history.db"}, "platewise ack: permission denied writing the history"},
        {{kBinary, "listen", "--endpoint", dir / "run/PlatewisePipe", "--history", closed + "/history.db"},
         "permission denied writing the history"},
        {{kBinary, "listen", "--endpoint", dir / "run/PlatewisePipe", "--history", closed + "/new/history.db"},
         "permission denied"},
    };
    int index = 0;
    for (const Row& row : rows) {
        const Refusal r = run_as_outsider(row.args, dir, "row" + std::to_string(index++));
        EXPECT_EQ(r.status, row.args[1] == "status" ? 3 : 1) << row.args[1] << ": " << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << row.args[1] << ": " << r.err;
        EXPECT_NE(r.err.find("sudo"), std::string::npos) << row.args[1] << ": " << r.err;
        EXPECT_EQ(r.err.find("does not exist"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("no history at"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("unable to open database file"), std::string::npos) << r.err;
    }
    ::chmod(closed.c_str(), 0700);

    // A store of a group the user is not in (as /var/lib/platewise's of the
    // group platewise): the message names the group to join.
    if (root) {
        const std::string grouped = dir / "grouped";
        std::filesystem::create_directories(grouped);
        tooltest::write_bytes(grouped + "/history.db", std::vector<std::uint8_t>(4096, 0));
        const group* daemon = ::getgrgid(1);
        ASSERT_NE(daemon, nullptr);
        ASSERT_EQ(::chown((grouped + "/history.db").c_str(), 0, 1), 0);
        ASSERT_EQ(::chmod((grouped + "/history.db").c_str(), 0640), 0);
        const Refusal r = run_as_outsider({kBinary, "status", "--store", grouped + "/history.db"}, dir, "grouped");
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find("run the command with sudo, or ask an administrator to add you to the group " +
                             std::string(daemon->gr_name)),
                  std::string::npos)
            << r.err;
    }
}

// A relative --endpoint is taken from the current directory: the listener
// says the absolute path it listens on, and the service's client finds it.
TEST(PlatewiseProcess, ListenMakesARelativeEndpointAbsolute)
{
    TempDir dir;
    const std::string endpoint = dir / "run/PlatewisePipe";
    std::filesystem::create_directories(dir / "run");
    const std::string relative = std::filesystem::relative(endpoint).string();
    ASSERT_TRUE(std::filesystem::path(relative).is_relative()) << relative;
    Process p = spawn({kBinary, "listen", "--once", "--endpoint", relative, "--read-timeout", "2"}, dir, "rel");
    ASSERT_TRUE(wait_for_socket(endpoint, 10)) << read_file(p.err_path);
    const auto message = service_snapshot({"SAMSUNG_MP0804H--UE100-14.rec"});
    EXPECT_TRUE(send_when_ready(endpoint, message.get()));
    EXPECT_EQ(wait_exit(p.pid, 30), 0) << read_file(p.err_path);
    const std::string said = read_file(p.err_path);
    const std::size_t at = said.find("listening on ");
    ASSERT_NE(at, std::string::npos) << said;
    const std::size_t end = said.find(" (mode", at);
    ASSERT_NE(end, std::string::npos) << said;
    const std::filesystem::path shown = said.substr(at + 13, end - at - 13);
    EXPECT_TRUE(shown.is_absolute()) << said;
    EXPECT_EQ(std::filesystem::weakly_canonical(shown), std::filesystem::weakly_canonical(endpoint)) << said;
}

TEST(PlatewiseProcess, ListenOnceJsonFromTheServicesClient)
{
    TempDir dir;
    const std::string endpoint = dir / "run/PlatewisePipe";
    Process p = spawn({kBinary, "listen", "--once", "--json", "--endpoint", endpoint, "--read-timeout", "2"},
                      dir, "listen");
    ASSERT_TRUE(wait_for_socket(endpoint, 10)) << read_file(p.err_path);
    const auto message = service_snapshot({"SAMSUNG_MP0804H--UE100-14.rec", "WDC_WD2500JS-75NCB3--10.02E04.rec"});
    EXPECT_TRUE(send_when_ready(endpoint, message.get()));
    EXPECT_EQ(wait_exit(p.pid, 30), 0) << read_file(p.err_path);
    const json doc = json::parse(read_file(p.out_path));
    EXPECT_EQ(doc["count"], 3);
    EXPECT_EQ(doc["drives"][1]["sizes"]["total_bytes"].get<std::uint64_t>(), 250000000000ULL);
    EXPECT_FALSE(std::filesystem::exists(endpoint));
}

TEST(PlatewiseProcess, SigintAndSigtermEndListenCleanly)
{
    for (const int signal_number : {SIGTERM, SIGINT}) {
        TempDir dir;
        const std::string endpoint = dir / "PlatewisePipe";
        Process p = spawn({kBinary, "listen", "--endpoint", endpoint}, dir, "listen");
        ASSERT_TRUE(wait_for_socket(endpoint, 10)) << read_file(p.err_path);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(::kill(p.pid, signal_number), 0);
        EXPECT_EQ(wait_exit(p.pid, 10), 0) << signal_number << read_file(p.err_path);
        EXPECT_FALSE(std::filesystem::exists(endpoint)) << signal_number;
    }
}

// The text of the next datagram on `fd` (a stand-in for systemd's notify
// socket) within `seconds`.
std::optional<std::string> next_notification(int fd, int seconds)
{
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, seconds * 1000) != 1) {
        return std::nullopt;
    }
    char text[4096];
    const ssize_t got = ::recv(fd, text, sizeof text, 0);
    return got < 0 ? std::nullopt : std::optional<std::string>(std::string(text, static_cast<std::size_t>(got)));
}

// Under systemd (Type=notify) the listener says READY=1 only once its socket
// accepts and its metrics are served, so that the service ordered after it
// finds the socket; then each snapshot updates its status text.
TEST(PlatewiseProcess, ListenTellsSystemdWhenItsEndpointIsReady)
{
    TempDir dir;
    const std::string endpoint = dir / "run/PlatewisePipe";
    const std::string notify = dir / "notify";
    const int receiver = bound_socket(notify, SOCK_DGRAM);
    ASSERT_GE(receiver, 0) << std::strerror(errno);
    std::vector<std::string> environment = {"NOTIFY_SOCKET=" + notify};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NOTIFY_SOCKET=", 14) != 0) {
            environment.emplace_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    Process p = spawn({kBinary, "listen", "--endpoint", endpoint, "--metrics", "127.0.0.1:0"}, dir, "listen",
                      "", envp.data());
    ASSERT_GT(p.pid, 0);

    const std::optional<std::string> ready = next_notification(receiver, 20);
    ASSERT_TRUE(ready) << read_file(p.err_path);
    // At once, without retrying: the socket accepts.
    const int peer = connect_to(endpoint);
    EXPECT_GE(peer, 0) << "READY=1 came before the socket accepted";
    if (peer >= 0) {
        ::close(peer);
    }
    EXPECT_EQ(*ready, "READY=1\nSTATUS=Listening on " + endpoint);
    EXPECT_NE(read_file(p.err_path).find("serving metrics on 127.0.0.1:0"), std::string::npos)
        << "READY=1 came before the metrics were served: " << read_file(p.err_path);

    // The status text names the drives by verdict and the time of the last
    // pass; the journal has one line for the new drive, none for the
    // second, identical pass.
    for (const char* pass : {"first", "second"}) {
        const auto message = service_snapshot({"ST320410A--3.39.rec"});
        EXPECT_TRUE(send_snapshot_to(endpoint.c_str(), message.get())) << pass;
        const std::optional<std::string> text = next_notification(receiver, 20);
        ASSERT_TRUE(text) << pass << read_file(p.err_path);
        EXPECT_EQ(text->rfind("STATUS=1 drive: 1 FAILED IN THE PAST; last pass ", 0), 0u) << *text;
        EXPECT_EQ(text->size(), std::strlen("STATUS=1 drive: 1 FAILED IN THE PAST; last pass HH:MM:SS")) << *text;
    }
    ASSERT_EQ(::kill(p.pid, SIGTERM), 0);
    EXPECT_EQ(wait_exit(p.pid, 10), 0) << read_file(p.err_path);
    const std::string err = read_file(p.err_path);
    EXPECT_EQ(std::count(err.begin(), err.end(), '<'), 1) << err;
    EXPECT_NE(err.find("\n<4>platewise listen: ST320410A serial "), std::string::npos) << err;
    ::close(receiver);
}

TEST(PlatewiseProcess, ListenEndsWhenItsOutputIsGone)
{
    TempDir dir;
    const std::string endpoint = dir / "PlatewisePipe";
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    const std::string err_path = dir / "listen.err";
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string endpoint_arg = endpoint;
    char* const argv[] = {const_cast<char*>(kBinary.c_str()), const_cast<char*>("listen"),
                          const_cast<char*>("--endpoint"), const_cast<char*>(endpoint_arg.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[0]);  // nobody reads what it prints
    ::close(pipe_fds[1]);
    ASSERT_TRUE(wait_for_socket(endpoint, 10)) << read_file(err_path);
    const auto message = service_snapshot({"ST320410A--3.39.rec"});
    EXPECT_TRUE(send_when_ready(endpoint, message.get()));
    EXPECT_EQ(wait_exit(pid, 10), 1) << read_file(err_path);
    EXPECT_NE(read_file(err_path).find("output closed"), std::string::npos) << read_file(err_path);
    EXPECT_FALSE(std::filesystem::exists(endpoint)) << "socket removed";
}

// The count byte the service sends on this machine: the drives that open,
// the physical disks of /sys/block in order, plus one.
int expected_count()
{
    int count = 1;
    for (std::int32_t n = 0; n < kDriveSlots; ++n) {
        const platform::DriveOpenResult opened = platform::open_drive_device(n);
        if (opened.failure != platform::OpenFailure::none) {
            break;
        }
        platform::close_drive(opened.handle);
        ++count;
    }
    return count;
}

TEST(PlatewiseProcess, ListenOnceJsonFromTheRealTestservice)
{
    std::string reason;
    if (!enter_private_run(&reason)) {
        GTEST_SKIP() << reason;
    }
    const std::string endpoint = platform::pipe_name;
    TempDir dir;
    Process listener = spawn({kBinary, "listen", "--once", "--json"}, dir, "listen");
    ASSERT_TRUE(wait_for_socket(endpoint, 10)) << read_file(listener.err_path);
    struct stat socket_st{};
    ASSERT_EQ(::lstat(endpoint.c_str(), &socket_st), 0);
    EXPECT_EQ(socket_st.st_mode & 07777, 0600u);
    EXPECT_EQ(socket_st.st_uid, 0u);

    const std::string appdata = "APPDATA=" + dir.path();
    const std::string tsan_options = environment_entry("TSAN_OPTIONS");
    char* const envp[] = {const_cast<char*>(appdata.c_str()), const_cast<char*>("PATH=/usr/bin:/bin"),
                          tsan_options.empty() ? nullptr : const_cast<char*>(tsan_options.c_str()),
                          nullptr};
    Process service = spawn({PLATEWISE_TESTSERVICE}, dir, "service", "", envp);
    ASSERT_GT(service.pid, 0);

    const std::optional<int> listened = wait_exit(listener.pid, 30);
    ::kill(service.pid, SIGTERM);
    EXPECT_EQ(wait_exit(service.pid, 30), 0);
    ASSERT_EQ(listened, 0) << read_file(listener.err_path);

    // The pass's NVMe snapshot may be shown too before --once ends the
    // listener (it comes on its own connection): the drive snapshot's line.
    json doc;
    std::istringstream lines(read_file(listener.out_path));
    for (std::string line; std::getline(lines, line);) {
        json one = json::parse(line);
        if (!one.contains("type")) {
            doc = std::move(one);
        }
    }
    const int count = expected_count();
    EXPECT_EQ(doc["count"], count);
    EXPECT_EQ(doc["drives"].size(), static_cast<std::size_t>(count - 1));
    EXPECT_FALSE(std::filesystem::exists(endpoint)) << "--once removes the socket";
}

}  // namespace
