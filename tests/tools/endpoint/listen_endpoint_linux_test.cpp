// The Linux listening endpoint over real Unix-domain sockets: creation,
// modes, what it does with an existing path, reads with time-out, and stop
// requests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstring>
#include <thread>
#include <vector>

#include "unix_connect.h"
#include "../../testservice/temp_dir.h"
#include "endpoint/listen_endpoint.h"

namespace {

namespace ep = platewise::endpoint;

mode_t mode_of(const std::string& path)
{
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class ListenEndpoint : public ::testing::Test {
protected:
    void SetUp() override
    {
        ep::clear_stop();
        path = dir / "PlatewisePipe";
    }
    void TearDown() override { ep::clear_stop(); }
    TempDir dir;
    std::string path;
};

TEST_F(ListenEndpoint, DefaultNameIsTheServicesEndpoint)
{
    EXPECT_STREQ(ep::default_name(), "/run/platewise/PlatewisePipe");
}

TEST_F(ListenEndpoint, CreatesTheSocketWithTheModeAndItsDirectory)
{
    struct Row {
        std::uint32_t mode;
    };
    // Whatever the process's umask: the socket is born with its mode.
    const std::vector<std::pair<std::uint32_t, mode_t>> rows = {
        {0600u, 022}, {0660u, 022}, {0666u, 022}, {0666u, 0777}, {0600u, 0}};
    for (const auto& [mode, mask] : rows) {
        const std::string nested =
            dir / ("run-" + std::to_string(mode) + "-" + std::to_string(mask)) + "/PlatewisePipe";
        std::string error;
        const mode_t old_mask = ::umask(mask);
        const ep::Handle listener = ep::create_endpoint(nested, mode, error);
        EXPECT_EQ(::umask(old_mask), mask) << "the umask is put back";
        ASSERT_NE(listener, ep::invalid_handle) << error;
        EXPECT_TRUE(S_ISSOCK(mode_of(nested)));
        EXPECT_EQ(mode_of(nested) & 07777, mode);
        const std::string parent = std::filesystem::path(nested).parent_path().string();
        EXPECT_EQ(mode_of(parent) & 07777, 0755u);
        ep::close_endpoint(listener, nested);
        EXPECT_EQ(mode_of(nested), 0u) << "socket file removed";
    }
}

// A directory another user could change would let them swap the socket
// between its creation and any later step, or plant the lock file.
TEST_F(ListenEndpoint, RefusesADirectoryOthersCanChange)
{
    struct Row {
        std::string folder;
        mode_t mode;
        uid_t owner;
        std::string says;
    };
    std::vector<Row> rows = {
        {"everybody", 0777, 0, "writable by everybody (mode 0777)"},
        {"sticky", 01777, 0, "writable by everybody (mode 1777)"},
        {"group", 0770, 0, "writable by its group (mode 0770)"},
    };
    if (::geteuid() == 0) {
        rows.push_back({"theirs", 0755, 65534, "belongs to uid 65534"});
    }
    for (const Row& row : rows) {
        const std::string folder = dir / row.folder;
        ::mkdir(folder.c_str(), 0700);
        ::chmod(folder.c_str(), row.mode);
        if (row.owner != 0) {
            ASSERT_EQ(::chown(folder.c_str(), row.owner, row.owner), 0);
        }
        std::string error;
        EXPECT_EQ(ep::create_endpoint(folder + "/PlatewisePipe", 0600, error), ep::invalid_handle)
            << row.folder;
        EXPECT_NE(error.find("refusing the endpoint directory " + folder), std::string::npos) << error;
        EXPECT_NE(error.find(row.says), std::string::npos) << error;
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << "nothing made in " << folder;
    }
    // A folder above it that others can change is just as bad.
    ::mkdir((dir / "open").c_str(), 0777);
    ::chmod((dir / "open").c_str(), 0777);
    std::string error;
    EXPECT_EQ(ep::create_endpoint(dir / "open/run/PlatewisePipe", 0600, error), ep::invalid_handle);
    EXPECT_NE(error.find("the folder above it"), std::string::npos) << error;
}

// Two listeners started at once beside a stale socket: without a lock both
// could remove it and bind, one of them on a name that no longer exists.
TEST_F(ListenEndpoint, OfListenersStartedAtOnceExactlyOneListens)
{
    for (int round = 0; round < 30; ++round) {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);

        constexpr int kListeners = 4;
        std::vector<ep::Handle> handles(kListeners, ep::invalid_handle);
        std::vector<std::string> errors(kListeners);
        std::atomic<int> ready{0};
        std::vector<std::thread> starters;
        for (int i = 0; i < kListeners; ++i) {
            starters.emplace_back([&, i] {
                ++ready;
                while (ready < kListeners) {
                }
                handles[i] = ep::create_endpoint(path, 0600, errors[i]);
            });
        }
        for (std::thread& t : starters) {
            t.join();
        }
        int listening = 0;
        ep::Handle winner = ep::invalid_handle;
        for (int i = 0; i < kListeners; ++i) {
            if (handles[i] != ep::invalid_handle) {
                ++listening;
                winner = handles[i];
            } else {
                EXPECT_NE(errors[i].find("another listener is already accepting"), std::string::npos)
                    << errors[i];
            }
        }
        ASSERT_EQ(listening, 1) << "round " << round;
        // The name leads to the one that listens.
        const int peer = connect_to(path);
        ASSERT_GE(peer, 0) << "round " << round;
        ep::Handle connection = ep::invalid_handle;
        std::string error;
        ASSERT_EQ(ep::accept_connection(winner, connection, error), ep::AcceptStatus::accepted);
        ep::close_connection(connection);
        ::close(peer);
        ep::close_endpoint(winner, path);
        ASSERT_EQ(mode_of(path), 0u);
    }
}

TEST_F(ListenEndpoint, RefusesWhenSomethingAcceptsThere)
{
    std::string error;
    const ep::Handle first = ep::create_endpoint(path, 0600, error);
    ASSERT_NE(first, ep::invalid_handle) << error;
    EXPECT_EQ(ep::create_endpoint(path, 0600, error), ep::invalid_handle);
    EXPECT_NE(error.find("another listener is already accepting on " + path), std::string::npos) << error;
    // The live endpoint is untouched.
    const int peer = connect_to(path);
    EXPECT_GE(peer, 0);
    ::close(peer);
    ep::close_endpoint(first, path);
}

TEST_F(ListenEndpoint, ReplacesAStaleSocket)
{
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);  // the file stays, nobody listens
    std::string error;
    const ep::Handle listener = ep::create_endpoint(path, 0600, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    const int peer = connect_to(path);
    EXPECT_GE(peer, 0);
    ::close(peer);
    ep::close_endpoint(listener, path);
}

TEST_F(ListenEndpoint, RefusesWhatIsNotASocket)
{
    {
        std::ofstream(path) << "keep me";
    }
    std::string error;
    EXPECT_EQ(ep::create_endpoint(path, 0600, error), ep::invalid_handle);
    EXPECT_NE(error.find("exists and is not a socket"), std::string::npos) << error;
    EXPECT_EQ(read_file(path), "keep me");

    ::mkdir((dir / "d").c_str(), 0700);
    EXPECT_EQ(ep::create_endpoint(dir / "d", 0600, error), ep::invalid_handle);
    EXPECT_EQ(ep::create_endpoint(path + "/x", 0600, error), ep::invalid_handle);
    EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
    EXPECT_EQ(ep::create_endpoint(dir / std::string(120, 'x'), 0600, error), ep::invalid_handle);
    EXPECT_NE(error.find("characters"), std::string::npos) << error;
}

TEST_F(ListenEndpoint, ClosingLeavesAFileThatReplacedOurs)
{
    std::string error;
    const ep::Handle listener = ep::create_endpoint(path, 0600, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    ::unlink(path.c_str());
    std::ofstream(path) << "someone else's";
    ep::close_endpoint(listener, path);
    EXPECT_EQ(read_file(path), "someone else's");
}

TEST_F(ListenEndpoint, ReadsWholeShortAndSilentMessages)
{
    std::string error;
    const ep::Handle listener = ep::create_endpoint(path, 0600, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    std::uint8_t buffer[100];

    // Whole: exactly the wanted bytes, then the peer closes.
    int peer = connect_to(path);
    ASSERT_EQ(::write(peer, "0123456789", 10), 10);
    ep::Handle connection = ep::invalid_handle;
    ASSERT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::accepted);
    // The peer is this process: its own user, always admitted.
    const ep::PeerCheck check = ep::check_peer(connection, {});
    EXPECT_TRUE(check.admitted);
    EXPECT_EQ(check.peer, "uid " + std::to_string(::geteuid()) + ", pid " + std::to_string(::getpid()));
    ep::ReadResult r = ep::read_message(connection, buffer, 10, 2000);
    EXPECT_EQ(r.status, ep::ReadStatus::full);
    EXPECT_EQ(r.received, 10u);
    ::close(peer);
    EXPECT_EQ(ep::read_tail(connection, 2000), ep::TailStatus::closed);
    ep::close_connection(connection);

    // More than wanted.
    peer = connect_to(path);
    ASSERT_EQ(::write(peer, "0123456789X", 11), 11);
    ASSERT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::accepted);
    r = ep::read_message(connection, buffer, 10, 2000);
    EXPECT_EQ(r.status, ep::ReadStatus::full);
    EXPECT_EQ(ep::read_tail(connection, 2000), ep::TailStatus::more_data);
    ep::close_connection(connection);
    ::close(peer);

    // Short, then closed.
    peer = connect_to(path);
    ASSERT_EQ(::write(peer, "0123", 4), 4);
    ::close(peer);
    ASSERT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::accepted);
    r = ep::read_message(connection, buffer, 10, 2000);
    EXPECT_EQ(r.status, ep::ReadStatus::closed);
    EXPECT_EQ(r.received, 4u);
    ep::close_connection(connection);

    // Silent: the time-out ends it.
    peer = connect_to(path);
    ASSERT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::accepted);
    const auto started = std::chrono::steady_clock::now();
    r = ep::read_message(connection, buffer, 10, 300);
    const auto spent = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.status, ep::ReadStatus::timed_out);
    EXPECT_GE(spent, std::chrono::milliseconds(290));
    EXPECT_LT(spent, std::chrono::seconds(3));
    // Whole but silent afterwards: the tail wait gives up.
    EXPECT_EQ(ep::read_tail(connection, 100), ep::TailStatus::silent);
    ep::close_connection(connection);
    ::close(peer);

    ep::close_endpoint(listener, path);
}

TEST_F(ListenEndpoint, StopRequestEndsAcceptAndRead)
{
    std::string error;
    const ep::Handle listener = ep::create_endpoint(path, 0600, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ep::request_stop();
    });
    ep::Handle connection = ep::invalid_handle;
    EXPECT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::stopped);
    stopper.join();
    EXPECT_TRUE(ep::stop_requested());

    const int peer = connect_to(path);
    ep::clear_stop();
    EXPECT_FALSE(ep::stop_requested());
    ASSERT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::accepted);
    std::thread stopper2([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ep::request_stop();
    });
    std::uint8_t buffer[10];
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ep::read_message(connection, buffer, 10, 30000).status, ep::ReadStatus::stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    stopper2.join();
    ep::close_connection(connection);
    ::close(peer);
    ep::close_endpoint(listener, path);
}

TEST_F(ListenEndpoint, SigtermIsAStopRequestWhileInstalled)
{
    ep::install_stop_signals();
    std::string error;
    const ep::Handle listener = ep::create_endpoint(path, 0600, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    std::thread signaller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(::getpid(), SIGTERM);
    });
    ep::Handle connection = ep::invalid_handle;
    EXPECT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::stopped);
    signaller.join();
    ep::close_endpoint(listener, path);
    ep::restore_stop_signals();
}

}  // namespace
