// --notify-mail, --notify-exec, --notify-repeat, --notify-sendmail,
// --notify-timeout.
#include "cli/notify_options.h"

#include <CLI/CLI.hpp>

namespace platewise {

namespace {

// Checked as they are read, so that a bad value in --config's file is
// named with its line.
const CLI::Validator kMailAddress(
    [](std::string& text) {
        return notify::valid_mail_address(text)
                   ? std::string()
                   : "expected one address, such as root or admin@example.org, not " +
                         notify::plain_text(text, 254);
    },
    "ADDRESS", "mail address");

const CLI::Validator kDuration(
    [](std::string& text) {
        std::int64_t ms = 0;
        return notify::parse_duration(text, ms)
                   ? std::string()
                   : "expected a duration such as 24h, 90m or 7d (0: never), not " + notify::plain_text(text, 40);
    },
    "DURATION", "duration");

}  // namespace

void add_notify_options(CLI::App& app, notify::NotifySettings& settings)
{
    app.add_option("--notify-mail", settings.mail,
                   "Mail ADDRESS (e.g. root) about every change of a drive's verdict, through "
                   "sendmail -oi -t (repeatable)")
        ->option_text("ADDRESS")
        ->allow_extra_args(false)
        ->check(kMailAddress);
    app.add_option("--notify-exec", settings.programs,
                   "Run PROGRAM (an absolute path, no shell) for every change: the event as JSON on "
                   "its standard input, PLATEWISE_HOST, _SERIAL, _MODEL, _SLOT, _VERDICT, "
                   "_PREVIOUS_VERDICT, _REASONS, _KIND in its environment; at most four at once, "
                   "killed after --notify-timeout (repeatable)")
        ->option_text("PROGRAM")
        ->allow_extra_args(false);
    app.add_option("--notify-repeat", settings.repeat,
                   "Remind of a drive that stays in a bad verdict this often (default 24h; 0: never)")
        ->option_text("DURATION")
        ->check(kDuration);
    app.add_option("--notify-sendmail", settings.sendmail,
                   "The sendmail interface to hand mail to (default /usr/sbin/sendmail), or "
                   "smtp://HOST[:PORT]: this machine's mail transport over SMTP (localhost, "
                   "127.0.0.1 or [::1] only), for a sandboxed listener")
        ->option_text("PATH");
    app.add_option("--notify-timeout", settings.time_limit_seconds,
                   "Seconds a program or sendmail may run before it is killed (default 30)")
        ->option_text("SECONDS")
        ->check(CLI::Range(0.001, 3600.0));
}

}  // namespace platewise
