// The simulated platform: drives that live in memory, answer the register
// blocks the way an ATA drive does, and fail on demand.
#include "simulated.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "../diskinfo.h"
#include "platform.h"

namespace sim {
namespace {

// Handles are offset from drive numbers so that a test mixing the two up
// fails instead of passing by accident.
constexpr platform::DriveHandle kHandleBase = 0x100;

Drive g_drives[kMaxDrives];
bool g_open[kMaxDrives];
bool g_recording = false;
std::vector<Request> g_requests;
SleepHook g_sleep_hook = nullptr;
CommandHook g_command_hook = nullptr;
AnswerHook g_answer_hook = nullptr;
NvmeHook g_nvme_hook = nullptr;
Listener g_listener;
Listener g_nvme_listener;
std::vector<std::uint32_t> g_sleeps;
bool g_clock_fixed = false;
bool g_clock_fails = false;
platform::LocalTime g_clock{};
std::mutex g_status_mutex;
std::vector<ServiceReport> g_reports;
// Registered on the service thread, called from whichever thread plays the
// manager.
std::atomic<platform::ControlHandlerFunction> g_handler{nullptr};
bool g_fail_registration = false;

void put_word(std::uint8_t* sector, int word, std::uint16_t value)
{
    sector[2 * word] = static_cast<std::uint8_t>(value & 0xFF);
    sector[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t get_word(const std::uint8_t* sector, int word)
{
    return static_cast<std::uint16_t>(sector[2 * word] | (sector[2 * word + 1] << 8));
}

// ATA strings are stored two characters to a word, first character in the
// high byte, padded with blanks.
void put_string(std::uint8_t* sector, int first_word, int words, const char* text)
{
    const std::size_t length = std::strlen(text);
    for (int i = 0; i < words * 2; ++i) {
        const char c = static_cast<std::size_t>(i) < length ? text[i] : ' ';
        sector[2 * first_word + (i ^ 1)] = static_cast<std::uint8_t>(c);
    }
}

void put_checksum(std::uint8_t* sector)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 511; ++i) {
        sum = static_cast<std::uint8_t>(sum + sector[i]);
    }
    sector[511] = static_cast<std::uint8_t>(0x100 - sum);
}

// What a drive reports as SMART state in IDENTIFY word 85 bit 0.
void reflect_smart_state(Drive& d)
{
    if (d.identify_is_stale) {
        return;
    }
    std::uint16_t w85 = get_word(d.identify, 85);
    w85 = static_cast<std::uint16_t>(d.smart_on ? (w85 | 1) : (w85 & ~1u));
    put_word(d.identify, 85, w85);
}

int drive_of(platform::DriveHandle handle)
{
    const platform::DriveHandle n = handle - kHandleBase;
    if (n < 0 || n >= kMaxDrives || !g_open[n]) {
        return -1;
    }
    return static_cast<int>(n);
}

platform::IoResult driver_failure(std::uint32_t code)
{
    // As on Windows: 1 and 50 say the driver has no ATA pass-through.
    if (code == 1 || code == 50) {
        return {platform::IoFailure::not_supported, code};
    }
    return {platform::IoFailure::driver_error, code};
}

}  // namespace

void reset()
{
    for (auto& d : g_drives) {
        d = Drive{};
    }
    std::memset(g_open, 0, sizeof g_open);
    g_recording = false;
    g_requests.clear();
    g_requests.shrink_to_fit();
    g_sleep_hook = nullptr;
    g_command_hook = nullptr;
    g_answer_hook = nullptr;
    g_nvme_hook = nullptr;
    g_listener = Listener{};
    g_nvme_listener = Listener{};
    g_sleeps.clear();
    g_clock_fixed = false;
    g_clock_fails = false;
    g_clock = platform::LocalTime{};
    {
        std::lock_guard<std::mutex> lock(g_status_mutex);
        g_reports.clear();
    }
    g_handler.store(nullptr);
    g_fail_registration = false;
}

Drive& drive(int n)
{
    return g_drives[n];
}

void load_record(int n, const std::uint8_t* record)
{
    Drive& d = g_drives[n];
    d.present = true;
    std::memcpy(d.identify, record + 1, 512);
    std::memcpy(d.smart_data, record + 513, 512);
    std::memcpy(d.thresholds, record + 1025, 512);
    d.smart_on = (get_word(d.identify, 85) & 1) != 0;
}

bool load_record_file(int n, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (bytes.size() != sizeof(DriveRecord)) {
        return false;
    }
    load_record(n, bytes.data());
    return true;
}

void make_plain_drive(int n)
{
    Drive& d = g_drives[n];
    d = Drive{};
    d.present = true;
    char serial[21];
    std::snprintf(serial, sizeof serial, "SIM%04d", n);
    put_string(d.identify, 10, 10, serial);
    put_string(d.identify, 23, 4, "1.0");
    put_string(d.identify, 27, 20, "PLATEWISE SIMULATED DRIVE");
    const std::uint64_t sectors = 1953525168ull;  // a 1 TB disk
    put_word(d.identify, 49, 0x0200);             // LBA
    put_word(d.identify, 60, 0xFFFF);
    put_word(d.identify, 61, 0x0FFF);
    put_word(d.identify, 82, 0x4001);             // SMART supported
    put_word(d.identify, 83, 0x4400);             // 48-bit addressing
    put_word(d.identify, 85, 0x4001);             // SMART enabled
    put_word(d.identify, 87, 0x4000);
    for (int i = 0; i < 4; ++i) {
        put_word(d.identify, 100 + i, static_cast<std::uint16_t>(sectors >> (16 * i)));
    }
    put_checksum(d.identify);

    // Attribute table: revision, then 12-byte entries from byte 2.
    struct Attr { std::uint8_t id, value, worst, threshold; std::uint32_t raw; };
    const Attr attrs[] = {{1, 100, 100, 16, 0}, {5, 100, 100, 5, 0}, {9, 98, 98, 0, 1234},
                          {194, 35, 45, 0, 35}};
    put_word(d.smart_data, 0, 0x0010);
    put_word(d.thresholds, 0, 0x0010);
    int slot = 0;
    for (const Attr& a : attrs) {
        std::uint8_t* e = d.smart_data + 2 + 12 * slot;
        e[0] = a.id;
        e[1] = 0x03;
        e[3] = a.value;
        e[4] = a.worst;
        std::memcpy(e + 5, &a.raw, 4);
        std::uint8_t* t = d.thresholds + 2 + 12 * slot;
        t[0] = a.id;
        t[1] = a.threshold;
        ++slot;
    }
    put_checksum(d.smart_data);
    put_checksum(d.thresholds);
}

namespace {

void put_le(std::uint8_t* at, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// NVMe strings are ASCII, first character first, padded with blanks.
void put_text(std::uint8_t* at, int bytes, const char* text)
{
    const std::size_t length = std::strlen(text);
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(i) < length ? text[i] : ' ');
    }
}

}  // namespace

void make_nvme_drive(int n)
{
    Drive& d = g_drives[n];
    d = Drive{};
    d.present = true;
    d.nvme = true;
    d.namespace_id = 1;
    char serial[21];
    std::snprintf(serial, sizeof serial, "SIMNVME%04d", n);
    put_le(d.nvme_controller + 0, 0x1B36, 2);               // VID
    put_text(d.nvme_controller + 4, 20, serial);            // SN
    put_text(d.nvme_controller + 24, 40, "PLATEWISE SIMULATED NVME");  // MN
    put_text(d.nvme_controller + 64, 8, "1.0");             // FR
    put_le(d.nvme_controller + 258, 0x0004, 2);             // LPA: extended data for Get Log Page
    put_le(d.nvme_controller + 266, 343, 2);                // WCTEMP, kelvin
    put_le(d.nvme_controller + 268, 353, 2);                // CCTEMP
    put_le(d.nvme_controller + 516, 1, 4);                  // NN
    const std::uint64_t blocks = 1953525168ull;             // 1 TB of 512-byte blocks
    put_le(d.nvme_namespace + 0, blocks, 8);                // NSZE
    put_le(d.nvme_namespace + 8, blocks, 8);                // NCAP
    put_le(d.nvme_namespace + 16, blocks, 8);               // NUSE
    d.nvme_namespace[26] = 0;                               // FLBAS: format 0
    put_le(d.nvme_namespace + 128, 9u << 16, 4);            // LBAF0: LBADS 9 (512 bytes)
    d.nvme_health[0] = 0;                                   // critical warning
    put_le(d.nvme_health + 1, 308, 2);                      // composite temperature, 35 °C
    d.nvme_health[3] = 100;                                 // available spare
    d.nvme_health[4] = 10;                                  // its threshold
    d.nvme_health[5] = 3;                                   // percentage used
    put_le(d.nvme_health + 32, 123456, 8);                  // data units read
    put_le(d.nvme_health + 48, 654321, 8);                  // data units written
    put_le(d.nvme_health + 112, 42, 8);                     // power cycles
    put_le(d.nvme_health + 128, 1234, 8);                   // power-on hours
    put_le(d.nvme_health + 144, 3, 8);                      // unsafe shutdowns
}

void set_nvme_hook(NvmeHook hook)
{
    g_nvme_hook = hook;
}

void set_recording(bool on)
{
    g_recording = on;
}

const std::vector<Request>& requests()
{
    return g_requests;
}

void clear_requests()
{
    g_requests.clear();
}

int open_handles()
{
    int count = 0;
    for (bool open : g_open) {
        count += open ? 1 : 0;
    }
    return count;
}

void set_sleep_hook(SleepHook hook)
{
    g_sleep_hook = hook;
}

void set_command_hook(CommandHook hook)
{
    g_command_hook = hook;
}

void set_answer_hook(AnswerHook hook)
{
    g_answer_hook = hook;
}

Listener& listener()
{
    return g_listener;
}

Listener& nvme_listener()
{
    return g_nvme_listener;
}

std::vector<ServiceReport> status_reports()
{
    std::lock_guard<std::mutex> lock(g_status_mutex);
    return g_reports;
}

void clear_status_reports()
{
    std::lock_guard<std::mutex> lock(g_status_mutex);
    g_reports.clear();
}

void send_control(std::uint32_t control)
{
    const platform::ControlHandlerFunction handler = g_handler.load();
    if (handler != nullptr) {
        handler(control);
    }
}

void fail_registration(bool fail)
{
    g_fail_registration = fail;
}

void fix_clock(const platform::LocalTime& time)
{
    g_clock = time;
    g_clock_fixed = true;
}

void fail_clock(bool fail)
{
    g_clock_fails = fail;
}

const std::vector<std::uint32_t>& sleeps()
{
    return g_sleeps;
}

Command classify(std::uint8_t features, std::uint8_t lba_mid, std::uint8_t lba_high,
                 std::uint8_t command)
{
    if (command == ATA_IDENTIFY_DEVICE) {
        return Command::identify;
    }
    if (command != ATA_SMART || lba_mid != SMART_LBA_MID_SIGNATURE ||
        lba_high != SMART_LBA_HIGH_SIGNATURE) {
        return Command::other;
    }
    switch (features) {
    case SMART_READ_DATA:
        return Command::smart_read_data;
    case SMART_READ_THRESHOLDS:
        return Command::smart_read_thresholds;
    case SMART_ENABLE_OPERATIONS:
        return Command::smart_enable;
    case SMART_DISABLE_OPERATIONS:
        return Command::smart_disable;
    default:
        return Command::other;
    }
}

}  // namespace sim

// ------------------------------------------------------------ the seam

namespace platform {

void drive_device_path(std::int32_t number, char* out, std::size_t size)
{
    std::snprintf(out, size, "\\\\.\\PhysicalDrive%d", static_cast<int>(number));
}

DriveOpenResult open_drive_device(std::int32_t number)
{
    if (number < 0 || number >= sim::kMaxDrives || !sim::g_drives[number].present) {
        return {invalid_drive_handle, OpenFailure::not_found, 2};
    }
    sim::Drive& d = sim::g_drives[number];
    switch (d.open_error) {
    case 0:
        break;
    case 2:
        return {invalid_drive_handle, OpenFailure::not_found, 2};
    case 5:
        return {invalid_drive_handle, OpenFailure::access_denied, 5};
    default:
        return {invalid_drive_handle, OpenFailure::other, d.open_error};
    }
    ++d.opens;
    sim::g_open[number] = true;
    return {sim::kHandleBase + number, OpenFailure::none, 0};
}

void close_drive(DriveHandle handle)
{
    const int n = sim::drive_of(handle);
    if (n >= 0) {
        sim::g_open[n] = false;
        ++sim::g_drives[n].closes;
    }
}

IoResult send_ata_passthrough(DriveHandle handle, std::uint8_t* request,
                              std::uint32_t request_size, std::uint32_t* returned)
{
    const int n = sim::drive_of(handle);
    if (sim::g_recording) {
        sim::g_requests.push_back(
            sim::Request{n, request_size, std::vector<std::uint8_t>(request, request + request_size)});
    }
    if (n < 0) {
        return {IoFailure::driver_error, 6};  // invalid handle
    }
    if (sim::g_answer_hook != nullptr) {
        return sim::g_answer_hook(n, request, request_size, returned);
    }
    sim::Drive& d = sim::g_drives[n];
    if (!d.present) {
        return {IoFailure::driver_error, 1167};  // the device went away while open
    }

    // Only well-formed requests reach the device.
    auto* ab = reinterpret_cast<AtaPassBuffer*>(request);
    if (request_size < kPassthroughHeaderBytes || request_size > sizeof(AtaPassBuffer) ||
        ab->apt.Length != sizeof(AtaPassThroughRecord) ||
        ab->apt.DataBufferOffset != kPassthroughHeaderBytes ||
        request_size != kPassthroughHeaderBytes + ab->apt.DataTransferLength) {
        return {IoFailure::driver_error, 87};  // invalid parameter
    }

    TaskFile& regs = ab->apt.CurrentTaskFile;
    const sim::Command cmd = sim::classify(regs.features, regs.lba_mid, regs.lba_high, regs.command);
    ++d.commands_seen[static_cast<int>(cmd)];
    if (d.received.size() < sim::kMaxReceived) {
        d.received.push_back(cmd);
    }
    sim::CommandFault fault = d.faults[static_cast<int>(cmd)];
    if (sim::g_command_hook != nullptr) {
        sim::g_command_hook(n, cmd, fault);
    }
    if (d.nvme) {
        return sim::driver_failure(1);  // an NVMe driver has no ATA pass-through
    }

    *returned = request_size;
    const bool data_in = (ab->apt.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
    auto abort_command = [&] {
        regs.features = 0x04;  // ABRT
        regs.command = 0x51;   // DRDY | DSC | ERR
    };

    switch (fault.kind) {
    case sim::Fault::driver_error:
        return sim::driver_failure(fault.code);
    case sim::Fault::status_err:
        abort_command();
        return {IoFailure::none, 0};
    case sim::Fault::status_drq:
        regs.features = 0;
        regs.command = 0x58;  // DRDY | DSC | DRQ
        return {IoFailure::none, 0};
    case sim::Fault::untouched_data:
        regs.features = 0;
        regs.command = 0x50;
        return {IoFailure::none, 0};
    default:
        break;
    }

    const std::uint8_t* source = nullptr;
    switch (cmd) {
    case sim::Command::identify:
        sim::reflect_smart_state(d);
        source = d.identify;
        break;
    case sim::Command::smart_read_data:
        source = d.smart_on ? d.smart_data : nullptr;
        break;
    case sim::Command::smart_read_thresholds:
        source = d.smart_on ? d.thresholds : nullptr;
        break;
    case sim::Command::smart_enable:
    case sim::Command::smart_disable:
        // These move no data: whatever the host asked for, the data area
        // comes back as it went out.
        d.smart_on = cmd == sim::Command::smart_enable;
        sim::reflect_smart_state(d);
        regs.features = 0;
        regs.command = 0x50;
        return {IoFailure::none, 0};
    default:
        break;
    }

    if (source == nullptr || !data_in) {
        abort_command();
        return {IoFailure::none, 0};
    }
    // The device sends its one sector; a shorter transfer gets its first bytes.
    const std::uint32_t length = ab->apt.DataTransferLength < 512 ? ab->apt.DataTransferLength : 512;
    std::memcpy(ab->data, source, length);
    regs.features = 0;
    regs.command = 0x50;  // DRDY | DSC
    if (fault.kind == sim::Fault::short_count) {
        *returned = kPassthroughHeaderBytes + 256;
    } else if (fault.kind == sim::Fault::long_count) {
        *returned = request_size + 1;
    } else if (fault.kind == sim::Fault::status_err_with_data) {
        regs.features = 0x04;  // ABRT
        regs.command = 0x51;
    } else if (fault.kind == sim::Fault::status_drq_with_data) {
        regs.command = 0x58;
    }
    return {IoFailure::none, 0};
}

NvmeReply read_nvme_page(DriveHandle handle, NvmePage page, std::uint8_t* out,
                         std::uint32_t size)
{
    const int n = sim::drive_of(handle);
    if (n < 0) {
        return {NvmeFailure::driver_error, 6, 0};  // invalid handle
    }
    sim::Drive& d = sim::g_drives[n];
    if (d.nvme_received.size() < sim::kMaxReceived) {
        d.nvme_received.push_back(page);
    }
    if (!d.present) {
        return {NvmeFailure::driver_error, 1167, 0};
    }
    if (!d.nvme) {
        return {NvmeFailure::not_supported, 1, 0};
    }
    const int index = static_cast<int>(page);
    sim::NvmeRequestFault fault = d.nvme_faults[index];
    if (sim::g_nvme_hook != nullptr) {
        sim::g_nvme_hook(n, page, fault);
    }
    const std::uint8_t* source = page == NvmePage::identify_controller ? d.nvme_controller
                                 : page == NvmePage::identify_namespace ? d.nvme_namespace
                                                                        : d.nvme_health;
    const std::uint32_t page_size = page == NvmePage::health_log ? 512u : 4096u;
    if (size != page_size) {
        return {NvmeFailure::driver_error, 87, 0};  // invalid parameter
    }
    switch (fault.kind) {
    case sim::NvmeFault::not_supported:
        return {NvmeFailure::not_supported, 50, 0};
    case sim::NvmeFault::driver_error:
        return {NvmeFailure::driver_error, fault.code, 0};
    case sim::NvmeFault::device_error:
        std::memset(out, 0xA5, size);  // whatever the transfer left behind
        return {NvmeFailure::device_error, fault.code, 0};
    case sim::NvmeFault::short_reply:
        std::memcpy(out, source, size / 2);
        return {NvmeFailure::driver_error, 1117, 0};
    case sim::NvmeFault::garbled_reply:
        for (std::uint32_t i = 0; i < size; ++i) {
            out[i] = static_cast<std::uint8_t>(i * 131 + 7);
        }
        break;
    default:
        std::memcpy(out, source, size);
        break;
    }
    const std::uint32_t namespace_id = page == NvmePage::identify_namespace ? d.namespace_id : 0;
    return {NvmeFailure::none, 0, namespace_id};
}

}  // namespace platform

// ------------------------------------------------------ time, log, pipe

namespace platform {

void sleep_ms(std::uint32_t milliseconds)
{
    if (sim::g_sleeps.size() < 1024) {
        sim::g_sleeps.push_back(milliseconds);
    }
    if (sim::g_sleep_hook != nullptr) {
        sim::g_sleep_hook(milliseconds);
    }
}

bool local_time_now(LocalTime* out)
{
    if (sim::g_clock_fails) {
        // As a real conversion may: part of a reading is left behind.
        *out = LocalTime{sim::g_clock.year, sim::g_clock.month, 0, 0, 0, 0};
        return false;
    }
    if (sim::g_clock_fixed) {
        *out = sim::g_clock;
        return true;
    }
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#if defined(_WIN32)
    if (localtime_s(&parts, &now) != 0) {
        return false;
    }
#else
    if (localtime_r(&now, &parts) == nullptr) {
        return false;
    }
#endif
    *out = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

char* environment_copy(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? nullptr : strdup(value);
}

const char* const log_path_format = "%s/platewise_s.log";

std::FILE* open_log_file(const char* path)
{
    // Binary on every host: the simulated log has the same bytes everywhere.
    return std::fopen(path, "a+b");
}

const char* const pipe_name = "sim:PlatewisePipe";
const char* const nvme_pipe_name = "sim:PlatewiseNvmePipe";

namespace {

// Connections are handed out as these handles, one per endpoint.
constexpr PipeHandle kPipeHandle = 0x200;
constexpr PipeHandle kNvmePipeHandle = 0x201;

bool is_nvme_endpoint(const char* name)
{
    return std::strcmp(name, nvme_pipe_name) == 0;
}

sim::Listener& listener_of(PipeHandle handle)
{
    return handle == kNvmePipeHandle ? sim::g_nvme_listener : sim::g_listener;
}

}  // namespace

PipeOpenResult open_pipe(const char* name)
{
    const bool nvme = is_nvme_endpoint(name);
    sim::Listener& l = nvme ? sim::g_nvme_listener : sim::g_listener;
    ++l.opens;
    l.last_endpoint = name;
    if (l.mode == sim::ListenerMode::absent) {
        return {invalid_pipe_handle, PipeOpenFailure::other, 2};
    }
    if (l.busy_opens > 0) {
        --l.busy_opens;
        return {invalid_pipe_handle, PipeOpenFailure::busy, 231};
    }
    ++l.open_connections;
    return {nvme ? kNvmePipeHandle : kPipeHandle, PipeOpenFailure::none, 0};
}

bool wait_pipe(const char* name, std::uint32_t timeout_ms)
{
    sim::Listener& l = is_nvme_endpoint(name) ? sim::g_nvme_listener : sim::g_listener;
    ++l.waits;
    l.last_wait_timeout = timeout_ms;
    return l.wait_succeeds;
}

bool write_pipe(PipeHandle handle, const void* bytes, std::uint32_t size)
{
    sim::Listener& l = listener_of(handle);
    if (l.mode == sim::ListenerMode::closing_early) {
        return false;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    l.last_message.assign(p, p + size);
    if (l.keep_messages) {
        l.messages.emplace_back(p, p + size);
    }
    ++l.delivered;
    return true;
}

void close_pipe(PipeHandle handle)
{
    --listener_of(handle).open_connections;
}

// ------------------------------------------------------ service manager

int run_service_dispatcher(const char* /*service_name*/, ServiceMainFunction service_main)
{
    std::thread service_thread(service_main, 0u, nullptr);
    service_thread.join();
    for (const sim::ServiceReport& report : sim::status_reports()) {
        if (report.state == SERVICE_STOPPED && report.exit_code != 0) {
            return 255;
        }
    }
    return 0;
}

StatusHandle register_control_handler(const char* /*name*/, ControlHandlerFunction handler)
{
    if (sim::g_fail_registration) {
        return 0;
    }
    sim::g_handler.store(handler);
    return 0x300;
}

void set_service_status(StatusHandle /*handle*/, const ServiceStatus* status)
{
    std::lock_guard<std::mutex> lock(sim::g_status_mutex);
    sim::g_reports.push_back(sim::ServiceReport{status->dwCurrentState, status->dwControlsAccepted,
                                                status->dwWin32ExitCode, status->dwServiceType});
}

}  // namespace platform
