// listen --metrics and --textfile: /metrics over real HTTP on loopback, the
// series of vanished drives going away, and the options wired into listen.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "metrics/metrics_server.h"
#include "../metrics_test_support.h"
#include "../net/loopback_client.h"

namespace {

namespace fs = std::filesystem;
using platewise::metrics::MetricsPublisher;

struct TempDir {
    fs::path path;
    TempDir()
    {
        path = fs::temp_directory_path() /
               ("platewise-metrics-server-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

// GET `path` from 127.0.0.1:`port`; the whole response, headers included.
// With `timeout_ms`, each send and receive gives up after that long.
std::string http_get(int port, const std::string& path, int timeout_ms = 0,
                     const std::string& host = "127.0.0.1")
{
    const int fd = nettest::connect_loopback(port);
    if (fd < 0) {
        return "connect failed";
    }
    if (timeout_ms > 0) {
        const timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    const std::string request =
        "GET " + path + " HTTP/1.0\r\n" + (host.empty() ? std::string() : "Host: " + host + "\r\n") + "\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return "send failed";
    }
    std::string response;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        response.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return response;
}

std::string body_of(const std::string& response)
{
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(MetricsServer, ServesTheLatestPassAndDropsVanishedDrives)
{
    MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
    ASSERT_EQ(publisher.listening_ports().size(), 1u);
    const int port = publisher.listening_ports()[0];
    ASSERT_GT(port, 0);

    std::string response = http_get(port, "/metrics");
    EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response;
    std::string body = body_of(response);
    EXPECT_NE(body.find("\nplatewise_snapshots_received_total 0\n"), std::string::npos) << body;
    EXPECT_EQ(body.find("\nplatewise_drives "), std::string::npos) << body;

    const platewise::SnapshotReport three = metricstest::corpus_pass(
        {"ST320410A--3.39.rec", "SAMSUNG_HD501LJ--CR100-12.rec", "ST9160821AS--3.CLH.rec"});
    ASSERT_TRUE(publisher.snapshot_received(three, 1796634902, error)) << error;
    body = body_of(http_get(port, "/metrics"));
    EXPECT_NE(body.find("\nplatewise_drives 3\n"), std::string::npos) << body;
    EXPECT_NE(body.find("\nplatewise_last_snapshot_timestamp_seconds 1796634902\n"), std::string::npos);
    EXPECT_NE(body.find("platewise_drive_capacity_bytes{slot=\"2\",model=\"ST9160821AS\""),
              std::string::npos);
    std::vector<metricstest::Sample> samples;
    std::string bad;
    EXPECT_TRUE(metricstest::parse_exposition(body, samples, bad)) << bad;

    ASSERT_TRUE(publisher.snapshot_refused(error)) << error;
    const platewise::SnapshotReport one = metricstest::corpus_pass({"ST320410A--3.39.rec"});
    ASSERT_TRUE(publisher.snapshot_received(one, 1796634907, error)) << error;
    body = body_of(http_get(port, "/metrics"));
    EXPECT_NE(body.find("\nplatewise_drives 1\n"), std::string::npos) << body;
    EXPECT_NE(body.find("\nplatewise_snapshots_received_total 2\n"), std::string::npos);
    EXPECT_NE(body.find("\nplatewise_snapshots_refused_total 1\n"), std::string::npos);
    EXPECT_EQ(body.find("slot=\"1\""), std::string::npos) << body;
    EXPECT_EQ(body.find("slot=\"2\""), std::string::npos) << body;
    EXPECT_EQ(body.find("SAMSUNG"), std::string::npos) << body;
}

// A failing drive whose SMART read then fails must not drop its own alert:
// its attribute series stay, as last read, for the hold time, by serial.
TEST(MetricsServer, ADriveWithoutSmartDataKeepsItsLastSeriesForAWhile)
{
    MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("", "", platewise::kDefaultFileMode, error)) << error;
    const platewise::SnapshotReport good =
        metricstest::corpus_pass({"Maxtor_96147H8--BAC51KJ0--2.rec", "ST320410A--3.39.rec"});
    ASSERT_EQ(good.drives.size(), 2u);
    platewise::SnapshotReport blind = good;  // both drives read, neither with SMART data
    for (platewise::DriveReport& drive : blind.drives) {
        drive.attributes.clear();
        drive.verdict = platewise::Verdict::no_smart_data;
    }
    const std::string failing =
        "platewise_attribute_failing_now{slot=\"0\",model=\"Maxtor 96147H8\",serial=\"N80BR8EC\","
        "id=\"10\",name=\"Spin Retry Count\"} 1\n";
    const std::string present0 = "platewise_drive_smart_data_present{slot=\"0\",model=\"Maxtor 96147H8\","
                                 "serial=\"N80BR8EC\"} ";
    const std::string other = "platewise_attribute_value{slot=\"1\"";
    struct Step {
        const char* what;
        const platewise::SnapshotReport* pass;
        double at;
        bool series_kept;      // the Maxtor's attribute series are there
        const char* present;   // its platewise_drive_smart_data_present
    };
    const platewise::SnapshotReport empty;
    const std::vector<Step> steps = {
        {"a good read", &good, 1000, true, "1"},
        {"then no SMART data: kept", &blind, 1005, true, "0"},
        {"still none, within the hold time", &blind, 1000 + platewise::metrics::kHoldAttributesSeconds, true, "0"},
        {"past the hold time: gone", &blind, 1001 + platewise::metrics::kHoldAttributesSeconds, false, "0"},
        {"good again", &good, 5000, true, "1"},
        {"the drive gone from the pass: gone", &empty, 5005, false, nullptr},
        {"back without SMART data after vanishing: kept", &blind, 5010, true, "0"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(publisher.snapshot_received(*step.pass, step.at, error)) << error;
        const std::string text = publisher.text();
        EXPECT_EQ(text.find(failing) != std::string::npos, step.series_kept) << text;
        if (step.present != nullptr) {
            EXPECT_NE(text.find(present0 + step.present + "\n"), std::string::npos) << text;
        } else {
            EXPECT_EQ(text.find(present0), std::string::npos) << text;
        }
        // The other drive's series follow the same rule.
        EXPECT_EQ(text.find(other) != std::string::npos, step.series_kept) << text;
    }
}

// Two idle connections once stalled every scrape for 30 s. Idle or slow
// ones, more of them than the server has workers, must leave the scrape
// answered within 2 s: the silent ones never reach a worker, the slow ones
// hold theirs for the request time-out at most.
TEST(MetricsServer, ScrapesAreAnsweredWhileSixteenConnectionsIdle)
{
    const struct {
        int silent;
        int slow;
    } rows[] = {
        {8, 8},
        {platewise::metrics::kHttpWorkers * 2, 8},
        {300, 0},
        // More slow ones than workers: the header gate holds them, none
        // is ended to free a worker for the scrape.
        {0, 200},
        {platewise::metrics::kHttpWorkers * 2, 200},
    };
    for (const auto& row : rows) {
        MetricsPublisher publisher;
        std::string error;
        ASSERT_TRUE(publisher.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
        const int port = publisher.listening_ports().at(0);
        std::vector<int> idle;
        for (int i = 0; i < row.silent + row.slow; ++i) {
            const int fd = nettest::connect_loopback(port);
            ASSERT_GE(fd, 0) << i;
            if (i >= row.silent) {
                // Slow: half a request line, the rest never comes.
                ASSERT_EQ(::send(fd, "GET /metr", 9, MSG_NOSIGNAL), 9);
            }
            idle.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all accepted by now
        for (int scrape = 0; scrape < 3; ++scrape) {
            const std::string response = http_get(port, "/metrics", 2000);
            EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u)
                << row.silent << " silent, " << row.slow << " slow, scrape " << scrape << ": " << response;
            EXPECT_NE(body_of(response).find("platewise_snapshots_received_total"), std::string::npos);
        }
        int ended = 0;
        for (const int fd : idle) {
            pollfd p{fd, POLLIN, 0};
            ended += ::poll(&p, 1, 0) == 1 ? 1 : 0;
        }
        EXPECT_EQ(ended, 0) << row.silent << " silent, " << row.slow << " slow";
        for (const int fd : idle) {
            ::close(fd);
        }
    }
}

// A scrape read slowly, and scrapes whose clients leave before the answer,
// while others scrape: each answered in full, the slow one intact.
TEST(MetricsServer, ASlowScraperGetsItsWholeAnswerWhileOthersAreAnswered)
{
    MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
    ASSERT_TRUE(publisher.snapshot_received(metricstest::corpus_pass(metricstest::corpus_files()), 1, error))
        << error;
    const int port = publisher.listening_ports().at(0);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const int slow = nettest::connect_loopback(port);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(::send(slow, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    for (int i = 0; i < 4; ++i) {
        const int gone = nettest::connect_loopback(port);
        ASSERT_GE(gone, 0);
        ASSERT_EQ(::send(gone, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        ::close(gone);
    }
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        const std::string response = http_get(port, "/metrics", 5000);
        EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << i << ": " << response.substr(0, 200);
        expected = body_of(response);
    }
    EXPECT_GT(expected.size(), 10000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the answer waits on its way
    std::string response;
    char chunk[4096];
    for (;;) {
        pollfd p{slow, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1) << "after " << response.size() << " bytes";
        const ssize_t n = ::recv(slow, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        response.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(slow);
    EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response.substr(0, 200);
    // The Exposer's own series (bytes sent, scrapes) grow with each scrape:
    // the pass's are compared.
    const auto own = [](const std::string& body) {
        std::istringstream lines(body);
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("platewise_") != std::string::npos) {
                kept += line + "\n";
            }
        }
        return kept;
    };
    EXPECT_TRUE(own(body_of(response)) == own(expected)) << body_of(response).size() << " bytes, "
                                                         << expected.size() << " expected";
    const std::size_t length_at = response.find("Content-Length: ");
    ASSERT_NE(length_at, std::string::npos);
    EXPECT_EQ(std::stoul(response.substr(length_at + 16)), body_of(response).size()) << "every byte came";
}

TEST(MetricsServer, ConcurrentScrapesWhilePassesArrive)
{
    MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
    const int port = publisher.listening_ports().at(0);
    const platewise::SnapshotReport all = metricstest::corpus_pass(metricstest::corpus_files());
    const platewise::SnapshotReport one = metricstest::corpus_pass({"ST320410A--3.39.rec"});
    std::thread scraper([port] {
        for (int i = 0; i < 30; ++i) {
            std::vector<metricstest::Sample> samples;
            std::string bad;
            const std::string body = body_of(http_get(port, "/metrics"));
            EXPECT_TRUE(metricstest::parse_exposition(body, samples, bad)) << bad;
            EXPECT_NE(body.find("platewise_snapshots_received_total"), std::string::npos);
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(publisher.snapshot_received(i % 2 == 0 ? all : one, i, error)) << error;
    }
    scraper.join();
}

TEST(MetricsServer, AddressInUseIsAnError)
{
    MetricsPublisher first;
    std::string error;
    ASSERT_TRUE(first.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
    const std::string taken = "127.0.0.1:" + std::to_string(first.listening_ports().at(0));
    MetricsPublisher second;
    EXPECT_FALSE(second.start(taken, "", platewise::kDefaultFileMode, error));
    EXPECT_NE(error.find(taken), std::string::npos) << error;
    EXPECT_NE(error.find(" is in use: "), std::string::npos) << "said why: " << error;
    EXPECT_TRUE(second.listening_ports().empty());
    // Stopped serving, the first lets the address go at once.
    first.stop_serving();
    EXPECT_TRUE(first.listening_ports().empty());
    EXPECT_TRUE(second.start(taken, "", platewise::kDefaultFileMode, error)) << error;
}

TEST(MetricsServer, TextfileFollowsEveryChange)
{
    TempDir dir;
    const fs::path file = dir.path / "platewise.prom";
    MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("", file.string(), platewise::kDefaultFileMode, error)) << error;
    EXPECT_TRUE(publisher.listening_ports().empty());
    EXPECT_NE(read(file).find("\nplatewise_snapshots_received_total 0\n"), std::string::npos);
    ASSERT_TRUE(publisher.snapshot_refused(error)) << error;
    EXPECT_NE(read(file).find("\nplatewise_snapshots_refused_total 1\n"), std::string::npos);
    const platewise::SnapshotReport one = metricstest::corpus_pass({"ST320410A--3.39.rec"});
    ASSERT_TRUE(publisher.snapshot_received(one, 1796634902, error)) << error;
    EXPECT_EQ(read(file), publisher.text());
    EXPECT_NE(read(file).find("\nplatewise_drives 1\n"), std::string::npos);
    // Without notification channels there is no such family; with them,
    // each kind counts its failed attempts, published with the next pass.
    EXPECT_EQ(read(file).find("platewise_notifications_failed_total"), std::string::npos);
    std::map<std::string, std::uint64_t> failures = {{"exec", 0}, {"mail", 0}};
    publisher.set_notification_failures([&failures]() { return failures; });
    EXPECT_NE(read(file).find("# TYPE platewise_notifications_failed_total counter\n"
                              "platewise_notifications_failed_total{channel=\"exec\"} 0\n"
                              "platewise_notifications_failed_total{channel=\"mail\"} 0\n"),
              std::string::npos)
        << read(file);
    failures["mail"] = 3;
    ASSERT_TRUE(publisher.snapshot_received(one, 1796634907, error)) << error;
    EXPECT_NE(read(file).find("\nplatewise_notifications_failed_total{channel=\"mail\"} 3\n"), std::string::npos);
}

// The metrics come after the history and the events in listen: each hook
// they take keeps what was attached before it (the events of an NVMe pass
// reach the journal and the mail through on_nvme_snapshot), and the
// publisher still counts the pass.
TEST(MetricsServer, AttachKeepsTheHooksAttachedBefore)
{
    struct Row {
        const char* hook;
        std::function<void(platewise::ListenOptions&, int&)> set_before;
        std::function<void(platewise::ListenOptions&)> call;
        const char* counted;  // in the textfile after the call (none: published with the next pass)
    };
    const platewise::NvmeSnapshotReport nvme_pass;
    const platewise::SnapshotReport ata_pass = metricstest::corpus_pass({"ST320410A--3.39.rec"});
    const std::vector<Row> rows = {
        {"on_snapshot", [](platewise::ListenOptions& o, int& n) { o.on_snapshot = [&n](const platewise::SnapshotReport&) { ++n; }; },
         [&](platewise::ListenOptions& o) { o.on_snapshot(ata_pass); }, "\nplatewise_snapshots_received_total 1\n"},
        {"on_nvme_snapshot",
         [](platewise::ListenOptions& o, int& n) { o.on_nvme_snapshot = [&n](const platewise::NvmeSnapshotReport&) { ++n; }; },
         [&](platewise::ListenOptions& o) { o.on_nvme_snapshot(nvme_pass); },
         "\nplatewise_nvme_snapshots_received_total 1\n"},
        {"on_refused", [](platewise::ListenOptions& o, int& n) { o.on_refused = [&n] { ++n; }; },
         [](platewise::ListenOptions& o) { o.on_refused(); }, "\nplatewise_snapshots_refused_total 1\n"},
        {"on_peers_refused", [](platewise::ListenOptions& o, int& n) { o.on_peers_refused = [&n](std::uint64_t) { ++n; }; },
         [](platewise::ListenOptions& o) { o.on_peers_refused(2); }, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hook);
        TempDir dir;
        const fs::path file = dir.path / "platewise.prom";
        platewise::ListenOptions options;
        int before = 0;
        row.set_before(options, before);
        MetricsPublisher publisher;
        std::ostringstream err;
        ASSERT_TRUE(platewise::metrics::attach(publisher, "", file.string(), options, err, false)) << err.str();
        row.call(options);
        EXPECT_EQ(before, 1);
        if (row.counted != nullptr) {
            EXPECT_NE(read(file).find(row.counted), std::string::npos) << read(file);
        }
    }
}

// ------------------------------------------------- the options of listen

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun run(std::vector<std::string> args)
{
    args.insert(args.begin(), "platewise");
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    CliRun result;
    result.status = platewise::run_cli(static_cast<int>(argv.size()), argv.data(), in, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

bool send_to_socket(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return ok;
}

TEST(MetricsListen, HelpShowsTheOptions)
{
    const CliRun r = run({"listen", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--metrics"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--textfile"), std::string::npos) << r.out;
}

TEST(MetricsListen, TheAddressIsRequired)
{
    TempDir dir;
    for (const char* address : {"9945", ":9945", "0", "127.0.0.1", "127.0.0.1:", "127.0.0.1:99999",
                                "[::1]", "[]:9945", "eth0:9945", "1.2.3:9945", "127.0.0.1:9945s",
                                "127.0.0.1:80,127.0.0.1:81"}) {
        const CliRun r = run({"listen", "--endpoint", (dir.path / "sock").string(), "--metrics", address});
        EXPECT_EQ(r.status, 2) << address << ": " << r.err;
        EXPECT_NE(r.err.find("give an address and a port"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.path / "sock"));
    }
    for (const char* address : {"127.0.0.1:0", "[::1]:9101", "0.0.0.0:9101", "[::]:0"}) {
        EXPECT_TRUE(platewise::metrics::valid_metrics_address(address)) << address;
    }
}

TEST(MetricsListen, AnUnsafeTextfileDirectoryEndsListenWithStatus1)
{
    TempDir dir;
    fs::create_directory(dir.path / "open");
    fs::permissions(dir.path / "open", fs::perms::all);
    const CliRun r = run({"listen", "--endpoint", (dir.path / "sock").string(), "--textfile",
                          (dir.path / "open" / "platewise.prom").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--textfile " + (dir.path / "open" / "platewise.prom").string() +
                         ": refusing to write into"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(dir.path / "sock"));
    EXPECT_TRUE(fs::is_empty(dir.path / "open"));
}

TEST(MetricsListen, BusyMetricsAddressEndsListenWithStatus1)
{
    MetricsPublisher first;
    std::string error;
    ASSERT_TRUE(first.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
    TempDir dir;
    const CliRun r = run({"listen", "--endpoint", (dir.path / "sock").string(), "--metrics",
                          "127.0.0.1:" + std::to_string(first.listening_ports().at(0))});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot serve metrics"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.path / "sock"));
}

TEST(MetricsListen, TextfileOfTheSnapshotListenReceived)
{
    TempDir dir;
    const std::string endpoint = (dir.path / "sock").string();
    const fs::path file = dir.path / "platewise.prom";
    CliRun result;
    std::thread listener([&] {
        result = run({"listen", "--once", "--endpoint", endpoint, "--textfile", file.string(),
                      "--metrics", "127.0.0.1:0"});
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(endpoint) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(endpoint));
    // One refused (short) message, then a good snapshot. Connections are
    // read at once: wait for the refusal to show before sending the good one.
    EXPECT_TRUE(send_to_socket(endpoint, std::vector<std::uint8_t>(100, 1)));
    while (read(file).find("\nplatewise_snapshots_refused_total 1\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(send_to_socket(endpoint, metricstest::snapshot_of(metricstest::corpus_files())));
    listener.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("metrics written to " + file.string()), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("serving metrics on 127.0.0.1:0"), std::string::npos) << result.err;

    const std::string text = read(file);
    EXPECT_NE(text.find("\nplatewise_drives 19\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nplatewise_snapshots_received_total 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nplatewise_snapshots_refused_total 1\n"), std::string::npos);
    EXPECT_NE(text.find("platewise_attribute_failing_now{slot=\"7\",model=\"Maxtor 96147H8\","
                        "serial=\"N80BR8EC\",id=\"10\",name=\"Spin Retry Count\"} 1\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

// The metrics port checks the Host as the page does: a DNS-rebinding page
// (its own name pointed at 127.0.0.1) must not read the drives' models,
// serials and verdicts; addresses and localhost pass.
TEST(MetricsServer, AnswersOnlyByAddressOrLocalhost)
{
    MetricsPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.start("127.0.0.1:0", "", platewise::kDefaultFileMode, error)) << error;
    const int port = publisher.listening_ports().at(0);
    const struct Row {
        std::string host;
        const char* status;
    } rows[] = {
        {"127.0.0.1", "HTTP/1.1 200"},
        {"127.0.0.1:" + std::to_string(port), "HTTP/1.1 200"},
        {"localhost:" + std::to_string(port), "HTTP/1.1 200"},
        {"[::1]:9100", "HTTP/1.1 200"},
        {"rebound.attacker.example:" + std::to_string(port), "HTTP/1.1 421"},
        {"localhost.attacker.example", "HTTP/1.1 421"},
        {"127.0.0.1.nip.example", "HTTP/1.1 421"},
        {"", "HTTP/1.1 421"},
    };
    for (const Row& row : rows) {
        const std::string response = http_get(port, "/metrics", 5000, row.host);
        EXPECT_EQ(response.rfind(row.status, 0), 0u) << "Host: " << row.host << "\n" << response;
        if (std::string(row.status).find("421") != std::string::npos) {
            EXPECT_EQ(response.find("platewise_"), std::string::npos) << row.host;
        }
    }
}

}  // namespace
