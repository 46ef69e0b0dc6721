// platewise listen.
#include "commands/listen_command.h"
#include "report/local_time_text.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "report/drive_report.h"
#include "report/json_report.h"
#include "smart.h"
#include "files/snapshot_store.h"
#include "report/text_report.h"

namespace platewise {

namespace {

constexpr std::size_t kMessage = smart::kDriveSnapshotBytes;

// Reads one connection's message. True with the bytes in `buffer` when it is
// exactly one snapshot; otherwise false with what was wrong in `problem`.
bool receive(endpoint::Handle connection, std::vector<std::uint8_t>& buffer,
             std::uint32_t timeout_ms, std::string& problem)
{
    const auto started = std::chrono::steady_clock::now();
    const endpoint::ReadResult read =
        endpoint::read_message(connection, buffer.data(), kMessage, timeout_ms);
    const std::string of = std::to_string(read.received) + " of " + std::to_string(kMessage) + " bytes";
    switch (read.status) {
    case endpoint::ReadStatus::full:
        break;
    case endpoint::ReadStatus::closed:
        problem = read.received == 0 ? "no data: the peer closed without sending anything"
                                     : "short message: " + of + ", then the peer closed";
        return false;
    case endpoint::ReadStatus::timed_out:
        problem = "time-out: " + of + " within " + std::to_string(timeout_ms) +
                  " ms; connection dropped";
        return false;
    case endpoint::ReadStatus::stopped:
        problem = "stopped while reading (" + of + ")";
        return false;
    case endpoint::ReadStatus::failed:
        problem = "read error after " + of + ": " + read.error;
        return false;
    }
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    const auto left = static_cast<std::int64_t>(timeout_ms) - spent.count();
    const auto wait = static_cast<std::uint32_t>(
        std::max<std::int64_t>(0, std::min<std::int64_t>(left, kTailWaitMs)));
    if (endpoint::read_tail(connection, wait) == endpoint::TailStatus::more_data) {
        problem = "message too long: more than " + std::to_string(kMessage) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

int run_listen(const ListenOptions& options, std::ostream& out, std::ostream& err,
               ListenSummary* summary)
{
    ListenSummary counts;
    const smart::AttributeDefinitionTable table = definition_table(options.overrides);

    if (options.handle_signals) {
        endpoint::install_stop_signals();
    }
    std::string error;
    const endpoint::Handle listener =
        endpoint::create_endpoint(options.endpoint, options.socket_mode, error);
    if (listener == endpoint::invalid_handle) {
        err << "platewise listen: " << error << "\n";
        if (options.handle_signals) {
            endpoint::restore_stop_signals();
        }
        return 1;
    }
    err << "platewise listen: listening on " << options.endpoint
        << smart::format_text(" (mode %04o)", static_cast<unsigned>(options.socket_mode)) << "\n";
    err.flush();
    if (options.on_listening) {
        options.on_listening();
    }

    std::vector<std::uint8_t> buffer(kMessage);
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    std::uint64_t connection_number = 0;
    int result = 0;
    for (;;) {
        endpoint::Handle connection = endpoint::invalid_handle;
        const endpoint::AcceptStatus accepted =
            endpoint::accept_connection(listener, connection, error);
        if (accepted == endpoint::AcceptStatus::stopped) {
            break;
        }
        if (accepted == endpoint::AcceptStatus::failed) {
            err << "platewise listen: " << error << "\n";
            err.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        ++connection_number;
        const std::string who = "platewise listen: connection " + std::to_string(connection_number) + ": ";
        std::string problem;
        const bool whole = receive(connection, buffer, options.read_timeout_ms, problem);
        endpoint::close_connection(connection);

        SnapshotReport report;
        if (whole) {
            smart::split_snapshot(buffer, *snapshot);
            if (!report_snapshot(*snapshot, table, report, problem)) {
                problem += "; not decoded";
            }
        }
        if (!problem.empty()) {
            err << who << problem << "\n";
            err.flush();
            ++counts.rejected;
            if (options.on_refused) {
                options.on_refused();
            }
            if (endpoint::stop_requested()) {
                break;
            }
            continue;
        }

        if (options.on_decoded) {
            options.on_decoded(*snapshot, report);
        }
        if (options.json) {
            out << render_json_line(report_to_json(report));
        } else {
            out << render_text(report, "Snapshot received " + local_time_text("%Y-%m-%d %H:%M:%S")) << "\n";
        }
        out.flush();
        if (!out) {
            err << "platewise listen: cannot write the report (output closed); stopping\n";
            result = 1;
            break;
        }
        if (!options.save_directory.empty()) {
            std::string saved;
            if (save_snapshot(options.save_directory, buffer, saved, error)) {
                err << who << "saved " << saved << "\n";
            } else {
                err << who << "cannot save the snapshot: " << error << "\n";
            }
            err.flush();
        }
        ++counts.good;
        if (options.on_snapshot) {
            options.on_snapshot(report);
        }
        if (options.stop_after != 0 && counts.good >= options.stop_after) {
            break;
        }
    }

    endpoint::close_endpoint(listener, options.endpoint);
    if (options.handle_signals) {
        endpoint::restore_stop_signals();
    }
    if (summary != nullptr) {
        *summary = counts;
    }
    return result;
}

}  // namespace platewise
