// The real testservice binary as a daemon: it sends snapshots to the real
// endpoint (in a /run of the test's own), talks to systemd's notify socket,
// logs start and stop, and ends with status 0 on SIGTERM.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../bound_socket.h"
#include "../private_run.h"
#include "../temp_dir.h"
#include "service.h"

extern char** environ;

namespace {

bool readable_within(int fd, int milliseconds)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) == 1;
}

std::vector<std::uint8_t> read_message(int listener)
{
    std::vector<std::uint8_t> bytes;
    if (!readable_within(listener, 15000)) {
        return bytes;
    }
    const int connection = ::accept(listener, nullptr, nullptr);
    std::uint8_t chunk[8192];
    while (readable_within(connection, 5000)) {
        const ssize_t n = ::read(connection, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(connection);
    return bytes;
}

std::string notifications(int fd)
{
    std::string text;
    char datagram[512];
    while (readable_within(fd, 0)) {
        const ssize_t n = ::recv(fd, datagram, sizeof datagram, 0);
        if (n <= 0) {
            break;
        }
        text.append(datagram, static_cast<std::size_t>(n));
        text += '|';
    }
    return text;
}

// The count byte this machine should give: the drives that open, the
// physical disks of /sys/block in order, plus one.
int expected_count()
{
    int count = 1;
    for (std::int32_t n = 0; n < kDriveSlots; ++n) {
        const platform::DriveOpenResult opened = platform::open_drive_device(n);
        if (opened.failure != platform::OpenFailure::none) {
            break;
        }
        platform::close_drive(opened.handle);
        ++count;
    }
    return count;
}

TEST(TestserviceProcess, SendsSnapshotsAndStopsCleanlyOnSigterm)
{
    std::string reason;
    if (!enter_private_run(&reason)) {
        GTEST_SKIP() << reason;
    }
    const std::string endpoint = platform::pipe_name;
    ASSERT_EQ(::mkdir("/run/platewise", 0755), 0) << std::strerror(errno);
    const int listener = bound_socket(endpoint, SOCK_STREAM);
    ASSERT_GE(listener, 0) << std::strerror(errno);
    ASSERT_EQ(::listen(listener, 4), 0);
    const int nvme_listener = bound_socket(platform::nvme_pipe_name, SOCK_STREAM);
    ASSERT_GE(nvme_listener, 0) << std::strerror(errno);
    ASSERT_EQ(::listen(nvme_listener, 4), 0);

    TempDir dir;
    const int notify = bound_socket(dir / "notify", SOCK_DGRAM);
    ASSERT_GE(notify, 0);

    const std::string appdata = "APPDATA=" + dir.path();
    const std::string notify_socket = "NOTIFY_SOCKET=" + (dir / "notify");
    char* const argv[] = {const_cast<char*>(PLATEWISE_TESTSERVICE), nullptr};
    const std::string tsan_options = environment_entry("TSAN_OPTIONS");
    char* const envp[] = {const_cast<char*>(appdata.c_str()), const_cast<char*>(notify_socket.c_str()),
                          const_cast<char*>("PATH=/usr/bin:/bin"),
                          tsan_options.empty() ? nullptr : const_cast<char*>(tsan_options.c_str()),
                          nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, PLATEWISE_TESTSERVICE, nullptr, nullptr, argv, envp), 0);

    const int count = expected_count();
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<std::uint8_t> message = read_message(listener);
        ASSERT_EQ(message.size(), 49185u) << "pass " << pass;
        EXPECT_EQ(message[0], count) << "pass " << pass;
        // Then the NVMe snapshot of the same pass, on its own endpoint.
        const std::vector<std::uint8_t> nvme = read_message(nvme_listener);
        ASSERT_EQ(nvme.size(), 278800u) << "pass " << pass;
        EXPECT_EQ(std::memcmp(nvme.data(), "PWNVME\r\n\x01\x00", 10), 0) << "pass " << pass;
        EXPECT_EQ(nvme[10], count) << "pass " << pass;
    }

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string log = read_file(dir / "platewise_s.log");
    const auto started = log.find("> Monitoring started.\n");
    const auto stopped = log.find("> Monitoring stopped.\n");
    EXPECT_NE(started, std::string::npos) << log;
    EXPECT_NE(stopped, std::string::npos) << log;
    EXPECT_LT(started, stopped);
    if (count == 1) {
        // Drive 0 did not open: its line quotes its path (the disk's /dev
        // node, or the /sys/block folder when there is no disk).
        char path[100];
        platform::drive_device_path(0, path, sizeof path);
        const bool quoted = log.find("> Path [" + std::string(path) + "] : ") != std::string::npos ||
                            log.find("> Error opening path [" + std::string(path) + "], error ") !=
                                std::string::npos;
        EXPECT_TRUE(quoted) << path << "\n" << log;
    }

    const std::string notes = notifications(notify);
    EXPECT_NE(notes.find("READY=1"), std::string::npos) << notes;
    EXPECT_NE(notes.find("STOPPING=1"), std::string::npos) << notes;

    ::close(notify);
    ::close(listener);
    ::close(nvme_listener);
    ::unlink(endpoint.c_str());
    ::unlink(platform::nvme_pipe_name);
}

TEST(TestserviceProcess, UnwritableLogAtStartEndsWithStatus255)
{
    TempDir dir;
    const std::string appdata = "APPDATA=" + (dir / "missing");
    char* const argv[] = {const_cast<char*>(PLATEWISE_TESTSERVICE), nullptr};
    char* const envp[] = {const_cast<char*>(appdata.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, PLATEWISE_TESTSERVICE, nullptr, nullptr, argv, envp), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

}  // namespace
