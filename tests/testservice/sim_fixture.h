// Shared set-up for tests over the simulated platform: a fresh table of
// drives, an empty drive table and no error text before every test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "diskinfo.h"
#include "nvme_snapshot.h"
#include "platform/simulated.h"

class SimulatedDrives : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        std::memset(drive_table, 0, sizeof drive_table);
        std::memset(&nvme_snapshot, 0, sizeof nvme_snapshot);
        std::memset(last_error_text, 0, sizeof last_error_text);
        current_drive = 0;
    }
    void TearDown() override { sim::reset(); }
};

inline void set_identify_word(std::uint8_t* identify, int word, std::uint16_t value)
{
    identify[2 * word] = static_cast<std::uint8_t>(value);
    identify[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The request as the driver saw it.
inline const AtaPassBuffer& sent(const sim::Request& request)
{
    return *reinterpret_cast<const AtaPassBuffer*>(request.buffer.data());
}
