// --notify-mail ADDRESS: a notification as a plain-text mail handed to the
// system's sendmail interface (`sendmail -oi -t`, which every Debian mail
// transport provides), the recipient taken from the To: header.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "notify/child_process.h"
#include "notify/notify_message.h"

namespace platewise::notify {

inline constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";

// A local user ("root") or user@domain: letters, digits and
// !#$%&'*+-/=?^_`{|}~. in the local part, letters, digits, '-' and '.' in
// the domain, at most 254 characters, not starting with '-' or '.'. No
// spaces, quotes, commas, angle brackets or line breaks: one address, never
// a header of its own.
bool valid_mail_address(const std::string& address);

struct MailHeaders {
    std::string from;        // an address valid_mail_address accepts
    std::string to;          // likewise
    std::int64_t date_ms = 0;
    std::string message_id;  // without the angle brackets: "left@right"
};

// The whole mail with lines ending in LF (sendmail's local convention):
// headers From, To, Subject, Date, Message-ID, MIME-Version,
// Content-Type (text/plain; charset=utf-8), Content-Transfer-Encoding
// (8bit), a blank line, then the body. Every header value is printable
// ASCII (notify::plain_text), so a drive string cannot add a header.
std::string mail_text(const Message& message, const MailHeaders& headers);

// RFC 5322's date: "Mon, 07 Dec 2026 22:45:35 +0000".
std::string mail_date(std::int64_t time_ms);

// A Message-ID unique to this process and message: "T.P.N.R@host".
std::string new_message_id(const std::string& host, std::int64_t time_ms);

// The sender: "<user>@<host>" for the user running the listener ("platewise"
// when it has no valid name).
std::string default_sender(const std::string& host);

struct MailChannel {
    std::string address;
    std::string sendmail = kDefaultSendmail;
    std::string from;  // empty: default_sender
    std::uint32_t time_limit_ms = 30000;
    const std::atomic<bool>* cancel = nullptr;  // see ChildRequest
};

// Hands the message to sendmail. Delivered when sendmail took it (exit 0).
ChildResult send_mail(const MailChannel& channel, const Message& message);

}  // namespace platewise::notify
