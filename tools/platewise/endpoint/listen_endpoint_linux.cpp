// The listening endpoint on Linux: a Unix-domain stream socket. Stop
// requests (SIGINT, SIGTERM, request_stop) reach a waiting accept or read
// through a self-pipe that both poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "endpoint/listen_endpoint.h"
#include "files/output_directory.h"
#include "smart.h"

namespace platewise::endpoint {

namespace {

// ----------------------------------------------------------- stop requests

// Set from signal handlers and read by every connection's thread: lock-free
// atomics, which a handler may touch.
std::atomic<int> g_stop{0};
std::atomic<int> g_stop_read{-1};
std::atomic<int> g_stop_write{-1};
static_assert(std::atomic<int>::is_always_lock_free);
std::once_flag g_stop_pipe_once;

struct sigaction g_previous_int;
struct sigaction g_previous_term;
std::atomic<int> g_installed{0};

int stop_fd()
{
    std::call_once(g_stop_pipe_once, [] {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_stop_read.store(fds[0]);
            g_stop_write.store(fds[1]);
        }
    });
    return g_stop_read.load();
}

void signal_stop() noexcept
{
    const int saved = errno;
    g_stop.store(1);
    const int fd = g_stop_write.load();
    if (fd >= 0) {
        const char byte = 1;
        const ssize_t ignored = ::write(fd, &byte, 1);  // full pipe: already signalled
        (void)ignored;
    }
    errno = saved;
}

extern "C" void on_stop_signal(int /*signal_number*/)
{
    signal_stop();
}

// ----------------------------------------------------- endpoints we created

// The socket file each listening descriptor made, so that closing removes
// that file and never one that somebody put in its place since.
struct FileIdentity {
    dev_t device;
    ino_t inode;
};
std::mutex g_files_lock;
std::map<int, FileIdentity> g_files;

std::string errno_text(int error)
{
    return std::strerror(error);
}

bool socket_address(const std::string& name, sockaddr_un& address, std::string& error)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof address.sun_path) {
        error = "endpoint path must have 1 to " + std::to_string(sizeof address.sun_path - 1) +
                " characters";
        return false;
    }
    std::memcpy(address.sun_path, name.data(), name.size());
    return true;
}

// Makes the directory that will hold the socket (one level) with mode 0755
// when it is missing, and refuses one that anybody but root and the
// listener's user could change: they could swap the socket for their own,
// or plant a lock file.
bool ensure_directory(const std::string& name, std::string& error)
{
    const std::filesystem::path folder = std::filesystem::path(name).parent_path();
    const std::string parent = folder.empty() ? std::string(".") : folder.string();
    struct stat st{};
    if (::stat(parent.c_str(), &st) != 0) {
        if (errno != ENOENT || (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)) {
            error = "cannot make directory " + parent + ": " + errno_text(errno);
            return false;
        }
        ::chmod(parent.c_str(), 0755);  // whatever the umask took away
    } else if (!S_ISDIR(st.st_mode)) {
        error = parent + " is not a directory";
        return false;
    }
    const std::string why = unsafe_directory_reason(parent);
    if (!why.empty()) {
        error = "refusing the endpoint directory " + smart::sanitize_text(parent) + ": " + why;
        return false;
    }
    return true;
}

// The lock beside the endpoint (NAME.lock): held while deciding whether a
// socket is stale, replacing it and binding, and while removing our own at
// the end, so that two listeners never both remove and re-create the name.
// -1 with the reason in `error` when it cannot be had within a few seconds.
int take_lock(const std::string& name, std::string& error)
{
    const std::string path = name + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open the lock file " + path + ": " + errno_text(errno);
        return -1;
    }
    for (int attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return fd;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || attempt >= 500) {
            error = "cannot lock " + path + ": " +
                    (errno == EWOULDBLOCK ? std::string("another listener keeps holding it")
                                          : errno_text(errno));
            ::close(fd);
            return -1;
        }
        ::usleep(10000);
    }
}

void release_lock(int fd)
{
    if (fd >= 0) {
        ::close(fd);  // closing drops the flock
    }
}

// What is at `name` now: nothing, a socket nobody accepts on (removed
// here), or a reason to refuse.
bool clear_old_socket(const std::string& name, const sockaddr_un& address, std::string& error)
{
    struct stat st{};
    if (::lstat(name.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = "cannot examine " + name + ": " + errno_text(errno);
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        error = name + " exists and is not a socket; refusing to replace it";
        return false;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        error = "socket: " + errno_text(errno);
        return false;
    }
    const int connected =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int connect_error = errno;
    ::close(probe);
    if (connected == 0 || connect_error == EAGAIN || connect_error == EINPROGRESS) {
        error = "another listener is already accepting on " + name + "; not starting";
        return false;
    }
    if (connect_error != ECONNREFUSED) {
        error = "cannot tell whether " + name + " is in use: " + errno_text(connect_error);
        return false;
    }
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the stale socket " + name + ": " + errno_text(errno);
        return false;
    }
    return true;
}

}  // namespace

const char* default_name()
{
    return "/run/platewise/PlatewisePipe";
}

Handle create_endpoint(const std::string& name, std::uint32_t mode, std::string& error)
{
    sockaddr_un address;
    if (!socket_address(name, address, error) || !ensure_directory(name, error)) {
        return invalid_handle;
    }
    const int lock = take_lock(name, error);
    if (lock < 0) {
        return invalid_handle;
    }
    if (!clear_old_socket(name, address, error)) {
        release_lock(lock);
        return invalid_handle;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = "socket: " + errno_text(errno);
        release_lock(lock);
        return invalid_handle;
    }
    // The file appears with its final mode: no chmod by name afterwards,
    // which could reach a file put in its place.
    const mode_t old_mask = ::umask(static_cast<mode_t>(~mode & 0777));
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bind_error = errno;
    ::umask(old_mask);
    struct stat st{};
    if (bound != 0) {
        error = "cannot bind " + name + ": " + errno_text(bind_error);
    } else if (::lstat(name.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        error = "cannot examine " + name + " after bind: " + errno_text(errno);
    } else if ((st.st_mode & 07777) != (mode & 07777)) {
        error = "the socket " + name + smart::format_text(" got mode %04o instead of %04o",
                                                          static_cast<unsigned>(st.st_mode & 07777),
                                                          static_cast<unsigned>(mode & 07777));
    } else if (::listen(fd, 64) != 0) {
        error = "cannot listen on " + name + ": " + errno_text(errno);
    } else {
        {
            const std::lock_guard<std::mutex> hold(g_files_lock);
            g_files[fd] = FileIdentity{st.st_dev, st.st_ino};
        }
        release_lock(lock);
        stop_fd();
        return fd;
    }
    ::close(fd);
    if (bound == 0) {
        ::unlink(name.c_str());
    }
    release_lock(lock);
    return invalid_handle;
}

void install_stop_signals()
{
    stop_fd();
    if (g_installed.fetch_add(1) != 0) {
        return;
    }
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked call returns with EINTR
    ::sigaction(SIGINT, &action, &g_previous_int);
    ::sigaction(SIGTERM, &action, &g_previous_term);
}

void restore_stop_signals()
{
    if (g_installed.fetch_sub(1) != 1) {
        return;
    }
    ::sigaction(SIGINT, &g_previous_int, nullptr);
    ::sigaction(SIGTERM, &g_previous_term, nullptr);
}

void request_stop()
{
    stop_fd();
    signal_stop();
}

bool stop_requested()
{
    return g_stop.load() != 0;
}

void clear_stop()
{
    const int fd = stop_fd();
    char drain[64];
    while (fd >= 0 && ::read(fd, drain, sizeof drain) > 0) {
    }
    g_stop.store(0);
}

AcceptStatus accept_connection(Handle endpoint, Handle& connection, std::string& error)
{
    const int fd = static_cast<int>(endpoint);
    for (;;) {
        if (stop_requested()) {
            return AcceptStatus::stopped;
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "poll: " + errno_text(errno);
            return AcceptStatus::failed;
        }
        if (stop_requested()) {
            return AcceptStatus::stopped;
        }
        if ((waits[0].revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
            continue;
        }
        const int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) {
            connection = accepted;
            return AcceptStatus::accepted;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            continue;
        }
        error = "accept: " + errno_text(errno);
        return AcceptStatus::failed;
    }
}

PeerCheck check_peer(Handle connection, const PeerPolicy& policy)
{
    PeerCheck check;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(static_cast<int>(connection), SOL_SOCKET, SO_PEERCRED, &credentials, &size) !=
            0 ||
        size != sizeof credentials) {
        check.peer = "unidentified peer (SO_PEERCRED: " + errno_text(errno) + ")";
        return check;
    }
    check.peer = "uid " + std::to_string(credentials.uid) + ", pid " + std::to_string(credentials.pid);
    check.uid = static_cast<std::int64_t>(credentials.uid);
    check.privileged = credentials.uid == 0 || credentials.uid == ::geteuid();
    check.admitted = credentials.uid == 0 || credentials.uid == ::geteuid() ||
                     std::find(policy.extra_uids.begin(), policy.extra_uids.end(),
                               credentials.uid) != policy.extra_uids.end();
    return check;
}

ReadResult read_message(Handle connection, std::uint8_t* buffer, std::size_t wanted,
                        std::uint32_t timeout_ms)
{
    using clock = std::chrono::steady_clock;
    const int fd = static_cast<int>(connection);
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    ReadResult result;
    while (result.received < wanted) {
        if (stop_requested()) {
            result.status = ReadStatus::stopped;
            return result;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            result.status = ReadStatus::timed_out;
            return result;
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        const int ready = ::poll(waits, 2, static_cast<int>(left.count()));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = "poll: " + errno_text(errno);
            result.status = ReadStatus::failed;
            return result;
        }
        if (ready == 0 || waits[0].revents == 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer + result.received, wanted - result.received, MSG_DONTWAIT);
        if (n > 0) {
            result.received += static_cast<std::size_t>(n);
        } else if (n == 0) {
            result.status = ReadStatus::closed;
            return result;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            result.error = errno_text(errno);
            result.status = ReadStatus::failed;
            return result;
        }
    }
    result.status = ReadStatus::full;
    return result;
}

TailStatus read_tail(Handle connection, std::uint32_t wait_ms)
{
    using clock = std::chrono::steady_clock;
    const int fd = static_cast<int>(connection);
    const auto deadline = clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        std::uint8_t byte = 0;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
        if (n > 0) {
            return TailStatus::more_data;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return TailStatus::closed;  // end of stream, or a reset after it
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0 || stop_requested()) {
            return TailStatus::silent;
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        ::poll(waits, 2, static_cast<int>(left.count()));
    }
}

void close_connection(Handle connection)
{
    if (connection != invalid_handle) {
        ::close(static_cast<int>(connection));
    }
}

void close_endpoint(Handle endpoint, const std::string& name)
{
    if (endpoint == invalid_handle) {
        return;
    }
    const int fd = static_cast<int>(endpoint);
    FileIdentity identity{};
    bool known = false;
    {
        const std::lock_guard<std::mutex> lock(g_files_lock);
        const auto found = g_files.find(fd);
        if (found != g_files.end()) {
            identity = found->second;
            known = true;
            g_files.erase(found);
        }
    }
    ::close(fd);
    if (!known) {
        return;
    }
    // Under the lock: a listener starting now cannot have put its own
    // socket there between the look and the removal.
    std::string error;
    const int lock = take_lock(name, error);
    struct stat st{};
    if (::lstat(name.c_str(), &st) == 0 && st.st_dev == identity.device &&
        st.st_ino == identity.inode) {
        ::unlink(name.c_str());
    }
    release_lock(lock);
}

}  // namespace platewise::endpoint
