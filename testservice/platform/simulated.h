// Control of the simulated platform: a table of drives that answer ATA
// commands as real drives do, with faults injected on demand, and a record
// of every request they received. Used by tests, demos, soaks and fuzzers;
// the shipped service never links it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

namespace sim {

inline constexpr int kMaxDrives = 64;

// A status report as the manager received it.
struct ServiceReport {
    std::uint32_t state;
    std::uint32_t controls_accepted;
    std::uint32_t exit_code;
    std::uint32_t service_type;
};

// What a simulated command can be made to do instead of its normal answer.
enum class Fault : std::uint8_t {
    none,
    driver_error,    // the driver call fails with `code` (1 and 50 mean "not supported")
    status_err,      // the device answers with ERR in Status (0x51)
    status_drq,      // the device answers with DRQ in Status (0x58)
    short_count,     // the driver reports fewer bytes than were asked for
    untouched_data,  // the data area comes back exactly as it went out
    // The device sends its whole sector and the driver reports every byte,
    // but Status ends with ERR (0x51) or DRQ (0x58): only the status test
    // can tell these from a good answer.
    status_err_with_data,
    status_drq_with_data,
    long_count,      // the driver reports more bytes than were asked for
};

struct CommandFault {
    Fault kind = Fault::none;
    std::uint32_t code = 0;  // driver error code for Fault::driver_error
};

// The commands a simulated drive tells apart.
enum class Command : std::uint8_t {
    identify,
    smart_read_data,
    smart_read_thresholds,
    smart_enable,
    smart_disable,
    other,  // anything else: aborted with ERR
};
inline constexpr int kCommandKinds = 6;
inline constexpr std::size_t kMaxReceived = 256;

// What a simulated NVMe request can be made to do instead of its answer.
enum class NvmeFault : std::uint8_t {
    none,
    not_supported,   // refused as not supported (as a SATA disk refuses all three)
    driver_error,    // the system refuses it with `code`
    device_error,    // the controller completes it with NVMe status `code`
    short_reply,     // the driver hands back fewer bytes than the page: a driver error
    garbled_reply,   // the driver says "read" but the page's bytes are noise
};

struct NvmeRequestFault {
    NvmeFault kind = NvmeFault::none;
    std::uint32_t code = 0;
};

inline constexpr int kNvmePages = 3;  // in the order of platform::NvmePage

struct Drive {
    bool present = false;
    // Open failure: 0 opens; 2 not found, 5 access denied, anything else "other".
    std::int32_t open_error = 0;
    std::uint8_t identify[512] = {};
    std::uint8_t smart_data[512] = {};
    std::uint8_t thresholds[512] = {};
    // SMART state; IDENTIFY word 85 bit 0 follows it unless the drive keeps a
    // stale IDENTIFY (as some emulators do).
    bool smart_on = true;
    bool identify_is_stale = false;
    CommandFault faults[kCommandKinds];
    // Counts of what the drive was asked to do.
    int commands_seen[kCommandKinds] = {};
    // The same, in order of arrival; the first kMaxReceived are kept.
    std::vector<Command> received;
    // NVMe: a drive with nvme set answers the three NVMe pages and refuses
    // every ATA command as not supported (driver code 1), as the NVMe
    // drivers do; a drive without it refuses every NVMe page as not
    // supported.
    bool nvme = false;
    std::uint32_t namespace_id = 1;
    std::uint8_t nvme_controller[4096] = {};
    std::uint8_t nvme_namespace[4096] = {};
    std::uint8_t nvme_health[512] = {};
    NvmeRequestFault nvme_faults[kNvmePages];
    // The NVMe pages asked for, in order (first kMaxReceived).
    std::vector<platform::NvmePage> nvme_received;
    int opens = 0;
    int closes = 0;
};

// One pass-through request as it reached the driver.
struct Request {
    int drive;
    std::uint32_t request_size;
    std::vector<std::uint8_t> buffer;  // the whole request as sent, request_size bytes
};

// Forget every drive, fault, request and hook.
void reset();

// Drive n (0 <= n < kMaxDrives).
Drive& drive(int n);

// Makes drive n present with the sectors of a 1537-byte drive record (the
// leading reserved byte, IDENTIFY, SMART data, thresholds). SMART state is
// taken from the record's IDENTIFY word 85 bit 0.
void load_record(int n, const std::uint8_t* record);

// Reads a 1537-byte drive record file into drive n. False if the file could
// not be read or has another size.
bool load_record_file(int n, const std::string& path);

// Makes drive n present with a small plausible IDENTIFY, SMART data and
// thresholds, SMART on.
void make_plain_drive(int n);

// Makes drive n an NVMe drive with a plausible Identify Controller (serial
// "SIMNVME<n>", model, firmware, namespace count 1), Identify Namespace
// (1 TB of 512-byte blocks) and health log (35 °C, 3 % used, a few counts).
void make_nvme_drive(int n);

// Called before each NVMe request reaches a drive; may change `fault` for
// this one request (random faults in soaks).
using NvmeHook = void (*)(int drive, platform::NvmePage page, NvmeRequestFault& fault);
void set_nvme_hook(NvmeHook hook);

// Request log. Off by default for speed; when on, every request is kept.
void set_recording(bool on);
const std::vector<Request>& requests();
void clear_requests();

// Count of handles opened and not yet closed.
int open_handles();

// Called by the platform's sleep with the milliseconds asked for; a test
// uses it to change the drives between passes or to stop the service.
using SleepHook = void (*)(std::uint32_t milliseconds);
void set_sleep_hook(SleepHook hook);

// Called before each command reaches a drive; may change `fault` for this
// one command (random faults in soaks).
using CommandHook = void (*)(int drive, Command command, CommandFault& fault);
void set_command_hook(CommandHook hook);

// ------------------------------------------------------ in-process endpoint

enum class ListenerMode : std::uint8_t {
    absent,         // nobody listens: opens fail at once
    accepting,      // every connection is taken and read
    closing_early,  // connections are taken, but the write fails
};

struct Listener {
    ListenerMode mode = ListenerMode::accepting;
    int busy_opens = 0;         // this many opens find the endpoint busy first
    bool wait_succeeds = true;  // what waiting for a busy endpoint answers
    bool keep_messages = false; // keep a copy of every message, not just the last
    // What happened.
    int opens = 0;
    int waits = 0;
    std::uint32_t last_wait_timeout = 0;
    int delivered = 0;
    int open_connections = 0;
    std::string last_endpoint;
    std::vector<std::uint8_t> last_message;
    std::vector<std::vector<std::uint8_t>> messages;
};

// The listener on the snapshot endpoint (and any endpoint a test names);
// nvme_listener() is the one on platform::nvme_pipe_name, with its own
// mode, counts and messages.
Listener& listener();
Listener& nvme_listener();

// --------------------------------------------------------- service manager

// Every status report the service made, in order.
std::vector<ServiceReport> status_reports();

// Delivers a control to the registered handler, as the manager would.
void send_control(std::uint32_t control);

// Makes handler registration fail.
void fail_registration(bool fail);

// The local time the platform reports: the machine's clock until a test
// fixes it (until reset); a failing clock makes every reading fail, leaving
// the fixed year and month behind in the caller's record.
void fix_clock(const platform::LocalTime& time);
void fail_clock(bool fail);

// Milliseconds asked of sleep, in order (the simulated sleep does not wait);
// the first 1024 are kept, so that long runs do not grow.
const std::vector<std::uint32_t>& sleeps();

// Forget the status reports made so far.
void clear_status_reports();

// Replaces every drive's answer: the hook gets the request as it reached
// the driver and writes the reply into it. Fuzzers answer with arbitrary
// registers, byte counts and data this way.
using AnswerHook = platform::IoResult (*)(int drive, std::uint8_t* request,
                                          std::uint32_t request_size, std::uint32_t* returned);
void set_answer_hook(AnswerHook hook);

// Which command a register block asks for.
Command classify(std::uint8_t features, std::uint8_t lba_mid, std::uint8_t lba_high,
                 std::uint8_t command);

}  // namespace sim
