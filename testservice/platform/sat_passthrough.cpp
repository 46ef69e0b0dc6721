// SAT translation of the pass-through request: see sat_passthrough.h.
#include "sat_passthrough.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace sat {

namespace {

constexpr std::uint8_t kProtocolNonData = 3;
constexpr std::uint8_t kProtocolPioDataIn = 4;
constexpr std::uint8_t kProtocolPioDataOut = 5;

// CDB byte 2.
constexpr std::uint8_t kCkCond = 0x20;
constexpr std::uint8_t kTDirIn = 0x08;
constexpr std::uint8_t kBytBlok = 0x04;
constexpr std::uint8_t kTLengthInCount = 0x02;

constexpr std::uint16_t kKnownFlags =
    ATA_FLAGS_DATA_IN | ATA_FLAGS_DATA_OUT | ATA_FLAGS_48BIT_COMMAND;

constexpr std::uint8_t kSenseKeyNoSense = 0x00;
constexpr std::uint8_t kSenseKeyRecovered = 0x01;
constexpr std::uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;

constexpr std::uint8_t kAtaReturnDescriptor = 0x09;

AtaPassThroughRecord read_record(const std::uint8_t* request)
{
    AtaPassThroughRecord record;
    std::memcpy(&record, request, sizeof record);
    return record;
}

std::uint8_t byte_at(const std::uint8_t* sense, std::uint32_t length, std::uint32_t at)
{
    return at < length ? sense[at] : 0;
}

// Sense key, ASC and ASCQ of either sense format.
struct SenseCode {
    bool present;
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;
};

SenseCode sense_code(const std::uint8_t* sense, std::uint32_t length)
{
    if (length < 3) {
        return {false, 0, 0, 0};
    }
    const std::uint8_t response = sense[0] & 0x7F;
    if (response == 0x72 || response == 0x73) {
        return {true, static_cast<std::uint8_t>(sense[1] & 0x0F), byte_at(sense, length, 2),
                byte_at(sense, length, 3)};
    }
    if (response == 0x70 || response == 0x71) {
        return {true, static_cast<std::uint8_t>(sense[2] & 0x0F), byte_at(sense, length, 12),
                byte_at(sense, length, 13)};
    }
    return {false, 0, 0, 0};
}

AtaRegisters parse_descriptor(const std::uint8_t* sense, std::uint32_t length)
{
    AtaRegisters out{};
    if (length < 8) {
        return out;
    }
    std::uint32_t end = 8u + sense[7];
    if (end > length) {
        end = length;
    }
    std::uint32_t at = 8;
    while (at + 2 <= end) {
        const std::uint8_t code = sense[at];
        const std::uint32_t size = 2u + sense[at + 1];
        if (code == kAtaReturnDescriptor && sense[at + 1] >= 12 && at + 14 <= end) {
            const std::uint8_t* d = sense + at;
            out.layout = SenseLayout::descriptor;
            out.extend = (d[2] & 0x01) != 0;
            out.current.features = d[3];  // Error
            out.current.sector_count = d[5];
            out.current.lba_low = d[7];
            out.current.lba_mid = d[9];
            out.current.lba_high = d[11];
            out.current.device = d[12];
            out.current.command = d[13];  // Status
            out.has_previous = true;
            if (out.extend) {
                out.previous.sector_count = d[4];
                out.previous.lba_low = d[6];
                out.previous.lba_mid = d[8];
                out.previous.lba_high = d[10];
            }
            return out;
        }
        at += size;
    }
    return out;
}

AtaRegisters parse_fixed(const std::uint8_t* sense, std::uint32_t length)
{
    AtaRegisters out{};
    // Where the fields stand in each fixed layout.
    struct Offsets {
        std::uint32_t error, status, device, count, flags, lba;
    };
    // SAT: INFORMATION holds Error, Status, Device, Count(7:0); the
    // COMMAND-SPECIFIC INFORMATION holds the flags and LBA(23:0).
    constexpr Offsets kStandard{3, 4, 5, 6, 8, 9};
    // Linux up to 6.9 wrote the same fields eight bytes further on (over the
    // COMMAND-SPECIFIC INFORMATION, ASC and ASCQ staying at 12 and 13).
    constexpr Offsets kLinux61{8, 9, 10, 11, 16, 17};

    const bool valid = (sense[0] & 0x80) != 0;
    const bool standard = valid || byte_at(sense, length, kStandard.status) != 0;
    const Offsets& at = standard ? kStandard : kLinux61;
    // The standard layout needs its Status byte; the shifted one is known
    // only by a non-zero Status at its own offset.
    const bool too_short = standard && length <= kStandard.status;
    const bool no_status = !standard && byte_at(sense, length, at.status) == 0;
    if (too_short || no_status) {
        return out;
    }
    out.layout = standard ? SenseLayout::fixed : SenseLayout::fixed_linux61;
    out.current.features = byte_at(sense, length, at.error);
    out.current.command = byte_at(sense, length, at.status);
    out.current.device = byte_at(sense, length, at.device);
    out.current.sector_count = byte_at(sense, length, at.count);
    out.extend = (byte_at(sense, length, at.flags) & 0x80) != 0;
    out.current.lba_low = byte_at(sense, length, at.lba);
    out.current.lba_mid = byte_at(sense, length, at.lba + 1);
    out.current.lba_high = byte_at(sense, length, at.lba + 2);
    return out;
}

}  // namespace

bool transfers_no_data(const TaskFile& command)
{
    return command.command == ATA_SMART && (command.features == SMART_ENABLE_OPERATIONS ||
                                            command.features == SMART_DISABLE_OPERATIONS);
}

bool build_command(const std::uint8_t* request, std::uint32_t request_size, Command* command)
{
    if (request == nullptr || request_size < kPassthroughHeaderBytes) {
        return false;
    }
    const AtaPassThroughRecord record = read_record(request);
    if (record.Length != sizeof(AtaPassThroughRecord) ||
        record.DataBufferOffset != kPassthroughHeaderBytes) {
        return false;
    }
    const std::uint16_t flags = record.AtaFlags;
    if ((flags & ~kKnownFlags) != 0) {
        return false;
    }
    const bool in = (flags & ATA_FLAGS_DATA_IN) != 0;
    const bool out = (flags & ATA_FLAGS_DATA_OUT) != 0;
    const std::uint32_t length = record.DataTransferLength;
    if ((in && out) || ((in || out) != (length != 0)) ||
        length > request_size - kPassthroughHeaderBytes) {
        return false;
    }
    const bool extend = (flags & ATA_FLAGS_48BIT_COMMAND) != 0;
    const TaskFile& cur = record.CurrentTaskFile;
    const TaskFile prev = extend ? record.PreviousTaskFile : TaskFile{};

    Command c{};
    std::uint8_t protocol = kProtocolNonData;
    std::uint8_t byte2 = kCkCond;
    if (transfers_no_data(cur)) {
        // Whatever direction the request gives: the data phase it describes
        // would be a protocol violation on the wire, and nothing of the data
        // area is sent or received.
        c.direction = Direction::none;
        c.data_length = 0;
    } else if (in) {
        protocol = kProtocolPioDataIn;
        byte2 = kTDirIn | kBytBlok | kTLengthInCount;
        c.direction = Direction::from_device;
    } else if (out) {
        protocol = kProtocolPioDataOut;
        byte2 = kBytBlok | kTLengthInCount;
        c.direction = Direction::to_device;
    } else {
        c.direction = Direction::none;
    }
    c.cdb[0] = kAtaPassThrough16;
    c.cdb[1] = static_cast<std::uint8_t>((protocol << 1) | (extend ? 1 : 0));
    c.cdb[2] = byte2;
    c.cdb[3] = prev.features;
    c.cdb[4] = cur.features;
    c.cdb[5] = prev.sector_count;
    c.cdb[6] = cur.sector_count;
    c.cdb[7] = prev.lba_low;
    c.cdb[8] = cur.lba_low;
    c.cdb[9] = prev.lba_mid;
    c.cdb[10] = cur.lba_mid;
    c.cdb[11] = prev.lba_high;
    c.cdb[12] = cur.lba_high;
    c.cdb[13] = cur.device;
    c.cdb[14] = cur.command;
    c.cdb[15] = 0;
    if (c.direction != Direction::none) {
        c.data_length = length;
    }
    const std::uint32_t seconds = record.TimeOutValue;
    c.timeout_ms = seconds > 0xFFFFFFFFu / 1000u ? 0xFFFFFFFFu : seconds * 1000u;
    *command = c;
    return true;
}

AtaRegisters parse_sense(const std::uint8_t* sense, std::uint32_t length)
{
    if (sense == nullptr || length < 1) {
        return AtaRegisters{};
    }
    const std::uint8_t response = sense[0] & 0x7F;
    if (response == 0x72 || response == 0x73) {
        return parse_descriptor(sense, length);
    }
    if (response == 0x70 || response == 0x71) {
        return parse_fixed(sense, length);
    }
    return AtaRegisters{};
}

platform::IoResult finish_command(const Command& command, const Completion& completion,
                                  std::uint8_t* request, std::uint32_t* returned)
{
    std::int32_t resid = completion.resid;
    if (resid < 0) {
        resid = 0;
    }
    std::uint32_t transferred = command.data_length;
    if (static_cast<std::uint32_t>(resid) < transferred) {
        transferred -= static_cast<std::uint32_t>(resid);
    } else {
        transferred = 0;
    }
    *returned = kPassthroughHeaderBytes + transferred;

    if (completion.host_status != 0 ||
        (completion.driver_status != 0 && completion.driver_status != kDriverSense)) {
        return {platform::IoFailure::driver_error, EIO};
    }

    const std::uint32_t sense_length = completion.sense == nullptr ? 0 : completion.sense_length;
    const AtaRegisters regs = parse_sense(completion.sense, sense_length);
    const SenseCode code = sense_code(completion.sense, sense_length);
    const std::size_t current_at = offsetof(AtaPassThroughRecord, CurrentTaskFile);
    const std::size_t previous_at = offsetof(AtaPassThroughRecord, PreviousTaskFile);

    if (regs.layout != SenseLayout::none) {
        const bool device_error = (regs.current.command & (kStatusErr | kStatusDrq)) != 0;
        const bool failed_key = code.present && code.key != kSenseKeyNoSense &&
                                code.key != kSenseKeyRecovered;
        if (failed_key && !device_error) {
            return {platform::IoFailure::driver_error, EIO};
        }
        std::memcpy(request + current_at, &regs.current, sizeof(TaskFile));
        if (regs.has_previous) {
            std::memcpy(request + previous_at, &regs.previous, sizeof(TaskFile));
        }
        return {platform::IoFailure::none, 0};
    }

    if (completion.scsi_status == kScsiGood) {
        TaskFile current;
        std::memcpy(&current, request + current_at, sizeof current);
        current.features = 0;                          // Error: none
        current.command = kSynthesizedGoodStatus;      // Status: DRDY | DSC
        std::memcpy(request + current_at, &current, sizeof current);
        return {platform::IoFailure::none, 0};
    }
    if (completion.scsi_status == kScsiCheckCondition && code.present &&
        code.key == kSenseKeyIllegalRequest && code.asc == kAscInvalidOpcode && code.ascq == 0) {
        return {platform::IoFailure::not_supported, EOPNOTSUPP};
    }
    return {platform::IoFailure::driver_error, EIO};
}

platform::IoResult classify_ioctl_error(int error)
{
    switch (error) {
    case ENOTTY:
    case EINVAL:
    case ENODEV:
        return {platform::IoFailure::not_supported, static_cast<std::uint32_t>(error)};
    default:
        return {platform::IoFailure::driver_error, static_cast<std::uint32_t>(error)};
    }
}

}  // namespace sat
