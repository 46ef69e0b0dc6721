// The header gate over real loopback sockets, in front of a small server
// of the test's own (a thread per connection, so that it can be made to
// stall): what reaches the server, what reaches the client, which waiting
// client goes first, and the ends of connections that never complete.
#include "net/header_gate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback_client.h"

namespace {

using platewise::net::GateLimits;
using platewise::net::HeaderGate;
using namespace std::chrono_literals;

int listen_loopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool send_all(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything until the peer closes (or nothing comes for 10 s).
std::string receive_all(int fd)
{
    std::string bytes;
    char chunk[16384];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) {
            ADD_FAILURE() << "nothing for 10 s after " << bytes.size() << " bytes";
            break;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
}

// Whether the gate has closed `fd` (EOF or reset) within `ms`.
bool closed_within(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) {
        return false;
    }
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return bytes;
}

// The server behind the gate: each connection on a thread of its own reads
// the request (to the blank line, or with `to_eof` until the client's side
// is closed), keeps it, answers `answer_bytes` of pattern() and closes.
class Backend {
public:
    explicit Backend(std::size_t answer_bytes, bool to_eof = false) : answer_bytes_(answer_bytes), to_eof_(to_eof)
    {
        listener_ = listen_loopback(port_);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~Backend()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread& t : connections_) {
            t.join();
        }
        ::close(listener_);
    }
    int port() const { return port_; }
    std::vector<std::string> received()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void accept_loop()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) {
                continue;
            }
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections_.emplace_back([this, fd] { serve(fd); });
            }
        }
    }
    void serve(int fd)
    {
        std::string request;
        char chunk[4096];
        while (to_eof_ || (request.find("\r\n\r\n") == std::string::npos &&
                           request.find("\n\n") == std::string::npos)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) {
                request += "<no end came>";
                break;
            }
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            request.append(chunk, static_cast<std::size_t>(n));
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(request);
        }
        send_all(fd, pattern(answer_bytes_));
        ::close(fd);
    }

    std::size_t answer_bytes_;
    bool to_eof_;
    int port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> connections_;
    std::mutex mutex_;
    std::vector<std::string> received_;
};

// A gate on 127.0.0.1:0 in front of `backend`.
bool start_gate(HeaderGate& gate, const Backend& backend)
{
    std::string error;
    EXPECT_TRUE(gate.listen("127.0.0.1:0", error)) << error;
    EXPECT_TRUE(gate.start(backend.port(), error)) << error;
    return !gate.ports().empty();
}

// Waits until the gate has accepted `count` connections in all.
bool accepted(const HeaderGate& gate, std::uint64_t count)
{
    for (int i = 0; i < 500 && gate.counts().accepted < count; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return gate.counts().accepted >= count;
}

TEST(HeaderGate, TakesTheAddressesTheServersTake)
{
    const struct {
        const char* addresses;
        bool understood;
    } rows[] = {
        {"127.0.0.1:0", true},
        {"127.0.0.1:9946", true},
        {"[::1]:9946", true},
        {"[::]:0", true},
        {"127.0.0.1:0,[::1]:0", true},
        {"0.0.0.0:65535", true},
        {"", false},
        {"9946", false},
        {":9946", false},
        {"127.0.0.1:", false},
        {"127.0.0.1:65536", false},
        {"127.0.0.1:9946s", false},  // civetweb's TLS port: left to civetweb
        {"localhost:9946", false},
        {"[::1]", false},
        {"127.0.0.1:0,", false},
        {"1.2.3:80", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(HeaderGate::understands(row.addresses), row.understood) << row.addresses;
    }
}

TEST(HeaderGate, ListensAtEachAddressOrAtNone)
{
    int taken_port = 0;
    const int taken = listen_loopback(taken_port);
    ASSERT_GE(taken, 0);
    const std::string busy = "127.0.0.1:" + std::to_string(taken_port);
    const struct {
        std::string addresses;
        std::size_t ports;  // 0: refused
    } rows[] = {
        {"127.0.0.1:0", 1},
        {"127.0.0.1:0,127.0.0.1:0", 2},
        {busy, 0},
        {"127.0.0.1:0," + busy, 0},
        {"192.0.2.1:0", 0},  // not this machine's
        {"no address", 0},
    };
    for (const auto& row : rows) {
        HeaderGate gate;
        std::string error;
        EXPECT_EQ(gate.listen(row.addresses, error), row.ports != 0) << row.addresses;
        EXPECT_EQ(gate.ports().size(), row.ports) << row.addresses;
        EXPECT_EQ(error.empty(), row.ports != 0) << row.addresses << ": " << error;
        for (const int port : gate.ports()) {
            EXPECT_GT(port, 0) << row.addresses;
        }
    }
    ::close(taken);
}

// Requests sent whole or a byte at a time, with and without a body after
// the headers, answers small and large: the server gets exactly the bytes
// sent and the client exactly the bytes answered.
TEST(HeaderGate, RelaysTheRequestAndTheAnswerIntact)
{
    const std::string head = "GET /drive/D1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
    const std::string post = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300000\r\n\r\n" + pattern(300000);
    const struct {
        const char* name;
        std::string request;
        std::size_t piece;  // bytes per send
        std::size_t answer;
        bool half_close;    // the client closes its side after the request
    } rows[] = {
        {"small", head, head.size(), 100, false},
        {"a byte at a time", head, 1, 100, false},
        {"bare newlines", "GET / HTTP/1.0\nHost: x\n\n", 1, 10, false},
        {"large answer", head, head.size(), 3 * 1024 * 1024, false},
        {"body and half-close", post, 7000, 5000, true},
    };
    for (const auto& row : rows) {
        Backend backend(row.answer, row.half_close);
        HeaderGate gate;
        ASSERT_TRUE(start_gate(gate, backend)) << row.name;
        const int fd = nettest::connect_loopback(gate.ports()[0]);
        ASSERT_GE(fd, 0) << row.name;
        for (std::size_t at = 0; at < row.request.size(); at += row.piece) {
            ASSERT_TRUE(send_all(fd, row.request.substr(at, row.piece))) << row.name;
            if (row.piece == 1) {
                std::this_thread::sleep_for(1ms);
            }
        }
        if (row.half_close) {
            ::shutdown(fd, SHUT_WR);
        }
        const std::string answer = receive_all(fd);
        ::close(fd);
        EXPECT_EQ(answer.size(), row.answer) << row.name;
        EXPECT_TRUE(answer == pattern(row.answer)) << row.name;
        const std::vector<std::string> received = backend.received();
        ASSERT_EQ(received.size(), 1u) << row.name;
        EXPECT_TRUE(received[0] == row.request) << row.name << ": " << received[0].size() << " bytes";
        EXPECT_EQ(gate.counts().relayed, 1u) << row.name;
    }
}

// A client that reads nothing of a large answer holds its own buffers
// only: others are answered meanwhile, and it still gets every byte.
TEST(HeaderGate, ASlowReaderHoldsUpNoOtherClient)
{
    const std::size_t size = 8 * 1024 * 1024;
    Backend backend(size);
    HeaderGate gate;
    ASSERT_TRUE(start_gate(gate, backend));
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const int slow = nettest::connect_loopback(gate.ports()[0]);
    ASSERT_TRUE(send_all(slow, request));
    std::this_thread::sleep_for(200ms);  // its answer fills every buffer on the way
    for (int i = 0; i < 3; ++i) {
        const int fast = nettest::connect_loopback(gate.ports()[0]);
        ASSERT_TRUE(send_all(fast, request));
        const std::string answer = receive_all(fast);
        ::close(fast);
        EXPECT_EQ(answer.size(), size) << i;
    }
    const std::string answer = receive_all(slow);
    ::close(slow);
    EXPECT_EQ(answer.size(), size);
    EXPECT_TRUE(answer == pattern(size));
}

// Past the bound, the connection that has waited longest for its headers
// goes, whether or not it sent anything since; the others are still served.
TEST(HeaderGate, ShedsTheOldestWaitingClientFirst)
{
    Backend backend(10);
    GateLimits limits;
    limits.max_pending = 4;
    HeaderGate gate(limits);
    ASSERT_TRUE(start_gate(gate, backend));
    std::vector<int> waiting;
    for (int i = 0; i < 6; ++i) {
        waiting.push_back(nettest::connect_loopback(gate.ports()[0]));
        ASSERT_TRUE(send_all(waiting.back(), "GET / HTTP/1.1\r\nHost: 12"));
        ASSERT_TRUE(accepted(gate, static_cast<std::uint64_t>(i + 1))) << i;
        if (i == 1) {
            // The oldest sends more: it is still the oldest.
            ASSERT_TRUE(send_all(waiting[0], "7.0.0.1\r\n"));
        }
    }
    EXPECT_EQ(gate.counts().shed, 2u);
    EXPECT_TRUE(closed_within(waiting[0], 5000));
    EXPECT_TRUE(closed_within(waiting[1], 5000));
    for (std::size_t i = 2; i < waiting.size(); ++i) {
        EXPECT_FALSE(closed_within(waiting[i], 50)) << i;
        ASSERT_TRUE(send_all(waiting[i], "7.0.0.1\r\n\r\n")) << i;
        EXPECT_EQ(receive_all(waiting[i]), pattern(10)) << i;
    }
    for (const int fd : waiting) {
        ::close(fd);
    }
    EXPECT_EQ(backend.received().size(), 4u);
}

// Connections that never become a request end without reaching the server.
TEST(HeaderGate, EndsClientsThatNeverCompleteTheirHeaders)
{
    const struct {
        const char* name;
        std::string sent;
        bool client_closes;
        std::uint64_t timed_out;
        std::uint64_t too_large;
        const char* answer_starts;  // what the client may see before the close
    } rows[] = {
        {"stalls", "GET / HTTP/1.1\r\nHost:", false, 1, 0, ""},
        {"too large", "GET / HTTP/1.1\r\nX: " + std::string(20000, 'x'), false, 0, 1, "HTTP/1.1 431 "},
        {"gives up", "GET / HTTP/1.1\r\n", true, 0, 0, ""},
    };
    for (const auto& row : rows) {
        Backend backend(10);
        GateLimits limits;
        limits.header_timeout_ms = 300;
        HeaderGate gate(limits);
        ASSERT_TRUE(start_gate(gate, backend)) << row.name;
        const int fd = nettest::connect_loopback(gate.ports()[0]);
        send_all(fd, row.sent);  // the gate may close before the whole is in
        if (row.client_closes) {
            ::close(fd);
            ASSERT_TRUE(accepted(gate, 1)) << row.name;
        } else {
            const auto start = std::chrono::steady_clock::now();
            pollfd p{fd, POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 5000), 1) << row.name;
            char buffer[64] = {};
            const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
            if (n > 0) {
                EXPECT_EQ(std::string(buffer).rfind(row.answer_starts, 0), 0u) << row.name << ": " << buffer;
            }
            if (row.timed_out != 0) {
                EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms) << row.name;
            }
            ::close(fd);
        }
        for (int i = 0; i < 100 && gate.counts().timed_out + gate.counts().too_large < row.timed_out + row.too_large;
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(gate.counts().timed_out, row.timed_out) << row.name;
        EXPECT_EQ(gate.counts().too_large, row.too_large) << row.name;
        EXPECT_EQ(gate.counts().relayed, 0u) << row.name;
        EXPECT_TRUE(backend.received().empty()) << row.name;
    }
}

// A client that closes before its answer comes leaves the gate serving.
TEST(HeaderGate, AClientThatLeavesEarlyLeavesTheOthersServed)
{
    Backend backend(2 * 1024 * 1024);
    HeaderGate gate;
    ASSERT_TRUE(start_gate(gate, backend));
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (int i = 0; i < 8; ++i) {
        const int fd = nettest::connect_loopback(gate.ports()[0]);
        ASSERT_TRUE(send_all(fd, request));
        ::close(fd);
    }
    const int fd = nettest::connect_loopback(gate.ports()[0]);
    ASSERT_TRUE(send_all(fd, request));
    EXPECT_EQ(receive_all(fd).size(), 2u * 1024 * 1024);
    ::close(fd);
}

// Stopping with connections in every state ends them all and returns.
TEST(HeaderGate, StopsWithConnectionsOpen)
{
    Backend backend(4 * 1024 * 1024);
    HeaderGate gate;
    ASSERT_TRUE(start_gate(gate, backend));
    std::vector<int> clients;
    for (const char* sent : {"", "GET / HT", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}) {
        clients.push_back(nettest::connect_loopback(gate.ports()[0]));
        send_all(clients.back(), sent);
    }
    ASSERT_TRUE(accepted(gate, 2));
    std::this_thread::sleep_for(100ms);
    gate.stop();
    for (std::size_t i = 1; i < clients.size(); ++i) {
        char chunk[65536];
        ssize_t n = 0;
        while ((n = ::recv(clients[i], chunk, sizeof chunk, 0)) > 0) {
        }
        EXPECT_LE(n, 0) << i;
    }
    for (const int fd : clients) {
        ::close(fd);
    }
}

}  // namespace
