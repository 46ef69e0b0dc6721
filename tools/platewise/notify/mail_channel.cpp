// Composing the mail and handing it to sendmail.
#include "notify/mail_channel.h"

#include "notify/smtp_submit.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>

#if !defined(_WIN32)
#include <pwd.h>
#include <unistd.h>
#endif

namespace platewise::notify {

namespace {

bool local_char(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    for (const char* p = "!#$%&'*+-/=?^_`{|}~."; *p != '\0'; ++p) {
        if (c == *p) {
            return true;
        }
    }
    return false;
}

bool domain_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
}

}  // namespace

bool valid_mail_address(const std::string& address)
{
    if (address.empty() || address.size() > 254 || address.front() == '-' || address.front() == '.') {
        return false;
    }
    const std::size_t at = address.find('@');
    const std::string local = address.substr(0, at);
    if (local.empty() || local.size() > 64 || local.back() == '.' ||
        local.find("..") != std::string::npos) {
        return false;
    }
    for (const char c : local) {
        if (!local_char(c)) {
            return false;
        }
    }
    if (at == std::string::npos) {
        return true;
    }
    const std::string domain = address.substr(at + 1);
    if (domain.empty() || domain.front() == '.' || domain.front() == '-' || domain.back() == '.' ||
        domain.find("..") != std::string::npos) {
        return false;
    }
    for (const char c : domain) {
        if (!domain_char(c)) {
            return false;
        }
    }
    return true;
}

std::string mail_date(std::int64_t time_ms)
{
    const std::time_t t = static_cast<std::time_t>(time_ms / 1000);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    // Names in English whatever the locale.
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[tm.tm_wday % 7],
                  tm.tm_mday, months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buffer;
}

std::string new_message_id(const std::string& host, std::int64_t time_ms)
{
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const unsigned n = ++counter;
#if defined(_WIN32)
    const long pid = 0;
#else
    const long pid = static_cast<long>(::getpid());
#endif
    return std::to_string(time_ms) + "." + std::to_string(pid) + "." + std::to_string(n) + "." +
           std::to_string(random()) + ".platewise@" + (host.empty() ? std::string("localhost") : host);
}

std::string default_sender(const std::string& host)
{
    std::string user = "platewise";
#if !defined(_WIN32)
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        valid_mail_address(found->pw_name)) {
        user = found->pw_name;
    }
#endif
    const std::string address = user + "@" + host;
    return valid_mail_address(address) ? address : user;
}

std::string mail_text(const Message& message, const MailHeaders& headers)
{
    std::string mail;
    mail += "From: platewise on " + plain_text(message.host, 64) + " <" + plain_text(headers.from, 254) + ">\n";
    mail += "To: " + plain_text(headers.to, 254) + "\n";
    mail += "Subject: " + subject_line(message) + "\n";
    mail += "Date: " + mail_date(headers.date_ms) + "\n";
    mail += "Message-ID: <" + plain_text(headers.message_id, 200) + ">\n";
    mail += "MIME-Version: 1.0\n";
    mail += "Content-Type: text/plain; charset=utf-8\n";
    mail += "Content-Transfer-Encoding: 8bit\n";
    mail += "Auto-Submitted: auto-generated\n";
    mail += "\n";
    mail += body_text(message);
    return mail;
}

ChildResult send_mail(const MailChannel& channel, const Message& message)
{
    if (!valid_mail_address(channel.address)) {
        ChildResult refused;
        refused.error = "not a mail address: " + plain_text(channel.address, 254);
        return refused;
    }
    MailHeaders headers;
    headers.from = channel.from.empty() ? default_sender(message.host) : channel.from;
    headers.to = channel.address;
    headers.date_ms = message.time_ms;
    headers.message_id = new_message_id(message.host, message.time_ms);
    if (channel.sendmail.rfind("smtp://", 0) == 0) {
        // Over SMTP to this machine's transport, for a listener whose
        // sandbox keeps a privileged sendmail from writing its queue.
        ChildResult result;
        SmtpServer server;
        std::string error;
        if (!parse_smtp_url(channel.sendmail, server, error)) {
            result.error = error;
            return result;
        }
        result.started = true;
        // Over SMTP a transport checks the header's addresses as from
        // another host: a bare local user ("root") must be qualified.
        envelope_address(headers.to, headers.to);
        envelope_address(headers.from, headers.from);
        if (smtp_submit(server, headers.from, {channel.address}, mail_text(message, headers),
                        channel.time_limit_ms, error)) {
            result.exit_code = 0;
        } else {
            result.exit_code = 1;
            result.error = error;
        }
        return result;
    }
    ChildRequest request;
    request.argv = {channel.sendmail, "-oi", "-t"};
    request.environment = inherited_environment("PLATEWISE_");
    request.input = mail_text(message, headers);
    request.time_limit_ms = channel.time_limit_ms;
    request.cancel = channel.cancel;
    return run_child(request);
}

}  // namespace platewise::notify
