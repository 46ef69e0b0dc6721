// platewise notify --test.
#include "commands/notify_command.h"

#include <chrono>

#include "cli/cli.h"

namespace platewise {

int run_notify(const NotifyCommandOptions& options, std::ostream& out, std::ostream& err)
{
    if (!options.test) {
        err << "platewise notify: nothing to do: give --test to send a test notification\n"
               "Run with --help for more information.\n";
        return kUsageError;
    }
    std::string error;
    if (!notify::check_settings(options.settings, error)) {
        err << "platewise: " << error << "\nRun with --help for more information.\n";
        return kUsageError;
    }
    const std::vector<notify::Channel> channels = notify::make_channels(options.settings);
    if (channels.empty()) {
        err << "platewise notify: no channel is configured: give --notify-mail ADDRESS or "
               "--notify-exec PROGRAM, or --config with the listener's configuration file\n";
        return 1;
    }
    notify::Message message;
    message.host = notify::host_name();
    message.page_address = options.page_address;
    message.time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    events::DriveEvent test;
    test.kind = "test";
    test.time_ms = message.time_ms;
    test.model = "platewise test";
    test.serial = "TEST";
    test.verdict_before = "OK";
    test.verdict_after = "OK";
    test.reasons = {"a test notification, sent by platewise notify --test"};
    message.events.push_back(std::move(test));

    bool all = true;
    for (const notify::Channel& channel : channels) {
        const notify::ChildResult result = channel.send(message);
        const bool ok = result.succeeded();
        all = all && ok;
        out << notify::plain_text(channel.name, 300) << ": "
            << (ok ? std::string("delivered") : "NOT delivered (" + notify::plain_text(result.describe(), 300) + ")")
            << "\n";
        std::size_t start = 0;
        while (start < result.output.size()) {
            std::size_t end = result.output.find('\n', start);
            if (end == std::string::npos) {
                end = result.output.size();
            }
            const std::string line = notify::plain_text(result.output.substr(start, end - start), 400);
            if (!line.empty()) {
                out << "  " << line << "\n";
            }
            start = end + 1;
        }
    }
    out.flush();
    return all ? 0 : 1;
}

}  // namespace platewise
