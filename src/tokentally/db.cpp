#include "tokentally/db.hpp"

#include "tokentally/paths.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <tuple>
#include <vector>

namespace tokentally::db {

namespace bj = boost::json;

SQLite::Database open(const std::string& path) {
    paths::ensure_parent_dir(path);
    SQLite::Database conn(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    conn.setBusyTimeout(BUSY_TIMEOUT_MS);
    // WAL lets the dashboard and the tools read while the proxy writes, and
    // with synchronous NORMAL a commit no longer waits for the disk: a row
    // that was committed survives a crash of the process, which is what
    // matters here (only a power cut can take the last few).
    conn.exec("PRAGMA journal_mode=WAL");
    conn.exec("PRAGMA synchronous=NORMAL");
    return conn;
}

namespace {

struct _FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const _FileId&) const = default;
};

std::optional<_FileId> _file_id(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return _FileId{st.st_dev, st.st_ino};
}

struct _Open {
    _FileId id;
    std::unique_ptr<SQLite::Database> db;
    std::unique_ptr<StatementCache> statements;  // destroyed before db
};

}  // namespace

Conn connection(const std::string& path) {
    thread_local std::unordered_map<std::string, _Open> open_here;
    auto it = open_here.find(path);
    auto id = _file_id(path);
    if (it == open_here.end() || !id || !(*id == it->second.id)) {
        auto fresh = std::make_unique<SQLite::Database>(open(path));
        _Open entry{_file_id(path).value_or(_FileId{}), std::move(fresh), std::make_unique<StatementCache>()};
        it = open_here.insert_or_assign(path, std::move(entry)).first;
    }
    return Conn{it->second.db.get(), it->second.statements.get()};
}

Prepared Conn::prepare(const std::string& sql) const {
    auto& slot = (*statements)[sql];
    if (!slot) slot = std::make_unique<SQLite::Statement>(*db, sql);
    slot->tryReset();
    slot->clearBindings();
    return Prepared{slot.get()};
}

void once_per_file(const std::string& path, std::string_view what, const std::function<void()>& init) {
    static std::mutex mu;
    static std::vector<std::tuple<std::string, std::string, _FileId>> done;
    std::string purpose(what);
    auto id = _file_id(path);
    {
        std::lock_guard lock(mu);
        if (id && std::find(done.begin(), done.end(), std::make_tuple(path, purpose, *id)) != done.end()) return;
    }
    init();
    if (auto after = _file_id(path)) {
        std::lock_guard lock(mu);
        done.emplace_back(path, purpose, *after);
    }
}

namespace {

// One row per (hour, tag); a call with no tag counts under ''. Hours are
// CAST(ts / 3600 AS INTEGER), the same expression everywhere below.
constexpr const char* CREATE_ROLLUP = R"(CREATE TABLE spend_hourly (
    hour INTEGER NOT NULL,
    tag  TEXT    NOT NULL,
    cost REAL    NOT NULL,
    PRIMARY KEY (hour, tag)
) WITHOUT ROWID)";

constexpr const char* FILL_ROLLUP = R"(INSERT INTO spend_hourly (hour, tag, cost)
SELECT CAST(ts / 3600 AS INTEGER), IFNULL(tag, ''), SUM(cost_usd)
FROM calls WHERE cost_usd IS NOT NULL GROUP BY 1, 2)";

constexpr const char* ROLLUP_TRIGGERS[] = {
    R"(CREATE TRIGGER IF NOT EXISTS spend_hourly_insert AFTER INSERT ON calls
WHEN NEW.cost_usd IS NOT NULL BEGIN
    INSERT INTO spend_hourly (hour, tag, cost)
    VALUES (CAST(NEW.ts / 3600 AS INTEGER), IFNULL(NEW.tag, ''), NEW.cost_usd)
    ON CONFLICT(hour, tag) DO UPDATE SET cost = cost + excluded.cost;
END)",
    // Edits and deletions never happen in normal use; recounting the hours
    // they touch from the calls keeps the rollup exact rather than leaving
    // the rounding residue of a subtraction behind.
    R"(CREATE TRIGGER IF NOT EXISTS spend_hourly_delete AFTER DELETE ON calls
WHEN OLD.cost_usd IS NOT NULL BEGIN
    UPDATE spend_hourly SET cost = (
        SELECT TOTAL(cost_usd) FROM calls
        WHERE ts >= hour * 3600 - 1 AND ts < hour * 3600 + 3601
          AND CAST(ts / 3600 AS INTEGER) = hour AND IFNULL(calls.tag, '') = spend_hourly.tag)
    WHERE hour = CAST(OLD.ts / 3600 AS INTEGER) AND tag = IFNULL(OLD.tag, '');
END)",
    R"(CREATE TRIGGER IF NOT EXISTS spend_hourly_update AFTER UPDATE OF ts, tag, cost_usd ON calls BEGIN
    INSERT INTO spend_hourly (hour, tag, cost)
    SELECT CAST(NEW.ts / 3600 AS INTEGER), IFNULL(NEW.tag, ''), 0.0 WHERE NEW.cost_usd IS NOT NULL
    ON CONFLICT(hour, tag) DO NOTHING;
    UPDATE spend_hourly SET cost = (
        SELECT TOTAL(cost_usd) FROM calls
        WHERE ts >= hour * 3600 - 1 AND ts < hour * 3600 + 3601
          AND CAST(ts / 3600 AS INTEGER) = hour AND IFNULL(calls.tag, '') = spend_hourly.tag)
    WHERE (hour = CAST(OLD.ts / 3600 AS INTEGER) AND tag = IFNULL(OLD.tag, ''))
       OR (hour = CAST(NEW.ts / 3600 AS INTEGER) AND tag = IFNULL(NEW.tag, ''));
END)",
};

constexpr const char* SUM_CALLS = "SELECT SUM(cost_usd) FROM calls WHERE ts >= ? AND cost_usd IS NOT NULL";

// Whole hours after the one `since` falls in, plus the calls of that hour
// from `since` on. The range on ts lets the partial hour use the ts index.
constexpr const char* SUM_ROLLUP = R"(SELECT
    (SELECT TOTAL(cost) FROM spend_hourly WHERE hour > CAST(?1 / 3600 AS INTEGER) {tag_rollup})
  + (SELECT TOTAL(cost_usd) FROM calls
     WHERE ts >= ?1 AND ts < ?1 + 3601 AND CAST(ts / 3600 AS INTEGER) = CAST(?1 / 3600 AS INTEGER)
       AND cost_usd IS NOT NULL {tag_calls}))";

bool _has_table(SQLite::Database& conn, const char* name) {
    SQLite::Statement q(conn, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    q.bind(1, name);
    return q.executeStep();
}

bool _has_table(const Conn& conn, const char* name) {
    auto q = conn.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    q->bind(1, name);
    return q->executeStep();
}

std::string _rollup_sql(bool by_tag) {
    std::string sql = SUM_ROLLUP;
    auto put = [&](const std::string& hole, const std::string& text) { sql.replace(sql.find(hole), hole.size(), text); };
    put("{tag_rollup}", by_tag ? "AND tag = ?2" : "");
    put("{tag_calls}", by_tag ? "AND tag = ?2" : "");
    return sql;
}

}  // namespace

void ensure_spend_rollup(SQLite::Database& conn) {
    if (_has_table(conn, "spend_hourly")) {
        for (const char* trigger : ROLLUP_TRIGGERS) conn.exec(trigger);
        return;
    }
    // Created, filled and wired in one transaction, so that no call is
    // counted twice or missed by a writer running at the same time.
    SQLite::Transaction tx(conn, SQLite::TransactionBehavior::IMMEDIATE);
    if (!_has_table(conn, "spend_hourly")) {
        conn.exec(CREATE_ROLLUP);
        conn.exec(FILL_ROLLUP);
    }
    for (const char* trigger : ROLLUP_TRIGGERS) conn.exec(trigger);
    tx.commit();
}

double spend_since(const Conn& conn, double since, const std::optional<std::string>& tag) {
    bool by_tag = tag && !tag->empty();
    bool rollup = _has_table(conn, "spend_hourly");
    auto q = conn.prepare(rollup ? _rollup_sql(by_tag) : std::string(SUM_CALLS) + (by_tag ? " AND tag = ?" : ""));
    q->bind(1, since);
    if (by_tag) q->bind(2, *tag);
    q->executeStep();
    return q->getColumn(0).isNull() ? 0.0 : q->getColumn(0).getDouble();
}

bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bj::object row_record(SQLite::Statement& stmt) {
    bj::object rec;
    int n = stmt.getColumnCount();
    for (int i = 0; i < n; ++i) {
        SQLite::Column col = stmt.getColumn(i);
        bj::value v;
        switch (col.getType()) {  // SQLITE_INTEGER, _FLOAT, _TEXT, _BLOB, _NULL
            case 1: v = col.getInt64(); break;
            case 2: v = col.getDouble(); break;
            case 3: v = bj::string(col.getString()); break;
            case 4: v = bj::string(col.getString()); break;
            default: v = nullptr;
        }
        rec[stmt.getColumnName(i)] = std::move(v);
    }
    return rec;
}

bj::array all_records(SQLite::Statement& stmt) {
    bj::array out;
    while (stmt.executeStep()) out.push_back(row_record(stmt));
    return out;
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tokentally::db
