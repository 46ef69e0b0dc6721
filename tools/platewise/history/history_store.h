// The drive history on disk: one SQLite file (WAL mode, so readers such as
// `platewise status` see a consistent state while the listener writes).
//
// Drives are told apart by model, serial and world-wide name, never by the
// slot they were read in. For each drive the store keeps when it was first
// and last seen, its current attribute table, and a list of readings: the
// full table when the drive first appears (or its set of attributes
// changes), the attributes that changed (at once when a verdict may hang
// on the change: a leading indicator's count, a worst value, a threshold, a
// value reaching or leaving its threshold; any other change with the next
// hourly sample), and one sample per hour so that flat lines show. Each attribute in a reading is 10 bytes: id, value, worst,
// threshold and the six raw bytes, least significant first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/sqlite_db.h"

namespace platewise::history {

inline constexpr int kSchemaVersion = 3;
// PRAGMA application_id of a history file: "PWHS".
inline constexpr std::int64_t kApplicationId = 0x50574853;

struct AttributeSample {
    std::uint8_t id = 0;
    std::uint8_t value = 0;
    std::uint8_t worst = 0;
    std::uint8_t threshold = 0;
    std::uint64_t raw = 0;  // the six raw bytes as a 48-bit number
    friend bool operator==(const AttributeSample&, const AttributeSample&) = default;
};

enum class ReadingKind : std::uint8_t {
    full = 1,    // the whole attribute table (empty: no SMART data)
    change = 2,  // the attributes that changed
    sample = 3,  // the hourly sample: what changed since, possibly nothing
};

struct Reading {
    std::int64_t drive_id = 0;
    std::int64_t time_ms = 0;  // Unix time in milliseconds
    ReadingKind kind = ReadingKind::full;
    std::vector<AttributeSample> attributes;
};

// What a drive answers: ATA SMART attributes, or an NVMe controller's
// health log (kept as attribute samples too, one per field).
enum class DriveKind : std::uint8_t { ata = 0, nvme = 1 };

struct StoredDrive {
    std::int64_t id = 0;
    DriveKind kind = DriveKind::ata;
    std::string model;  // sanitised IDENTIFY strings
    std::string serial;
    std::string wwn;  // 16 hex digits, or "" when the drive reports none
    std::string firmware;
    std::uint64_t capacity_bytes = 0;
    std::int64_t first_seen_ms = 0;
    std::int64_t last_seen_ms = 0;
    int last_slot = -1;
    std::int64_t last_sample_ms = 0;
    bool has_current = false;  // false until the first reading
    std::vector<AttributeSample> current;  // the table as last seen
};

struct StoredBaseline {
    std::int64_t drive_id = 0;
    std::uint8_t attribute_id = 0;
    std::uint32_t baseline = 0;  // raw low 32 bits acknowledged
    std::int64_t acked_ms = 0;
    std::string acked_by;
};

struct HistoryStore {
    Database db;
    std::string path;
    bool read_only = true;
    // Set when open_history refused an SQLite file that is damaged (as
    // opposed to one that is not a history at all): the listener sets it
    // aside and carries on without a history.
    bool damaged = false;
};

// Opens the history at `path`. Read-write: a missing file is created
// (exclusively, mode 0600, never through a link; an existing one and its
// -wal and -shm files lose any access of group and others, who could
// otherwise lock out the writer) in an existing directory
// that is not writable by group or others, and given the schema; an older
// schema is migrated. Read-only: the file must exist. A file that is not
// SQLite, is damaged, belongs to another program or comes from a newer
// platewise is refused with the reason and left untouched.
// `refused` (when given) tells a file that will never do (not SQLite,
// damaged, foreign, newer, unsafe place) from one that could not be used
// now (locked, disk full, I/O error).
bool open_history(HistoryStore& store, const std::string& path, bool read_only,
                  std::string& error, bool* refused = nullptr);

// Where the history lives unless told otherwise: /var/lib/platewise/history.db,
// or %ProgramData%\Platewise\history.db on Windows.
std::string default_history_path();

// The schema of `version` (1..kSchemaVersion) applied to an empty database,
// step by step, as older platewise versions created it; for the migration
// test.
bool create_schema_version(Database& db, int version, std::string& error);

std::vector<std::uint8_t> encode_attributes(const std::vector<AttributeSample>& attributes);
// False when the length is not a multiple of 10.
bool decode_attributes(std::span<const std::uint8_t> bytes, std::vector<AttributeSample>& out);

bool load_drives(HistoryStore& store, std::vector<StoredDrive>& drives, std::string& error);
// Inserts `drive` and sets its id; when the drive already has a row (put
// there by another process), takes that row's id and the earlier first
// sighting.
bool insert_drive(HistoryStore& store, StoredDrive& drive, std::string& error);
// Writes first/last seen, slot, firmware, capacity, the last sample time
// and the current table. Changing no row is a failure (`row_missing` set
// when given): the drive is not in the file.
bool update_drive(HistoryStore& store, const StoredDrive& drive, std::string& error,
                  bool* row_missing = nullptr);
// Refuses a reading of drive id 0 (a drive with no row).

bool insert_reading(HistoryStore& store, const Reading& reading, std::string& error);
// The readings of one drive in time order (time_ms >= since_ms).
bool load_readings(HistoryStore& store, std::int64_t drive_id, std::int64_t since_ms,
                   std::vector<Reading>& readings, std::string& error);
bool load_baselines(HistoryStore& store, std::vector<StoredBaseline>& baselines,
                    std::string& error);
bool set_baseline(HistoryStore& store, const StoredBaseline& baseline, std::string& error);
// Notes an imported snapshot by its time and content digest; `is_new` false
// when the same snapshot was imported before.
bool note_import(HistoryStore& store, std::int64_t time_ms, std::uint64_t digest, bool& is_new,
                 std::string& error);

}  // namespace platewise::history
