// The SQLite handles, owned.
#include "history/sqlite_db.h"

#include <sqlite3.h>

#include <utility>

namespace platewise::history {

Database::~Database()
{
    close();
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept
{
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

bool Database::open(const std::string& path, bool read_only, bool create, std::string& error)
{
    close();
    int flags = SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
    if (read_only) {
        flags |= SQLITE_OPEN_READONLY;
    } else {
        flags |= SQLITE_OPEN_READWRITE;
        if (create) {
            flags |= SQLITE_OPEN_CREATE;
        }
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return false;
    }
    sqlite3_extended_result_codes(db, 1);
    // A busy database (another writer, a checkpoint) is waited for briefly;
    // after that the operation fails and the caller decides.
    sqlite3_busy_timeout(db, 1000);
    db_ = db;
    return true;
}

void Database::close() noexcept
{
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool Database::exec(const char* sql, std::string& error)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        error = message != nullptr ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool Database::prepare(const char* sql, Statement& statement, std::string& error)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        sqlite3_finalize(stmt);
        return false;
    }
    statement = Statement();
    statement.stmt_ = stmt;
    return true;
}

int Database::last_code() const noexcept
{
    return db_ == nullptr ? SQLITE_MISUSE : sqlite3_extended_errcode(db_);
}

std::string Database::last_message() const
{
    return db_ == nullptr ? std::string("no database") : std::string(sqlite3_errmsg(db_));
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept
{
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

void Statement::bind(int index, std::int64_t value) noexcept
{
    sqlite3_bind_int64(stmt_, index, value);
}

void Statement::bind(int index, std::string_view text) noexcept
{
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Statement::bind_blob(int index, std::span<const std::uint8_t> bytes) noexcept
{
    // A zero-length blob is still a blob, not NULL.
    static const std::uint8_t empty = 0;
    sqlite3_bind_blob(stmt_, index, bytes.empty() ? &empty : bytes.data(),
                      static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void Statement::bind_null(int index) noexcept
{
    sqlite3_bind_null(stmt_, index);
}

Step Statement::step() noexcept
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return Step::row;
    }
    return rc == SQLITE_DONE ? Step::done : Step::failed;
}

void Statement::reset() noexcept
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::column_int(int column) const noexcept
{
    return sqlite3_column_int64(stmt_, column);
}

std::string Statement::column_text(int column) const
{
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text),
                                                         static_cast<std::size_t>(size));
}

std::span<const std::uint8_t> Statement::column_blob(int column) const noexcept
{
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) {
        return {};
    }
    return {static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

bool Statement::column_is_null(int column) const noexcept
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Transaction::~Transaction()
{
    if (open_) {
        std::string ignored;
        db_.exec(nested_ ? "ROLLBACK TO nested; RELEASE nested" : "ROLLBACK", ignored);
    }
}

bool Transaction::begin(std::string& error)
{
    nested_ = sqlite3_get_autocommit(db_.handle()) == 0;
    open_ = db_.exec(nested_ ? "SAVEPOINT nested" : "BEGIN IMMEDIATE", error);
    return open_;
}

bool Transaction::commit(std::string& error)
{
    if (!db_.exec(nested_ ? "RELEASE nested" : "COMMIT", error)) {
        return false;  // the destructor rolls back
    }
    open_ = false;
    return true;
}

}  // namespace platewise::history
