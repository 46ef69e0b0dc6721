// What a peer sends, the listener must survive: each input is one
// connection's bytes (any length, then the peer closes) sent to a real
// listener on a socket in a temporary folder. Each must be reported or
// decoded, and the listener must be there for the next one.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "commands/listen_command.h"

namespace {

std::string g_endpoint;
std::atomic<unsigned> g_handled{0};

void start_listener()
{
    char pattern[] = "/tmp/platewise-fuzz-XXXXXX";
    g_endpoint = std::string(mkdtemp(pattern)) + "/PlatewisePipe";
    std::atomic<bool> listening{false};
    std::thread([&listening] {
        static std::ostringstream out;
        static std::ostringstream err;
        platewise::ListenOptions options;
        options.endpoint = g_endpoint;
        options.read_timeout_ms = 2000;
        options.handle_signals = false;
        options.on_listening = [&listening] { listening = true; };
        options.on_snapshot = [](const platewise::SnapshotReport&) {
            out.str("");
            ++g_handled;
        };
        options.on_refused = [] {
            err.str("");
            ++g_handled;
        };
        platewise::run_listen(options, out, err);
        __builtin_trap();  // the listener must never end by itself
    }).detach();
    while (!listening) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = false;
    if (!started) {
        start_listener();
        started = true;
    }
    // Inputs stand for whole messages: grow the short ones towards a
    // snapshot's size by repetition when the first byte asks for it.
    std::string message(reinterpret_cast<const char*>(data), size);
    if (size > 1 && data[0] == 0xFF) {
        const std::size_t target = 49185 + (data[1] % 3) - 1;  // one short, exact, one long
        while (message.size() < target) {
            message.append(reinterpret_cast<const char*>(data), std::min(size, target - message.size()));
        }
    }

    const unsigned before = g_handled;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, g_endpoint.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        __builtin_trap();  // the listener is gone
    }
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t n = ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            break;  // the listener may refuse a long message early
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    // One input, one verdict, before the next input is sent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_handled == before) {
        if (std::chrono::steady_clock::now() > deadline) {
            __builtin_trap();
        }
        std::this_thread::yield();
    }
    return 0;
}
