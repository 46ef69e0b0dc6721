// The service builds its ATA pass-through request in the 32-bit layout of
// ATA_PASS_THROUGH_EX (a 40-byte record, 4 bytes of padding, the data from
// byte 44; see AtaPassBuffer in diskinfo.h). A 64-bit Windows driver takes
// the record in its own, 64-bit layout: DataBufferOffset is a ULONG_PTR, so
// the record is 48 bytes and the data can follow at byte 48. This header
// translates between the two, with no Windows header needed, so that the
// translation is the same code on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../diskinfo.h"

namespace platform::win32 {

// ATA_PASS_THROUGH_EX as <ntddscsi.h> declares it for x64.
struct AtaPassThroughEx64 {
    std::uint16_t Length;
    std::uint16_t AtaFlags;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t ReservedAsUchar;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    std::uint32_t ReservedAsUlong;
    std::uint64_t DataBufferOffset;  // ULONG_PTR
    std::uint8_t PreviousTaskFile[8];
    std::uint8_t CurrentTaskFile[8];
};
static_assert(sizeof(AtaPassThroughEx64) == 48);
static_assert(offsetof(AtaPassThroughEx64, DataBufferOffset) == 24);
static_assert(offsetof(AtaPassThroughEx64, PreviousTaskFile) == 32);
static_assert(offsetof(AtaPassThroughEx64, CurrentTaskFile) == 40);

// The request as it goes to a 64-bit driver: the record, then the data.
struct AtaPassBuffer64 {
    AtaPassThroughEx64 apt;
    std::uint8_t data[kPassthroughDataBytes];
};
inline constexpr std::uint32_t kRealHeaderBytes = offsetof(AtaPassBuffer64, data);  // 48
static_assert(kRealHeaderBytes == 48);

// Data bytes carried by a request of `request_size` bytes in the service's
// layout; 0 for a request too short to hold its header, at most 16384.
inline std::uint32_t request_data_bytes(std::uint32_t request_size)
{
    if (request_size <= kPassthroughHeaderBytes) {
        return 0;
    }
    const std::uint32_t n = request_size - kPassthroughHeaderBytes;
    return n > static_cast<std::uint32_t>(kPassthroughDataBytes)
               ? static_cast<std::uint32_t>(kPassthroughDataBytes)
               : n;
}

// Builds the 64-bit request from the service's one and returns its size
// (the size given to DeviceIoControl both ways): the real header plus the
// data bytes the service's request carries. Length and DataBufferOffset
// describe the record actually sent.
inline std::uint32_t to_real_request(const std::uint8_t* request, std::uint32_t request_size,
                                     AtaPassBuffer64* out)
{
    AtaPassBuffer ab;
    std::memset(&ab, 0, sizeof ab);
    std::memcpy(&ab, request, request_size < sizeof ab ? request_size : sizeof ab);
    const std::uint32_t data_bytes = request_data_bytes(request_size);

    std::memset(out, 0, sizeof *out);
    out->apt.Length = sizeof(AtaPassThroughEx64);
    out->apt.AtaFlags = ab.apt.AtaFlags;
    out->apt.PathId = ab.apt.PathId;
    out->apt.TargetId = ab.apt.TargetId;
    out->apt.Lun = ab.apt.Lun;
    out->apt.ReservedAsUchar = ab.apt.ReservedAsUchar;
    out->apt.DataTransferLength = ab.apt.DataTransferLength;
    out->apt.TimeOutValue = ab.apt.TimeOutValue;
    out->apt.ReservedAsUlong = ab.apt.ReservedAsUlong;
    out->apt.DataBufferOffset = kRealHeaderBytes;
    std::memcpy(out->apt.PreviousTaskFile, &ab.apt.PreviousTaskFile, 8);
    std::memcpy(out->apt.CurrentTaskFile, &ab.apt.CurrentTaskFile, 8);
    std::memcpy(out->data, ab.data, data_bytes);
    return kRealHeaderBytes + data_bytes;
}

// Copies what the driver returned (registers and data) back into the
// service's request; the service's Length and DataBufferOffset stay as the
// service set them.
inline void from_real_request(const AtaPassBuffer64& real, std::uint8_t* request,
                              std::uint32_t request_size)
{
    if (request_size < kPassthroughHeaderBytes) {
        return;
    }
    auto* ab = reinterpret_cast<AtaPassThroughRecord*>(request);
    ab->AtaFlags = real.apt.AtaFlags;
    ab->PathId = real.apt.PathId;
    ab->TargetId = real.apt.TargetId;
    ab->Lun = real.apt.Lun;
    ab->ReservedAsUchar = real.apt.ReservedAsUchar;
    ab->DataTransferLength = real.apt.DataTransferLength;
    ab->TimeOutValue = real.apt.TimeOutValue;
    ab->ReservedAsUlong = real.apt.ReservedAsUlong;
    std::memcpy(&ab->PreviousTaskFile, real.apt.PreviousTaskFile, 8);
    std::memcpy(&ab->CurrentTaskFile, real.apt.CurrentTaskFile, 8);
    std::memcpy(request + kPassthroughHeaderBytes, real.data, request_data_bytes(request_size));
}

// The byte count the driver reported, in the service's layout terms: the
// header of the record actually sent is replaced by the service's 44 bytes.
// A count that does not even cover the real header is passed on as 0.
inline std::uint32_t returned_in_service_layout(std::uint32_t real_returned)
{
    return real_returned < kRealHeaderBytes
               ? 0
               : real_returned - kRealHeaderBytes + kPassthroughHeaderBytes;
}

}  // namespace platform::win32
