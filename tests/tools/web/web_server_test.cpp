// The status page's server: what each request is answered with (methods,
// hosts, paths, the JSON of status and history), and the real server's
// headers, HEAD and a silent client over a socket.
#include "web/web_server.h"
#include "web/reading_pages.h"
#include "web/request_limits.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#if defined(_WIN32)
#include <winsock2.h>
// after winsock2.h, which it needs
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "commands/history_command.h"
#include "commands/status_command.h"
#include "history/event_store.h"
#include "history/history_recorder.h"
#include "history/view_replay.h"
#include "net/header_gate.h"
#include "web/html_text.h"
#include "web_test_support.h"

namespace {

using namespace platewise;
using namespace platewise::web;

// The client sockets of these tests: descriptors, or Winsock's sockets in
// the Windows build.
#if defined(_WIN32)
using Socket = SOCKET;
[[maybe_unused]] const bool kWinsockReady = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
int close_socket(Socket s)
{
    return closesocket(s);
}
int wait_readable(Socket s, int ms)
{
    WSAPOLLFD p{s, POLLIN, 0};
    return WSAPoll(&p, 1, ms);
}
#else
using Socket = int;
int close_socket(Socket s)
{
    return ::close(s);
}
int wait_readable(Socket s, int ms)
{
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms);
}
#endif

WebSource source_of(const std::string& path)
{
    WebSource source;
    source.history_path = path;
    source.now_ms = [] { return webtest::kNow; };
    return source;
}

WebResponse get(const WebSource& source, const std::string& path, const std::string& query = "",
                const std::string& method = "GET", const std::string& host = "127.0.0.1:9946")
{
    return respond({method, path, query, host}, source);
}

TEST(WebServer, AnswersByMethodHostAndPath)
{
    TempDir dir;
    WebSource source = source_of(webtest::build_history(dir));
    struct Row {
        std::string method, path, query, host;
        int status;
        const char* type;  // the start of the content type
    };
    const Row rows[] = {
        {"GET", "/", "", "127.0.0.1:9946", 200, "text/html"},
        {"HEAD", "/", "", "localhost:9946", 200, "text/html"},
        {"GET", "/", "", "[::1]:9946", 200, "text/html"},
        {"GET", "/", "", "localhost", 200, "text/html"},
        {"GET", "/drive/D1", "range=week", "127.0.0.1", 200, "text/html"},
        {"GET", "/drive/D1", "range=year&x=1", "127.0.0.1", 200, "text/html"},
        {"GET", "/drive/" + std::string(webtest::kHostileSerial), "", "127.0.0.1", 200, "text/html"},
        {"GET", "/style.css", "", "127.0.0.1", 200, "text/css"},
        {"GET", "/favicon.svg", "", "127.0.0.1", 200, "image/svg+xml"},
        {"GET", "/api/drives", "", "127.0.0.1", 200, "application/json"},
        {"GET", "/api/drive/F1", "", "127.0.0.1", 200, "application/json"},
        // Nothing changes state: every other method is refused.
        {"POST", "/", "", "127.0.0.1", 405, "text/html"},
        {"PUT", "/api/drives", "", "127.0.0.1", 405, "text/html"},
        {"DELETE", "/drive/D1", "", "127.0.0.1", 405, "text/html"},
        {"OPTIONS", "/", "", "127.0.0.1", 405, "text/html"},
        // A name that could be rebound to this address from elsewhere.
        {"GET", "/", "", "attacker.example:9946", 421, "text/html"},
        {"GET", "/api/drives", "", "localhost.attacker.example", 421, "text/html"},
        {"GET", "/", "", "", 421, "text/html"},
        {"GET", "/drive/D1", "range=month", "127.0.0.1", 400, "text/html"},
        {"GET", "/drive/NOPE", "", "127.0.0.1", 404, "text/html"},
        {"GET", "/drive/", "", "127.0.0.1", 404, "text/html"},
        {"GET", "/api/drive/NOPE", "", "127.0.0.1", 404, "application/json"},
        {"GET", "/api/drive/", "", "127.0.0.1", 404, "application/json"},
        // A drive's readings a page at a time, within bounds.
        {"GET", "/api/drive/D1", "limit=1", "127.0.0.1", 200, "application/json"},
        {"GET", "/api/drive/D1", "limit=10000", "127.0.0.1", 200, "application/json"},
        {"GET", "/api/drive/D1", "since=0&until=1", "127.0.0.1", 200, "application/json"},
        {"GET", "/api/drive/D1", "since=999999999999999", "127.0.0.1", 200, "application/json"},
        {"GET", "/api/drive/D1", "cursor=0&limit=5&until=2000000000", "127.0.0.1", 200, "application/json"},
        {"GET", "/api/drive/D1", "limit=0", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "limit=10001", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "limit=", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "since=-1", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "since=1e9", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "since=9999999999999999", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "since=5&until=5", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/D1", "since=5&cursor=5000", "127.0.0.1", 400, "application/json"},
        {"GET", "/api/drive/NOPE", "limit=0", "127.0.0.1", 400, "application/json"},
        {"GET", "/index.html", "", "127.0.0.1", 404, "text/html"},
        {"GET", "/metrics", "", "127.0.0.1", 404, "text/html"},  // not shared here
    };
    for (const Row& row : rows) {
        const WebResponse r = get(source, row.path, row.query, row.method, row.host);
        EXPECT_EQ(r.status, row.status) << row.method << " " << row.path << "?" << row.query << " " << row.host;
        EXPECT_EQ(r.content_type.rfind(row.type, 0), 0u) << row.path << ": " << r.content_type;
    }
    // The hostile drive's page shows its serial as text.
    const WebResponse hostile = get(source, "/drive/" + std::string(webtest::kHostileSerial));
    EXPECT_NE(hostile.body.find("<h1>Drive S&quot;&lt;i&gt;&amp;&#39;</h1>"), std::string::npos);

    // /metrics answers by address or as localhost like every path: a
    // rebound name would read every model, serial and verdict.
    source.metrics_text = [] { return std::string("platewise_drives 6\n"); };
    const WebResponse metrics = get(source, "/metrics", "", "GET", "127.0.0.1:9946");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.body, "platewise_drives 6\n");
    EXPECT_EQ(get(source, "/metrics", "", "GET", "localhost").status, 200);
    EXPECT_EQ(get(source, "/metrics", "", "GET", "rebound.attacker.example:9946").status, 421);
    EXPECT_EQ(get(source, "/metrics", "", "GET", "").status, 421);
}

TEST(WebServer, ApiIsWhatStatusAndHistoryPrint)
{
    TempDir dir;
    const WebSource source = source_of(webtest::build_history(dir));
    StatusOptions status;
    status.store = source.history_path;
    status.json = true;
    status.now_ms = webtest::kNow;
    std::ostringstream out;
    std::ostringstream err;
    // A drive failing now: the checker's critical, and still the API's 200.
    ASSERT_EQ(run_status(status, out, err), 2);
    EXPECT_EQ(get(source, "/api/drives").body, out.str());

    HistoryOptions history;
    history.store = source.history_path;
    history.serial = "D1";
    history.json = true;
    history.now_ms = webtest::kNow;
    history.limit = kReadingsPerPage;  // the API's first page, which here holds every reading
    std::ostringstream history_out;
    ASSERT_EQ(run_history(history, history_out, err), 0);
    const std::string drive = get(source, "/api/drive/D1").body;
    EXPECT_NE(drive.find(",\"next\":null}"), std::string::npos) << drive.substr(drive.size() - 100);
    EXPECT_EQ(drive, history_out.str());
    // Judged at the server's present time: the drive seen a minute ago is
    // not missing.
    EXPECT_EQ(drive.find("DRIVE MISSING"), std::string::npos) << drive;
    EXPECT_NE(drive.find("\"verdict\":\"DEGRADING: "), std::string::npos) << drive;
}

// Following "next" from any first page gives every reading of the drive
// exactly once, in order, as one unpaged answer holds them; a window gives
// only the readings inside it; refusals say what the parameter takes.
TEST(WebServer, ApiDrivePagesWalkEveryReadingOnce)
{
    TempDir dir;
    const WebSource source = source_of(webtest::build_history(dir));
    const auto entries_of = [](const std::string& body, std::string* next) {
        const nlohmann::json document = nlohmann::json::parse(body);
        nlohmann::json all = nlohmann::json::array();
        for (const auto& d : document.at("drives")) {
            for (const auto& e : d.at("readings")) {
                all.push_back(e);
            }
        }
        if (next != nullptr) {
            *next = document.at("next").is_null() ? "" : document.at("next").get<std::string>();
        }
        return all;
    };
    for (const std::string& serial : {std::string("D1"), std::string("OK1"), std::string(webtest::kHostileSerial)}) {
        HistoryOptions whole;
        whole.store = source.history_path;
        whole.serial = serial;
        whole.json = true;
        whole.now_ms = webtest::kNow;
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_EQ(run_history(whole, out, err), 0) << err.str();
        const nlohmann::json expected = entries_of(out.str(), nullptr);
        ASSERT_GT(expected.size(), 3u) << serial;
        std::set<std::int64_t> times;
        for (const auto& e : expected) {
            times.insert(e.at("time").get<std::int64_t>());
        }
        for (const char* first : {"limit=1", "limit=7", "limit=100&since=0", "limit=10000"}) {
            nlohmann::json walked = nlohmann::json::array();
            std::string path = "/api/drive/" + serial;
            std::string query = first;
            int pages = 0;
            while (pages < 1000) {
                const WebResponse r = get(source, path, query);
                ASSERT_EQ(r.status, 200) << serial << " " << query << ": " << r.body;
                std::string next;
                for (const auto& e : entries_of(r.body, &next)) {
                    walked.push_back(e);
                }
                ++pages;
                if (next.empty()) {
                    break;
                }
                const std::size_t mark = next.find('?');
                ASSERT_NE(mark, std::string::npos) << next;
                ASSERT_TRUE(url_decode(next.substr(0, mark), path)) << next;
                query = next.substr(mark + 1);
            }
            EXPECT_EQ(walked, expected) << serial << " from " << first << " in " << pages << " pages";
            if (std::string(first) == "limit=1") {
                EXPECT_GE(pages, static_cast<int>(times.size())) << serial << ": one reading a page";
            }
        }
    }

    // A window: readings from hour 40 up to hour 44, and nothing else.
    const std::int64_t since = (webtest::kT0 + 40 * webtest::kHour) / 1000;
    const std::int64_t until = (webtest::kT0 + 44 * webtest::kHour) / 1000;
    const WebResponse window =
        get(source, "/api/drive/OK1", "since=" + std::to_string(since) + "&until=" + std::to_string(until));
    ASSERT_EQ(window.status, 200) << window.body;
    const nlohmann::json inside = entries_of(window.body, nullptr);
    EXPECT_FALSE(inside.empty());
    for (const auto& e : inside) {
        EXPECT_GE(e.at("time").get<std::int64_t>(), since);
        EXPECT_LT(e.at("time").get<std::int64_t>(), until);
    }

    const struct {
        const char* query;
        const char* says;
    } refused[] = {
        {"limit=0", "limit= takes a number of readings from 1 to 10000."},
        {"limit=x", "limit= takes a number of readings from 1 to 10000."},
        {"since=yesterday", "since= takes a time in Unix seconds (digits only)."},
        {"until=-3", "until= takes a time in Unix seconds (digits only)."},
        {"cursor=%31", "cursor= takes the value of a \"next\" link (Unix milliseconds)."},
        {"since=10&until=9", "until= must be later than where the page starts."},
        {"cursor=10&since=0", "since= and cursor= both say where the page starts: give one."},
    };
    for (const auto& row : refused) {
        const WebResponse r = get(source, "/api/drive/D1", row.query);
        EXPECT_EQ(r.status, 400) << row.query;
        EXPECT_EQ(r.content_type, "application/json") << row.query;
        EXPECT_EQ(nlohmann::json::parse(r.body).value("error", ""), row.says) << row.query;
    }
}

TEST(WebServer, AHistoryThatCannotBeReadIs503)
{
    TempDir dir;
    const WebSource source = source_of(dir / "absent.db");
    EXPECT_EQ(get(source, "/").status, 503);
    EXPECT_EQ(get(source, "/drive/D1").status, 503);
    EXPECT_EQ(get(source, "/api/drives").status, 503);
    EXPECT_EQ(get(source, "/api/drive/D1").status, 503);
    EXPECT_EQ(get(source, "/style.css").status, 200);
}

// A connection to the server at `port` that has sent `request`.
Socket connect_and_send(int port, const std::string& request)
{
    const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (!request.empty()) {
        EXPECT_EQ(static_cast<long long>(::send(s, request.data(), static_cast<int>(request.size()), 0)),
                  static_cast<long long>(request.size()));
    }
    return s;
}

// Everything the server sends on `s` until it closes.
std::string read_to_end(Socket s)
{
    std::string answer;
    char buffer[65536];
    for (;;) {
        if (wait_readable(s, 10000) != 1) {
            ADD_FAILURE() << "nothing more within 10 s after " << answer.size() << " bytes";
            break;
        }
        const auto n = ::recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer;
}

// One request over a real socket: the whole answer as text.
std::string exchange(int port, const std::string& request)
{
    const Socket s = connect_and_send(port, request);
    const std::string answer = read_to_end(s);
    close_socket(s);
    return answer;
}

TEST(WebServer, ServesOverHttpWithItsPolicyWhileAClientSaysNothing)
{
    TempDir dir;
    WebServer server;
    std::string error;
    const std::string path = webtest::build_history(dir);
    {
        // Serials that only an encoding of every byte can address.
        platewise::history::HistoryStore store;
        platewise::history::Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        const std::vector<historytest::Drive> odd{{"PW ODD SERIAL", "BS\\1", {{9, 100, 100, 0, 5}}},
                                                  {"PW ODD SERIAL", "SP 2%", {{9, 100, 100, 0, 5}}}};
        const auto pass = historytest::pass_of(odd);
        ASSERT_TRUE(platewise::history::record_snapshot(recorder, store, *pass, webtest::kNow, error)) << error;
    }
    ASSERT_TRUE(server.start("127.0.0.1:0", source_of(path), error)) << error;
    ASSERT_EQ(server.listening_ports().size(), 1u);
    const int port = server.listening_ports()[0];

    // Clients that connect and send nothing, more of them than workers, and
    // a few that send half a request and stop: every request below is still
    // answered (the silent ones reach no worker where the platform allows,
    // the half ones wait in the header gate where there is one, and else
    // hold a worker for the request time-out at most).
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<Socket> idle;
    for (int i = 0; i < kWebWorkers * 2 + 8; ++i) {
        const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << i;
        idle.push_back(s);
        if (i >= kWebWorkers * 2) {
            const char half[] = "GET / HTTP/1.1\r\nHost: 127";
            ASSERT_EQ(::send(s, half, sizeof half - 1, 0), static_cast<int>(sizeof half - 1));
        }
    }

    const std::string page = exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find(std::string("\r\nContent-Security-Policy: ") + kContentSecurityPolicy + "\r\n"),
              std::string::npos);
    EXPECT_NE(page.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos);
    EXPECT_NE(page.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(page.find("PW FAILING DISK"), std::string::npos);

    const std::string head = exchange(port, "HEAD /api/drives HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << "HEAD has no body";

    const std::string post = exchange(port, "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(post.rfind("HTTP/1.1 405 ", 0), 0u) << post.substr(0, 100);
    EXPECT_NE(post.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);

    // An encoded serial reaches its page.
    const std::string hostile = exchange(port, "GET /drive/S%22%3Ci%3E%26%27 HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(hostile.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << hostile.substr(0, 300);
    const struct {
        const char* path;
        const char* status;
        const char* shows;
    } odd[] = {
        // Kept as BS\x5c1: the link holds its backslash as %5C, which the
        // server must not take for a folder separator.
        {"/drive/BS%5Cx5c1", "HTTP/1.1 200 OK\r\n", "<h1>Drive BS\\x5c1</h1>"},
        {"/api/drive/BS%5Cx5c1", "HTTP/1.1 200 OK\r\n", "\"BS\\\\x5c1\""},
        {"/drive/SP%202%25", "HTTP/1.1 200 OK\r\n", "<h1>Drive SP 2%</h1>"},
        // %00 would cut the serial short and show another drive.
        {"/drive/D1%00X", "HTTP/1.1 400 ", ""},
        {"/drive/D1%zz", "HTTP/1.1 400 ", ""},
    };
    for (const auto& row : odd) {
        const std::string request = std::string("GET ") + row.path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        const std::string answer = exchange(port, request.c_str());
        EXPECT_EQ(answer.rfind(row.status, 0), 0u) << row.path << "\n" << answer.substr(0, 300);
        EXPECT_NE(answer.find(row.shows), std::string::npos) << row.path << "\n" << answer.substr(0, 2000);
    }
    for (const Socket s : idle) {
        close_socket(s);
    }

    // The address is taken: a second server says so.
    WebServer second;
    EXPECT_FALSE(second.start("127.0.0.1:" + std::to_string(port), source_of(dir / "x.db"), error));
    EXPECT_NE(error.find("cannot serve the page at 127.0.0.1:"), std::string::npos) << error;
    EXPECT_NE(error.find(" is in use: "), std::string::npos) << "said why: " << error;

    // Stopped, it lets the address go at once (a service stopping for an
    // upgrade is replaced by the next one).
    server.stop();
    EXPECT_TRUE(server.listening_ports().empty());
    EXPECT_TRUE(second.start("127.0.0.1:" + std::to_string(port), source_of(dir / "x.db"), error)) << error;
    server.stop();  // again: nothing to do
}


// More clients than workers that send half a request and stop, with silent
// ones or without: the page and /metrics are answered while every one of
// them is still connected, none ended to free a worker (the header gate
// holds them, no worker does).
TEST(WebServer, AnswersWhileMoreClientsThanWorkersSendHalfARequest)
{
    if (!platewise::net::HeaderGate::available()) {
        GTEST_SKIP() << "without the header gate each holds a worker for the request time-out";
    }
    const struct {
        int silent;
        int half;
    } rows[] = {
        {0, 200},
        {kWebWorkers * 2, 200},
    };
    TempDir dir;
    WebSource source = source_of(webtest::build_history(dir));
    source.metrics_text = [] { return std::string("platewise_up 1\n"); };
    for (const auto& row : rows) {
        WebServer server;
        std::string error;
        ASSERT_TRUE(server.start("127.0.0.1:0", source, error)) << error;
        const int port = server.listening_ports().at(0);
        std::vector<Socket> silent;
        std::vector<Socket> half;
        for (int i = 0; i < row.silent; ++i) {
            silent.push_back(connect_and_send(port, ""));
        }
        for (int i = 0; i < row.half; ++i) {
            half.push_back(connect_and_send(port, "GET / HTTP/1.1\r\nHost: 127"));
        }
        const std::string page = exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << row.half << " half: " << page.substr(0, 200);
        EXPECT_NE(page.find("PW FAILING DISK"), std::string::npos);
        const std::string metrics = exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(metrics.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << metrics.substr(0, 200);
        EXPECT_NE(metrics.find("\r\n\r\nplatewise_up 1\n"), std::string::npos) << metrics.substr(0, 400);
        int ended = 0;
        for (const Socket s : half) {
            ended += wait_readable(s, 0) == 1 ? 1 : 0;
        }
        EXPECT_EQ(ended, 0) << "of " << row.half << " half requests, with " << row.silent << " silent";
        for (const Socket s : silent) {
            close_socket(s);
        }
        for (const Socket s : half) {
            close_socket(s);
        }
    }
}

// An answer larger than every buffer on its way, to a client that reads
// none of it for a while: others are answered meanwhile, one that leaves
// before its answer harms nothing, and the slow one gets every byte.
TEST(WebServer, ASlowReaderGetsALargeAnswerWholeWhileOthersAreServed)
{
    TempDir dir;
    WebSource source = source_of(webtest::build_history(dir));
    const std::string large = [] {
        std::string text;
        for (int i = 0; text.size() < 16 * 1024 * 1024; ++i) {
            text += "platewise_test_series{n=\"" + std::to_string(i) + "\"} " + std::to_string(i % 977) + "\n";
        }
        return text;
    }();
    source.metrics_text = [&large] { return large; };
    WebServer server;
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1:0", source, error)) << error;
    const int port = server.listening_ports().at(0);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const Socket slow = connect_and_send(port, request);
    for (int i = 0; i < 4; ++i) {
        close_socket(connect_and_send(port, request));  // gone before the answer
    }
    for (int i = 0; i < 3; ++i) {
        const std::string page = exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << i << ": " << page.substr(0, 200);
    }
    const std::string answer = read_to_end(slow);
    close_socket(slow);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
    const std::size_t body = answer.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(answer.size() - body - 4, large.size());
    EXPECT_TRUE(answer.compare(body + 4, std::string::npos, large) == 0) << "the body as served";
}

// The front page shows the newest events of every drive, a drive's page
// that drive's own.
TEST(WebServer, PagesShowTheNewestEventsAndEachDrivesOwn)
{
    TempDir dir;
    const WebSource source = source_of(webtest::build_history(dir));
    {
        platewise::history::HistoryStore store;
        std::string error;
        ASSERT_TRUE(platewise::history::open_history(store, source.history_path, false, error)) << error;
        std::vector<platewise::history::StoredDrive> drives;
        ASSERT_TRUE(platewise::history::load_drives(store, drives, error)) << error;
        ASSERT_GE(drives.size(), 2u);
        for (int i = 0; i < 12; ++i) {
            const platewise::history::StoredDrive& d = drives[i == 11 ? 1 : 0];
            platewise::history::StoredEvent e;
            e.time_ms = webtest::kNow - (12 - i) * 60 * 1000;
            e.drive_id = d.id;
            e.kind = "change";
            e.model = d.model;
            e.serial = d.serial;
            e.verdict_before = "OK";
            e.verdict_after = "MARK" + std::to_string(100 + i);
            ASSERT_TRUE(platewise::history::insert_event(store, e, error)) << error;
        }
    }
    const std::string front = get(source, "/").body;
    EXPECT_EQ(tooltest::occurrences(front, "<strong>MARK"), 10u) << "the newest ten";
    EXPECT_EQ(front.find("MARK101"), std::string::npos);
    EXPECT_LT(front.find("MARK111"), front.find("MARK102")) << "newest first";

    const std::string first_serial = [&] {
        platewise::history::HistoryStore store;
        std::string error;
        std::vector<platewise::history::StoredDrive> drives;
        EXPECT_TRUE(platewise::history::open_history(store, source.history_path, true, error)) << error;
        EXPECT_TRUE(platewise::history::load_drives(store, drives, error)) << error;
        return drives[0].serial;
    }();
    const std::string page = get(source, "/drive/" + first_serial).body;
    EXPECT_EQ(tooltest::occurrences(page, "<strong>MARK"), 11u) << page;
    EXPECT_EQ(page.find("MARK111"), std::string::npos) << "another drive's";
}

}  // namespace

namespace {

// Requests that read the history are bounded: however many come at once,
// at most kConcurrentLoads read it together, and the pages of the next
// moments are drawn from the views one of them loaded. Every request is
// still answered.
TEST(WebServer, HistoryReadingRequestsAreBounded)
{
    TempDir dir;
    WebServer server;
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1:0", source_of(webtest::build_history(dir)), error)) << error;
    const int port = server.listening_ports().at(0);
    const char* const paths[] = {"/", "/api/drives", "/drive/D1", "/api/drive/F1"};
    std::vector<std::thread> clients;
    std::vector<std::string> answers(16);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        clients.emplace_back([&, i] {
            const std::string request =
                std::string("GET ") + paths[i % 4] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            answers[i] = exchange(port, request.c_str());
        });
    }
    for (std::thread& c : clients) {
        c.join();
    }
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i].rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << paths[i % 4] << "\n"
                                                                  << answers[i].substr(0, 200);
    }
    ASSERT_NE(server.source().limits, nullptr);
    EXPECT_GE(server.source().limits->most_at_once(), 1);
    EXPECT_LE(server.source().limits->most_at_once(), platewise::web::kConcurrentLoads);
    // A drive's readings pass a gate of their own, as bounded.
    ASSERT_NE(server.source().drive_limits, nullptr);
    EXPECT_GE(server.source().drive_limits->most_at_once(), 1);
    EXPECT_LE(server.source().drive_limits->most_at_once(), platewise::web::kConcurrentLoads);
}

// The server keeps the front page's views (2 s) and the drives' replays
// (for good) between requests; what the listener writes next must show as
// a server without them shows it.
TEST(WebServer, KeptViewsAndReplaysFollowTheListener)
{
    TempDir dir;
    const std::string path = webtest::build_history(dir);
    const auto now = std::make_shared<std::atomic<std::int64_t>>(webtest::kNow);
    WebSource fresh = source_of(path);
    fresh.now_ms = [now] { return now->load(); };
    WebSource kept = fresh;
    kept.limits = std::make_shared<RequestLimits>();
    kept.drive_limits = std::make_shared<RequestLimits>();
    kept.replays = std::make_shared<history::ViewReplays>();
    ASSERT_EQ(get(kept, "/").status, 200);
    {
        // A minute later: a new drive, and D1's pending count up again.
        history::HistoryStore store;
        history::Recorder recorder;
        ASSERT_TRUE(historytest::open_recording(store, recorder, path));
        std::string error;
        const auto pass = historytest::pass_of({webtest::disk("PW OK DISK", "OK1", 0, 100, 31),
                                                webtest::disk("PW DEGRADING DISK", "D1", 9, 100, 35),
                                                webtest::disk("PW NEW DISK", "NEW1", 0, 100, 30)});
        ASSERT_TRUE(history::record_snapshot(recorder, store, *pass, webtest::kNow, error)) << error;
        ASSERT_TRUE(history::flush_recorder(recorder, store, error)) << error;
    }
    *now += 1000;
    const WebResponse page = get(kept, "/drive/NEW1");
    EXPECT_EQ(page.status, 200) << "a drive newer than the front page's views: " << page.body.substr(0, 300);
    *now += 3000;  // past the front page's views
    for (const char* p : {"/", "/api/drives", "/drive/D1", "/drive/NEW1"}) {
        const WebResponse a = get(kept, p);
        EXPECT_EQ(a.status, 200) << p;
        EXPECT_EQ(a.body, get(fresh, p).body) << p;
    }
    EXPECT_NE(get(kept, "/").body.find("NEW1"), std::string::npos);
}

}  // namespace
