// listen --web ADDRESS:PORT: the status page and its JSON, served by a
// civetweb server of our own, read-only, from the drive history. Each
// request opens the history read-only on its own worker thread, so a slow
// client or a slow page holds up no other request and never the listener.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct mg_context;

namespace platewise::history {
struct ViewReplays;
}

namespace platewise::net {
class HeaderGate;
}

namespace platewise::web {

class RequestLimits;

// What every request is answered from.
struct WebSource {
    std::string history_path;
    std::int64_t missing_after_ms = 10 * 60 * 1000;
    // /metrics when the metrics share the server (listen --metrics with the
    // same address); empty: /metrics is not served here.
    std::function<std::string()> metrics_text;
    // The time pages are drawn at (Unix ms); empty: the clock.
    std::function<std::int64_t()> now_ms;
    // Bounds on the requests that read the history (web/request_limits.h);
    // the server makes one when none is given, respond() alone runs unbounded.
    std::shared_ptr<RequestLimits> limits;
    // The same for the requests of one drive (/api/drive/SERIAL, and
    // /drive/SERIAL when the front page's views are not at hand), which read
    // that drive alone: a gate of their own, so that they never keep the
    // front page waiting (`limits` is theirs too when none is given).
    std::shared_ptr<RequestLimits> drive_limits;
    // The drives' readings replayed once and kept between requests, so
    // that a request reads what was written since the last one and the
    // readings of the time it shows (history/view_replay.h); the server
    // makes them when none are given, respond() alone replays every time.
    std::shared_ptr<history::ViewReplays> replays;
};

struct WebRequest {
    std::string method;
    std::string path;   // decoded
    std::string query;  // as sent
    std::string host;   // the Host header ("" when none)
};

struct WebResponse {
    int status = 200;
    std::string content_type;
    std::string body;
};

// The policy sent with every answer: nothing but this server's own style
// sheet and icon, no script, no frames, no forms.
inline constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; style-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// GET and HEAD of /, /drive/SERIAL[?range=day|week|year], /api/drives,
// /api/drive/SERIAL, /style.css, /favicon.svg and /metrics (when shared).
// Every other method is 405; a Host that names neither an IP address nor
// localhost is 421 on every path, /metrics included (a page elsewhere
// cannot rebind a name of its own to this server and read it; Prometheus
// scrapes the target by address or as localhost).
WebResponse respond(const WebRequest& request, const WebSource& source);

// The server's workers and how long a connection may take to send its
// request: idle or slow clients still leave workers for others. On Linux a
// client reaches a worker only once its headers are complete (the header
// gate, net/header_gate.h, reads them first); elsewhere one that sends half
// a request holds a worker for the time-out at most.
inline constexpr int kWebWorkers = 64;
inline constexpr int kWebRequestTimeoutMs = 2000;

class WebServer {
public:
    WebServer();
    ~WebServer();  // stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Serves at `address` (IPV4:PORT or [IPV6]:PORT; port 0 picks a free
    // one). False with the reason when it cannot be bound. On Linux the
    // header gate listens there and civetweb on a loopback port of its own.
    bool start(const std::string& address, WebSource source, std::string& error);
    // The ports clients connect to (the gate's where there is one).
    std::vector<int> listening_ports() const;
    // Closes the connections and the port and ends the workers; nothing is
    // served after it (a no-op when not serving).
    void stop();
    const WebSource& source() const { return source_; }

private:
    std::vector<int> server_ports() const;

    WebSource source_;
    mg_context* context_ = nullptr;
    std::unique_ptr<net::HeaderGate> gate_;
};

}  // namespace platewise::web
