// Opening drives by number, the SMART and IDENTIFY commands that fill the
// drive table, and the questions answered from stored IDENTIFY data.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diskinfo.h"

std::int32_t current_drive = 0;
char last_error_text[kLastErrorTextBytes];

int format_message(char* buffer, const char* format, ...)
{
    // The buffers are 256 bytes; 255 is the formatter's limit. A longer text
    // is cut, never written past the buffer.
    va_list args;
    va_start(args, format);
    const int result = std::vsnprintf(buffer, kLastErrorTextBytes - 1, format, args);
    va_end(args);
    return result;
}

platform::DriveHandle open_drive(std::int8_t n)
{
    current_drive = n;

    char dev_as_char[100];
    platform::drive_device_path(n, dev_as_char, sizeof dev_as_char);

    // Only numbers with a slot in the table are opened: anything else ends
    // the pass as "not found" and can never reach outside the table.
    platform::DriveOpenResult opened{platform::invalid_drive_handle,
                                     platform::OpenFailure::not_found, 2};
    if (n >= 0 && n < kDriveSlots) {
        opened = platform::open_drive_device(n);
    }
    if (opened.failure == platform::OpenFailure::none) {
        return opened.handle;
    }

    switch (opened.failure) {
    case platform::OpenFailure::not_found:
        format_message(last_error_text, "Path [%s] : not found", dev_as_char);
        break;
    case platform::OpenFailure::access_denied:
        format_message(last_error_text, "Path [%s] : access denied", dev_as_char);
        break;
    default:
        format_message(last_error_text, "Error opening path [%s], error %d", dev_as_char,
                       static_cast<int>(opened.code));
        break;
    }
    return platform::invalid_drive_handle;
}

namespace {

// The one procedure behind all four commands: a zeroed 512-byte buffer from
// the heap, the registers of the command, a zero previous-register block (so
// every command goes out flagged 48-bit), and, for the reading commands, the
// buffer stored in the current slot whatever the outcome: after a failure it
// is still all zero.
bool run_smart_command(platform::DriveHandle handle, std::uint8_t features,
                       std::uint8_t lba_mid, std::uint8_t lba_high, std::uint8_t command,
                       std::uint8_t* section)
{
    auto* buffer = static_cast<std::uint8_t*>(std::calloc(1, kSectorBytes));
    if (buffer == nullptr) {
        return false;  // no buffer: the table is left as it was
    }

    TaskFile in;
    TaskFile out;
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.features = features;
    in.sector_count = 1;
    in.lba_mid = lba_mid;
    in.lba_high = lba_high;
    in.command = command;

    const int result = run_ata_passthrough(handle, &in, &out, buffer, kSectorBytes);
    if (section != nullptr) {
        std::memcpy(section, buffer, kSectorBytes);
    }
    std::free(buffer);
    return result == 0;
}

// The slot of current_drive, or null when the number has no slot: then the
// commands store nothing and the queries have no answer.
DriveRecord* current_record()
{
    if (current_drive < 0 || current_drive >= kDriveSlots) {
        return nullptr;
    }
    return &drive_table[current_drive];
}

std::uint16_t identify_word(const DriveRecord& record, int word)
{
    const std::uint8_t* p = record.identify;
    return static_cast<std::uint16_t>(p[2 * word] | (p[2 * word + 1] << 8));
}

// Bits 15-14 of a validity word must read 01 for its companion word to mean
// anything.
std::int32_t answer_from_identify(int validity_word, int answer_word)
{
    const DriveRecord* record = current_record();
    if (record == nullptr || (identify_word(*record, validity_word) >> 14) != 1) {
        return -1;
    }
    return identify_word(*record, answer_word) & 1;
}

// The section of the current slot that a reading command fills.
enum class Section { identify, values, thresholds };

std::uint8_t* current_section(Section which)
{
    DriveRecord* record = current_record();
    if (record == nullptr) {
        return nullptr;
    }
    switch (which) {
    case Section::identify:
        return record->identify;
    case Section::values:
        return record->smart_values;
    default:
        return record->smart_thresholds;
    }
}

}  // namespace

bool read_identify(platform::DriveHandle handle)
{
    return run_smart_command(handle, 0x00, 0x00, 0x00, ATA_IDENTIFY_DEVICE,
                             current_section(Section::identify));
}

bool read_smart_values(platform::DriveHandle handle)
{
    return run_smart_command(handle, SMART_READ_DATA, SMART_LBA_MID_SIGNATURE,
                             SMART_LBA_HIGH_SIGNATURE, ATA_SMART, current_section(Section::values));
}

bool read_smart_thresholds(platform::DriveHandle handle)
{
    return run_smart_command(handle, SMART_READ_THRESHOLDS, SMART_LBA_MID_SIGNATURE,
                             SMART_LBA_HIGH_SIGNATURE, ATA_SMART,
                             current_section(Section::thresholds));
}

bool set_smart_enabled(platform::DriveHandle handle, bool enable)
{
    return run_smart_command(handle, enable ? SMART_ENABLE_OPERATIONS : SMART_DISABLE_OPERATIONS,
                             SMART_LBA_MID_SIGNATURE, SMART_LBA_HIGH_SIGNATURE, ATA_SMART,
                             nullptr);
}

std::int32_t smart_enabled()
{
    return answer_from_identify(87, 85);
}

std::int32_t smart_supported()
{
    return answer_from_identify(83, 82);
}
