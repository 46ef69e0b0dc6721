// platewise listen against a peer that sends exactly what the service sends
// (the service's own send_snapshot_to over platform_linux) and against
// hostile peers: each bad connection is reported and the listener carries on.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <future>
#include <sstream>
#include <thread>

#include "../endpoint/unix_connect.h"
#include "../../testservice/temp_dir.h"
#include "report/json_report.h"
#include "commands/listen_command.h"
#include "commands/peer_admission.h"
#if defined(PLATEWISE_HAVE_HISTORY)
#include "history/listen_history.h"
#endif
#include "service.h"
#include "../../smart/nvme_test_pages.h"
#include "../tool_test_support.h"

namespace {

using tooltest::occurrences;

namespace ep = platewise::endpoint;
using nlohmann::json;

void send_all(int fd, const std::uint8_t* bytes, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;  // the listener closed: fine for a hostile peer
        }
        done += static_cast<std::size_t>(n);
    }
}

// Waits until the listener closes the connection (reads until end).
void wait_for_close(int fd)
{
    char sink[64];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
}

std::unique_ptr<DriveSnapshot> service_snapshot(const std::vector<std::string>& files)
{
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of(files);
    auto message = std::make_unique<DriveSnapshot>();
    std::memcpy(message.get(), bytes.data(), sizeof *message);
    return message;
}

// run_listen on a thread of its own, on an endpoint in a temporary folder.
class Listener : public ::testing::Test {
protected:
    void SetUp() override
    {
        ep::clear_stop();
        options.endpoint = dir / "PlatewisePipe";
        options.handle_signals = false;
        options.read_timeout_ms = 500;
    }
    void TearDown() override
    {
        if (thread.joinable()) {
            ep::request_stop();
            thread.join();
        }
        ep::clear_stop();
    }
    void start()
    {
        std::promise<void> listening;
        std::future<void> ready = listening.get_future();
        options.on_listening = [&listening] { listening.set_value(); };
        thread = std::thread([this] { status = platewise::run_listen(options, out, err, &summary); });
        ASSERT_EQ(ready.wait_for(std::chrono::seconds(10)), std::future_status::ready) << err.str();
    }
    // Ends the listener (if --once has not) and waits for it.
    void finish()
    {
        if (options.stop_after == 0) {
            ep::request_stop();
        }
        thread.join();
    }
    TempDir dir;
    platewise::ListenOptions options;
    std::ostringstream out;
    std::ostringstream err;
    platewise::ListenSummary summary;
    int status = -1;
    std::thread thread;
};

TEST_F(Listener, DecodesWhatTheServiceSends)
{
    options.json = true;
    options.stop_after = 1;
    start();
    const auto message = service_snapshot({"SAMSUNG_HD501LJ--CR100-12.rec", "ST9160821AS--3.CLH.rec"});
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    finish();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(summary.good, 1u);
    EXPECT_EQ(summary.rejected, 0u);
    const std::string text = out.str();
    ASSERT_EQ(occurrences(text, "\n"), 1u) << text;
    const json doc = json::parse(text);
    EXPECT_EQ(doc["count"], 3);
    ASSERT_EQ(doc["drives"].size(), 2u);
    EXPECT_EQ(doc["drives"][0]["model"], "SAMSUNG HD501LJ");
    EXPECT_EQ(doc["drives"][1]["sizes"]["total_bytes"].get<std::uint64_t>(), 160041885696ULL);
    EXPECT_FALSE(std::filesystem::exists(options.endpoint)) << "socket removed at the end";
}

TEST_F(Listener, TextOutputAndOverridesForEverySnapshot)
{
    options.overrides = {{9, smart::MinutesClock, ""}};
    options.stop_after = 3;
    start();
    const auto message = service_snapshot({"ST9160821AS--3.CLH.rec"});
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get())) << i;
    }
    finish();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(summary.good, 3u);
    const std::string text = out.str();
    EXPECT_EQ(occurrences(text, "Snapshot received "), 3u) << text;
    EXPECT_EQ(occurrences(text, "Snapshot: count 2, 1 current drive slot"), 3u);
    EXPECT_NE(text.find("9h+16m (54934)"), std::string::npos) << text;
    EXPECT_NE(err.str().find("listening on " + options.endpoint + " (mode 0600)"), std::string::npos);
}

TEST_F(Listener, HostilePeersAreReportedAndAGoodSnapshotStillArrives)
{
    options.json = true;
    // Connections are served at once, so the good snapshot comes before the
    // slow peers' time-outs: run until everything is reported.
    std::atomic<int> reported{0};
    options.on_snapshot = [&reported](const platewise::SnapshotReport&) { ++reported; };
    options.on_refused = [&reported] { ++reported; };
    start();
    const std::string& path = options.endpoint;
    const std::vector<std::uint8_t> good = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    std::vector<std::thread> peers;
    std::atomic<int> connected{0};
    const auto peer = [&](auto behaviour) {
        peers.emplace_back([&, behaviour] {
            const int fd = connect_to(path);
            ++connected;
            if (fd < 0) {
                return;
            }
            behaviour(fd);
            ::close(fd);
        });
        // Keep the accept order the order of this list.
        while (connected < static_cast<int>(peers.size())) {
            std::this_thread::yield();
        }
    };

    // Short write, then close.
    peer([&](int fd) { send_all(fd, good.data(), 1000); });
    // Connect and close at once.
    peer([](int) {});
    // One byte too many.
    peer([&](int fd) {
        std::vector<std::uint8_t> long_message = good;
        long_message.push_back(0);
        send_all(fd, long_message.data(), long_message.size());
        wait_for_close(fd);
    });
    // Never writes: only the time-out moves the listener on.
    peer([](int fd) { wait_for_close(fd); });
    // Trickles: the time-out is for the whole message, not per byte.
    peer([&](int fd) {
        for (int i = 0; i < 20; ++i) {
            if (::send(fd, good.data() + i, 1, MSG_NOSIGNAL) != 1) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Whole size, impossible count byte.
    peer([&](int fd) {
        std::vector<std::uint8_t> malformed = good;
        malformed[0] = 0;
        send_all(fd, malformed.data(), malformed.size());
    });
    // Many at once: short and long messages from 24 peers together.
    std::atomic<int> go{0};
    for (int i = 0; i < 24; ++i) {
        peer([&, i](int fd) {
            while (go == 0) {
                std::this_thread::yield();
            }
            std::vector<std::uint8_t> bytes = good;
            bytes.resize(i % 2 == 0 ? 49184 : 60000, 7);
            send_all(fd, bytes.data(), bytes.size());
        });
    }
    go = 1;

    // And then the service.
    const auto message = service_snapshot({"ST320410A--3.39.rec"});
    EXPECT_TRUE(send_snapshot_to(path.c_str(), message.get()));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reported < 31 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finish();
    for (std::thread& t : peers) {
        t.join();
    }

    EXPECT_EQ(status, 0);
    EXPECT_EQ(summary.good, 1u);
    EXPECT_EQ(summary.rejected, 30u) << err.str();
    const std::string report = err.str();
    EXPECT_EQ(occurrences(report, "short message: 1000 of 49185 bytes, then the peer closed"), 1u) << report;
    EXPECT_EQ(occurrences(report, "no data: the peer closed without sending anything"), 1u) << report;
    EXPECT_EQ(occurrences(report, "message too long: more than 49185 bytes"), 13u) << report;
    EXPECT_EQ(occurrences(report, "time-out: 0 of 49185 bytes within 500 ms"), 1u) << report;
    EXPECT_EQ(occurrences(report, "bytes within 500 ms; connection dropped"), 2u) << report;
    EXPECT_EQ(occurrences(report, "malformed snapshot: count byte is 0"), 1u) << report;
    EXPECT_EQ(occurrences(report, "short message: 49184 of 49185 bytes"), 12u) << report;
    EXPECT_EQ(occurrences(report, "connection 31: "), 0u) << "the good one is not reported";
    const json doc = json::parse(out.str());
    EXPECT_EQ(doc["count"], 2);
    EXPECT_EQ(doc["drives"][0]["model"], "ST320410A");
}

// A child process that drops to `uid` and sends a whole, good snapshot:
// a local user forging the service. Returns the child's pid after it ended,
// or -1 when it could not change user or connect.
pid_t send_as_user(const std::string& path, uid_t uid, const std::vector<std::uint8_t>& bytes)
{
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            ::_exit(10);
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::_exit(11);
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        char sink[16];
        while (::read(fd, sink, sizeof sink) > 0) {
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? child : -1;
}

TEST_F(Listener, SnapshotsFromOtherUsersAreRefusedUnlessNamed)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a peer as another user";
    }
    constexpr uid_t kNobody = 65534;
    const std::vector<std::uint8_t> good = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    struct Row {
        std::vector<std::uint32_t> extra_uids;
        bool admitted;
    };
    for (const Row& row : {Row{{}, false}, Row{{1000}, false}, Row{{1000, kNobody}, true}}) {
        SCOPED_TRACE(row.extra_uids.size());
        TearDown();
        out.str("");
        err.str("");
        summary = {};
        // The socket open to everybody, so that only the peer check stands
        // between another user and the listener.
        ::chmod(dir.path().c_str(), 0755);
        options.socket_mode = 0666;
        options.peers.extra_uids = row.extra_uids;
        options.json = true;
        start();
        const pid_t peer = send_as_user(options.endpoint, kNobody, good);
        ASSERT_GT(peer, 0) << "the forged peer could not connect";
        finish();
        EXPECT_EQ(summary.good, row.admitted ? 1u : 0u) << err.str();
        EXPECT_EQ(summary.rejected, row.admitted ? 0u : 1u) << err.str();
        EXPECT_EQ(out.str().empty(), !row.admitted) << out.str();
        const std::string refused = "connection 1: refused: uid 65534, pid " + std::to_string(peer) +
                                    " may not send snapshots";
        EXPECT_EQ(err.str().find(refused) != std::string::npos, !row.admitted) << err.str();

        // The NVMe endpoint checks its peers the same way.
        TearDown();
        err.str("");
        summary = {};
        start();
        const pid_t nvme_peer = send_as_user(platewise::nvme_endpoint_beside(options.endpoint), kNobody,
                                             nvmetest::one_drive_snapshot());
        ASSERT_GT(nvme_peer, 0) << "the forged NVMe peer could not connect";
        finish();
        EXPECT_EQ(summary.nvme, row.admitted ? 1u : 0u) << err.str();
        EXPECT_EQ(err.str().find("NVMe connection 1: refused: uid 65534, pid " + std::to_string(nvme_peer) +
                                 " may not send snapshots") != std::string::npos,
                  !row.admitted)
            << err.str();
    }
}

TEST_F(Listener, SilentPeersDoNotHoldUpTheService)
{
    options.read_timeout_ms = 10000;
    options.stop_after = 1;
    options.json = true;
    std::atomic<bool> arrived{false};
    options.on_snapshot = [&arrived](const platewise::SnapshotReport&) { arrived = true; };
    start();
    // All readers but one held by peers that connect and say nothing; each
    // may keep its connection for the whole 10 s time-out.
    std::vector<int> silent;
    for (unsigned i = 0; i + 1 < platewise::kMaxConnections; ++i) {
        silent.push_back(connect_to(options.endpoint));
        ASSERT_GE(silent.back(), 0);
    }
    const auto message = service_snapshot({"ST320410A--3.39.rec"});
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    // Bounded wait: the snapshot is reported long before the first silent
    // peer's time-out could have ended.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!arrived && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    finish();
    for (const int fd : silent) {
        ::close(fd);
    }
    EXPECT_EQ(summary.good, 1u) << err.str();
    EXPECT_NE(out.str().find("ST320410A"), std::string::npos) << "reported within 5 s";
}

// A child process that drops to `uid` and connects `count` times: each
// connection closed at once (`hold_ms` 0: a flood of refused peers) or all
// kept open and silent for `hold_ms`. Returns the child's pid; it ends by
// itself.
pid_t connect_as_user(const std::string& path, uid_t uid, int count, int hold_ms)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            ::_exit(10);
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::_exit(11);
            }
            if (hold_ms == 0) {
                ::close(fd);
            }
        }
        ::usleep(static_cast<useconds_t>(hold_ms) * 1000);
        ::_exit(0);
    }
    return child;
}

// Hostile local users against the service's own snapshot. A flood of
// refused peers is counted outside the delivery queue: reported at most
// once a second with a count, never a publish of its own, never ahead of
// the service. Admitted peers that say nothing are held to a few readers
// per user, so the service's connection finds one at once.
TEST_F(Listener, RefusedAndSilentPeersCostTheServiceNothing)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run peers as another user";
    }
    constexpr uid_t kNobody = 65534;
    struct Row {
        const char* what;
        std::vector<std::uint32_t> extra_uids;
        int count;
        int hold_ms;
    };
    const Row rows[] = {
        {"300 refused peers", {}, 300, 0},
        {"100 admitted silent peers", {kNobody}, 100, 8000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        out.str("");
        err.str("");
        summary = {};
        ::chmod(dir.path().c_str(), 0755);
        options.socket_mode = 0666;
        options.peers.extra_uids = row.extra_uids;
        options.read_timeout_ms = 10000;
        options.json = true;
        std::atomic<bool> arrived{false};
        std::atomic<int> publishes{0};
        std::atomic<std::uint64_t> counted{0};
        options.on_snapshot = [&arrived](const platewise::SnapshotReport&) { arrived = true; };
        options.on_refused = [&publishes] { ++publishes; };
        options.on_peers_refused = [&counted](std::uint64_t n) { counted += n; };
        start();
        const pid_t peers = connect_as_user(options.endpoint, kNobody, row.count, row.hold_ms);
        ASSERT_GT(peers, 0);
        if (row.hold_ms == 0) {
            int status = 0;
            ::waitpid(peers, &status, 0);  // the flood is in before the service comes
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const auto message = service_snapshot({"ST320410A--3.39.rec"});
        const auto sent = std::chrono::steady_clock::now();
        EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
        const auto until = sent + std::chrono::seconds(5);
        while (!arrived && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(arrived) << "the service's snapshot waited behind the peers";
        finish();
        if (row.hold_ms != 0) {
            ::kill(peers, SIGKILL);
            ::waitpid(peers, nullptr, 0);
        }
        EXPECT_EQ(summary.good, 1u) << err.str();
        // Only the few admitted silent peers are read (and reported when
        // they time out or the listener stops); refused ones never publish.
        EXPECT_LE(publishes.load(), row.hold_ms == 0 ? 0 : static_cast<int>(platewise::kConnectionsPerUid))
            << "a refused peer caused a publish";
        EXPECT_EQ(summary.rejected, counted.load() + static_cast<unsigned>(publishes.load()));
        if (row.hold_ms == 0) {
            EXPECT_EQ(counted.load(), 300u);
            EXPECT_LE(occurrences(err.str(), "refused: uid 65534"), 3u) << err.str();
            EXPECT_NE(err.str().find("more connections refused since"), std::string::npos) << err.str();
        } else {
            EXPECT_GE(counted.load(), 90u) << "each user holds a few readers at most";
            EXPECT_NE(err.str().find("has as many connections open as one user may"), std::string::npos);
        }
    }
}

TEST_F(Listener, AWholeMessageFromAPeerThatStaysOpenCounts)
{
    options.stop_after = 1;
    options.read_timeout_ms = 5000;
    start();
    const std::vector<std::uint8_t> good = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    const int fd = connect_to(options.endpoint);
    ASSERT_GE(fd, 0);
    send_all(fd, good.data(), good.size());
    const auto started = std::chrono::steady_clock::now();
    finish();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
    ::close(fd);
    EXPECT_EQ(summary.good, 1u);
    EXPECT_NE(out.str().find("Drive 0: ST320410A"), std::string::npos);
}

TEST_F(Listener, SavesEachSnapshotWhole)
{
    options.stop_after = 1;
    options.json = true;
    ::mkdir((dir / "saved").c_str(), 0700);
    options.save_directory = dir / "saved";
    start();
    const auto message = service_snapshot({"TOSHIBA_MK1651GSY--38IGT0G5T.rec"});
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    finish();
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "saved")) {
        files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind("snapshot-", 0), 0u) << files[0];
    const std::vector<std::uint8_t> saved = tooltest::file_bytes(files[0]);
    ASSERT_EQ(saved.size(), 49185u);
    EXPECT_EQ(std::memcmp(saved.data(), message.get(), saved.size()), 0);
    EXPECT_NE(err.str().find("saved " + files[0].string()), std::string::npos) << err.str();
}

TEST(NvmeEndpoint, BesideTheDriveSnapshotEndpoint)
{
    const std::pair<const char*, const char*> rows[] = {
        {"/run/platewise/PlatewisePipe", "/run/platewise/PlatewiseNvmePipe"},
        {"\\\\.\\pipe\\PlatewisePipe", "\\\\.\\pipe\\PlatewiseNvmePipe"},
        {"/tmp/x/platewise.sock", "/tmp/x/platewise.sock-nvme"},
        {"Pipe", "NvmePipe"},
        {"/a/Pipe/b", "/a/Pipe/b-nvme"},
        {"/a/b/", "/a/b/-nvme"},
    };
    for (const auto& [endpoint, nvme] : rows) {
        EXPECT_EQ(platewise::nvme_endpoint_beside(endpoint), nvme);
    }
    EXPECT_EQ(platewise::nvme_endpoint_beside(ep::default_name()), "/run/platewise/PlatewiseNvmePipe");
}

// The NVMe snapshot of a pass arrives on its own endpoint right after the
// drive snapshot: both are shown, saved with names of their own and
// published.
TEST_F(Listener, NvmeSnapshotsOnTheirOwnEndpoint)
{
    options.json = true;
    ::mkdir((dir / "saved").c_str(), 0700);
    options.save_directory = dir / "saved";
    std::vector<std::size_t> published;  // the listener's thread only, until it ends
    std::atomic<int> nvme_seen{0};
    options.on_nvme_snapshot = [&](const platewise::NvmeSnapshotReport& r) {
        published.push_back(r.drives.size());
        ++nvme_seen;
    };
    // The NVMe snapshot first: --once (stop_after 1) counts drive snapshots
    // only, so the listener takes both and then ends.
    options.stop_after = 1;
    start();
    const std::string nvme_endpoint = dir / "PlatewiseNvmePipe";
    const std::vector<std::uint8_t> nvme = nvmetest::one_drive_snapshot(2, 4);
    const int fd = connect_to(nvme_endpoint);
    ASSERT_GE(fd, 0);
    send_all(fd, nvme.data(), nvme.size());
    ::close(fd);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (nvme_seen == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto message = service_snapshot({"ST320410A--3.39.rec", "ST9160821AS--3.CLH.rec"});
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    finish();
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_NE(err.str().find("listening for NVMe snapshots on " + nvme_endpoint + " (mode 0600)"),
              std::string::npos) << err.str();
    EXPECT_EQ(summary.good, 1u);
    EXPECT_EQ(summary.nvme, 1u);
    EXPECT_EQ(summary.rejected, 0u) << err.str();
    EXPECT_EQ(published, std::vector<std::size_t>{1});
    std::istringstream lines(out.str());
    std::string line;
    std::vector<json> docs;
    while (std::getline(lines, line)) {
        docs.push_back(json::parse(line));
    }
    ASSERT_EQ(docs.size(), 2u) << out.str();
    // Read at the same time, they may be shown in either order.
    const json& n = docs[0].contains("type") ? docs[0] : docs[1];
    EXPECT_EQ((docs[0].contains("type") ? docs[1] : docs[0])["drives"].size(), 2u);
    EXPECT_EQ(n["type"], "nvme");
    EXPECT_EQ(n["count"], 4);
    ASSERT_EQ(n["nvme_drives"].size(), 1u);
    EXPECT_EQ(n["nvme_drives"][0]["slot"], 2);
    EXPECT_EQ(n["nvme_drives"][0]["model"], "Platewise Test NVMe");
    EXPECT_EQ(n["nvme_drives"][0]["verdict"], "OK");

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "saved")) {
        names.push_back(entry.path().filename().string());
        const std::vector<std::uint8_t> saved = tooltest::file_bytes(entry.path());
        if (names.back().rfind("nvme-", 0) == 0) {
            EXPECT_EQ(saved, nvme) << "saved whole";
        } else {
            EXPECT_EQ(names.back().rfind("snapshot-", 0), 0u) << names.back();
            EXPECT_EQ(saved.size(), 49185u);
        }
    }
    EXPECT_EQ(names.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(nvme_endpoint)) << "removed at the end";
}

// Each endpoint takes exactly its own message: the other one's, a longer or
// shorter one, or one of another version or magic is reported and refused.
TEST_F(Listener, EachEndpointRefusesWhatIsNotItsOwn)
{
    std::atomic<int> reported{0};
    options.on_snapshot = [&reported](const platewise::SnapshotReport&) { ++reported; };
    options.on_nvme_snapshot = [&reported](const platewise::NvmeSnapshotReport&) { ++reported; };
    options.on_refused = [&reported] { ++reported; };
    options.nvme_endpoint = dir / "nvme.sock";
    start();
    const std::vector<std::uint8_t> good = nvmetest::one_drive_snapshot();
    const std::vector<std::uint8_t> ata = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    const auto send = [](const std::string& path, std::vector<std::uint8_t> bytes) {
        const int fd = connect_to(path);
        ASSERT_GE(fd, 0);
        send_all(fd, bytes.data(), bytes.size());
        ::shutdown(fd, SHUT_WR);
        wait_for_close(fd);
        ::close(fd);
    };
    std::vector<std::uint8_t> long_one = good;
    long_one.push_back(0);
    std::vector<std::uint8_t> version2 = good;
    version2[8] = 2;
    std::vector<std::uint8_t> no_magic = good;
    no_magic[0] = 'X';
    std::vector<std::uint8_t> bad_status = good;
    bad_status[16 + 8712 * 5] = 9;
    send(options.nvme_endpoint, ata);
    send(options.nvme_endpoint, long_one);
    send(options.nvme_endpoint, version2);
    send(options.nvme_endpoint, no_magic);
    send(options.nvme_endpoint, bad_status);
    send(options.endpoint, good);
    send(options.nvme_endpoint, good);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reported < 7 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finish();
    EXPECT_EQ(summary.nvme, 1u);
    EXPECT_EQ(summary.rejected, 6u) << err.str();
    const std::string report = err.str();
    for (const char* piece : {"NVMe connection 1: short message: 49185 of 278800 bytes, then the peer closed",
                              "NVMe connection 2: message too long: more than 278800 bytes",
                              "NVMe connection 3: NVMe snapshot version 2 is not known (this listener reads "
                              "version 1); not decoded",
                              "NVMe connection 4: not an NVMe snapshot: it does not begin with PWNVME CR LF; "
                              "not decoded",
                              "NVMe connection 5: malformed NVMe snapshot: slot 5 has the unknown status 9; "
                              "not decoded",
                              "platewise listen: connection 6: message too long: more than 49185 bytes"}) {
        EXPECT_EQ(occurrences(report, piece), 1u) << piece << "\n" << report;
    }
    EXPECT_EQ(occurrences(out.str(), "NVMe snapshot received "), 1u) << out.str();
    EXPECT_EQ(occurrences(out.str(), "NVMe drive 0: Platewise Test NVMe"), 1u) << out.str();
}

TEST_F(Listener, AnUnsafeSaveDirectoryStopsItBeforeItListens)
{
    const std::string open_to_all = dir / "saved";
    ::mkdir(open_to_all.c_str(), 0700);
    ::chmod(open_to_all.c_str(), 0777);
    options.save_directory = open_to_all;
    EXPECT_EQ(platewise::run_listen(options, out, err), 1);
    EXPECT_NE(err.str().find("--save: refusing to write into " + open_to_all +
                             ": it is writable by everybody (mode 0777)"),
              std::string::npos)
        << err.str();
    EXPECT_FALSE(std::filesystem::exists(options.endpoint));
}

#if defined(PLATEWISE_HAVE_HISTORY)
// listen --history: each pass is recorded and judged against the history;
// a drive first seen with reallocated sectors shows them as a WARNING (old
// damage, not a rise). A history file that is not one stops the listener from
// starting; a full or locked one never stops it.
TEST_F(Listener, RecordsTheHistoryAndAddsItsVerdicts)
{
    options.stop_after = 2;
    options.json = true;
    platewise::history::ListenHistory history;
    ASSERT_TRUE(platewise::history::attach_history(history, dir / "history.db", 600000, options, err))
        << err.str();
    start();
    const auto message = service_snapshot({"ST320410A--3.39.rec", "INTEL_SSDSA2CW120G3--4PC10302.rec"});
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    finish();
    EXPECT_EQ(status, 0) << err.str();
    const std::string text = out.str();
    const std::string first_line = text.substr(0, text.find('\n'));
    const json doc = json::parse(first_line);
    EXPECT_EQ(doc["drives"][0]["verdict"],
              "FAILED IN THE PAST: attribute 10 Spin Retry Count; warning: 5 reallocated sectors (present "
              "when first seen)")
        << first_line;
    EXPECT_EQ(doc["drives"][0]["reasons"][1]["verdict"], "warning");
    EXPECT_EQ(doc["drives"][0]["reasons"][1]["rule"], "first_seen");
    EXPECT_EQ(doc["drives"][1]["verdict"], "OK");
    EXPECT_EQ(history.recorder.write_failures, 0u);
    EXPECT_EQ(history.recorder.drives.size(), 2u);
    EXPECT_NE(err.str().find("recording the history in " + (dir / "history.db")), std::string::npos) << err.str();

    platewise::history::ListenHistory refused;
    platewise::ListenOptions other;
    std::ostringstream refused_err;
    tooltest::write_bytes(dir / "not-a-history.db", std::vector<std::uint8_t>(2048, 'x'));
    EXPECT_FALSE(platewise::history::attach_history(refused, dir / "not-a-history.db", 600000, other, refused_err));
    EXPECT_NE(refused_err.str().find("not an SQLite database"), std::string::npos) << refused_err.str();
}
#endif

TEST_F(Listener, StopEndsItCleanlyAndRemovesTheSocket)
{
    start();
    EXPECT_TRUE(std::filesystem::exists(options.endpoint));
    EXPECT_TRUE(std::filesystem::exists(dir / "PlatewiseNvmePipe"));
    finish();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(options.endpoint));
    EXPECT_FALSE(std::filesystem::exists(dir / "PlatewiseNvmePipe"));
}

TEST_F(Listener, RefusesToStartBesideALiveListener)
{
    start();
    std::ostringstream out2;
    std::ostringstream err2;
    platewise::ListenOptions second = options;
    second.on_listening = nullptr;
    EXPECT_EQ(platewise::run_listen(second, out2, err2), 1);
    EXPECT_NE(err2.str().find("another listener is already accepting"), std::string::npos) << err2.str();
    EXPECT_TRUE(std::filesystem::exists(options.endpoint)) << "the first one's socket stays";
    const auto message = service_snapshot({"ST320410A--3.39.rec"});
    EXPECT_TRUE(send_snapshot_to(options.endpoint.c_str(), message.get()));
    finish();
}

}  // namespace
