// platewise listen.
#include "commands/listen_command.h"
#include "report/local_time_text.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "report/drive_report.h"
#include "report/json_report.h"
#include "report/nvme_json_report.h"
#include "report/nvme_report.h"
#include "report/nvme_text_report.h"
#include "nvme.h"
#include "smart.h"
#include "commands/peer_admission.h"
#include "files/snapshot_store.h"
#include "report/text_report.h"

namespace platewise {

namespace {

// Which endpoint a connection came to, and so what it must deliver.
enum class Stream {
    ata,   // the drive snapshot, 49185 bytes
    nvme,  // the NVMe snapshot, 278800 bytes
};

std::size_t message_bytes(Stream stream)
{
    return stream == Stream::ata ? smart::kDriveSnapshotBytes : smart::nvme::kSnapshotBytes;
}

constexpr std::size_t kLargestMessage = std::max(smart::kDriveSnapshotBytes, smart::nvme::kSnapshotBytes);

// Reads one connection's message. True with the bytes in `buffer` when it is
// exactly one message of `kMessage` bytes; otherwise false with what was
// wrong in `problem`.
bool receive(endpoint::Handle connection, std::vector<std::uint8_t>& buffer, std::size_t kMessage,
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

// What one connection came to.
struct Delivery {
    enum class Kind {
        snapshot,        // `bytes` hold one whole message
        bad_connection,  // refused, short, long, slow, ...: `problem` says which
        listener_error,  // accepting failed: `problem` says why
    };
    Kind kind = Kind::bad_connection;
    Stream stream = Stream::ata;
    std::uint64_t number = 0;
    std::string problem;
    std::vector<std::uint8_t> bytes;
};

// Between the accepting thread, the readers and the reporting loop: admitted
// connections wait in `pending` for a free reader, and what each connection
// came to waits in `delivered` for the reporting loop.
struct Hub {
    std::mutex lock;
    std::condition_variable changed;
    struct Job {
        std::uint64_t number = 0;
        endpoint::Handle connection = endpoint::invalid_handle;
        Stream stream = Stream::ata;
        std::int64_t uid = -1;
        bool privileged = false;
    };
    std::deque<Job> pending;
    std::deque<Delivery> delivered;
    unsigned busy = 0;       // connections pending or being read
    unsigned accepting = 0;  // accepting threads still running (one per endpoint)
    std::uint64_t connections = 0;  // numbered across both endpoints
    bool closing = false;   // readers return once nothing is pending
    UidLimits uids;         // admitted connections per user id (under `lock`)
    RefusalTally refusals;  // refused peers: counted, never queued

    void deliver(Delivery delivery)
    {
        const std::lock_guard<std::mutex> hold(lock);
        delivered.push_back(std::move(delivery));
        changed.notify_all();
    }
};

// Accepts until a stop request; checks each peer before anybody reads it.
// Accepts only while a reader is free: the others wait in the backlog.
void accept_loop(Hub& hub, endpoint::Handle listener, const endpoint::PeerPolicy& peers,
                 Stream stream)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(hub.lock);
            // A stop request comes from a signal handler, which cannot
            // notify: look at it every few milliseconds.
            while (hub.busy >= kMaxConnections && !endpoint::stop_requested()) {
                hub.changed.wait_for(hold, std::chrono::milliseconds(20));
            }
        }
        endpoint::Handle connection = endpoint::invalid_handle;
        std::string error;
        const endpoint::AcceptStatus accepted = endpoint::accept_connection(listener, connection, error);
        if (accepted == endpoint::AcceptStatus::stopped) {
            break;
        }
        if (accepted == endpoint::AcceptStatus::failed) {
            hub.deliver({Delivery::Kind::listener_error, stream, 0, error, {}});
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        std::uint64_t number = 0;
        {
            const std::lock_guard<std::mutex> hold(hub.lock);
            number = ++hub.connections;
        }
        const endpoint::PeerCheck check = endpoint::check_peer(connection, peers);
        const std::string who = std::string("platewise listen: ") +
                                (stream == Stream::nvme ? "NVMe connection " : "connection ") +
                                std::to_string(number) + ": ";
        if (!check.admitted) {
            endpoint::close_connection(connection);
            hub.refusals.note(who + "refused: " + smart::sanitize_text(check.peer) +
                              " may not send snapshots");
            continue;
        }
        const std::lock_guard<std::mutex> hold(hub.lock);
        if (!hub.uids.admit(check.uid, check.privileged)) {
            endpoint::close_connection(connection);
            hub.refusals.note(who + "refused: " + smart::sanitize_text(check.peer) +
                              " has as many connections open as one user may");
            continue;
        }
        hub.pending.push_back({number, connection, stream, check.uid, check.privileged});
        ++hub.busy;
        hub.changed.notify_all();
    }
    const std::lock_guard<std::mutex> hold(hub.lock);
    --hub.accepting;
    hub.changed.notify_all();
}

// Reads one pending connection after another, each with its own time-out.
void read_loop(Hub& hub, std::uint32_t timeout_ms)
{
    std::vector<std::uint8_t> buffer(kLargestMessage);
    for (;;) {
        Hub::Job job;
        {
            std::unique_lock<std::mutex> hold(hub.lock);
            hub.changed.wait(hold, [&hub] { return hub.closing || !hub.pending.empty(); });
            if (hub.pending.empty()) {
                return;
            }
            job = hub.pending.front();
            hub.pending.pop_front();
        }
        Delivery delivery;
        delivery.number = job.number;
        delivery.stream = job.stream;
        const std::size_t wanted = message_bytes(job.stream);
        if (receive(job.connection, buffer, wanted, timeout_ms, delivery.problem)) {
            delivery.kind = Delivery::Kind::snapshot;
            delivery.bytes.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(wanted));
        }
        endpoint::close_connection(job.connection);
        const std::lock_guard<std::mutex> hold(hub.lock);
        hub.delivered.push_back(std::move(delivery));
        hub.uids.release(job.uid, job.privileged);
        --hub.busy;
        hub.changed.notify_all();
    }
}

}  // namespace

std::string nvme_endpoint_beside(const std::string& endpoint)
{
    const std::size_t separator = endpoint.find_last_of("/\\");
    const std::size_t base = separator == std::string::npos ? 0 : separator + 1;
    std::string name = endpoint;
    constexpr std::string_view kPipe = "Pipe";
    if (name.size() - base >= kPipe.size() && name.compare(name.size() - kPipe.size(), kPipe.size(), kPipe) == 0) {
        name.insert(name.size() - kPipe.size(), "Nvme");
    } else {
        name += "-nvme";
    }
    return name;
}

int run_listen(const ListenOptions& options, std::ostream& out, std::ostream& err,
               ListenSummary* summary)
{
    ListenSummary counts;
    const smart::AttributeDefinitionTable table = definition_table(options.overrides);

    if (options.handle_signals) {
        endpoint::install_stop_signals();
    }
    std::string error;
    SnapshotStore store;
    if (!options.save_directory.empty() &&
        !open_snapshot_store(options.save_directory, options.file_mode, options.save_retention,
                             store, error)) {
        err << "platewise listen: --save: " << error << "\n";
        if (options.handle_signals) {
            endpoint::restore_stop_signals();
        }
        return 1;
    }
    const endpoint::Handle listener =
        endpoint::create_endpoint(options.endpoint, options.socket_mode, error);
    if (listener == endpoint::invalid_handle) {
        err << "platewise listen: " << error << "\n";
        close_snapshot_store(store);
        if (options.handle_signals) {
            endpoint::restore_stop_signals();
        }
        return 1;
    }
    const std::string nvme_name =
        options.nvme_endpoint.empty() ? nvme_endpoint_beside(options.endpoint) : options.nvme_endpoint;
    const endpoint::Handle nvme_listener =
        endpoint::create_endpoint(nvme_name, options.socket_mode, error);
    if (nvme_listener == endpoint::invalid_handle) {
        err << "platewise listen: NVMe endpoint: " << error << "\n";
        endpoint::close_endpoint(listener, options.endpoint);
        close_snapshot_store(store);
        if (options.handle_signals) {
            endpoint::restore_stop_signals();
        }
        return 1;
    }
    err << "platewise listen: listening on " << options.endpoint
        << smart::format_text(" (mode %04o)", static_cast<unsigned>(options.socket_mode)) << "\n";
    err << "platewise listen: listening for NVMe snapshots on " << nvme_name
        << smart::format_text(" (mode %04o)", static_cast<unsigned>(options.socket_mode)) << "\n";
    err.flush();
    if (options.on_listening) {
        options.on_listening();
    }

    Hub hub;
    hub.accepting = 2;
    std::thread acceptor(accept_loop, std::ref(hub), listener, std::cref(options.peers), Stream::ata);
    std::thread nvme_acceptor(accept_loop, std::ref(hub), nvme_listener, std::cref(options.peers),
                              Stream::nvme);
    std::vector<std::thread> readers;
    for (unsigned i = 0; i < kMaxConnections; ++i) {
        readers.emplace_back(read_loop, std::ref(hub), options.read_timeout_ms);
    }

    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    auto nvme_snapshot = std::make_unique<smart::nvme::Snapshot>();
    bool stop_is_ours = false;  // this loop asked the others to stop
    int result = 0;
    // Refused peers, at most once a second: said with a count and added to
    // the metrics' count without publishing.
    const auto report_refusals = [&](bool force) {
        std::string line;
        const std::uint64_t n =
            hub.refusals.take(std::chrono::steady_clock::now(), std::chrono::seconds(1), force, line);
        if (n != 0) {
            err << line << "\n";
            err.flush();
            counts.rejected += static_cast<unsigned>(n);
            if (options.on_peers_refused) {
                options.on_peers_refused(n);
            }
        }
    };
    for (;;) {
        Delivery delivery;
        report_refusals(false);
        {
            std::unique_lock<std::mutex> hold(hub.lock);
            const auto ready = [&hub] {
                return !hub.delivered.empty() || (hub.accepting == 0 && hub.busy == 0);
            };
            if (!hub.changed.wait_for(hold, std::chrono::milliseconds(250), ready)) {
                continue;
            }
            if (hub.delivered.empty()) {
                break;
            }
            delivery = std::move(hub.delivered.front());
            hub.delivered.pop_front();
        }
        if (delivery.kind == Delivery::Kind::listener_error) {
            err << "platewise listen: " << delivery.problem << "\n";
            err.flush();
            continue;
        }
        const bool nvme = delivery.stream == Stream::nvme;
        const std::string who = std::string("platewise listen: ") + (nvme ? "NVMe connection " : "connection ") +
                                std::to_string(delivery.number) + ": ";
        std::string problem = delivery.problem;
        // Both kinds of snapshot are decoded, shown, saved and published in
        // the same way; only the decoding, the rendering and the counters
        // differ.
        SnapshotReport report;
        NvmeSnapshotReport nvme_report;
        if (delivery.kind == Delivery::Kind::snapshot) {
            if (nvme) {
                if (smart::nvme::split_nvme_snapshot(delivery.bytes, *nvme_snapshot, problem)) {
                    nvme_report = report_nvme_snapshot(*nvme_snapshot);
                } else {
                    problem += "; not decoded";
                }
            } else {
                smart::split_snapshot(delivery.bytes, *snapshot);
                if (!report_snapshot(*snapshot, table, report, problem)) {
                    problem += "; not decoded";
                }
            }
        }
        if (!problem.empty()) {
            err << who << problem << "\n";
            err.flush();
            ++counts.rejected;
            if (options.on_refused) {
                options.on_refused();
            }
            continue;
        }

        if (!nvme && options.on_decoded) {
            options.on_decoded(*snapshot, report);
        }
        if (options.json) {
            out << render_json_line(nvme ? nvme_report_to_json(nvme_report) : report_to_json(report));
        } else {
            const std::string received = local_time_text("%Y-%m-%d %H:%M:%S");
            out << (nvme ? render_nvme_text(nvme_report, "NVMe snapshot received " + received)
                         : render_text(report, "Snapshot received " + received))
                << "\n";
        }
        out.flush();
        if (!out) {
            err << "platewise listen: cannot write the report (output closed); stopping\n";
            result = 1;
        } else {
            if (!options.save_directory.empty()) {
                std::string saved;
                if (save_snapshot(store, delivery.bytes, saved, error,
                                  nvme ? kNvmeSnapshotPrefix : "snapshot-")) {
                    if (options.report_saves) {
                        err << who << "saved " << saved << "\n";
                    }
                    if (!error.empty()) {
                        err << who << "--save retention: " << error << "\n";
                    }
                } else {
                    err << who << "cannot save the " << (nvme ? "NVMe snapshot" : "snapshot") << ": " << error
                        << "\n";
                }
                err.flush();
            }
            if (nvme) {
                ++counts.nvme;
                if (options.on_nvme_snapshot) {
                    options.on_nvme_snapshot(nvme_report);
                }
            } else {
                ++counts.good;
                if (options.on_snapshot) {
                    options.on_snapshot(report);
                }
            }
        }
        // Only drive snapshots count towards --stop-after, and the check
        // follows each one, so an NVMe snapshot never meets it first.
        if (result != 0 || (!nvme && options.stop_after != 0 && counts.good >= options.stop_after)) {
            stop_is_ours = !endpoint::stop_requested();
            endpoint::request_stop();
            break;
        }
    }

    {
        const std::lock_guard<std::mutex> hold(hub.lock);
        hub.closing = true;
        hub.changed.notify_all();
    }
    acceptor.join();
    nvme_acceptor.join();
    for (std::thread& reader : readers) {
        reader.join();
    }
    report_refusals(true);
    endpoint::close_endpoint(listener, options.endpoint);
    endpoint::close_endpoint(nvme_listener, nvme_name);
    close_snapshot_store(store);
    if (stop_is_ours) {
        endpoint::clear_stop();
    }
    if (options.handle_signals) {
        endpoint::restore_stop_signals();
    }
    if (summary != nullptr) {
        *summary = counts;
    }
    return result;
}

}  // namespace platewise
