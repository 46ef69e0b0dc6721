// The NVMe pages reach a Windows drive as IOCTL_STORAGE_QUERY_PROPERTY with
// a protocol-specific property query, which the inbox NVMe driver answers on
// the PhysicalDriveN handle. This header holds the request and reply
// records (as <winioctl.h> declares them, without needing it), builds the
// request and checks the reply, so that both are the same code on every host
// and can be tested and fuzzed anywhere. win32.cpp only makes the call.
//
// One buffer goes out and comes back:
//   out:  STORAGE_PROPERTY_QUERY's PropertyId and QueryType (8 bytes), then
//         STORAGE_PROTOCOL_SPECIFIC_DATA (40 bytes) where its
//         AdditionalParameters begin, then room for the page;
//   back: STORAGE_PROTOCOL_DATA_DESCRIPTOR: Version and Size (8 bytes), the
//         same STORAGE_PROTOCOL_SPECIFIC_DATA filled in by the driver, and
//         the page at ProtocolDataOffset from the start of that record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.h"

namespace platform::win32 {

struct StorageProtocolSpecificData {
    std::uint32_t ProtocolType;
    std::uint32_t DataType;
    std::uint32_t ProtocolDataRequestValue;
    std::uint32_t ProtocolDataRequestSubValue;
    std::uint32_t ProtocolDataOffset;  // from the start of this record
    std::uint32_t ProtocolDataLength;
    std::uint32_t FixedProtocolReturnData;
    std::uint32_t ProtocolDataRequestSubValue2;
    std::uint32_t ProtocolDataRequestSubValue3;
    std::uint32_t ProtocolDataRequestSubValue4;
};
static_assert(sizeof(StorageProtocolSpecificData) == 40);
static_assert(offsetof(StorageProtocolSpecificData, ProtocolDataOffset) == 16);
static_assert(offsetof(StorageProtocolSpecificData, ProtocolDataLength) == 20);

// STORAGE_PROPERTY_QUERY with the protocol record as its AdditionalParameters.
struct StorageProtocolQuery {
    std::uint32_t PropertyId;
    std::uint32_t QueryType;
    StorageProtocolSpecificData ProtocolSpecific;
};
static_assert(sizeof(StorageProtocolQuery) == 48);
static_assert(offsetof(StorageProtocolQuery, ProtocolSpecific) == 8);

struct StorageProtocolDataDescriptor {
    std::uint32_t Version;
    std::uint32_t Size;
    StorageProtocolSpecificData ProtocolSpecificData;
};
static_assert(sizeof(StorageProtocolDataDescriptor) == 48);
static_assert(offsetof(StorageProtocolDataDescriptor, ProtocolSpecificData) == 8);

inline constexpr std::uint32_t kStorageAdapterProtocolSpecificProperty = 49;
inline constexpr std::uint32_t kStorageDeviceProtocolSpecificProperty = 50;
inline constexpr std::uint32_t kPropertyStandardQuery = 0;
inline constexpr std::uint32_t kProtocolTypeNvme = 3;
inline constexpr std::uint32_t kNvmeDataTypeIdentify = 1;
inline constexpr std::uint32_t kNvmeDataTypeLogPage = 2;
inline constexpr std::uint32_t kIdentifyCnsNamespace = 0;
inline constexpr std::uint32_t kIdentifyCnsController = 1;
inline constexpr std::uint32_t kLogPageHealth = 2;

// The namespace asked for by Identify Namespace. The protocol query takes
// the namespace id as the request's sub-value, and Windows does not tell
// which namespace a PhysicalDriveN is; client drives have one, numbered 1.
inline constexpr std::uint32_t kNamespaceAskedFor = 1;

// Bytes of the one buffer: the query record, then the largest page.
inline constexpr std::uint32_t kNvmeQueryBufferBytes = sizeof(StorageProtocolQuery) + 4096;

// The page's size: 4096 for the Identify pages, 512 for the health log.
inline std::uint32_t nvme_page_bytes(NvmePage page)
{
    return page == NvmePage::health_log ? 512u : 4096u;
}

// Writes the request for `page` into `buffer` (at least kNvmeQueryBufferBytes)
// and returns the byte count to give DeviceIoControl both ways: the query
// record and the page.
inline std::uint32_t build_nvme_query(NvmePage page, std::uint8_t* buffer)
{
    StorageProtocolQuery query;
    std::memset(&query, 0, sizeof query);
    query.QueryType = kPropertyStandardQuery;
    StorageProtocolSpecificData& data = query.ProtocolSpecific;
    data.ProtocolType = kProtocolTypeNvme;
    switch (page) {
    case NvmePage::identify_controller:
        // Controller data is the adapter's.
        query.PropertyId = kStorageAdapterProtocolSpecificProperty;
        data.DataType = kNvmeDataTypeIdentify;
        data.ProtocolDataRequestValue = kIdentifyCnsController;
        break;
    case NvmePage::identify_namespace:
        query.PropertyId = kStorageDeviceProtocolSpecificProperty;
        data.DataType = kNvmeDataTypeIdentify;
        data.ProtocolDataRequestValue = kIdentifyCnsNamespace;
        data.ProtocolDataRequestSubValue = kNamespaceAskedFor;
        break;
    default:
        // The health log, from offset 0 (sub-values 1 and 2 are the offset).
        query.PropertyId = kStorageDeviceProtocolSpecificProperty;
        data.DataType = kNvmeDataTypeLogPage;
        data.ProtocolDataRequestValue = kLogPageHealth;
        break;
    }
    data.ProtocolDataOffset = sizeof(StorageProtocolSpecificData);
    data.ProtocolDataLength = nvme_page_bytes(page);
    const std::uint32_t size = sizeof query + nvme_page_bytes(page);
    std::memset(buffer, 0, size);
    std::memcpy(buffer, &query, sizeof query);
    return size;
}

// Why a reply was refused.
enum class ReplyCheck : std::uint8_t {
    ok,
    short_reply,      // fewer bytes than the descriptor
    bad_version,      // Version is not the descriptor's size
    bad_size,         // Size is not the descriptor's size
    bad_offset,       // the page would start inside the protocol record
    short_page,       // ProtocolDataLength below the page's size
    past_the_reply,   // offset + page size beyond the bytes that came back
};

// Checks the reply of `returned` bytes in `buffer` (the one the request was
// built in, `buffer_size` bytes) and, when it holds the whole page inside
// what came back, copies the page into `out` (`page_bytes`). Nothing is
// copied from a reply that fails a check.
inline ReplyCheck take_nvme_reply(const std::uint8_t* buffer, std::uint32_t buffer_size,
                                  std::uint32_t returned, std::uint32_t page_bytes,
                                  std::uint8_t* out)
{
    const std::uint64_t have = returned < buffer_size ? returned : buffer_size;
    if (have < sizeof(StorageProtocolDataDescriptor)) {
        return ReplyCheck::short_reply;
    }
    StorageProtocolDataDescriptor descriptor;
    std::memcpy(&descriptor, buffer, sizeof descriptor);
    if (descriptor.Version != sizeof(StorageProtocolDataDescriptor)) {
        return ReplyCheck::bad_version;
    }
    if (descriptor.Size != sizeof(StorageProtocolDataDescriptor)) {
        return ReplyCheck::bad_size;
    }
    const StorageProtocolSpecificData& data = descriptor.ProtocolSpecificData;
    if (data.ProtocolDataOffset < sizeof(StorageProtocolSpecificData)) {
        return ReplyCheck::bad_offset;
    }
    if (data.ProtocolDataLength < page_bytes) {
        return ReplyCheck::short_page;
    }
    // 64-bit sums: an offset near 4 GiB cannot wrap round into the buffer.
    const std::uint64_t start =
        offsetof(StorageProtocolDataDescriptor, ProtocolSpecificData) + std::uint64_t{data.ProtocolDataOffset};
    if (start + page_bytes > have) {
        return ReplyCheck::past_the_reply;
    }
    std::memcpy(out, buffer + start, page_bytes);
    return ReplyCheck::ok;
}

}  // namespace platform::win32
