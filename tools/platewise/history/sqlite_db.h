// A thin owner of SQLite's C handles: a database connection and prepared
// statements that are always finalised and closed, with plain results and
// the library's own error text. Nothing here throws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace platewise::history {

class Statement;

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;

    // Opens `path` (SQLITE_OPEN_NOFOLLOW: a symbolic link is refused) read-
    // write, creating it only when `create` is set, or read-only. False with
    // the reason in `error`; the object then holds no connection.
    bool open(const std::string& path, bool read_only, bool create, std::string& error);
    void close() noexcept;
    bool is_open() const noexcept { return db_ != nullptr; }

    // Runs one or more statements without results. False with the reason.
    bool exec(const char* sql, std::string& error);
    // A prepared statement; false with the reason when the SQL is refused.
    bool prepare(const char* sql, Statement& statement, std::string& error);

    // SQLite's result code and message of the last failure on this connection.
    int last_code() const noexcept;
    std::string last_message() const;

    sqlite3* handle() const noexcept { return db_; }

private:
    sqlite3* db_ = nullptr;
};

enum class Step { row, done, failed };

class Statement {
public:
    Statement() = default;
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;

    // Parameters are numbered from 1, as in SQL.
    void bind(int index, std::int64_t value) noexcept;
    void bind(int index, std::string_view text) noexcept;
    void bind_blob(int index, std::span<const std::uint8_t> bytes) noexcept;
    void bind_null(int index) noexcept;

    Step step() noexcept;
    // Ready to run again with new parameters.
    void reset() noexcept;

    // Columns are numbered from 0.
    std::int64_t column_int(int column) const noexcept;
    std::string column_text(int column) const;
    std::span<const std::uint8_t> column_blob(int column) const noexcept;
    bool column_is_null(int column) const noexcept;

private:
    friend class Database;
    sqlite3_stmt* stmt_ = nullptr;
};

// A transaction that rolls back unless committed. Inside another one it is
// a savepoint of it.
class Transaction {
public:
    explicit Transaction(Database& db) : db_(db) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool begin(std::string& error);
    bool commit(std::string& error);

private:
    Database& db_;
    bool open_ = false;
    bool nested_ = false;
};

}  // namespace platewise::history
