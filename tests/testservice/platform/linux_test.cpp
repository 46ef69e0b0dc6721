// The Linux platform against the real kernel: device names, open failures,
// and the snapshot transport over a real Unix-domain socket.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "../temp_dir.h"
#include "service.h"

namespace {

TEST(LinuxDrives, DriveNumbersNameDisksAsTheKernelDoes)
{
    struct Row { std::int32_t number; const char* path; };
    const Row rows[] = {{0, "/dev/sda"},     {1, "/dev/sdb"},     {25, "/dev/sdz"},
                        {26, "/dev/sdaa"},   {27, "/dev/sdab"},   {51, "/dev/sdaz"},
                        {52, "/dev/sdba"},   {701, "/dev/sdzz"},  {702, "/dev/sdaaa"}};
    for (const Row& row : rows) {
        char path[32];
        platform::drive_device_path(row.number, path, sizeof path);
        EXPECT_STREQ(path, row.path) << row.number;
    }
}

TEST(LinuxDrives, MissingDeviceIsNotFound)
{
    // /dev/sd followed by many letters never exists.
    const platform::DriveOpenResult opened = platform::open_drive_device(700000);
    EXPECT_EQ(opened.failure, platform::OpenFailure::not_found);
    EXPECT_EQ(opened.handle, platform::invalid_drive_handle);
}

// A device without a SCSI layer refuses SG_IO with ENOTTY: the pass-through
// is "not supported" (ENOSYS), and nothing the caller gave is changed.
TEST(LinuxDrives, PassthroughOnDeviceWithoutScsiLayerIsNotSupported)
{
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    TaskFile in{};
    in.sector_count = 1;
    in.command = ATA_IDENTIFY_DEVICE;
    TaskFile prev{};
    const TaskFile in_before = in;
    std::uint8_t data[512];
    std::memset(data, 0xAA, sizeof data);
    errno = 0;
    EXPECT_EQ(run_ata_passthrough(fd, &in, &prev, data, sizeof data), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(std::memcmp(&in, &in_before, sizeof in), 0);
    EXPECT_EQ(data[0], 0xAA);
    EXPECT_EQ(data[511], 0xAA);
    ::close(fd);
}

// The dispatcher in a child process of its own (it takes the process's
// signals), with a service that notes each step to the parent through a pipe:
// H handler registered, R reported running, S stop delivered.
namespace dispatch {

int g_events = -1;
int g_signal = SIGTERM;
int g_stop_at = 0;  // 0: before registration, 1: after it, 2: once running
std::atomic<bool> g_stop_seen{false};

void note(char step)
{
    [[maybe_unused]] const ssize_t n = ::write(g_events, &step, 1);
}

// The signal goes to the process, as kill(1) and systemd send it, and the
// service thread gives the dispatcher time to take it before going on.
void send_stop()
{
    ::kill(::getpid(), g_signal);
    ::usleep(50000);
}

void report(std::uint32_t state)
{
    platform::ServiceStatus status{};
    status.dwCurrentState = state;
    platform::set_service_status(1, &status);
}

void handler(std::uint32_t control)
{
    note(control == platform::SERVICE_CONTROL_STOP ? 'S' : '?');
    g_stop_seen.store(true);
    report(platform::SERVICE_STOPPED);
}

void service_main(std::uint32_t /*argc*/, char** /*argv*/)
{
    if (g_stop_at == 0) {
        send_stop();
    }
    platform::register_control_handler("test", handler);
    note('H');
    if (g_stop_at == 1) {
        send_stop();
    }
    note('R');
    report(platform::SERVICE_RUNNING);
    if (g_stop_at == 2) {
        send_stop();
    }
    for (int i = 0; i < 300 && !g_stop_seen.load(); ++i) {
        ::usleep(10000);
    }
}

}  // namespace dispatch

// A stop is never lost, whenever it comes, and reaches the service only once
// it has reported itself running, as a service manager would deliver it.
TEST(LinuxServiceControl, StopSignalIsDeliveredOnceTheServiceRunsWheneverItCame)
{
    struct Row { const char* when; int stop_at; int signal_number; };
    const Row rows[] = {
        {"before the handler is registered", 0, SIGTERM},
        {"while the service is starting", 1, SIGTERM},
        {"while it runs", 2, SIGTERM},
        {"Ctrl-C before the handler is registered", 0, SIGINT},
    };
    for (const Row& row : rows) {
        int events[2];
        ASSERT_EQ(::pipe2(events, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(events[0]);
            dispatch::g_events = events[1];
            dispatch::g_stop_at = row.stop_at;
            dispatch::g_signal = row.signal_number;
            ::_exit(platform::run_service_dispatcher("test", dispatch::service_main));
        }
        ::close(events[1]);
        std::string steps;
        pollfd p{events[0], POLLIN, 0};
        char step;
        while (::poll(&p, 1, 10000) == 1 && ::read(events[0], &step, 1) == 1) {
            steps += step;
        }
        ::close(events[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status)) << row.when;
        EXPECT_EQ(WEXITSTATUS(status), 0) << row.when;
        EXPECT_EQ(steps, "HRS") << row.when;
    }
}

// A listening socket in a temporary folder.
class Endpoint : public ::testing::Test {
protected:
    void SetUp() override { path = dir / "PlatewisePipe"; }
    void TearDown() override
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    void listen_with_backlog(int backlog)
    {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(fd, backlog), 0);
    }
    static std::vector<std::uint8_t> read_all(int connection)
    {
        std::vector<std::uint8_t> bytes;
        std::uint8_t chunk[8192];
        ssize_t n;
        while ((n = ::read(connection, chunk, sizeof chunk)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }
    static DriveSnapshot sample()
    {
        DriveSnapshot message;
        for (std::size_t i = 0; i < sizeof message; ++i) {
            reinterpret_cast<std::uint8_t*>(&message)[i] = static_cast<std::uint8_t>(i * 31);
        }
        return message;
    }
    TempDir dir;
    std::string path;
    int fd = -1;
};

TEST_F(Endpoint, SnapshotArrivesIntactOverItsOwnConnection)
{
    listen_with_backlog(4);
    const DriveSnapshot message = sample();
    std::vector<std::uint8_t> received;
    std::thread listener([&] {
        const int connection = ::accept(fd, nullptr, nullptr);
        received = read_all(connection);
        ::close(connection);
    });
    EXPECT_TRUE(send_snapshot_to(path.c_str(), &message));
    listener.join();
    ASSERT_EQ(received.size(), 49185u);
    EXPECT_EQ(std::memcmp(received.data(), &message, sizeof message), 0);
}

TEST_F(Endpoint, NobodyListeningFailsAtOnce)
{
    const DriveSnapshot message = sample();
    // No socket file at all.
    EXPECT_FALSE(send_snapshot_to(path.c_str(), &message));
    // A socket file that nobody listens on any more.
    listen_with_backlog(1);
    ::close(fd);
    fd = -1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(send_snapshot_to(path.c_str(), &message));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
        << "refused is not busy: nothing is waited for";
}

TEST_F(Endpoint, BusyListenerIsWaitedForAndThenServed)
{
    // Backlog 0 holds one pending connection; a second makes it busy.
    listen_with_backlog(0);
    int blocker = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::connect(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const DriveSnapshot message = sample();
    std::vector<std::uint8_t> received;
    std::atomic<bool> sending{false};
    std::thread listener([&] {
        while (!sending) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const int first = ::accept(fd, nullptr, nullptr);  // the blocker
        ::close(first);
        const int second = ::accept(fd, nullptr, nullptr);
        received = read_all(second);
        ::close(second);
    });
    sending = true;
    EXPECT_TRUE(send_snapshot_to(path.c_str(), &message));
    listener.join();
    ::close(blocker);
    ASSERT_EQ(received.size(), 49185u);
    EXPECT_EQ(std::memcmp(received.data(), &message, sizeof message), 0);
}

TEST_F(Endpoint, ListenerClosingEarlyIsAFailedWriteNotADeath)
{
    listen_with_backlog(4);
    const platform::PipeOpenResult pipe = platform::open_pipe(path.c_str());
    ASSERT_EQ(pipe.failure, platform::PipeOpenFailure::none);
    const int connection = ::accept(fd, nullptr, nullptr);
    ::close(connection);

    // Without MSG_NOSIGNAL this write would end the process with SIGPIPE.
    const DriveSnapshot message = sample();
    EXPECT_FALSE(platform::write_pipe(pipe.handle, &message, sizeof message));
    platform::close_pipe(pipe.handle);
}

}  // namespace
