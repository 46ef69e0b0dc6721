// Mail handed to the mail transport of this machine over SMTP on loopback,
// for a listener whose sandbox keeps sendmail from working (a set-user-ID
// or set-group-ID submission program gains nothing under NoNewPrivileges=,
// and its spool is read-only under ProtectSystem=strict). The transport's
// own daemon (Debian's exim4 and postfix listen on localhost:25 by default)
// then delivers it. Plain SMTP without TLS or authentication: only to an
// address of this machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platewise::notify {

struct SmtpServer {
    std::string host = "localhost";  // "localhost", or a loopback address
    std::uint16_t port = 25;
};

// "smtp://HOST[:PORT]" with HOST "localhost", 127.x.y.z or [::1]. False with
// the reason for anything else.
bool parse_smtp_url(const std::string& text, SmtpServer& server, std::string& error);

// An address fit for an SMTP envelope: a local part alone ("root") is taken
// as that user of this machine ("root@localhost"). False for anything with
// spaces, angle brackets or control characters.
bool envelope_address(const std::string& address, std::string& out);

// Submits `message` (headers, a blank line and the body; lines ended by LF
// or CR LF) from `sender` to `recipients`. Each wait for the server gives
// up after `timeout_ms`. False with the server's reply or the system's
// reason when the message was not accepted.
bool smtp_submit(const SmtpServer& server, const std::string& sender,
                 const std::vector<std::string>& recipients, const std::string& message,
                 std::uint32_t timeout_ms, std::string& error);

}  // namespace platewise::notify
