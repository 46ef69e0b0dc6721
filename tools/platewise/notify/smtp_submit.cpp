// SMTP submission on loopback: connect, EHLO, one envelope, DATA with the
// message dot-stuffed and in CR LF lines, QUIT.
#include "notify/smtp_submit.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace platewise::notify {

namespace {

bool is_loopback_host(const std::string& host)
{
    if (host == "localhost" || host == "::1") {
        return true;
    }
    in_addr v4{};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

struct Connection {
    int fd = -1;
    std::uint32_t timeout_ms = 0;
    std::string buffer;  // received, not yet consumed
    ~Connection()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool wait_for(Connection& c, short events, std::string& error)
{
    pollfd p{c.fd, events, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, static_cast<int>(c.timeout_ms));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        error = "the mail server did not answer within " + std::to_string(c.timeout_ms) + " ms";
        return false;
    }
    if (ready < 0) {
        error = std::string("poll: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool connect_to(Connection& c, const SmtpServer& server, std::string& error)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(server.port);
    const int rc = ::getaddrinfo(server.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + server.host + ": " + ::gai_strerror(rc);
        return false;
    }
    error = "no address for " + server.host;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                a->ai_protocol);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        c.fd = fd;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = "cannot connect to the mail server at " + server.host + ":" + port + ": " +
                    std::strerror(errno);
            ::close(fd);
            c.fd = -1;
            continue;
        }
        int so_error = 0;
        socklen_t length = sizeof so_error;
        if (!wait_for(c, POLLOUT, error) ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length) != 0 || so_error != 0) {
            if (so_error != 0) {
                error = "cannot connect to the mail server at " + server.host + ":" + port +
                        ": " + std::strerror(so_error);
            }
            ::close(fd);
            c.fd = -1;
            continue;
        }
        ::freeaddrinfo(found);
        return true;
    }
    ::freeaddrinfo(found);
    return false;
}

bool send_all(Connection& c, const std::string& data, std::string& error)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(c.fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!wait_for(c, POLLOUT, error)) {
                return false;
            }
            continue;
        }
        error = std::string("sending to the mail server: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// One reply, possibly of several lines ("250-..." then "250 ..."): its
// code, and its text for messages. Replies longer than a few KB are cut.
bool read_reply(Connection& c, int& code, std::string& text, std::string& error)
{
    text.clear();
    for (;;) {
        const std::size_t end = c.buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = c.buffer.substr(0, end);
            c.buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.size() < 3 || line[0] < '1' || line[0] > '5' || line[1] < '0' ||
                line[1] > '9' || line[2] < '0' || line[2] > '9') {
                error = "the mail server's reply is not SMTP";
                return false;
            }
            if (text.size() < 512) {
                text += (text.empty() ? "" : " ") + line;
            }
            if (line.size() == 3 || line[3] != '-') {
                code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
                return true;
            }
            continue;
        }
        if (c.buffer.size() > 8192) {
            error = "the mail server's reply is too long";
            return false;
        }
        if (!wait_for(c, POLLIN, error)) {
            return false;
        }
        char chunk[1024];
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n == 0) {
            error = "the mail server closed the connection";
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            error = std::string("reading from the mail server: ") + std::strerror(errno);
            return false;
        }
        c.buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

// Sends `command` (unless empty) and wants a reply of class `want` (2 or 3).
bool exchange(Connection& c, const std::string& command, int want, const std::string& step,
              std::string& error)
{
    if (!command.empty() && !send_all(c, command + "\r\n", error)) {
        return false;
    }
    int code = 0;
    std::string text;
    if (!read_reply(c, code, text, error)) {
        return false;
    }
    if (code / 100 != want) {
        error = "the mail server refused " + step + ": " + text;
        return false;
    }
    return true;
}

// The message as DATA: CR LF line ends, a leading dot doubled, and the
// final line of a single dot.
std::string data_of(const std::string& message)
{
    std::string out;
    out.reserve(message.size() + message.size() / 40 + 8);
    bool line_start = true;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char ch = message[i];
        if (ch == '\r' && i + 1 < message.size() && message[i + 1] == '\n') {
            continue;  // the LF that follows ends the line
        }
        if (ch == '\n') {
            out += "\r\n";
            line_start = true;
            continue;
        }
        if (line_start && ch == '.') {
            out += '.';
        }
        out += ch;
        line_start = false;
    }
    if (!line_start) {
        out += "\r\n";
    }
    out += ".";
    return out;
}

std::string local_host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    for (char* p = name; *p != '\0'; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (!(std::isalnum(ch) || ch == '-' || ch == '.')) {
            return "localhost";
        }
    }
    return name;
}

}  // namespace

bool parse_smtp_url(const std::string& text, SmtpServer& server, std::string& error)
{
    const std::string scheme = "smtp://";
    if (text.compare(0, scheme.size(), scheme) != 0) {
        error = "\"" + text + "\" is not smtp://HOST[:PORT]";
        return false;
    }
    std::string rest = text.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string host = rest;
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "\"" + text + "\": an IPv6 address needs its closing ]";
            return false;
        }
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                error = "\"" + text + "\" is not smtp://HOST[:PORT]";
                return false;
            }
            port = rest.substr(close + 2);
        }
    } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (!is_loopback_host(host)) {
        error = "\"" + text + "\": plain SMTP goes only to this machine (localhost, 127.0.0.1 or "
                "[::1]); let its mail transport relay further";
        return false;
    }
    unsigned value = 25;
    if (!port.empty()) {
        value = 0;
        for (const char ch : port) {
            if (ch < '0' || ch > '9' || value > 6553) {
                value = 0;
                break;
            }
            value = value * 10 + static_cast<unsigned>(ch - '0');
        }
        if (value == 0 || value > 65535) {
            error = "\"" + text + "\": the port must be 1 to 65535";
            return false;
        }
    }
    server.host = host;
    server.port = static_cast<std::uint16_t>(value);
    return true;
}

bool envelope_address(const std::string& address, std::string& out)
{
    if (address.empty() || address.size() > 254) {
        return false;
    }
    for (const char ch : address) {
        const auto u = static_cast<unsigned char>(ch);
        if (u <= 0x20 || u == 0x7F || ch == '<' || ch == '>' || ch == '(' || ch == ')' ||
            ch == ',' || ch == ';' || ch == '"' || ch == '\\') {
            return false;
        }
    }
    const std::size_t at = address.find('@');
    if (at == std::string::npos) {
        out = address + "@localhost";
        return true;
    }
    if (at == 0 || at + 1 == address.size() || address.find('@', at + 1) != std::string::npos) {
        return false;
    }
    out = address;
    return true;
}

bool smtp_submit(const SmtpServer& server, const std::string& sender,
                 const std::vector<std::string>& recipients, const std::string& message,
                 std::uint32_t timeout_ms, std::string& error)
{
    std::string from;
    if (!envelope_address(sender, from)) {
        error = "the sender address \"" + sender + "\" cannot go into an SMTP envelope";
        return false;
    }
    std::vector<std::string> to;
    for (const std::string& r : recipients) {
        std::string address;
        if (!envelope_address(r, address)) {
            error = "the address \"" + r + "\" cannot go into an SMTP envelope";
            return false;
        }
        to.push_back(address);
    }
    if (to.empty()) {
        error = "no recipient";
        return false;
    }
    Connection c;
    c.timeout_ms = timeout_ms;
    if (!connect_to(c, server, error) || !exchange(c, "", 2, "the connection", error) ||
        !exchange(c, "EHLO " + local_host_name(), 2, "EHLO", error) ||
        !exchange(c, "MAIL FROM:<" + from + ">", 2, "the sender <" + from + ">", error)) {
        return false;
    }
    for (const std::string& address : to) {
        if (!exchange(c, "RCPT TO:<" + address + ">", 2, "the recipient <" + address + ">",
                      error)) {
            return false;
        }
    }
    if (!exchange(c, "DATA", 3, "DATA", error) ||
        !exchange(c, data_of(message), 2, "the message", error)) {
        return false;
    }
    // The message is accepted; a failed QUIT changes nothing.
    std::string ignored;
    exchange(c, "QUIT", 2, "QUIT", ignored);
    return true;
}

}  // namespace platewise::notify
