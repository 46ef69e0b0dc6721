// Parsing the command line with CLI11 and running the chosen command.
#include "cli/cli.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands/decode_command.h"
#include "commands/listen_command.h"
#include "commands/snapshot_status_command.h"
#include "commands/verdict_summary.h"
#include "cli/config_file.h"
#include "cli/raw_format_option.h"
#include "cli/subcommand_suggestion.h"
#include "events/listen_events.h"
#include "files/output_directory.h"
#include "version/build_version.h"
#if defined(_WIN32)
#include "events/event_log_win32.h"
#include "service/listen_service.h"
#endif
#if defined(PLATEWISE_HAVE_METRICS)
#include "metrics/metrics_server.h"
#endif
#if defined(PLATEWISE_HAVE_HISTORY)
#include <unistd.h>

#include <chrono>

#include "commands/ack_command.h"
#include "commands/events_command.h"
#include "commands/history_command.h"
#include "commands/status_command.h"
#include "history/history_store.h"
#include "history/event_recording.h"
#include "history/history_view.h"
#include "history/listen_history.h"
#endif
#if defined(PLATEWISE_HAVE_WEB)
#include "web/web_server.h"
#endif
#if defined(PLATEWISE_HAVE_SYSTEMD_NOTIFY)
#include "commands/listen_readiness.h"
#endif
#if defined(PLATEWISE_HAVE_NOTIFY)
#include "cli/notify_options.h"
#include "commands/notify_command.h"
#include "notify/listen_notify.h"
#endif

namespace platewise {

namespace {

constexpr const char* kRawFormatHelp =
    "ID,STYLE[,LAYOUT]: show attribute ID's raw value in STYLE (a RawStyle name such as "
    "MinutesClock, or an integer code; codes outside 0-16 render \"?\") from the bytes in "
    "LAYOUT (at most 11 of 0-5, r, v, w; empty: the style's default). Repeatable.";

bool parse_overrides(const std::vector<std::string>& texts, std::vector<RawFormatOverride>& out,
                     std::ostream& err)
{
    for (const std::string& text : texts) {
        RawFormatOverride o;
        std::string error;
        if (!parse_raw_format(text, o, error)) {
            err << "platewise: --raw-format " << smart::sanitize_text(text) << ": " << error
                << "\nRun with --help for more information.\n";
            return false;
        }
        out.push_back(std::move(o));
    }
    return true;
}

// An octal permission mode such as 0600 or 660.
bool parse_mode(const std::string& text, std::uint32_t& mode)
{
    if (text.empty() || text.size() > 4) {
        return false;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '7') {
            return false;
        }
        value = value * 8 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 0777) {
        return false;
    }
    mode = value;
    return true;
}

// A byte count such as 500000, 64M or 2G (K, M, G, T: powers of 1024).
bool parse_size(const std::string& text, std::uint64_t& bytes)
{
    std::uint64_t value = 0;
    std::size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (value > (UINT64_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    if (at == 0 || value == 0 || text.size() - at > 1) {
        return false;
    }
    unsigned shift = 0;
    if (at < text.size()) {
        switch (text[at]) {
        case 'K': case 'k': shift = 10; break;
        case 'M': case 'm': shift = 20; break;
        case 'G': case 'g': shift = 30; break;
        case 'T': case 't': shift = 40; break;
        default: return false;
        }
    }
    if (value > (UINT64_MAX >> shift)) {
        return false;
    }
    bytes = value << shift;
    return true;
}

#if defined(PLATEWISE_HAVE_HISTORY)
// The chart is for people: drawn when the output is the process's own
// standard output and that is a terminal.
bool is_terminal_output(const std::ostream& out)
{
    return &out == &std::cout && ::isatty(1) == 1;
}
#endif

// The command line names the status command (parsed up to an error).
bool status_command_line(const CLI::App* status)
{
    return status != nullptr && status->parsed();
}

}  // namespace

int run_cli(int argc, const char* const* argv, std::istream& in, std::ostream& out,
            std::ostream& err)
{
    CLI::App app{"platewise: listen for the Platewise service's drive snapshots and decode them "
                 "for people and programs.",
                 "platewise"};
    app.set_version_flag("--version", build_version_text());
    app.require_subcommand(1);
    // CLI11 takes "/name" for an option on Windows; here it is always a path.
    app.allow_windows_style_options(false);

    std::vector<std::string> raw_format_texts;

    CLI::App* listen = app.add_subcommand(
        "listen", "Create the endpoint, take one snapshot per connection from the service and "
                  "print each decoded pass.");
    ListenOptions listen_options;
    std::string socket_mode_text = "0600";
    double read_timeout_seconds = kDefaultReadTimeoutMs / 1000.0;
    listen->add_flag("--json", listen_options.json, "One JSON document per line per snapshot");
    listen->add_option("--save", listen_options.save_directory,
                       "Also write each raw snapshot to DIR as snapshot-YYYYMMDD-HHMMSS-NNN.bin. "
                       "DIR must be writable only by root and the listener's user. Without "
                       "--save-keep-days or --save-max-bytes nothing is ever removed: about "
                       "850 MB a day at one pass every 5 s. NVMe snapshots are saved beside them "
                       "as nvme-YYYYMMDD-HHMMSS-NNN.bin (about 4.8 GB a day)")
        ->option_text("DIR")
        ->check(CLI::ExistingDirectory);
    listen->add_option("--save-keep-days", listen_options.save_retention.keep_days,
                       "Remove saved snapshots older than N days (the newest always stays)")
        ->option_text("N")
        ->check(CLI::Range(1u, 36500u));
    std::string save_max_text;
    listen->add_option("--save-max-bytes", save_max_text,
                       "Remove the oldest saved snapshots while DIR's snapshots take more than "
                       "SIZE bytes (suffix K, M, G or T for powers of 1024, e.g. 2G; the newest "
                       "always stays)")
        ->option_text("SIZE");
    std::string file_mode_text = "0600";
    listen->add_option("--file-mode", file_mode_text,
                       "Octal permission bits of saved snapshots and the --textfile file "
                       "(default 0600; e.g. 0640 to let the group read; never anything for "
                       "others: they hold serial numbers)")
        ->option_text("MODE");
    bool once = false;
    listen->add_flag("--once", once, "Return after one good snapshot");
    listen->add_option("--raw-format", raw_format_texts, kRawFormatHelp)
        ->option_text("ID,STYLE[,LAYOUT]")
        ->allow_extra_args(false);
    listen->add_option("--endpoint", listen_options.endpoint,
                       "Socket path to listen on (default /run/platewise/PlatewisePipe, where "
                       "the service sends)")
        ->option_text("PATH");
    listen->add_option("--nvme-endpoint", listen_options.nvme_endpoint,
                       "Socket path for the service's NVMe snapshots (default: beside --endpoint, "
                       "its final Pipe becoming NvmePipe: /run/platewise/PlatewiseNvmePipe; any "
                       "other name with -nvme added); checked like --endpoint")
        ->option_text("PATH");
    listen->add_option("--socket-mode", socket_mode_text,
                       "Octal permission bits of the socket; connecting needs write permission "
                       "(default 0600: only the owner, root for the service's endpoint)")
        ->option_text("MODE");
    listen->add_option("--peer-uid", listen_options.peers.extra_uids,
                       "Also accept snapshots from peers running as user id UID (repeatable); "
                       "root and the listener's own user always may, every other peer is "
                       "refused and counted")
        ->option_text("UID")
        ->allow_extra_args(false)
        ->check(CLI::Range(0u, 4294967294u));
    listen->add_option("--read-timeout", read_timeout_seconds,
                       "Seconds a connection may take to deliver its snapshot before it is "
                       "dropped (default 10)")
        ->option_text("SECONDS")
        ->check(CLI::Range(0.001, 3600.0));
    std::string listen_config;
    listen->add_option("--config", listen_config,
                       "Read options from FILE (INI or TOML: one key per option, such as "
                       "notify-mail = root or read-timeout = 5); the command line wins")
        ->option_text("FILE");
#if defined(PLATEWISE_HAVE_NOTIFY)
    notify::NotifySettings notify_settings;
    add_notify_options(*listen, notify_settings);
#endif
    std::string metrics_address;
    std::string textfile_path;
#if defined(_WIN32)
    bool as_service = false;
    listen->add_flag("--service", as_service,
                     "Run as the Windows service PlatewiseListen (the Service Control Manager "
                     "starts it): without --history, snapshots are saved in "
                     "%ProgramData%\\Platewise\\snapshots unless --save names a folder; messages "
                     "go to %ProgramData%\\Platewise\\listen.log. A history or page that cannot be "
                     "had is said there and in the Event Log, and the service goes on receiving");
    bool save_snapshots = false;
    listen->add_flag("--save-snapshots", save_snapshots,
                     "With --service and --history: also save every raw snapshot in "
                     "%ProgramData%\\Platewise\\snapshots (about 5.7 GB a day before "
                     "--save-max-bytes)");
#endif
#if defined(PLATEWISE_HAVE_METRICS)
    listen->add_option("--metrics", metrics_address,
                       "Serve the latest pass as Prometheus metrics at http://ADDRESS:PORT/metrics; "
                       "the address is required (e.g. 127.0.0.1:9101, [::1]:9101). The metrics "
                       "carry serial numbers: expose them beyond this machine only through a "
                       "reverse proxy or a firewall")
        ->option_text("ADDRESS:PORT");
    listen->add_option("--textfile", textfile_path,
                       "Write the metrics to PATH (replaced atomically) for node_exporter's "
                       "textfile collector; PATH should end in .prom")
        ->option_text("PATH");
#else
    listen->footer("Prometheus metrics (--metrics, --textfile) are not available in this build: "
                   "it was made without prometheus-cpp.");
#endif

    double missing_after_seconds = 600;
    // The history's last-seen time reaches the file once a minute: a
    // shorter wait than two of those would show present drives as missing.
    constexpr double shortest_missing_after = 120;
    listen->add_option("--missing-after", missing_after_seconds,
                       "Seconds after which a drive not seen counts as missing: an event, and "
                       "with --history its verdict DRIVE MISSING (default 600, at least 120)")
        ->option_text("SECONDS")
        ->check(CLI::Range(shortest_missing_after, 1e9));
#if defined(PLATEWISE_HAVE_HISTORY)
    std::string history_path;
    CLI::Option* history_option =
        listen->add_option("--history", history_path,
                           "Record every pass in the drive history at PATH (default " +
                               history::default_history_path() +
                               "); adds DEGRADING and DRIVE MISSING verdicts")
            ->option_text("[PATH]")
            ->expected(0, 1);

    const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    const std::string store_help = "The history file (default " + history::default_history_path() + ")";

#if defined(PLATEWISE_HAVE_WEB)
    std::string web_address;
    listen->add_option("--web", web_address,
                       "With --history: serve a status page of every drive at http://ADDRESS:PORT/ "
                       "(e.g. 127.0.0.1:9946; read-only, with /api/drives as JSON). Give --metrics "
                       "the same address to serve /metrics beside it. From another machine, open "
                       "it through an SSH tunnel")
        ->option_text("ADDRESS:PORT");
#endif

    CLI::App* status = app.add_subcommand(
        "status", "Every drive the history knows: verdict and reasons, temperature, power-on "
                  "time, last seen, changes in the last 24 hours. Exits 0 when every drive is OK, "
                  "1 when any is DEGRADING, WARNING, DRIVE MISSING, NO SMART DATA or FAILED IN THE "
                  "PAST, 2 when any is FAILING NOW, 3 when the history cannot be read.");
    StatusOptions status_options;
    status_options.store = history::default_history_path();
    status_options.now_ms = now_ms;
    [[maybe_unused]] auto* status_store = status->add_option("--store", status_options.store, store_help)->option_text("PATH");
#if defined(_WIN32)
    // A listener service that records no history yet (an older installation)
    // has its saved snapshots: status shows the newest when the default
    // history does not exist.
    SnapshotStatusOptions snapshot_status_options;
    snapshot_status_options.directory = service_data_directory() + "\\snapshots";
    status->add_option("--snapshots", snapshot_status_options.directory,
                       "Without a history at the default place: the newest snapshot in DIR "
                       "(default: the listener service's, %ProgramData%\\Platewise\\snapshots)")
        ->option_text("DIR");
#endif
    auto* status_json = status->add_flag("--json", status_options.json, "One JSON document");
    status->add_flag("--brief", status_options.brief,
                     "One line for a monitoring check (PLATEWISE OK/WARNING/CRITICAL/UNKNOWN - "
                     "counts | performance data); the exit status is 0, 1, 2 or 3 either way")
        ->excludes(status_json);
    std::string status_at_text;
    status->add_option("--at", status_at_text,
                       "Judge the store as it was at WHEN (YYYY-MM-DD or \"YYYY-MM-DD HH:MM[:SS]\", "
                       "local time; or 24h, 7d before now)")
        ->option_text("WHEN");
    status->add_option("--missing-after", missing_after_seconds,
                       "Seconds after which a drive not seen counts as missing (default 600, at "
                       "least 120)")
        ->option_text("SECONDS")
        ->check(CLI::Range(shortest_missing_after, 1e9));

    CLI::App* history_cmd = app.add_subcommand(
        "history", "The recorded readings of a drive, or with --attribute one attribute's "
                   "values over time; 'history import' loads saved snapshots.");
    HistoryOptions history_options;
    history_options.store = history::default_history_path();
    std::string since_text;
    history_cmd->add_option("SERIAL", history_options.serial, "The drive's serial number");
    history_cmd->add_option("--store", history_options.store, store_help)->option_text("PATH");
    history_cmd->add_option("--model", history_options.model,
                            "Only the drive of this model (two drives may share a serial)");
    auto* history_attribute =
        history_cmd->add_option("--attribute", history_options.attribute, "One attribute's values over time")
            ->option_text("ID")
            ->check(CLI::Range(1, 255));
    history_cmd->add_option("--field", history_options.field,
                            "An NVMe drive's health field over time (percentage_used, available_spare, "
                            "temperature, media_errors, data_units_written, ...)")
        ->option_text("NAME")
        ->excludes(history_attribute);
    history_cmd->add_option("--since", since_text,
                            "From WHEN on: 30m, 24h, 7d, YYYY-MM-DD or \"YYYY-MM-DD HH:MM[:SS]\" "
                            "(local time)")
        ->option_text("WHEN");
    auto* history_json = history_cmd->add_flag("--json", history_options.json, "One JSON document");
    history_cmd->add_flag("--csv", history_options.csv, "CSV with a header line")->excludes(history_json);
    bool chart = false;
    history_cmd->add_flag("--chart", chart,
                          "With --attribute: draw the chart even when the output is not a terminal");

    CLI::App* import = history_cmd->add_subcommand(
        "import", "Load snapshots saved by listen --save (directories or files named "
                  "snapshot-YYYYMMDD-HHMMSS-NNN.bin) into the history; ones already there are "
                  "skipped.");
    ImportOptions import_options;
    import_options.store = history::default_history_path();
    import->add_option("--store", import_options.store, store_help)->option_text("PATH");
    import->add_option("PATH", import_options.paths, "Directory or snapshot file")->required();

    CLI::App* events_cmd = app.add_subcommand(
        "events", "The recorded events, oldest first: each change of a drive's verdict, new "
                  "drives, drives gone missing and come back.");
    EventsOptions events_options;
    events_options.store = history::default_history_path();
    std::string events_since_text;
    events_cmd->add_option("--since", events_since_text,
                           "From WHEN on: 30m, 24h, 7d, YYYY-MM-DD or \"YYYY-MM-DD HH:MM[:SS]\" "
                           "(local time)")
        ->option_text("WHEN");
    events_cmd->add_flag("--json", events_options.json, "One JSON document");
    events_cmd->add_option("--store", events_options.store, store_help)->option_text("PATH");

    CLI::App* ack = app.add_subcommand(
        "ack", "Acknowledge a drive's leading indicators (all, or the ids given): their "
               "current counts become the baselines DEGRADING is judged against.");
    AckOptions ack_options;
    ack_options.store = history::default_history_path();
    ack_options.now_ms = now_ms;
    auto* ack_serial = ack->add_option("SERIAL", ack_options.serial, "The drive's serial number");
    auto* ack_all = ack->add_flag("--all", ack_options.all,
                                  "Every drive of the last pass (each baseline is printed)");
    ack_serial->excludes(ack_all);
    ack->add_option("ID", ack_options.ids,
                    "Attribute ids (5, 187, 188, 197, 198); of an NVMe drive, field ids (34 "
                    "available spare, 37 media errors, 38 error-log entries)");
    ack->add_option("--store", ack_options.store, store_help)->option_text("PATH");
    ack->add_option("--model", ack_options.model, "The drive's model, when two drives share the serial");
#else
    app.footer("The drive history (listen --history, history, ack) is not available in this "
               "build: it was made without SQLite. status shows the newest saved snapshot.");
    CLI::App* status = app.add_subcommand(
        "status", "Every drive with its verdict, as the newest snapshot saved by the listener "
                  "shows it. Exits 0 when every drive is OK, 1 when any is not, 2 when any is "
                  "FAILING NOW, 3 when no snapshot can be read.");
    SnapshotStatusOptions status_options;
#if defined(_WIN32)
    status_options.directory = service_data_directory() + "\\snapshots";
#endif
    status->add_option("--snapshots", status_options.directory,
                       "The folder the listener saves snapshots in (default: the listener "
                       "service's, %ProgramData%\\Platewise\\snapshots)")
        ->option_text("DIR");
    auto* status_json = status->add_flag("--json", status_options.json, "One JSON document");
    status->add_flag("--brief", status_options.brief,
                     "One line for a monitoring check (PLATEWISE OK/WARNING/CRITICAL/UNKNOWN - "
                     "counts | performance data); the exit status is 0, 1, 2 or 3 either way")
        ->excludes(status_json);
#endif

    CLI::App* decode = app.add_subcommand(
        "decode", "Decode 49185-byte snapshot files, 1537-byte drive records and 278800-byte "
                  "NVMe snapshots (known by their PWNVME magic).");
    DecodeOptions decode_options;
    decode->add_flag("--json", decode_options.json, "One JSON document per line per input");
    decode->add_option("--raw-format", raw_format_texts, kRawFormatHelp)
        ->option_text("ID,STYLE[,LAYOUT]")
        ->allow_extra_args(false);
    decode->add_option("FILE", decode_options.files, "Snapshot or drive record; - reads standard input")
        ->required();

#if defined(PLATEWISE_HAVE_NOTIFY)
    CLI::App* notify_cmd = app.add_subcommand(
        "notify", "Send a test notification through every channel listen would use (the same "
                  "options, or its --config file) and say for each whether it was delivered.");
    NotifyCommandOptions notify_options;
    std::string notify_config;
    notify_cmd->add_flag("--test", notify_options.test, "Send the test notification");
    notify_cmd->add_option("--config", notify_config,
                           "Read the notification options from the listener's FILE")
        ->option_text("FILE");
    add_notify_options(*notify_cmd, notify_options.settings);
#endif

    std::vector<std::string> command_names;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        command_names.push_back(command->get_name());
    }
    if (const std::string unknown = unknown_subcommand_message(command_names, argc, argv); !unknown.empty()) {
        err << unknown;
        return kUsageError;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int exited = app.exit(e, out, err);
        // A checker runs status: a mistake in its command line is UNKNOWN
        // (3), never the CRITICAL that 2 would say.
        return exited == 0 ? 0 : status_command_line(status) ? kStatusUnknown : kUsageError;
    }
    if (listen->parsed() && !listen_config.empty()) {
        std::string error;
        if (!apply_config_file(*listen, listen_config, nullptr, error)) {
            err << "platewise listen: " << error << "\n";
            return kUsageError;
        }
    }
#if defined(PLATEWISE_HAVE_NOTIFY)
    if (notify_cmd->parsed()) {
        std::string error;
        if (!notify_config.empty() && !apply_config_file(*notify_cmd, notify_config, listen, error)) {
            err << "platewise notify: " << error << "\n";
            return kUsageError;
        }
        return run_notify(notify_options, out, err);
    }
#endif

    std::vector<RawFormatOverride> overrides;
    if (!parse_overrides(raw_format_texts, overrides, err)) {
        return kUsageError;
    }

    if (listen->parsed()) {
        if (!parse_mode(socket_mode_text, listen_options.socket_mode)) {
            err << "platewise: --socket-mode " << smart::sanitize_text(socket_mode_text)
                << ": expected octal permission bits such as 0600 or 0660\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        if (!parse_mode(file_mode_text, listen_options.file_mode) ||
            !valid_file_mode(listen_options.file_mode)) {
            err << "platewise: --file-mode " << smart::sanitize_text(file_mode_text)
                << ": expected octal permission bits readable by the owner, with nothing for "
                   "others and no execute bits, such as 0600 or 0640\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        if (!save_max_text.empty() &&
            !parse_size(save_max_text, listen_options.save_retention.max_bytes)) {
            err << "platewise: --save-max-bytes " << smart::sanitize_text(save_max_text)
                << ": expected a positive number of bytes, optionally with K, M, G or T\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
#if defined(PLATEWISE_HAVE_WEB)
        if (!web_address.empty() && !metrics::valid_metrics_address(web_address)) {
            err << "platewise: --web " << smart::sanitize_text(web_address)
                << ": give an address and a port, such as 127.0.0.1:9946 or [::1]:9946 "
                   "(a bare port would serve every network)\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        if (!web_address.empty() && history_option->count() == 0) {
            err << "platewise: --web needs --history: the page is drawn from the drive history\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
#endif
#if !defined(_WIN32)
        // The service connects to an absolute path: a relative one is taken
        // from the current directory, and said so as the listener starts.
        for (std::string* path : {&listen_options.endpoint, &listen_options.nvme_endpoint}) {
            std::error_code ec;
            if (!path->empty() && std::filesystem::path(*path).is_relative()) {
                *path = std::filesystem::absolute(*path, ec).lexically_normal().string();
            }
        }
#endif
        listen_options.stop_after = once ? 1 : 0;
        listen_options.overrides = std::move(overrides);
        listen_options.read_timeout_ms = static_cast<std::uint32_t>(read_timeout_seconds * 1000.0 + 0.5);
        // A service goes on receiving without what it cannot have (the
        // history, the page): the problem is said in its log and the Event
        // Log (startup_problems).
        [[maybe_unused]] bool keep_receiving = false;
        std::vector<std::string> startup_problems;
        [[maybe_unused]] const auto note_problem = [&](const std::string& what) {
            startup_problems.push_back(what);
            err << "platewise listen: " << what << "\n";
        };
#if defined(_WIN32)
        keep_receiving = as_service;
        // Under the service, what is said from here on reaches its log.
        std::optional<StartupCapture> startup;
        if (as_service) {
            startup.emplace(err);
        }
        [[maybe_unused]] const auto said_mark = [&startup] {
            return startup ? startup->text().size() : std::size_t{0};
        };
        // The last line said since `from`, without the prefix.
        [[maybe_unused]] const auto said_since = [&startup](std::size_t from) {
            std::string text = startup ? startup->text().substr(from) : std::string();
            while (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            text.erase(0, text.rfind('\n') + 1);
            const std::string prefix = "platewise listen: ";
            return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
        };
#else
        [[maybe_unused]] const auto said_mark = [] { return std::size_t{0}; };
        [[maybe_unused]] const auto said_since = [](std::size_t) { return std::string(); };
#endif
        [[maybe_unused]] bool history_requested = false;
        [[maybe_unused]] bool history_on = false;
#if defined(PLATEWISE_HAVE_HISTORY)
        history::ListenHistory history_state;
        history_requested = history_option->count() > 0;
        if (history_requested) {
            const std::string path = history_path.empty() ? history::default_history_path() : history_path;
            const std::size_t mark = said_mark();
            history_on = history::attach_history(history_state, path,
                                                 static_cast<std::int64_t>(missing_after_seconds * 1000.0),
                                                 listen_options, err);
            if (!history_on && !keep_receiving) {
                return 1;
            }
            if (!history_on) {
                note_problem("history: " + said_since(mark) +
                             "; the listener goes on receiving without recording the history");
            }
        }
#endif
        // After the history: the events see its verdicts.
        events::ListenEvents listen_events;
        listen_events.tracker.missing_after_ms = static_cast<std::int64_t>(missing_after_seconds * 1000.0);
#if defined(PLATEWISE_HAVE_HISTORY)
        if (history_on) {
            history::attach_event_recording(listen_events, history_state, err);
        }
#endif
        events::attach_events(listen_events, listen_options, err);
        [[maybe_unused]] bool metrics_on_page = false;  // --metrics at the --web address
#if defined(PLATEWISE_HAVE_METRICS)
        if (!metrics_address.empty() && !metrics::valid_metrics_address(metrics_address)) {
            err << "platewise: --metrics " << smart::sanitize_text(metrics_address)
                << ": give an address and a port, such as 127.0.0.1:9101 or [::1]:9101 "
                   "(a bare port would serve every network)\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        metrics::MetricsPublisher publisher;
#if defined(PLATEWISE_HAVE_WEB)
        metrics_on_page = !metrics_address.empty() && metrics_address == web_address;
#endif
        if (!metrics::attach(publisher, metrics_on_page ? std::string() : metrics_address, textfile_path,
                             listen_options, err, metrics_on_page)) {
            return 1;
        }
#endif
#if defined(PLATEWISE_HAVE_WEB)
        web::WebServer web_server;
        if (!web_address.empty() && !history_on) {
            note_problem("the status page on " + web_address +
                         " is not served: it is drawn from the history, which is not recorded");
        } else if (!web_address.empty()) {
            web::WebSource source;
            source.history_path = history_state.path;
            source.missing_after_ms = history_state.missing_after_ms;
#if defined(PLATEWISE_HAVE_METRICS)
            if (metrics_on_page) {
                source.metrics_text = [&publisher]() { return publisher.text(); };
            }
#endif
            std::string error;
            if (!web_server.start(web_address, std::move(source), error)) {
                if (!keep_receiving) {
                    err << "platewise listen: " << error << "\n";
                    return 1;
                }
                note_problem(error + "; the listener goes on receiving without the status page");
            } else {
                err << "platewise listen: serving the status page on " << web_address << " (port";
                for (const int port : web_server.listening_ports()) {
                    err << " " << port;
                }
                err << "), paths /, /drive/SERIAL, /api/drives, /api/drive/SERIAL"
                    << (metrics_on_page ? ", /metrics" : "") << "\n";
                err.flush();
            }
        }
#endif
#if defined(PLATEWISE_HAVE_NOTIFY)
        notify::ListenNotify notify_state;
        {
            std::string page;
            std::string notify_history;
#if defined(PLATEWISE_HAVE_WEB)
            page = web_address.empty() ? std::string() : "http://" + web_address;
#endif
#if defined(PLATEWISE_HAVE_HISTORY)
            notify_history = history_on ? history_state.path : std::string();
#endif
            if (!notify::attach_notify(notify_state, notify_settings, notify_history, page, listen_options,
                                       err)) {
                return kUsageError;
            }
#if defined(PLATEWISE_HAVE_METRICS)
            if (notify_state.dispatcher) {
                publisher.set_notification_failures(
                    [&notify_state]() { return notify::notification_failures(notify_state); });
            }
#endif
        }
#endif
#if defined(_WIN32)
        // Each event in the Windows Event Log too; under the service `err`
        // is the service's log.
        events::EventLog event_log(err);
        events::attach_event_log(event_log, listen_options);
        event_log.report_problems(startup_problems);
        if (as_service) {
            ListenServiceSetup setup;
            // With a history the raw snapshots are opt-in.
            setup.save_snapshots = !history_requested || save_snapshots;
            setup.said_before = startup ? startup->text() : std::string();
            setup.release = [&] {
#if defined(PLATEWISE_HAVE_WEB)
                web_server.stop();
#endif
#if defined(PLATEWISE_HAVE_METRICS)
                publisher.stop_serving();
#endif
            };
            return run_listen_service(listen_options, setup, err);
        }
#endif
#if defined(PLATEWISE_HAVE_SYSTEMD_NOTIFY)
        attach_readiness(listen_options, [&listen_events] { return events::counts_text(listen_events.tracker); });
#endif
        return run_listen(listen_options, out, err);
    }
#if defined(PLATEWISE_HAVE_HISTORY)
    if (status->parsed()) {
        status_options.missing_after_ms = static_cast<std::int64_t>(missing_after_seconds * 1000.0);
        if (!status_at_text.empty()) {
            if (!history::parse_when(status_at_text, now_ms, status_options.now_ms)) {
                err << "platewise status: --at " << smart::sanitize_text(status_at_text)
                    << ": expected YYYY-MM-DD, \"YYYY-MM-DD HH:MM[:SS]\", 24h or 7d\n"
                       "Run with --help for more information.\n";
                return kStatusUnknown;
            }
            status_options.as_of = true;
        }
#if defined(_WIN32)
        std::error_code ec;
        if (status_store->count() == 0 &&
            std::filesystem::status(status_options.store, ec).type() == std::filesystem::file_type::not_found) {
            snapshot_status_options.json = status_options.json;
            snapshot_status_options.brief = status_options.brief;
            return run_snapshot_status(snapshot_status_options, out, err);
        }
#endif
        return run_status(status_options, out, err);
    }
    if (import->parsed()) {
        return run_import(import_options, out, err);
    }
    if (history_cmd->parsed()) {
        if (history_options.serial.empty()) {
            err << "platewise history: SERIAL is required (or: platewise history import PATH...)\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        if (!since_text.empty() && !history::parse_when(since_text, now_ms, history_options.since_ms)) {
            err << "platewise history: --since " << smart::sanitize_text(since_text)
                << ": expected 30m, 24h, 7d, YYYY-MM-DD or \"YYYY-MM-DD HH:MM[:SS]\"\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        history_options.chart = chart || is_terminal_output(out);
        history_options.now_ms = now_ms;
        return run_history(history_options, out, err);
    }
    if (events_cmd->parsed()) {
        if (!events_since_text.empty() &&
            !history::parse_when(events_since_text, now_ms, events_options.since_ms)) {
            err << "platewise events: --since " << smart::sanitize_text(events_since_text)
                << ": expected 30m, 24h, 7d, YYYY-MM-DD or \"YYYY-MM-DD HH:MM[:SS]\"\n"
                   "Run with --help for more information.\n";
            return kUsageError;
        }
        return run_events(events_options, out, err);
    }
    if (ack->parsed()) {
        if (ack_options.serial.empty() && !ack_options.all) {
            err << "platewise ack: SERIAL or --all is required\nRun with --help for more information.\n";
            return kUsageError;
        }
        ack_options.who = current_user_text();
        return run_ack(ack_options, out, err);
    }
#endif
#if !defined(PLATEWISE_HAVE_HISTORY)
    if (status->parsed()) {
        return run_snapshot_status(status_options, out, err);
    }
#endif
    decode_options.overrides = std::move(overrides);
    return run_decode(decode_options, in, out, err);
}

}  // namespace platewise
