// SMTP submission against a scripted server on loopback: what goes over the
// wire (dot-stuffing, CR LF, the envelope), the server's refusals, silence
// and a closed port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "notify/smtp_submit.h"

namespace {

using platewise::notify::envelope_address;
using platewise::notify::parse_smtp_url;
using platewise::notify::smtp_submit;
using platewise::notify::SmtpServer;

// A one-connection SMTP server: answers each command with the next reply of
// `replies` (the greeting first), and records what it was sent. A reply of
// "" means: say nothing more (a hung server).
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::string> replies) : replies_(std::move(replies))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }
    // What the client sent, once it has closed the connection.
    std::string transcript()
    {
        thread_.join();
        return received_;
    }

private:
    void serve()
    {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        std::size_t next = 0;
        bool in_data = false;
        std::string pending;
        auto reply = [&]() -> bool {
            if (next >= replies_.size() || replies_[next].empty()) {
                return false;
            }
            const std::string r = replies_[next++] + "\r\n";
            return ::send(fd, r.data(), r.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(r.size());
        };
        bool talking = reply();
        char chunk[512];
        ssize_t n;
        while (talking && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
            received_.append(chunk, static_cast<std::size_t>(n));
            pending.append(chunk, static_cast<std::size_t>(n));
            for (;;) {
                if (in_data) {
                    const std::size_t end = pending.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        break;
                    }
                    pending.erase(0, end + 5);
                    in_data = false;
                    talking = reply();
                    continue;
                }
                const std::size_t end = pending.find("\r\n");
                if (end == std::string::npos) {
                    break;
                }
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + 2);
                const bool data = command == "DATA";
                talking = reply();
                if (data && talking && replies_[next - 1][0] == '3') {
                    in_data = true;
                    pending.insert(0, "\r\n");  // the body's first line may be a lone dot
                }
                if (!talking) {
                    break;
                }
            }
        }
        // A hung server keeps the connection open until the client gives up.
        while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
        }
        ::close(fd);
    }

    std::vector<std::string> replies_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::string received_;
    std::thread thread_;
};

// EHLO's reply comes in two lines, as servers list their extensions.
const std::vector<std::string> kHappy = {"220 lab ESMTP", "250-lab hello\r\n250 SIZE 1000",
                                         "250 ok", "250 ok", "250 ok", "354 go on",
                                         "250 queued as 1", "221 bye"};

TEST(SmtpSubmit, TheTranscriptHoldsTheEnvelopeAndTheStuffedBody)
{
    std::string received;
    {
        ScriptedServer server(kHappy);
        std::string error;
        ASSERT_TRUE(smtp_submit(SmtpServer{"127.0.0.1", server.port()}, "platewise",
                                {"root", "ops@example.org"}, "Subject: x\n\n.hidden\nlast\n.\n",
                                5000, error))
            << error;
        received = server.transcript();
    }
    EXPECT_NE(received.find("EHLO "), std::string::npos) << received;
    EXPECT_NE(received.find("MAIL FROM:<platewise@localhost>\r\n"), std::string::npos) << received;
    EXPECT_NE(received.find("RCPT TO:<root@localhost>\r\nRCPT TO:<ops@example.org>\r\n"),
              std::string::npos)
        << received;
    EXPECT_NE(received.find("DATA\r\nSubject: x\r\n\r\n..hidden\r\nlast\r\n..\r\n.\r\nQUIT\r\n"),
              std::string::npos)
        << received;
}

TEST(SmtpSubmit, RefusalsSilenceAndAClosedPortAreErrorsThatSayWhich)
{
    struct Row {
        const char* what;
        std::vector<std::string> replies;
        const char* error;
    };
    const Row rows[] = {
        {"greeting refused", {"554 no service here"}, "refused the connection: 554 no service"},
        {"sender refused", {"220 x", "250 x", "553 bad sender"}, "refused the sender <platewise@localhost>"},
        {"recipient refused", {"220 x", "250 x", "250 ok", "550 no such user"},
         "refused the recipient <root@localhost>: 550 no such user"},
        {"DATA refused", {"220 x", "250 x", "250 ok", "250 ok", "451 try later"}, "refused DATA: 451"},
        {"message refused", {"220 x", "250 x", "250 ok", "250 ok", "354 go", "552 too big"},
         "refused the message: 552 too big"},
        {"server hangs after the greeting", {"220 x", ""}, "did not answer within 300 ms"},
        {"not SMTP", {"HTTP/1.1 400 Bad Request"}, "not SMTP"},
    };
    for (const Row& row : rows) {
        ScriptedServer server(row.replies);
        std::string error;
        EXPECT_FALSE(smtp_submit(SmtpServer{"127.0.0.1", server.port()}, "platewise", {"root"},
                                 "Subject: x\n\nbody\n", 300, error))
            << row.what;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
    }

    // A port nobody listens on.
    std::uint16_t closed = 0;
    {
        ScriptedServer gone({});
        closed = gone.port();
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);  // let the server thread end
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(closed);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::close(fd);
    }
    std::string error;
    EXPECT_FALSE(smtp_submit(SmtpServer{"127.0.0.1", closed}, "platewise", {"root"}, "x\n", 300, error));
    EXPECT_NE(error.find("cannot connect to the mail server at 127.0.0.1:"), std::string::npos) << error;
}

TEST(SmtpSubmit, UrlsAndEnvelopeAddresses)
{
    struct UrlRow {
        const char* text;
        bool ok;
        const char* host;
        std::uint16_t port;
    };
    const UrlRow urls[] = {
        {"smtp://localhost", true, "localhost", 25},
        {"smtp://127.0.0.1:2525", true, "127.0.0.1", 2525},
        {"smtp://127.1.2.3/", true, "127.1.2.3", 25},
        {"smtp://[::1]:587", true, "::1", 587},
        {"smtp://mail.example.org", false, "", 0},
        {"smtp://10.0.0.1:25", false, "", 0},
        {"smtp://localhost:0", false, "", 0},
        {"smtp://localhost:65536", false, "", 0},
        {"smtp://localhost:2x", false, "", 0},
        {"smtp://[::1", false, "", 0},
        {"http://localhost", false, "", 0},
    };
    for (const UrlRow& row : urls) {
        SmtpServer server;
        std::string error;
        EXPECT_EQ(parse_smtp_url(row.text, server, error), row.ok) << row.text << ": " << error;
        if (row.ok) {
            EXPECT_EQ(server.host, row.host) << row.text;
            EXPECT_EQ(server.port, row.port) << row.text;
        } else {
            EXPECT_FALSE(error.empty()) << row.text;
        }
    }

    struct AddressRow {
        const char* address;
        const char* envelope;  // nullptr: refused
    };
    const AddressRow addresses[] = {
        {"root", "root@localhost"},
        {"ops@example.org", "ops@example.org"},
        {"", nullptr},
        {"a b@example.org", nullptr},
        {"root>\r\nRCPT TO:<evil@x", nullptr},
        {"<root@x>", nullptr},
        {"@example.org", nullptr},
        {"root@", nullptr},
        {"a@b@c", nullptr},
    };
    for (const AddressRow& row : addresses) {
        std::string out;
        EXPECT_EQ(envelope_address(row.address, out), row.envelope != nullptr) << row.address;
        if (row.envelope != nullptr) {
            EXPECT_EQ(out, row.envelope);
        }
    }
}

}  // namespace
