// lab-probe: the QEMU lab's own helper (scripts/lab). Not part of the
// service and never installed.
//
// In the guest:
//   lab-probe passthrough DEVICE    one IDENTIFY through run_ata_passthrough
//                                   (the service's path); prints its errno
//   lab-probe device-error DEVICE   SMART DISABLE, then SMART READ DATA must
//                                   fail with EIO (a device-reported error
//                                   through the Status test; the raw sense
//                                   bytes and their layout are printed), then
//                                   SMART ENABLE and READ DATA succeed again
//   lab-probe timing PASSES         the service's pass (run_pass) against the
//                                   bare SG_IO calls of the same commands,
//                                   both PASSES times, in this one run
// On the host:
//   lab-probe check EXPECTED SNAPSHOT...   the snapshots against what QEMU
//                                   was told (EXPECTED: one line per disk,
//                                   "model|serial|sectors|logical|physical|rotation")
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diskinfo.h"
#include "platform/sat_passthrough.h"
#include "service.h"
#include "smart.h"

namespace {

const char* errno_name(int e)
{
    switch (e) {
    case 0: return "0";
    case ENOSYS: return "ENOSYS";
    case EIO: return "EIO";
    case EINVAL: return "EINVAL";
    default: return "other";
    }
}

TaskFile smart_command(std::uint8_t feature)
{
    TaskFile t{};
    t.features = feature;
    t.sector_count = 1;
    t.lba_mid = SMART_LBA_MID_SIGNATURE;
    t.lba_high = SMART_LBA_HIGH_SIGNATURE;
    t.command = ATA_SMART;
    return t;
}

TaskFile identify_command()
{
    TaskFile t{};
    t.sector_count = 1;
    t.command = ATA_IDENTIFY_DEVICE;
    return t;
}

// One 512-byte read as the service issues it: 48-bit flag, zero previous block.
int part_read(int fd, TaskFile command, std::uint8_t* data, int* error)
{
    TaskFile prev{};
    errno = 0;
    const int result = run_ata_passthrough(fd, &command, &prev, data, 512);
    *error = result == 0 ? 0 : errno;
    return result;
}

int open_device(const char* path)
{
    return ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

int cmd_passthrough(const char* path)
{
    const int fd = open_device(path);
    if (fd < 0) {
        std::printf("lab: passthrough %s open failed: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::uint8_t data[512] = {};
    int error = 0;
    const int result = part_read(fd, identify_command(), data, &error);
    std::printf("lab: passthrough %s result=%d errno=%s\n", path, result, errno_name(error));
    ::close(fd);
    return 0;
}

// The request buffer as run_ata_passthrough builds it, for the bare calls.
AtaPassBuffer request_for(const TaskFile& command)
{
    AtaPassBuffer ab;
    std::memset(&ab, 0, sizeof ab);
    ab.apt.Length = sizeof ab.apt;
    ab.apt.AtaFlags = ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND;
    ab.apt.DataTransferLength = 512;
    ab.apt.TimeOutValue = kPassthroughTimeoutSeconds;
    ab.apt.DataBufferOffset = kPassthroughHeaderBytes;
    ab.apt.CurrentTaskFile = command;
    return ab;
}

// One bare SG_IO call; the sense bytes and SCSI status come back too.
struct BareResult {
    int ioctl_result;
    sg_io_hdr_t io;
    std::uint8_t sense[64];
};

BareResult bare_sg_io(int fd, AtaPassBuffer* ab)
{
    BareResult r{};
    sat::Command command;
    sat::build_command(reinterpret_cast<std::uint8_t*>(ab), 556, &command);
    r.io.interface_id = 'S';
    r.io.cmdp = command.cdb;
    r.io.cmd_len = sizeof command.cdb;
    r.io.sbp = r.sense;
    r.io.mx_sb_len = sizeof r.sense;
    r.io.timeout = command.timeout_ms;
    r.io.dxfer_direction = SG_DXFER_FROM_DEV;
    r.io.dxferp = ab->data;
    r.io.dxfer_len = command.data_length;
    r.ioctl_result = ::ioctl(fd, SG_IO, &r.io);
    return r;
}

const char* layout_name(sat::SenseLayout layout)
{
    switch (layout) {
    case sat::SenseLayout::none: return "none";
    case sat::SenseLayout::descriptor: return "descriptor";
    case sat::SenseLayout::fixed: return "fixed";
    case sat::SenseLayout::fixed_linux61: return "fixed_linux61";
    }
    return "?";
}

int cmd_device_error(const char* path)
{
    const int fd = open_device(path);
    if (fd < 0) {
        std::printf("lab: device-error %s open failed: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::uint8_t data[512] = {};
    int error = 0;
    int result = part_read(fd, smart_command(SMART_DISABLE_OPERATIONS), data, &error);
    std::printf("lab: device-error %s smart-disable result=%d errno=%s\n", path, result,
                errno_name(error));
    result = part_read(fd, smart_command(SMART_READ_DATA), data, &error);
    std::printf("lab: device-error %s read-data-while-disabled result=%d errno=%s\n", path, result,
                errno_name(error));

    AtaPassBuffer ab = request_for(smart_command(SMART_READ_DATA));
    const BareResult bare = bare_sg_io(fd, &ab);
    const sat::AtaRegisters regs = sat::parse_sense(bare.sense, bare.io.sb_len_wr);
    std::printf("lab: device-error %s sense status=0x%02x host=0x%x driver=0x%x sb_len_wr=%u:",
                path, bare.io.status, bare.io.host_status, bare.io.driver_status,
                static_cast<unsigned>(bare.io.sb_len_wr));
    for (unsigned i = 0; i < bare.io.sb_len_wr; ++i) {
        std::printf(" %02x", bare.sense[i]);
    }
    std::printf("\nlab: device-error %s sense-layout=%s ata-error=0x%02x ata-status=0x%02x\n", path,
                layout_name(regs.layout), regs.current.features, regs.current.command);

    result = part_read(fd, smart_command(SMART_ENABLE_OPERATIONS), data, &error);
    std::printf("lab: device-error %s smart-enable result=%d errno=%s\n", path, result,
                errno_name(error));
    result = part_read(fd, smart_command(SMART_READ_DATA), data, &error);
    std::printf("lab: device-error %s read-data-after-enable result=%d errno=%s\n", path, result,
                errno_name(error));
    ::close(fd);
    return 0;
}

double micros_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

int cmd_timing(int passes)
{
    // The disks the service walks: /dev/sda, sdb, ... until one is missing.
    std::vector<int> fds;
    for (int n = 0; n < kDriveSlots; ++n) {
        char path[32];
        platform::drive_device_path(n, path, sizeof path);
        const int fd = open_device(path);
        if (fd < 0) {
            break;
        }
        fds.push_back(fd);
    }
    const TaskFile commands[] = {identify_command(), smart_command(SMART_READ_DATA),
                                 smart_command(SMART_READ_THRESHOLDS)};
    std::vector<double> pass_us, bare_us;
    int bad = 0;
    for (int i = 0; i < passes; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const PassResult pass = run_pass();
        pass_us.push_back(micros_since(start));
        if (pass.count != static_cast<int>(fds.size()) + 1) {
            ++bad;
        }
        double total = 0;
        for (const int fd : fds) {
            for (const TaskFile& command : commands) {
                AtaPassBuffer ab = request_for(command);
                const auto call = std::chrono::steady_clock::now();
                const BareResult r = bare_sg_io(fd, &ab);
                total += micros_since(call);
                if (r.ioctl_result != 0 || r.io.status != 0) {
                    ++bad;
                }
            }
        }
        bare_us.push_back(total);
    }
    for (const int fd : fds) {
        ::close(fd);
    }
    const double pass_median = median(pass_us);
    const double bare_median = median(bare_us);
    std::printf("lab: timing disks=%zu passes=%d commands-per-pass=%zu failures=%d\n", fds.size(),
                passes, fds.size() * 3, bad);
    std::printf("lab: timing pass median_us=%.0f min_us=%.0f\n", pass_median,
                *std::min_element(pass_us.begin(), pass_us.end()));
    std::printf("lab: timing bare-sg-io median_us=%.0f min_us=%.0f\n", bare_median,
                *std::min_element(bare_us.begin(), bare_us.end()));
    std::printf("lab: timing pass/bare=%.2f\n", bare_median > 0 ? pass_median / bare_median : 0.0);
    return bad == 0 ? 0 : 1;
}

// ------------------------------------------------------------------ check

struct Expected {
    std::string model;
    std::string serial;
    std::uint64_t sectors;
    std::uint32_t logical;
    std::uint32_t physical;
    unsigned rotation;  // IDENTIFY word 217; 0 = not set
};

std::vector<std::string> split(const std::string& line, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char c : line) {
        if (c == sep) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

bool read_file(const char* path, std::vector<std::uint8_t>* bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int failures = 0;

void expect(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL %s\n", what.c_str());
    }
}

void check_attributes(const smart::DriveRecord& record, const std::string& where)
{
    // What QEMU 7.2's emulated drive reports (../shared notes): attributes
    // 1, 3 (raw 16), 4 (raw 100), 5, 9 (raw 1), 12, 190 (value 69, raw bytes
    // 1f 00 1f 1f 00 00); thresholds 6, 0, 20, 36, 0, 0, 50.
    const smart::AttributeList values = smart::decode_attribute_sector(
        smart::SectorView(record.smart_values, smart::kSectorBytes));
    const smart::ThresholdList thresholds = smart::decode_threshold_sector(
        smart::SectorView(record.smart_thresholds, smart::kSectorBytes));
    const std::uint8_t ids[] = {1, 3, 4, 5, 9, 12, 190};
    const std::uint8_t limits[] = {6, 0, 20, 36, 0, 0, 50};
    expect(values.count == 7, where + ": 7 attributes, found " + std::to_string(values.count));
    smart::AttributeDefinitionTable table = smart::default_attribute_table();
    for (std::size_t i = 0; i < 7 && i < values.count; ++i) {
        const smart::AttributeEntry& e = values.entries[i];
        expect(e.id == ids[i], where + ": attribute " + std::to_string(i) + " id " +
                                   std::to_string(e.id));
        const smart::AttributeThreshold* t = smart::find_threshold(thresholds, e.id);
        expect(t != nullptr && t->threshold == limits[i],
               where + ": threshold of attribute " + std::to_string(e.id));
        const std::uint64_t raw = smart::extract_raw_value(e, table);
        if (e.id == 3) expect(raw == 16, where + ": attribute 3 raw " + std::to_string(raw));
        if (e.id == 4) expect(raw == 100, where + ": attribute 4 raw " + std::to_string(raw));
        if (e.id == 9) expect(raw == 1, where + ": attribute 9 raw " + std::to_string(raw));
        if (e.id == 190) {
            const std::uint8_t want[6] = {0x1f, 0x00, 0x1f, 0x1f, 0x00, 0x00};
            expect(e.value == 69 && std::memcmp(e.raw_bytes, want, 6) == 0,
                   where + ": attribute 190 value/raw bytes");
        }
    }
    std::uint8_t sum = 0;
    for (const std::uint8_t b : record.smart_values) sum = static_cast<std::uint8_t>(sum + b);
    expect(sum == 0, where + ": SMART data checksum");
    sum = 0;
    for (const std::uint8_t b : record.smart_thresholds) sum = static_cast<std::uint8_t>(sum + b);
    expect(sum == 0, where + ": SMART thresholds checksum");
}

int cmd_check(const char* expected_path, int count, char** snapshots)
{
    std::vector<Expected> disks;
    std::ifstream in(expected_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = split(line, '|');
        if (f.size() != 6) {
            std::printf("FAIL bad expectation line: %s\n", line.c_str());
            return 1;
        }
        disks.push_back({f[0], f[1], std::stoull(f[2]), static_cast<std::uint32_t>(std::stoul(f[3])),
                         static_cast<std::uint32_t>(std::stoul(f[4])),
                         static_cast<unsigned>(std::stoul(f[5]))});
    }
    expect(!disks.empty(), "no expected disks");
    expect(count >= 2, "at least two snapshots, found " + std::to_string(count));
    std::string first_order;
    for (int s = 0; s < count; ++s) {
        const std::string name = snapshots[s];
        std::vector<std::uint8_t> bytes;
        smart::DriveSnapshot snapshot;
        if (!read_file(snapshots[s], &bytes) || !smart::split_snapshot(bytes, snapshot)) {
            expect(false, name + ": not a 49185-byte snapshot");
            continue;
        }
        expect(snapshot.count == disks.size() + 1,
               name + ": count byte " + std::to_string(snapshot.count) + ", want " +
                   std::to_string(disks.size() + 1));
        // Which disk lands in which slot is the kernel's naming (/dev/sda,
        // sdb, ...), and libata probes the AHCI ports in parallel: the slots
        // are matched to the configured disks by serial number, each disk
        // exactly once, in the same order in every pass.
        std::vector<bool> seen(disks.size(), false);
        std::string order;
        for (std::size_t slot = 0; slot < disks.size(); ++slot) {
            const smart::DriveRecord& r = snapshot.drives[slot];
            const std::string where = name + " slot " + std::to_string(slot);
            const smart::SectorView id(r.identify, smart::kSectorBytes);
            const std::string model = smart::identify_model(id);
            const std::string serial = smart::identify_serial(id);
            std::size_t which = disks.size();
            for (std::size_t d = 0; d < disks.size(); ++d) {
                if (disks[d].serial == serial && !seen[d]) {
                    which = d;
                }
            }
            if (which == disks.size()) {
                expect(false, where + ": serial '" + serial + "' is no configured disk, or twice");
                continue;
            }
            seen[which] = true;
            order += (slot == 0 ? "" : " ") + serial;
            const Expected& want = disks[which];
            smart::DriveSizes sizes{};
            smart::compute_drive_sizes(id, sizes);
            expect(model == want.model, where + ": model '" + model + "' want '" + want.model + "'");
            expect(serial == want.serial, where + ": serial '" + serial + "'");
            expect(sizes.sector_count == want.sectors,
                   where + ": sectors " + std::to_string(sizes.sector_count) + " want " +
                       std::to_string(want.sectors));
            expect(sizes.logical_sector_bytes == want.logical,
                   where + ": logical " + std::to_string(sizes.logical_sector_bytes));
            expect(sizes.physical_sector_bytes == want.physical,
                   where + ": physical " + std::to_string(sizes.physical_sector_bytes));
            expect(smart::identify_word(id, 217) == want.rotation,
                   where + ": rotation rate word 217 = " +
                       std::to_string(smart::identify_word(id, 217)));
            check_attributes(r, where);
        }
        if (first_order.empty()) {
            first_order = order;
        }
        expect(order == first_order, name + ": slots " + order + ", earlier " + first_order);
        if (failures == 0) {
            std::printf("ok %s: count %u; slots %s as configured; SMART sections as emulated\n",
                        name.c_str(), snapshot.count, order.c_str());
        }
    }
    return failures == 0 ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: lab-probe passthrough DEVICE | device-error DEVICE | timing PASSES |\n"
                 "       check EXPECTED SNAPSHOT...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        return usage();
    }
    const std::string mode = argv[1];
    if (mode == "passthrough") return cmd_passthrough(argv[2]);
    if (mode == "device-error") return cmd_device_error(argv[2]);
    if (mode == "timing") return cmd_timing(std::max(1, std::atoi(argv[2])));
    if (mode == "check") return cmd_check(argv[2], argc - 3, argv + 3);
    return usage();
}
