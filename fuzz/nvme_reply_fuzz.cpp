// A Windows driver answering the NVMe protocol-specific query with arbitrary
// descriptors, offsets, lengths and byte counts: the reply check must accept
// exactly the replies whose whole page lies inside what came back, copy that
// page and nothing else, and never read outside the buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/win32_nvme_query_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace platform::win32;
    if (size < 5) {
        return 0;
    }
    const auto page = static_cast<platform::NvmePage>(data[0] % 3);
    std::uint32_t returned = 0;
    std::memcpy(&returned, data + 1, 4);
    data += 5;
    size -= 5;

    // The request as the service builds it, in a buffer of exactly its size
    // (so that ASan sees any read past it), then the driver's bytes over it.
    std::uint8_t request[kNvmeQueryBufferBytes];
    const std::uint32_t request_size = build_nvme_query(page, request);
    std::vector<std::uint8_t> buffer(request, request + request_size);
    std::memcpy(buffer.data(), data, size < request_size ? size : request_size);

    const std::uint32_t page_bytes = nvme_page_bytes(page);
    std::vector<std::uint8_t> out(page_bytes, 0xA5);
    const ReplyCheck check =
        take_nvme_reply(buffer.data(), request_size, returned, page_bytes, out.data());

    StorageProtocolDataDescriptor descriptor;
    std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
    const std::uint64_t have = returned < request_size ? returned : request_size;
    const std::uint64_t start = 8 + std::uint64_t{descriptor.ProtocolSpecificData.ProtocolDataOffset};
    const bool sound = have >= sizeof descriptor && descriptor.Version == 48 &&
                       descriptor.Size == 48 &&
                       descriptor.ProtocolSpecificData.ProtocolDataOffset >= 40 &&
                       descriptor.ProtocolSpecificData.ProtocolDataLength >= page_bytes &&
                       start + page_bytes <= have;
    if (sound != (check == ReplyCheck::ok)) {
        std::abort();
    }
    if (check == ReplyCheck::ok) {
        if (std::memcmp(out.data(), buffer.data() + start, page_bytes) != 0) {
            std::abort();
        }
    } else {
        for (const std::uint8_t b : out) {
            if (b != 0xA5) {
                std::abort();  // a refused reply copied something
            }
        }
    }
    return 0;
}
