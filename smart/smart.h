// SMART interpretation library: turns the raw ATA data that a drive snapshot
// carries into values and display text, and writes byte buffers to files.
//
// Portable: no platform code. Nothing here keeps state; every operation reads
// only its arguments. Nothing throws, except that building a std::string can
// fail with std::bad_alloc when memory runs out.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace smart {

// ------------------------------------------------------------ wire layout
//
// The records of the snapshot message, byte for byte. Every member is a byte
// or a byte array, so there are no alignment gaps and no byte-order issues.

inline constexpr std::size_t kSectorBytes = 512;
inline constexpr std::size_t kDriveSlots = 32;
inline constexpr std::size_t kDriveRecordBytes = 1537;
inline constexpr std::size_t kDriveSnapshotBytes = 49185;

// One 512-byte ATA sector, read-only. Converts from the sector arrays of
// DriveRecord, from std::array<std::uint8_t, 512>, and explicitly from a
// pointer: std::span<const std::uint8_t, 512>(p, 512).
using SectorView = std::span<const std::uint8_t, kSectorBytes>;

// The three raw sectors of one drive, exactly as the drive returned them.
struct DriveRecord {
    std::uint8_t reserved;                        // always 0 on the wire
    std::uint8_t identify[kSectorBytes];          // IDENTIFY DEVICE
    std::uint8_t smart_values[kSectorBytes];      // SMART READ DATA
    std::uint8_t smart_thresholds[kSectorBytes];  // SMART READ THRESHOLDS
};

// One snapshot message: the count of drive numbers tried in the pass (drives
// read plus the one whose open ended it), then all 32 slots.
struct DriveSnapshot {
    std::uint8_t count;
    DriveRecord drives[kDriveSlots];
};

static_assert(sizeof(DriveRecord) == kDriveRecordBytes);
static_assert(alignof(DriveRecord) == 1);
static_assert(sizeof(DriveSnapshot) == kDriveSnapshotBytes);

// ---------------------------------------------------------- attribute data

// One SMART attribute entry of the SMART READ DATA sector, 12 bytes.
struct AttributeEntry {
    std::uint8_t id;            // 0 marks an empty slot
    std::uint8_t flags[2];      // status flags, little-endian
    std::uint8_t value;         // current normalised value
    std::uint8_t worst;         // worst normalised value
    std::uint8_t raw_bytes[6];  // raw value, least significant byte first
    std::uint8_t reserved;
};
static_assert(sizeof(AttributeEntry) == 12);
static_assert(alignof(AttributeEntry) == 1);

// How a raw value is shown. The numeric codes are stable: tables store them.
enum RawStyle : std::int32_t {
    ById = 0,              // use default_raw_style(id)
    ByteList = 1,          // six bytes in decimal, most significant first
    WordList = 2,          // three 16-bit words in decimal
    Decimal = 3,           // whole value in decimal
    HexTwelve = 4,         // whole value in hex, at least 12 digits
    WideDecimal = 5,       // as Decimal, default layout takes worst and value too
    HexSixteen = 6,        // hex, at least 16 digits, layout as WideDecimal
    CountAndPair = 7,      // word 0, then "(word 2, word 1)" when nonzero
    CountAndAverage = 8,   // word 0, then "(Average word 1)" when nonzero
    SplitAt24 = 9,         // "high/low" split at bit 24
    SplitAt32 = 10,        // "high/low" split at bit 32
    SecondsClock = 11,     // seconds as h+mm+ss
    MinutesClock = 12,     // 32-bit minutes as h+mm, word 2 when nonzero
    HalfMinutesClock = 13, // 30-second units as h+mm
    HoursAndMillis = 14,   // hours (low 32 bits) and milliseconds above them
    TemperatureRange = 15, // reading with min/max where they can be found
    Tenths = 16,           // word 0 with one decimal
};

// What to do with one attribute id. A default-constructed record means
// "by id, default layout, no name".
struct AttributeDefinition {
    std::string name;              // display name; empty when unknown
    std::int32_t raw_style = ById; // a RawStyle code; other values render "?"
    std::uint8_t unused[8] = {};   // free for the table's owner; never read here
    char byte_layout[12] = {};     // NUL-terminated, up to 11 of "012345rvw";
                                   // empty = default layout of raw_style
};

// One definition for every possible id; the record for id n at index n.
struct AttributeDefinitionTable {
    std::array<AttributeDefinition, 256> definitions{};

    AttributeDefinition& definition_for(std::uint8_t id) noexcept { return definitions[id]; }
    const AttributeDefinition& definition_for(std::uint8_t id) const noexcept {
        return definitions[id];
    }
};

// The raw value of `entry`, assembled from the bytes its definition's layout
// names (first layout character most significant; of a layout longer than 8
// characters only the last 8 count). Unknown layout characters give 0 bytes.
std::uint64_t extract_raw_value(const AttributeEntry& entry,
                                const AttributeDefinitionTable& table) noexcept;

// The display text of the raw value, in the definition's style (or the id's
// default style when the definition says ById); "?" for unknown styles.
std::string render_raw_value(const AttributeEntry& entry, const AttributeDefinitionTable& table);

// The style used for `id` when its definition says ById; never ById itself:
// 3 CountAndAverage, 5 and 196 CountAndPair, 190 and 194 TemperatureRange,
// every other id Decimal.
RawStyle default_raw_style(std::uint8_t id) noexcept;

// A table with style ById and an empty layout for every id, and the usual
// names of the common attributes (1 "Raw Read Error Rate", 9 "Power-On
// Hours", 194 "Temperature", ...). Ids without a common name get "".
AttributeDefinitionTable default_attribute_table();

// ------------------------------------------------------------ count reading
//
// The count attributes (5 reallocated sectors, 187 reported uncorrectable
// errors, 188 command time-outs, 196 reallocation events, 197 pending
// sectors, 198 offline uncorrectable sectors) keep their count in raw bytes
// 0-1; several makers pack other data into bytes 2-5 (a spare-pool size,
// an error address, time-out classes), so those bytes are vendor data and
// never part of the count. A count word of 0xFFF0-0xFFFF (a negative 16-bit
// number, as some firmware reports for "unknown") and a sector count above
// the drive's sectors cannot be counts and are shown as such.

enum class CountState : std::uint8_t {
    count,        // `count` is the attribute's count
    not_a_count,  // a negative 16-bit value: no count at all
    beyond_size,  // more sectors than the drive has
};

struct CountReading {
    CountState state = CountState::count;
    std::uint32_t count = 0;   // raw bytes 0-1 (0 unless state == count)
    std::uint16_t word = 0;    // raw bytes 0-1 as read
    std::uint64_t vendor = 0;  // raw bytes 2-5, most significant first
};

// 5, 187, 188, 196, 197 and 198.
bool is_count_attribute(std::uint8_t id) noexcept;

// The reading of a count attribute's six raw bytes (least significant first,
// as in AttributeEntry::raw_bytes or a 48-bit number of them). `sector_count`
// 0: the drive's size is unknown, no size check.
CountReading read_count(std::uint8_t id, std::uint64_t raw48, std::uint64_t sector_count) noexcept;
std::uint64_t raw48_of(const AttributeEntry& entry) noexcept;

// "count 2, vendor data 0x6D4BFD22", "count 63", "not a count (0xFFF8)",
// "not a count: 70000 sectors on a drive of 65536".
std::string count_reading_text(const CountReading& reading, std::uint64_t sector_count);

// "63 reallocated sectors", "1 pending sector", "2 command time-outs": the
// count in the words of its attribute.
std::string count_phrase(std::uint8_t id, std::uint64_t count);

// Power-on time (attribute 9 or any attribute of time) with its unit, read
// in the definition's raw style: minutes, seconds and half-minutes clocks
// in their units, hours-and-milliseconds and vendor-packed decimal values
// (bytes 4-5 set) by their low 32 bits of hours, anything else as hours.
// "4377 hours (182 days)", "21086 hours (2.4 years)", "40 hours"; a count
// of hours above 200000 (23 years) is no drive's: "378645 (unit unknown)".
std::string power_on_text(const AttributeEntry& entry, const AttributeDefinitionTable& table);

// ------------------------------------------------------------------- text

// printf into a 512-byte buffer: at most 511 characters come back, a longer
// text is cut there. An encoding error gives "".
std::string format_text(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))  // C99 printf (__USE_MINGW_ANSI_STDIO)
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string vformat_text(const char* format, std::va_list args);

// Drive text made safe to print: printable ASCII (0x20..0x7e) stays as it is,
// except the backslash; every other byte, the backslash included, becomes
// "\xNN" with two lowercase hex digits. The result is unambiguous.
std::string sanitize_text(std::string_view text);

// ----------------------------------------------------------- SMART sectors

inline constexpr std::size_t kAttributeSlots = 30;

// The non-empty attribute entries of a SMART READ DATA sector (12-byte
// entries from byte 2, 30 slots; id 0 = empty), in slot order.
struct AttributeList {
    std::uint16_t revision;                      // sector bytes 0-1, little-endian
    std::uint32_t count;                         // entries[0..count) are valid
    AttributeEntry entries[kAttributeSlots];     // zero beyond count
    std::uint8_t slots[kAttributeSlots];         // slot (0..29) each entry came from
};

// One entry of the SMART READ THRESHOLDS sector.
struct AttributeThreshold {
    std::uint8_t id;
    std::uint8_t threshold;
};

// The non-empty entries of a SMART READ THRESHOLDS sector (same 30-slot
// layout: entry byte 0 = id, byte 1 = threshold), in slot order.
struct ThresholdList {
    std::uint16_t revision;
    std::uint32_t count;
    AttributeThreshold entries[kAttributeSlots];
    std::uint8_t slots[kAttributeSlots];
};

AttributeList decode_attribute_sector(SectorView smart_values) noexcept;
ThresholdList decode_threshold_sector(SectorView smart_thresholds) noexcept;

// The first threshold entry for `id`, or nullptr when the sector has none
// (id 0 is never found).
const AttributeThreshold* find_threshold(const ThresholdList& thresholds,
                                         std::uint8_t id) noexcept;

// The 16-bit status flags of an entry.
std::uint16_t attribute_flags(const AttributeEntry& entry) noexcept;

// --------------------------------------------------------------- IDENTIFY

// Word n (0..255) of IDENTIFY data, little-endian; 0 for n > 255.
std::uint16_t identify_word(SectorView identify, std::size_t n) noexcept;

// The ATA string in words first..last (inclusive, clamped to 255): two
// characters per word, the high byte first. Leading and trailing blanks
// (spaces and NULs) are trimmed; every other byte is returned unchanged, so
// pass the result through sanitize_text before printing it.
std::string identify_string(SectorView identify, std::size_t first_word, std::size_t last_word);
std::string identify_serial(SectorView identify);    // words 10-19
std::string identify_firmware(SectorView identify);  // words 23-26
std::string identify_model(SectorView identify);     // words 27-46

// ------------------------------------------------------------ drive sizes

struct DriveSizes {
    std::uint64_t sector_count;            // 0: the drive reports no usable size
    std::uint64_t total_bytes;             // sector_count * logical_sector_bytes
    std::uint32_t logical_sector_bytes;
    std::uint32_t physical_sector_bytes;
    std::uint32_t alignment_offset_bytes;  // of logical sector 0 in its physical sector
};

// Sizes from IDENTIFY data (words 49, 60-61, 83, 100-103, 106, 117-118, 209).
// `sizes` is overwritten in full; all zero when the data gives no size.
void compute_drive_sizes(SectorView identify, DriveSizes& sizes) noexcept;

// --------------------------------------------------------------- snapshot

// Copies a whole snapshot message out of `buffer`. Only a buffer of exactly
// 49185 bytes is accepted; any other length gives false and leaves
// `snapshot` unchanged.
bool split_snapshot(std::span<const std::uint8_t> buffer, DriveSnapshot& snapshot) noexcept;

// Copies one drive record out of `buffer`, which must be exactly 1537 bytes;
// otherwise false and `record` unchanged.
bool read_drive_record(std::span<const std::uint8_t> buffer, DriveRecord& record) noexcept;

// How many leading slots of a snapshot hold data of its own pass: count - 1,
// at most 32; 0 for a count of 0.
std::size_t current_slot_count(const DriveSnapshot& snapshot) noexcept;

// ------------------------------------------------------------ file writer

// Writes `length` bytes to the file `name` (created, or truncated first) in
// binary. Returns the number of bytes written, or -1 when the file cannot be
// opened. A count above 2^31 - 1 is reported as 2^31 - 1. A final symbolic
// link in `name` is followed, as fopen does.
std::int32_t save_buffer_to_file(std::string name, const void* data, std::uint32_t length);

}  // namespace smart
