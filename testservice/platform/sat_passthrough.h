// The SCSI/ATA Translation (SAT) of one pass-through request, without the
// system call: the service's request record in, the SCSI ATA PASS-THROUGH(16)
// command block and the SG_IO fields out; the SG_IO completion (SCSI status,
// transport status, sense bytes, residual count) in, the returned registers
// and the failure class out. linux.cpp does the one ioctl in between; all the
// byte-level decisions live here, where tests can reach them.
#pragma once

#include <cstdint>

#include "diskinfo.h"
#include "platform.h"

namespace sat {

inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;
inline constexpr int kCdbBytes = 16;

// Status that stands in for the device's when the command completed GOOD and
// the kernel returned no registers (PIO data-in with CK_COND=0, see below):
// DRDY | DSC, no ERR, no DRQ.
inline constexpr std::uint8_t kSynthesizedGoodStatus = 0x50;

enum class Direction : std::uint8_t { none, from_device, to_device };

// Everything SG_IO needs to send one request.
struct Command {
    std::uint8_t cdb[kCdbBytes];
    Direction direction;
    std::uint32_t data_length;  // bytes of the data phase, at request + 44
    std::uint32_t timeout_ms;
};

// The commands that move no data whatever the request says: SMART ENABLE
// OPERATIONS and SMART DISABLE OPERATIONS (command 0xB0, Features 0xD8/0xD9).
// The service sends them as 512-byte reads; on the wire they go out with the
// non-data protocol.
bool transfers_no_data(const TaskFile& command);

// Builds the ATA PASS-THROUGH(16) command of a request in the service's
// 32-bit layout (AtaPassBuffer: 40-byte record, 4 bytes padding, data at 44).
//   protocol 4 PIO data-in (ATA_FLAGS_DATA_IN), 5 PIO data-out
//   (ATA_FLAGS_DATA_OUT), 3 non-data (no direction flag or no data);
//   data commands: T_DIR as the direction, BYT_BLOK=1, T_LENGTH=2 (the length
//   is in the sector count field), CK_COND=0 (QEMU's AHCI answers a data-in
//   command with CK_COND=1 with a bogus CHECK CONDITION and DRQ set);
//   non-data commands: CK_COND=1, so that the registers come back;
//   EXTEND=1 with ATA_FLAGS_48BIT_COMMAND, the PreviousTaskFile bytes then in
//   the high halves of the CDB's 16-bit fields (zero otherwise);
//   time-out: TimeOutValue seconds in milliseconds.
// A command for which transfers_no_data holds goes out as non-data
// (protocol 3, CK_COND=1, direction none, data_length 0) whatever the
// request's direction and length: finish_command then reports the header
// alone as returned and leaves the data area as it was, which the service's
// checks take for a read that returned no data.
// False for a request this translation does not describe: shorter than the
// header, Length other than 40, DataBufferOffset other than 44, flags other
// than 0x02/0x04/0x08 or both directions, a direction without data or data
// without a direction, or more data than the request holds.
bool build_command(const std::uint8_t* request, std::uint32_t request_size, Command* command);

// Where the returned ATA registers were found in the sense data.
enum class SenseLayout : std::uint8_t {
    none,           // no ATA registers in it
    descriptor,     // descriptor format (0x72/0x73), ATA Status Return descriptor 0x09
    fixed,          // fixed format as SAT defines it: Error at byte 3, Status at 4 (Linux 6.10+)
    fixed_linux61,  // fixed format as Linux up to 6.9 writes it: Error at 8, Status at 9
};

struct AtaRegisters {
    SenseLayout layout;
    bool extend;            // the EXTEND bit of the returned registers
    bool has_previous;      // previous holds the high-order bytes (descriptor format)
    TaskFile current;       // Error, count, LBA low/mid/high, device, Status, 0
    TaskFile previous;      // count, LBA low/mid/high high-order bytes; others 0
};

// The ATA registers of `length` bytes of sense data (bytes past `length` are
// not read). layout == none when the sense data carries none.
AtaRegisters parse_sense(const std::uint8_t* sense, std::uint32_t length);

// What SG_IO reported for one command.
struct Completion {
    std::uint8_t scsi_status;     // sg_io_hdr.status
    std::uint16_t host_status;    // sg_io_hdr.host_status
    std::uint16_t driver_status;  // sg_io_hdr.driver_status
    std::int32_t resid;           // sg_io_hdr.resid
    const std::uint8_t* sense;    // the sense buffer
    std::uint32_t sense_length;   // sg_io_hdr.sb_len_wr
};

inline constexpr std::uint16_t kDriverSense = 0x08;  // DRIVER_SENSE: sense is available
inline constexpr std::uint8_t kScsiGood = 0x00;
inline constexpr std::uint8_t kScsiCheckCondition = 0x02;

// Finishes a request after SG_IO returned: writes the returned registers into
// the request's CurrentTaskFile (and PreviousTaskFile when the sense data has
// them) and sets *returned to the header (44) plus the bytes actually
// transferred (data_length - resid). Failure classes:
//   - a transport error (host_status non-zero, driver_status other than 0 or
//     DRIVER_SENSE) is driver_error;
//   - sense data with ATA registers: the registers go back and the request
//     succeeds, whatever Status says (a device error reaches the caller's
//     Status test), unless the sense key says the command failed (neither
//     NO SENSE nor RECOVERED ERROR) while Status shows neither ERR nor DRQ:
//     then it is driver_error;
//   - GOOD without registers: the command ended without error; the request's
//     CurrentTaskFile keeps the sent registers except Error := 0 and
//     Status := 0x50, PreviousTaskFile keeps what was sent;
//   - CHECK CONDITION, ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE
//     (20h/00h) without registers: a SCSI device that has no ATA
//     PASS-THROUGH, not_supported;
//   - any other status without registers: driver_error.
// On failure the request's registers are left as they were.
platform::IoResult finish_command(const Command& command, const Completion& completion,
                                  std::uint8_t* request, std::uint32_t* returned);

// The class of a failed SG_IO ioctl: ENOTTY, EINVAL and ENODEV (the device
// has no SCSI layer, or no SG_IO) are not_supported, every other error
// driver_error. The code is the errno.
platform::IoResult classify_ioctl_error(int error);

}  // namespace sat
