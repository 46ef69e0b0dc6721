// The notify protocol against real AF_UNIX datagram sockets, abstract and
// path, and the addresses that must be refused without sending anything.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../testservice/temp_dir.h"
#include "systemd_notify.h"

namespace {

// A datagram socket bound to `address` in the notation of NOTIFY_SOCKET,
// with SO_PASSCRED so that each datagram says which process sent it.
int bound_receiver(const std::string& address)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, address.data(), address.size());
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    if (address[0] == '@') {
        local.sun_path[0] = '\0';
    } else {
        ++size;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), size) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Datagram {
    bool received = false;
    std::string text;
    pid_t sender = 0;
};

Datagram receive(int fd)
{
    Datagram d;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) {
        return d;
    }
    char bytes[256];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec io{bytes, sizeof bytes};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0) {
        return d;
    }
    d.received = true;
    d.text.assign(bytes, static_cast<std::size_t>(n));
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            d.sender = credentials.pid;
        }
    }
    return d;
}

TEST(SystemdNotify, OneDatagramToAbstractAndPathSocketsAndRefusalsOfBadAddresses)
{
    TempDir dir;
    const std::string abstract = "@platewise-notify-test-" + std::to_string(::getpid());
    const std::string path = dir / "notify";
    const std::string unbound_path = dir / "nobody";
    const std::string abstract_nobody = abstract + "-nobody";
    const std::string too_long = "/" + std::string(sizeof(sockaddr_un::sun_path), 'x');
    const std::string longest_abstract = "@" + std::string(sizeof(sockaddr_un::sun_path) - 1, 'n');
    struct Row {
        const char* what;
        const char* address;    // as NOTIFY_SOCKET would carry it; null: unset
        bool bound;             // a receiver listens on `address`
        int result;
    };
    const Row rows[] = {
        {"abstract socket", abstract.c_str(), true, 1},
        {"path socket", path.c_str(), true, 1},
        {"longest abstract name", longest_abstract.c_str(), true, 1},
        {"unset: no manager asked", nullptr, false, 0},
        {"empty", "", false, -EINVAL},
        {"relative path", "notify", false, -EINVAL},
        {"lone @", "@", false, -EINVAL},
        {"lone /", "/", false, -EINVAL},
        {"path longer than sun_path", too_long.c_str(), false, -EINVAL},
        {"path nobody bound", unbound_path.c_str(), false, -ENOENT},
        {"abstract name nobody bound", abstract_nobody.c_str(), false, -ECONNREFUSED},
    };
    const char* const state = "STOPPING=1\nSTATUS=Monitoring stopped";
    for (const Row& row : rows) {
        const int receiver = row.bound ? bound_receiver(row.address) : -1;
        if (row.bound) {
            ASSERT_GE(receiver, 0) << row.what << ": " << std::strerror(errno);
        }
        EXPECT_EQ(systemd::notify_socket_send(row.address, state), row.result) << row.what;
        if (row.bound) {
            const Datagram first = receive(receiver);
            EXPECT_TRUE(first.received) << row.what;
            EXPECT_EQ(first.text, state) << row.what << ": the text alone, no terminator";
            EXPECT_EQ(first.sender, ::getpid()) << row.what << ": NotifyAccess=main knows the sender";
            EXPECT_FALSE(receive(receiver).received) << row.what << ": one datagram";
            ::close(receiver);
        }
    }
}

TEST(SystemdNotify, TheAddressComesFromNotifySocket)
{
    const std::string abstract = "@platewise-notify-env-" + std::to_string(::getpid());
    const int receiver = bound_receiver(abstract);
    ASSERT_GE(receiver, 0);
    ::setenv("NOTIFY_SOCKET", abstract.c_str(), 1);
    EXPECT_EQ(systemd::notify_service_manager("READY=1\nSTATUS=Monitoring drives"), 1);
    EXPECT_EQ(receive(receiver).text, "READY=1\nSTATUS=Monitoring drives");
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(systemd::notify_service_manager("READY=1"), 0);
    EXPECT_FALSE(receive(receiver).received);
    ::close(receiver);
}

}  // namespace
