// The win32 platform against the real system calls, under Wine in CI: the
// pipe client over real named pipes (and the flags it opens them with), the
// drives as Wine shows them, the x64 pass-through translation, the log.
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
#include "platform/win32_passthrough_layout.h"
#include "service.h"
#include "../testservice/temp_dir.h"

// After the seam's headers (see win32.h).
#include "platform/win32.h"
#include <ntddscsi.h>
#include "windows_test_support.h"

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
        g_after_create = nullptr;
    }
};

// The fault mended: the service (LocalSystem) must not let whoever created
// the pipe impersonate it.
TEST_F(Win32Pipe, OpensThePipeForIdentificationOnly)
{
    EXPECT_EQ(platform::win32::kPipeOpenFlags,
              static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
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
    EXPECT_EQ(g_creates[0].flags, static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
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
    EXPECT_EQ(g_creates[0].flags, static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
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

BOOL WINAPI spy_device_io_control(HANDLE, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                                  LPDWORD returned, LPOVERLAPPED)
{
    g_io.code = code;
    g_io.in_size = in_size;
    g_io.out_size = out_size;
    g_io.same_buffer = in == out;
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    g_io.sent.assign(bytes, bytes + in_size);
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
