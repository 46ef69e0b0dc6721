// The NVMe snapshot: the three pages of every NVMe drive of a pass (Identify
// Controller, Identify Namespace, the SMART / Health Information log), sent
// beside the ATA snapshot on an endpoint of its own. The ATA snapshot is
// left exactly as it is: an ATA listener never sees these bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diskinfo.h"
#include "platform/platform.h"

// ------------------------------------------------------------ wire layout
//
// Shared with whoever listens on the NVMe endpoint: every size and offset is
// binding, all integers little-endian, all records byte-packed.

inline constexpr int kNvmeIdentifyBytes = 4096;
inline constexpr int kNvmeHealthLogBytes = 512;
inline constexpr int kNvmeRequests = 3;  // Identify Controller, Identify Namespace, Health log

// "PWNVME" CR LF: its first byte can never be an ATA snapshot's count
// (0..33), and the CR LF shows text-mode damage on the way.
inline constexpr std::uint8_t kNvmeMagic[8] = {0x50, 0x57, 0x4E, 0x56, 0x4D, 0x45, 0x0D, 0x0A};
inline constexpr std::uint16_t kNvmeSnapshotVersion = 1;

// What became of a slot's drive in the pass.
enum class NvmeSlotStatus : std::uint8_t {
    absent = 0,         // no drive opened at this number in this pass; all zero
    answered = 1,       // all three pages read
    not_nvme = 2,       // Identify Controller refused as not supported; nothing else sent
    failed = 3,         // at least one page failed, see the results
};

// What became of one request.
enum class NvmeRequestResult : std::uint8_t {
    read = 0,
    not_supported = 1,
    driver_error = 2,   // the OS refused the request or the transfer failed
    device_error = 3,   // the controller completed it with a non-zero NVMe status
    not_sent = 0xFF,
};

#pragma pack(push, 1)

struct NvmeSlot {
    std::uint8_t status;                              // NvmeSlotStatus
    std::uint8_t results[kNvmeRequests];              // NvmeRequestResult, in request order
    std::uint32_t namespace_id;                       // of identify_namespace; 0 when unknown
    std::uint8_t identify_controller[kNvmeIdentifyBytes];  // Identify, CNS 01h
    std::uint8_t identify_namespace[kNvmeIdentifyBytes];   // Identify, CNS 00h, the drive's namespace
    std::uint8_t health_log[kNvmeHealthLogBytes];          // Get Log Page 02h, NSID FFFFFFFFh
};

struct NvmeSnapshot {
    std::uint8_t magic[8];
    std::uint16_t version;
    std::uint8_t count;        // the ATA snapshot's count byte of the same pass
    std::uint8_t reserved[5];  // zero
    NvmeSlot slots[kDriveSlots];
};

#pragma pack(pop)

static_assert(sizeof(NvmeSlot) == 8712);
static_assert(offsetof(NvmeSlot, status) == 0);
static_assert(offsetof(NvmeSlot, results) == 1);
static_assert(offsetof(NvmeSlot, namespace_id) == 4);
static_assert(offsetof(NvmeSlot, identify_controller) == 8);
static_assert(offsetof(NvmeSlot, identify_namespace) == 4104);
static_assert(offsetof(NvmeSlot, health_log) == 8200);
static_assert(sizeof(NvmeSnapshot) == 278800);
static_assert(offsetof(NvmeSnapshot, magic) == 0);
static_assert(offsetof(NvmeSnapshot, version) == 8);
static_assert(offsetof(NvmeSnapshot, count) == 10);
static_assert(offsetof(NvmeSnapshot, reserved) == 11);
static_assert(offsetof(NvmeSnapshot, slots) == 16);

// ------------------------------------------------------------------ state

// The NVMe snapshot of the pass being made. Its slots are the NVMe table,
// slot n for drive n: cleared at the start of every pass (clear_nvme_table),
// so a drive that did not open in this pass is `absent`, never stale. The
// header is written when the snapshot is sent.
extern NvmeSnapshot nvme_snapshot;

// ------------------------------------------------------------- operations

// Zeroes the NVMe snapshot: the header, and every slot written since the
// last clear (the others are zero already), so every slot is absent. Only
// read_nvme_drive writes slots; whoever writes one otherwise (a test)
// clears the whole record itself.
void clear_nvme_table();

// Reads the three pages of the drive just opened (current_drive) into its
// slot, in order; a SATA or other drive that refuses the first as not
// supported is asked nothing more. Returns the slot's status.
NvmeSlotStatus read_nvme_drive(platform::DriveHandle handle);

// Writes the header (magic, version, `count`, reserved zero).
void finish_nvme_snapshot(std::uint8_t count);

// Delivers the NVMe snapshot over a connection of its own, with the ATA
// snapshot's rules. True when all of it was handed over.
bool send_nvme_snapshot();
bool send_nvme_snapshot_to(const char* endpoint);
