// The Linux platform: the physical disks of /sys/block, a Unix-domain
// socket for the snapshot endpoint, signals for stop, and systemd's notify
// protocol for status.
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <pthread.h>
#include <signal.h>
#include <scsi/sg.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "linux_disks.h"
#include "nvme_admin.h"
#include "platform.h"
#include "sat_passthrough.h"
#include "systemd_notify.h"

namespace platform {

// ------------------------------------------------------------------ drives

namespace {

// Where the disks are looked for: the machine's own, or a fake tree's in
// tests (set_linux_device_root).
constexpr std::size_t kRootBytes = 256;
char g_sys_block[kRootBytes + 16] = "/sys/block";
char g_dev[kRootBytes + 8] = "/dev/";

// The disks of the walks. The service walks the drives from 0 up, asking
// for each number's path and then opening it, so drive 0 starts a walk.
// Reading /sys/block for every walk cost a tenth of the walk's own system
// calls, so the list is kept and read again only when it may be out of date:
//   - something was created, deleted or moved in /dev (inotify): the kernel
//     makes and removes every disk's node there; such a change makes the
//     next two walks read the list (the node is made a moment before the
//     disk's /sys/block entry, so the first reading may be early);
//   - a listed disk failed to open (it went away), and then the next walk;
//   - the /dev watch could not be set up or was lost: every walk;
//   - otherwise every 12th walk (a minute at the service's pace), should a
//     change have escaped the watch.
// A disk that appears during a walk is counted from a later one; one that
// disappears fails its open, which ends the walk as any failed open does.
linux_disks::DiskList g_disks{};
int g_list_error = 0;      // errno of reading /sys/block for g_disks, 0 when read
bool g_listed = false;     // g_disks has been read at least once
int g_stale_walks = 0;     // walks to come that read the list again
int g_walks_since_read = 0;
constexpr int kWalksBetweenReads = 12;
int g_dev_watch = -1;      // inotify descriptor watching /dev, -1 when none

// `first` then `second` into `out` (at most size - 1 characters and a
// terminator). Paths are made this way rather than with snprintf: they are
// made for every drive of every pass, and the formatter cost more than the
// open it names.
void join(char* out, std::size_t size, const char* first, const char* second)
{
    if (size == 0) {
        return;
    }
    std::size_t at = 0;
    const char* const parts[] = {first, second};
    for (const char* part : parts) {
        const std::size_t length = std::strlen(part);
        const std::size_t room = size - 1 - at;
        const std::size_t take = length < room ? length : room;
        std::memcpy(out + at, part, take);
        at += take;
    }
    out[at] = '\0';
}

// /sys/block stays open between walks: opening and closing it for every walk
// cost more than reading it.
int g_sys_block_fd = -1;

void read_disks()
{
    g_listed = true;
    if (g_sys_block_fd < 0) {
        g_sys_block_fd = ::open(g_sys_block, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (g_sys_block_fd < 0) {
            g_list_error = errno;
            g_disks.count = 0;
            return;
        }
    }
    g_list_error = linux_disks::list_disks_in(g_sys_block_fd, &g_disks, &g_disks);
    if (g_list_error != 0) {
        // Read again from a fresh descriptor next time.
        ::close(g_sys_block_fd);
        g_sys_block_fd = -1;
    }
}

// Sets up the watch of /dev; false when it cannot be had.
bool watch_dev()
{
    if (g_dev_watch >= 0) {
        return true;
    }
    g_dev_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_dev_watch < 0) {
        return false;
    }
    const std::uint32_t changes =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    if (::inotify_add_watch(g_dev_watch, g_dev, changes) < 0) {
        ::close(g_dev_watch);
        g_dev_watch = -1;
        return false;
    }
    return true;
}

void unwatch_dev()
{
    if (g_dev_watch >= 0) {
        ::close(g_dev_watch);
        g_dev_watch = -1;
    }
}

// True when /dev changed since the last call (or the watch is gone, in which
// case it is set up again for the next one). Reads whatever is queued,
// without waiting.
bool dev_changed()
{
    bool changed = false;
    alignas(inotify_event) char events[1024];
    for (;;) {
        const ssize_t n = ::read(g_dev_watch, events, sizeof events);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return changed;
        }
        if (n <= 0) {
            unwatch_dev();  // anything else: start over
            return true;
        }
        changed = true;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if ((event->mask & (IN_IGNORED | IN_Q_OVERFLOW)) != 0) {
                unwatch_dev();  // the watch went with /dev, or events were lost
                return true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

// The list for drive `number`. Drive 0 starts a walk: its path, and its
// open unless that path came just before, read the list again when it may
// be out of date (above); its open counts the walk.
bool g_checked_for_open = false;  // drive 0's path was the last call

void disks_for(std::int32_t number, bool for_open)
{
    const bool checked = g_checked_for_open;
    g_checked_for_open = number == 0 && !for_open;
    if (number != 0) {
        if (!g_listed) {
            read_disks();
        }
        return;
    }
    if (checked && for_open) {
        ++g_walks_since_read;
        if (g_stale_walks > 0) {
            --g_stale_walks;
        }
        return;
    }
    if (!watch_dev()) {
        g_stale_walks = g_stale_walks > 1 ? g_stale_walks : 1;
    } else if (dev_changed()) {
        g_stale_walks = 2;
    }
    if (g_walks_since_read >= kWalksBetweenReads) {
        g_stale_walks = g_stale_walks > 1 ? g_stale_walks : 1;
    }
    if (!g_listed || g_stale_walks > 0) {
        read_disks();
        g_walks_since_read = 0;
    }
    if (for_open) {
        ++g_walks_since_read;
        if (g_stale_walks > 0) {
            --g_stale_walks;
        }
    }
}

}  // namespace

bool set_linux_device_root(const char* root)
{
    if (std::strlen(root) >= kRootBytes) {
        return false;
    }
    if (g_sys_block_fd >= 0) {
        ::close(g_sys_block_fd);
        g_sys_block_fd = -1;
    }
    unwatch_dev();
    join(g_sys_block, sizeof g_sys_block, root, "/sys/block");
    join(g_dev, sizeof g_dev, root, "/dev/");
    g_listed = false;
    g_stale_walks = 0;
    g_walks_since_read = 0;
    g_checked_for_open = false;
    g_disks.count = 0;  // nothing of another tree is known
    return true;
}

const linux_disks::Disk* linux_disk(std::int32_t number)
{
    if (number < 0 || number >= g_disks.count) {
        return nullptr;
    }
    return &g_disks.disks[number];
}

// Drive n is the n-th physical disk of /sys/block (linux_disks.h) and its
// path is the disk's /dev node. A number without a disk names what was
// looked through instead: the /sys/block folder.
void drive_device_path(std::int32_t number, char* out, std::size_t size)
{
    disks_for(number, false);
    const linux_disks::Disk* disk = linux_disk(number);
    if (disk != nullptr) {
        join(out, size, g_dev, disk->name);
        return;
    }
    if (g_list_error != 0) {
        join(out, size, g_sys_block, "");
    } else {
        // "no disk <number> in /sys/block", the number in decimal.
        char text[24] = "no disk ";
        char digits[12];
        int count = 0;
        std::int64_t n = number < 0 ? -static_cast<std::int64_t>(number) : number;
        do {
            digits[count++] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n > 0);
        std::size_t at = 8;
        if (number < 0) {
            text[at++] = '-';
        }
        while (count > 0) {
            text[at++] = digits[--count];
        }
        std::memcpy(text + at, " in ", 5);
        join(out, size, text, g_sys_block);
    }
}

namespace {

// The last drive opened and its family: NVMe requests go only to NVMe
// namespaces; any other disk refuses them without a system call.
int g_opened_fd = -1;
linux_disks::DiskKind g_opened_kind = linux_disks::DiskKind::scsi;

DriveOpenResult open_failure(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return {invalid_drive_handle, OpenFailure::not_found, error};
    case EACCES:
    case EPERM:
        return {invalid_drive_handle, OpenFailure::access_denied, error};
    default:
        return {invalid_drive_handle, OpenFailure::other, error};
    }
}

}  // namespace

DriveOpenResult open_drive_device(std::int32_t number)
{
    disks_for(number, true);
    const linux_disks::Disk* disk = linux_disk(number);
    if (disk == nullptr) {
        // No such disk, or /sys/block could not be read (its errno).
        return open_failure(g_list_error != 0 ? g_list_error : ENOENT);
    }
    char path[sizeof g_dev + linux_disks::kNameBytes];
    join(path, sizeof path, g_dev, disk->name);
    // Read-only: udev watches whole disks and answers the close of a
    // descriptor opened for writing with a "change" event and a re-read of
    // the partition table, which every pass would otherwise cause on every
    // disk. SG_IO does not need write access under CAP_SYS_RAWIO.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        g_opened_fd = fd;
        g_opened_kind = disk->kind;
        return {fd, OpenFailure::none, 0};
    }
    const int error = errno;
    // A listed disk that does not open may have gone: the next walk reads
    // the list again.
    g_stale_walks = g_stale_walks > 1 ? g_stale_walks : 1;
    return open_failure(error);
}

void close_drive(DriveHandle handle)
{
    if (handle == g_opened_fd) {
        g_opened_fd = -1;
    }
    ::close(static_cast<int>(handle));
}

namespace {

NvmeReply nvme_ioctl_failure(int error)
{
    if (error == ENOTTY || error == EINVAL) {
        return {NvmeFailure::not_supported, static_cast<std::uint32_t>(error), 0};
    }
    return {NvmeFailure::driver_error, static_cast<std::uint32_t>(error), 0};
}

}  // namespace

// NVMe admin commands reach a namespace's block device through
// NVME_IOCTL_ADMIN_CMD. Identify is allowed to anyone who may open the
// device; Get Log Page needs CAP_SYS_ADMIN (kernel 6.1), which the unit
// grants. Opened read-only, as for SG_IO.
NvmeReply read_nvme_page(DriveHandle handle, NvmePage page, std::uint8_t* out,
                         std::uint32_t size)
{
    const int fd = static_cast<int>(handle);
    if (fd == g_opened_fd && g_opened_kind != linux_disks::DiskKind::nvme) {
        return {NvmeFailure::not_supported, ENOTTY, 0};
    }
    std::uint32_t nsid = 0;
    if (page == NvmePage::identify_namespace) {
        const int id = ::ioctl(fd, NVME_IOCTL_ID);
        if (id < 0) {
            return nvme_ioctl_failure(errno);
        }
        if (id == 0) {
            return {NvmeFailure::driver_error, EINVAL, 0};
        }
        nsid = static_cast<std::uint32_t>(id);
    }
    const nvme_admin::Command command = nvme_admin::command_for(page, nsid);
    if (size != command.data_len) {
        return {NvmeFailure::driver_error, EINVAL, 0};
    }
    nvme_admin_cmd cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.opcode = command.opcode;
    cmd.nsid = command.nsid;
    cmd.addr = reinterpret_cast<std::uintptr_t>(out);
    cmd.data_len = command.data_len;
    cmd.cdw10 = command.cdw10;
    cmd.cdw11 = command.cdw11;
    cmd.timeout_ms = nvme_admin::kTimeoutMs;
    const int status = ::ioctl(fd, NVME_IOCTL_ADMIN_CMD, &cmd);
    if (status < 0) {
        return nvme_ioctl_failure(errno);
    }
    if (status > 0) {
        return {NvmeFailure::device_error, static_cast<std::uint32_t>(status), 0};
    }
    return {NvmeFailure::none, 0, nsid};
}

// ATA commands reach a Linux disk as SCSI ATA PASS-THROUGH(16) through
// SG_IO; sat_passthrough.cpp does the translation both ways, this function
// only the system call.
IoResult send_ata_passthrough(DriveHandle handle, std::uint8_t* request,
                              std::uint32_t request_size, std::uint32_t* returned)
{
    *returned = 0;
    sat::Command command;
    if (!sat::build_command(request, request_size, &command)) {
        return {IoFailure::driver_error, EINVAL};
    }
    std::uint8_t sense[64];
    std::memset(sense, 0, sizeof sense);
    sg_io_hdr_t io;
    std::memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.cmdp = command.cdb;
    io.cmd_len = sizeof command.cdb;
    io.sbp = sense;
    io.mx_sb_len = sizeof sense;
    io.timeout = command.timeout_ms;
    switch (command.direction) {
    case sat::Direction::from_device: io.dxfer_direction = SG_DXFER_FROM_DEV; break;
    case sat::Direction::to_device: io.dxfer_direction = SG_DXFER_TO_DEV; break;
    case sat::Direction::none: io.dxfer_direction = SG_DXFER_NONE; break;
    }
    if (command.data_length != 0) {
        io.dxferp = request + kPassthroughHeaderBytes;
        io.dxfer_len = command.data_length;
    }
    if (::ioctl(static_cast<int>(handle), SG_IO, &io) != 0) {
        return sat::classify_ioctl_error(errno);
    }
    const sat::Completion completion{io.status, io.host_status, io.driver_status, io.resid,
                                     sense, io.sb_len_wr};
    return sat::finish_command(command, completion, request, returned);
}

// -------------------------------------------------------------------- time

void sleep_ms(std::uint32_t milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

bool local_time_now(LocalTime* out)
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (localtime_r(&now, &parts) == nullptr) {
        return false;
    }
    *out = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

// --------------------------------------------------------------------- log

char* environment_copy(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? nullptr : strdup(value);
}

const char* const log_path_format = "%s/platewise_s.log";

std::FILE* open_log_file(const char* path)
{
    return std::fopen(path, "a+e");  // e: not inherited by anything we start
}

// -------------------------------------------------------------------- pipe

const char* const pipe_name = "/run/platewise/PlatewisePipe";
const char* const nvme_pipe_name = "/run/platewise/PlatewiseNvmePipe";

namespace {

// A connection made while waiting for a busy listener, kept for the open
// that follows the wait.
int g_parked_fd = -1;
char g_parked_name[sizeof(sockaddr_un::sun_path)];

bool endpoint_address(const char* name, sockaddr_un* address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (std::strlen(name) >= sizeof address->sun_path) {
        return false;
    }
    std::strcpy(address->sun_path, name);
    return true;
}

// Connects a stream socket to the endpoint. With a time-out of 0 a full
// listener backlog fails at once with EAGAIN; otherwise connect waits for
// room up to the time-out.
int connect_endpoint(const char* name, std::uint32_t timeout_ms, int* error)
{
    sockaddr_un address;
    if (!endpoint_address(name, &address)) {
        *error = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (timeout_ms == 0 ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (timeout_ms != 0) {
        timeval limit{static_cast<time_t>(timeout_ms / 1000),
                      static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    // From here on the socket blocks, but no write may hang the service on a
    // listener that stopped reading.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval write_limit{static_cast<time_t>(20), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &write_limit, sizeof write_limit);
    *error = 0;
    return fd;
}

}  // namespace

PipeOpenResult open_pipe(const char* name)
{
    if (g_parked_fd >= 0) {
        const int parked = g_parked_fd;
        g_parked_fd = -1;
        if (std::strcmp(g_parked_name, name) == 0) {
            return {parked, PipeOpenFailure::none, 0};
        }
        ::close(parked);
    }
    int error = 0;
    const int fd = connect_endpoint(name, 0, &error);
    if (fd >= 0) {
        return {fd, PipeOpenFailure::none, 0};
    }
    if (error == EAGAIN) {
        return {invalid_pipe_handle, PipeOpenFailure::busy, static_cast<std::uint32_t>(error)};
    }
    return {invalid_pipe_handle, PipeOpenFailure::other, static_cast<std::uint32_t>(error)};
}

bool wait_pipe(const char* name, std::uint32_t timeout_ms)
{
    int error = 0;
    const int fd = connect_endpoint(name, timeout_ms == 0 ? 1 : timeout_ms, &error);
    if (fd < 0) {
        return false;
    }
    if (g_parked_fd >= 0) {
        ::close(g_parked_fd);
    }
    g_parked_fd = fd;
    std::snprintf(g_parked_name, sizeof g_parked_name, "%s", name);
    return true;
}

bool write_pipe(PipeHandle handle, const void* bytes, std::uint32_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t done = 0;
    while (done < size) {
        // MSG_NOSIGNAL: a listener that went away is a failed write, not a
        // SIGPIPE death.
        const ssize_t n = ::send(static_cast<int>(handle), p + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

void close_pipe(PipeHandle handle)
{
    ::close(static_cast<int>(handle));
}

// --------------------------------------------------------- service control

namespace {

// Shared by the dispatcher thread (signals, controls) and the service thread
// (registration, status reports); every one is atomic. The dispatcher's
// thread id is set before the service thread starts and only read after.
std::atomic<ControlHandlerFunction> g_handler{nullptr};
std::atomic<bool> g_reported_running{false};
std::atomic<bool> g_stop_pending{false};
std::atomic<bool> g_reported_stopped{false};
std::atomic<bool> g_failed{false};
pthread_t g_dispatcher_thread;

// Wakes the dispatcher from its wait for signals, from the service thread.
void wake_dispatcher()
{
    if (!pthread_equal(pthread_self(), g_dispatcher_thread)) {
        pthread_kill(g_dispatcher_thread, SIGUSR1);
    }
}

struct ServiceThreadStart {
    ServiceMainFunction service_main;
};

void* service_thread(void* argument)
{
    const auto* start = static_cast<const ServiceThreadStart*>(argument);
    start->service_main(0, nullptr);
    // A service that returns without reporting itself stopped has nothing
    // left to run: let the process end.
    if (!g_reported_stopped.exchange(true)) {
        wake_dispatcher();
    }
    return nullptr;
}

}  // namespace

// The process entry stands in for the service manager's dispatcher: it runs
// the service on a second thread and turns SIGTERM and SIGINT into the stop
// control. As a service manager does, it delivers controls only to a service
// that has reported itself running: a stop that comes earlier (before the
// handler is registered, or while the service is still starting) is kept and
// delivered as soon as it has. It returns once the service has reported
// itself stopped, and the process then ends, whatever the service thread is
// doing.
int run_service_dispatcher(const char* /*service_name*/, ServiceMainFunction service_main)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);  // the service thread's "look again"
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    g_dispatcher_thread = pthread_self();

    static ServiceThreadStart start;
    start.service_main = service_main;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, service_thread, &start) != 0) {
        return 1;
    }
    pthread_detach(thread);

    while (!g_reported_stopped.load()) {
        int signal_number = 0;
        if (sigwait(&signals, &signal_number) != 0) {
            continue;
        }
        if (signal_number == SIGTERM || signal_number == SIGINT) {
            g_stop_pending.store(true);
        }
        // The service reports running after it stores its handler, so a
        // handler is there whenever the report is.
        const ControlHandlerFunction handler = g_handler.load();
        if (g_reported_running.load() && handler != nullptr && !g_reported_stopped.load() &&
            g_stop_pending.exchange(false)) {
            handler(SERVICE_CONTROL_STOP);
        }
    }
    return g_failed.load() ? 255 : 0;
}

StatusHandle register_control_handler(const char* /*name*/, ControlHandlerFunction handler)
{
    g_handler.store(handler);
    return 1;
}

void set_service_status(StatusHandle /*handle*/, const ServiceStatus* status)
{
    if (status->dwCurrentState == SERVICE_RUNNING) {
        systemd::notify_service_manager("READY=1\nSTATUS=Monitoring drives");
        g_reported_running.store(true);
        // A stop that came while the service was starting is delivered now.
        if (g_stop_pending.load()) {
            wake_dispatcher();
        }
        return;
    }
    if (status->dwCurrentState != SERVICE_STOPPED) {
        return;
    }
    if (status->dwWin32ExitCode != 0) {
        systemd::notify_service_manager("STOPPING=1\nSTATUS=Stopped: the log could not be written");
        g_failed.store(true);
    } else {
        systemd::notify_service_manager("STOPPING=1\nSTATUS=Monitoring stopped");
    }
    g_reported_stopped.store(true);
    wake_dispatcher();
}

}  // namespace platform
