// The Linux platform against the real kernel: the disks of /sys/block (on
// fake trees), device paths, open failures, and the snapshot transport over a
// real Unix-domain socket.
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
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../temp_dir.h"
#include "platform/linux_disks.h"
#include "platform/nvme_admin.h"
#include "service.h"

namespace {

// A fake machine: a /sys/block of symbolic links into a /sys/devices tree,
// as the kernel lays it out, and a /dev with a regular file per disk.
// Entries: "sda" a disk with hardware behind it (its device link), "loop0~"
// one without, "sda/sda1" a partition folder inside a disk's folder.
class FakeMachine {
public:
    explicit FakeMachine(const std::vector<std::string>& entries)
    {
        namespace fs = std::filesystem;
        fs::create_directories(root_ / "sys/block");
        fs::create_directories(root_ / "sys/devices/hw");
        fs::create_directories(root_ / "dev");
        for (std::string entry : entries) {
            const auto slash = entry.find('/');
            if (slash != std::string::npos) {
                fs::create_directories(root_ / ("sys/devices/block/" + entry));
                continue;
            }
            const bool virtual_device = !entry.empty() && entry.back() == '~';
            if (virtual_device) {
                entry.pop_back();
            }
            fs::create_directories(root_ / ("sys/devices/block/" + entry));
            fs::create_symlink("../devices/block/" + entry, root_ / ("sys/block/" + entry));
            if (!virtual_device) {
                fs::create_symlink("../../hw", root_ / ("sys/devices/block/" + entry + "/device"));
            }
            std::ofstream(root_ / ("dev/" + entry)).put('\0');
        }
    }
    std::string sys_block() const { return root_ / "sys/block"; }
    const std::string& root() const { return root_.path(); }

private:
    TempDir root_;
};

std::vector<std::string> names_of(const linux_disks::DiskList& list)
{
    std::vector<std::string> names;
    for (int i = 0; i < list.count; ++i) {
        names.emplace_back(list.disks[i].name);
    }
    return names;
}

using Names = std::vector<std::string>;

TEST(LinuxDisks, PhysicalDisksInDriveNumberOrder)
{
    struct Row {
        const char* name;
        Names tree;
        Names disks;
    };
    const Row rows[] = {
        {"empty", {}, {}},
        {"letter_order", {"sdab", "sdz", "sdb", "sdaa", "sda", "sdba", "sdc"},
         {"sda", "sdb", "sdc", "sdz", "sdaa", "sdab", "sdba"}},
        // sdb unplugged: the disks after it move up, none is hidden.
        {"hole_left_by_unplug", {"sda", "sdc", "sdd"}, {"sda", "sdc", "sdd"}},
        {"nvme_by_controller_then_namespace",
         {"nvme10n1", "nvme1n1", "nvme0n2", "nvme0n1", "nvme2n1", "nvme0n10"},
         {"nvme0n1", "nvme0n2", "nvme0n10", "nvme1n1", "nvme2n1", "nvme10n1"}},
        {"nvme_only", {"nvme0n1"}, {"nvme0n1"}},
        {"sd_then_nvme_then_the_rest",
         {"vda", "xvda", "mmcblk0", "nvme0n1", "sdb", "sda", "vdb"},
         {"sda", "sdb", "nvme0n1", "mmcblk0", "vda", "vdb", "xvda"}},
        {"the_rest_by_family_and_number", {"vdaa", "vdz", "vdb", "mmcblk10", "mmcblk2"},
         {"mmcblk2", "mmcblk10", "vdb", "vdz", "vdaa"}},
        {"partitions_are_not_disks",
         {"sda", "sda/sda1", "sda/sda2", "nvme0n1", "nvme0n1/nvme0n1p1", "mmcblk0",
          "mmcblk0/mmcblk0p1", "sda1", "nvme0n1p1", "mmcblk0p1", "vda1"},
         {"sda", "nvme0n1", "mmcblk0"}},
        {"virtual_devices_are_not_disks",
         {"loop0~", "loop7~", "ram0~", "zram0~", "dm-0~", "dm-1~", "md0~", "md127~", "nbd0~",
          "sda"},
         {"sda"}},
        {"other_hardware_is_not_a_disk",
         {"sr0", "sr1", "fd0", "nvme0c0n1", "mmcblk0boot0", "mmcblk0boot1", "mmcblk0rpmb",
          "hda", "sda"},
         {"sda"}},
        {"a_disk_name_without_hardware_is_not_a_disk", {"sda~", "sdb", "vda~"}, {"sdb"}},
        {"odd_names", {"sd", "sdA", "sd1", "nvme", "nvme0", "nvme0n", "nvmeXn1", "mmcblk",
                       "vd", "sdaaaaaaaaa"},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const FakeMachine machine(row.tree);
        linux_disks::DiskList list;
        list.count = -1;
        EXPECT_EQ(linux_disks::list_disks(machine.sys_block().c_str(), nullptr, &list), 0);
        EXPECT_EQ(names_of(list), row.disks);
    }
}

TEST(LinuxDisks, KindOfEachFamily)
{
    struct Row {
        const char* name;
        bool disk;
        linux_disks::DiskKind kind;
    };
    using linux_disks::DiskKind;
    const Row rows[] = {
        {"sda", true, DiskKind::scsi},     {"sdzz", true, DiskKind::scsi},
        {"nvme0n1", true, DiskKind::nvme}, {"nvme12n3", true, DiskKind::nvme},
        {"vda", true, DiskKind::virtio},   {"xvdb", true, DiskKind::xen},
        {"mmcblk1", true, DiskKind::mmc},  {"sr0", false, DiskKind::scsi},
        {"loop0", false, DiskKind::scsi},  {"nvme0n1p2", false, DiskKind::nvme},
        {"", false, DiskKind::scsi},       {"nvme1234567890n1", false, DiskKind::nvme},
    };
    for (const Row& row : rows) {
        linux_disks::DiskKind kind = linux_disks::DiskKind::scsi;
        EXPECT_EQ(linux_disks::is_disk_name(row.name, &kind), row.disk) << row.name;
        if (row.disk) {
            EXPECT_EQ(kind, row.kind) << row.name;
        }
    }
}

// More disks than the table has slots: the first 32 in order are kept,
// whatever order the folder lists them in.
TEST(LinuxDisks, FirstThirtyTwoInOrderWhenThereAreMore)
{
    Names tree;
    Names all;
    for (int i = 0; i < 40; ++i) {
        std::string name = "sd";
        if (i >= 26) {
            name += static_cast<char>('a' + i / 26 - 1);
        }
        name += static_cast<char>('a' + i % 26);
        all.push_back(name);
        tree.insert(tree.begin(), name);
    }
    tree.push_back("nvme0n1");
    const FakeMachine machine(tree);
    linux_disks::DiskList list;
    EXPECT_EQ(linux_disks::list_disks(machine.sys_block().c_str(), nullptr, &list), 0);
    EXPECT_EQ(names_of(list), Names(all.begin(), all.begin() + 32));
}

// A /sys/block longer than one read of the folder (hundreds of loop
// devices): the disks among them are all found.
TEST(LinuxDisks, FolderLongerThanOneRead)
{
    Names tree{"sdb"};
    for (int i = 0; i < 200; ++i) {  // 200 records of 32 bytes: two reads
        tree.push_back("loop" + std::to_string(i) + "~");
    }
    tree.push_back("sda");
    tree.push_back("nvme0n1");
    const FakeMachine machine(tree);
    linux_disks::DiskList list{};
    EXPECT_EQ(linux_disks::list_disks(machine.sys_block().c_str(), nullptr, &list), 0);
    EXPECT_EQ(names_of(list), (Names{"sda", "sdb", "nvme0n1"}));
}

// A listing that follows an earlier one takes the names that had hardware
// then without looking again; it drops the ones that are gone and checks the
// new ones. The earlier listing may be the one being written.
TEST(LinuxDisks, EarlierListingSparesTheDeviceLookups)
{
    const FakeMachine machine({"sda", "sdb~", "sdd~", "nvme0n1"});
    linux_disks::DiskList earlier{};
    for (const char* name : {"sdb", "sdc", "sda"}) {
        std::snprintf(earlier.disks[earlier.count++].name, linux_disks::kNameBytes, "%s", name);
    }
    linux_disks::DiskList list{};
    EXPECT_EQ(linux_disks::list_disks(machine.sys_block().c_str(), nullptr, &list), 0);
    EXPECT_EQ(names_of(list), (Names{"sda", "nvme0n1"}));
    EXPECT_EQ(linux_disks::list_disks(machine.sys_block().c_str(), &earlier, &earlier), 0);
    EXPECT_EQ(names_of(earlier), (Names{"sda", "sdb", "nvme0n1"}));
    EXPECT_EQ(earlier.disks[2].kind, linux_disks::DiskKind::nvme);
}

TEST(LinuxDisks, UnreadableFolderIsItsErrnoAndNoDisk)
{
    TempDir dir;
    linux_disks::DiskList list;
    list.count = 7;
    EXPECT_EQ(linux_disks::list_disks((dir / "missing").c_str(), &list, &list), ENOENT);
    EXPECT_EQ(list.count, 0);
    std::ofstream(dir / "file").put('x');
    EXPECT_EQ(linux_disks::list_disks((dir / "file").c_str(), nullptr, &list), ENOTDIR);
    EXPECT_EQ(list.count, 0);
}

// The platform over a fake machine: numbers, /dev paths, open failures and
// the texts they quote. The device root is the machine's again afterwards.
class LinuxDrivesOnFakeMachine : public ::testing::Test {
protected:
    void TearDown() override { platform::set_linux_device_root(""); }
    static std::string path_of(std::int32_t number)
    {
        char path[100];
        platform::drive_device_path(number, path, sizeof path);
        return path;
    }
};

TEST_F(LinuxDrivesOnFakeMachine, DriveNumbersNameTheDisksDevNodes)
{
    const FakeMachine machine({"nvme0n1", "sdc", "loop0~", "sda", "vda", "sr0"});
    ASSERT_TRUE(platform::set_linux_device_root(machine.root().c_str()));
    const std::string dev = machine.root() + "/dev/";
    struct Row { std::int32_t number; std::string path; };
    const Row rows[] = {{0, dev + "sda"}, {1, dev + "sdc"}, {2, dev + "nvme0n1"}, {3, dev + "vda"},
                        {4, "no disk 4 in " + machine.root() + "/sys/block"},
                        {-1, "no disk -1 in " + machine.root() + "/sys/block"}};
    for (const Row& row : rows) {
        EXPECT_EQ(path_of(row.number), row.path) << row.number;
        const platform::DriveOpenResult opened = platform::open_drive_device(row.number);
        if (row.number >= 0 && row.number < 4) {
            ASSERT_EQ(opened.failure, platform::OpenFailure::none) << row.number;
            EXPECT_EQ(::fcntl(static_cast<int>(opened.handle), F_GETFL) & O_ACCMODE, O_RDONLY);
            EXPECT_NE(::fcntl(static_cast<int>(opened.handle), F_GETFD) & FD_CLOEXEC, 0);
            platform::close_drive(opened.handle);
        } else {
            EXPECT_EQ(opened.failure, platform::OpenFailure::not_found) << row.number;
            EXPECT_EQ(opened.handle, platform::invalid_drive_handle);
        }
    }
    // A short buffer gets the path cut, terminated, never overrun.
    char small[8];
    std::memset(small, 'x', sizeof small);
    platform::drive_device_path(1, small, 6);
    EXPECT_EQ(std::string(small), dev.substr(0, 5));
    EXPECT_EQ(small[6], 'x');
    platform::drive_device_path(4, small, 6);
    EXPECT_STREQ(small, "no di");
    const linux_disks::Disk* nvme = platform::linux_disk(2);
    ASSERT_NE(nvme, nullptr);
    EXPECT_EQ(nvme->kind, linux_disks::DiskKind::nvme);
    EXPECT_EQ(platform::linux_disk(4), nullptr);
}

// Drive 0 starts a walk and reads /sys/block again when /dev changed (or a
// listed disk failed to open); later numbers use the walk's list.
TEST_F(LinuxDrivesOnFakeMachine, EachWalkFromDriveZeroSeesTheDisksOfItsTime)
{
    const FakeMachine machine({"sda", "sdb", "sdc"});
    ASSERT_TRUE(platform::set_linux_device_root(machine.root().c_str()));
    const std::string dev = machine.root() + "/dev/";
    EXPECT_EQ(path_of(0), dev + "sda");
    EXPECT_EQ(path_of(1), dev + "sdb");
    // sdb unplugged.
    std::filesystem::remove(machine.root() + "/sys/block/sdb");
    std::filesystem::remove(dev + "sdb");
    const platform::DriveOpenResult gone = platform::open_drive_device(1);
    EXPECT_EQ(gone.failure, platform::OpenFailure::not_found);
    EXPECT_EQ(path_of(0), dev + "sda");
    EXPECT_EQ(path_of(1), dev + "sdc");
    // Without its path first, the open of drive 0 reads the list itself.
    std::filesystem::remove(machine.root() + "/sys/block/sda");
    const platform::DriveOpenResult first = platform::open_drive_device(0);
    ASSERT_EQ(first.failure, platform::OpenFailure::none);
    platform::close_drive(first.handle);
    EXPECT_EQ(path_of(1), "no disk 1 in " + machine.root() + "/sys/block");
    platform::close_drive(platform::open_drive_device(0).handle);

    // A new disk: the kernel makes its /dev node a moment before its
    // /sys/block entry. The walk right after the node may still miss it; the
    // one after that counts it.
    std::ofstream(dev + "sdd").put('\0');
    EXPECT_EQ(path_of(0), dev + "sdc");
    platform::close_drive(platform::open_drive_device(0).handle);
    EXPECT_EQ(path_of(1), "no disk 1 in " + machine.root() + "/sys/block");
    std::filesystem::create_directories(machine.root() + "/sys/devices/block/sdd/device");
    std::filesystem::create_symlink("../devices/block/sdd", machine.root() + "/sys/block/sdd");
    EXPECT_EQ(path_of(0), dev + "sdc");
    platform::close_drive(platform::open_drive_device(0).handle);
    EXPECT_EQ(path_of(1), dev + "sdd");
}

// A whole pass over a fake machine: every disk counted, the ones that speak
// no ATA (here: regular files, which refuse SG_IO as NVMe and virtio disks
// do) with zero sections, and no open failure worth a log line.
TEST_F(LinuxDrivesOnFakeMachine, PassCountsEveryDiskAndZeroesWhatSpeaksNoAta)
{
    const FakeMachine machine({"vda", "nvme0n1", "sdb", "loop0~"});
    ASSERT_TRUE(platform::set_linux_device_root(machine.root().c_str()));
    std::memset(drive_table, 0x5A, sizeof drive_table);
    std::snprintf(last_error_text, sizeof last_error_text, "untouched");
    const PassResult pass = run_pass();
    EXPECT_EQ(pass.count, 4);
    EXPECT_EQ(pass.log_failure, 0);
    for (int slot = 0; slot < 3; ++slot) {
        const DriveRecord zero{};
        EXPECT_EQ(std::memcmp(drive_table[slot].identify, zero.identify, sizeof zero.identify), 0)
            << slot;
        EXPECT_EQ(std::memcmp(drive_table[slot].smart_values, zero.smart_values,
                              sizeof zero.smart_values), 0) << slot;
        EXPECT_EQ(std::memcmp(drive_table[slot].smart_thresholds, zero.smart_thresholds,
                              sizeof zero.smart_thresholds), 0) << slot;
    }
    // The walk ended at drive 3, which has no disk: its text, no log line.
    EXPECT_STREQ(last_error_text,
                 ("Path [no disk 3 in " + machine.root() + "/sys/block] : not found").c_str());
    // No disk here answers NVMe admin commands: the virtio and SCSI disks are
    // refused without a system call, the NVMe-named regular file by the
    // kernel (ENOTTY). Each is not_nvme after one request.
    for (int slot = 0; slot < 3; ++slot) {
        const NvmeSlot& nvme = nvme_snapshot.slots[slot];
        EXPECT_EQ(nvme.status, static_cast<std::uint8_t>(NvmeSlotStatus::not_nvme)) << slot;
        const std::uint8_t results[3] = {1, 0xFF, 0xFF};
        EXPECT_EQ(std::memcmp(nvme.results, results, 3), 0) << slot;
    }
    EXPECT_EQ(nvme_snapshot.slots[3].status, static_cast<std::uint8_t>(NvmeSlotStatus::absent));
}

// The admin commands behind the three NVMe pages, field by field.
TEST(LinuxNvme, AdminCommandsAreIdentifyAndTheHealthLogOfTheWholeController)
{
    using P = platform::NvmePage;
    struct Row { P page; std::uint8_t opcode; std::uint32_t nsid, cdw10, cdw11, data_len; };
    const Row rows[] = {
        {P::identify_controller, 0x06, 0, 0x01, 0, 4096},
        {P::identify_namespace, 0x06, 5, 0x00, 0, 4096},
        {P::health_log, 0x02, 0xFFFFFFFFu, 0x007F0002u, 0, 512},  // NUMDL 127: 128 dwords
    };
    for (const Row& row : rows) {
        const nvme_admin::Command c = nvme_admin::command_for(row.page, 5);
        SCOPED_TRACE(static_cast<int>(row.page));
        EXPECT_EQ(c.opcode, row.opcode);
        EXPECT_EQ(c.nsid, row.nsid);
        EXPECT_EQ(c.cdw10, row.cdw10);
        EXPECT_EQ(c.cdw11, row.cdw11);
        EXPECT_EQ(c.data_len, row.data_len);
    }
}

// A descriptor that is not an NVMe namespace: every page is refused by the
// kernel as not supported, the buffer untouched.
TEST(LinuxNvme, PagesOfADeviceWithoutNvmeAreNotSupported)
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const platform::NvmePage page : {platform::NvmePage::identify_controller,
                                          platform::NvmePage::identify_namespace,
                                          platform::NvmePage::health_log}) {
        std::vector<std::uint8_t> out(page == platform::NvmePage::health_log ? 512 : 4096, 0xAA);
        const platform::NvmeReply reply = platform::read_nvme_page(
            fd, page, out.data(), static_cast<std::uint32_t>(out.size()));
        EXPECT_EQ(reply.failure, platform::NvmeFailure::not_supported) << static_cast<int>(page);
        EXPECT_EQ(reply.namespace_id, 0u);
        EXPECT_EQ(out.front(), 0xAA);
    }
    ::close(fd);
}

TEST_F(LinuxDrivesOnFakeMachine, DriveZeroMissingQuotesWhatWasLookedThrough)
{
    struct Row { const char* name; bool make_sys_block; std::string text; };
    const FakeMachine empty({});
    const FakeMachine sysfs_missing({});
    std::filesystem::remove(sysfs_missing.root() + "/sys/block");
    const Row rows[] = {
        {"no_disk", true, "Path [no disk 0 in " + empty.root() + "/sys/block] : not found"},
        {"no_sys_block", false, "Path [" + sysfs_missing.root() + "/sys/block] : not found"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(platform::set_linux_device_root(
            (row.make_sys_block ? empty : sysfs_missing).root().c_str()));
        EXPECT_EQ(open_drive(0), platform::invalid_drive_handle);
        EXPECT_STREQ(last_error_text, row.text.c_str());
    }
}

TEST(LinuxDrives, MissingDeviceIsNotFound)
{
    // No machine has that many disks.
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
