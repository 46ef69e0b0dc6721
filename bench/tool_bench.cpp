// What reading a snapshot costs the listener: decoding a full 32-drive
// snapshot to text and to JSON, and receiving one snapshot over a real
// Unix-domain socket and decoding it, as `platewise listen` does.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "report/drive_report.h"
#include "report/json_report.h"
#include "commands/listen_command.h"
#include "cli/raw_format_option.h"
#include "report/text_report.h"

namespace {

// 32 drives from the corpus, the 19 records used over again.
std::vector<std::uint8_t> full_snapshot()
{
    std::vector<std::string> records;
    for (const auto& entry : std::filesystem::directory_iterator(PLATEWISE_CORPUS_DIR)) {
        records.push_back(entry.path().string());
    }
    std::sort(records.begin(), records.end());
    std::vector<std::uint8_t> message(smart::kDriveSnapshotBytes, 0);
    message[0] = 33;
    for (std::size_t slot = 0; slot < smart::kDriveSlots; ++slot) {
        std::ifstream in(records[slot % records.size()], std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::memcpy(message.data() + 1 + slot * smart::kDriveRecordBytes, bytes.data(),
                    smart::kDriveRecordBytes);
    }
    return message;
}

// Decoding as the listener does it: the snapshot split once, then reported
// and rendered by `render` in every iteration.
template <typename Render>
void decode_full_snapshot(benchmark::State& state, Render render)
{
    const std::vector<std::uint8_t> message = full_snapshot();
    const auto table = platewise::definition_table({});
    smart::DriveSnapshot snapshot;
    smart::split_snapshot(message, snapshot);
    for (auto _ : state) {
        platewise::SnapshotReport report;
        std::string error;
        platewise::report_snapshot(snapshot, table, report, error);
        benchmark::DoNotOptimize(render(report));
    }
}

void BM_DecodeSnapshotToText(benchmark::State& state)
{
    decode_full_snapshot(state, [](const platewise::SnapshotReport& report) {
        return platewise::render_text(report, "snapshot");
    });
}
BENCHMARK(BM_DecodeSnapshotToText);

void BM_DecodeSnapshotToJson(benchmark::State& state)
{
    decode_full_snapshot(state, [](const platewise::SnapshotReport& report) {
        return platewise::render_json_line(platewise::report_to_json(report));
    });
}
BENCHMARK(BM_DecodeSnapshotToJson);

// One connection per iteration, as the service makes one per pass: connect,
// write 49185 bytes, close; the listener reads, checks and decodes it.
void BM_ListenerReceiveAndDecode(benchmark::State& state)
{
    const std::vector<std::uint8_t> message = full_snapshot();
    char pattern[] = "/tmp/platewise-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string endpoint = dir + "/PlatewisePipe";

    std::atomic<bool> listening{false};
    std::atomic<unsigned> decoded{0};
    std::ostringstream out;
    std::ostringstream err;
    platewise::ListenOptions options;
    options.endpoint = endpoint;
    options.handle_signals = false;
    options.on_listening = [&] { listening = true; };
    options.on_snapshot = [&](const platewise::SnapshotReport&) {
        out.str("");
        ++decoded;
    };
    platewise::endpoint::clear_stop();  // a stop from an earlier run must not end this one
    std::thread listener([&] { platewise::run_listen(options, out, err); });
    while (!listening) {
        std::this_thread::yield();
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, endpoint.c_str());
    for (auto _ : state) {
        const unsigned before = decoded;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        std::size_t done = 0;
        while (done < message.size()) {
            const ssize_t n = ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        while (decoded == before) {
            std::this_thread::yield();
        }
    }
    platewise::endpoint::request_stop();
    listener.join();
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ListenerReceiveAndDecode)->UseRealTime();

}  // namespace
