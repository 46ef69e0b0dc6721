// The win32 platform against the real system calls, under Wine in CI: the
// pipe client over real named pipes (the flags it opens them with, servers
// it must not feed), the drives as Wine shows them, the x64 pass-through
// translation, the log.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "diskinfo.h"
#include "platform/platform.h"
#include "platform/win32_nvme_query_layout.h"
#include "platform/win32_passthrough_layout.h"
#include "service.h"
#include "../testservice/temp_dir.h"

// After the seam's headers (see win32.h).
#include "platform/win32.h"
#include <ntddscsi.h>
#include "windows_test_support.h"
#include <sddl.h>

namespace {

using Clock = std::chrono::steady_clock;

DriveSnapshot patterned_snapshot()
{
    DriveSnapshot snapshot;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&snapshot);
    for (std::size_t i = 0; i < sizeof snapshot; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    snapshot.count = 2;
    return snapshot;
}

// ------------------------------------------------------ CreateFileW spy

struct CreateCall {
    std::wstring name;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
};
std::vector<CreateCall> g_creates;
void (*g_after_create)(HANDLE) = nullptr;

HANDLE WINAPI spy_create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templ)
{
    g_creates.push_back(CreateCall{name, access, share, disposition, flags});
    const HANDLE handle = ::CreateFileW(name, access, share, security, disposition, flags, templ);
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE && g_after_create != nullptr) {
        g_after_create(handle);
    }
    SetLastError(error);
    return handle;
}

class Win32Pipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_creates.clear();
        g_after_create = nullptr;
        platform::win32::create_file_w = spy_create_file;
    }
    void TearDown() override
    {
        platform::win32::create_file_w = ::CreateFileW;
        platform::win32::pipe_write_timeout_ms = 20000;
        g_after_create = nullptr;
    }
};

constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED;

// The fault mended: the service (LocalSystem) must not let whoever created
// the pipe impersonate it.
TEST_F(Win32Pipe, OpensThePipeForIdentificationOnly)
{
    EXPECT_EQ(platform::win32::kPipeOpenFlags, kOpenFlags);
    EXPECT_EQ(platform::win32::pipe_write_timeout_ms, 20000u);
    const std::string name = wintest::unique_pipe_name("flags");
    const HANDLE server = wintest::create_server_instance(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);

    const platform::PipeOpenResult opened = platform::open_pipe(name.c_str());
    ASSERT_EQ(opened.failure, platform::PipeOpenFailure::none);
    platform::close_pipe(opened.handle);
    CloseHandle(server);

    ASSERT_EQ(g_creates.size(), 1u);
    EXPECT_EQ(g_creates[0].name, wintest::widen(name));
    EXPECT_EQ(g_creates[0].access, static_cast<DWORD>(GENERIC_WRITE));
    EXPECT_EQ(g_creates[0].share, 0u);
    EXPECT_EQ(g_creates[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(g_creates[0].flags, kOpenFlags);
}

TEST_F(Win32Pipe, ListenerReceivesTheSameBytesAndCannotImpersonate)
{
    const std::string name = wintest::unique_pipe_name("bytes");
    const HANDLE server = wintest::create_server_instance(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> received;
    int level = -2;
    std::thread listener([&] {
        if (wintest::accept_client(server)) {
            received = wintest::read_message(server, sizeof(DriveSnapshot));
            level = wintest::client_impersonation_level(server);
        }
    });

    const DriveSnapshot snapshot = patterned_snapshot();
    EXPECT_TRUE(send_snapshot_to(name.c_str(), &snapshot));
    listener.join();
    CloseHandle(server);

    ASSERT_EQ(received.size(), 49185u);
    EXPECT_EQ(std::memcmp(received.data(), &snapshot, sizeof snapshot), 0);
    ASSERT_EQ(g_creates.size(), 1u);
    EXPECT_EQ(g_creates[0].flags, kOpenFlags);
    // What the server's impersonation yields. On Windows the client grants
    // SecurityIdentification (1): the server may ask who the client is but
    // not act as it. Wine's pipes ignore the client's quality of service and
    // always answer SecurityImpersonation (2), so there only the flags above
    // can be checked.
    RecordProperty("impersonation_level", level);
    if (wintest::under_wine()) {
        std::printf("under Wine: impersonation level %d (Wine ignores SECURITY_SQOS_PRESENT)\n", level);
    } else {
        EXPECT_EQ(level, static_cast<int>(SecurityIdentification));
    }
}

TEST_F(Win32Pipe, NoServerFailsAtOnce)
{
    const std::string name = wintest::unique_pipe_name("absent");
    const DriveSnapshot snapshot = patterned_snapshot();
    const auto start = Clock::now();
    EXPECT_FALSE(send_snapshot_to(name.c_str(), &snapshot));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(g_creates.size(), 1u) << "one open, no wait";
}

// The NVMe snapshot: its own pipe name, the same client flags, all 278800
// bytes in one message over a real named pipe.
TEST_F(Win32Pipe, NvmeSnapshotReachesItsOwnPipeWhole)
{
    EXPECT_STREQ(platform::nvme_pipe_name, "\\\\.\\pipe\\PlatewiseNvmePipe");
    const std::string name = wintest::unique_pipe_name("nvme");
    const HANDLE server = wintest::create_server_instance(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> received;
    std::thread listener([&] {
        if (wintest::accept_client(server)) {
            received = wintest::read_message(server, sizeof(NvmeSnapshot) + 1);
        }
    });
    auto* bytes = reinterpret_cast<std::uint8_t*>(&nvme_snapshot);
    for (std::size_t i = 16; i < sizeof nvme_snapshot; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    finish_nvme_snapshot(4);
    EXPECT_TRUE(send_nvme_snapshot_to(name.c_str()));
    listener.join();
    CloseHandle(server);

    ASSERT_EQ(received.size(), 278800u);
    EXPECT_EQ(std::memcmp(received.data(), &nvme_snapshot, sizeof nvme_snapshot), 0);
    EXPECT_EQ(std::memcmp(received.data(), "PWNVME\r\n\x01\x00\x04", 11), 0);
    ASSERT_EQ(g_creates.size(), 1u);
    EXPECT_EQ(g_creates[0].flags, kOpenFlags);
    std::memset(&nvme_snapshot, 0, sizeof nvme_snapshot);
}

TEST_F(Win32Pipe, NoNvmeServerFailsAtOnce)
{
    const std::string name = wintest::unique_pipe_name("nvme-absent");
    const auto start = Clock::now();
    EXPECT_FALSE(send_nvme_snapshot_to(name.c_str()));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(g_creates.size(), 1u) << "one open, no wait";
}

TEST_F(Win32Pipe, BusyServerIsWaitedForThenDelivered)
{
    const std::string name = wintest::unique_pipe_name("busy");
    // The only instance is taken by another client: opens fail with 231.
    const HANDLE first = wintest::create_server_instance(name);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    const HANDLE blocker = CreateFileW(wintest::widen(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    const platform::PipeOpenResult busy = platform::open_pipe(name.c_str());
    EXPECT_EQ(busy.failure, platform::PipeOpenFailure::busy);
    EXPECT_EQ(busy.code, 231u);
    g_creates.clear();

    // A second instance starts listening a second later.
    std::vector<std::uint8_t> received;
    std::thread listener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const HANDLE second = wintest::create_server_instance(name);
        if (second != INVALID_HANDLE_VALUE) {
            if (wintest::accept_client(second)) {
                received = wintest::read_message(second, sizeof(DriveSnapshot));
            }
            CloseHandle(second);
        }
    });

    const DriveSnapshot snapshot = patterned_snapshot();
    const auto start = Clock::now();
    const bool sent = send_snapshot_to(name.c_str(), &snapshot);
    const auto waited = Clock::now() - start;
    listener.join();
    CloseHandle(blocker);
    CloseHandle(first);

    EXPECT_TRUE(sent);
    EXPECT_GE(waited, std::chrono::milliseconds(800));
    EXPECT_GE(g_creates.size(), 2u) << "busy, waited, opened again";
    ASSERT_EQ(received.size(), 49185u);
    EXPECT_EQ(std::memcmp(received.data(), &snapshot, sizeof snapshot), 0);
}

// The server takes the connection and closes its end before the write.
HANDLE g_early_server = INVALID_HANDLE_VALUE;

TEST_F(Win32Pipe, ServerClosingEarlyFails)
{
    const std::string name = wintest::unique_pipe_name("early");
    g_early_server = wintest::create_server_instance(name);
    ASSERT_NE(g_early_server, INVALID_HANDLE_VALUE);
    g_after_create = [](HANDLE) {
        // Between the client's open and its write: the listener goes away.
        wintest::accept_client(g_early_server);
        DisconnectNamedPipe(g_early_server);
        CloseHandle(g_early_server);
        g_early_server = INVALID_HANDLE_VALUE;
    };
    const DriveSnapshot snapshot = patterned_snapshot();
    EXPECT_FALSE(send_snapshot_to(name.c_str(), &snapshot));
    EXPECT_EQ(g_early_server, INVALID_HANDLE_VALUE);
}

// A server that takes the connection and then reads late or never. Its
// instance buffers nothing, so the client's write stays pending until the
// server reads (the service must not wait for that for ever). It reads
// after `read_after_ms`, or for a server that never reads, only when the
// test lets it go, and closes after at most 10 s in any case.
TEST_F(Win32Pipe, AServerThatDoesNotReadCostsAtMostTheWriteTimeOut)
{
    struct Row {
        const char* what;
        int read_after_ms;  // -1: never
        DWORD write_timeout_ms;
        bool delivered;
    };
    const Row rows[] = {
        {"never reads", -1, 300, false},
        {"reads 200 ms late, within the time-out", 200, 5000, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string name = wintest::unique_pipe_name("slow");
        const HANDLE server = CreateNamedPipeW(wintest::widen(name).c_str(), PIPE_ACCESS_INBOUND,
                                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                               0, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE);
        const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<std::uint8_t> received;
        std::thread listener([&] {
            if (wintest::accept_client(server)) {
                WaitForSingleObject(release, row.read_after_ms < 0 ? 10000 : row.read_after_ms);
                received = wintest::read_message(server, sizeof(DriveSnapshot));
            }
        });

        platform::win32::pipe_write_timeout_ms = row.write_timeout_ms;
        const DriveSnapshot snapshot = patterned_snapshot();
        const auto start = Clock::now();
        const bool sent = send_snapshot_to(name.c_str(), &snapshot);
        const auto spent = Clock::now() - start;
        SetEvent(release);
        listener.join();
        CloseHandle(release);
        CloseHandle(server);

        EXPECT_EQ(sent, row.delivered);
        EXPECT_LT(spent, std::chrono::seconds(5)) << "the write was not given up";
        if (row.delivered) {
            ASSERT_EQ(received.size(), 49185u);
            EXPECT_EQ(std::memcmp(received.data(), &snapshot, sizeof snapshot), 0);
        } else {
            EXPECT_GE(spent, std::chrono::milliseconds(250)) << "waited for the time-out";
            EXPECT_LT(received.size(), 49185u) << "a cancelled write is not a delivery";
            RecordProperty("bytes_after_cancel", static_cast<int>(received.size()));
        }
    }
}

std::wstring pipe_peer_path()
{
    return wintest::beside_program(wintest::widen(PLATEWISE_PIPE_PEER_RELATIVE));
}

bool running_as_admin()
{
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
           CheckTokenMembership(nullptr, admins, &member) && member != FALSE;
}

// Any local user may create \\.\pipe\PlatewisePipe while no listener runs.
// The server here is a process of its own, started as this user or as one
// who is no administrator; it reports how many bytes reached it.
TEST_F(Win32Pipe, AServerThatIsNoAdministratorGetsNothing)
{
    const HANDLE non_admin = wintest::non_admin_token();
    ASSERT_NE(non_admin, nullptr) << GetLastError();
    struct Row {
        const char* what;
        HANDLE token;  // null: this process's own user
        bool delivered;
        DWORD bytes;
    };
    const Row rows[] = {
        {"an administrator (this test's own user)", nullptr, true, 49185},
        {"a user who is no administrator", non_admin, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.token == nullptr && !running_as_admin()) {
            std::printf("skipped \"%s\": this test does not run as an administrator\n", row.what);
            continue;
        }
        const std::string name = wintest::unique_pipe_name("owner");
        const HANDLE server =
            wintest::start_process(L"\"" + pipe_peer_path() + L"\" serve " + wintest::widen(name), row.token);
        ASSERT_NE(server, nullptr) << GetLastError();
        if (!wintest::wait_for_pipe(name, 10000)) {
            wintest::finish_process(server, 0);
            FAIL() << "the server never created its pipe";
        }
        g_creates.clear();
        const DriveSnapshot snapshot = patterned_snapshot();
        const bool sent = send_snapshot_to(name.c_str(), &snapshot);
        const wintest::ProcessResult served = wintest::finish_process(server, 15000);

        EXPECT_EQ(sent, row.delivered);
        EXPECT_TRUE(served.finished);
        EXPECT_EQ(served.exit_code, row.bytes);
        ASSERT_EQ(g_creates.size(), 1u) << "one open, no retry";
        EXPECT_EQ(g_creates[0].flags, kOpenFlags);
    }
    CloseHandle(non_admin);
}

// Which identities may receive snapshots, by the SIDs of the process token.
TEST(Win32Identity, OnlyLocalSystemOrAnAdministratorInForce)
{
    struct Group {
        const wchar_t* sid;
        DWORD attributes;
    };
    constexpr DWORD in_force = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    constexpr DWORD deny_only = SE_GROUP_MANDATORY | SE_GROUP_USE_FOR_DENY_ONLY;
    struct Row {
        const char* what;
        const wchar_t* user;
        std::vector<Group> groups;
        bool trusted;
    };
    const wchar_t* const system = L"S-1-5-18";
    const wchar_t* const local_service = L"S-1-5-19";
    const wchar_t* const someone = L"S-1-5-21-1-2-3-1000";
    const wchar_t* const admins = L"S-1-5-32-544";
    const wchar_t* const users = L"S-1-5-32-545";
    const Row rows[] = {
        {"LocalSystem", system, {}, true},
        {"LocalSystem, Administrators listed as well", system, {{admins, in_force}}, true},
        {"an elevated administrator", someone, {{users, in_force}, {admins, in_force}}, true},
        {"an administrator's filtered token (UAC)", someone, {{users, in_force}, {admins, deny_only}},
         false},
        {"Administrators present but not enabled", someone, {{admins, SE_GROUP_MANDATORY}}, false},
        {"Administrators enabled and deny-only", someone, {{admins, in_force | SE_GROUP_USE_FOR_DENY_ONLY}},
         false},
        {"a plain user", someone, {{users, in_force}}, false},
        {"LocalService", local_service, {{users, in_force}}, false},
        {"no groups at all", someone, {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<PSID> sids;
        PSID user = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(row.user, &user));
        sids.push_back(user);
        std::vector<std::uint8_t> record(sizeof(TOKEN_GROUPS) +
                                         row.groups.size() * sizeof(SID_AND_ATTRIBUTES));
        auto* groups = reinterpret_cast<TOKEN_GROUPS*>(record.data());
        groups->GroupCount = static_cast<DWORD>(row.groups.size());
        for (std::size_t i = 0; i < row.groups.size(); ++i) {
            PSID sid = nullptr;
            ASSERT_TRUE(ConvertStringSidToSidW(row.groups[i].sid, &sid));
            sids.push_back(sid);
            groups->Groups[i].Sid = sid;
            groups->Groups[i].Attributes = row.groups[i].attributes;
        }
        EXPECT_EQ(platform::win32::identity_is_system_or_admin(user, groups), row.trusted);
        for (PSID sid : sids) {
            LocalFree(sid);
        }
    }
    EXPECT_FALSE(platform::win32::identity_is_system_or_admin(nullptr, nullptr));
}

// The pipe's owner must fit the process that serves it: a pipe somebody
// else made, served from a process id that is now an administrator's, does
// not.
TEST(Win32Identity, PipeOwnerMustFitTheServer)
{
    struct Row {
        const char* what;
        const wchar_t* owner;  // null: none recorded
        bool fits;
    };
    const wchar_t* const server_user = L"S-1-5-21-1-2-3-500";
    const wchar_t* const owner_group = L"S-1-5-21-1-2-3-513";    // held with SE_GROUP_OWNER
    const wchar_t* const member_group = L"S-1-5-21-1-2-3-1100";  // held without it
    const Row rows[] = {
        {"none recorded", nullptr, true},
        {"LocalSystem", L"S-1-5-18", true},
        {"the Administrators", L"S-1-5-32-544", true},
        {"the server's own user", server_user, true},
        {"a group the server may make owner (Wine's default owner)", owner_group, true},
        {"a group the server holds, but not as owner", member_group, false},
        {"another user", L"S-1-5-21-1-2-3-1000", false},
        {"the Users group", L"S-1-5-32-545", false},
        {"LocalService", L"S-1-5-19", false},
    };
    PSID server = nullptr;
    PSID owner_sid = nullptr;
    PSID member_sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(server_user, &server));
    ASSERT_TRUE(ConvertStringSidToSidW(owner_group, &owner_sid));
    ASSERT_TRUE(ConvertStringSidToSidW(member_group, &member_sid));
    std::vector<std::uint8_t> record(sizeof(TOKEN_GROUPS) + sizeof(SID_AND_ATTRIBUTES));
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(record.data());
    groups->GroupCount = 2;
    groups->Groups[0] = {owner_sid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_OWNER};
    groups->Groups[1] = {member_sid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PSID owner = nullptr;
        if (row.owner != nullptr) {
            ASSERT_TRUE(ConvertStringSidToSidW(row.owner, &owner));
        }
        EXPECT_EQ(platform::win32::pipe_owner_fits_server(owner, server, groups), row.fits);
        LocalFree(owner);
    }
    LocalFree(member_sid);
    LocalFree(owner_sid);
    LocalFree(server);
}

// ------------------------------------------------------------- drives

TEST(Win32Drives, PathIsThePhysicalDriveName)
{
    char path[100];
    platform::drive_device_path(3, path, sizeof path);
    EXPECT_STREQ(path, "\\\\.\\PhysicalDrive3");
    platform::drive_device_path(-128, path, sizeof path);
    EXPECT_STREQ(path, "\\\\.\\PhysicalDrive-128");
}

// Under Wine drive 0 is a pseudo disk that opens, with no ATA pass-through
// (50, not supported), and there is no drive 1.
TEST(Win32Drives, WineShowsDriveZeroWithoutPassThroughAndNoDriveOne)
{
    const platform::DriveOpenResult zero = platform::open_drive_device(0);
    ASSERT_EQ(zero.failure, platform::OpenFailure::none) << "code " << zero.code;
    TaskFile regs{};
    regs.command = ATA_IDENTIFY_DEVICE;
    regs.sector_count = 1;
    TaskFile prev{};
    std::uint8_t data[512];
    std::memset(data, 0x5A, sizeof data);
    errno = 0;
    EXPECT_EQ(run_ata_passthrough(zero.handle, &regs, &prev, data, sizeof data), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(data[0], 0x5A) << "nothing copied back on failure";
    platform::close_drive(zero.handle);

    const platform::DriveOpenResult one = platform::open_drive_device(1);
    EXPECT_EQ(one.failure, platform::OpenFailure::not_found);
    EXPECT_EQ(one.code, 2);
    EXPECT_EQ(one.handle, platform::invalid_drive_handle);
}

TEST(Win32Drives, OpenDriveWritesTheNotFoundText)
{
    EXPECT_EQ(open_drive(1), platform::invalid_drive_handle);
    EXPECT_STREQ(last_error_text, "Path [\\\\.\\PhysicalDrive1] : not found");
}

// ------------------------------------- the x64 pass-through translation

struct IoCall {
    DWORD code = 0;
    DWORD in_size = 0;
    DWORD out_size = 0;
    bool same_buffer = false;
    std::vector<std::uint8_t> sent;
};
IoCall g_io;
DWORD g_io_error = 0;       // fail with this code when not 0
DWORD g_io_returned = 0;    // the byte count to report; 0: the full size
std::uint8_t g_io_status = 0x50;

// Notes what the code under test handed the driver.
void record_io(DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size)
{
    g_io.code = code;
    g_io.in_size = in_size;
    g_io.out_size = out_size;
    g_io.same_buffer = in == out;
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    g_io.sent.assign(bytes, bytes + in_size);
}

BOOL WINAPI spy_device_io_control(HANDLE, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                                  LPDWORD returned, LPOVERLAPPED)
{
    record_io(code, in, in_size, out, out_size);
    if (g_io_error != 0) {
        SetLastError(g_io_error);
        return FALSE;
    }
    auto* real = static_cast<platform::win32::AtaPassBuffer64*>(out);
    for (DWORD i = 0; i < real->apt.DataTransferLength; ++i) {
        real->data[i] = static_cast<std::uint8_t>(i + 1);
    }
    real->apt.CurrentTaskFile[6] = g_io_status;  // Status
    real->apt.CurrentTaskFile[0] = 0;            // Error
    real->apt.PreviousTaskFile[1] = 0x77;
    *returned = g_io_returned != 0 ? g_io_returned : out_size;
    return TRUE;
}

class Win32Passthrough : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_io = IoCall{};
        g_io_error = 0;
        g_io_returned = 0;
        g_io_status = 0x50;
        platform::win32::device_io_control = spy_device_io_control;
    }
    void TearDown() override { platform::win32::device_io_control = ::DeviceIoControl; }

    int identify(std::uint8_t* data)
    {
        TaskFile regs{};
        regs.sector_count = 1;
        regs.command = ATA_IDENTIFY_DEVICE;
        TaskFile prev{};
        const int result = run_ata_passthrough(0x1234, &regs, &prev, data, 512);
        last_regs = regs;
        last_prev = prev;
        return result;
    }
    TaskFile last_regs{};
    TaskFile last_prev{};
};

TEST_F(Win32Passthrough, SendsTheRealX64RecordWithItsOwnLengthAndOffset)
{
    std::uint8_t data[512] = {};
    ASSERT_EQ(identify(data), 0);
    EXPECT_EQ(g_io.code, static_cast<DWORD>(IOCTL_ATA_PASS_THROUGH));
    EXPECT_EQ(g_io.code, 0x4D02Cu);
    EXPECT_EQ(sizeof(ATA_PASS_THROUGH_EX), 48u);
    EXPECT_EQ(g_io.in_size, 48u + 512u);
    EXPECT_EQ(g_io.out_size, 48u + 512u);
    EXPECT_TRUE(g_io.same_buffer);

    ATA_PASS_THROUGH_EX apt;
    std::memcpy(&apt, g_io.sent.data(), sizeof apt);
    EXPECT_EQ(apt.Length, sizeof(ATA_PASS_THROUGH_EX));
    EXPECT_EQ(apt.AtaFlags, 0x0Au);
    EXPECT_EQ(apt.DataTransferLength, 512u);
    EXPECT_EQ(apt.TimeOutValue, 10u);
    EXPECT_EQ(apt.DataBufferOffset, 48u);
    EXPECT_EQ(apt.CurrentTaskFile[1], 1u);
    EXPECT_EQ(apt.CurrentTaskFile[6], 0xECu);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(apt.PreviousTaskFile[i], 0u);
    }
    EXPECT_EQ(g_io.sent[48], 0xCFu) << "the untouched-data marker at the real data offset";

    // The answer came back through the translation.
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(data[i], static_cast<std::uint8_t>(i + 1)) << i;
    }
    EXPECT_EQ(last_regs.command, 0x50u);
    EXPECT_EQ(last_prev.sector_count, 0x77u);
}

TEST_F(Win32Passthrough, ReturnedCountIsCheckedInTheServiceLayout)
{
    std::uint8_t data[512] = {};
    g_io_returned = 48 + 511;  // one byte short
    errno = 0;
    EXPECT_EQ(identify(data), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(platform::win32::returned_in_service_layout(48 + 512), 44u + 512u);
    EXPECT_EQ(platform::win32::returned_in_service_layout(48), 44u);
    EXPECT_EQ(platform::win32::returned_in_service_layout(12), 0u);
}

TEST_F(Win32Passthrough, DriverCodesMapToNotSupportedOrDriverError)
{
    std::uint8_t data[512] = {};
    for (const DWORD code : {1ul, 50ul}) {
        g_io_error = code;
        errno = 0;
        EXPECT_EQ(identify(data), -1);
        EXPECT_EQ(errno, ENOSYS) << code;
    }
    g_io_error = 31;
    errno = 0;
    EXPECT_EQ(identify(data), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(Win32Passthrough, WritesAndCommandsWithoutDataAreSizedToTheirData)
{
    std::uint8_t out[1024];
    std::memset(out, 0xAB, sizeof out);
    TaskFile regs{};
    regs.command = 0x30;
    ASSERT_EQ(run_ata_passthrough(0x1234, &regs, nullptr, out, -1024), 0);
    EXPECT_EQ(g_io.in_size, 48u + 1024u);
    EXPECT_EQ(g_io.sent[48], 0xABu);
    EXPECT_EQ(g_io.sent[48 + 1023], 0xABu);

    regs = TaskFile{};
    regs.command = 0xE7;  // FLUSH CACHE
    ASSERT_EQ(run_ata_passthrough(0x1234, &regs, nullptr, nullptr, 0), 0);
    EXPECT_EQ(g_io.in_size, 48u);
    ATA_PASS_THROUGH_EX apt;
    std::memcpy(&apt, g_io.sent.data(), sizeof apt);
    EXPECT_EQ(apt.AtaFlags, 0u);
    EXPECT_EQ(apt.DataTransferLength, 0u);
    EXPECT_EQ(apt.DataBufferOffset, 48u);
}

// ---------------------------------------------------------- NVMe pages

// A driver answering the protocol-specific query: the descriptor's fields
// and the byte count are the test's to spoil.
struct NvmeAnswer {
    DWORD error = 0;            // fail with this code when not 0
    DWORD version = sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR);
    DWORD size = sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR);
    DWORD offset = sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA);
    DWORD length = 0;           // 0: the length asked for
    long returned_delta = 0;    // added to the full size
};
NvmeAnswer g_nvme;

BOOL WINAPI spy_nvme_query(HANDLE, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                           LPDWORD returned, LPOVERLAPPED)
{
    record_io(code, in, in_size, out, out_size);
    if (g_nvme.error != 0) {
        SetLastError(g_nvme.error);
        return FALSE;
    }
    auto* reply = static_cast<std::uint8_t*>(out);
    STORAGE_PROTOCOL_DATA_DESCRIPTOR descriptor;
    std::memcpy(&descriptor.ProtocolSpecificData, reply + 8, sizeof descriptor.ProtocolSpecificData);
    const DWORD asked = descriptor.ProtocolSpecificData.ProtocolDataLength;
    descriptor.Version = g_nvme.version;
    descriptor.Size = g_nvme.size;
    descriptor.ProtocolSpecificData.ProtocolDataOffset = g_nvme.offset;
    descriptor.ProtocolSpecificData.ProtocolDataLength = g_nvme.length != 0 ? g_nvme.length : asked;
    for (DWORD i = sizeof descriptor; i < out_size; ++i) {
        reply[i] = static_cast<std::uint8_t>(i * 3 + 1);
    }
    std::memcpy(reply, &descriptor, sizeof descriptor);
    *returned = static_cast<DWORD>(static_cast<long>(out_size) + g_nvme.returned_delta);
    return TRUE;
}

class Win32Nvme : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_io = IoCall{};
        g_nvme = NvmeAnswer{};
        platform::win32::device_io_control = spy_nvme_query;
    }
    void TearDown() override { platform::win32::device_io_control = ::DeviceIoControl; }
};

// The request, read back through the real Windows records.
TEST_F(Win32Nvme, EachPageIsAProtocolSpecificQueryOfItsOwn)
{
    using P = platform::NvmePage;
    struct Row {
        P page;
        DWORD property;
        DWORD data_type;
        DWORD value;
        DWORD sub_value;
        DWORD length;
        std::uint32_t namespace_id;
    };
    const Row rows[] = {
        {P::identify_controller, StorageAdapterProtocolSpecificProperty, NVMeDataTypeIdentify, 1, 0, 4096, 0},
        {P::identify_namespace, StorageDeviceProtocolSpecificProperty, NVMeDataTypeIdentify, 0, 1, 4096, 1},
        {P::health_log, StorageDeviceProtocolSpecificProperty, NVMeDataTypeLogPage, 2, 0, 512, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.page));
        std::vector<std::uint8_t> page(row.length, 0);
        const platform::NvmeReply reply =
            platform::read_nvme_page(0x1234, row.page, page.data(), row.length);
        ASSERT_EQ(reply.failure, platform::NvmeFailure::none);
        EXPECT_EQ(reply.namespace_id, row.namespace_id);
        EXPECT_EQ(g_io.code, static_cast<DWORD>(IOCTL_STORAGE_QUERY_PROPERTY));
        EXPECT_EQ(g_io.code, 0x2D1400u);
        const DWORD expected_size = 8 + 40 + row.length;
        EXPECT_EQ(g_io.in_size, expected_size);
        EXPECT_EQ(g_io.out_size, expected_size);
        EXPECT_TRUE(g_io.same_buffer);
        STORAGE_PROPERTY_QUERY query;
        std::memcpy(&query, g_io.sent.data(), sizeof query);
        EXPECT_EQ(query.PropertyId, row.property);
        EXPECT_EQ(query.QueryType, PropertyStandardQuery);
        STORAGE_PROTOCOL_SPECIFIC_DATA data;
        std::memcpy(&data, g_io.sent.data() + offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters),
                    sizeof data);
        EXPECT_EQ(data.ProtocolType, ProtocolTypeNvme);
        EXPECT_EQ(data.DataType, row.data_type);
        EXPECT_EQ(data.ProtocolDataRequestValue, row.value);
        EXPECT_EQ(data.ProtocolDataRequestSubValue, row.sub_value);
        EXPECT_EQ(data.ProtocolDataOffset, sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA));
        EXPECT_EQ(data.ProtocolDataLength, row.length);
        EXPECT_EQ(data.ProtocolDataRequestSubValue2, 0u);
        EXPECT_EQ(data.ProtocolDataRequestSubValue3, 0u);
        EXPECT_EQ(data.ProtocolDataRequestSubValue4, 0u);
        // The page is what followed the protocol record in the reply.
        for (DWORD i = 0; i < row.length; ++i) {
            ASSERT_EQ(page[i], static_cast<std::uint8_t>((48 + i) * 3 + 1)) << i;
        }
    }
}

// Replies that fail a check are a driver error and copy nothing; system
// errors are classed as the driver's, the device's, or "no NVMe here".
TEST_F(Win32Nvme, RepliesAreCheckedBeforeAnythingIsCopied)
{
    using F = platform::NvmeFailure;
    struct Row {
        const char* what;
        NvmeAnswer answer;
        F failure;
        DWORD code;
    };
    auto with = [](auto change) {
        NvmeAnswer a;
        change(a);
        return a;
    };
    const Row rows[] = {
        {"good", NvmeAnswer{}, F::none, 0},
        {"one byte short", with([](NvmeAnswer& a) { a.returned_delta = -1; }), F::driver_error, 13},
        {"shorter than the descriptor", with([](NvmeAnswer& a) { a.returned_delta = -(512 + 1); }),
         F::driver_error, 13},
        {"bad version", with([](NvmeAnswer& a) { a.version = 40; }), F::driver_error, 13},
        {"bad size", with([](NvmeAnswer& a) { a.size = 0; }), F::driver_error, 13},
        {"offset inside the record", with([](NvmeAnswer& a) { a.offset = 39; }), F::driver_error, 13},
        {"offset past the buffer", with([](NvmeAnswer& a) { a.offset = 41; }), F::driver_error, 13},
        {"offset wrapping round", with([](NvmeAnswer& a) { a.offset = 0xFFFFFFF8u; }),
         F::driver_error, 13},
        {"length below the page", with([](NvmeAnswer& a) { a.length = 511; }), F::driver_error, 13},
        {"invalid function", with([](NvmeAnswer& a) { a.error = ERROR_INVALID_FUNCTION; }),
         F::not_supported, 1},
        {"not supported", with([](NvmeAnswer& a) { a.error = ERROR_NOT_SUPPORTED; }),
         F::not_supported, 50},
        {"device I/O error", with([](NvmeAnswer& a) { a.error = ERROR_IO_DEVICE; }),
         F::device_error, 1117},
        {"other", with([](NvmeAnswer& a) { a.error = ERROR_GEN_FAILURE; }), F::driver_error, 31},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        g_nvme = row.answer;
        std::uint8_t page[512];
        std::memset(page, 0xEE, sizeof page);
        const platform::NvmeReply reply =
            platform::read_nvme_page(0x1234, platform::NvmePage::health_log, page, sizeof page);
        EXPECT_EQ(reply.failure, row.failure);
        EXPECT_EQ(reply.code, row.code);
        if (row.failure != F::none) {
            EXPECT_EQ(page[0], 0xEE);
            EXPECT_EQ(page[511], 0xEE);
        } else {
            EXPECT_EQ(page[0], static_cast<std::uint8_t>((48 + row.answer.offset - 40) * 3 + 1));
        }
    }
}

// ----------------------------------------------------------------- log

TEST(Win32Log, LinesGoToAppDataWithABackslashAndEndInCrLf)
{
    TempDir dir;
    const std::string folder = std::filesystem::path(dir.path()).make_preferred().string();
    ASSERT_EQ(_putenv_s("APPDATA", folder.c_str()), 0);
    ASSERT_EQ(write_log("Monitoring started."), 0);
    ASSERT_EQ(write_log("second"), 0);
    const std::string text = read_file(folder + "\\platewise_s.log");
    _putenv_s("APPDATA", "");

    EXPECT_STREQ(platform::log_path_format, "%s\\platewise_s.log");
    ASSERT_GE(text.size(), 2u);
    EXPECT_NE(text.find("> Monitoring started.\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("> second\r\n"), std::string::npos) << text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
    }
}

TEST(Win32Log, UnsetAppDataWritesNothing)
{
    _putenv_s("APPDATA", "");
    EXPECT_EQ(platform::environment_copy("APPDATA"), nullptr);
    EXPECT_EQ(write_log("lost"), -1);
    ASSERT_EQ(_putenv_s("PLATEWISE_TEST_VALUE", "abc"), 0);
    char* copy = platform::environment_copy("PLATEWISE_TEST_VALUE");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "abc");
    std::free(copy);
}

TEST(Win32Time, LocalTimeIsPlausible)
{
    platform::LocalTime now{};
    ASSERT_TRUE(platform::local_time_now(&now));
    EXPECT_GE(now.year, 2024);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
}

// ------------------------------------------------------------ manifest

TEST(Win32Manifest, TestserviceAsksForNoElevation)
{
    const std::wstring exe = wintest::widen(PLATEWISE_TESTSERVICE_RELATIVE);
    const HMODULE module =
        LoadLibraryExW(wintest::beside_program(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << GetLastError();
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr) << "RT_MANIFEST 1";
    const HGLOBAL loaded = LoadResource(module, resource);
    const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                               SizeofResource(module, resource));
    FreeLibrary(module);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
}

}  // namespace
