#include "tokentally/ledger.hpp"

#include "tokentally/db.hpp"
#include "tokentally/paths.hpp"

#include <dlfcn.h>

#include <mutex>

namespace tokentally::ledger {

std::string DB_PATH = paths::data_file("ledger.db");

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

template <class T>
void _bind_optional(SQLite::Statement& stmt, int index, const std::optional<T>& value) {
    if (value) stmt.bind(index, *value);
    else stmt.bind(index);
}

using _CheckBudgets = int (*)(const char* tag);

// The alerts library is looked up beside the ledger's own library the first
// time a priced call needs it; when it is absent the step is skipped.
_CheckBudgets _alerts_entry() {
    static std::once_flag once;
    static _CheckBudgets entry = nullptr;
    std::call_once(once, [] {
        std::string path = paths::package_dir() + "/" + ALERTS_LIBRARY;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) entry = reinterpret_cast<_CheckBudgets>(dlsym(handle, ALERTS_ENTRY));
    });
    return entry;
}

void _alert_step(const CallRecord& rec) {
    if (rec.status >= 400 || !rec.cost_usd) return;
    try {
        if (auto check = _alerts_entry()) check(rec.tag.c_str());
    } catch (...) {
        // Alerts are advisory: nothing they do may undo or fail a recording.
    }
}

}  // namespace

db::Conn _conn() { return db::connection(DB_PATH); }

void init_db() {
    auto conn = _conn();
    conn.exec(CREATE_CALLS);
    try {
        conn.exec(ADD_SESSION_COLUMN);
    } catch (const SQLite::Exception&) {
        // Fails with "duplicate column" on every database that has it.
    }
    for (const char* stmt : CREATE_INDEXES) conn.exec(stmt);
    db::ensure_spend_rollup(conn);
}

void _ensure_schema() { db::once_per_file(DB_PATH, "calls", init_db); }

namespace {

void _insert(const CallRecord& rec) {
    auto conn = _conn();
    db::WriteLock writing;
    SQLite::Transaction tx(conn);
    {
        auto insert = conn.prepare(INSERT_CALL);
        insert->bind(1, db::now());
        _bind_optional(*insert, 2, rec.model_id);
        insert->bind(3, rec.tag);
        insert->bind(4, rec.session_id);
        _bind_optional(*insert, 5, rec.prompt_tokens);
        _bind_optional(*insert, 6, rec.completion_tokens);
        _bind_optional(*insert, 7, rec.cost_usd);
        insert->bind(8, rec.elapsed_s);
        insert->bind(9, rec.status);
        insert->bind(10, rec.streamed ? 1 : 0);
        insert->exec();
    }
    tx.commit();
}

}  // namespace

void record_call(const CallRecord& rec) {
    _ensure_schema();
    try {
        _insert(rec);
    } catch (const SQLite::Exception& e) {
        // The schema ran once for this file; a table dropped or a file
        // swapped behind our back since then gets it again, and one retry.
        if (std::string_view(e.what()).find("no such table") == std::string_view::npos) throw;
        init_db();
        _insert(rec);
    }
    _alert_step(rec);
}

}  // namespace tokentally::ledger

// ============================================================================
// Read queries. Each one makes sure the schema exists (so a fresh machine reads
// an empty ledger instead of failing), then runs one statement on its own
// connection. Windows are rolling and include their boundary.
// ============================================================================

namespace tokentally::ledger {

namespace {

// Without statistics SQLite walks the whole model or session index to save
// the GROUP BY a sort, which on a large ledger reads every call ever made;
// the window on ts is what keeps the two summaries small, so they name it.
constexpr const char* SUMMARY_HEAD = R"(SELECT
    model_id,
    tag,
    COUNT(*)                        AS calls,
    SUM(prompt_tokens)              AS total_prompt,
    SUM(completion_tokens)          AS total_completion,
    SUM(cost_usd)                   AS total_cost,
    AVG(elapsed_s)                  AS avg_latency,
    SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END) AS errors
FROM calls INDEXED BY idx_calls_ts)";

constexpr const char* SUMMARY_TAIL = R"(GROUP BY model_id, tag
ORDER BY total_cost DESC)";

constexpr const char* RECENT = "SELECT * FROM calls ORDER BY ts DESC LIMIT ?";


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

constexpr const char* AGENT_SUMMARY = R"(SELECT
    session_id,
    tag,
    COUNT(*)                        AS calls,
    SUM(prompt_tokens)              AS total_prompt,
    SUM(completion_tokens)          AS total_completion,
    SUM(cost_usd)                   AS total_cost,
    AVG(elapsed_s)                  AS avg_latency,
    MIN(ts)                         AS first_call,
    MAX(ts)                         AS last_call,
    SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END) AS errors
FROM calls INDEXED BY idx_calls_ts
WHERE ts >= ?
GROUP BY session_id, tag
ORDER BY total_cost DESC)";

constexpr const char* AGENT_RECENT = R"(SELECT * FROM calls
WHERE session_id = ?
ORDER BY ts DESC LIMIT ?)";

constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr double SECONDS_PER_DAY = 86400.0;

bool _has_tag(const std::optional<std::string>& tag) { return tag && !tag->empty(); }

}  // namespace

boost::json::array summary(std::optional<std::string> tag, double since_hours) {
    _ensure_schema();
    std::string where = "WHERE ts >= ?";
    if (_has_tag(tag)) where += " AND tag = ?";
    auto conn = _conn();
    SQLite::Statement stmt(conn, std::string(SUMMARY_HEAD) + "\n" + where + "\n" + SUMMARY_TAIL);
    stmt.bind(1, db::now() - since_hours * SECONDS_PER_HOUR);
    if (_has_tag(tag)) stmt.bind(2, *tag);
    return db::all_records(stmt);
}

boost::json::array recent(std::int64_t n) {
    _ensure_schema();
    auto conn = _conn();
    SQLite::Statement stmt(conn, RECENT);
    stmt.bind(1, n);
    return db::all_records(stmt);
}

double rolling_spend(std::int64_t days, std::optional<std::string> tag) {
    _ensure_schema();
    auto conn = _conn();
    return db::spend_since(conn, db::now() - static_cast<double>(days) * SECONDS_PER_DAY, tag);
}

boost::json::array rolling_summary(std::int64_t days) {
    _ensure_schema();
    auto conn = _conn();
    SQLite::Statement stmt(conn, ROLLING_SUMMARY);
    stmt.bind(1, db::now() - static_cast<double>(days) * SECONDS_PER_DAY);
    return db::all_records(stmt);
}

boost::json::array agent_summary(double since_hours) {
    _ensure_schema();
    auto conn = _conn();
    SQLite::Statement stmt(conn, AGENT_SUMMARY);
    stmt.bind(1, db::now() - since_hours * SECONDS_PER_HOUR);
    return db::all_records(stmt);
}

boost::json::array agent_recent(const std::string& session_id, std::int64_t n) {
    _ensure_schema();
    auto conn = _conn();
    SQLite::Statement stmt(conn, AGENT_RECENT);
    stmt.bind(1, session_id);
    stmt.bind(2, n);
    return db::all_records(stmt);
}

}  // namespace tokentally::ledger
