// Arbitrary bytes as an NVMe snapshot: checked, decoded and shown as text
// and JSON through platewise decode. Nothing may crash, the text must stay
// printable and every JSON line must parse back.
//
// Input: a flags byte, a count byte, then the body. Flags bit 0 spreads the
// body over the first slots of a well-formed header (so that the decoder,
// not the checks, sees most inputs); bits 1-3 damage the magic, the version
// and the status bytes; without bit 0 the body is decoded as it is, any
// size.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decode_checks.h"
#include "nvme.h"

namespace {

namespace nv = smart::nvme;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    const std::uint8_t count = data[1];
    data += 2;
    size -= 2;

    std::string input;
    if ((flags & 0x01) != 0) {
        input.assign(nv::kSnapshotBytes, '\0');
        std::memcpy(input.data(), nv::kMagic, sizeof nv::kMagic);
        input[8] = 1;
        input[10] = static_cast<char>(count % 35);
        // The body over the first four slots, repeated; each slot's status
        // and results from the body too, the status made valid unless asked.
        const std::size_t span = 4 * nv::kSlotBytes;
        for (std::size_t at = 0; at < span; at += size) {
            std::memcpy(input.data() + nv::kHeaderBytes + at, data, std::min(size, span - at));
        }
        for (std::size_t slot = 0; slot < 4; ++slot) {
            char& status = input[nv::kHeaderBytes + slot * nv::kSlotBytes];
            if ((flags & 0x08) == 0) {
                status = static_cast<char>(static_cast<unsigned char>(status) % 4);
            }
        }
        if ((flags & 0x02) != 0) {
            input[7] = '\n';  // CR LF damaged
        }
        if ((flags & 0x04) != 0) {
            input[9] = static_cast<char>(count);
        }
    } else {
        input.assign(reinterpret_cast<const char*>(data), size);
    }

    fuzz::decode_and_check({}, input, true);
    return 0;
}
