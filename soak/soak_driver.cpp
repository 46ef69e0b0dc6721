// platewise-soak: the real monitoring cycle over simulated drives for as
// many passes as asked, with SATA and NVMe drives appearing and vanishing,
// random command and NVMe request faults, listeners (snapshot and NVMe
// endpoints) that are absent, busy or closing early, and the log
// directory disappearing and coming back. Every delivered snapshot is
// checked byte for byte against a model of what the drives answered (the
// NVMe snapshot too), and
// the process's heap, memory and descriptors are watched for growth.
//
//   platewise-soak [--passes N] [--seed S]
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "resident_memory.h"
#include "diskinfo.h"
#include "nvme_snapshot.h"
#include "platform/simulated.h"
#include "service.h"

// Every buffer the service takes from the heap goes through calloc: the link
// wraps it (-Wl,--wrap=calloc) so that each one is counted.
extern "C" void* __real_calloc(std::size_t count, std::size_t size);
static std::uint64_t g_callocs = 0;
extern "C" void* __wrap_calloc(std::size_t count, std::size_t size)
{
    ++g_callocs;
    return __real_calloc(count, size);
}

namespace {

constexpr int kSimDrives = 40;  // more than the table's 32 slots

struct Options {
    std::uint64_t passes = 10000;
    std::uint64_t seed = 1;
};

struct Stats {
    std::uint64_t passes = 0;
    std::uint64_t delivered = 0;
    std::uint64_t undelivered = 0;
    std::uint64_t faults = 0;
    std::uint64_t commands = 0;
    std::uint64_t log_stops = 0;
    std::uint64_t start_failures = 0;
    std::uint64_t errors = 0;
    std::uint64_t nvme_delivered = 0;
    std::uint64_t nvme_faults = 0;
};

std::mt19937_64 g_random;
Stats g_stats;
Options g_options;
std::string g_log_dir;
bool g_log_dir_gone = false;
int g_log_dir_back_in = 0;

// The model: what every slot of the table must hold, and what this pass's
// snapshot must look like.
DriveRecord g_model[kDriveSlots];
int g_expected_count = 0;
bool g_expect_delivery = false;
std::uint64_t g_pass_commands = 0;
std::uint64_t g_callocs_at_pass_start = 0;
int g_delivered_before = 0;
int g_nvme_delivered_before = 0;
bool g_expect_nvme_delivery = false;
// The fault each NVMe request of this pass met, per drive and page.
sim::NvmeFault g_nvme_faults[kDriveSlots][sim::kNvmePages];

bool chance(double p)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(g_random) < p;
}

int pick(int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(g_random);
}

void fail(const char* what, std::uint64_t pass)
{
    ++g_stats.errors;
    if (g_stats.errors <= 20) {
        std::fprintf(stderr, "platewise-soak: pass %" PRIu64 ": %s\n", pass, what);
    }
}

// What a command's section must hold after this pass: decided here, where the
// fault for the command is chosen.
void on_command(int drive, sim::Command command, sim::CommandFault& fault)
{
    ++g_pass_commands;
    if (chance(0.03)) {
        static const sim::CommandFault kinds[] = {
            {sim::Fault::driver_error, 1},  {sim::Fault::driver_error, 50},
            {sim::Fault::driver_error, 31}, {sim::Fault::status_err, 0},
            {sim::Fault::status_drq, 0},    {sim::Fault::short_count, 0},
            {sim::Fault::untouched_data, 0}};
        fault = kinds[pick(0, 6)];
        ++g_stats.faults;
    }
    if (drive >= kDriveSlots) {
        return;
    }
    const sim::Drive& d = sim::drive(drive);
    DriveRecord& slot = g_model[drive];
    // NVMe drives refuse every ATA command: their sections stay zero.
    const bool failed = fault.kind != sim::Fault::none || d.nvme;
    switch (command) {
    case sim::Command::identify:
        std::memcpy(slot.identify, d.identify, 512);
        if (!d.identify_is_stale) {
            slot.identify[170] = static_cast<std::uint8_t>((slot.identify[170] & 0xFE) | (d.smart_on ? 1 : 0));
        }
        if (failed) {
            std::memset(slot.identify, 0, 512);
        }
        break;
    case sim::Command::smart_read_data:
        if (failed || !d.smart_on) {
            std::memset(slot.smart_values, 0, 512);
        } else {
            std::memcpy(slot.smart_values, d.smart_data, 512);
        }
        break;
    case sim::Command::smart_read_thresholds:
        if (failed || !d.smart_on) {
            std::memset(slot.smart_thresholds, 0, 512);
        } else {
            std::memcpy(slot.smart_thresholds, d.thresholds, 512);
        }
        break;
    default:
        break;
    }
}

void on_nvme_request(int drive, platform::NvmePage page, sim::NvmeRequestFault& fault)
{
    if (chance(0.03)) {
        static const sim::NvmeRequestFault kinds[] = {
            {sim::NvmeFault::not_supported, 0}, {sim::NvmeFault::driver_error, 31},
            {sim::NvmeFault::device_error, 0x4281}, {sim::NvmeFault::short_reply, 0},
            {sim::NvmeFault::garbled_reply, 0}};
        fault = kinds[pick(0, 4)];
        ++g_stats.nvme_faults;
    }
    if (drive < kDriveSlots) {
        g_nvme_faults[drive][static_cast<int>(page)] = fault.kind;
    }
}

// What slot `n` of this pass's NVMe snapshot must hold for drive n, opened.
void expected_nvme_slot(int n, NvmeSlot* slot)
{
    std::memset(slot, 0, sizeof *slot);
    const sim::Drive& d = sim::drive(n);
    std::memset(slot->results, 0xFF, sizeof slot->results);
    if (!d.nvme) {
        slot->status = static_cast<std::uint8_t>(NvmeSlotStatus::not_nvme);
        slot->results[0] = static_cast<std::uint8_t>(NvmeRequestResult::not_supported);
        return;
    }
    std::uint8_t* sections[3] = {slot->identify_controller, slot->identify_namespace,
                                 slot->health_log};
    const std::uint8_t* pages[3] = {d.nvme_controller, d.nvme_namespace, d.nvme_health};
    const int sizes[3] = {4096, 4096, 512};
    bool all_read = true;
    for (int i = 0; i < 3; ++i) {
        NvmeRequestResult result = NvmeRequestResult::read;
        switch (g_nvme_faults[n][i]) {
        case sim::NvmeFault::not_supported: result = NvmeRequestResult::not_supported; break;
        case sim::NvmeFault::driver_error:
        case sim::NvmeFault::short_reply: result = NvmeRequestResult::driver_error; break;
        case sim::NvmeFault::device_error: result = NvmeRequestResult::device_error; break;
        case sim::NvmeFault::garbled_reply:
            for (int b = 0; b < sizes[i]; ++b) {
                sections[i][b] = static_cast<std::uint8_t>(b * 131 + 7);
            }
            break;
        default:
            std::memcpy(sections[i], pages[i], sizes[i]);
            break;
        }
        slot->results[i] = static_cast<std::uint8_t>(result);
        if (result != NvmeRequestResult::read) {
            all_read = false;
        } else if (i == 1) {
            slot->namespace_id = d.namespace_id;
        }
        if (i == 0 && result == NvmeRequestResult::not_supported) {
            slot->status = static_cast<std::uint8_t>(NvmeSlotStatus::not_nvme);
            return;
        }
    }
    slot->status = static_cast<std::uint8_t>(all_read ? NvmeSlotStatus::answered
                                                      : NvmeSlotStatus::failed);
}

void check_nvme_snapshot(std::uint64_t pass)
{
    const sim::Listener& l = sim::nvme_listener();
    const bool delivered = l.delivered != g_nvme_delivered_before;
    if (delivered != g_expect_nvme_delivery) {
        fail(delivered ? "an NVMe snapshot arrived that could not have" : "an NVMe snapshot was lost",
             pass);
    }
    if (!delivered) {
        return;
    }
    ++g_stats.nvme_delivered;
    if (l.last_message.size() != sizeof(NvmeSnapshot)) {
        fail("NVMe snapshot of the wrong size", pass);
        return;
    }
    const auto* message = reinterpret_cast<const NvmeSnapshot*>(l.last_message.data());
    const std::uint8_t header[16] = {0x50, 0x57, 0x4E, 0x56, 0x4D, 0x45, 0x0D, 0x0A, 1, 0,
                                     static_cast<std::uint8_t>(g_expected_count)};
    if (std::memcmp(message, header, sizeof header) != 0) {
        fail("NVMe snapshot header differs", pass);
    }
    static NvmeSlot expected;
    for (int n = 0; n < kDriveSlots; ++n) {
        if (n < g_expected_count - 1) {
            expected_nvme_slot(n, &expected);
        } else {
            std::memset(&expected, 0, sizeof expected);  // not opened: absent
        }
        if (std::memcmp(&message->slots[n], &expected, sizeof expected) != 0) {
            char text[80];
            std::snprintf(text, sizeof text, "NVMe slot %d differs from what the drive answered", n);
            fail(text, pass);
            return;
        }
    }
}

// The drives as the next pass will find them.
void change_the_world()
{
    for (int n = 0; n < kSimDrives; ++n) {
        sim::Drive& d = sim::drive(n);
        if (!d.present && chance(n < 4 ? 0.3 : 0.05)) {
            if (chance(0.3)) {
                sim::make_nvme_drive(n);
                d.nvme_health[1] = static_cast<std::uint8_t>(pick(0, 255));  // vary the data
                d.namespace_id = static_cast<std::uint32_t>(pick(1, 4));
            } else {
                sim::make_plain_drive(n);
                d.smart_data[2 + 5] = static_cast<std::uint8_t>(pick(0, 255));  // vary the data
                d.smart_on = !chance(0.1);
            }
        } else if (d.present && chance(0.03)) {
            d.present = false;
        }
        if (d.present) {
            d.open_error = chance(0.01) ? (chance(0.5) ? 5 : 32) : 0;
            if (chance(0.02)) {
                d.smart_on = false;  // somebody switched SMART off; the service switches it on
            }
        }
    }

    sim::Listener& l = sim::listener();
    const int mode = pick(0, 99);
    l.mode = mode < 8 ? sim::ListenerMode::absent
                      : (mode < 13 ? sim::ListenerMode::closing_early : sim::ListenerMode::accepting);
    l.busy_opens = mode >= 13 && mode < 25 ? pick(1, 3) : 0;
    l.wait_succeeds = !chance(0.2);

    sim::Listener& nvme = sim::nvme_listener();
    const int nvme_mode = pick(0, 99);
    nvme.mode = nvme_mode < 8 ? sim::ListenerMode::absent
                              : (nvme_mode < 13 ? sim::ListenerMode::closing_early
                                                : sim::ListenerMode::accepting);
    nvme.busy_opens = nvme_mode >= 13 && nvme_mode < 25 ? pick(1, 3) : 0;
    nvme.wait_succeeds = !chance(0.2);

    if (g_log_dir_gone && --g_log_dir_back_in <= 0) {
        std::filesystem::create_directories(g_log_dir);
        g_log_dir_gone = false;
    } else if (!g_log_dir_gone && chance(0.01)) {
        std::filesystem::remove_all(g_log_dir);
        g_log_dir_gone = true;
        g_log_dir_back_in = pick(1, 5);
    }
}

// The count byte and whether the snapshot can arrive, from the drives as they
// stand before the pass.
void predict_pass()
{
    int count = 1;
    for (int n = 0; n < kDriveSlots; ++n) {
        const sim::Drive& d = sim::drive(n);
        if (!d.present || d.open_error != 0) {
            break;
        }
        ++count;
    }
    g_expected_count = count;
    const sim::Listener& l = sim::listener();
    g_expect_delivery = l.mode == sim::ListenerMode::accepting && (l.busy_opens == 0 || l.wait_succeeds);
    g_pass_commands = 0;
    g_callocs_at_pass_start = g_callocs;
    g_delivered_before = sim::listener().delivered;
    const sim::Listener& nvme = sim::nvme_listener();
    g_expect_nvme_delivery =
        nvme.mode == sim::ListenerMode::accepting && (nvme.busy_opens == 0 || nvme.wait_succeeds);
    g_nvme_delivered_before = nvme.delivered;
    for (auto& drive : g_nvme_faults) {
        for (auto& fault : drive) {
            fault = sim::NvmeFault::none;
        }
    }
}

void check_pass()
{
    const std::uint64_t pass = g_stats.passes;
    const sim::Listener& l = sim::listener();
    const bool delivered = l.delivered != g_delivered_before;
    if (delivered != g_expect_delivery) {
        fail(delivered ? "a snapshot arrived that could not have" : "a snapshot was lost", pass);
    }
    if (g_callocs - g_callocs_at_pass_start != g_pass_commands) {
        fail("heap allocations per pass differ from one per command", pass);
    }
    g_stats.commands += g_pass_commands;
    if (sim::open_handles() != 0) {
        fail("a drive handle was left open", pass);
    }
    check_nvme_snapshot(pass);
    if (!delivered) {
        ++g_stats.undelivered;
        return;
    }
    ++g_stats.delivered;
    if (l.last_message.size() != sizeof(DriveSnapshot)) {
        fail("snapshot of the wrong size", pass);
        return;
    }
    const auto* snapshot = reinterpret_cast<const DriveSnapshot*>(l.last_message.data());
    if (snapshot->count != g_expected_count) {
        char text[96];
        std::snprintf(text, sizeof text, "count byte %d, expected %d", snapshot->count, g_expected_count);
        fail(text, pass);
    }
    for (int slot = 0; slot < kDriveSlots; ++slot) {
        if (snapshot->drives[slot].reserved != 0) {
            fail("reserved byte not zero", pass);
        }
        if (std::memcmp(&snapshot->drives[slot], &g_model[slot], sizeof(DriveRecord)) != 0) {
            char text[64];
            std::snprintf(text, sizeof text, "slot %d differs from what the drive answered", slot);
            fail(text, pass);
            return;
        }
    }
}

int open_descriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

long g_rss_early = 0;
int g_fds_early = 0;

void sample_after_warmup()
{
    const std::uint64_t warmup = g_options.passes / 10 < 1000 ? g_options.passes / 10 : 1000;
    if (g_rss_early == 0 && g_stats.passes >= warmup) {
        g_rss_early = resident_kib();
        g_fds_early = open_descriptors();
    }
}

void between_passes_without_wait()
{
    ++g_stats.passes;
    check_pass();
    sample_after_warmup();
}

void between_passes(std::uint32_t milliseconds)
{
    if (milliseconds != kPollIntervalMs) {
        return;
    }
    ++g_stats.passes;
    check_pass();
    sample_after_warmup();
    if (g_stats.passes >= g_options.passes) {
        set_state(platform::SERVICE_STOPPED, 0);
        return;
    }
    change_the_world();
    predict_pass();
}

bool under_memory_tool()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
#endif
}

bool parse(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--passes" || arg == "--seed") && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(argv[++i], &end, 10);
            if (*end != '\0') {
                return false;
            }
            (arg == "--passes" ? g_options.passes : g_options.seed) = value;
        } else {
            return false;
        }
    }
    return g_options.passes > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!parse(argc, argv)) {
        std::fprintf(stderr, "usage: platewise-soak [--passes N] [--seed S]\n");
        return 2;
    }
    g_random.seed(g_options.seed);

    char pattern[] = "/tmp/platewise-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("platewise-soak: mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    g_log_dir = root + "/log";
    std::filesystem::create_directories(g_log_dir);
    setenv("APPDATA", g_log_dir.c_str(), 1);

    sim::reset();
    sim::set_command_hook(on_command);
    sim::set_nvme_hook(on_nvme_request);
    sim::set_sleep_hook(between_passes);
    change_the_world();

    while (g_stats.passes < g_options.passes) {
        predict_pass();
        service_main(0, nullptr);  // returns when stopped: by us, or by an unwritable log
        if (g_stats.passes >= g_options.passes) {
            break;
        }
        const auto reports = sim::status_reports();
        const bool stopped_on_log = !reports.empty() &&
                                    reports.back().state == platform::SERVICE_STOPPED &&
                                    reports.back().exit_code == 0xFFFFFFFFu;
        if (!stopped_on_log) {
            fail("the service stopped without reporting an unwritable log", g_stats.passes);
        }
        if (reports.size() == 1) {
            ++g_stats.start_failures;  // the start line could not be written: no pass ran
        } else {
            // The drive-0 line could not be written: the stop comes after
            // that pass's snapshot, which is checked like any other.
            ++g_stats.log_stops;
            between_passes_without_wait();
        }
        sim::clear_status_reports();
        // The directory comes back, as an administrator would bring it, and
        // the manager starts the service again.
        std::filesystem::create_directories(g_log_dir);
        g_log_dir_gone = false;
        change_the_world();
    }
    if (g_rss_early == 0) {
        g_rss_early = resident_kib();
        g_fds_early = open_descriptors();
    }
    const long rss_end = resident_kib();
    const int fds_end = open_descriptors();
    // A little growth after warm-up is the allocator settling; a leak per
    // pass shows as far more over a long run. Under ASan or valgrind freed
    // memory is held back on purpose, so resident size says nothing there;
    // those tools report leaks themselves.
    if (!under_memory_tool() && rss_end - g_rss_early > 1024) {
        fail("resident memory grew by more than 1 MiB after warm-up", g_stats.passes);
    }
    if (fds_end != g_fds_early) {
        fail("open descriptors grew", g_stats.passes);
    }

    std::printf("passes %" PRIu64 ", snapshots delivered %" PRIu64 ", dropped %" PRIu64
                ", commands %" PRIu64 ", injected faults %" PRIu64
                ", stops on unwritable log %" PRIu64 " (at start %" PRIu64 ")\n",
                g_stats.passes, g_stats.delivered, g_stats.undelivered, g_stats.commands,
                g_stats.faults, g_stats.log_stops, g_stats.start_failures);
    std::printf("NVMe snapshots delivered %" PRIu64 ", injected NVMe faults %" PRIu64 "\n",
                g_stats.nvme_delivered, g_stats.nvme_faults);
    std::printf("resident memory %ld KiB after warm-up, %ld KiB at the end; descriptors %d and %d\n",
                g_rss_early, rss_end, g_fds_early, fds_end);
    std::printf("%" PRIu64 " passed, %" PRIu64 " failed\n", g_stats.passes - g_stats.errors,
                g_stats.errors);

    sim::reset();
    std::filesystem::remove_all(root);
    return g_stats.errors == 0 ? 0 : 1;
}
