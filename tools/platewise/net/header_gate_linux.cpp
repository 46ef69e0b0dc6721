// The header gate on Linux: one thread, one epoll set, non-blocking sockets.
// Every connection is a Link: first its client alone while the headers
// come (a "pending" one, in accept order, which is also the order they
// time out and are shed in), then the client and its connection to the
// server with a bounded buffer each way.
#include "net/header_gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "net/host_port.h"
#include "net/idle_connections.h"

namespace platewise::net {

namespace {

using Clock = std::chrono::steady_clock;

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// IPV4:PORT or [IPV6]:PORT.
bool parse_endpoint(const std::string& text, Endpoint& out)
{
    std::string host;
    unsigned port = 0;
    if (!split_host_port(text, host, port)) {
        return false;
    }
    out = Endpoint{};
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        auto* six = reinterpret_cast<sockaddr_in6*>(&out.address);
        if (::inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) != 1) {
            return false;
        }
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<std::uint16_t>(port));
        out.length = sizeof *six;
        return true;
    }
    auto* four = reinterpret_cast<sockaddr_in*>(&out.address);
    if (::inet_pton(AF_INET, host.c_str(), &four->sin_addr) != 1) {
        return false;
    }
    four->sin_family = AF_INET;
    four->sin_port = htons(static_cast<std::uint16_t>(port));
    out.length = sizeof *four;
    return true;
}

bool parse_endpoints(const std::string& text, std::vector<Endpoint>& out)
{
    out.clear();
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        Endpoint endpoint;
        if (!parse_endpoint(text.substr(at, end - at), endpoint)) {
            return false;
        }
        out.push_back(endpoint);
        at = end + 1;
    }
    return !out.empty();
}

// Bytes one way, at most `capacity` of them; storage grows only as used.
class Buffer {
public:
    void set_capacity(std::size_t capacity) { capacity_ = capacity; }
    std::size_t size() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }
    // Room left before the buffer holds `limit` bytes (or is full).
    std::size_t room(std::size_t limit) const
    {
        const std::size_t bound = std::min(capacity_, limit);
        return size() >= bound ? 0 : bound - size();
    }
    std::size_t room() const { return capacity_ - size(); }
    const char* data() const { return bytes_.data() + begin_; }

    // recv() into the buffer, at most until it holds `limit` bytes: what
    // recv returned (-1 with errno).
    ssize_t fill(int fd, std::size_t limit)
    {
        const std::size_t want = room(limit);
        if (want == 0) {
            errno = EAGAIN;
            return -1;
        }
        if (begin_ > 0 && bytes_.size() - end_ < want) {
            std::memmove(bytes_.data(), bytes_.data() + begin_, size());
            end_ -= begin_;
            begin_ = 0;
        }
        if (bytes_.size() - end_ < want) {
            bytes_.resize(std::min(capacity_, std::max(end_ + want, std::size_t{4096})));
        }
        const ssize_t n = ::recv(fd, bytes_.data() + end_, std::min(want, bytes_.size() - end_), 0);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
        }
        return n;
    }

    // send() what it holds: what send returned (-1 with errno).
    ssize_t drain(int fd)
    {
        const ssize_t n = ::send(fd, data(), size(), MSG_NOSIGNAL);
        if (n > 0) {
            begin_ += static_cast<std::size_t>(n);
            if (begin_ == end_) {
                begin_ = end_ = 0;
            }
        }
        return n;
    }

private:
    std::vector<char> bytes_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t capacity_ = 0;
};

// epoll's flags as plain numbers (glibc declares them as an enum).
constexpr std::uint32_t kIn = EPOLLIN;
constexpr std::uint32_t kOut = EPOLLOUT;

bool would_block(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

enum class Kind { listener, wake, client, server };

struct Link;

// What an epoll event is about.
struct Tag {
    Kind kind;
    Link* link = nullptr;
    int fd = -1;  // the listener's
};

struct Link {
    enum class Phase { head, connecting, relay, closed };
    Phase phase = Phase::head;
    int client = -1;
    int server = -1;
    Tag client_tag{Kind::client, this};
    Tag server_tag{Kind::server, this};
    std::uint32_t client_events = 0;  // as registered with epoll (0: not registered)
    std::uint32_t server_events = 0;
    Clock::time_point since;          // accepted; then when the server was done
    std::list<Link*>::iterator queued;  // in pending or in closing
    bool in_pending = false;
    bool in_closing = false;
    Buffer up;    // client to server: first the headers
    Buffer down;  // server to client
    std::size_t scanned = 0;  // header bytes looked at for the blank line
    bool client_eof = false;
    bool server_eof = false;
    bool server_shut = false;  // our side's FIN sent to the server
    bool client_shut = false;
};

// Where the headers end (just past the blank line), or 0: as civetweb
// finds it, "\r\n\r\n" or "\n\n".
std::size_t header_end(const char* bytes, std::size_t size, std::size_t from)
{
    for (std::size_t i = from; i + 1 < size; ++i) {
        if (bytes[i] == '\n' && bytes[i + 1] == '\n') {
            return i + 2;
        }
        if (i + 3 < size && bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' &&
            bytes[i + 3] == '\n') {
            return i + 4;
        }
    }
    return 0;
}

constexpr char kTooLarge[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 29\r\nConnection: close\r\n\r\nThe request's headers are too large.\n";

// How long after accept() failed for want of descriptors before trying again.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

struct HeaderGate::State {
    GateLimits limits;
    std::vector<int> listeners;
    std::vector<Tag> listener_tags;
    std::vector<int> ports;
    int epoll = -1;
    int wake = -1;
    Tag wake_tag{Kind::wake};
    sockaddr_in server_address{};
    std::thread thread;

    // The thread's own.
    std::unordered_map<Link*, std::unique_ptr<Link>> links;
    std::list<Link*> pending;  // oldest first
    std::list<Link*> closing;  // the server done, the client not yet gone: oldest first
    std::vector<std::unique_ptr<Link>> closed;  // freed after the events in hand
    std::size_t relayed_now = 0;
    bool accepting = true;
    Clock::time_point accept_again;

    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> shed{0};
    std::atomic<std::uint64_t> timed_out{0};
    std::atomic<std::uint64_t> too_large{0};
    std::atomic<std::uint64_t> relayed{0};

    void run();
    void accept_from(int listener);
    void set_accepting(bool on);
    void on_event(Tag& tag, std::uint32_t events);
    void read_head(Link& link);
    void hand_over(Link& link);
    void connected(Link& link);
    void pump(Link& link, bool client_side, std::uint32_t events);
    void settle(Link& link);
    void watch(Link& link);
    void close_link(Link& link);
    void expire(Clock::time_point now);
    int wait_ms(Clock::time_point now) const;
    void close_all();
};

bool HeaderGate::available()
{
    return true;
}

bool HeaderGate::understands(const std::string& addresses)
{
    std::vector<Endpoint> endpoints;
    return parse_endpoints(addresses, endpoints);
}

HeaderGate::HeaderGate(GateLimits limits) : state_(std::make_unique<State>())
{
    limits.max_pending = std::max<std::size_t>(limits.max_pending, 1);
    limits.max_header_bytes = std::max<std::size_t>(limits.max_header_bytes, 64);
    limits.relay_buffer_bytes = std::max(limits.relay_buffer_bytes, limits.max_header_bytes);
    limits.max_relayed = std::max<std::size_t>(limits.max_relayed, 1);
    state_->limits = limits;
}

HeaderGate::~HeaderGate()
{
    stop();
}

bool HeaderGate::listen(const std::string& addresses, std::string& error)
{
    std::vector<Endpoint> endpoints;
    if (!parse_endpoints(addresses, endpoints)) {
        error = "not an address and a port: " + addresses;
        return false;
    }
    const auto give_up = [this, &error](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        for (const int fd : state_->listeners) {
            ::close(fd);
        }
        state_->listeners.clear();
        state_->ports.clear();
        return false;
    };
    for (const Endpoint& endpoint : endpoints) {
        const int fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return give_up("cannot make a socket");
        }
        state_->listeners.push_back(fd);
        const int one = 1;
        // As civetweb binds: a port in TIME_WAIT can be taken again.
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (endpoint.address.ss_family == AF_INET6) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0) {
            return give_up("cannot bind");
        }
        if (::listen(fd, kListenBacklog) != 0) {
            return give_up("cannot listen");
        }
        // Silent clients stay in the kernel until they send.
        const int seconds = kDeferAcceptSeconds;
        ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            return give_up("cannot read the bound port");
        }
        state_->ports.push_back(bound.ss_family == AF_INET6
                                    ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                                    : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port));
    }
    return true;
}

std::vector<int> HeaderGate::ports() const
{
    return state_->ports;
}

bool HeaderGate::start(int server_port, std::string& error)
{
    State& s = *state_;
    s.server_address.sin_family = AF_INET;
    s.server_address.sin_port = htons(static_cast<std::uint16_t>(server_port));
    s.server_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    s.epoll = ::epoll_create1(EPOLL_CLOEXEC);
    s.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ready = s.epoll >= 0 && s.wake >= 0;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &s.wake_tag;
    ready = ready && ::epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.wake, &event) == 0;
    s.listener_tags.reserve(s.listeners.size());
    for (const int fd : s.listeners) {
        s.listener_tags.push_back(Tag{Kind::listener, nullptr, fd});
    }
    for (Tag& tag : s.listener_tags) {
        event.events = EPOLLIN;
        event.data.ptr = &tag;
        ready = ready && ::epoll_ctl(s.epoll, EPOLL_CTL_ADD, tag.fd, &event) == 0;
    }
    if (ready) {
        try {
            s.thread = std::thread([&s] { s.run(); });
            return true;
        } catch (const std::system_error& e) {
            error = std::string("cannot start the connection thread: ") + e.what();
        }
    } else {
        error = std::string("cannot watch the connections: ") + std::strerror(errno);
    }
    stop();
    return false;
}

void HeaderGate::stop()
{
    State& s = *state_;
    if (s.thread.joinable()) {
        const std::uint64_t one = 1;
        while (::write(s.wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        s.thread.join();
    }
    for (const int fd : s.listeners) {
        ::close(fd);
    }
    s.listeners.clear();
    s.listener_tags.clear();
    if (s.wake >= 0) {
        ::close(s.wake);
        s.wake = -1;
    }
    if (s.epoll >= 0) {
        ::close(s.epoll);
        s.epoll = -1;
    }
}

GateCounts HeaderGate::counts() const
{
    const State& s = *state_;
    return GateCounts{s.accepted.load(), s.shed.load(), s.timed_out.load(), s.too_large.load(),
                      s.relayed.load()};
}

void HeaderGate::State::run()
{
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    bool stopping = false;
    while (!stopping) {
        const int n = ::epoll_wait(epoll, events, kBatch, wait_ms(Clock::now()));
        if (n < 0 && errno != EINTR) {
            break;  // the set itself is broken: nothing more can be served
        }
        for (int i = 0; i < n; ++i) {
            Tag& tag = *static_cast<Tag*>(events[i].data.ptr);
            if (tag.kind == Kind::wake) {
                stopping = true;
            } else if (tag.kind == Kind::listener) {
                accept_from(tag.fd);
            } else {
                on_event(tag, events[i].events);
            }
        }
        expire(Clock::now());
        closed.clear();
    }
    close_all();
}

int HeaderGate::State::wait_ms(Clock::time_point now) const
{
    Clock::time_point next = Clock::time_point::max();
    const auto grace = std::chrono::milliseconds(limits.header_timeout_ms);
    if (!pending.empty()) {
        next = pending.front()->since + grace;
    }
    if (!closing.empty()) {
        next = std::min(next, closing.front()->since + grace);
    }
    if (!accepting) {
        next = std::min(next, accept_again);
    }
    if (next == Clock::time_point::max()) {
        return -1;
    }
    if (next <= now) {
        return 0;
    }
    // Rounded up, so that the wait never ends just before the deadline.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

void HeaderGate::State::set_accepting(bool on)
{
    accepting = on;
    for (Tag& tag : listener_tags) {
        epoll_event event{};
        event.events = on ? kIn : 0;
        event.data.ptr = &tag;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, tag.fd, &event);
    }
}

void HeaderGate::State::accept_from(int listener)
{
    // A bounded number at a time, so that a flood of new clients never
    // starves the connections already relayed.
    for (int i = 0; i < 64; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the oldest waiting client makes room,
                // or, with none waiting, the listeners rest a moment.
                if (!pending.empty()) {
                    ++shed;
                    close_link(*pending.front());
                    continue;
                }
                accept_again = Clock::now() + kAcceptPause;
                set_accepting(false);
                return;
            }
            if (would_block(errno)) {
                return;
            }
            continue;  // that client gave up (ECONNABORTED, a protocol error): the next one
        }
        ++accepted;
        if (pending.size() >= limits.max_pending) {
            ++shed;
            close_link(*pending.front());
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto owned = std::make_unique<Link>();
        Link& link = *owned;
        link.client = fd;
        link.since = Clock::now();
        link.up.set_capacity(limits.relay_buffer_bytes);
        link.down.set_capacity(limits.relay_buffer_bytes);
        link.queued = pending.insert(pending.end(), &link);
        link.in_pending = true;
        links.emplace(&link, std::move(owned));
        watch(link);
    }
}

void HeaderGate::State::on_event(Tag& tag, std::uint32_t events)
{
    Link& link = *tag.link;
    switch (link.phase) {
    case Link::Phase::closed:
        return;  // closed by an earlier event of the same batch
    case Link::Phase::head:
        read_head(link);
        return;
    case Link::Phase::connecting:
        if (tag.kind == Kind::server) {
            connected(link);
        } else {
            pump(link, true, events);
        }
        return;
    case Link::Phase::relay:
        pump(link, tag.kind == Kind::client, events);
        return;
    }
}

void HeaderGate::State::read_head(Link& link)
{
    const ssize_t n = link.up.fill(link.client, limits.max_header_bytes);
    if (n == 0 || (n < 0 && !would_block(errno))) {
        close_link(link);  // gone before its request was complete
        return;
    }
    if (n < 0) {
        return;
    }
    const std::size_t from = link.scanned >= 3 ? link.scanned - 3 : 0;
    if (header_end(link.up.data(), link.up.size(), from) != 0) {
        hand_over(link);
        return;
    }
    link.scanned = link.up.size();
    if (link.up.size() >= limits.max_header_bytes) {
        ++too_large;
        // Best effort: a client this far off the protocol gets one try.
        (void)!::send(link.client, kTooLarge, sizeof kTooLarge - 1, MSG_NOSIGNAL);
        close_link(link);
    }
}

void HeaderGate::State::hand_over(Link& link)
{
    pending.erase(link.queued);
    link.in_pending = false;
    if (relayed_now >= limits.max_relayed) {
        close_link(link);
        return;
    }
    ++relayed_now;
    ++relayed;
    link.phase = Link::Phase::connecting;
    link.server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (link.server < 0) {
        close_link(link);
        return;
    }
    const int one = 1;
    ::setsockopt(link.server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(link.server, reinterpret_cast<const sockaddr*>(&server_address), sizeof server_address) == 0) {
        link.phase = Link::Phase::relay;
        pump(link, false, EPOLLOUT);
        return;
    }
    if (errno != EINPROGRESS) {
        close_link(link);
        return;
    }
    watch(link);
}

void HeaderGate::State::connected(Link& link)
{
    int failure = 0;
    socklen_t size = sizeof failure;
    if (::getsockopt(link.server, SOL_SOCKET, SO_ERROR, &failure, &size) != 0 || failure != 0) {
        close_link(link);
        return;
    }
    link.phase = Link::Phase::relay;
    pump(link, false, EPOLLOUT);
}

// Moves what one side's event allows: reads it into its peer's buffer
// while that has room, writes to it what its own buffer holds.
void HeaderGate::State::pump(Link& link, bool client_side, std::uint32_t events)
{
    const int fd = client_side ? link.client : link.server;
    Buffer& in = client_side ? link.up : link.down;     // what this side sends
    Buffer& out = client_side ? link.down : link.up;    // what it is sent
    bool& eof = client_side ? link.client_eof : link.server_eof;
    const bool can_write = !client_side || link.phase == Link::Phase::relay;
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !eof && in.room() > 0) {
        const ssize_t n = in.fill(fd, limits.relay_buffer_bytes);
        if (n == 0) {
            eof = true;
        } else if (n < 0 && !would_block(errno)) {
            close_link(link);
            return;
        }
    }
    if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0 && can_write && !out.empty()) {
        const ssize_t n = out.drain(fd);
        if (n < 0 && !would_block(errno)) {
            close_link(link);
            return;
        }
    }
    settle(link);
}

// After any progress: writes what can go to the other side at once,
// passes on half-closes, ends the link when both ways are done, and
// updates what epoll watches.
void HeaderGate::State::settle(Link& link)
{
    if (link.phase == Link::Phase::relay) {
        for (const bool to_server : {true, false}) {
            Buffer& buffer = to_server ? link.up : link.down;
            const int fd = to_server ? link.server : link.client;
            if (!buffer.empty()) {
                const ssize_t n = buffer.drain(fd);
                if (n < 0 && !would_block(errno)) {
                    close_link(link);
                    return;
                }
            }
            const bool source_done = to_server ? link.client_eof : link.server_eof;
            bool& shut = to_server ? link.server_shut : link.client_shut;
            if (buffer.empty() && source_done && !shut) {
                ::shutdown(fd, SHUT_WR);
                shut = true;
            }
        }
        if (link.server_shut && link.client_shut) {
            close_link(link);
            return;
        }
        if (link.client_shut && !link.in_closing) {
            // The server answered in full and closed: the client has the
            // header time-out to close its side too.
            link.since = Clock::now();
            link.queued = closing.insert(closing.end(), &link);
            link.in_closing = true;
        }
    }
    watch(link);
}

// Registers with epoll what each side of `link` waits for; a side that
// waits for nothing is not registered at all, so that a hang-up it cannot
// act on yet does not wake the loop over and over.
void HeaderGate::State::watch(Link& link)
{
    std::uint32_t client = 0;
    std::uint32_t server = 0;
    switch (link.phase) {
    case Link::Phase::closed:
        return;
    case Link::Phase::head:
        client = EPOLLIN;
        break;
    case Link::Phase::connecting:
        client = !link.client_eof && link.up.room() > 0 ? kIn : 0;
        server = kOut;
        break;
    case Link::Phase::relay:
        client = (!link.client_eof && link.up.room() > 0 ? kIn : 0) | (!link.down.empty() ? kOut : 0);
        server = (!link.server_eof && link.down.room() > 0 ? kIn : 0) | (!link.up.empty() ? kOut : 0);
        break;
    }
    const auto update = [this](int fd, Tag& tag, std::uint32_t& registered, std::uint32_t wanted) {
        if (fd < 0 || registered == wanted) {
            return true;
        }
        epoll_event event{};
        event.events = wanted;
        event.data.ptr = &tag;
        const int op = registered == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
        if (::epoll_ctl(epoll, op, fd, &event) != 0) {
            return false;
        }
        registered = wanted;
        return true;
    };
    if (!update(link.client, link.client_tag, link.client_events, client) ||
        !update(link.server, link.server_tag, link.server_events, server)) {
        close_link(link);
        return;
    }
    if (client == 0 && server == 0) {
        // Nothing to wait for on either side cannot happen while relaying
        // (a side with nothing to send has either room to read or its
        // peer's buffer to drain); should it, the link would never move.
        close_link(link);
    }
}

void HeaderGate::State::close_link(Link& link)
{
    if (link.phase == Link::Phase::closed) {
        return;
    }
    if (link.in_pending) {
        pending.erase(link.queued);
        link.in_pending = false;
    }
    if (link.in_closing) {
        closing.erase(link.queued);
        link.in_closing = false;
    }
    if (link.phase == Link::Phase::connecting || link.phase == Link::Phase::relay) {
        --relayed_now;
    }
    link.phase = Link::Phase::closed;
    // Out of the epoll set before the close: a child process between its
    // fork and exec still holds a copy of the descriptor, which would keep
    // it in the set and its events pointing at this link once freed.
    for (int* fd : {&link.client, &link.server}) {
        if (*fd < 0) {
            continue;
        }
        if ((fd == &link.client ? link.client_events : link.server_events) != 0) {
            epoll_event ignored{};
            ::epoll_ctl(epoll, EPOLL_CTL_DEL, *fd, &ignored);
        }
        ::close(*fd);
        *fd = -1;
    }
    link.client_events = 0;
    link.server_events = 0;
    const auto found = links.find(&link);
    if (found != links.end()) {
        closed.push_back(std::move(found->second));
        links.erase(found);
    }
}

void HeaderGate::State::expire(Clock::time_point now)
{
    const auto grace = std::chrono::milliseconds(limits.header_timeout_ms);
    while (!pending.empty() && pending.front()->since + grace <= now) {
        ++timed_out;
        close_link(*pending.front());
    }
    while (!closing.empty() && closing.front()->since + grace <= now) {
        close_link(*closing.front());
    }
    if (!accepting && now >= accept_again) {
        set_accepting(true);
    }
}

void HeaderGate::State::close_all()
{
    while (!links.empty()) {
        close_link(*links.begin()->first);
    }
    closed.clear();
}

}  // namespace platewise::net
