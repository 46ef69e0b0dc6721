// Serving and writing the metrics of the latest pass.
#include "metrics/metrics_server.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <iterator>
#include <utility>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>

#include "metrics/metrics_textfile.h"
#include "net/address_in_use.h"
#include "net/header_gate.h"
#include "net/host_port.h"
#include "net/idle_connections.h"
#include "smart.h"
#include "web/local_host_name.h"

#if defined(PLATEWISE_METRICS_HOST_CHECK)
#include <CivetServer.h>
#include <civetweb.h>
#endif

namespace platewise::metrics {

namespace {

// Drives remembered at most (a pass has 32 slots; drives swapped often
// within the hold time are forgotten beyond this).
constexpr std::size_t kMaxRemembered = 256;

#if defined(PLATEWISE_METRICS_HOST_CHECK)
// Before the Exposer sees a request: one whose Host is not an address or
// localhost is answered 421 here (a DNS-rebinding page would otherwise
// read every model, serial and verdict).
int refuse_foreign_host(mg_connection* connection)
{
    const char* host = mg_get_header(connection, "Host");
    if (web::host_is_local_name(host != nullptr ? host : "")) {
        return 0;
    }
    const std::string body = std::string(web::kForeignHostMessage) + "\n";
    const std::string head = "HTTP/1.1 421 Misdirected Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
                             "Content-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n";
    mg_write(connection, head.data(), head.size());
    mg_write(connection, body.data(), body.size());
    return web::kForeignHostStatus;
}

const CivetCallbacks* server_callbacks()
{
    static const CivetCallbacks callbacks = [] {
        CivetCallbacks c{};
        c.begin_request = &refuse_foreign_host;
        return c;
    }();
    return &callbacks;
}
#else
const CivetCallbacks* server_callbacks()
{
    return nullptr;
}
#endif

double unix_seconds_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

// What /metrics shows: the families built for the latest pass, swapped in
// whole under a mutex.
class LatestFamilies final : public prometheus::Collectable {
public:
    std::vector<prometheus::MetricFamily> Collect() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return families_;
    }

    void set(std::vector<prometheus::MetricFamily> families)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        families_ = std::move(families);
    }

private:
    mutable std::mutex mutex_;
    std::vector<prometheus::MetricFamily> families_;
};

MetricsPublisher::MetricsPublisher() : latest_(std::make_shared<LatestFamilies>())
{
    std::vector<prometheus::MetricFamily> families = build_families(nullptr, status_);
    for (prometheus::MetricFamily& f : build_nvme_families(nullptr, nvme_status_)) {
        families.push_back(std::move(f));
    }
    latest_->set(std::move(families));
}

MetricsPublisher::~MetricsPublisher()
{
    stop_serving();  // the server's threads end before latest_ goes
    close_output_directory(textfile_dir_);
}

void MetricsPublisher::stop_serving()
{
    // The gate first: with its connections closed a worker still writing
    // to a slow client fails at once, and the Exposer stops without waiting.
    gate_.reset();
    exposer_.reset();
}

bool MetricsPublisher::start(const std::string& address, const std::string& textfile,
                             std::uint32_t file_mode, std::string& error)
{
    if (!textfile.empty()) {
        const std::filesystem::path path(textfile);
        const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
        if (!path.has_filename() ||
            !open_output_directory(folder, file_mode, textfile_dir_, error)) {
            error = "--textfile " + smart::sanitize_text(textfile) + ": " +
                    (path.has_filename() ? error : std::string("not a file name"));
            return false;
        }
        textfile_name_ = path.filename().string();
    }
    if (!address.empty()) {
        // Where the gate can take the address it listens there, the Exposer
        // behind it on loopback (the Host check ignores the peer's address).
        std::string gate_error;
        if (!net::listen_in_front(address, gate_, gate_error)) {
            error = "cannot serve metrics at " + address + ": " + gate_error;
            return false;
        }
        const bool gated = gate_ != nullptr;
        try {
            // Each connection holds a worker until its request is in or the
            // request time-out ends it: enough workers that idle or slow
            // clients leave room for scrapes, and a short time-out for them.
            exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
                "listening_ports", gated ? std::string(net::kBehindGate) : address,
                "num_threads", std::to_string(kHttpWorkers),
                "request_timeout_ms", std::to_string(kHttpRequestTimeoutMs),
                "listen_backlog", std::to_string(net::kListenBacklog),
                "keep_alive_timeout_ms", "500",
            }, server_callbacks());
        } catch (const std::exception& e) {
            gate_.reset();
            const std::string in_use = gated ? std::string() : net::address_in_use_hint(address);
            error = "cannot serve metrics at " + address + ": " + (in_use.empty() ? e.what() : in_use);
            return false;
        }
        exposer_->RegisterCollectable(latest_);
        // Silent clients of the Exposer's own port wait in the kernel.
        const std::vector<int> server_ports = exposer_->GetListeningPorts();
        net::defer_accept_on_ports(server_ports);
        if (gated && (server_ports.empty() || !gate_->start(server_ports.front(), gate_error))) {
            error = "cannot serve metrics at " + address + ": " +
                    (gate_error.empty() ? std::string("the server did not start") : gate_error);
            gate_.reset();
            exposer_.reset();
            return false;
        }
    }
    return publish(error);
}

std::vector<int> MetricsPublisher::listening_ports() const
{
    if (gate_) {
        return gate_->ports();
    }
    return exposer_ ? exposer_->GetListeningPorts() : std::vector<int>{};
}

bool MetricsPublisher::snapshot_received(const SnapshotReport& pass, double unix_seconds,
                                         std::string& error)
{
    pass_ = pass;
    held_.clear();
    for (auto it = last_good_.begin(); it != last_good_.end();) {
        it = unix_seconds - it->second.unix_seconds > kHoldAttributesSeconds ? last_good_.erase(it)
                                                                              : std::next(it);
    }
    for (const DriveReport& drive : pass_.drives) {
        if (drive.serial.find_first_not_of(' ') == std::string::npos) {
            continue;  // no serial to know the drive by
        }
        if (!drive.attributes.empty()) {
            if (last_good_.size() < kMaxRemembered || last_good_.count(drive.serial) != 0) {
                last_good_[drive.serial] = LastGood{drive.attributes, unix_seconds};
            }
        } else if (const auto found = last_good_.find(drive.serial); found != last_good_.end()) {
            held_.push_back(HeldAttributes{drive.slot, found->second.attributes});
        }
    }
    ++status_.received;
    status_.has_pass = true;
    status_.last_snapshot_unix_seconds = unix_seconds;
    return publish(error);
}

bool MetricsPublisher::nvme_snapshot_received(const NvmeSnapshotReport& pass, double unix_seconds,
                                              std::string& error)
{
    nvme_pass_ = pass;
    ++nvme_status_.received;
    nvme_status_.has_pass = true;
    nvme_status_.last_snapshot_unix_seconds = unix_seconds;
    return publish(error);
}

bool MetricsPublisher::snapshot_refused(std::string& error)
{
    ++status_.refused;
    return publish(error);
}

std::string MetricsPublisher::text() const
{
    return serialize_text(latest_->Collect());
}

bool MetricsPublisher::publish(std::string& error)
{
    std::vector<prometheus::MetricFamily> families =
        build_families(status_.has_pass ? &pass_ : nullptr, status_, held_, nvme_pass_.history);
    for (prometheus::MetricFamily& f :
         build_nvme_families(nvme_status_.has_pass ? &nvme_pass_ : nullptr, nvme_status_)) {
        families.push_back(std::move(f));
    }
    if (notification_failures_) {
        families.push_back(notification_failure_family(notification_failures_()));
    }
    latest_->set(std::move(families));
    if (textfile_name_.empty()) {
        return true;
    }
    return write_textfile(textfile_dir_, textfile_name_, text(), error);
}

void MetricsPublisher::set_notification_failures(
    std::function<std::map<std::string, std::uint64_t>()> source)
{
    notification_failures_ = std::move(source);
    std::string ignored;
    publish(ignored);
}

bool valid_metrics_address(const std::string& address)
{
    std::string host;
    unsigned port = 0;
    if (!net::split_host_port(address, host, port)) {
        return false;
    }
    if (host.front() == '[') {
        if (host.size() < 4 || host.back() != ']') {
            return false;
        }
        return host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    }
    int dots = 0;
    unsigned digits = 0;
    for (const char c : host) {
        if (c == '.') {
            if (digits == 0) {
                return false;
            }
            ++dots;
            digits = 0;
        } else if (c >= '0' && c <= '9' && ++digits <= 3) {
        } else {
            return false;
        }
    }
    return dots == 3 && digits > 0;
}

bool attach(MetricsPublisher& publisher, const std::string& address, const std::string& textfile,
            ListenOptions& options, std::ostream& err, bool served_by_page)
{
    if (address.empty() && textfile.empty() && !served_by_page) {
        return true;
    }
    std::string error;
    if (!publisher.start(address, textfile, options.file_mode, error)) {
        err << "platewise listen: " << error << "\n";
        return false;
    }
    if (!address.empty()) {
        err << "platewise listen: serving metrics on " << address << " (port";
        for (const int port : publisher.listening_ports()) {
            err << " " << port;
        }
        err << "), path /metrics\n";
    }
    if (!textfile.empty()) {
        err << "platewise listen: metrics written to " << textfile << "\n";
    }
    err.flush();
    // A publishing step that failed is said and the listener goes on.
    const auto said = [&err](bool published, const std::string& problem) {
        if (!published) {
            err << "platewise listen: metrics: " << problem << "\n";
            err.flush();
        }
    };
    // Chained after what was attached before (the events see NVMe passes
    // through the same hook): replacing it would silence them.
    auto snapshot = std::move(options.on_snapshot);
    options.on_snapshot = [&publisher, said, snapshot = std::move(snapshot)](const SnapshotReport& pass) {
        if (snapshot) {
            snapshot(pass);
        }
        std::string problem;
        said(publisher.snapshot_received(pass, unix_seconds_now(), problem), problem);
    };
    auto nvme = std::move(options.on_nvme_snapshot);
    options.on_nvme_snapshot = [&publisher, said, nvme = std::move(nvme)](const NvmeSnapshotReport& pass) {
        if (nvme) {
            nvme(pass);
        }
        std::string problem;
        said(publisher.nvme_snapshot_received(pass, unix_seconds_now(), problem), problem);
    };
    auto peers_refused = std::move(options.on_peers_refused);
    options.on_peers_refused = [&publisher, peers_refused = std::move(peers_refused)](std::uint64_t count) {
        if (peers_refused) {
            peers_refused(count);
        }
        publisher.peers_refused(count);
    };
    auto refused = std::move(options.on_refused);
    options.on_refused = [&publisher, said, refused = std::move(refused)]() {
        if (refused) {
            refused();
        }
        std::string problem;
        said(publisher.snapshot_refused(problem), problem);
    };
    return true;
}

}  // namespace platewise::metrics
