// The SQLite layer of the SQLite store: how a connection is opened and kept,
// prepared statements, the write lock, transactions, once-per-file schema
// work and typed reads of result columns.
#pragma once

#include "tokentally/base/paths.hpp"

#include "tokentally/store/records.hpp"
#include "tokentally/store/store.hpp"

#include <SQLiteCpp/SQLiteCpp.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tokentally::store::sqlite {

// Milliseconds a connection waits for a lock held by another connection.
inline constexpr int BUSY_TIMEOUT_MS = 5000;

// The durability of the commits on the ledger at `path`, for connections
// opened from now on (a process uses one setting throughout).
void set_durability(const std::string& path, Durability durability);

// Opens `path` (created when absent) after creating its directory, one level
// only, with the 5-second busy wait. Throws SQLite::Exception or
// std::runtime_error naming the path. `extra_flags` are further SQLite open
// flags.
SQLite::Database open(const std::string& path, int extra_flags = 0);

using StatementCache = std::unordered_map<std::string, std::unique_ptr<SQLite::Statement>>;

// A statement handed out by Conn::prepare, ready to bind; reset again when
// the holder goes, so that no read stays open on the connection between
// operations.
struct Prepared {
    SQLite::Statement* stmt;
    explicit Prepared(SQLite::Statement* s) : stmt(s) {}
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared() { stmt->tryReset(); }
    SQLite::Statement* operator->() const { return stmt; }
    SQLite::Statement& operator*() const { return *stmt; }
};

// A connection kept open for the calling thread and reused by every
// operation on the same file, with its prepared statements: opening a
// connection and parsing SQL cost more than most of the statements the proxy
// runs per call. It is reopened when the file at the path was removed or
// replaced, so a deleted ledger is recreated. Holds no transaction between
// operations; converts to SQLite::Database& wherever one is expected.
struct Conn {
    SQLite::Database* db;
    StatementCache* statements;
    operator SQLite::Database&() const { return *db; }
    int exec(const char* sql) const { return db->exec(sql); }
    int exec(const std::string& sql) const { return db->exec(sql); }
    // The statement for `sql`, prepared on first use on this connection.
    Prepared prepare(const std::string& sql) const;
};
Conn connection(const std::string& path);

// The connection to the file at `path` when there is one (one look at the
// file, where exists() and connection() take two); none, and no file made,
// when there is none.
std::optional<Conn> existing(const std::string& path);

// Held around each write transaction of this process on the ledger, so that
// the proxy's threads queue on a mutex (microseconds) instead of meeting in
// SQLite's busy handler, which sleeps in steps of milliseconds. Other
// processes are still ordered by SQLite's own locking and 5-second wait.
struct WriteLock {
    WriteLock();
    std::unique_lock<std::mutex> held;
};

// A transaction on a kept connection whose BEGIN, COMMIT and ROLLBACK are
// prepared once, like its other statements (SQLite::Transaction parses them
// on every use, which costs more than the sums the proxy reads in one).
// Rolled back when it goes uncommitted.
struct Transaction {
    explicit Transaction(const Conn& conn);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();
    Conn conn;
    bool open = true;
};

// Runs `init` the first time this process sees the file at `path` (by its
// device and inode) for the purpose named `what`, so that schema statements
// run once per file and again after the file was replaced (also when the new
// file has the old one's inode: connection() forgets what was done on a file
// it finds replaced, so take the connection first: the identity it checked
// is the one compared). Rethrows what `init`
// throws (and tries again next time).
void once_per_file(const std::string& path, std::string_view what, const std::function<void()>& init);

// True when the database of `conn` has a table named `name`.
bool has_table(SQLite::Database& conn, const std::string& name);

// True when SQLite failed for want of a table: one dropped behind the
// process's back since its schema last ran.
bool no_such_table(const SQLite::Exception& e);

// True when a file exists at `path`.
bool exists(const std::string& path);

// How many times a connection of this process found the file at `path`
// replaced or removed (connection() notices it and opens the new file).
std::uint64_t generation(const std::string& path);

// Typed reads of a result column; NULL is none (or the empty text).
std::optional<std::string> opt_text(const SQLite::Column& col);
std::string text_or_empty(const SQLite::Column& col);
std::optional<std::int64_t> opt_int(const SQLite::Column& col);
std::optional<double> opt_real(const SQLite::Column& col);
// A sum as SQLite computed it: none, an integer or a real.
Total total(const SQLite::Column& col);

// Binds none as NULL.
template <class T>
void bind_optional(SQLite::Statement& stmt, int index, const std::optional<T>& value) {
    if (value)
        stmt.bind(index, *value);
    else
        stmt.bind(index);
}

}  // namespace tokentally::store::sqlite
