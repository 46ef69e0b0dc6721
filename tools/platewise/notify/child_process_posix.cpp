// run_child on POSIX systems: posix_spawn into a process group of its own,
// standard input and output over socket pairs (a write to a child that
// closed its input gives EPIPE, never SIGPIPE), a poll loop with the
// deadline, and SIGKILL to the group when the deadline passes.
#include "notify/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace platewise::notify {

namespace {

// A descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset()
    {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

bool make_pair(Fd& ours, Fd& theirs)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    ours.fd = fds[0];
    theirs.fd = fds[1];
    return true;
}

std::int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Spawn attributes and file actions destroyed on every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    bool attr_ok = false;
    bool actions_ok = false;
    SpawnSetup()
    {
        attr_ok = posix_spawnattr_init(&attr) == 0;
        actions_ok = posix_spawn_file_actions_init(&actions) == 0;
    }
    ~SpawnSetup()
    {
        if (attr_ok) {
            posix_spawnattr_destroy(&attr);
        }
        if (actions_ok) {
            posix_spawn_file_actions_destroy(&actions);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::vector<std::string> inherited_environment(const std::string& drop_prefix)
{
    std::vector<std::string> out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry(*e);
        if (!drop_prefix.empty() && entry.compare(0, drop_prefix.size(), drop_prefix) == 0) {
            continue;
        }
        out.push_back(entry);
    }
    return out;
}

ChildResult run_child(const ChildRequest& request)
{
    ChildResult result;
    if (request.argv.empty() || request.argv[0].empty()) {
        result.error = "no program";
        return result;
    }
    Fd in_ours, in_theirs, out_ours, out_theirs;
    if (!make_pair(in_ours, in_theirs) || !make_pair(out_ours, out_theirs)) {
        result.error = std::string("socketpair: ") + std::strerror(errno);
        return result;
    }
    // The child reads only; we write only (and the other way round).
    ::shutdown(in_ours.fd, SHUT_RD);
    ::shutdown(out_ours.fd, SHUT_WR);

    SpawnSetup setup;
    if (!setup.attr_ok || !setup.actions_ok) {
        result.error = "posix_spawn set-up failed";
        return result;
    }
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (const int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, s);
    }
    posix_spawnattr_setsigmask(&setup.attr, &empty);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_adddup2(&setup.actions, in_theirs.fd, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out_theirs.fd, 1);
    posix_spawn_file_actions_adddup2(&setup.actions, out_theirs.fd, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Nothing else of the listener's (sockets, the history) reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif

    std::vector<char*> argv;
    for (const std::string& a : request.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : request.environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, request.argv[0].c_str(), &setup.actions, &setup.attr,
                                      argv.data(), envp.data());
    in_theirs.reset();
    out_theirs.reset();
    if (spawned != 0) {
        result.error = request.argv[0] + ": " + std::strerror(spawned);
        return result;
    }
    result.started = true;

    ::fcntl(in_ours.fd, F_SETFL, ::fcntl(in_ours.fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(out_ours.fd, F_SETFL, ::fcntl(out_ours.fd, F_GETFL) | O_NONBLOCK);
    std::size_t written = 0;
    if (request.input.empty()) {
        in_ours.reset();
    }
    const std::int64_t deadline = now_ms() + request.time_limit_ms;
    bool exited = false;
    int status = 0;
    std::int64_t exited_at = 0;
    char buffer[4096];
    for (;;) {
        if (!exited) {
            const pid_t w = ::waitpid(pid, &status, WNOHANG);
            if (w == pid) {
                exited = true;
                exited_at = now_ms();
            }
        }
        // Done when it has exited and its output is closed, or (something it
        // started still holding the output) a moment after it exited.
        if (exited && (out_ours.fd < 0 || now_ms() - exited_at > 200)) {
            break;
        }
        const std::int64_t left = deadline - now_ms();
        if (left <= 0 || (request.cancel != nullptr && request.cancel->load())) {
            result.timed_out = !exited;
            break;
        }
        pollfd fds[2];
        nfds_t n = 0;
        if (out_ours.fd >= 0) {
            fds[n++] = {out_ours.fd, POLLIN, 0};
        }
        if (in_ours.fd >= 0) {
            fds[n++] = {in_ours.fd, POLLOUT, 0};
        }
        // Short waits: the child's exit is noticed by waitpid, not by poll.
        const int wait = static_cast<int>(left < 50 ? left : 50);
        if (n == 0) {
            ::poll(nullptr, 0, wait);
            continue;
        }
        if (::poll(fds, n, wait) < 0 && errno != EINTR) {
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].fd == out_ours.fd) {
                const ssize_t got = ::read(out_ours.fd, buffer, sizeof buffer);
                if (got > 0) {
                    const std::size_t room = kMaxChildOutput - result.output.size();
                    result.output.append(buffer, static_cast<std::size_t>(got) < room
                                                     ? static_cast<std::size_t>(got)
                                                     : room);
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    out_ours.reset();
                }
            } else if (fds[i].fd == in_ours.fd) {
                const ssize_t put = ::send(in_ours.fd, request.input.data() + written,
                                           request.input.size() - written, MSG_NOSIGNAL);
                if (put > 0) {
                    written += static_cast<std::size_t>(put);
                    if (written == request.input.size()) {
                        in_ours.reset();
                    }
                } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
                    in_ours.reset();  // it closed its input: fine
                }
            }
        }
    }
    // A program still running past its limit goes, with whatever it started
    // (a mail transport's delivery process left behind after a clean exit
    // is not ours to end).
    if (!exited) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    if (result.timed_out) {
        result.signal = SIGKILL;
        result.exit_code = -1;
    }
    return result;
}

}  // namespace platewise::notify
