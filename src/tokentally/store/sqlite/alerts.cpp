// The `alerts` table of ledger.db.
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/sqlite/db.hpp"

namespace tokentally::store::sqlite {

namespace {

constexpr const char* CREATE_ALERTS = R"(CREATE TABLE IF NOT EXISTS alerts (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    ts        REAL    NOT NULL,
    level     TEXT    NOT NULL,   -- 'warn' | 'critical'
    scope     TEXT    NOT NULL,   -- 'hourly' | 'daily' | 'monthly' | 'tag:name'
    spent     REAL    NOT NULL,
    budget    REAL    NOT NULL,
    message   TEXT    NOT NULL,
    seen      INTEGER DEFAULT 0
))";

constexpr const char* RECENT_SAME_SCOPE = R"(SELECT id FROM alerts
WHERE scope = ? AND ts > ?
ORDER BY ts DESC LIMIT 1)";

constexpr const char* INSERT_ALERT = R"(INSERT INTO alerts (ts, level, scope, spent, budget, message)
VALUES (?, ?, ?, ?, ?, ?))";

constexpr const char* SELECT_ALERTS = "SELECT id, ts, level, scope, spent, budget, message, seen FROM alerts";

// The table comes into being with the first alert that is stored or read.
Conn _conn(const std::string& path) {
    auto conn = connection(path);
    conn.exec(CREATE_ALERTS);
    return conn;
}

std::vector<AlertRow> _rows(SQLite::Statement& q) {
    std::vector<AlertRow> rows;
    while (q.executeStep())
        rows.push_back({q.getColumn(0).getInt64(), q.getColumn(1).getDouble(), q.getColumn(2).getString(),
                        q.getColumn(3).getString(), q.getColumn(4).getDouble(), q.getColumn(5).getDouble(),
                        q.getColumn(6).getString(), q.getColumn(7).getInt64()});
    return rows;
}

}  // namespace

std::optional<double> SqliteAlerts::insert_unless_raised_since(const Alert& alert, double since) {
    auto conn = _conn(path_);
    // IMMEDIATE takes the write lock before the duplicate check, so two
    // proxy workers crossing a budget together store one alert, not two.
    WriteLock writing;
    SQLite::Transaction tx(conn, SQLite::TransactionBehavior::IMMEDIATE);
    SQLite::Statement recent(conn, RECENT_SAME_SCOPE);
    recent.bind(1, alert.scope);
    recent.bind(2, since);
    if (recent.executeStep()) return std::nullopt;
    SQLite::Statement insert(conn, INSERT_ALERT);
    double ts = now();
    insert.bind(1, ts);
    insert.bind(2, alert.level);
    insert.bind(3, alert.scope);
    insert.bind(4, alert.spent);
    insert.bind(5, alert.budget);
    insert.bind(6, alert.message);
    insert.exec();
    tx.commit();
    return ts;
}

std::vector<AlertRow> SqliteAlerts::latest(std::int64_t n) {
    auto conn = _conn(path_);
    SQLite::Statement q(conn, std::string(SELECT_ALERTS) + " ORDER BY ts DESC LIMIT ?");
    q.bind(1, n);
    return _rows(q);
}

std::vector<AlertRow> SqliteAlerts::take_unseen() {
    auto conn = _conn(path_);
    WriteLock writing;
    SQLite::Transaction tx(conn);
    std::vector<AlertRow> rows;
    {
        SQLite::Statement q(conn, std::string(SELECT_ALERTS) + " WHERE seen = 0 ORDER BY ts DESC");
        rows = _rows(q);
    }
    conn.exec("UPDATE alerts SET seen = 1 WHERE seen = 0");
    tx.commit();
    return rows;
}

}  // namespace tokentally::store::sqlite
