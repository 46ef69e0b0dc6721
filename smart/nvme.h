// NVMe health data: the NVMe snapshot message that the service sends beside
// the ATA snapshot, and the three NVMe pages each of its slots carries
// (Identify Controller, Identify Namespace, SMART / Health Information log),
// decoded into plain values.
//
// Portable: no platform code, no state. Nothing throws, except that building
// a std::string can fail with std::bad_alloc when memory runs out. Strings
// that come from a drive are returned as the drive gave them (trimmed only):
// pass them through smart::sanitize_text before printing them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace smart::nvme {

// ------------------------------------------------------------ wire layout
//
// All integers little-endian, all records byte-packed: every member is a
// byte or a byte array, so there are no alignment gaps.

inline constexpr std::size_t kIdentifyBytes = 4096;
inline constexpr std::size_t kHealthLogBytes = 512;
inline constexpr std::size_t kSlots = 32;
inline constexpr std::size_t kHeaderBytes = 16;
inline constexpr std::size_t kSlotBytes = 8712;
inline constexpr std::size_t kSnapshotBytes = 278800;
inline constexpr std::uint16_t kVersion = 1;

// "PWNVME" CR LF. Its first byte can never be an ATA snapshot's count byte
// (0..33), and the CR LF shows a text-mode transfer's damage.
inline constexpr std::uint8_t kMagic[8] = {0x50, 0x57, 0x4E, 0x56, 0x4D, 0x45, 0x0D, 0x0A};

// What became of a slot's drive in the pass.
enum class SlotStatus : std::uint8_t {
    absent = 0,    // no drive opened at this number; the slot is all zero
    answered = 1,  // all three pages read
    not_nvme = 2,  // Identify Controller refused as not supported (SATA, SCSI, ...)
    failed = 3,    // at least one page failed: see the request results
};

// What became of each of the three requests of a slot.
enum class RequestResult : std::uint8_t {
    read = 0,
    not_supported = 1,
    driver_error = 2,  // the OS refused the request or the transfer failed
    device_error = 3,  // the controller completed it with a non-zero status
    not_sent = 0xFF,
};

// Request indexes into Slot::results.
inline constexpr std::size_t kIdentifyControllerRequest = 0;
inline constexpr std::size_t kIdentifyNamespaceRequest = 1;
inline constexpr std::size_t kHealthLogRequest = 2;

struct Slot {
    std::uint8_t status;                                // a SlotStatus
    std::uint8_t results[3];                            // RequestResult of each request
    std::uint8_t namespace_id[4];                       // 0: unknown
    std::uint8_t identify_controller[kIdentifyBytes];   // Identify, CNS 01h
    std::uint8_t identify_namespace[kIdentifyBytes];    // Identify, CNS 00h
    std::uint8_t health_log[kHealthLogBytes];           // Get Log Page, LID 02h
};

struct Snapshot {
    std::uint8_t magic[8];
    std::uint8_t version[2];
    std::uint8_t count;  // the count byte of the ATA snapshot of the same pass
    std::uint8_t reserved[5];
    Slot slots[kSlots];
};

static_assert(sizeof(Slot) == kSlotBytes);
static_assert(alignof(Slot) == 1);
static_assert(offsetof(Slot, identify_controller) == 8);
static_assert(offsetof(Slot, identify_namespace) == 4104);
static_assert(offsetof(Slot, health_log) == 8200);
static_assert(offsetof(Snapshot, version) == 8);
static_assert(offsetof(Snapshot, count) == 10);
static_assert(offsetof(Snapshot, slots) == kHeaderBytes);
static_assert(sizeof(Snapshot) == kSnapshotBytes);

// Whether `bytes` begins with the NVMe snapshot's magic (at least 8 bytes).
// Tells an NVMe snapshot from any other file whatever its name or size.
bool has_nvme_magic(std::span<const std::uint8_t> bytes) noexcept;

// Copies a whole NVMe snapshot out of `buffer` after checking it: exactly
// 278800 bytes, the magic, version 1, a count byte of 1 to 33 and a known
// status byte in every slot. False with what is wrong in `error` (one
// line of printable text) and `snapshot` unchanged otherwise.
bool split_nvme_snapshot(std::span<const std::uint8_t> buffer, Snapshot& snapshot,
                         std::string& error);

const char* slot_status_name(std::uint8_t status) noexcept;     // "answered", ...; "unknown"
const char* request_result_name(std::uint8_t result) noexcept;  // "read", ...; "unknown"

// The namespace id of a slot (little-endian).
std::uint32_t slot_namespace_id(const Slot& slot) noexcept;

// -------------------------------------------------------------- 128 bits

// The health log's counters are 128-bit: kept whole, never wrapped.
using u128 = unsigned __int128;

// Exact decimal text of `value`, and of value × factor (which may need more
// than 128 bits: computed digit by digit, never wrapped).
std::string u128_decimal(u128 value);
std::string u128_times_decimal(u128 value, std::uint32_t factor);

// `value` as the nearest double (for metrics, which are doubles).
double u128_to_double(u128 value) noexcept;

// ------------------------------------------------------ Identify Controller

using IdentifyView = std::span<const std::uint8_t, kIdentifyBytes>;
using HealthLogView = std::span<const std::uint8_t, kHealthLogBytes>;

struct ControllerIdentity {
    std::uint16_t vendor_id = 0;           // bytes 0-1
    std::string serial;                    // bytes 4-23, ASCII, trimmed
    std::string model;                     // bytes 24-63
    std::string firmware;                  // bytes 64-71
    std::uint16_t warning_temp_kelvin = 0;   // WCTEMP, bytes 266-267; 0: not reported
    std::uint16_t critical_temp_kelvin = 0;  // CCTEMP, bytes 268-269; 0: not reported
};

ControllerIdentity decode_identify_controller(IdentifyView data);

// ------------------------------------------------------- Identify Namespace

// LBA data sizes accepted, as powers of two: 512 bytes to 64 KiB. Others
// (a zeroed page gives 0) are absurd, and the size is then unknown.
inline constexpr unsigned kMinLbaShift = 9;
inline constexpr unsigned kMaxLbaShift = 16;

struct NamespaceGeometry {
    std::uint64_t size_blocks = 0;      // NSZE, bytes 0-7
    std::uint64_t capacity_blocks = 0;  // NCAP, bytes 8-15
    std::uint64_t used_blocks = 0;      // NUSE, bytes 16-23
    unsigned format_count = 0;          // NLBAF (byte 25) + 1
    unsigned format_index = 0;          // FLBAS (byte 26) bits 3:0, and 6:5 above 16 formats
    unsigned lba_shift = 0;             // LBADS of that LBA format entry (from byte 128)
    bool lba_valid = false;             // index within the formats and LBADS within 9..16
    std::uint32_t lba_bytes = 0;        // 2^lba_shift when valid, else 0
    u128 capacity_bytes = 0;            // size_blocks × lba_bytes when valid, else 0
};

NamespaceGeometry decode_identify_namespace(IdentifyView data) noexcept;

// ------------------------------------------------ SMART / Health log (02h)

// Critical warning bits (byte 0).
inline constexpr std::uint8_t kWarnSpare = 1u << 0;        // available spare below threshold
inline constexpr std::uint8_t kWarnTemperature = 1u << 1;  // over or under a temperature threshold
inline constexpr std::uint8_t kWarnReliability = 1u << 2;  // NVM subsystem reliability degraded
inline constexpr std::uint8_t kWarnReadOnly = 1u << 3;     // media placed in read-only mode
inline constexpr std::uint8_t kWarnVolatileBackup = 1u << 4;  // volatile memory backup failed
inline constexpr std::uint8_t kWarnPersistentMemory = 1u << 5;  // persistent memory region unreliable

// The name of critical warning bit `bit` (0..7): "spare_below_threshold",
// "temperature", "reliability_degraded", "read_only",
// "volatile_backup_failed", "persistent_memory_unreliable", "reserved_6",
// "reserved_7".
const char* critical_warning_name(unsigned bit) noexcept;

// One decimal unit of the data units counters: 1000 blocks of 512 bytes.
inline constexpr std::uint32_t kDataUnitBytes = 512000;

struct HealthLog {
    std::uint8_t critical_warning = 0;        // byte 0
    std::uint16_t composite_temp_kelvin = 0;  // bytes 1-2; 0: not reported
    std::uint8_t available_spare = 0;         // byte 3, percent
    std::uint8_t spare_threshold = 0;         // byte 4, percent
    std::uint8_t percentage_used = 0;         // byte 5; may exceed 100 (up to 255)
    u128 data_units_read = 0;                 // bytes 32-47
    u128 data_units_written = 0;              // bytes 48-63
    u128 host_read_commands = 0;              // bytes 64-79
    u128 host_write_commands = 0;             // bytes 80-95
    u128 controller_busy_minutes = 0;         // bytes 96-111
    u128 power_cycles = 0;                    // bytes 112-127
    u128 power_on_hours = 0;                  // bytes 128-143
    u128 unsafe_shutdowns = 0;                // bytes 144-159
    u128 media_errors = 0;                    // bytes 160-175
    u128 error_log_entries = 0;               // bytes 176-191
    std::uint32_t warning_temp_minutes = 0;   // bytes 192-195
    std::uint32_t critical_temp_minutes = 0;  // bytes 196-199
};

HealthLog decode_health_log(HealthLogView data) noexcept;

// Kelvin to whole degrees Celsius (K - 273).
inline int kelvin_to_celsius(std::uint16_t kelvin) noexcept
{
    return static_cast<int>(kelvin) - 273;
}

}  // namespace smart::nvme
