// What the queries over `calls` share: the schema every one of them makes
// sure of first, and reading whole rows.
#pragma once

#include "tokentally/store/records.hpp"
#include "tokentally/store/sqlite/db.hpp"

#include <SQLiteCpp/SQLiteCpp.h>

#include <string>

namespace tokentally::store::sqlite {

// Every column of `calls` in CallRow's order; a WHERE clause may follow.
inline constexpr const char* SELECT_CALLS =
    R"(SELECT id, ts, model_id, tag, session_id, prompt_tokens, completion_tokens,
       cost_usd, elapsed_s, status, streamed
FROM calls)";

// The row a statement over SELECT_CALLS stands on.
CallRow call_row(const SQLite::Statement& q);

// The ledger's tables and indexes, made once per ledger file in this process
// (again when the file was replaced).
void ensure_calls_schema(const std::string& path);

// One more hit of the exact-cache entry under `key`, inside the caller's
// transaction (a call the cache answered is appended with it); nothing when
// the table is gone.
void count_exact_hit(const Conn& conn, const std::string& key);

}  // namespace tokentally::store::sqlite
