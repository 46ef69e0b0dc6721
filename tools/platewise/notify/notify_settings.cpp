// Checking the notification options and making the channels.
#include "notify/notify_settings.h"

#include <unistd.h>

#include <sys/stat.h>

#include "notify/smtp_submit.h"

namespace platewise::notify {

bool parse_duration(const std::string& text, std::int64_t& ms)
{
    std::int64_t value = 0;
    std::size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (value > 1000000000) {
            return false;
        }
        value = value * 10 + (text[at] - '0');
    }
    if (at == 0 || text.size() - at > 1) {
        return false;
    }
    std::int64_t unit = 1000;
    if (at < text.size()) {
        switch (text[at]) {
        case 's': unit = 1000; break;
        case 'm': unit = 60 * 1000; break;
        case 'h': unit = 3600 * 1000; break;
        case 'd': unit = 24 * 3600 * 1000; break;
        default: return false;
        }
    }
    ms = value * unit;
    return true;
}

bool check_settings(const NotifySettings& settings, std::string& error)
{
    for (const std::string& a : settings.mail) {
        if (!valid_mail_address(a)) {
            error = "--notify-mail " + plain_text(a, 254) +
                    ": expected one address, such as root or admin@example.org";
            return false;
        }
    }
    for (const std::string& p : settings.programs) {
        struct stat st{};
        if (p.empty() || p.front() != '/' || ::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            ::access(p.c_str(), X_OK) != 0) {
            error = "--notify-exec " + plain_text(p, 300) +
                    ": expected the absolute path of an executable file (it is run without a shell)";
            return false;
        }
    }
    std::int64_t ms = 0;
    if (!parse_duration(settings.repeat, ms)) {
        error = "--notify-repeat " + plain_text(settings.repeat, 40) +
                ": expected a duration such as 24h, 90m or 7d (0: never)";
        return false;
    }
    SmtpServer server;
    std::string smtp_error;
    if (!settings.mail.empty() && settings.sendmail.rfind("smtp://", 0) == 0) {
        if (!parse_smtp_url(settings.sendmail, server, smtp_error)) {
            error = "--notify-sendmail " + plain_text(smtp_error, 300);
            return false;
        }
    } else if (!settings.mail.empty() && (settings.sendmail.empty() || settings.sendmail.front() != '/')) {
        error = "--notify-sendmail " + plain_text(settings.sendmail, 300) +
                ": expected an absolute path, or smtp://HOST[:PORT] on this machine";
        return false;
    }
    if (!(settings.time_limit_seconds >= 0.001 && settings.time_limit_seconds <= 3600)) {
        error = "--notify-timeout: expected 0.001 to 3600 seconds";
        return false;
    }
    return true;
}

std::vector<Channel> make_channels(const NotifySettings& settings, std::shared_ptr<std::atomic<bool>> cancel)
{
    const auto limit = static_cast<std::uint32_t>(settings.time_limit_seconds * 1000.0 + 0.5);
    std::vector<Channel> channels;
    for (const std::string& a : settings.mail) {
        MailChannel mail;
        mail.address = a;
        mail.sendmail = settings.sendmail;
        mail.time_limit_ms = limit;
        mail.cancel = cancel.get();
        channels.push_back(
            {"mail:" + a, "mail", [mail, cancel](const Message& m) { return send_mail(mail, m); }});
    }
    for (const std::string& p : settings.programs) {
        ProgramChannel program;
        program.program = p;
        program.time_limit_ms = limit;
        program.cancel = cancel.get();
        channels.push_back({"exec:" + p, "exec",
                            [program, cancel](const Message& m) { return run_program(program, m); }});
    }
    return channels;
}

}  // namespace platewise::notify
