// listen --metrics ADDRESS:PORT and --textfile PATH: the latest pass as
// Prometheus metrics, served at /metrics (prometheus-cpp's Exposer, over
// civetweb) and/or written to a file for node_exporter's textfile collector.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "report/drive_report.h"
#include "commands/listen_command.h"
#include "files/output_directory.h"
#include "metrics/metrics_exposition.h"
#include "metrics/nvme_metrics.h"

namespace prometheus {
class Exposer;
}

namespace platewise::net {
class HeaderGate;
}

namespace platewise::metrics {

class LatestFamilies;

// The HTTP server's workers and how long one connection may take to send
// its request: idle or slow connections still leave workers for scrapes
// (on Linux only complete requests reach the workers: net/header_gate.h).
inline constexpr int kHttpWorkers = 64;
inline constexpr int kHttpRequestTimeoutMs = 2000;

// Whether `address` names an address and a port, IPV4:PORT or [IPV6]:PORT
// (such as 127.0.0.1:9101 or [::1]:9101). A bare port, which would listen
// on every address, is not one.
bool valid_metrics_address(const std::string& address);

// How long the attribute series of a drive (known by its serial) stay when
// it comes back without SMART data.
inline constexpr double kHoldAttributesSeconds = 3600;

// Holds the listener's status and the families of the last pass. Every new
// pass replaces all per-drive and per-attribute series, so the series of a
// drive that vanished from the pass vanish from /metrics too; a drive that
// is still there but came without SMART data keeps the attribute series of
// its last good read for kHoldAttributesSeconds (with
// platewise_drive_smart_data_present 0). The listen
// loop calls snapshot_received and snapshot_refused; the HTTP server's
// threads read concurrently.
class MetricsPublisher {
public:
    MetricsPublisher();
    ~MetricsPublisher();
    MetricsPublisher(const MetricsPublisher&) = delete;
    MetricsPublisher& operator=(const MetricsPublisher&) = delete;

    // Serves /metrics at `address` (civetweb's listening_ports syntax, such
    // as 127.0.0.1:9101 or [::1]:9101; port 0 picks a free one) unless it is
    // empty, and writes `textfile` (with `file_mode`, in a directory checked
    // as open_output_directory does) unless it is empty. False with the
    // reason in `error` when the address cannot be bound or the file not
    // written.
    bool start(const std::string& address, const std::string& textfile, std::uint32_t file_mode,
               std::string& error);

    // The ports /metrics is served on (empty without an address): the
    // header gate's on Linux, which listens at the address with the
    // Exposer behind it on a loopback port.
    std::vector<int> listening_ports() const;
    // Ends the HTTP server (the text file is still written); a no-op when
    // none was started.
    void stop_serving();

    // A good snapshot decoded to `pass`, arrived at `unix_seconds`. False
    // with the reason in `error` when the text file could not be replaced.
    bool snapshot_received(const SnapshotReport& pass, double unix_seconds, std::string& error);
    // A good NVMe snapshot decoded to `pass`: replaces the NVMe drives'
    // series (the drive snapshot's stay as they are).
    bool nvme_snapshot_received(const NvmeSnapshotReport& pass, double unix_seconds, std::string& error);
    // A connection refused.
    bool snapshot_refused(std::string& error);
    // Peers refused before anything was read: counted, shown with the next
    // publish (a flood of them never writes the text file or rebuilds).
    void peers_refused(std::uint64_t count) { status_.refused += count; }

    // The current metrics in the text exposition format.
    std::string text() const;

    // Where platewise_notifications_failed_total{channel} comes from (listen
    // --notify-*): failed attempts by channel kind, read at each publish.
    void set_notification_failures(std::function<std::map<std::string, std::uint64_t>()> source);

private:
    bool publish(std::string& error);

    struct LastGood {
        std::vector<AttributeReport> attributes;
        double unix_seconds = 0;
    };

    ListenerStatus status_;
    SnapshotReport pass_;
    NvmeListenerStatus nvme_status_;
    NvmeSnapshotReport nvme_pass_;
    std::vector<HeldAttributes> held_;           // for the drives of pass_ without SMART data
    std::map<std::string, LastGood> last_good_;  // by serial
    OutputDirectory textfile_dir_;
    std::string textfile_name_;  // empty: no text file
    std::shared_ptr<LatestFamilies> latest_;
    std::function<std::map<std::string, std::uint64_t>()> notification_failures_;
    std::unique_ptr<prometheus::Exposer> exposer_;
    std::unique_ptr<net::HeaderGate> gate_;
};

// The wiring of the two options into `listen`: when either is given, starts
// `publisher`, says on `err` where the metrics go, and sets the listen
// options' on_snapshot, on_nvme_snapshot and on_refused to feed it (the text file gets
// options.file_mode; textfile errors are
// reported on `err`; the listener carries on). False after reporting on
// `err` when the publisher cannot start.
// `served_by_page`: /metrics is served by the status page's server (listen
// --web at the same address), so the publisher is fed without a server of
// its own.
bool attach(MetricsPublisher& publisher, const std::string& address, const std::string& textfile,
            ListenOptions& options, std::ostream& err, bool served_by_page = false);

}  // namespace platewise::metrics
