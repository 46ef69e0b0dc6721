// Hand-made NVMe pages and snapshots for tests: Identify Controller,
// Identify Namespace and SMART / Health log pages written field by field
// from the NVMe base specification's tables (offsets here, independent of
// the decoder's), and whole NVMe snapshots around them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nvme.h"

namespace nvmetest {

namespace nv = smart::nvme;

// SMART / Health Information log (LID 02h): byte offset and width.
struct Field {
    std::size_t offset;
    std::size_t bytes;
};
inline constexpr Field kCriticalWarning{0, 1};
inline constexpr Field kCompositeTemperature{1, 2};
inline constexpr Field kAvailableSpare{3, 1};
inline constexpr Field kAvailableSpareThreshold{4, 1};
inline constexpr Field kPercentageUsed{5, 1};
inline constexpr Field kDataUnitsRead{32, 16};
inline constexpr Field kDataUnitsWritten{48, 16};
inline constexpr Field kHostReadCommands{64, 16};
inline constexpr Field kHostWriteCommands{80, 16};
inline constexpr Field kControllerBusyTime{96, 16};
inline constexpr Field kPowerCycles{112, 16};
inline constexpr Field kPowerOnHours{128, 16};
inline constexpr Field kUnsafeShutdowns{144, 16};
inline constexpr Field kMediaErrors{160, 16};
inline constexpr Field kErrorLogEntries{176, 16};
inline constexpr Field kWarningTemperatureTime{192, 4};
inline constexpr Field kCriticalTemperatureTime{196, 4};

inline void put_le(std::uint8_t* page, Field field, nv::u128 value)
{
    for (std::size_t i = 0; i < field.bytes; ++i) {
        page[field.offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// An ASCII field, padded with spaces.
inline void put_ascii(std::uint8_t* page, std::size_t offset, std::size_t bytes, const std::string& text)
{
    for (std::size_t i = 0; i < bytes; ++i) {
        page[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

// Identify Controller: SN 4-23, MN 24-63, FR 64-71, WCTEMP 266, CCTEMP 268.
inline void put_controller(nv::Slot& slot, const std::string& model, const std::string& serial,
                           const std::string& firmware, std::uint16_t wctemp = 0, std::uint16_t cctemp = 0)
{
    std::uint8_t* c = slot.identify_controller;
    put_le(c, {0, 2}, 0x1b36);
    put_ascii(c, 4, 20, serial);
    put_ascii(c, 24, 40, model);
    put_ascii(c, 64, 8, firmware);
    put_le(c, {266, 2}, wctemp);
    put_le(c, {268, 2}, cctemp);
}

// Identify Namespace: NSZE 0, NCAP 8, NUSE 16, NLBAF 25 (zero-based), FLBAS
// 26, LBA Format n at 128 + 4n with LBADS in its byte 2. `lbads` goes into
// format `format`; format 0 gets 512-byte blocks.
inline void put_namespace(nv::Slot& slot, std::uint64_t nsze, std::uint8_t lbads, std::uint8_t format = 0,
                          std::uint8_t formats = 2)
{
    std::uint8_t* n = slot.identify_namespace;
    put_le(n, {0, 8}, nsze);
    put_le(n, {8, 8}, nsze);
    put_le(n, {16, 8}, nsze / 2);
    n[25] = static_cast<std::uint8_t>(formats - 1);
    n[26] = static_cast<std::uint8_t>((format & 0x0f) | ((format >> 4) << 5));
    n[128 + 2] = 9;
    n[128 + 4 * format + 2] = lbads;
}

// A slot whose three requests were read: a healthy 1 TB drive at 38 C.
inline void put_answered(nv::Slot& slot, const std::string& model = "Platewise Test NVMe",
                         const std::string& serial = "PWN0001", const std::string& firmware = "1.0")
{
    slot.status = static_cast<std::uint8_t>(nv::SlotStatus::answered);
    slot.results[0] = slot.results[1] = slot.results[2] = 0;
    slot.namespace_id[0] = 1;
    put_controller(slot, model, serial, firmware, 357, 358);
    put_namespace(slot, 1953525168, 9);
    std::uint8_t* h = slot.health_log;
    put_le(h, kCompositeTemperature, 311);
    put_le(h, kAvailableSpare, 100);
    put_le(h, kAvailableSpareThreshold, 10);
    put_le(h, kPercentageUsed, 3);
    put_le(h, kPowerOnHours, 1234);
    put_le(h, kPowerCycles, 56);
}

// An empty NVMe snapshot (every slot absent) with the header filled in.
inline std::unique_ptr<nv::Snapshot> empty_snapshot(std::uint8_t count = 1)
{
    auto s = std::make_unique<nv::Snapshot>();
    std::memset(s.get(), 0, sizeof *s);
    std::memcpy(s->magic, nv::kMagic, sizeof nv::kMagic);
    s->version[0] = 1;
    s->count = count;
    return s;
}

inline std::vector<std::uint8_t> bytes_of(const nv::Snapshot& snapshot)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(&snapshot);
    return {p, p + sizeof snapshot};
}

// A snapshot with one answered NVMe drive in `slot` and `count` drives.
inline std::vector<std::uint8_t> one_drive_snapshot(std::size_t slot = 0, std::uint8_t count = 2)
{
    auto s = empty_snapshot(count);
    put_answered(s->slots[slot]);
    return bytes_of(*s);
}

}  // namespace nvmetest
