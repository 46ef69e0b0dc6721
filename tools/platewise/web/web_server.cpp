// The status page's HTTP server.
#include "web/web_server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <sstream>

#include <civetweb.h>

#include "commands/history_command.h"
#include "commands/status_command.h"
#include "commands/verdict_summary.h"
#include "history/event_store.h"
#include "history/history_store.h"
#include "history/history_view.h"
#include "history/view_replay.h"
#include "net/address_in_use.h"
#include "net/header_gate.h"
#include "net/idle_connections.h"
#include "report/json_report.h"
#include "web/event_list.h"
#include "web/html_text.h"
#include "web/local_host_name.h"
#include "web/reading_pages.h"
#include "web/request_limits.h"
#include "web/web_pages.h"

namespace platewise::web {

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";

WebResponse error_response(int status, const std::string& message)
{
    return {status, kHtml, render_error_page(status, message)};
}

// The value of `key` in a query string ("" when absent).
bool query_value(const std::string& query, const std::string& key, std::string& value)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string pair = query.substr(at, end - at);
        if (pair.rfind(key + "=", 0) == 0) {
            value = pair.substr(key.size() + 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}

std::int64_t now_of(const WebSource& source)
{
    if (source.now_ms) {
        return source.now_ms();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The drives, and the events the page shows: the newest (`serial` empty)
// or those of the drives with `serial`.
bool load(const WebSource& source, std::int64_t now_ms, std::int64_t window_ms,
          std::vector<history::DriveView>& views, smart::AttributeDefinitionTable& names, std::string& error,
          const std::string* serial = nullptr)
{
    history::HistoryStore store;
    if (!history::open_history(store, source.history_path, true, error)) {
        return false;
    }
    history::ViewOptions options;
    options.now_ms = now_ms;
    options.missing_after_ms = source.missing_after_ms;
    options.window_ms = window_ms;
    options.replays = source.replays.get();
    names = options.names;
    if (serial != nullptr) {
        options.serial = *serial;
    }
    return history::load_views(store, options, views, error);
}

// The newest events for the front page (serial null), or those of the
// drives with `serial`, and the unreadable slots when asked: short queries
// of their own, never cached with the views, so that a change shows at once.
bool load_events_of(const WebSource& source, const std::vector<history::DriveView>& views,
                    const std::string* serial, std::vector<events::DriveEvent>& events,
                    std::string& error, std::vector<history::StoredSlot>* slots = nullptr)
{
    history::HistoryStore store;
    if (!history::open_history(store, source.history_path, true, error) ||
        (slots != nullptr && !history::load_slots(store, *slots, error))) {
        return false;
    }
    history::EventQuery query;
    if (serial == nullptr) {
        query.limit = kFrontPageEvents;
        return history::load_events(store, query, events, error);
    }
    query.limit = kDrivePageEvents;
    for (const history::DriveView* v : history::find_views(views, *serial, "")) {
        query.drive_id = v->drive.id;
        std::vector<events::DriveEvent> own;
        if (!history::load_events(store, query, own, error)) {
            return false;
        }
        events.insert(events.end(), own.begin(), own.end());
    }
    std::stable_sort(events.begin(), events.end(), [](const events::DriveEvent& a, const events::DriveEvent& b) {
        return a.time_ms < b.time_ms;
    });
    return true;
}

std::string first_line(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

}  // namespace

WebResponse respond(const WebRequest& request, const WebSource& source)
{
    if (request.method != "GET" && request.method != "HEAD") {
        return error_response(405, "This server only reads: GET and HEAD.");
    }
    const std::string& path = request.path;
    if (!host_is_local_name(request.host)) {
        return error_response(kForeignHostStatus, kForeignHostMessage);
    }
    if (path == "/metrics") {
        if (!source.metrics_text) {
            return error_response(404, "The metrics are not served here.");
        }
        return {200, "text/plain; version=0.0.4; charset=utf-8", source.metrics_text()};
    }
    if (path == "/style.css") {
        return {200, "text/css; charset=utf-8", style_sheet()};
    }
    if (path == "/favicon.svg") {
        return {200, "image/svg+xml", favicon_svg()};
    }
    // A drive's readings come a page at a time; a page that cannot be read
    // is refused before it waits for the history.
    ReadingPage reading_page;
    if (path.rfind("/api/drive/", 0) == 0) {
        std::string page_error;
        if (!parse_reading_page(request.query, reading_page, page_error)) {
            return {400, "application/json", render_json_line({{"error", page_error}})};
        }
    }
    const std::int64_t now_ms = now_of(source);
    const bool reads_history = path == "/api/drives" || path.rfind("/api/drive/", 0) == 0 || path == "/" ||
                               path.rfind("/drive/", 0) == 0;
    // Only the front page's views are kept for others: they hold a day of
    // readings, a drive's page shows up to a year of its own.
    const bool front = path == "/";
    RequestLimits::Views views_ptr = source.limits && front ? source.limits->cached(now_ms) : nullptr;
    std::string drives_body;
    const auto drives_cached = [&] {
        return source.limits && path == "/api/drives" && source.limits->cached_drives(now_ms, drives_body);
    };
    if (drives_cached()) {
        return {200, "application/json", drives_body};
    }
    std::optional<RequestLimits::Slot> slot;
    const bool one_drive = path.rfind("/api/drive/", 0) == 0 || path.rfind("/drive/", 0) == 0;
    if (source.limits && reads_history && !(front && views_ptr != nullptr)) {
        slot.emplace(one_drive && source.drive_limits ? *source.drive_limits : *source.limits);
        if (!slot->entered()) {
            return error_response(503, "Too many requests read the drive history now; try again shortly.");
        }
        if (front) {
            views_ptr = source.limits->cached(now_ms);  // loaded while this one waited
        } else if (drives_cached()) {
            return {200, "application/json", drives_body};
        }
    }
    if (path == "/api/drives") {
        StatusOptions options;
        options.store = source.history_path;
        options.json = true;
        options.missing_after_ms = source.missing_after_ms;
        options.now_ms = now_ms;
        options.replays = source.replays.get();
        std::ostringstream out;
        std::ostringstream err;
        // 0, 1 and 2 say how the drives are; only 3 is a failure here.
        if (run_status(options, out, err) == kStatusUnknown) {
            return {503, "application/json", "{\"error\":\"the history cannot be read\"}\n"};
        }
        if (source.limits) {
            source.limits->remember_drives(out.str(), now_ms);
        }
        return {200, "application/json", out.str()};
    }
    if (path.rfind("/api/drive/", 0) == 0) {
        HistoryOptions options;
        options.store = source.history_path;
        options.serial = path.substr(std::strlen("/api/drive/"));
        options.json = true;
        options.now_ms = now_ms;
        options.missing_after_ms = source.missing_after_ms;
        options.since_ms = reading_page.since_ms;
        options.until_ms = reading_page.until_ms;
        options.limit = reading_page.limit;
        options.next_link = [&](std::int64_t next_ms) {
            return next_page_link(options.serial, reading_page, next_ms);
        };
        std::ostringstream out;
        std::ostringstream err;
        if (options.serial.empty()) {
            return {404, "application/json", "{\"error\":\"no drive with this serial\"}\n"};
        }
        if (run_history(options, out, err) != 0) {
            const bool unknown = err.str().find("no drive with serial") != std::string::npos;
            return {unknown ? 404 : 503, "application/json",
                    unknown ? "{\"error\":\"no drive with this serial\"}\n"
                            : "{\"error\":\"the history cannot be read\"}\n"};
        }
        return {200, "application/json", out.str()};
    }
    if (path == "/" || path.rfind("/drive/", 0) == 0) {
        Range range = Range::day;
        std::string range_text;
        if (query_value(request.query, "range", range_text) && !parse_range(range_text, range)) {
            return error_response(400, "The time shown is range=day, range=week or range=year.");
        }
        smart::AttributeDefinitionTable names = history::ViewOptions().names;
        const std::string serial = path == "/" ? std::string() : path.substr(std::strlen("/drive/"));
        if (views_ptr == nullptr) {
            // A drive's page reads that drive alone, the readings of the
            // time it shows; the front page those of the last day.
            auto loaded = std::make_shared<std::vector<history::DriveView>>();
            std::string error;
            const std::int64_t window_ms = range_ms(path == "/" ? Range::day : range);
            if (!load(source, now_ms, window_ms, *loaded, names, error, path == "/" ? nullptr : &serial)) {
                return error_response(503, "The drive history cannot be read now: " + first_line(error));
            }
            views_ptr = loaded;
            if (source.limits && path == "/") {
                source.limits->remember(views_ptr, now_ms);
            }
        }
        const std::vector<history::DriveView>& views = *views_ptr;
        std::vector<events::DriveEvent> events;
        std::vector<history::StoredSlot> slots;
        std::string events_error;
        if (!load_events_of(source, views, path == "/" ? nullptr : &serial, events, events_error,
                            path == "/" ? &slots : nullptr)) {
            return error_response(503, "The drive history cannot be read now: " + first_line(events_error));
        }
        if (path == "/") {
            return {200, kHtml, render_front_page(views, now_ms, names, &events, slots)};
        }
        const std::vector<const history::DriveView*> found = history::find_views(views, serial, "");
        if (serial.empty() || found.empty()) {
            return error_response(404, "No drive with serial " + serial + " in the history.");
        }
        return {200, kHtml, render_drive_page(found, serial, range, now_ms, names, &events)};
    }
    return error_response(404, "Nothing here: the drives are at /.");
}

namespace {

int handle(mg_connection* connection, void* data)
{
    const auto* server = static_cast<const WebServer*>(data);
    const mg_request_info* info = mg_get_request_info(connection);
    WebRequest request;
    request.method = info->request_method != nullptr ? info->request_method : "";
    // civetweb leaves the path as sent (decode_url no): decoded here, so that
    // every byte of a serial round-trips (a backslash, a byte that is not
    // printable) and %00 is refused instead of cutting the serial short.
    const bool decoded = url_decode(info->local_uri != nullptr ? info->local_uri : "", request.path);
    request.query = info->query_string != nullptr ? info->query_string : "";
    const char* host = mg_get_header(connection, "Host");
    request.host = host != nullptr ? host : "";
    const WebResponse response =
        decoded ? respond(request, server->source())
                : WebResponse{400, kHtml, render_error_page(400, "The path has a broken or a %00 escape.")};

    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       mg_get_response_code_text(connection, response.status) + "\r\n";
    head += "Content-Type: " + response.content_type + "\r\n";
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    head += std::string("Content-Security-Policy: ") + kContentSecurityPolicy + "\r\n";
    head += "X-Content-Type-Options: nosniff\r\n"
            "X-Frame-Options: DENY\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "Cross-Origin-Resource-Policy: same-origin\r\n"
            "Cache-Control: no-store\r\n"
            "Connection: close\r\n";
    if (response.status == 405) {
        head += "Allow: GET, HEAD\r\n";
    }
    head += "\r\n";
    mg_write(connection, head.data(), head.size());
    if (request.method != "HEAD") {
        mg_write(connection, response.body.data(), response.body.size());
    }
    return static_cast<int>(response.status);
}

}  // namespace

WebServer::WebServer() = default;

WebServer::~WebServer()
{
    stop();
}

void WebServer::stop()
{
    // The gate first: its connections closed, a worker still writing an
    // answer fails at once, and mg_stop does not wait out a slow client.
    if (gate_) {
        gate_->stop();
        gate_.reset();
    }
    if (context_ != nullptr) {
        mg_stop(context_);
        context_ = nullptr;
    }
}

bool WebServer::start(const std::string& address, WebSource source, std::string& error)
{
    source_ = std::move(source);
    if (!source_.limits) {
        source_.limits = std::make_shared<RequestLimits>();
    }
    if (!source_.drive_limits) {
        source_.drive_limits = std::make_shared<RequestLimits>();
    }
    if (!source_.replays) {
        source_.replays = std::make_shared<history::ViewReplays>();
    }
    // Where the gate can take the address, it listens there and civetweb
    // behind it on loopback; the Host check does not look at the peer's
    // address, which is then always 127.0.0.1.
    std::string gate_error;
    if (!net::listen_in_front(address, gate_, gate_error)) {
        error = "cannot serve the page at " + address + ": " + gate_error;
        return false;
    }
    const bool gated = gate_ != nullptr;
    const std::string listening = gated ? net::kBehindGate : address;
    const std::string workers = std::to_string(kWebWorkers);
    const std::string timeout = std::to_string(kWebRequestTimeoutMs);
    const std::string backlog = std::to_string(net::kListenBacklog);
    const char* options[] = {
        "listening_ports", listening.c_str(),
        "num_threads", workers.c_str(),
        "request_timeout_ms", timeout.c_str(),
        "listen_backlog", backlog.c_str(),
        "enable_keep_alive", "no",
        "enable_directory_listing", "no",
        "decode_url", "no",
        nullptr,
    };
    mg_callbacks callbacks{};
    // Bind failures are reported through the error text below.
    callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = this;
    init.configuration_options = options;
    char text[256] = "";
    mg_error_data errors{};
    errors.text = text;
    errors.text_buffer_size = sizeof text;
    context_ = mg_start2(&init, &errors);
    if (context_ == nullptr) {
        gate_.reset();
        const std::string in_use = gated ? std::string() : net::address_in_use_hint(address);
        error = "cannot serve the page at " + address + ": " +
                (!in_use.empty() ? in_use : text[0] != '\0' ? std::string(text) : "the server did not start");
        return false;
    }
    mg_set_request_handler(context_, "/", handle, this);
    // Silent clients of civetweb's own port (the user's address, or the
    // loopback port behind the gate) wait in the kernel.
    net::defer_accept_on_ports(server_ports());
    if (gated && (server_ports().empty() || !gate_->start(server_ports().front(), gate_error))) {
        error = "cannot serve the page at " + address + ": " +
                (gate_error.empty() ? std::string("the server did not start") : gate_error);
        gate_.reset();
        mg_stop(context_);
        context_ = nullptr;
        return false;
    }
    return true;
}

std::vector<int> WebServer::listening_ports() const
{
    if (gate_) {
        return gate_->ports();
    }
    return server_ports();
}

std::vector<int> WebServer::server_ports() const
{
    std::vector<int> ports;
    if (context_ == nullptr) {
        return ports;
    }
    mg_server_port found[8]{};
    const int n = mg_get_server_ports(context_, 8, found);
    for (int i = 0; i < n; ++i) {
        ports.push_back(found[i].port);
    }
    return ports;
}

}  // namespace platewise::web
