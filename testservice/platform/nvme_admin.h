// The NVMe admin commands behind the three pages the service reads, as the
// fields of an admin command (opcode, namespace, command dwords 10 and 11,
// data length). Pure values: the Linux platform puts them into its
// pass-through record, and tests check them without a drive.
#pragma once

#include <cstdint>

#include "platform.h"

namespace nvme_admin {

inline constexpr std::uint8_t kOpcodeGetLogPage = 0x02;
inline constexpr std::uint8_t kOpcodeIdentify = 0x06;
inline constexpr std::uint8_t kCnsNamespace = 0x00;
inline constexpr std::uint8_t kCnsController = 0x01;
inline constexpr std::uint8_t kLogHealth = 0x02;          // SMART / Health Information
inline constexpr std::uint32_t kAllNamespaces = 0xFFFFFFFFu;  // the controller-wide log
inline constexpr std::uint32_t kTimeoutMs = 10000;

struct Command {
    std::uint8_t opcode;
    std::uint32_t nsid;
    std::uint32_t cdw10;
    std::uint32_t cdw11;
    std::uint32_t data_len;
};

// The command that reads `page`; `nsid` is the drive's namespace (used by
// Identify Namespace only).
inline Command command_for(platform::NvmePage page, std::uint32_t nsid)
{
    switch (page) {
    case platform::NvmePage::identify_controller:
        return {kOpcodeIdentify, 0, kCnsController, 0, 4096};
    case platform::NvmePage::identify_namespace:
        return {kOpcodeIdentify, nsid, kCnsNamespace, 0, 4096};
    default: {
        // NUMD is a 0's based count of dwords: its low half in CDW10 bits
        // 31:16 (NUMDL), its high half in CDW11 (NUMDU, here 0).
        constexpr std::uint32_t numd = 512 / 4 - 1;
        return {kOpcodeGetLogPage, kAllNamespaces, kLogHealth | ((numd & 0xFFFFu) << 16),
                numd >> 16, 512};
    }
    }
}

}  // namespace nvme_admin
