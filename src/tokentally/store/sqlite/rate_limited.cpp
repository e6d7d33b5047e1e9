// The `rate_limited` table of ledger.db: calls refused by a rate limit,
// counted per minute, scope and limit.
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/db.hpp"

#include <cmath>

namespace tokentally::store::sqlite {

namespace {

// "limit" is a keyword of SQL: the column is limit_name.
constexpr const char* CREATE_RATE_LIMITED = R"(CREATE TABLE IF NOT EXISTS rate_limited (
    minute     REAL    NOT NULL,
    scope      TEXT    NOT NULL,
    limit_name TEXT    NOT NULL,
    calls      INTEGER NOT NULL,
    PRIMARY KEY (minute, scope, limit_name)
))";

constexpr const char* ADD_COUNT = R"(INSERT INTO rate_limited (minute, scope, limit_name, calls) VALUES (?, ?, ?, ?)
ON CONFLICT (minute, scope, limit_name) DO UPDATE SET calls = calls + excluded.calls)";

constexpr const char* COUNTS_SINCE = R"(SELECT scope, limit_name, SUM(calls) FROM rate_limited
WHERE minute >= ? GROUP BY scope, limit_name ORDER BY scope, limit_name)";

}  // namespace

void SqliteCalls::add_rate_limited(std::span<const RateLimited> counts) {
    if (counts.empty()) return;
    ensure_calls_schema(path_);
    // Every few seconds at most: made again at once if it was dropped.
    auto conn = connection(path_);
    conn.exec(CREATE_RATE_LIMITED);
    WriteLock writing;
    Transaction tx(conn);
    for (const RateLimited& c : counts) {
        auto add = conn.prepare(ADD_COUNT);
        add->bind(1, c.minute);
        add->bind(2, c.scope);
        add->bind(3, c.limit);
        add->bind(4, c.calls);
        add->exec();
    }
    tx.commit();
}

std::vector<RateLimited> SqliteCalls::rate_limited_since(double since) {
    std::vector<RateLimited> out;
    std::optional<Conn> conn = existing(path_);
    if (!conn || !has_table(*conn, "rate_limited")) return out;
    auto q = conn->prepare(COUNTS_SINCE);
    q->bind(1, std::floor(since / 60.0) * 60.0);
    while (q->executeStep())
        out.push_back({0.0, q->getColumn(0).getString(), q->getColumn(1).getString(), q->getColumn(2).getInt64()});
    return out;
}

}  // namespace tokentally::store::sqlite
