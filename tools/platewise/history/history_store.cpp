// The history file: opening, checking, creating and migrating it, and the
// rows it holds.
#include "history/history_store.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "history/store_access.h"
#include "history/store_file.h"
#include "smart.h"

namespace platewise::history {

namespace {

namespace fs = std::filesystem;

// Each version's step from the one before. Version 1: drives and their
// readings. Version 2: acknowledged baselines and the imported snapshots.
// Version 3: the kind of each drive (ATA or NVMe), the events (verdict
// changes) with the notifications still owed for them, the indicators
// latched above their baseline, and the slots of the last pass that held
// a drive nobody could read.
const char* const kSchemaSteps[] = {
    R"sql(
CREATE TABLE drives(
  id INTEGER PRIMARY KEY,
  model TEXT NOT NULL,
  serial TEXT NOT NULL,
  wwn TEXT NOT NULL DEFAULT '',
  firmware TEXT NOT NULL DEFAULT '',
  capacity_bytes INTEGER NOT NULL DEFAULT 0,
  first_seen_ms INTEGER NOT NULL,
  last_seen_ms INTEGER NOT NULL,
  last_slot INTEGER NOT NULL DEFAULT -1,
  last_sample_ms INTEGER NOT NULL DEFAULT 0,
  current BLOB,
  UNIQUE(model, serial, wwn));
CREATE TABLE readings(
  drive_id INTEGER NOT NULL,
  time_ms INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  attributes BLOB NOT NULL,
  PRIMARY KEY(drive_id, time_ms)) WITHOUT ROWID;
)sql",
    R"sql(
CREATE TABLE baselines(
  drive_id INTEGER NOT NULL,
  attribute_id INTEGER NOT NULL,
  baseline INTEGER NOT NULL,
  acked_ms INTEGER NOT NULL,
  acked_by TEXT NOT NULL,
  PRIMARY KEY(drive_id, attribute_id)) WITHOUT ROWID;
CREATE TABLE imports(
  time_ms INTEGER NOT NULL,
  digest INTEGER NOT NULL,
  PRIMARY KEY(time_ms, digest)) WITHOUT ROWID;
)sql",
    R"sql(
ALTER TABLE drives ADD COLUMN kind INTEGER NOT NULL DEFAULT 0;
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  drive_id INTEGER NOT NULL,
  kind TEXT NOT NULL,
  model TEXT NOT NULL,
  serial TEXT NOT NULL,
  slot INTEGER NOT NULL,
  verdict_before TEXT NOT NULL,
  verdict_after TEXT NOT NULL,
  reasons TEXT NOT NULL);
CREATE INDEX events_by_time ON events(time_ms);
CREATE INDEX events_by_drive ON events(drive_id, time_ms);
CREATE TABLE notifications(
  event_id INTEGER NOT NULL,
  channel TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_try_ms INTEGER NOT NULL,
  delivered_ms INTEGER,
  last_error TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(event_id, channel)) WITHOUT ROWID;
CREATE TABLE latches(
  drive_id INTEGER NOT NULL,
  indicator INTEGER NOT NULL,
  since_ms INTEGER NOT NULL,
  peak INTEGER NOT NULL,
  PRIMARY KEY(drive_id, indicator)) WITHOUT ROWID;
CREATE TABLE slots(
  slot INTEGER PRIMARY KEY,
  seen_ms INTEGER NOT NULL,
  state TEXT NOT NULL,
  detail TEXT NOT NULL);
)sql",
};
static_assert(sizeof kSchemaSteps / sizeof kSchemaSteps[0] == kSchemaVersion);

bool query_int(Database& db, const char* sql, std::int64_t& value, std::string& error)
{
    Statement s;
    if (!db.prepare(sql, s, error)) {
        return false;
    }
    if (s.step() != Step::row) {
        error = db.last_message();
        return false;
    }
    value = s.column_int(0);
    return true;
}

bool apply_steps(Database& db, int from, int to, std::string& error)
{
    Transaction t(db);
    if (!t.begin(error)) {
        return false;
    }
    for (int v = from + 1; v <= to; ++v) {
        if (!db.exec(kSchemaSteps[v - 1], error)) {
            return false;
        }
    }
    const std::string pragmas = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                "; PRAGMA user_version = " + std::to_string(to) + ";";
    if (!db.exec(pragmas.c_str(), error)) {
        return false;
    }
    return t.commit(error);
}

}  // namespace

bool create_schema_version(Database& db, int version, std::string& error)
{
    return apply_steps(db, 0, version, error);
}

std::string default_history_path()
{
#if defined(_WIN32)
    // Where the service keeps its folder, whatever its environment says.
    return program_data_folder() + "\\Platewise\\history.db";
#else
    return "/var/lib/platewise/history.db";
#endif
}

bool open_history(HistoryStore& store, const std::string& path, bool read_only,
                  std::string& error, bool* refused)
{
    bool refusal = true;
    if (refused == nullptr) {
        refused = &refusal;
    }
    *refused = true;
    store.db.close();
    store.path = path;
    store.read_only = read_only;
    store.damaged = false;
    if (std::string problem = store_access_problem(path, !read_only); !problem.empty()) {
        error = std::move(problem);
        return false;
    }
    bool created = false;
    if (!read_only && !prepare_store_file(path, created, error)) {
        return false;
    }
    std::string why;
    std::error_code missing;
    if (read_only && fs::status(path, missing).type() == fs::file_type::not_found) {
        error = "no history at " + path + " (platewise listen --history records one)";
        return false;
    }
    if (read_only && !check_store_place_to_read(path, why)) {
        error = "refusing the history " + path + ": " + why;
        return false;
    }
    if (!store.db.open(path, read_only, false, why)) {
        error = "cannot open the history " + path + ": " + why;
        return false;
    }
    const auto unavailable = [&](const std::string& what) {
        const int code = store.db.last_code() & 0xff;
        *refused = !(code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_FULL ||
                     code == SQLITE_IOERR || code == SQLITE_CANTOPEN);
        error = what;
        store.db.close();
        return false;
    };
    Database& db = store.db;
    auto refuse = [&](const std::string& reason) {
        error = "refusing the history " + path + ": " + reason + "; the file is left as it is";
        db.close();
        return false;
    };
    std::int64_t application_id = 0;
    std::int64_t version = 0;
    std::int64_t tables = 0;
    if (!query_int(db, "PRAGMA application_id", application_id, why) ||
        !query_int(db, "PRAGMA user_version", version, why) ||
        !query_int(db, "SELECT count(*) FROM sqlite_master", tables, why)) {
        const int code = db.last_code() & 0xff;
        if (code != SQLITE_NOTADB && code != SQLITE_CORRUPT) {
            return unavailable("cannot read the history " + path + ": " + why);
        }
        store.damaged = code == SQLITE_CORRUPT || has_sqlite_header(path);
        return refuse("not an SQLite database, or a damaged one (" + why + ")");
    }
    if (application_id == 0 && version == 0 && tables == 0) {
        if (read_only) {
            return refuse("it is empty: no listener has recorded into it yet");
        }
        if (!apply_steps(db, 0, kSchemaVersion, why)) {
            return unavailable("cannot create the history in " + path + ": " + why);
        }
        version = kSchemaVersion;
        application_id = kApplicationId;
    }
    if (application_id != kApplicationId) {
        return refuse(smart::format_text("an SQLite database of another program (application_id "
                                         "0x%08llx)",
                                         static_cast<unsigned long long>(application_id)));
    }
    if (version > kSchemaVersion || version < 1) {
        return refuse("schema version " + std::to_string(version) + ", this platewise knows 1 to " +
                      std::to_string(kSchemaVersion) + " (written by a newer platewise?)");
    }
    if (!read_only) {
        Statement check;
        if (!db.prepare("PRAGMA quick_check", check, why) || check.step() != Step::row) {
            const int code = db.last_code() & 0xff;
            if (code != SQLITE_NOTADB && code != SQLITE_CORRUPT) {
                return unavailable("cannot check the history " + path + ": " + db.last_message());
            }
            store.damaged = true;
            return refuse("damaged (" + (why.empty() ? db.last_message() : why) + ")");
        }
        const std::string verdict = check.column_text(0);
        if (verdict != "ok") {
            store.damaged = true;
            return refuse("damaged (" + verdict + ")");
        }
        check = Statement();
        if (version < kSchemaVersion && !apply_steps(db, static_cast<int>(version), kSchemaVersion, why)) {
            return unavailable("cannot migrate the history " + path + " from schema " +
                               std::to_string(version) + ": " + why);
        }
        if (!db.exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", why)) {
            return unavailable("cannot switch the history " + path + " to WAL mode: " + why);
        }
        // The -wal and -shm files stay when the writer closes, so that a
        // reader who may not create files in the directory (status without
        // root) can still open the file.
        int persist = 1;
        sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    } else if (version < kSchemaVersion) {
        return refuse("schema version " + std::to_string(version) +
                      " needs migrating: run platewise listen --history on it once");
    }
    (void)created;
    *refused = false;
    return true;
}

std::vector<std::uint8_t> encode_attributes(const std::vector<AttributeSample>& attributes)
{
    std::vector<std::uint8_t> out;
    out.reserve(attributes.size() * 10);
    for (const AttributeSample& a : attributes) {
        out.push_back(a.id);
        out.push_back(a.value);
        out.push_back(a.worst);
        out.push_back(a.threshold);
        for (int i = 0; i < 6; ++i) {
            out.push_back(static_cast<std::uint8_t>(a.raw >> (8 * i)));
        }
    }
    return out;
}

bool decode_attributes(std::span<const std::uint8_t> bytes, std::vector<AttributeSample>& out)
{
    out.clear();
    if (bytes.size() % 10 != 0) {
        return false;
    }
    for (std::size_t at = 0; at < bytes.size(); at += 10) {
        AttributeSample a;
        a.id = bytes[at];
        a.value = bytes[at + 1];
        a.worst = bytes[at + 2];
        a.threshold = bytes[at + 3];
        for (int i = 0; i < 6; ++i) {
            a.raw |= static_cast<std::uint64_t>(bytes[at + 4 + static_cast<std::size_t>(i)]) << (8 * i);
        }
        out.push_back(a);
    }
    return true;
}

bool load_drives(HistoryStore& store, std::vector<StoredDrive>& drives, std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT id, model, serial, wwn, firmware, capacity_bytes, first_seen_ms, "
                          "last_seen_ms, last_slot, last_sample_ms, current, kind FROM drives "
                          "ORDER BY id",
                          s, error)) {
        return false;
    }
    drives.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        StoredDrive d;
        d.id = s.column_int(0);
        d.model = s.column_text(1);
        d.serial = s.column_text(2);
        d.wwn = s.column_text(3);
        d.firmware = s.column_text(4);
        d.capacity_bytes = static_cast<std::uint64_t>(s.column_int(5));
        d.first_seen_ms = s.column_int(6);
        d.last_seen_ms = s.column_int(7);
        d.last_slot = static_cast<int>(s.column_int(8));
        d.last_sample_ms = s.column_int(9);
        d.has_current = !s.column_is_null(10);
        if (d.has_current && !decode_attributes(s.column_blob(10), d.current)) {
            error = "drive " + std::to_string(d.id) + ": damaged attribute table";
            return false;
        }
        d.kind = s.column_int(11) == 1 ? DriveKind::nvme : DriveKind::ata;
        drives.push_back(std::move(d));
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool insert_drive(HistoryStore& store, StoredDrive& drive, std::string& error)
{
    Statement s;
    // A row already there (another process, an import beside the listener,
    // inserted the drive first) lends its id and keeps the earlier first
    // sighting.
    if (!store.db.prepare("INSERT INTO drives(model, serial, wwn, firmware, capacity_bytes, "
                          "first_seen_ms, last_seen_ms, last_slot, kind) VALUES(?,?,?,?,?,?,?,?,?) "
                          "ON CONFLICT(model, serial, wwn) DO UPDATE SET first_seen_ms = "
                          "min(first_seen_ms, excluded.first_seen_ms) RETURNING id, first_seen_ms",
                          s, error)) {
        return false;
    }
    s.bind(1, drive.model);
    s.bind(2, drive.serial);
    s.bind(3, drive.wwn);
    s.bind(4, drive.firmware);
    s.bind(5, static_cast<std::int64_t>(drive.capacity_bytes));
    s.bind(6, drive.first_seen_ms);
    s.bind(7, drive.last_seen_ms);
    s.bind(8, static_cast<std::int64_t>(drive.last_slot));
    s.bind(9, static_cast<std::int64_t>(drive.kind));
    if (s.step() != Step::row) {
        error = store.db.last_message();
        return false;
    }
    const std::int64_t id = s.column_int(0);
    const std::int64_t first_seen_ms = s.column_int(1);
    if (s.step() != Step::done) {
        error = store.db.last_message();
        return false;
    }
    drive.id = id;
    drive.first_seen_ms = first_seen_ms;
    return true;
}

bool update_drive(HistoryStore& store, const StoredDrive& drive, std::string& error,
                  bool* row_missing)
{
    if (row_missing != nullptr) {
        *row_missing = false;
    }
    if (drive.id <= 0) {
        error = "drive " + drive.model + " " + drive.serial + " has no row in the history";
        return false;
    }
    Statement s;
    if (!store.db.prepare("UPDATE drives SET firmware = ?, capacity_bytes = ?, first_seen_ms = ?, "
                          "last_seen_ms = ?, last_slot = ?, last_sample_ms = ?, current = ? "
                          "WHERE id = ?",
                          s, error)) {
        return false;
    }
    s.bind(1, drive.firmware);
    s.bind(2, static_cast<std::int64_t>(drive.capacity_bytes));
    s.bind(3, drive.first_seen_ms);
    s.bind(4, drive.last_seen_ms);
    s.bind(5, static_cast<std::int64_t>(drive.last_slot));
    s.bind(6, drive.last_sample_ms);
    if (drive.has_current) {
        s.bind_blob(7, encode_attributes(drive.current));
    } else {
        s.bind_null(7);
    }
    s.bind(8, drive.id);
    if (s.step() != Step::done) {
        error = store.db.last_message();
        return false;
    }
    if (sqlite3_changes(store.db.handle()) != 1) {
        if (row_missing != nullptr) {
            *row_missing = true;
        }
        error = "drive " + std::to_string(drive.id) + " (" + drive.model + " " + drive.serial +
                ") is no longer in the history; it is inserted again";
        return false;
    }
    return true;
}

bool insert_reading(HistoryStore& store, const Reading& reading, std::string& error)
{
    if (reading.drive_id <= 0) {
        error = "a reading for a drive that has no row in the history";
        return false;
    }
    Statement s;
    if (!store.db.prepare("INSERT INTO readings(drive_id, time_ms, kind, attributes) VALUES(?,?,?,?)",
                          s, error)) {
        return false;
    }
    s.bind(1, reading.drive_id);
    s.bind(2, reading.time_ms);
    s.bind(3, static_cast<std::int64_t>(reading.kind));
    s.bind_blob(4, encode_attributes(reading.attributes));
    if (s.step() != Step::done) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool load_readings(HistoryStore& store, std::int64_t drive_id, std::int64_t since_ms,
                   std::vector<Reading>& readings, std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT time_ms, kind, attributes FROM readings WHERE drive_id = ? AND "
                          "time_ms >= ? ORDER BY time_ms",
                          s, error)) {
        return false;
    }
    s.bind(1, drive_id);
    s.bind(2, since_ms);
    readings.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        Reading r;
        r.drive_id = drive_id;
        r.time_ms = s.column_int(0);
        const std::int64_t kind = s.column_int(1);
        if (kind < 1 || kind > 3 || !decode_attributes(s.column_blob(2), r.attributes)) {
            error = "drive " + std::to_string(drive_id) + ": damaged reading at " +
                    std::to_string(r.time_ms);
            return false;
        }
        r.kind = static_cast<ReadingKind>(kind);
        readings.push_back(std::move(r));
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool load_baselines(HistoryStore& store, std::vector<StoredBaseline>& baselines,
                    std::string& error)
{
    Statement s;
    if (!store.db.prepare("SELECT drive_id, attribute_id, baseline, acked_ms, acked_by FROM "
                          "baselines ORDER BY drive_id, attribute_id",
                          s, error)) {
        return false;
    }
    baselines.clear();
    Step step;
    while ((step = s.step()) == Step::row) {
        StoredBaseline b;
        b.drive_id = s.column_int(0);
        b.attribute_id = static_cast<std::uint8_t>(s.column_int(1));
        b.baseline = static_cast<std::uint32_t>(s.column_int(2));
        b.acked_ms = s.column_int(3);
        b.acked_by = s.column_text(4);
        baselines.push_back(std::move(b));
    }
    if (step == Step::failed) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool set_baseline(HistoryStore& store, const StoredBaseline& baseline, std::string& error)
{
    Statement s;
    if (!store.db.prepare("INSERT OR REPLACE INTO baselines(drive_id, attribute_id, baseline, "
                          "acked_ms, acked_by) VALUES(?,?,?,?,?)",
                          s, error)) {
        return false;
    }
    s.bind(1, baseline.drive_id);
    s.bind(2, static_cast<std::int64_t>(baseline.attribute_id));
    s.bind(3, static_cast<std::int64_t>(baseline.baseline));
    s.bind(4, baseline.acked_ms);
    s.bind(5, baseline.acked_by);
    if (s.step() != Step::done) {
        error = store.db.last_message();
        return false;
    }
    return true;
}

bool note_import(HistoryStore& store, std::int64_t time_ms, std::uint64_t digest, bool& is_new,
                 std::string& error)
{
    Statement s;
    if (!store.db.prepare("INSERT OR IGNORE INTO imports(time_ms, digest) VALUES(?,?)", s, error)) {
        return false;
    }
    s.bind(1, time_ms);
    s.bind(2, static_cast<std::int64_t>(digest));
    if (s.step() != Step::done) {
        error = store.db.last_message();
        return false;
    }
    is_new = sqlite3_changes(store.db.handle()) == 1;
    return true;
}

}  // namespace platewise::history
