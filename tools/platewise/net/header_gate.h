// A front for the servers' listening addresses that reads each request's
// headers before the server sees the connection. civetweb (ours and
// prometheus-cpp's) gives every accepted connection a worker thread until
// its headers are in: clients that send half a request would each hold a
// worker for the request time-out. The gate instead accepts the clients on
// one thread of its own, keeps up to a bound of them while their headers
// arrive (the oldest first to go when more come, and each for a time-out
// at most), and only then connects them to the real server, which listens
// on loopback at a port of its own, and relays the bytes both ways.
//
// On Linux the gate does this with epoll; elsewhere it is not available
// and the servers listen at the given address themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platewise::net {

struct GateLimits {
    // Connections whose headers are still coming; past it the oldest one
    // is closed to let the new one in. Each costs a descriptor and its
    // buffer, no thread.
    std::size_t max_pending = 1024;
    // The most a request's headers may take (civetweb's own bound): a
    // client that sends more without the blank line is answered 431.
    std::size_t max_header_bytes = 16 * 1024;
    // How long a connection may take to send its headers. Ten seconds: a
    // waiting connection holds no worker, so a slow link gets more room than
    // the servers' 2 s, and a client that stalls still goes well before the
    // bound fills with its kind.
    int header_timeout_ms = 10000;
    // Connections being relayed to the server at once; a request complete
    // past it is closed. Each holds at most two buffers of relay_buffer_bytes.
    std::size_t max_relayed = 1024;
    // Bytes held per direction of a relayed connection: a side is read only
    // while its peer's buffer has room, so a client that reads slowly holds
    // this, and by TCP's flow control its own server worker, and nothing else.
    std::size_t relay_buffer_bytes = 64 * 1024;
};

// What the gate did, for tests and logs.
struct GateCounts {
    std::uint64_t accepted = 0;
    std::uint64_t shed = 0;       // closed to make room for a newer one
    std::uint64_t timed_out = 0;  // headers not complete in time
    std::uint64_t too_large = 0;  // headers larger than the bound
    std::uint64_t relayed = 0;    // handed to the server
};

class HeaderGate {
public:
    explicit HeaderGate(GateLimits limits = {});
    ~HeaderGate();  // stop()
    HeaderGate(const HeaderGate&) = delete;
    HeaderGate& operator=(const HeaderGate&) = delete;

    // Whether this platform has the gate.
    static bool available();

    // Whether the gate can listen at `addresses`: IPV4:PORT or [IPV6]:PORT,
    // several separated by commas (civetweb's listening_ports for these);
    // other forms are left to the server.
    static bool understands(const std::string& addresses);

    // Binds and listens at `addresses` (port 0 picks a free one). False with
    // the reason in `error` when one cannot be bound; nothing stays open.
    bool listen(const std::string& addresses, std::string& error);

    // The ports listen() bound, in the order given.
    std::vector<int> ports() const;

    // Starts the gate's thread: complete requests go to 127.0.0.1:`server_port`.
    bool start(int server_port, std::string& error);

    // Closes every connection and the listening sockets and joins the thread.
    // Servers stop theirs after this: a worker writing to a client through
    // the gate then fails at once instead of waiting out its time-out.
    void stop();

    GateCounts counts() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Where a server listens behind a gate.
inline constexpr const char* kBehindGate = "127.0.0.1:0";

// Puts a gate listening at `address` in front of a server where this
// platform and the address allow it: the server then listens at
// kBehindGate and starts the gate with its port; else `gate` stays null
// and the server listens at `address` itself. False with the reason (the
// address_in_use_hint text when it is taken) when the gate cannot bind it.
bool listen_in_front(const std::string& address, std::unique_ptr<HeaderGate>& gate, std::string& error);

}  // namespace platewise::net
