// What the Linux SCSI layer hands back after an ATA PASS-THROUGH(16): any
// SCSI status, host and driver status, residue and sense bytes. Turning it
// into registers and a failure class must read only the sense bytes given
// and never report more data than was asked for.
#include <cstdint>
#include <cstring>
#include <vector>

#include "diskinfo.h"
#include "platform/sat_passthrough.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 10) {
        return 0;
    }
    // A request as the service sends it: a 512-byte read, or without data.
    AtaPassBuffer ab;
    std::memset(&ab, 0, sizeof ab);
    ab.apt.Length = sizeof ab.apt;
    ab.apt.DataBufferOffset = kPassthroughHeaderBytes;
    ab.apt.TimeOutValue = kPassthroughTimeoutSeconds;
    const bool with_data = data[0] & 1;
    ab.apt.AtaFlags = static_cast<std::uint16_t>((with_data ? ATA_FLAGS_DATA_IN : 0) |
                                                 ((data[0] & 2) ? ATA_FLAGS_48BIT_COMMAND : 0));
    ab.apt.DataTransferLength = with_data ? 512 : 0;
    ab.apt.CurrentTaskFile.command = ATA_SMART;
    ab.apt.CurrentTaskFile.features = SMART_READ_DATA;
    const std::uint32_t request_size = kPassthroughHeaderBytes + ab.apt.DataTransferLength;

    sat::Command command;
    if (!sat::build_command(reinterpret_cast<std::uint8_t*>(&ab), request_size, &command)) {
        __builtin_trap();  // the service's own requests always translate
    }

    // The sense bytes live in a buffer of exactly their size, so that a read
    // past them is caught.
    const std::size_t sense_length = size - 9;
    std::vector<std::uint8_t> sense(data + 9, data + size);
    sat::Completion completion{};
    completion.scsi_status = data[1];
    completion.host_status = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
    completion.driver_status = static_cast<std::uint16_t>(data[4] | (data[5] << 8));
    std::memcpy(&completion.resid, data + 5, 4);
    completion.sense = sense.data();
    completion.sense_length = static_cast<std::uint32_t>(sense_length);

    std::uint32_t returned = 0;
    const platform::IoResult result =
        sat::finish_command(command, completion, reinterpret_cast<std::uint8_t*>(&ab), &returned);
    if (result.failure == platform::IoFailure::none && returned > request_size) {
        __builtin_trap();  // more data reported than the request holds
    }
    const sat::AtaRegisters registers = sat::parse_sense(sense.data(), completion.sense_length);
    (void)registers;
    return 0;
}
