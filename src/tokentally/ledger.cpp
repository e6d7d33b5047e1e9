#include "tokentally/ledger.hpp"

#include "tokentally/catalog.hpp"
#include "tokentally/db.hpp"
#include "tokentally/json.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/paths.hpp"

#include <boost/asio.hpp>

#include <dlfcn.h>
#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

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

// The model a swapped call asked for, beside its row: only routed calls have
// one, and `calls` keeps the layout its readers rely on.
constexpr const char* CREATE_CALL_ROUTING = R"(CREATE TABLE IF NOT EXISTS call_routing (
    call_id         INTEGER PRIMARY KEY,
    requested_model TEXT    NOT NULL
))";

constexpr const char* INSERT_CALL_ROUTING =
    "INSERT INTO call_routing (call_id, requested_model) VALUES (?, ?)";

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

namespace {

void _init_db(const std::string& path) {
    auto conn = db::connection(path);
    conn.exec(CREATE_CALLS);
    try {
        conn.exec(ADD_SESSION_COLUMN);
    } catch (const SQLite::Exception&) {
        // Fails with "duplicate column" on every database that has it.
    }
    for (const char* stmt : CREATE_INDEXES) conn.exec(stmt);
    db::ensure_spend_rollup(conn);
}

void _ensure_schema_of(const std::string& path) {
    db::once_per_file(path, "calls", [&] { _init_db(path); });
}

}  // namespace

void init_db() { _init_db(DB_PATH); }

void _ensure_schema() { _ensure_schema_of(DB_PATH); }

namespace {

void _bind_row(SQLite::Statement& insert, const CallRecord& rec) {
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
}

// Side tables of one call, written right after its row with the call's id.
void _insert_routing(const db::Conn& conn, std::int64_t call_id, const CallRecord& rec) {
    auto insert = conn.prepare(INSERT_CALL_ROUTING);
    insert->bind(1, call_id);
    insert->bind(2, *rec.requested_model);
    insert->exec();
}

bool _has_cache_tokens(const CallRecord& rec) {
    return rec.cache_read_tokens || rec.cache_write_tokens || rec.cache_write_1h_tokens;
}

void _insert_cache_tokens(const db::Conn& conn, std::int64_t call_id, const CallRecord& rec) {
    auto insert = conn.prepare(INSERT_CACHE_TOKENS);
    insert->bind(1, call_id);
    _bind_optional(*insert, 2, rec.cache_read_tokens);
    _bind_optional(*insert, 3, rec.cache_write_tokens);
    _bind_optional(*insert, 4, rec.cache_write_1h_tokens);
    insert->exec();
}

// All rows in one transaction: they are committed together or not at all.
void _insert(const std::string& path, const std::vector<const CallRecord*>& rows) {
    auto conn = db::connection(path);
    db::WriteLock writing;
    db::Transaction tx(conn);
    for (const CallRecord* rec : rows) {
        auto insert = conn.prepare(INSERT_CALL);
        _bind_row(*insert, *rec);
        insert->exec();
        std::int64_t call_id = sqlite3_last_insert_rowid(conn.db->getHandle());
        if (rec->requested_model) _insert_routing(conn, call_id, *rec);
        if (_has_cache_tokens(*rec)) _insert_cache_tokens(conn, call_id, *rec);
    }
    tx.commit();
}

// Each side table comes into being with the first call that has something
// to store in it: a ledger written without them keeps its tables as they were.
void _ensure_side_table(const std::string& path, bool needed, const char* name, const char* create_sql, bool again) {
    if (!needed) return;
    auto create = [&] { db::connection(path).exec(create_sql); };
    if (again) create();
    else db::once_per_file(path, name, create);
}

void _ensure_side_tables(const std::string& path, const std::vector<const CallRecord*>& rows, bool again) {
    _ensure_side_table(path, std::any_of(rows.begin(), rows.end(), [](const CallRecord* r) { return r->requested_model.has_value(); }),
                       "call_routing", CREATE_CALL_ROUTING, again);
    _ensure_side_table(path, std::any_of(rows.begin(), rows.end(), [](const CallRecord* r) { return _has_cache_tokens(*r); }),
                       "call_cache_tokens", CREATE_CACHE_TOKENS, again);
}

void _insert_with_schema(const std::string& path, const std::vector<const CallRecord*>& rows) {
    _ensure_schema_of(path);
    _ensure_side_tables(path, rows, false);
    try {
        _insert(path, rows);
    } catch (const SQLite::Exception& e) {
        // The schema ran once for this file; a table dropped or a file
        // swapped behind our back since then gets it again, and one retry.
        if (std::string_view(e.what()).find("no such table") == std::string_view::npos) throw;
        _init_db(path);
        _ensure_side_tables(path, rows, true);
        _insert(path, rows);
    }
}

// The alert check looks at whole windows, so one check per tag after a
// batch sees what a check after each of its rows would have seen last.
void _alert_steps(const std::vector<const CallRecord*>& rows) {
    std::vector<const std::string*> checked;
    for (const CallRecord* rec : rows) {
        bool seen = std::any_of(checked.begin(), checked.end(), [&](const std::string* t) { return *t == rec->tag; });
        if (seen || rec->status >= 400 || !rec->cost_usd) continue;
        checked.push_back(&rec->tag);
        _alert_step(*rec);
    }
}

// The rows in one transaction, then the alert step once per tag: what a
// single call and a writer's batch both do. Throws what the insert threw
// (the alert step never throws).
void _write_rows(const std::string& path, const std::vector<const CallRecord*>& rows) {
    db::FileLookupsOnce once;
    _insert_with_schema(path, rows);
    _alert_steps(rows);
}

// --- the writer thread -------------------------------------------------------

struct _Queued {
    CallRecord rec;
    std::string path;  // DB_PATH when queued: a caller (a test) may repoint it
    Recorded done;
};

// Rows per transaction at most, so one batch never holds the write lock long.
constexpr std::size_t MAX_BATCH = 256;

struct _Writer {
    std::mutex mu;
    std::condition_variable wake;
    std::deque<_Queued> queue;
    bool stopping = false;
    std::thread thread;

    _Writer();
    ~_Writer() {
        {
            std::lock_guard lock(mu);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }
};

// The longest run of rows at the head of the queue bound for one file.
std::vector<_Queued> _take_batch(_Writer& w) {
    std::vector<_Queued> batch;
    while (!w.queue.empty() && batch.size() < MAX_BATCH &&
           (batch.empty() || w.queue.front().path == batch.front().path)) {
        batch.push_back(std::move(w.queue.front()));
        w.queue.pop_front();
    }
    return batch;
}

void _write_batch(std::vector<_Queued>& batch) {
    std::vector<const CallRecord*> rows;
    for (const auto& q : batch) rows.push_back(&q.rec);
    std::exception_ptr failed;
    try {
        _write_rows(batch.front().path, rows);
    } catch (...) {
        failed = std::current_exception();
    }
    for (auto& q : batch) q.done(failed);
}

void _run(_Writer& w) {
    std::unique_lock lock(w.mu);
    for (;;) {
        w.wake.wait(lock, [&] { return w.stopping || !w.queue.empty(); });
        if (w.queue.empty()) return;
        std::vector<_Queued> batch = _take_batch(w);
        lock.unlock();
        _write_batch(batch);
        lock.lock();
    }
}

_Writer::_Writer() : thread([this] { _run(*this); }) {}

_Writer& _writer() {
    static _Writer w;
    return w;
}

}  // namespace

void record_call(const CallRecord& rec) { _write_rows(DB_PATH, {&rec}); }

void record_call_queued(const CallRecord& rec, Recorded done) {
    _Writer& w = _writer();
    {
        std::lock_guard lock(w.mu);
        w.queue.push_back(_Queued{rec, DB_PATH, std::move(done)});
    }
    w.wake.notify_one();
}

boost::asio::awaitable<void> record_call_async(const CallRecord& rec) {
    namespace asio = boost::asio;
    if (http::requests_in_flight() <= 1) {
        record_call(rec);
        co_return;
    }
    auto initiate = [&rec](auto handler) {
        // The handler is move-only and std::function wants a copy; the work
        // guard keeps the caller's loop running while the row is queued.
        auto held = std::make_shared<decltype(handler)>(std::move(handler));
        auto work = std::make_shared<asio::executor_work_guard<asio::any_io_executor>>(
            asio::get_associated_executor(*held));
        record_call_queued(rec, [held, work](std::exception_ptr failed) {
            auto ex = work->get_executor();
            asio::post(ex, [held, work, failed]() mutable {
                work->reset();
                std::move (*held)(failed);
            });
        });
    };
    // A completion whose first argument is an exception_ptr rethrows it in
    // the awaiting coroutine.
    co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr)>(initiate,
                                                                                          asio::use_awaitable);
}

}  // namespace tokentally::ledger

// ============================================================================
// Read queries. Each one makes sure the schema exists (so a fresh machine reads
// an empty ledger instead of failing), then runs one statement on its own
// connection. Windows are rolling and include their boundary.
// ============================================================================

namespace tokentally::ledger {

namespace bj = boost::json;

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

constexpr const char* CACHE_TOKENS_OF_CALL =
    "SELECT cache_read_tokens, cache_write_tokens FROM call_cache_tokens WHERE call_id = ?";

constexpr const char* CACHE_SUMMARY = R"(SELECT
    c.model_id                  AS model_id,
    c.tag                       AS tag,
    SUM(k.cache_read_tokens)    AS total_cache_read,
    SUM(k.cache_write_tokens)   AS total_cache_write
FROM calls AS c INDEXED BY idx_calls_ts
JOIN call_cache_tokens AS k ON k.call_id = c.id
WHERE c.ts >= ?)";

constexpr const char* MODEL_CALLS = R"(SELECT
    model_id,
    COUNT(*)                                          AS calls,
    SUM(CASE WHEN cost_usd IS NULL THEN 1 ELSE 0 END) AS null_cost,
    SUM(CASE WHEN cost_usd = 0 THEN 1 ELSE 0 END)     AS zero_cost
FROM calls INDEXED BY idx_calls_ts
WHERE ts >= ?)";

constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr double SECONDS_PER_DAY = 86400.0;

bool _has_tag(const std::optional<std::string>& tag) { return tag && !tag->empty(); }

// --- the two window summaries, aggregated here ------------------------------
//
// SQLite answers a GROUP BY by copying every row of the window into a sorter
// and sorting it, which costs more than the scan itself; the dashboard runs
// both summaries every few seconds. The window is scanned once in index order
// and aggregated in a map instead, reproducing SQLite's results exactly:
// groups in key order (NULL first, text by bytes), sums taken in the same row
// order (an integer sum stays an integer, any real makes it the running
// floating sum), then a stable sort by total cost, NULL last. Rows holding
// values SQLite would coerce (text or blobs where numbers belong, numbers
// where text belongs) or an integer sum that overflows send the query to
// SQLite itself.

struct _Unusual {};

// Columns are read straight off the statement: the wrappers' per-column
// objects cost as much as the aggregation itself over a day of calls.
int _type(sqlite3_stmt* st, int i) {
    int t = sqlite3_column_type(st, i);
    if (t == SQLITE_TEXT || t == SQLITE_BLOB) throw _Unusual{};
    return t;
}

std::string_view _text(sqlite3_stmt* st, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    return {p, static_cast<std::size_t>(sqlite3_column_bytes(st, i))};
}

std::optional<std::string> _key(sqlite3_stmt* st, int i) {
    int t = sqlite3_column_type(st, i);
    if (t == SQLITE_NULL) return std::nullopt;
    if (t != SQLITE_TEXT) throw _Unusual{};
    return std::string(_text(st, i));
}

// SQLite's SUM and AVG over one column.
struct _Sum {
    std::int64_t count = 0;
    std::int64_t exact = 0;
    double running = 0.0;
    bool approx = false;

    void add(sqlite3_stmt* st, int i) {
        int t = _type(st, i);
        if (t == SQLITE_NULL) return;
        ++count;
        if (t == SQLITE_INTEGER) {
            std::int64_t v = sqlite3_column_int64(st, i);
            running += static_cast<double>(v);
            if (!approx && __builtin_add_overflow(exact, v, &exact)) throw _Unusual{};
        } else {
            running += sqlite3_column_double(st, i);
            approx = true;
        }
    }
    bj::value sum() const {
        if (count == 0) return nullptr;
        return approx ? bj::value(running) : bj::value(exact);
    }
    bj::value avg() const { return count == 0 ? bj::value(nullptr) : bj::value(running / static_cast<double>(count)); }
};

struct _Group {
    std::int64_t calls = 0;
    _Sum prompt, completion, cost, latency;
    std::int64_t errors = 0;
    double first = 0.0, last = 0.0;
};

using _GroupKey = std::pair<std::optional<std::string>, std::optional<std::string>>;

// Groups met so far, found by their two key columns packed into one string
// (each as a length, or a NULL marker, then its bytes) so that a row's
// lookup allocates nothing.
struct _Groups {
    struct _Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::size_t, _Hash, std::equal_to<>> index;
    std::vector<std::pair<_GroupKey, _Group>> list;
    std::string packed;
};

void _pack(std::string& out, sqlite3_stmt* st, int i) {
    int t = sqlite3_column_type(st, i);
    if (t != SQLITE_NULL && t != SQLITE_TEXT) throw _Unusual{};
    std::string_view text = t == SQLITE_TEXT ? _text(st, i) : std::string_view{};
    std::uint64_t n = t == SQLITE_NULL ? ~std::uint64_t{0} : text.size();
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
    out.append(text);
}

_Group& _group_of(_Groups& groups, sqlite3_stmt* st) {
    groups.packed.clear();
    _pack(groups.packed, st, 0);
    _pack(groups.packed, st, 1);
    auto it = groups.index.find(std::string_view(groups.packed));
    if (it != groups.index.end()) return groups.list[it->second].second;
    groups.index.emplace(groups.packed, groups.list.size());
    groups.list.push_back({{_key(st, 0), _key(st, 1)}, _Group{}});
    return groups.list.back().second;
}

// Scan columns: key, tag, prompt, completion, cost, elapsed, status, ts.
void _add_row(_Groups& groups, sqlite3_stmt* st) {
    _Group& g = _group_of(groups, st);
    if (_type(st, 7) != SQLITE_FLOAT) throw _Unusual{};
    double when = sqlite3_column_double(st, 7);
    if (g.calls == 0 || when < g.first) g.first = when;
    if (g.calls == 0 || when > g.last) g.last = when;
    ++g.calls;
    g.prompt.add(st, 2);
    g.completion.add(st, 3);
    g.cost.add(st, 4);
    g.latency.add(st, 5);
    if (_type(st, 6) != SQLITE_NULL && sqlite3_column_double(st, 6) >= 400) ++g.errors;
}

bj::value _opt(const std::optional<std::string>& s) { return s ? bj::value(*s) : bj::value(nullptr); }

bj::object _group_record(const char* key_name, const _GroupKey& key, const _Group& g, bool with_times) {
    bj::object rec;
    rec[key_name] = _opt(key.first);
    rec["tag"] = _opt(key.second);
    rec["calls"] = g.calls;
    rec["total_prompt"] = g.prompt.sum();
    rec["total_completion"] = g.completion.sum();
    rec["total_cost"] = g.cost.sum();
    rec["avg_latency"] = g.latency.avg();
    if (with_times) {
        rec["first_call"] = g.first;
        rec["last_call"] = g.last;
    }
    rec["errors"] = g.errors;
    return rec;
}

// Descending by total cost as SQLite orders it: NULL below every number.
bool _costlier(const bj::object& a, const bj::object& b) {
    const bj::value& x = a.at("total_cost");
    const bj::value& y = b.at("total_cost");
    if (x.is_null() || y.is_null()) return !x.is_null() && y.is_null();
    return x.to_number<double>() > y.to_number<double>();
}

// The window of a summary in index order, with the columns _add_row reads.
std::string _scan_sql(const char* key_name, bool by_tag) {
    return std::string("SELECT ") + key_name +
           ", tag, prompt_tokens, completion_tokens, cost_usd, elapsed_s, status, ts\n"
           "FROM calls INDEXED BY idx_calls_ts WHERE ts >= ?" +
           (by_tag ? " AND tag = ?" : "");
}

// A statement prepared on the raw handle, finalised when the holder goes.
struct _Raw {
    sqlite3_stmt* st = nullptr;
    _Raw(SQLite::Database& conn, const std::string& sql) {
        if (int rc = sqlite3_prepare_v2(conn.getHandle(), sql.c_str(), -1, &st, nullptr); rc != SQLITE_OK)
            throw SQLite::Exception(conn.getHandle(), rc);
    }
    _Raw(const _Raw&) = delete;
    _Raw& operator=(const _Raw&) = delete;
    ~_Raw() { sqlite3_finalize(st); }
};

// The summary rows over the calls since `since` (of one tag when given), or
// none when the window holds something only SQLite's own aggregation
// reproduces.
std::optional<bj::array> _summarise(SQLite::Database& conn, const char* key_name, double since,
                                    const std::optional<std::string>& tag, bool with_times) {
    _Raw scan(conn, _scan_sql(key_name, tag.has_value()));
    sqlite3_bind_double(scan.st, 1, since);
    if (tag) sqlite3_bind_text(scan.st, 2, tag->data(), static_cast<int>(tag->size()), SQLITE_TRANSIENT);
    _Groups groups;
    try {
        int rc;
        while ((rc = sqlite3_step(scan.st)) == SQLITE_ROW) _add_row(groups, scan.st);
        if (rc != SQLITE_DONE) throw SQLite::Exception(conn.getHandle(), rc);
    } catch (const _Unusual&) {
        return std::nullopt;
    }
    std::sort(groups.list.begin(), groups.list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<bj::object> rows;
    for (const auto& [key, g] : groups.list) rows.push_back(_group_record(key_name, key, g, with_times));
    std::stable_sort(rows.begin(), rows.end(), _costlier);
    bj::array out;
    for (auto& r : rows) out.emplace_back(std::move(r));
    return out;
}

}  // namespace

boost::json::array summary(std::optional<std::string> tag, double since_hours) {
    _ensure_schema();
    auto conn = _conn();
    double since = db::now() - since_hours * SECONDS_PER_HOUR;
    std::optional<std::string> only = _has_tag(tag) ? tag : std::nullopt;
    if (auto rows = _summarise(conn, "model_id", since, only, false)) return std::move(*rows);
    std::string where = only ? "WHERE ts >= ? AND tag = ?" : "WHERE ts >= ?";
    SQLite::Statement stmt(conn, std::string(SUMMARY_HEAD) + "\n" + where + "\n" + SUMMARY_TAIL);
    stmt.bind(1, since);
    if (only) stmt.bind(2, *only);
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
    double since = db::now() - since_hours * SECONDS_PER_HOUR;
    if (auto rows = _summarise(conn, "session_id", since, std::nullopt, true)) return std::move(*rows);
    SQLite::Statement stmt(conn, AGENT_SUMMARY);
    stmt.bind(1, since);
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

// --- routed calls -------------------------------------------------------------

namespace {

constexpr const char* SELECT_REQUESTED = "SELECT requested_model FROM call_routing WHERE call_id = ?";

constexpr const char* SELECT_ROUTED = R"(SELECT c.model_id, c.tag, c.prompt_tokens, c.completion_tokens, c.cost_usd,
       r.requested_model
FROM call_routing r JOIN calls c ON c.id = r.call_id
WHERE c.ts >= ?)";

bj::value _text_or_null(const SQLite::Column& col) {
    return col.isNull() ? bj::value(nullptr) : bj::value(col.getString());
}

// What a routed call's tokens would have cost at the model it asked for,
// minus what it cost; 0 for a call without cost or token counts.
double _saving(const SQLite::Statement& row) {
    if (row.getColumn(2).isNull() || row.getColumn(3).isNull() || !(row.getColumn(4).getDouble() > 0)) return 0.0;
    bj::object price = catalog::get_model_price(row.getColumn(5).getString());
    double asked = row.getColumn(2).getDouble() / 1'000'000 * json::as_number(price.at("input"), "input price") +
                   row.getColumn(3).getDouble() / 1'000'000 * json::as_number(price.at("output"), "output price");
    return asked - row.getColumn(4).getDouble();
}

bj::object* _summary_row(bj::array& summary, const bj::value& model_id, const bj::value& tag) {
    for (auto& v : summary)
        if (v.as_object().at("model_id") == model_id && v.as_object().at("tag") == tag) return &v.as_object();
    return nullptr;
}

}  // namespace

void add_requested_models(bj::array& calls) {
    _ensure_schema();
    auto conn = _conn();
    bool any = conn.db->tableExists("call_routing");
    for (auto& v : calls) {
        bj::object& rec = v.as_object();
        rec["requested_model"] = nullptr;
        if (!any) continue;
        auto q = conn.prepare(SELECT_REQUESTED);
        q->bind(1, static_cast<std::int64_t>(json::as_number(rec.at("id"), "call id")));
        if (q->executeStep()) rec["requested_model"] = q->getColumn(0).getString();
    }
}

void add_routing_savings(bj::array& summary, std::optional<std::string> tag, double since_hours) {
    for (auto& v : summary) {
        v.as_object()["routed_calls"] = 0;
        v.as_object()["routing_saving_usd"] = 0.0;
    }
    _ensure_schema();
    auto conn = _conn();
    if (!conn.db->tableExists("call_routing")) return;
    std::optional<std::string> only = _has_tag(tag) ? tag : std::nullopt;
    SQLite::Statement q(conn, std::string(SELECT_ROUTED) + (only ? " AND c.tag = ?" : ""));
    q.bind(1, db::now() - since_hours * SECONDS_PER_HOUR);
    if (only) q.bind(2, *only);
    while (q.executeStep()) {
        bj::object* row = _summary_row(summary, _text_or_null(q.getColumn(0)), _text_or_null(q.getColumn(1)));
        if (row == nullptr) continue;
        (*row)["routed_calls"] = (*row)["routed_calls"].as_int64() + 1;
        (*row)["routing_saving_usd"] = (*row)["routing_saving_usd"].as_double() + _saving(q);
    }
}

void add_cache_tokens(bj::array& rows) {
    _ensure_schema();
    auto conn = _conn();
    std::optional<SQLite::Statement> lookup;
    if (db::has_table(conn, "call_cache_tokens")) lookup.emplace(conn, CACHE_TOKENS_OF_CALL);
    for (auto& row : rows) {
        bj::object& rec = row.as_object();
        bj::value read = nullptr, write = nullptr;
        const bj::value* id = rec.if_contains("id");
        if (lookup && id != nullptr && id->is_int64()) {
            lookup->bind(1, id->get_int64());
            if (lookup->executeStep()) {
                bj::object found = db::row_record(*lookup);
                read = found.at("cache_read_tokens");
                write = found.at("cache_write_tokens");
            }
            lookup->reset();
        }
        rec["cache_read_tokens"] = read;
        rec["cache_write_tokens"] = write;
    }
}

boost::json::array cache_summary(std::optional<std::string> tag, double since_hours) {
    _ensure_schema();
    auto conn = _conn();
    if (!db::has_table(conn, "call_cache_tokens")) return {};
    bool by_tag = _has_tag(tag);
    SQLite::Statement stmt(conn, std::string(CACHE_SUMMARY) + (by_tag ? " AND c.tag = ?" : "") +
                                     "\nGROUP BY c.model_id, c.tag");
    stmt.bind(1, db::now() - since_hours * SECONDS_PER_HOUR);
    if (by_tag) stmt.bind(2, *tag);
    return db::all_records(stmt);
}

boost::json::array model_calls(double since_hours, std::optional<std::string> tag) {
    _ensure_schema();
    auto conn = _conn();
    bool by_tag = _has_tag(tag);
    SQLite::Statement stmt(conn, std::string(MODEL_CALLS) + (by_tag ? " AND tag = ?" : "") +
                                     "\nGROUP BY model_id\nORDER BY calls DESC");
    stmt.bind(1, db::now() - since_hours * SECONDS_PER_HOUR);
    if (by_tag) stmt.bind(2, *tag);
    return db::all_records(stmt);
}

std::int64_t calls_without_cost(double since_hours, std::optional<std::string> tag) {
    std::int64_t n = 0;
    for (const auto& v : model_calls(since_hours, tag)) {
        const bj::object& row = v.as_object();
        n += row.at("null_cost").to_number<std::int64_t>();
        const bj::value& model = row.at("model_id");
        if (model.is_string() && catalog::unpriced(model.get_string()))
            n += row.at("zero_cost").to_number<std::int64_t>();
    }
    return n;
}

}  // namespace tokentally::ledger
