// The status page against a large history: one page on its own, and 16
// requests at once with and without the page's bounds on history-reading
// requests (web/request_limits.h). The store holds 32 drives with an hourly
// sample each over PLATEWISE_BENCH_DAYS days (default 365), built once in a
// private temporary folder. Peak memory is the process's (ru_maxrss), read
// after each benchmark and shown as a counter.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "history/history_recorder.h"
#include "history/history_store.h"
#include "history/view_replay.h"
#include "metrics/metrics_server.h"
#include "web/request_limits.h"
#include "web/web_server.h"

namespace {

namespace fs = std::filesystem;
using namespace platewise;

constexpr std::int64_t kStart = 1764583200000;  // 2025-12-01 10:00 UTC
constexpr std::int64_t kHourMs = 3600 * 1000;

void put_ata_string(std::uint8_t (&sector)[512], std::size_t word, std::size_t words,
                    const std::string& text)
{
    std::string padded = text;
    padded.resize(words * 2, ' ');
    for (std::size_t i = 0; i < words; ++i) {
        sector[(word + i) * 2] = static_cast<std::uint8_t>(padded[i * 2 + 1]);
        sector[(word + i) * 2 + 1] = static_cast<std::uint8_t>(padded[i * 2]);
    }
}

struct Fixture {
    std::string dir;
    std::string path;
    std::int64_t now_ms = 0;

    Fixture()
    {
        const char* days_text = std::getenv("PLATEWISE_BENCH_DAYS");
        const int days = days_text != nullptr ? std::atoi(days_text) : 365;
        char pattern[] = "/tmp/platewise-web-bench-XXXXXX";
        dir = ::mkdtemp(pattern);
        path = dir + "/history.db";
        history::HistoryStore store;
        history::Recorder recorder;
        std::string error;
        if (!history::open_history(store, path, false, error) ||
            !history::load_recorder(recorder, store, false, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        auto snapshot = std::make_unique<smart::DriveSnapshot>();
        std::memset(snapshot.get(), 0, sizeof *snapshot);
        snapshot->count = 33;
        for (std::size_t d = 0; d < 32; ++d) {
            smart::DriveRecord& r = snapshot->drives[d];
            put_ata_string(r.identify, 27, 20, "PW BENCH DISK");
            put_ata_string(r.identify, 10, 10, "BENCH" + std::to_string(d));
            r.smart_values[0] = 0x10;
            const std::uint8_t ids[] = {1, 5, 9, 194, 197};
            for (std::size_t i = 0; i < 5; ++i) {
                std::uint8_t* e = &r.smart_values[2 + i * 12];
                e[0] = ids[i];
                e[3] = 100;
                e[4] = 100;
            }
        }
        for (int h = 0; h < days * 24; ++h) {
            for (std::size_t d = 0; d < 32; ++d) {
                std::uint8_t* temperature = &snapshot->drives[d].smart_values[2 + 3 * 12];
                temperature[5] = static_cast<std::uint8_t>(30 + (h + static_cast<int>(d)) % 12);
                std::uint8_t* hours = &snapshot->drives[d].smart_values[2 + 2 * 12];
                hours[5] = static_cast<std::uint8_t>(h);
                hours[6] = static_cast<std::uint8_t>(h >> 8);
            }
            now_ms = kStart + h * kHourMs;
            if (!history::record_snapshot(recorder, store, *snapshot, now_ms, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                std::abort();
            }
        }
        history::flush_recorder(recorder, store, error);
        std::fprintf(stderr, "web_bench: %d days, %.1f MB\n", days,
                     static_cast<double>(fs::file_size(path)) / 1e6);
    }
    ~Fixture() { fs::remove_all(dir); }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// A source as respond() alone gets it, or (bounded) as the server makes
// it, with `replays` kept from earlier requests when given.
web::WebSource source(bool bounded, std::shared_ptr<history::ViewReplays> replays = nullptr)
{
    web::WebSource s;
    s.replays = std::move(replays);
    s.history_path = fixture().path;
    const std::int64_t now = fixture().now_ms;
    s.now_ms = [now] { return now; };
    if (bounded) {
        s.limits = std::make_shared<web::RequestLimits>();
        s.drive_limits = std::make_shared<web::RequestLimits>();
    }
    return s;
}

double peak_mb()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_FrontPage(benchmark::State& state)
{
    const web::WebSource s = source(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(web::respond({"GET", "/", "", "127.0.0.1"}, s));
    }
    state.counters["peak_MB"] = peak_mb();
}
BENCHMARK(BM_FrontPage)->Unit(benchmark::kMillisecond)->Iterations(3);

// Replays kept from one `/` before: what the server answers once it has
// answered anything.
std::shared_ptr<history::ViewReplays> warm_replays()
{
    auto replays = std::make_shared<history::ViewReplays>();
    benchmark::DoNotOptimize(web::respond({"GET", "/", "", "127.0.0.1"}, source(false, replays)));
    return replays;
}

void BM_FrontPageKept(benchmark::State& state)
{
    const web::WebSource s = source(false, warm_replays());
    for (auto _ : state) {
        benchmark::DoNotOptimize(web::respond({"GET", "/", "", "127.0.0.1"}, s));
    }
    state.counters["peak_MB"] = peak_mb();
}
BENCHMARK(BM_FrontPageKept)->Unit(benchmark::kMillisecond)->Iterations(3);

// One request of each other history-reading kind, alone.
void BM_DrivesAlone(benchmark::State& state)
{
    const web::WebSource s = source(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(web::respond({"GET", "/api/drives", "", "127.0.0.1"}, s));
    }
    state.counters["peak_MB"] = peak_mb();
}
BENCHMARK(BM_DrivesAlone)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DriveReadingsAlone(benchmark::State& state)
{
    const web::WebSource s = source(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(web::respond({"GET", "/api/drive/BENCH7", "", "127.0.0.1"}, s));
    }
    state.counters["peak_MB"] = peak_mb();
}
BENCHMARK(BM_DriveReadingsAlone)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DrivePageAlone(benchmark::State& state)
{
    const web::WebSource s = source(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(web::respond({"GET", "/drive/BENCH7", "range=year", "127.0.0.1"}, s));
    }
    state.counters["peak_MB"] = peak_mb();
}
BENCHMARK(BM_DrivePageAlone)->Unit(benchmark::kMillisecond)->Iterations(3);

// 16 clients at once, each asking for `/` and then `/api/drives`: the
// time until all are answered.
void sixteen_at_once(benchmark::State& state, bool bounded)
{
    fixture();  // the store is built before the clock starts
    for (auto _ : state) {
        const web::WebSource s = source(bounded);
        std::vector<std::thread> clients;
        for (int i = 0; i < 16; ++i) {
            clients.emplace_back([&s, i] {
                benchmark::DoNotOptimize(
                    web::respond({"GET", i % 2 == 0 ? "/" : "/api/drives", "", "127.0.0.1"}, s));
            });
        }
        for (std::thread& c : clients) {
            c.join();
        }
    }
    state.counters["peak_MB"] = peak_mb();
}
void BM_SixteenAtOnceUnbounded(benchmark::State& state)
{
    sixteen_at_once(state, false);
}
void BM_SixteenAtOnceBounded(benchmark::State& state)
{
    sixteen_at_once(state, true);
}
// 16 clients at once asking for the three kinds of history-reading
// requests in turn (`/`, `/api/drives`, a drive's readings, each drive
// another): the time until all are answered, and the slowest `/`.
// With `kept`, the replays were kept from a request before (a server that
// has answered anything); else the 16 are the first after a start.
void sixteen_mixed_at_once(benchmark::State& state, bool kept)
{
    fixture();  // the store is built before the clock starts
    const auto replays = kept ? warm_replays() : nullptr;
    for (auto _ : state) {
        const web::WebSource s =
            source(true, kept ? replays : std::make_shared<history::ViewReplays>());
        std::vector<std::thread> clients;
        std::vector<double> page_seconds(16, 0.0);
        for (int i = 0; i < 16; ++i) {
            clients.emplace_back([&s, &page_seconds, i] {
                const std::string path = i % 3 == 0   ? std::string("/")
                                         : i % 3 == 1 ? std::string("/api/drives")
                                                      : "/api/drive/BENCH" + std::to_string(i);
                const auto start = std::chrono::steady_clock::now();
                const web::WebResponse r = web::respond({"GET", path, "", "127.0.0.1"}, s);
                if (r.status != 200) {
                    std::fprintf(stderr, "web_bench: %s answered %d\n", path.c_str(), r.status);
                }
                if (i % 3 == 0) {
                    page_seconds[static_cast<std::size_t>(i)] =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                }
            });
        }
        for (std::thread& c : clients) {
            c.join();
        }
        state.counters["slowest_page_s"] = *std::max_element(page_seconds.begin(), page_seconds.end());
    }
    state.counters["peak_MB"] = peak_mb();
}

void BM_SixteenMixedAtOnceKept(benchmark::State& state)
{
    sixteen_mixed_at_once(state, true);
}
void BM_SixteenMixedAtOnce(benchmark::State& state)
{
    sixteen_mixed_at_once(state, false);
}

// Bounded first: peak memory only grows, so its figure is its own.
BENCHMARK(BM_SixteenMixedAtOnceKept)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SixteenMixedAtOnce)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SixteenAtOnceBounded)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SixteenAtOnceUnbounded)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

int connect_to(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "web_bench: cannot connect to port %d\n", port);
        std::abort();
    }
    return fd;
}

// One GET over a socket; the status line ("" when no answer came in 120 s).
std::string fetch(int port, const std::string& path)
{
    const int fd = connect_to(port);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string answer;
    if (::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[16384];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 120000) == 1) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

// The page's server (with /metrics shared) and the metrics' own server
// while state.range(0) clients hold connections open: silent ones
// (state.range(1) 0) or ones that sent half a request header (1). The
// time of one `/` and one `/metrics` on each server after they connected.
void BM_WhileClientsIdle(benchmark::State& state)
{
    web::WebSource s;
    {
        // A small store: the time measured is the wait for a worker.
        s.history_path = fixture().dir + "/idle.db";
        history::HistoryStore store;
        std::string error;
        history::open_history(store, s.history_path, false, error);
    }
    metrics::MetricsPublisher publisher;
    std::string error;
    if (!publisher.start("127.0.0.1:0", "", 0600, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    s.metrics_text = [&publisher] { return publisher.text(); };
    web::WebServer server;
    if (!server.start("127.0.0.1:0", s, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    const int page_port = server.listening_ports().at(0);
    const int metrics_port = publisher.listening_ports().at(0);
    const bool partial = state.range(1) != 0;
    for (auto _ : state) {
        std::vector<int> idle;
        for (int i = 0; i < state.range(0); ++i) {
            for (const int port : {page_port, metrics_port}) {
                const int fd = connect_to(port);
                if (partial) {
                    const char half[] = "GET / HTTP/1.1\r\nHost: 127";
                    ::send(fd, half, sizeof half - 1, 0);
                }
                idle.push_back(fd);
            }
        }
        // The three at once, each timed from the same start.
        struct Asked {
            int port;
            const char* path;
            const char* counter;
            std::string status;
            double seconds = 0;
        } asked[] = {{page_port, "/", "page_s", {}}, {page_port, "/metrics", "page_metrics_s", {}},
                     {metrics_port, "/metrics", "metrics_s", {}}};
        std::vector<std::thread> clients;
        const auto start = std::chrono::steady_clock::now();
        for (Asked& a : asked) {
            clients.emplace_back([&a, start] {
                a.status = fetch(a.port, a.path);
                a.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            });
        }
        for (std::thread& c : clients) {
            c.join();
        }
        for (const Asked& a : asked) {
            if (a.status.find(" 200 ") == std::string::npos) {
                state.SkipWithError("a request got no 200");
            }
            state.counters[a.counter] = a.seconds;
        }
        for (const int fd : idle) {
            ::close(fd);
        }
    }
}
BENCHMARK(BM_WhileClientsIdle)
    ->ArgNames({"idle", "partial"})
    ->Args({40, 0})
    ->Args({300, 0})
    ->Args({40, 1})
    ->Args({300, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
