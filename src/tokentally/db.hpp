// SQLite helpers shared by every module that opens ledger.db: how a
// connection is opened and how result rows become name-indexed records.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>
#include <boost/json.hpp>

#include <string>

namespace tokentally::db {

// Milliseconds a connection waits for a lock held by another connection.
inline constexpr int BUSY_TIMEOUT_MS = 5000;

// Opens `path` (created when absent) after creating its directory, one level
// only, with the 5-second busy wait. Throws SQLite::Exception or
// std::runtime_error naming the path.
SQLite::Database open(const std::string& path);

// True when a file exists at `path`.
bool exists(const std::string& path);

// The current row of `stmt` as an object from result column name (aliases
// included) to value, keeping SQLite's types (NULL becomes null).
boost::json::object row_record(SQLite::Statement& stmt);

// Every remaining row of `stmt` as records, in the statement's order.
boost::json::array all_records(SQLite::Statement& stmt);

// Current wall-clock time in seconds since the Unix epoch, with fraction.
double now();

}  // namespace tokentally::db
