// The Windows listening endpoint over real named pipes: which names it
// takes, refusing a name another server owns, who may deliver, reads with
// time-out, peers that close early or send too much, and stop requests. The peers are plain
// Win32 clients (CreateFileW, WriteFile, CloseHandle) on threads of their
// own; every pipe name is this process's own, never the service's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../smart/nvme_test_pages.h"
#include "../../windows/windows_test_support.h"
#include "commands/listen_command.h"
#include "endpoint/listen_endpoint.h"

namespace {

namespace ep = platewise::endpoint;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Opens `name` as a client for writing; INVALID_HANDLE_VALUE with the
// error in `code` when it cannot.
HANDLE open_client(const std::string& name, DWORD* code = nullptr)
{
    const HANDLE pipe = CreateFileW(wintest::widen(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (code != nullptr) {
        *code = pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    return pipe;
}

bool write_all(HANDLE pipe, const std::string& bytes)
{
    if (bytes.empty()) {
        return true;
    }
    DWORD written = 0;
    return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Waits until `flag` is set, at most `limit`, so that a failed test never
// leaves a peer thread waiting for ever.
void wait_for_flag(const std::atomic<bool>& flag, std::chrono::milliseconds limit = 5s)
{
    const auto until = Clock::now() + limit;
    while (!flag && Clock::now() < until) {
        std::this_thread::sleep_for(5ms);
    }
}

// A stop request after `limit` unless cancelled first: a wait that would
// otherwise never end (a client the listener lost) ends as "stopped" and the
// test fails instead of hanging.
class Watchdog {
public:
    explicit Watchdog(std::chrono::milliseconds limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!wake_.wait_for(lock, limit, [this] { return cancelled_; })) {
                  fired_ = true;
                  ep::request_stop();
              }
          })
    {
    }
    ~Watchdog() { cancel(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    // True when it had to stop the wait.
    bool cancel()
    {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

// accept_connection, given at most a few seconds.
ep::AcceptStatus accept_within(ep::Handle listener, ep::Handle& connection, std::string& error)
{
    Watchdog watchdog(5s);
    const ep::AcceptStatus status = ep::accept_connection(listener, connection, error);
    if (watchdog.cancel()) {
        ADD_FAILURE() << "no connection within 5 s: the listener lost its client";
        ep::clear_stop();
    }
    return status;
}

// When a peer closes its end.
enum class Close {
    before_accept,  // writes, closes, and is gone before the listener accepts
    while_reading,  // writes, then closes 100 ms later while the read waits
    after_read,     // writes, waits for the read, writes `later`, closes
    held,           // as after_read, but stays open until the test ends
};

// A client on a thread of its own: connects, writes `first`, and closes as
// `close` says. release() lets an after_read or held peer go on.
class Peer {
public:
    Peer(const std::string& name, std::string first, Close close, std::string later = {})
        : thread_([this, name, first = std::move(first), close, later = std::move(later)] {
              DWORD code = 0;
              const HANDLE pipe = open_client(name, &code);
              open_error_ = code;
              if (pipe == INVALID_HANDLE_VALUE) {
                  return;
              }
              wrote_ = write_all(pipe, first);
              if (close == Close::while_reading) {
                  std::this_thread::sleep_for(100ms);
              } else if (close != Close::before_accept) {
                  wait_for_flag(released_);
                  wrote_ = write_all(pipe, later) && wrote_;
                  if (close == Close::held) {
                      wait_for_flag(finished_);
                  }
              }
              CloseHandle(pipe);
          })
    {
    }
    ~Peer() { finish(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void release() { released_ = true; }
    // Lets the peer close and waits for its thread.
    void finish()
    {
        released_ = true;
        finished_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    DWORD open_error() const { return open_error_; }
    bool wrote() const { return wrote_; }

private:
    std::atomic<bool> released_{false};
    std::atomic<bool> finished_{false};
    std::atomic<DWORD> open_error_{0};
    std::atomic<bool> wrote_{false};
    std::thread thread_;
};

class ListenEndpointWin32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ep::clear_stop();
        name = wintest::unique_pipe_name("listen");
    }
    void TearDown() override { ep::clear_stop(); }
    std::string name;
};

TEST_F(ListenEndpointWin32, RefusesNamesThatAreNotLocalPipes)
{
    for (const char* bad : {"", "PlatewisePipe", "\\\\.\\pipe\\", "\\\\.\\pipe", "pipe\\PlatewisePipe",
                            "\\\\server\\pipe\\PlatewisePipe", "C:\\PlatewisePipe"}) {
        SCOPED_TRACE(bad);
        std::string error;
        const ep::Handle listener = ep::create_endpoint(bad, ep::default_mode, error);
        EXPECT_EQ(listener, ep::invalid_handle);
        ep::close_endpoint(listener, bad);
        EXPECT_NE(error.find("local pipe name"), std::string::npos) << error;
    }
}

// True when the system lets a second server create an instance with
// FILE_FLAG_FIRST_PIPE_INSTANCE on a name that has one already. Wine 8 does:
// it ignores the flag, so there the listener cannot tell that a name with
// room for more instances belongs to somebody else.
bool first_instance_flag_ignored()
{
    const std::string probe = wintest::unique_pipe_name("probe");
    const HANDLE owner = wintest::create_server_instance(probe);
    if (owner == INVALID_HANDLE_VALUE) {
        return false;
    }
    const HANDLE second = CreateNamedPipeW(wintest::widen(probe).c_str(),
                                           PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0,
                                           4096, 0, nullptr);
    const bool ignored = second != INVALID_HANDLE_VALUE;
    if (ignored) {
        CloseHandle(second);
    }
    CloseHandle(owner);
    return ignored;
}

enum class Owner { listener, squatter_unlimited, squatter_single };

// Creates `taken` for `owner`, lets create_endpoint try it, and checks that
// it was refused and that the owner's pipe is still the one clients reach.
void expect_refused_and_owner_intact(const std::string& taken, Owner owner)
{
    std::string error;
    ep::Handle first = ep::invalid_handle;
    HANDLE squatter = INVALID_HANDLE_VALUE;
    if (owner == Owner::listener) {
        first = ep::create_endpoint(taken, ep::default_mode, error);
        ASSERT_NE(first, ep::invalid_handle) << error;
    } else {
        squatter = CreateNamedPipeW(wintest::widen(taken).c_str(), PIPE_ACCESS_INBOUND,
                                    PIPE_TYPE_BYTE | PIPE_WAIT,
                                    owner == Owner::squatter_single ? 1 : PIPE_UNLIMITED_INSTANCES, 0,
                                    4096, 0, nullptr);
        ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << GetLastError();
    }

    error.clear();
    const ep::Handle second = ep::create_endpoint(taken, ep::default_mode, error);
    EXPECT_EQ(second, ep::invalid_handle);
    EXPECT_NE(error.find("another process already owns " + taken), std::string::npos) << error;
    ep::close_endpoint(second, taken);

    if (owner == Owner::listener) {
        Peer peer(taken, "hello", Close::after_read);
        ep::Handle connection = ep::invalid_handle;
        const ep::AcceptStatus accepted = accept_within(first, connection, error);
        EXPECT_EQ(accepted, ep::AcceptStatus::accepted) << error;
        if (accepted == ep::AcceptStatus::accepted) {
            std::uint8_t buffer[5];
            const ep::ReadResult read = ep::read_message(connection, buffer, 5, 2000);
            EXPECT_EQ(read.status, ep::ReadStatus::full);
            EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
            peer.finish();
            ep::close_connection(connection);
        }
        peer.finish();
        ep::close_endpoint(first, taken);
    } else {
        DWORD code = 0;
        const HANDLE client = open_client(taken, &code);
        EXPECT_NE(client, INVALID_HANDLE_VALUE) << code;
        if (client != INVALID_HANDLE_VALUE) {
            CloseHandle(client);
        }
        CloseHandle(squatter);
    }
}

// Whoever holds the name first keeps it. A server whose only instance is
// taken cannot be joined on any system.
TEST_F(ListenEndpointWin32, RefusesANameWhoseOnlyInstanceIsTaken)
{
    expect_refused_and_owner_intact(name, Owner::squatter_single);
}

// Neither may a listener join a name with room for more instances: another
// listener's, or a squatter's that merely created an instance.
TEST_F(ListenEndpointWin32, RefusesANameAnotherServerOwns)
{
    if (wintest::under_wine() && first_instance_flag_ignored()) {
        GTEST_SKIP() << "this Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE: a second server "
                        "always gets an instance of a name with room for more";
    }
    struct Row {
        const char* what;
        Owner owner;
    };
    const Row rows[] = {
        {"a live listener", Owner::listener},
        {"a squatter with room for more instances", Owner::squatter_unlimited},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        expect_refused_and_owner_intact(wintest::unique_pipe_name("taken"), row.owner);
    }
}

TEST_F(ListenEndpointWin32, ClosingFreesTheName)
{
    std::string error;
    ep::Handle listener = ep::create_endpoint(name, ep::default_mode, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    ep::close_endpoint(listener, name);
    DWORD code = 0;
    EXPECT_EQ(open_client(name, &code), INVALID_HANDLE_VALUE);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    listener = ep::create_endpoint(name, ep::default_mode, error);
    EXPECT_NE(listener, ep::invalid_handle) << error;
    ep::close_endpoint(listener, name);
}

// Only LocalSystem or an administrator may deliver. The clients are
// processes of their own (the check asks the client's process), started as
// this test's user or as one who is no administrator, and each is named by
// its process id in the report. Where the pipe's access list already keeps
// the second out (Windows), its open fails with 5 instead.
TEST_F(ListenEndpointWin32, CheckPeerAdmitsOnlyAnAdministrator)
{
    const HANDLE non_admin = wintest::non_admin_token();
    ASSERT_NE(non_admin, nullptr) << GetLastError();
    struct Row {
        const char* what;
        HANDLE token;  // null: this test's own user (an administrator under Wine)
        bool admitted;
    };
    const Row rows[] = {
        {"this test's own user", nullptr, true},
        {"a user who is no administrator", non_admin, false},
    };
    const std::wstring peer_path =
        wintest::beside_program(wintest::widen(PLATEWISE_PIPE_PEER_RELATIVE));
    std::string error;
    const ep::Handle listener = ep::create_endpoint(name, ep::default_mode, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const HANDLE client = wintest::start_process(
            L"\"" + peer_path + L"\" send " + wintest::widen(name) + L" 10", row.token);
        ASSERT_NE(client, nullptr) << GetLastError();
        const DWORD pid = GetProcessId(client);
        // A client that cannot open the pipe ends with 1000 + the error, and
        // the wait for it is stopped; so is one that never comes.
        std::atomic<bool> watching{true};
        std::atomic<DWORD> open_error{0};
        std::thread watcher([&] {
            const auto until = Clock::now() + 10s;
            while (watching && Clock::now() < until) {
                DWORD code = 0;
                if (WaitForSingleObject(client, 50) == WAIT_OBJECT_0 &&
                    GetExitCodeProcess(client, &code) && code >= 1000) {
                    open_error = code - 1000;
                    break;
                }
            }
            if (watching) {
                ep::request_stop();
            }
        });
        ep::Handle connection = ep::invalid_handle;
        const ep::AcceptStatus accepted = ep::accept_connection(listener, connection, error);
        watching = false;
        watcher.join();
        const bool refused_at_open = accepted == ep::AcceptStatus::stopped;
        ep::clear_stop();
        if (refused_at_open) {
            EXPECT_FALSE(row.admitted) << "the access list refused an administrator";
            EXPECT_EQ(open_error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "no client came";
        } else {
            ASSERT_EQ(accepted, ep::AcceptStatus::accepted) << error;
            const ep::PeerCheck check = ep::check_peer(connection, ep::PeerPolicy{});
            EXPECT_EQ(check.admitted, row.admitted) << check.peer;
            RecordProperty(row.admitted ? "admitted" : "refused", check.peer);
            EXPECT_EQ(check.peer.rfind("pid " + std::to_string(pid) + ", user ", 0), 0u)
                << check.peer;
            EXPECT_EQ(check.peer.find_first_of("\r\n"), std::string::npos) << check.peer;
            ep::close_connection(connection);
        }
        wintest::finish_process(client, 10000);
    }
    ep::close_endpoint(listener, name);
    CloseHandle(non_admin);
}

// One connection per row: what the peer sends and when it closes, what
// read_message makes of it, and then what read_tail sees.
TEST_F(ListenEndpointWin32, ReadsWholeShortLongAndSilentMessages)
{
    enum class Tail { none, closed, more_data, silent };
    struct Row {
        const char* what;
        std::string first;
        Close close;
        std::string later;
        std::uint32_t timeout_ms;
        ep::ReadStatus status;
        std::size_t received;
        Tail tail;
    };
    const Row rows[] = {
        {"whole, then closed", "0123456789", Close::after_read, "", 2000, ep::ReadStatus::full, 10,
         Tail::closed},
        {"whole and closed before the accept", "0123456789", Close::before_accept, "", 2000,
         ep::ReadStatus::full, 10, Tail::closed},
        {"one byte too many in the same write", "0123456789X", Close::held, "", 2000,
         ep::ReadStatus::full, 10, Tail::more_data},
        {"one byte too many, sent after the read", "0123456789", Close::held, "X", 2000,
         ep::ReadStatus::full, 10, Tail::more_data},
        {"whole, then silent", "0123456789", Close::held, "", 2000, ep::ReadStatus::full, 10,
         Tail::silent},
        {"short, closed while the read waits", "0123", Close::while_reading, "", 2000,
         ep::ReadStatus::closed, 4, Tail::none},
        {"short and closed before the accept", "0123", Close::before_accept, "", 2000,
         ep::ReadStatus::closed, 4, Tail::none},
        {"nothing and closed before the accept", "", Close::before_accept, "", 2000,
         ep::ReadStatus::closed, 0, Tail::none},
        {"short, then silent", "0123", Close::held, "", 300, ep::ReadStatus::timed_out, 4,
         Tail::none},
        {"silent", "", Close::held, "", 300, ep::ReadStatus::timed_out, 0, Tail::silent},
    };
    std::string error;
    const ep::Handle listener = ep::create_endpoint(name, ep::default_mode, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Peer peer(name, row.first, row.close, row.later);
        if (row.close == Close::before_accept) {
            peer.finish();
            ASSERT_EQ(peer.open_error(), 0u);
            ASSERT_TRUE(peer.wrote());
        }
        ep::Handle connection = ep::invalid_handle;
        ASSERT_EQ(accept_within(listener, connection, error), ep::AcceptStatus::accepted) << error;

        std::uint8_t buffer[16];
        std::memset(buffer, 0, sizeof buffer);
        const auto started = Clock::now();
        const ep::ReadResult read = ep::read_message(connection, buffer, 10, row.timeout_ms);
        const auto spent = Clock::now() - started;
        EXPECT_EQ(read.status, row.status) << read.error;
        EXPECT_EQ(read.received, row.received);
        EXPECT_EQ(std::memcmp(buffer, row.first.data(), std::min<std::size_t>(read.received, 10)), 0);
        EXPECT_EQ(buffer[10], 0) << "nothing written past the wanted bytes";
        if (row.status == ep::ReadStatus::timed_out) {
            EXPECT_GE(spent, std::chrono::milliseconds(row.timeout_ms - 50));
        }
        EXPECT_LT(spent, 5s);

        peer.release();
        switch (row.tail) {
        case Tail::none:
            break;
        case Tail::closed:
            EXPECT_EQ(ep::read_tail(connection, 2000), ep::TailStatus::closed);
            break;
        case Tail::more_data:
            EXPECT_EQ(ep::read_tail(connection, 2000), ep::TailStatus::more_data);
            break;
        case Tail::silent: {
            const auto tail_started = Clock::now();
            EXPECT_EQ(ep::read_tail(connection, 100), ep::TailStatus::silent);
            EXPECT_LT(Clock::now() - tail_started, 5s);
            break;
        }
        }
        peer.finish();
        EXPECT_TRUE(peer.wrote());
        ep::close_connection(connection);
    }
    ep::close_endpoint(listener, name);
}

// The time-out counts from the call, however the peer trickles its bytes.
TEST_F(ListenEndpointWin32, TimeOutIsATotalForATricklingPeer)
{
    std::string error;
    const ep::Handle listener = ep::create_endpoint(name, ep::default_mode, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    std::atomic<bool> done{false};
    std::thread trickler([&] {
        const HANDLE pipe = open_client(name);
        if (pipe == INVALID_HANDLE_VALUE) {
            return;
        }
        for (int i = 0; i < 100 && !done; ++i) {
            if (!write_all(pipe, "x")) {
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
        CloseHandle(pipe);
    });
    ep::Handle connection = ep::invalid_handle;
    const ep::AcceptStatus accepted = accept_within(listener, connection, error);
    EXPECT_EQ(accepted, ep::AcceptStatus::accepted) << error;
    if (accepted == ep::AcceptStatus::accepted) {
        std::uint8_t buffer[100];
        const auto started = Clock::now();
        const ep::ReadResult read = ep::read_message(connection, buffer, sizeof buffer, 300);
        const auto spent = Clock::now() - started;
        EXPECT_EQ(read.status, ep::ReadStatus::timed_out);
        EXPECT_GE(read.received, 1u);
        EXPECT_LT(read.received, sizeof buffer);
        EXPECT_GE(spent, 250ms);
        EXPECT_LT(spent, 3s);
        ep::close_connection(connection);
    }
    done = true;
    trickler.join();
    ep::close_endpoint(listener, name);
}

// While the first connection is read, the name still has an instance: the
// next client connects at once and its message is the next one accepted.
TEST_F(ListenEndpointWin32, NextClientFindsAnInstanceWhileOneIsRead)
{
    std::string error;
    const ep::Handle listener = ep::create_endpoint(name, ep::default_mode, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    Peer first(name, "first-----", Close::held);
    ep::Handle one = ep::invalid_handle;
    ASSERT_EQ(accept_within(listener, one, error), ep::AcceptStatus::accepted) << error;
    Peer second(name, "second----", Close::held);
    ep::Handle two = ep::invalid_handle;
    const ep::AcceptStatus accepted = accept_within(listener, two, error);
    EXPECT_EQ(accepted, ep::AcceptStatus::accepted) << error;

    std::uint8_t buffer[10];
    EXPECT_EQ(ep::read_message(one, buffer, 10, 2000).status, ep::ReadStatus::full);
    EXPECT_EQ(std::memcmp(buffer, "first-----", 10), 0);
    if (accepted == ep::AcceptStatus::accepted) {
        EXPECT_EQ(ep::read_message(two, buffer, 10, 2000).status, ep::ReadStatus::full);
        EXPECT_EQ(std::memcmp(buffer, "second----", 10), 0);
    }
    first.finish();
    second.finish();
    EXPECT_EQ(first.open_error(), 0u);
    EXPECT_EQ(second.open_error(), 0u);
    ep::close_connection(one);
    if (accepted == ep::AcceptStatus::accepted) {
        ep::close_connection(two);
    }
    ep::close_endpoint(listener, name);
}

// A stop request from another thread ends each wait; one made before the
// call ends it at once. After clear_stop the same listener accepts again and
// a stopped connection still closes cleanly.
TEST_F(ListenEndpointWin32, StopRequestEndsAcceptReadAndTail)
{
    enum class Wait { accept, read, tail };
    struct Row {
        const char* what;
        Wait wait;
        bool before;  // requested before the call rather than during it
    };
    const Row rows[] = {
        {"accept, requested during the wait", Wait::accept, false},
        {"accept, requested before", Wait::accept, true},
        {"read, requested during the wait", Wait::read, false},
        {"read, requested before", Wait::read, true},
        {"tail, requested during the wait", Wait::tail, false},
    };
    std::string error;
    const ep::Handle listener = ep::create_endpoint(name, ep::default_mode, error);
    ASSERT_NE(listener, ep::invalid_handle) << error;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ep::clear_stop();
        std::unique_ptr<Peer> peer;
        ep::Handle connection = ep::invalid_handle;
        if (row.wait != Wait::accept) {
            peer = std::make_unique<Peer>(name, row.wait == Wait::tail ? "0123456789" : "", Close::held);
            ASSERT_EQ(accept_within(listener, connection, error), ep::AcceptStatus::accepted) << error;
            if (row.wait == Wait::tail) {
                std::uint8_t whole[10];
                ASSERT_EQ(ep::read_message(connection, whole, 10, 2000).status, ep::ReadStatus::full);
            }
        }
        if (row.before) {
            ep::request_stop();
        }
        std::thread stopper([&row] {
            if (!row.before) {
                std::this_thread::sleep_for(100ms);
                ep::request_stop();
            }
        });
        const auto started = Clock::now();
        std::uint8_t buffer[10];
        switch (row.wait) {
        case Wait::accept:
            EXPECT_EQ(ep::accept_connection(listener, connection, error), ep::AcceptStatus::stopped);
            break;
        case Wait::read:
            EXPECT_EQ(ep::read_message(connection, buffer, 10, 30000).status, ep::ReadStatus::stopped);
            break;
        case Wait::tail:
            EXPECT_EQ(ep::read_tail(connection, 30000), ep::TailStatus::silent);
            break;
        }
        EXPECT_LT(Clock::now() - started, 5s);
        stopper.join();
        EXPECT_TRUE(ep::stop_requested());
        ep::clear_stop();
        EXPECT_FALSE(ep::stop_requested());
        if (peer) {
            peer->finish();
            ep::close_connection(connection);
        }

        // The listener is still whole: the next client is accepted and read.
        Peer next(name, "after stop", Close::after_read);
        ep::Handle again = ep::invalid_handle;
        ASSERT_EQ(accept_within(listener, again, error), ep::AcceptStatus::accepted) << error;
        const ep::ReadResult read = ep::read_message(again, buffer, 10, 2000);
        EXPECT_EQ(read.status, ep::ReadStatus::full) << read.error;
        EXPECT_EQ(std::memcmp(buffer, "after stop", 10), 0);
        next.finish();
        ep::close_connection(again);
    }
    ep::close_endpoint(listener, name);
}

// platewise listen on both pipes: the drive snapshot on its own, the NVMe
// snapshot on the pipe beside it (a final "Pipe" becoming "NvmePipe"), each
// taken whole and shown; a message for the other pipe is refused.
TEST(ListenWin32, DriveAndNvmeSnapshotsOnTheirOwnPipes)
{
    ep::clear_stop();
    platewise::ListenOptions options;
    options.endpoint = wintest::unique_pipe_name("listen") + "-Pipe";
    options.handle_signals = false;
    options.read_timeout_ms = 2000;
    options.json = true;
    const std::string nvme_name = platewise::nvme_endpoint_beside(options.endpoint);
    ASSERT_EQ(nvme_name, options.endpoint.substr(0, options.endpoint.size() - 4) + "NvmePipe");
    std::atomic<int> reported{0};
    options.on_snapshot = [&reported](const platewise::SnapshotReport&) { ++reported; };
    options.on_nvme_snapshot = [&reported](const platewise::NvmeSnapshotReport&) { ++reported; };
    options.on_refused = [&reported] { ++reported; };
    std::atomic<bool> listening{false};
    options.on_listening = [&listening] { listening = true; };
    std::ostringstream out;
    std::ostringstream err;
    platewise::ListenSummary summary;
    int status = -1;
    std::thread listener([&] { status = platewise::run_listen(options, out, err, &summary); });
    wait_for_flag(listening, 10s);
    ASSERT_TRUE(listening) << "not listening";

    std::string ata(49185, '\0');
    ata[0] = 1;  // count 1: no drive read
    const std::vector<std::uint8_t> nvme_bytes = nvmetest::one_drive_snapshot(0, 1);
    const std::string nvme(nvme_bytes.begin(), nvme_bytes.end());
    const auto send = [](const std::string& pipe_name, const std::string& bytes) {
        // The service's busy wait: all instances taken, wait for one.
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (int i = 0; i < 100 && pipe == INVALID_HANDLE_VALUE; ++i) {
            DWORD code = 0;
            pipe = open_client(pipe_name, &code);
            if (pipe == INVALID_HANDLE_VALUE && code == ERROR_PIPE_BUSY) {
                WaitNamedPipeW(wintest::widen(pipe_name).c_str(), 200);
            } else if (pipe == INVALID_HANDLE_VALUE) {
                std::this_thread::sleep_for(20ms);
            }
        }
        EXPECT_NE(pipe, INVALID_HANDLE_VALUE) << pipe_name;
        if (pipe != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(write_all(pipe, bytes)) << GetLastError();
            CloseHandle(pipe);
        }
    };
    send(options.endpoint, ata);
    send(nvme_name, nvme);
    send(nvme_name, ata);
    const auto until = Clock::now() + 20s;
    while (reported < 3 && Clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    ep::request_stop();
    listener.join();
    ep::clear_stop();
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_EQ(summary.good, 1u) << err.str();
    EXPECT_EQ(summary.nvme, 1u) << err.str();
    EXPECT_EQ(summary.rejected, 1u) << err.str();
    EXPECT_NE(err.str().find("short message: 49185 of 278800 bytes"), std::string::npos) << err.str();
    EXPECT_NE(out.str().find("\"type\":\"nvme\""), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\"model\":\"Platewise Test NVMe\""), std::string::npos) << out.str();
}

}  // namespace
