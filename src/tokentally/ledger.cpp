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

SQLite::Database _conn() { return db::open(DB_PATH); }

void init_db() {
    auto conn = _conn();
    conn.exec(CREATE_CALLS);
    try {
        conn.exec(ADD_SESSION_COLUMN);
    } catch (const SQLite::Exception&) {
        // Fails with "duplicate column" on every database that has it.
    }
    for (const char* stmt : CREATE_INDEXES) conn.exec(stmt);
}

void record_call(const CallRecord& rec) {
    init_db();
    {
        auto conn = _conn();
        SQLite::Transaction tx(conn);
        SQLite::Statement insert(conn, INSERT_CALL);
        insert.bind(1, db::now());
        _bind_optional(insert, 2, rec.model_id);
        insert.bind(3, rec.tag);
        insert.bind(4, rec.session_id);
        _bind_optional(insert, 5, rec.prompt_tokens);
        _bind_optional(insert, 6, rec.completion_tokens);
        _bind_optional(insert, 7, rec.cost_usd);
        insert.bind(8, rec.elapsed_s);
        insert.bind(9, rec.status);
        insert.bind(10, rec.streamed ? 1 : 0);
        insert.exec();
        tx.commit();
    }
    _alert_step(rec);
}

}  // namespace tokentally::ledger
