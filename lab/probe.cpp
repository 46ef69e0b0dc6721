// lab-probe: the QEMU lab's own helper (scripts/lab). Not part of the
// service and never installed.
//
// In the guest:
//   lab-probe passthrough DEVICE    one IDENTIFY through run_ata_passthrough
//                                   (the service's path); prints its errno
//   lab-probe device-error DEVICE   SMART DISABLE, then SMART READ DATA must
//                                   fail with EIO (a device-reported error
//                                   through the Status test; the raw sense
//                                   bytes and their layout are printed), then
//                                   SMART ENABLE and READ DATA succeed again
//   lab-probe timing PASSES         the service's pass (run_pass) against its
//                                   floor: open, the same SG_IO calls and
//                                   close of the same disks, without the
//                                   service's own work; both PASSES times,
//                                   interleaved, in this one run
//   lab-probe watch READY           inotify on every disk's /dev node until
//                                   SIGTERM (READY: a file made once the
//                                   watches stand); SIGUSR1 ends the
//                                   "service" phase, SIGTERM the "control"
//                                   one: per disk the closes after writing
//                                   (IN_CLOSE_WRITE) and after reading seen
//   lab-probe open-write DEVICE     opens DEVICE for writing and closes it
//                                   (the control that the watch sees one)
// On the host:
//   lab-probe check EXPECTED SNAPSHOT...   the snapshots against what QEMU
//                                   was told (EXPECTED: one line per disk,
//                                   "model|serial|sectors|logical|physical|rotation")
//   lab-probe check-nvme EXPECTED NVME... -- SNAPSHOT...   the raw NVMe
//                                   snapshots (the listener's nvme-*.bin)
//                                   byte by byte against what QEMU was told
//                                   (EXPECTED: one line per slot, "not-nvme"
//                                   or "nvme|serial|model|sectors|warning"),
//                                   each count byte against the ATA
//                                   snapshot of the same pass
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diskinfo.h"
#include "nvme_snapshot.h"
#include "platform/linux_disks.h"
#include "platform/nvme_admin.h"
#include "platform/sat_passthrough.h"
#include "service.h"
#include "smart.h"

namespace {

const char* errno_name(int e)
{
    switch (e) {
    case 0: return "0";
    case ENOSYS: return "ENOSYS";
    case EIO: return "EIO";
    case EINVAL: return "EINVAL";
    default: return "other";
    }
}

TaskFile smart_command(std::uint8_t feature)
{
    TaskFile t{};
    t.features = feature;
    t.sector_count = 1;
    t.lba_mid = SMART_LBA_MID_SIGNATURE;
    t.lba_high = SMART_LBA_HIGH_SIGNATURE;
    t.command = ATA_SMART;
    return t;
}

TaskFile identify_command()
{
    TaskFile t{};
    t.sector_count = 1;
    t.command = ATA_IDENTIFY_DEVICE;
    return t;
}

// One 512-byte read as the service issues it: 48-bit flag, zero previous block.
int part_read(int fd, TaskFile command, std::uint8_t* data, int* error)
{
    TaskFile prev{};
    errno = 0;
    const int result = run_ata_passthrough(fd, &command, &prev, data, 512);
    *error = result == 0 ? 0 : errno;
    return result;
}

// As the service opens a disk.
int open_device(const char* path)
{
    return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int cmd_passthrough(const char* path)
{
    const int fd = open_device(path);
    if (fd < 0) {
        std::printf("lab: passthrough %s open failed: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::uint8_t data[512] = {};
    int error = 0;
    const int result = part_read(fd, identify_command(), data, &error);
    std::printf("lab: passthrough %s result=%d errno=%s\n", path, result, errno_name(error));
    ::close(fd);
    return 0;
}

// The request buffer as run_ata_passthrough builds it, for the bare calls.
AtaPassBuffer request_for(const TaskFile& command)
{
    AtaPassBuffer ab;
    std::memset(&ab, 0, sizeof ab);
    ab.apt.Length = sizeof ab.apt;
    ab.apt.AtaFlags = ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND;
    ab.apt.DataTransferLength = 512;
    ab.apt.TimeOutValue = kPassthroughTimeoutSeconds;
    ab.apt.DataBufferOffset = kPassthroughHeaderBytes;
    ab.apt.CurrentTaskFile = command;
    return ab;
}

// One bare SG_IO call; the sense bytes and SCSI status come back too.
struct BareResult {
    int ioctl_result;
    sg_io_hdr_t io;
    std::uint8_t sense[64];
};

BareResult bare_sg_io(int fd, AtaPassBuffer* ab)
{
    BareResult r{};
    sat::Command command;
    sat::build_command(reinterpret_cast<std::uint8_t*>(ab), 556, &command);
    r.io.interface_id = 'S';
    r.io.cmdp = command.cdb;
    r.io.cmd_len = sizeof command.cdb;
    r.io.sbp = r.sense;
    r.io.mx_sb_len = sizeof r.sense;
    r.io.timeout = command.timeout_ms;
    r.io.dxfer_direction = SG_DXFER_FROM_DEV;
    r.io.dxferp = ab->data;
    r.io.dxfer_len = command.data_length;
    r.ioctl_result = ::ioctl(fd, SG_IO, &r.io);
    return r;
}

const char* layout_name(sat::SenseLayout layout)
{
    switch (layout) {
    case sat::SenseLayout::none: return "none";
    case sat::SenseLayout::descriptor: return "descriptor";
    case sat::SenseLayout::fixed: return "fixed";
    case sat::SenseLayout::fixed_linux61: return "fixed_linux61";
    }
    return "?";
}

int cmd_device_error(const char* path)
{
    const int fd = open_device(path);
    if (fd < 0) {
        std::printf("lab: device-error %s open failed: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::uint8_t data[512] = {};
    int error = 0;
    int result = part_read(fd, smart_command(SMART_DISABLE_OPERATIONS), data, &error);
    std::printf("lab: device-error %s smart-disable result=%d errno=%s\n", path, result,
                errno_name(error));
    result = part_read(fd, smart_command(SMART_READ_DATA), data, &error);
    std::printf("lab: device-error %s read-data-while-disabled result=%d errno=%s\n", path, result,
                errno_name(error));

    AtaPassBuffer ab = request_for(smart_command(SMART_READ_DATA));
    const BareResult bare = bare_sg_io(fd, &ab);
    const sat::AtaRegisters regs = sat::parse_sense(bare.sense, bare.io.sb_len_wr);
    std::printf("lab: device-error %s sense status=0x%02x host=0x%x driver=0x%x sb_len_wr=%u:",
                path, bare.io.status, bare.io.host_status, bare.io.driver_status,
                static_cast<unsigned>(bare.io.sb_len_wr));
    for (unsigned i = 0; i < bare.io.sb_len_wr; ++i) {
        std::printf(" %02x", bare.sense[i]);
    }
    std::printf("\nlab: device-error %s sense-layout=%s ata-error=0x%02x ata-status=0x%02x\n", path,
                layout_name(regs.layout), regs.current.features, regs.current.command);

    result = part_read(fd, smart_command(SMART_ENABLE_OPERATIONS), data, &error);
    AtaPassBuffer enable = request_for(smart_command(SMART_ENABLE_OPERATIONS));
    sat::Command enable_command{};
    sat::build_command(reinterpret_cast<std::uint8_t*>(&enable), 556, &enable_command);
    std::printf("lab: device-error %s smart-enable result=%d errno=%s protocol=%d\n", path, result,
                errno_name(error), enable_command.cdb[1] >> 1);
    result = part_read(fd, smart_command(SMART_READ_DATA), data, &error);
    std::printf("lab: device-error %s read-data-after-enable result=%d errno=%s\n", path, result,
                errno_name(error));
    ::close(fd);
    return 0;
}

double micros_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// The disks the service walks, in its order.
std::vector<std::string> service_disks()
{
    linux_disks::DiskList list{};
    linux_disks::list_disks("/sys/block", nullptr, &list);
    std::vector<std::string> paths;
    for (int i = 0; i < list.count; ++i) {
        paths.push_back(std::string("/dev/") + list.disks[i].name);
    }
    return paths;
}

// The NVMe pages by bare ioctls, as the service sends them.
bool bare_nvme_pages(int fd)
{
    static std::uint8_t page[4096];
    const int nsid = ::ioctl(fd, NVME_IOCTL_ID);
    if (nsid <= 0) {
        return false;
    }
    for (const platform::NvmePage which : {platform::NvmePage::identify_controller,
                                           platform::NvmePage::identify_namespace,
                                           platform::NvmePage::health_log}) {
        const nvme_admin::Command c = nvme_admin::command_for(which, static_cast<std::uint32_t>(nsid));
        nvme_admin_cmd cmd{};
        cmd.opcode = c.opcode;
        cmd.nsid = c.nsid;
        cmd.addr = reinterpret_cast<std::uintptr_t>(page);
        cmd.data_len = c.data_len;
        cmd.cdw10 = c.cdw10;
        cmd.cdw11 = c.cdw11;
        cmd.timeout_ms = nvme_admin::kTimeoutMs;
        if (::ioctl(fd, NVME_IOCTL_ADMIN_CMD, &cmd) != 0) {
            return false;
        }
    }
    return true;
}

int cmd_timing(int passes)
{
    const std::vector<std::string> disks = service_disks();
    const TaskFile commands[] = {identify_command(), smart_command(SMART_READ_DATA),
                                 smart_command(SMART_READ_THRESHOLDS)};
    std::vector<double> pass_us, floor_us, commands_us, walk_us, opens_us;
    std::vector<double> step_us[8];
    int bad = 0;
    int refused = 0;  // SG_IO refused by disks without a SCSI layer, as in the pass
    for (int i = 0; i < passes; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const PassResult pass = run_pass();
        pass_us.push_back(micros_since(start));
        if (pass.count != static_cast<int>(disks.size()) + 1) {
            ++bad;
        }
        // The pass's commands on plain opens: the pass without finding its
        // disks (no /sys/block, no device paths).
        const auto commands_start = std::chrono::steady_clock::now();
        for (const std::string& disk : disks) {
            const int fd = open_device(disk.c_str());
            if (fd < 0) {
                continue;
            }
            read_identify(fd);
            if (smart_enabled() == 0) {
                set_smart_enabled(fd, true);
            }
            read_smart_values(fd);
            read_smart_thresholds(fd);
            ::close(fd);
        }
        commands_us.push_back(micros_since(commands_start));
        // The pass's walk without its commands: drives 0, 1, ... opened and
        // closed the service's way until one fails.
        const auto walk_start = std::chrono::steady_clock::now();
        for (std::int8_t n = 0;; ++n) {
            const auto step = std::chrono::steady_clock::now();
            const platform::DriveHandle handle = open_drive(n);
            if (handle != platform::invalid_drive_handle) {
                platform::close_drive(handle);
            }
            if (n < 8) step_us[n].push_back(micros_since(step));
            if (handle == platform::invalid_drive_handle) {
                break;
            }
        }
        walk_us.push_back(micros_since(walk_start));
        const auto opens_start = std::chrono::steady_clock::now();
        for (const std::string& disk : disks) {
            ::close(open_device(disk.c_str()));
        }
        opens_us.push_back(micros_since(opens_start));
        // The floor: what the pass cannot do without, the system calls.
        const auto floor_start = std::chrono::steady_clock::now();
        for (const std::string& disk : disks) {
            const int fd = open_device(disk.c_str());
            if (fd < 0) {
                ++bad;
                continue;
            }
            for (const TaskFile& command : commands) {
                AtaPassBuffer ab = request_for(command);
                const BareResult r = bare_sg_io(fd, &ab);
                if (r.ioctl_result != 0 && errno == ENOTTY) {
                    ++refused;
                } else if (r.ioctl_result != 0 || r.io.status != 0) {
                    ++bad;
                }
            }
            // An NVMe namespace also gets the pass's NVMe requests: its
            // namespace id and the three admin commands.
            if (disk.compare(0, 9, "/dev/nvme") == 0 && !bare_nvme_pages(fd)) {
                ++bad;
            }
            ::close(fd);
        }
        floor_us.push_back(micros_since(floor_start));
    }
    // Where the pass's own work goes: reading /sys/block once per walk (the
    // first time with a stat of every disk's device link, then without).
    std::vector<double> first_us, again_us;
    for (int i = 0; i < passes; ++i) {
        linux_disks::DiskList list{};
        auto start = std::chrono::steady_clock::now();
        linux_disks::list_disks("/sys/block", nullptr, &list);
        first_us.push_back(micros_since(start));
        start = std::chrono::steady_clock::now();
        linux_disks::list_disks("/sys/block", &list, &list);
        again_us.push_back(micros_since(start));
    }
    std::printf("lab: timing list-disks first median_us=%.0f again median_us=%.0f\n",
                median(first_us), median(again_us));
    // One command through the service's path against the bare call, and the
    // service's open and close against plain ones, on the first disk.
    if (!disks.empty()) {
        std::vector<double> service_cmd, bare_cmd, service_open, bare_open;
        for (int i = 0; i < passes; ++i) {
            auto start = std::chrono::steady_clock::now();
            const int fd = open_device(disks[0].c_str());
            ::close(fd);
            bare_open.push_back(micros_since(start));
            start = std::chrono::steady_clock::now();
            const platform::DriveHandle handle = open_drive(0);
            platform::close_drive(handle);
            service_open.push_back(micros_since(start));
            const int cmd_fd = open_device(disks[0].c_str());
            std::uint8_t data[512];
            int error = 0;
            AtaPassBuffer ab = request_for(identify_command());
            for (int order = 0; order < 2; ++order) {
                if ((order + i) % 2 == 0) {
                    start = std::chrono::steady_clock::now();
                    part_read(cmd_fd, identify_command(), data, &error);
                    service_cmd.push_back(micros_since(start));
                } else {
                    start = std::chrono::steady_clock::now();
                    bare_sg_io(cmd_fd, &ab);
                    bare_cmd.push_back(micros_since(start));
                }
            }
            ::close(cmd_fd);
        }
        std::printf("lab: timing open+close service_us=%.0f bare_us=%.0f; one IDENTIFY service_us=%.0f bare_us=%.0f\n",
                    median(service_open), median(bare_open), median(service_cmd), median(bare_cmd));
        // The service's own work per command, without a device behind it:
        // SG_IO refused at once (ENOTTY) by /dev/null, 1000 times each way.
        const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::uint8_t data[512];
        int error = 0;
        AtaPassBuffer ab = request_for(identify_command());
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) part_read(null_fd, identify_command(), data, &error);
        const double service_null = micros_since(start) / 1000;
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) bare_sg_io(null_fd, &ab);
        const double bare_null = micros_since(start) / 1000;
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) ::ioctl(null_fd, SG_IO, nullptr);
        const double ioctl_null = micros_since(start) / 1000;
        ::close(null_fd);
        std::printf("lab: timing refused command service_us=%.2f bare_us=%.2f ioctl-alone_us=%.2f\n",
                    service_null, bare_null, ioctl_null);
        char path[100];
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) platform::drive_device_path(1, path, sizeof path);
        const double path_us = micros_since(start) / 1000;
        char text[256];
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) format_message(text, "Path [%s] : not found", path);
        const double format_us = micros_since(start) / 1000;
        static AtaPassBuffer big;
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) {
            std::memset(&big, i, sizeof big);
            asm volatile("" : : "r"(&big) : "memory");
        }
        const double zero_us = micros_since(start) / 1000;
        std::printf("lab: timing device-path_us=%.2f format-message_us=%.2f zero-16428-bytes_us=%.2f\n",
                    path_us, format_us, zero_us);
    }
    // Each pass against the floor measured right after it: host load that
    // slows the emulator for a while slows both alike.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < pass_us.size(); ++i) {
        ratios.push_back(floor_us[i] > 0 ? pass_us[i] / floor_us[i] : 0.0);
    }
    const double pass_median = median(pass_us);
    const double floor_median = median(floor_us);
    std::printf("lab: timing disks=%zu passes=%d commands-per-pass=%zu refused-per-pass=%d failures=%d\n",
                disks.size(), passes, disks.size() * 3, passes > 0 ? refused / passes : 0, bad);
    std::printf("lab: timing pass median_us=%.0f min_us=%.0f\n", pass_median,
                *std::min_element(pass_us.begin(), pass_us.end()));
    std::printf("lab: timing floor (open, SG_IO, close) median_us=%.0f min_us=%.0f\n", floor_median,
                *std::min_element(floor_us.begin(), floor_us.end()));
    std::printf("lab: timing the pass's commands on plain opens median_us=%.0f min_us=%.0f\n",
                median(commands_us), *std::min_element(commands_us.begin(), commands_us.end()));
    auto quartile = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 4];
    };
    std::printf("lab: timing the service's walk (open_drive, close) median_us=%.0f, plain opens and closes median_us=%.0f\n",
                median(walk_us), median(opens_us));
    std::printf("lab: timing walk steps median_us:");
    for (const auto& step : step_us) {
        if (!step.empty()) std::printf(" %.0f", median(step));
    }
    std::printf("\n");
    std::printf("lab: timing first quartiles pass_us=%.0f commands_us=%.0f floor_us=%.0f\n",
                quartile(pass_us), quartile(commands_us), quartile(floor_us));
    std::printf("lab: timing pass/floor=%.3f (medians) %.3f (mins) %.3f (median of each pass over its floor)\n",
                floor_median > 0 ? pass_median / floor_median : 0.0,
                *std::min_element(pass_us.begin(), pass_us.end()) /
                    *std::min_element(floor_us.begin(), floor_us.end()),
                median(ratios));
    return bad == 0 ? 0 : 1;
}

// ------------------------------------------------------------------ watch

struct WatchedDisk {
    std::string path;
    int watch;
    unsigned close_write;
    unsigned close_nowrite;
};

// Reads every queued event without waiting.
void drain_events(int inotify, std::vector<WatchedDisk>* disks)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            for (WatchedDisk& disk : *disks) {
                if (disk.watch == event->wd) {
                    if ((event->mask & IN_CLOSE_WRITE) != 0) ++disk.close_write;
                    if ((event->mask & IN_CLOSE_NOWRITE) != 0) ++disk.close_nowrite;
                }
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void print_phase(const char* phase, std::vector<WatchedDisk>* disks)
{
    for (WatchedDisk& disk : *disks) {
        std::printf("lab: watch %s %s close-write=%u close-nowrite=%u\n", phase, disk.path.c_str(),
                    disk.close_write, disk.close_nowrite);
        disk.close_write = 0;
        disk.close_nowrite = 0;
    }
    std::fflush(stdout);
}

int cmd_watch(const char* ready)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    const int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (signal_fd < 0 || inotify < 0) {
        std::printf("lab: watch cannot start: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<WatchedDisk> disks;
    for (const std::string& path : service_disks()) {
        const int watch = ::inotify_add_watch(inotify, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
        if (watch < 0) {
            std::printf("lab: watch %s failed: %s\n", path.c_str(), std::strerror(errno));
            continue;
        }
        disks.push_back({path, watch, 0, 0});
    }
    std::printf("lab: watch %zu disks\n", disks.size());
    std::fflush(stdout);
    const int made = ::open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (made >= 0) ::close(made);
    const char* phase = "service";
    for (;;) {
        pollfd fds[2] = {{inotify, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        drain_events(inotify, &disks);
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        signalfd_siginfo info;
        if (::read(signal_fd, &info, sizeof info) != sizeof info) {
            continue;
        }
        print_phase(phase, &disks);
        if (info.ssi_signo == SIGTERM) {
            return 0;
        }
        phase = "control";
        const std::string phase_done = std::string(ready) + ".service";
        const int done = ::open(phase_done.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (done >= 0) ::close(done);
    }
}

int cmd_open_write(const char* path)
{
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("lab: open-write %s failed: %s\n", path, std::strerror(errno));
        return 1;
    }
    ::close(fd);
    std::printf("lab: open-write %s opened for writing and closed\n", path);
    return 0;
}


// ------------------------------------------------------------------ check

struct Expected {
    std::string model;
    std::string serial;
    std::uint64_t sectors;
    std::uint32_t logical;
    std::uint32_t physical;
    unsigned rotation;  // IDENTIFY word 217; 0 = not set
    bool no_ata;        // a disk without ATA: its slot stays zero
};

std::vector<std::string> split(const std::string& line, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char c : line) {
        if (c == sep) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

bool read_file(const char* path, std::vector<std::uint8_t>* bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int failures = 0;

void expect(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL %s\n", what.c_str());
    }
}

void check_attributes(const smart::DriveRecord& record, const std::string& where)
{
    // What QEMU 7.2's emulated drive reports (../shared notes): attributes
    // 1, 3 (raw 16), 4 (raw 100), 5, 9 (raw 1), 12, 190 (value 69, raw bytes
    // 1f 00 1f 1f 00 00); thresholds 6, 0, 20, 36, 0, 0, 50.
    const smart::AttributeList values = smart::decode_attribute_sector(
        smart::SectorView(record.smart_values, smart::kSectorBytes));
    const smart::ThresholdList thresholds = smart::decode_threshold_sector(
        smart::SectorView(record.smart_thresholds, smart::kSectorBytes));
    const std::uint8_t ids[] = {1, 3, 4, 5, 9, 12, 190};
    const std::uint8_t limits[] = {6, 0, 20, 36, 0, 0, 50};
    expect(values.count == 7, where + ": 7 attributes, found " + std::to_string(values.count));
    smart::AttributeDefinitionTable table = smart::default_attribute_table();
    for (std::size_t i = 0; i < 7 && i < values.count; ++i) {
        const smart::AttributeEntry& e = values.entries[i];
        expect(e.id == ids[i], where + ": attribute " + std::to_string(i) + " id " +
                                   std::to_string(e.id));
        const smart::AttributeThreshold* t = smart::find_threshold(thresholds, e.id);
        expect(t != nullptr && t->threshold == limits[i],
               where + ": threshold of attribute " + std::to_string(e.id));
        const std::uint64_t raw = smart::extract_raw_value(e, table);
        if (e.id == 3) expect(raw == 16, where + ": attribute 3 raw " + std::to_string(raw));
        if (e.id == 4) expect(raw == 100, where + ": attribute 4 raw " + std::to_string(raw));
        if (e.id == 9) expect(raw == 1, where + ": attribute 9 raw " + std::to_string(raw));
        if (e.id == 190) {
            const std::uint8_t want[6] = {0x1f, 0x00, 0x1f, 0x1f, 0x00, 0x00};
            expect(e.value == 69 && std::memcmp(e.raw_bytes, want, 6) == 0,
                   where + ": attribute 190 value/raw bytes");
        }
    }
    std::uint8_t sum = 0;
    for (const std::uint8_t b : record.smart_values) sum = static_cast<std::uint8_t>(sum + b);
    expect(sum == 0, where + ": SMART data checksum");
    sum = 0;
    for (const std::uint8_t b : record.smart_thresholds) sum = static_cast<std::uint8_t>(sum + b);
    expect(sum == 0, where + ": SMART thresholds checksum");
}

int cmd_check(const char* expected_path, int count, char** snapshots)
{
    std::vector<Expected> disks;
    std::ifstream in(expected_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = split(line, '|');
        if (f.size() == 1 && f[0] == "no-ata") {
            // A disk that speaks no ATA (virtio): counted, its slot all zero.
            disks.push_back({"", "", 0, 0, 0, 0, true});
            continue;
        }
        if (f.size() != 6) {
            std::printf("FAIL bad expectation line: %s\n", line.c_str());
            return 1;
        }
        disks.push_back({f[0], f[1], std::stoull(f[2]), static_cast<std::uint32_t>(std::stoul(f[3])),
                         static_cast<std::uint32_t>(std::stoul(f[4])),
                         static_cast<unsigned>(std::stoul(f[5])), false});
    }
    expect(!disks.empty(), "no expected disks");
    expect(count >= 2, "at least two snapshots, found " + std::to_string(count));
    std::string first_order;
    for (int s = 0; s < count; ++s) {
        const std::string name = snapshots[s];
        std::vector<std::uint8_t> bytes;
        smart::DriveSnapshot snapshot;
        if (!read_file(snapshots[s], &bytes) || !smart::split_snapshot(bytes, snapshot)) {
            expect(false, name + ": not a 49185-byte snapshot");
            continue;
        }
        expect(snapshot.count == disks.size() + 1,
               name + ": count byte " + std::to_string(snapshot.count) + ", want " +
                   std::to_string(disks.size() + 1));
        // Which disk lands in which slot is the kernel's naming (/dev/sda,
        // sdb, ...), and libata probes the AHCI ports in parallel: the slots
        // are matched to the configured disks by serial number, each disk
        // exactly once, in the same order in every pass. A disk without ATA
        // has the slot its expectation line has (after the sd disks).
        std::vector<bool> seen(disks.size(), false);
        std::string order;
        for (std::size_t slot = 0; slot < disks.size(); ++slot) {
            const smart::DriveRecord& r = snapshot.drives[slot];
            const std::string where = name + " slot " + std::to_string(slot);
            if (disks[slot].no_ata) {
                const smart::DriveRecord zero{};
                expect(std::memcmp(r.identify, zero.identify, sizeof zero.identify) == 0 &&
                           std::memcmp(r.smart_values, zero.smart_values, sizeof zero.smart_values) == 0 &&
                           std::memcmp(r.smart_thresholds, zero.smart_thresholds,
                                       sizeof zero.smart_thresholds) == 0,
                       where + ": a disk without ATA, zero sections expected");
                seen[slot] = true;
                order += slot == 0 ? "(no-ata)" : " (no-ata)";
                continue;
            }
            const smart::SectorView id(r.identify, smart::kSectorBytes);
            const std::string model = smart::identify_model(id);
            const std::string serial = smart::identify_serial(id);
            std::size_t which = disks.size();
            for (std::size_t d = 0; d < disks.size(); ++d) {
                if (!disks[d].no_ata && disks[d].serial == serial && !seen[d]) {
                    which = d;
                }
            }
            if (which == disks.size()) {
                expect(false, where + ": serial '" + serial + "' is no configured disk, or twice");
                continue;
            }
            seen[which] = true;
            order += (slot == 0 ? "" : " ") + serial;
            const Expected& want = disks[which];
            smart::DriveSizes sizes{};
            smart::compute_drive_sizes(id, sizes);
            expect(model == want.model, where + ": model '" + model + "' want '" + want.model + "'");
            expect(serial == want.serial, where + ": serial '" + serial + "'");
            expect(sizes.sector_count == want.sectors,
                   where + ": sectors " + std::to_string(sizes.sector_count) + " want " +
                       std::to_string(want.sectors));
            expect(sizes.logical_sector_bytes == want.logical,
                   where + ": logical " + std::to_string(sizes.logical_sector_bytes));
            expect(sizes.physical_sector_bytes == want.physical,
                   where + ": physical " + std::to_string(sizes.physical_sector_bytes));
            expect(smart::identify_word(id, 217) == want.rotation,
                   where + ": rotation rate word 217 = " +
                       std::to_string(smart::identify_word(id, 217)));
            check_attributes(r, where);
        }
        if (first_order.empty()) {
            first_order = order;
        }
        expect(order == first_order, name + ": slots " + order + ", earlier " + first_order);
        if (failures == 0) {
            std::printf("ok %s: count %u; slots %s as configured; SMART sections as emulated\n",
                        name.c_str(), snapshot.count, order.c_str());
        }
    }
    return failures == 0 ? 0 : 1;
}

std::uint64_t le(const std::uint8_t* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

// NVMe text fields: ASCII, left-aligned, blank-padded.
std::string nvme_text(const std::uint8_t* p, int bytes)
{
    std::string text(reinterpret_cast<const char*>(p), static_cast<std::size_t>(bytes));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

int cmd_check_nvme(const char* expected_path, int argc, char** argv)
{
    struct Slot { bool nvme; std::string serial, model; std::uint64_t sectors; unsigned warning; };
    std::vector<Slot> slots;
    std::ifstream in(expected_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = split(line, '|');
        if (f.size() == 1 && f[0] == "not-nvme") {
            slots.push_back({false, "", "", 0, 0});
        } else if (f.size() == 5 && f[0] == "nvme") {
            slots.push_back({true, f[1], f[2], std::stoull(f[3]),
                             static_cast<unsigned>(std::stoul(f[4]))});
        } else {
            std::printf("FAIL bad NVMe expectation line: %s\n", line.c_str());
            return 1;
        }
    }
    std::vector<const char*> nvme_files, ata_files;
    bool after = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) { after = true; continue; }
        (after ? ata_files : nvme_files).push_back(argv[i]);
    }
    expect(!nvme_files.empty(), "no NVMe snapshots");
    expect(nvme_files.size() == ata_files.size(),
           std::to_string(nvme_files.size()) + " NVMe snapshots for " +
               std::to_string(ata_files.size()) + " ATA snapshots");
    for (std::size_t s = 0; s < nvme_files.size(); ++s) {
        const std::string name = nvme_files[s];
        std::vector<std::uint8_t> b;
        if (!read_file(nvme_files[s], &b) || b.size() != sizeof(NvmeSnapshot)) {
            expect(false, name + ": not a 278800-byte NVMe snapshot (" + std::to_string(b.size()) + ")");
            continue;
        }
        const int before = failures;
        expect(std::memcmp(b.data(), "PWNVME\r\n", 8) == 0, name + ": magic");
        expect(le(b.data() + 8, 2) == 1, name + ": version " + std::to_string(le(b.data() + 8, 2)));
        expect(b[10] == slots.size() + 1, name + ": count " + std::to_string(b[10]) + ", want " +
                                              std::to_string(slots.size() + 1));
        std::vector<std::uint8_t> ata;
        if (s < ata_files.size() && read_file(ata_files[s], &ata) && !ata.empty()) {
            expect(b[10] == ata[0], name + ": count byte differs from the ATA snapshot of its pass");
        }
        expect(le(b.data() + 11, 5) == 0, name + ": reserved bytes");
        std::string shown;
        for (std::size_t n = 0; n < 32; ++n) {
            const std::uint8_t* slot = b.data() + 16 + 8712 * n;
            const std::string where = name + " slot " + std::to_string(n);
            if (n >= slots.size()) {
                bool zero = true;
                for (int i = 0; i < 8712; ++i) zero = zero && slot[i] == 0;
                expect(zero, where + ": not opened, must be absent (all zero)");
                continue;
            }
            if (!slots[n].nvme) {
                expect(slot[0] == 2 && slot[1] == 1 && slot[2] == 0xFF && slot[3] == 0xFF,
                       where + ": not_nvme with results 1 FF FF, found " + std::to_string(slot[0]) +
                           " " + std::to_string(slot[1]));
                bool zero = true;
                for (int i = 4; i < 8712; ++i) zero = zero && slot[i] == 0;
                expect(zero, where + ": a disk that is not NVMe, zero pages");
                continue;
            }
            const std::uint8_t* ctrl = slot + 8;
            const std::uint8_t* ns = slot + 4104;
            const std::uint8_t* health = slot + 8200;
            expect(slot[0] == 1, where + ": status answered, found " + std::to_string(slot[0]));
            expect(slot[1] == 0 && slot[2] == 0 && slot[3] == 0, where + ": every request read");
            expect(le(slot + 4, 4) == 1, where + ": namespace id " + std::to_string(le(slot + 4, 4)));
            const std::string serial = nvme_text(ctrl + 4, 20);
            const std::string model = nvme_text(ctrl + 24, 40);
            expect(serial == slots[n].serial, where + ": serial '" + serial + "'");
            expect(model == slots[n].model, where + ": model '" + model + "'");
            const std::uint64_t nsze = le(ns + 0, 8);
            const unsigned format = ns[26] & 0x0F;
            const unsigned lbads = (le(ns + 128 + 4 * format, 4) >> 16) & 0xFF;
            expect(nsze == slots[n].sectors, where + ": namespace size " + std::to_string(nsze) +
                                                 " blocks, want " + std::to_string(slots[n].sectors));
            expect(lbads == 9, where + ": LBA size 2^" + std::to_string(lbads));
            expect(health[0] == slots[n].warning,
                   where + ": critical warning " + std::to_string(health[0]) + ", want " +
                       std::to_string(slots[n].warning));
            const unsigned kelvin = static_cast<unsigned>(le(health + 1, 2));
            const unsigned warning_k = static_cast<unsigned>(le(ctrl + 266, 2));
            const unsigned critical_k = static_cast<unsigned>(le(ctrl + 268, 2));
            expect(kelvin > 273 && kelvin < warning_k && warning_k < critical_k,
                   where + ": temperature " + std::to_string(kelvin) + " K below warning " +
                       std::to_string(warning_k) + " K below critical " + std::to_string(critical_k) +
                       " K");
            shown = serial + " '" + model + "' " + std::to_string(nsze) + " blocks of 512, critical warning " +
                    std::to_string(health[0]) + ", " + std::to_string(static_cast<int>(kelvin) - 273) +
                    " C (" + std::to_string(kelvin) + " K; thresholds " + std::to_string(warning_k) +
                    "/" + std::to_string(critical_k) + " K), " + std::to_string(health[5]) + " % used";
        }
        if (failures == before) {
            std::printf("ok %s: PWNVME v1, count %u; NVMe %s; other slots not_nvme or absent\n",
                        name.c_str(), b[10], shown.c_str());
        }
    }
    return failures == 0 ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: lab-probe passthrough DEVICE | device-error DEVICE | timing PASSES |\n"
                 "       watch READY | open-write DEVICE | check EXPECTED SNAPSHOT... |\n"
                 "       check-nvme EXPECTED NVME... -- SNAPSHOT...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        return usage();
    }
    const std::string mode = argv[1];
    if (mode == "passthrough") return cmd_passthrough(argv[2]);
    if (mode == "device-error") return cmd_device_error(argv[2]);
    if (mode == "timing") return cmd_timing(std::max(1, std::atoi(argv[2])));
    if (mode == "watch") return cmd_watch(argv[2]);
    if (mode == "open-write") return cmd_open_write(argv[2]);
    if (mode == "check") return cmd_check(argv[2], argc - 3, argv + 3);
    if (mode == "check-nvme") return cmd_check_nvme(argv[2], argc - 3, argv + 3);
    return usage();
}
