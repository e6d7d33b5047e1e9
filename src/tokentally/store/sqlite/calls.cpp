// The `calls` table of ledger.db and the tables beside it: their schema,
// appending, the spend and change reads, and the dashboard's queries (the
// rest are in call_reports.cpp).
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/db.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>

namespace tokentally::store::sqlite {

namespace {

constexpr const char* CREATE_CALLS = R"(CREATE TABLE IF NOT EXISTS calls (
    id                INTEGER PRIMARY KEY AUTOINCREMENT,
    ts                REAL    NOT NULL,
    model_id          TEXT,
    tag               TEXT    DEFAULT 'default',
    session_id        TEXT    DEFAULT 'default',
    prompt_tokens     INTEGER,
    completion_tokens INTEGER,
    cost_usd          REAL,
    elapsed_s         REAL,
    status            INTEGER,
    streamed          INTEGER DEFAULT 0
))";

constexpr const char* ADD_SESSION_COLUMN = "ALTER TABLE calls ADD COLUMN session_id TEXT DEFAULT 'default'";

constexpr const char* CREATE_INDEXES[] = {
    "CREATE INDEX IF NOT EXISTS idx_calls_ts         ON calls(ts)",
    "CREATE INDEX IF NOT EXISTS idx_calls_model      ON calls(model_id)",
    "CREATE INDEX IF NOT EXISTS idx_calls_tag        ON calls(tag)",
    "CREATE INDEX IF NOT EXISTS idx_calls_session    ON calls(session_id)",
};

constexpr const char* INSERT_CALL = R"(INSERT INTO calls
  (ts, model_id, tag, session_id, prompt_tokens, completion_tokens,
   cost_usd, elapsed_s, status, streamed)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?))";

// The model a swapped call asked for, beside its row: only routed calls have
// one, and `calls` keeps the layout its readers rely on.
constexpr const char* CREATE_CALL_ROUTING = R"(CREATE TABLE IF NOT EXISTS call_routing (
    call_id         INTEGER PRIMARY KEY,
    requested_model TEXT    NOT NULL
))";

constexpr const char* INSERT_CALL_ROUTING = "INSERT INTO call_routing (call_id, requested_model) VALUES (?, ?)";

// Cached prompt tokens of the calls that reported them: a table of its own,
// so `calls` keeps the layout the advisor and the predictor read. Rows are
// written in the same transaction as their call, only when there is
// something to store.
constexpr const char* CREATE_CACHE_TOKENS = R"(CREATE TABLE IF NOT EXISTS call_cache_tokens (
    call_id               INTEGER PRIMARY KEY,
    cache_read_tokens     INTEGER,
    cache_write_tokens    INTEGER,
    cache_write_1h_tokens INTEGER
))";

constexpr const char* INSERT_CACHE_TOKENS = R"(INSERT INTO call_cache_tokens
  (call_id, cache_read_tokens, cache_write_tokens, cache_write_1h_tokens)
VALUES (?, ?, ?, ?))";

// Updates and deletions of calls, counted: what tells every figure derived
// from the calls (the spend kept in memory, the rollups) to start over. The
// proxy only ever appends; a user cleaning up or correcting the ledger by
// hand is what moves it.
constexpr const char* CREATE_EDITS[] = {
    "CREATE TABLE IF NOT EXISTS calls_edits (one INTEGER PRIMARY KEY CHECK (one = 1), n INTEGER NOT NULL)",
    "INSERT OR IGNORE INTO calls_edits (one, n) VALUES (1, 0)",
    "CREATE TRIGGER IF NOT EXISTS calls_edits_update AFTER UPDATE ON calls BEGIN "
    "UPDATE calls_edits SET n = n + 1; END",
    "CREATE TRIGGER IF NOT EXISTS calls_edits_delete AFTER DELETE ON calls BEGIN "
    "UPDATE calls_edits SET n = n + 1; END",
};

// What earlier versions kept beside the calls and this one derives
// otherwise: dropped, so that no insert pays for them any more. The calls
// themselves are not touched.
constexpr const char* DROP_OBSOLETE = R"(
DROP TRIGGER IF EXISTS spend_running_add; DROP TRIGGER IF EXISTS spend_running_delete;
DROP TRIGGER IF EXISTS spend_running_update; DROP TRIGGER IF EXISTS spend_running_insert;
DROP TRIGGER IF EXISTS spend_running_all_add; DROP TRIGGER IF EXISTS spend_running_all_delete;
DROP TRIGGER IF EXISTS spend_running_all_update; DROP TRIGGER IF EXISTS spend_running_all_insert;
DROP TABLE IF EXISTS spend_running; DROP TABLE IF EXISTS spend_running_all; DROP TABLE IF EXISTS spend_running_mark;
DROP TRIGGER IF EXISTS spend_hourly_insert; DROP TRIGGER IF EXISTS spend_hourly_delete;
DROP TRIGGER IF EXISTS spend_hourly_update; DROP TRIGGER IF EXISTS spend_minutely_insert;
DROP TRIGGER IF EXISTS spend_minutely_delete; DROP TRIGGER IF EXISTS spend_minutely_update;
DROP TABLE IF EXISTS spend_hourly; DROP TABLE IF EXISTS spend_minutely;
DROP INDEX IF EXISTS idx_calls_ts_spend;)";

// How the provider served the calls it did not serve the standard way
// ("flex", "priority"): beside the rows like the cached tokens.
constexpr const char* CREATE_SERVICE_TIERS = R"(CREATE TABLE IF NOT EXISTS call_service_tiers (
    call_id      INTEGER PRIMARY KEY,
    service_tier TEXT    NOT NULL
))";

constexpr const char* INSERT_SERVICE_TIER = "INSERT INTO call_service_tiers (call_id, service_tier) VALUES (?, ?)";

// The client key each call was made with, written only while client keys
// are on: a key's budget counts its calls whatever tag they carried, so a
// key changed or removed by hand is counted as an edit of the calls.
constexpr const char* CREATE_CALL_KEYS = R"(CREATE TABLE IF NOT EXISTS call_keys (
    call_id INTEGER PRIMARY KEY,
    key     TEXT    NOT NULL
);
CREATE TRIGGER IF NOT EXISTS call_keys_edits_update AFTER UPDATE ON call_keys BEGIN
    UPDATE calls_edits SET n = n + 1; END;
CREATE TRIGGER IF NOT EXISTS call_keys_edits_delete AFTER DELETE ON call_keys BEGIN
    UPDATE calls_edits SET n = n + 1; END;)";

constexpr const char* INSERT_CALL_KEY = "INSERT INTO call_keys (call_id, key) VALUES (?, ?)";

void _init_db(const std::string& path) {
    auto conn = connection(path);
    conn.exec(CREATE_CALLS);
    try {
        conn.exec(ADD_SESSION_COLUMN);
    } catch (const SQLite::Exception&) {
        // Fails with "duplicate column" on every database that has it.
    }
    for (const char* stmt : CREATE_INDEXES) conn.exec(stmt);
    SQLite::Transaction tx(conn, SQLite::TransactionBehavior::IMMEDIATE);
    for (const char* stmt : CREATE_EDITS) conn.exec(stmt);
    if (has_table(conn, "call_keys")) conn.exec(CREATE_CALL_KEYS);  // made by a release that did not count its edits
    conn.exec(DROP_OBSOLETE);
    tx.commit();
}

// What every operation on the calls runs first: the schema, once per ledger
// file in this process (again when the file was replaced, which taking the
// connection first notices).
void _schema_once(const std::string& path) {
    once_per_file(path, "calls", [&] { _init_db(path); });
}

Conn _ensure_schema(const std::string& path) {
    Conn conn = connection(path);
    _schema_once(path);
    return conn;
}

// --- appending ----------------------------------------------------------------

void _bind_row(SQLite::Statement& insert, const CallRecord& rec, double ts) {
    insert.bind(1, ts);
    bind_optional(insert, 2, rec.model_id);
    insert.bind(3, rec.tag);
    insert.bind(4, rec.session_id);
    bind_optional(insert, 5, rec.prompt_tokens);
    bind_optional(insert, 6, rec.completion_tokens);
    bind_optional(insert, 7, rec.cost_usd);
    insert.bind(8, rec.elapsed_s);
    insert.bind(9, rec.status);
    insert.bind(10, rec.streamed ? 1 : 0);
}

// Side tables of one call, written right after its row with the call's id:
// a text beside it (the model asked for, the service tier), or its cached
// tokens.
void _insert_text(const Conn& conn, const char* sql, std::int64_t call_id, const std::string& text) {
    auto insert = conn.prepare(sql);
    insert->bind(1, call_id);
    insert->bind(2, text);
    insert->exec();
}

bool _has_cache_tokens(const CallRecord& rec) {
    return rec.cache_read_tokens || rec.cache_write_tokens || rec.cache_write_1h_tokens;
}

void _insert_cache_tokens(const Conn& conn, std::int64_t call_id, const CallRecord& rec) {
    auto insert = conn.prepare(INSERT_CACHE_TOKENS);
    insert->bind(1, call_id);
    bind_optional(*insert, 2, rec.cache_read_tokens);
    bind_optional(*insert, 3, rec.cache_write_tokens);
    bind_optional(*insert, 4, rec.cache_write_1h_tokens);
    insert->exec();
}

// Writes beyond the row itself, which need a transaction around them.
bool _has_side_rows(const CallRecord& rec) {
    return rec.requested_model || _has_cache_tokens(rec) || rec.service_tier || rec.key || rec.exact_cache_hit;
}

// All rows in one transaction: they are committed together or not at all.
// One call's row and its side rows, inside the caller's transaction (or
// alone in autocommit).
Appended _insert_one(const Conn& conn, const CallRecord& rec) {
    double ts = rec.ts ? *rec.ts : now();
    auto insert = conn.prepare(INSERT_CALL);
    _bind_row(*insert, rec, ts);
    insert->exec();
    std::int64_t call_id = sqlite3_last_insert_rowid(conn.db->getHandle());
    if (rec.requested_model) _insert_text(conn, INSERT_CALL_ROUTING, call_id, *rec.requested_model);
    if (_has_cache_tokens(rec)) _insert_cache_tokens(conn, call_id, rec);
    if (rec.service_tier) _insert_text(conn, INSERT_SERVICE_TIER, call_id, *rec.service_tier);
    if (rec.key) _insert_text(conn, INSERT_CALL_KEY, call_id, *rec.key);
    if (rec.exact_cache_hit) count_exact_hit(conn, *rec.exact_cache_hit);
    return {call_id, ts};
}

std::vector<Appended> _insert(const Conn& conn, std::span<const CallRecord* const> rows) {
    WriteLock writing;
    // A lone call without side rows is one statement in autocommit: inside
    // an explicit transaction SQLite opens a statement journal for it (a
    // 64 kB buffer allocated and freed per call) and runs BEGIN and COMMIT.
    if (rows.size() == 1 && !_has_side_rows(*rows[0])) return {_insert_one(conn, *rows[0])};
    Transaction tx(conn);
    std::vector<Appended> made;
    made.reserve(rows.size());
    for (const CallRecord* rec : rows) made.push_back(_insert_one(conn, *rec));
    tx.commit();
    return made;
}

// Each side table comes into being with the first call that has something
// to store in it: a ledger written without them keeps its tables as they were.
void _ensure_side_table(const std::string& path, bool needed, const char* name, const char* create_sql, bool again) {
    if (!needed) return;
    auto create = [&] { connection(path).exec(create_sql); };
    if (again)
        create();
    else
        once_per_file(path, name, create);
}

void _ensure_side_tables(const std::string& path, std::span<const CallRecord* const> rows, bool again) {
    auto any = [&](auto has) {
        return std::any_of(rows.begin(), rows.end(), [&](const CallRecord* r) { return has(*r); });
    };
    _ensure_side_table(path, any([](const CallRecord& r) { return r.requested_model.has_value(); }), "call_routing",
                       CREATE_CALL_ROUTING, again);
    _ensure_side_table(path, any(_has_cache_tokens), "call_cache_tokens", CREATE_CACHE_TOKENS, again);
    _ensure_side_table(path, any([](const CallRecord& r) { return r.service_tier.has_value(); }), "call_service_tiers",
                       CREATE_SERVICE_TIERS, again);
    _ensure_side_table(path, any([](const CallRecord& r) { return r.key.has_value(); }), "call_keys", CREATE_CALL_KEYS,
                       again);
}

}  // namespace

void ensure_calls_schema(const std::string& path) { _ensure_schema(path); }

void SqliteCalls::init() { _init_db(path_); }

std::vector<Appended> SqliteCalls::append(std::span<const CallRecord* const> rows) {
    Conn conn = _ensure_schema(path_);
    _ensure_side_tables(path_, rows, false);
    try {
        return _insert(conn, rows);
    } catch (const SQLite::Exception& e) {
        // The schema ran once for this file; a table dropped or a file
        // swapped behind our back since then gets it again, and one retry.
        if (!no_such_table(e)) throw;
        _init_db(path_);
        _ensure_side_tables(path_, rows, true);
        return _insert(connection(path_), rows);
    }
}

namespace {

// The plain sum of a window, in the ts index's order: the order the spend
// kept in memory adds a small window's calls in, so both give the same bits.
constexpr const char* SUM_SINCE =
    "SELECT SUM(cost_usd) FROM calls INDEXED BY idx_calls_ts WHERE ts >= ? AND cost_usd IS NOT NULL";
constexpr const char* SUM_SINCE_OF_TAG =
    "SELECT SUM(cost_usd) FROM calls INDEXED BY idx_calls_ts WHERE ts >= ? AND cost_usd IS NOT NULL AND tag = ?";
// A key's calls, walked in the same order and looked up beside by id.
constexpr const char* SUM_SINCE_OF_KEY =
    "SELECT SUM(c.cost_usd) FROM calls c INDEXED BY idx_calls_ts JOIN call_keys k ON k.call_id = c.id "
    "WHERE c.ts >= ? AND c.cost_usd IS NOT NULL AND k.key = ?";
constexpr const char* SUM_SINCE_OF_KEY_AND_TAG =
    "SELECT SUM(c.cost_usd) FROM calls c INDEXED BY idx_calls_ts JOIN call_keys k ON k.call_id = c.id "
    "WHERE c.ts >= ? AND c.cost_usd IS NOT NULL AND k.key = ? AND c.tag = ?";

bool _given(const std::optional<std::string>& filter) { return filter && !filter->empty(); }

double _sum_since(const Conn& conn, const SpendWindow& w) {
    bool by_tag = _given(w.tag), by_key = _given(w.key);
    // Without the table no call was made with a key.
    if (by_key && !has_table(conn, "call_keys")) return 0.0;
    const char* sql =
        by_key ? (by_tag ? SUM_SINCE_OF_KEY_AND_TAG : SUM_SINCE_OF_KEY) : (by_tag ? SUM_SINCE_OF_TAG : SUM_SINCE);
    auto q = conn.prepare(sql);
    int at = 1;
    q->bind(at++, w.since);
    if (by_key) q->bind(at++, *w.key);
    if (by_tag) q->bind(at++, *w.tag);
    q->executeStep();
    return q->getColumn(0).isNull() ? 0.0 : q->getColumn(0).getDouble();
}

// One small read: the last id and the count of edits, from one snapshot.
constexpr const char* CHANGES = "SELECT IFNULL((SELECT MAX(id) FROM calls), 0), (SELECT n FROM calls_edits)";

// The priced calls with their key, which only a ledger that has the table
// beside the calls can name.
std::string _priced_sql(bool keyed, const char* from, const char* where) {
    return fmt::format(
        "SELECT c.id, c.ts, IFNULL(c.tag, ''), c.cost_usd, {} FROM calls c {}{}\nWHERE {} "
        "AND c.cost_usd IS NOT NULL ORDER BY c.ts, c.id",
        keyed ? "IFNULL(k.key, '')" : "''", from, keyed ? " LEFT JOIN call_keys k ON k.call_id = c.id" : "", where);
}

constexpr const char* PRICED_AFTER = "c.id > ?1 AND c.id <= ?2 AND c.ts >= ?3";

// Everything from the start of the window, read through the ts index in its
// order (no sort of a month of calls).
constexpr const char* PRICED_SINCE = "c.ts >= ?3 AND c.id > ?1 AND c.id <= ?2";

constexpr const char* PRICED_BETWEEN = "c.ts >= ?1 AND c.ts < ?2";

PricedCall _priced(const SQLite::Statement& q) {
    return {q.getColumn(0).getInt64(), q.getColumn(1).getDouble(), q.getColumn(2).getString(),
            q.getColumn(3).getDouble(), q.getColumn(4).getString()};
}

}  // namespace

std::vector<double> SqliteCalls::spend_since(std::span<const SpendWindow> windows) {
    std::vector<double> spent(windows.size(), 0.0);
    // A proxy that has recorded nothing yet must not create the ledger file.
    if (windows.empty()) return spent;
    std::optional<Conn> conn = existing(path_);
    if (!conn) return spent;
    _schema_once(path_);
    Transaction reading(*conn);  // every window from one snapshot; read only, rolled back
    for (std::size_t i = 0; i < windows.size(); ++i) spent[i] = _sum_since(*conn, windows[i]);
    return spent;
}

Changes SqliteCalls::changes() {
    Changes out;
    std::optional<Conn> conn = existing(path_);  // first: it notices a replaced file
    out.generation = generation(path_);
    if (!conn) return out;
    try {
        auto q = conn->prepare(CHANGES);
        q->executeStep();
        out.last_id = q->getColumn(0).getInt64();
        out.edits = q->getColumn(1).isNull() ? 0 : q->getColumn(1).getInt64();
    } catch (const SQLite::Exception& e) {
        // A file the caches made, or whose first call is being written: no calls yet.
        if (!no_such_table(e)) throw;
    }
    return out;
}

void SqliteCalls::each_priced(std::int64_t after_id, std::int64_t upto_id, double since,
                              const std::function<void(const PricedCall&)>& each) {
    if (upto_id <= after_id) return;
    std::optional<Conn> conn = existing(path_);
    if (!conn) return;
    try {
        // From the start, the window is what narrows the read; after that, the ids.
        bool keyed = has_table(*conn, "call_keys");
        SQLite::Statement q(*conn, after_id == 0 ? _priced_sql(keyed, "INDEXED BY idx_calls_ts", PRICED_SINCE)
                                                 : _priced_sql(keyed, "", PRICED_AFTER));
        q.bind(1, after_id);
        q.bind(2, upto_id);
        q.bind(3, since);
        while (q.executeStep()) each(_priced(q));
    } catch (const SQLite::Exception& e) {
        if (!no_such_table(e)) throw;
    }
}

std::vector<PricedCall> SqliteCalls::priced_between(double from, double to) {
    std::vector<PricedCall> out;
    std::optional<Conn> conn = existing(path_);
    if (!conn) return out;
    try {
        SQLite::Statement q(*conn,
                            _priced_sql(has_table(*conn, "call_keys"), "INDEXED BY idx_calls_ts", PRICED_BETWEEN));
        q.bind(1, from);
        q.bind(2, to);
        while (q.executeStep()) out.push_back(_priced(q));
    } catch (const SQLite::Exception& e) {
        if (!no_such_table(e)) throw;
    }
    return out;
}

// ============================================================================
// Read queries. Each one makes sure the schema exists (so a fresh machine reads
// an empty ledger instead of failing), then runs one statement on its own
// connection.
// ============================================================================

namespace {

constexpr const char* ROLLING_SUMMARY = R"(SELECT
    date(ts, 'unixepoch', 'localtime') AS day,
    COUNT(*)                            AS calls,
    SUM(cost_usd)                       AS total_cost,
    SUM(prompt_tokens)                  AS total_prompt,
    SUM(completion_tokens)              AS total_completion
FROM calls
WHERE ts >= ? AND cost_usd IS NOT NULL
GROUP BY day
ORDER BY day DESC)";

constexpr const char* MODEL_CALLS = R"(SELECT
    model_id,
    COUNT(*)                                          AS calls,
    SUM(CASE WHEN cost_usd IS NULL THEN 1 ELSE 0 END) AS null_cost,
    SUM(CASE WHEN cost_usd = 0 THEN 1 ELSE 0 END)     AS zero_cost
FROM calls INDEXED BY idx_calls_ts
WHERE ts >= ?)";

}  // namespace

CallRow call_row(const SQLite::Statement& q) {
    CallRow r;
    r.id = q.getColumn(0).getInt64();
    r.ts = q.getColumn(1).getDouble();
    r.model_id = opt_text(q.getColumn(2));
    r.tag = opt_text(q.getColumn(3));
    r.session_id = opt_text(q.getColumn(4));
    r.prompt_tokens = opt_int(q.getColumn(5));
    r.completion_tokens = opt_int(q.getColumn(6));
    r.cost_usd = opt_real(q.getColumn(7));
    r.elapsed_s = opt_real(q.getColumn(8));
    r.status = opt_int(q.getColumn(9));
    r.streamed = opt_int(q.getColumn(10));
    return r;
}

namespace {

// A window's calls per `key` and tag, costliest first, groups without cost
// last. The window on ts is what keeps the scan small, so it is named:
// without statistics SQLite would walk the whole model or session index to
// save the GROUP BY a sort.
std::string _group_sql(const char* key, bool by_tag) {
    return fmt::format(R"(SELECT {0},
    tag,
    COUNT(*)                        AS calls,
    SUM(prompt_tokens)              AS total_prompt,
    SUM(completion_tokens)          AS total_completion,
    SUM(cost_usd)                   AS total_cost,
    AVG(elapsed_s)                  AS avg_latency,
    MIN(ts)                         AS first_call,
    MAX(ts)                         AS last_call,
    SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END) AS errors
FROM calls INDEXED BY idx_calls_ts WHERE ts >= ?{1}
GROUP BY {0}, tag
ORDER BY total_cost DESC, {0}, tag)",
                       key, by_tag ? " AND tag = ?" : "");
}

std::vector<GroupTotals> _groups(const Conn& conn, const char* key, double since, const std::optional<std::string>& tag,
                                 bool with_times) {
    SQLite::Statement q(conn, _group_sql(key, tag.has_value()));
    q.bind(1, since);
    if (tag) q.bind(2, *tag);
    std::vector<GroupTotals> rows;
    while (q.executeStep()) {
        GroupTotals t;
        t.key = opt_text(q.getColumn(0));
        t.tag = opt_text(q.getColumn(1));
        t.calls = q.getColumn(2).getInt64();
        t.total_prompt = total(q.getColumn(3));
        t.total_completion = total(q.getColumn(4));
        t.total_cost = opt_real(q.getColumn(5));
        t.avg_latency = opt_real(q.getColumn(6));
        if (with_times) {
            t.first_call = q.getColumn(7).getDouble();
            t.last_call = q.getColumn(8).getDouble();
        }
        t.errors = q.getColumn(9).getInt64();
        rows.push_back(std::move(t));
    }
    return rows;
}

}  // namespace

std::vector<GroupTotals> SqliteCalls::by_model(double since, const std::optional<std::string>& tag) {
    _ensure_schema(path_);
    return _groups(connection(path_), "model_id", since, tag, false);
}

std::vector<GroupTotals> SqliteCalls::by_session(double since) {
    _ensure_schema(path_);
    return _groups(connection(path_), "session_id", since, std::nullopt, true);
}

std::vector<CallRow> SqliteCalls::latest(std::int64_t n, const std::optional<std::string>& session_id) {
    _ensure_schema(path_);
    auto conn = connection(path_);
    SQLite::Statement q(
        conn, std::string(SELECT_CALLS) + (session_id ? "\nWHERE session_id = ?" : "") + "\nORDER BY ts DESC LIMIT ?");
    int at = 1;
    if (session_id) q.bind(at++, *session_id);
    q.bind(at, n);
    std::vector<CallRow> rows;
    while (q.executeStep()) rows.push_back(call_row(q));
    return rows;
}

std::vector<CallRow> SqliteCalls::between(double since, const std::optional<std::string>& tag) {
    _ensure_schema(path_);
    auto conn = connection(path_);
    SQLite::Statement q(
        conn, std::string(SELECT_CALLS) + "\nWHERE ts >= ?" + (tag ? " AND tag = ?" : "") + "\nORDER BY ts, id");
    q.bind(1, since);
    if (tag) q.bind(2, *tag);
    std::vector<CallRow> rows;
    while (q.executeStep()) rows.push_back(call_row(q));
    return rows;
}

double SqliteCalls::spend(double since, const std::optional<std::string>& tag) {
    _ensure_schema(path_);
    return _sum_since(connection(path_), {since, tag});
}

std::vector<DayTotals> SqliteCalls::by_day(double since) {
    _ensure_schema(path_);
    auto conn = connection(path_);
    SQLite::Statement q(conn, ROLLING_SUMMARY);
    q.bind(1, since);
    std::vector<DayTotals> rows;
    while (q.executeStep())
        rows.push_back({opt_text(q.getColumn(0)), q.getColumn(1).getInt64(), opt_real(q.getColumn(2)),
                        total(q.getColumn(3)), total(q.getColumn(4))});
    return rows;
}

std::vector<ModelCalls> SqliteCalls::model_calls(double since, const std::optional<std::string>& tag) {
    _ensure_schema(path_);
    auto conn = connection(path_);
    SQLite::Statement q(
        conn, std::string(MODEL_CALLS) + (tag ? " AND tag = ?" : "") + "\nGROUP BY model_id\nORDER BY calls DESC");
    q.bind(1, since);
    if (tag) q.bind(2, *tag);
    std::vector<ModelCalls> rows;
    while (q.executeStep())
        rows.push_back({opt_text(q.getColumn(0)), q.getColumn(1).getInt64(), q.getColumn(2).getInt64(),
                        q.getColumn(3).getInt64()});
    return rows;
}

}  // namespace tokentally::store::sqlite
