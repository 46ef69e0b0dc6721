// The ready-made definition table: every id by its default style and layout,
// with the commonly used names of the well-known attributes.
#include "smart.h"

namespace smart {

namespace {

struct KnownName {
    std::uint8_t id;
    const char* name;
};

// Names shared by most makers. Ids whose meaning differs between makers
// (most of 160-189 and 200-254) are left unnamed.
constexpr KnownName kKnownNames[] = {
    {1, "Raw Read Error Rate"},
    {2, "Throughput Performance"},
    {3, "Spin Up Time"},
    {4, "Start Stop Count"},
    {5, "Reallocated Sectors Count"},
    {6, "Read Channel Margin"},
    {7, "Seek Error Rate"},
    {8, "Seek Time Performance"},
    {9, "Power-On Hours"},
    {10, "Spin Retry Count"},
    {11, "Calibration Retry Count"},
    {12, "Power Cycle Count"},
    {13, "Soft Read Error Rate"},
    {184, "End-to-End Error"},
    {187, "Reported Uncorrectable Errors"},
    {188, "Command Timeout"},
    {189, "High Fly Writes"},
    {190, "Airflow Temperature"},
    {191, "G-Sense Error Rate"},
    {192, "Power-Off Retract Count"},
    {193, "Load Cycle Count"},
    {194, "Temperature"},
    {195, "Hardware ECC Recovered"},
    {196, "Reallocation Event Count"},
    {197, "Current Pending Sector Count"},
    {198, "Offline Uncorrectable"},
    {199, "UDMA CRC Error Count"},
    {200, "Multi-Zone Error Rate"},
    {220, "Disk Shift"},
    {222, "Loaded Hours"},
    {223, "Load Retry Count"},
    {224, "Load Friction"},
    {226, "Load-in Time"},
    {240, "Head Flying Hours"},
    {241, "Total LBAs Written"},
    {242, "Total LBAs Read"},
    {254, "Free Fall Protection"},
};

}  // namespace

AttributeDefinitionTable default_attribute_table() {
    AttributeDefinitionTable table;
    for (const KnownName& known : kKnownNames) {
        table.definition_for(known.id).name = known.name;
    }
    return table;
}

}  // namespace smart
