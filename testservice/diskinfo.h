// Drive access: the drive table and the snapshot message that carries it,
// opening physical drives by number, the four SMART/IDENTIFY commands, and
// the ATA pass-through they all go through.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// ------------------------------------------------------------ wire layout
//
// These records are a wire format shared with whoever listens on the pipe:
// every size and offset is binding, and all of them are byte-packed.

inline constexpr int kSectorBytes = 512;
inline constexpr int kDriveSlots = 32;

#pragma pack(push, 1)

// The three raw sectors of one drive, exactly as the drive returned them.
struct DriveRecord {
    std::uint8_t reserved;                        // never written; always 0
    std::uint8_t identify[kSectorBytes];          // IDENTIFY DEVICE
    std::uint8_t smart_values[kSectorBytes];      // SMART READ DATA
    std::uint8_t smart_thresholds[kSectorBytes];  // SMART READ THRESHOLDS
};

// One message on the pipe: the count of drive numbers tried in the pass
// (drives read plus the one whose open ended the pass), then the whole table.
struct DriveSnapshot {
    std::uint8_t count;
    DriveRecord drives[kDriveSlots];
};

// The ATA register block. Bytes 0 and 6 read Error and Status on the way
// back from the device.
struct TaskFile {
    std::uint8_t features;  // Error on return
    std::uint8_t sector_count;
    std::uint8_t lba_low;
    std::uint8_t lba_mid;
    std::uint8_t lba_high;
    std::uint8_t device;
    std::uint8_t command;   // Status on return
    std::uint8_t reserved;
};

// The pass-through request record in its 32-bit layout. Member names are the
// platform's, so that the code reads like the interface it stands for.
struct AtaPassThroughRecord {
    std::uint16_t Length;
    std::uint16_t AtaFlags;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t ReservedAsUchar;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    std::uint32_t ReservedAsUlong;
    std::uint32_t DataBufferOffset;
    TaskFile PreviousTaskFile;
    TaskFile CurrentTaskFile;
};

inline constexpr int kPassthroughDataBytes = 32 * kSectorBytes;  // 16384

// The buffer that travels to the driver and back in the same memory.
struct AtaPassBuffer {
    AtaPassThroughRecord apt;
    std::uint32_t padding;
    std::uint8_t data[kPassthroughDataBytes];
};

#pragma pack(pop)

static_assert(sizeof(DriveRecord) == 1537);
static_assert(sizeof(DriveSnapshot) == 49185);
static_assert(sizeof(TaskFile) == 8);
static_assert(sizeof(AtaPassThroughRecord) == 40);
static_assert(sizeof(AtaPassBuffer) == 16428);

inline constexpr std::uint16_t ATA_FLAGS_DATA_IN = 0x02;
inline constexpr std::uint16_t ATA_FLAGS_DATA_OUT = 0x04;
inline constexpr std::uint16_t ATA_FLAGS_48BIT_COMMAND = 0x08;

inline constexpr std::uint32_t kPassthroughHeaderBytes = 44;     // record + padding
inline constexpr std::uint32_t kPassthroughTimeoutSeconds = 10;
inline constexpr std::uint8_t kUntouchedMarker = 0xCF;

inline constexpr std::uint8_t kStatusErr = 0x01;
inline constexpr std::uint8_t kStatusDrq = 0x08;

// ATA command and SMART feature codes used by the service.
inline constexpr std::uint8_t ATA_IDENTIFY_DEVICE = 0xEC;
inline constexpr std::uint8_t ATA_SMART = 0xB0;
inline constexpr std::uint8_t SMART_READ_DATA = 0xD0;
inline constexpr std::uint8_t SMART_READ_THRESHOLDS = 0xD1;
inline constexpr std::uint8_t SMART_ENABLE_OPERATIONS = 0xD8;
inline constexpr std::uint8_t SMART_DISABLE_OPERATIONS = 0xD9;
inline constexpr std::uint8_t SMART_LBA_MID_SIGNATURE = 0x4F;
inline constexpr std::uint8_t SMART_LBA_HIGH_SIGNATURE = 0xC2;

// ------------------------------------------------------------------ state

// The last pass's sectors of every drive, slot n for drive n. Zero at start,
// never cleared: a slot whose drive did not open keeps what it had.
extern DriveRecord drive_table[kDriveSlots];

// The number given to the last open_drive call (also when it failed); the
// commands and queries work on this drive's slot.
extern std::int32_t current_drive;

// Why the last failed open failed, as text.
inline constexpr int kLastErrorTextBytes = 256;
extern char last_error_text[kLastErrorTextBytes];

// ------------------------------------------------------------- operations

// Fills `drives` with `count` and a copy of the whole drive table.
void build_snapshot(DriveSnapshot* drives, std::uint8_t count);

// Bounded printf into a 256-byte buffer (255 characters at most, always
// terminated). Returns what the formatter returned.
int format_message(char* buffer, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Opens drive `n` and makes it current_drive. On failure writes
// last_error_text and returns platform::invalid_drive_handle. Drive numbers
// outside the table's 32 slots are never opened: they fail as not found.
platform::DriveHandle open_drive(std::int8_t n);

// The commands. Each returns true when the drive completed it; the three
// reads store their sector in current_drive's slot, or 512 zero bytes when
// they fail.
bool read_identify(platform::DriveHandle handle);
bool read_smart_values(platform::DriveHandle handle);
bool read_smart_thresholds(platform::DriveHandle handle);
bool set_smart_enabled(platform::DriveHandle handle, bool enable);

// Questions answered from current_drive's stored IDENTIFY data:
// 1 yes, 0 no, -1 the validity bits do not allow an answer.
std::int32_t smart_enabled();
std::int32_t smart_supported();

// One ATA command. `size` > 0 reads that many bytes into `data`, < 0 writes
// -size bytes from it, 0 moves no data. Returns 0, or -1 with errno set to
// EINVAL (size out of range), ENOSYS (no pass-through here) or EIO. On
// failure neither register block nor `data` is changed.
int run_ata_passthrough(platform::DriveHandle handle, TaskFile* regs, TaskFile* prev_regs,
                        void* data, std::int32_t size);

// True as soon as one of the first `count` bytes is non-zero.
bool has_nonzero_byte(const void* bytes, std::int32_t count);
