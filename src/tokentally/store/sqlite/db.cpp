#include "tokentally/store/sqlite/db.hpp"

#include "tokentally/store/sqlite/vfs.hpp"

#include "tokentally/paths.hpp"

#include <fmt/format.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <tuple>
#include <vector>

namespace tokentally::store::sqlite {

namespace {

// Statements that write inside a transaction keep what they change in a
// statement journal, in memory up to a spill size; SQLite allocates that
// whole size (64 kB) at once for every such statement, and glibc then
// consolidates its free lists on every free. Never spilling makes the
// journal grow in 1 kB pieces instead. Only takes effect before SQLite's
// first use in the process (else SQLite refuses it, and nothing changes).
void _configure_sqlite_once() {
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_STMTJRNL_SPILL, -1); });
}

// Turning a new file's journal into a write-ahead log takes an exclusive
// lock, and SQLite answers SQLITE_BUSY at once, without the busy handler,
// when another connection holds any lock on the file: a burst of calls on a
// brand-new ledger opens several connections together, and all but one got
// "database is locked". Once the file is in WAL mode the pragma takes no
// lock, so this only ever waits on a new file's first moments.
void _use_wal(SQLite::Database& conn) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    for (;;) {
        try {
            conn.exec("PRAGMA journal_mode=WAL");
            return;
        } catch (const SQLite::Exception& e) {
            if ((e.getErrorCode() & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= until) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

SQLite::Database open(const std::string& path, int extra_flags) {
    _configure_sqlite_once();
    // SQLite would create the file 0644, and its log files take the file's mode.
    paths::create_private_file(path);
    SQLite::Database conn(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | extra_flags, 0, frame_joining_vfs());
    conn.setBusyTimeout(BUSY_TIMEOUT_MS);
    // WAL lets the dashboard and the tools read while the proxy writes, and
    // with synchronous NORMAL a commit no longer waits for the disk: a row
    // that was committed survives a crash of the process, which is what
    // matters here (only a power cut can take the last few).
    _use_wal(conn);
    conn.exec("PRAGMA synchronous=NORMAL");
    return conn;
}

namespace {

struct _FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const _FileId&) const = default;
};

// A file that cannot be looked at is as good as absent here: opening it
// says why.
std::optional<_FileId> _file_id(const std::string& path) {
    std::optional<paths::FileStamp> st;
    try {
        st = paths::identity_once(path);
    } catch (const std::exception&) {
    }
    if (!st) return std::nullopt;
    return _FileId{st->dev, st->ino};
}

struct _Open {
    _FileId id;
    std::unique_ptr<SQLite::Database> db;
    std::unique_ptr<StatementCache> statements;  // destroyed before db
};

// Pages in the write-ahead log beyond which it is copied back into the
// database (SQLite's own default for its automatic checkpoint), and beyond
// which the committing writer copies it itself.
constexpr int CHECKPOINT_PAGES = 1000;
constexpr int CATCH_UP_PAGES = 4 * CHECKPOINT_PAGES;

// Growth of the log, in pages, between two requests for a copy. Each copy
// costs two fsyncs: every 64 pages they took 4 % of the proxy's CPU at 32
// connections.
constexpr int COPY_STEP_PAGES = 256;

// Copies the write-ahead log back into the database on a thread of its own.
// SQLite would do it inside the commit that crossed the threshold, making
// that call (and the answer waiting on it) pay for the copy and two fsyncs;
// here the commit only leaves a note. A passive checkpoint never blocks
// anyone, but under a steady stream of commits it may never reach the log's
// end, and the log only starts over once it has: past CATCH_UP_PAGES the
// commit copies the log itself (`_catch_up`), as SQLite would, while it still
// holds this process's write lock, so the next commit starts the log over.
struct _Checkpointer {
    std::mutex mu;
    std::condition_variable wake;
    std::vector<std::string> due;
    std::unordered_map<std::string, int> last_step;  // pages / COPY_STEP_PAGES when last noted
    bool stopping = false;
    std::thread thread;

    _Checkpointer() : thread([this] { _run(); }) {}
    ~_Checkpointer() {
        {
            std::lock_guard lock(mu);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    // The log of `path` now holds `pages` (at least CHECKPOINT_PAGES) pages:
    // a copy is asked for each time the log grew by another COPY_STEP_PAGES.
    // Asking on every commit over the mark (the log does not shrink until a
    // copy reaches its end) cost two fsyncs per commit; asking only every
    // 1000 pages let the log reach CATCH_UP_PAGES often, and the commit
    // that copies it then held its calls up for milliseconds (1-connection
    // p99 1.2 ms -> 3.3 ms).
    void note(const std::string& path, int pages) {
        {
            std::lock_guard lock(mu);
            // A log that started over comes back at a lower step: any
            // change of step asks.
            int step = pages / COPY_STEP_PAGES;
            int& last = last_step[path];
            if (step == last) return;
            last = step;
            if (std::find(due.begin(), due.end(), path) != due.end()) return;
            due.push_back(path);
        }
        wake.notify_one();
    }

    void _run() {
        std::unique_lock lock(mu);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !due.empty(); });
            if (stopping) return;
            std::string path = std::move(due.back());
            due.pop_back();
            lock.unlock();
            _checkpoint(path);
            lock.lock();
        }
    }

    static void _checkpoint(const std::string& path) {
        if (!exists(path)) return;  // deleted meanwhile: nothing to copy into
        try {
            SQLite::Database& conn = connection(path);
            sqlite3_wal_checkpoint_v2(conn.getHandle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        } catch (const std::exception&) {
            // Cannot be opened now; the next commit over the mark asks again.
        }
    }
};

_Checkpointer& _checkpointer() {
    static _Checkpointer c;
    return c;
}

// The log has reached CATCH_UP_PAGES: the committing writer copies it now.
// SQLite refuses a checkpoint while another connection (the background copy,
// or another process) runs one, at once and without its busy handler;
// skipping the catch-up then let the log grow for as long as that copy took,
// tens of megabytes on a slow disk. So it waits for the copy in progress, as
// long as any other lock would be waited for, and then copies the rest. The
// writer holds this process's write lock meanwhile, so no commit of ours adds
// to the log while it waits.
void _catch_up(sqlite3* db) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    while (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int _on_commit(void* path, sqlite3* db, const char*, int pages) {
    if (pages >= CATCH_UP_PAGES)
        _catch_up(db);
    else if (pages >= CHECKPOINT_PAGES)
        _checkpointer().note(*static_cast<const std::string*>(path), pages);
    return SQLITE_OK;
}

// The schema work done per file (once_per_file), by path, purpose and the
// identity of the file it was done on.
struct _Done {
    std::mutex mu;
    std::vector<std::tuple<std::string, std::string, _FileId>> done;
};

_Done& _done() {
    static _Done d;
    return d;
}

// The file at `path` was replaced or removed: what was done on it no longer
// holds. Its identity alone cannot tell: once the last connection to a
// removed file closes, a new file at the same path often gets the same inode.
void _forget_done(const std::string& path) {
    auto& d = _done();
    std::lock_guard lock(d.mu);
    std::erase_if(d.done, [&](const auto& entry) { return std::get<0>(entry) == path; });
}

// How many times a connection of this process found the file at a path
// replaced or removed.
struct _Generations {
    std::mutex mu;
    std::unordered_map<std::string, std::uint64_t> by_path;
};

_Generations& _generations() {
    static _Generations g;
    return g;
}

void _next_generation(const std::string& path) {
    auto& g = _generations();
    std::lock_guard lock(g.mu);
    ++g.by_path[path];
}

}  // namespace

std::uint64_t generation(const std::string& path) {
    auto& g = _generations();
    std::lock_guard lock(g.mu);
    auto it = g.by_path.find(path);
    return it == g.by_path.end() ? 0 : it->second;
}

namespace {

}  // namespace

Conn connection(const std::string& path) {
    thread_local std::unordered_map<std::string, _Open> open_here;
    auto it = open_here.find(path);
    auto id = _file_id(path);
    if (it == open_here.end() || !id || !(*id == it->second.id)) {
        // Drop the old entry whole first: its statements must be finalised
        // before its connection closes.
        if (it != open_here.end()) {
            open_here.erase(it);
            _forget_done(path);
            _next_generation(path);
        }
        // Only this thread ever uses it, so SQLite's per-call locking of the
        // connection (a mutex round trip on every column read) is left out.
        auto fresh = std::make_unique<SQLite::Database>(open(path, SQLite::OPEN_NOMUTEX));
        _Open entry{_file_id(path).value_or(_FileId{}), std::move(fresh), std::make_unique<StatementCache>()};
        it = open_here.emplace(path, std::move(entry)).first;
        // The map's key outlives the connection it is handed to.
        sqlite3_wal_hook(it->second.db->getHandle(), _on_commit, const_cast<std::string*>(&it->first));
    }
    return Conn{it->second.db.get(), it->second.statements.get()};
}

WriteLock::WriteLock() {
    static std::mutex writes;
    held = std::unique_lock<std::mutex>(writes);
}

Prepared Conn::prepare(const std::string& sql) const {
    auto& slot = (*statements)[sql];
    if (!slot) slot = std::make_unique<SQLite::Statement>(*db, sql);
    slot->tryReset();
    slot->clearBindings();
    return Prepared{slot.get()};
}

Transaction::Transaction(const Conn& c) : conn(c) { conn.prepare("BEGIN")->exec(); }

void Transaction::commit() {
    conn.prepare("COMMIT")->exec();
    open = false;
}

Transaction::~Transaction() {
    if (!open) return;
    try {
        conn.prepare("ROLLBACK")->exec();
    } catch (const std::exception&) {
        // Nothing to undo when SQLite already rolled back on the error.
    }
}

void once_per_file(const std::string& path, std::string_view what, const std::function<void()>& init) {
    auto& d = _done();
    std::string purpose(what);
    auto id = _file_id(path);
    {
        std::lock_guard lock(d.mu);
        if (id && std::find(d.done.begin(), d.done.end(), std::make_tuple(path, purpose, *id)) != d.done.end()) return;
    }
    init();
    if (auto after = _file_id(path)) {
        std::lock_guard lock(d.mu);
        d.done.emplace_back(path, purpose, *after);
    }
}

namespace {

// Running totals of the calls' cost: for each 10-second bucket that has
// calls, the cost of every call up to and including that bucket, once per
// tag (a call with no tag counts under '') and once for all calls. A window
// from `since` on is then the latest total minus the total at `since`'s
// bucket, plus the calls of that bucket from `since` on: three index
// lookups and a few rows, whatever the size of the ledger or the window.
// The bucket is CAST(ts / 10 AS INTEGER), which never decreases as ts grows,
// so a call after `since` is never in an earlier bucket.
constexpr int BUCKET_SECONDS = 10;

// The calls the running totals hold: every call with an id up to `upto`.
// Inserts do not touch the totals (the proxy's insert is the only work it
// must do before answering); the calls after the mark are folded in by
// whoever reads a window next, and a window adds the calls after the mark
// itself, so it is exact whether or not the fold has run. Edits and deletions
// of calls already folded in, and calls inserted by hand below the mark, are
// applied by triggers as they happen.
constexpr const char* MARK_TABLE = "spend_running_mark";
constexpr const char* CREATE_MARK = "CREATE TABLE spend_running_mark (upto INTEGER NOT NULL)";
constexpr const char* MARK_UPTO = "(SELECT upto FROM spend_running_mark)";

std::string _folded_row(const char* row) { return fmt::format("{}.id <= {}", row, MARK_UPTO); }

// Calls (by id) folded per write transaction, so that a reader catching up
// on a month of calls holds the ledger's write lock (and the proxy's inserts
// behind it) for one short transaction at a time; and how long one read
// folds at most. What is left is summed by the windows themselves (a range
// read of the calls after the mark) and folded by the next reads.
constexpr std::int64_t FOLD_CHUNK_IDS = 10'000;
constexpr std::chrono::milliseconds FOLD_TIME{250};

struct _Running {
    const char* table;
    const char* create;
    const char* key_cols;   // the tag column before `bucket`, or nothing
    const char* key_of;     // the tag of row {R}, or nothing
    const char* match_of;   // "this row's tag" condition for row {R}, or always true
    const char* call_match_of;  // the same condition on a call
};

const _Running RUNNING[] = {
    {"spend_running",
     "CREATE TABLE spend_running (tag TEXT NOT NULL, bucket INTEGER NOT NULL, total REAL NOT NULL, "
     "PRIMARY KEY (tag, bucket)) WITHOUT ROWID",
     "tag, ", "IFNULL({R}.tag, ''), ", "tag = IFNULL({R}.tag, '')", "IFNULL(calls.tag, '') = IFNULL({R}.tag, '')"},
    {"spend_running_all", "CREATE TABLE spend_running_all (bucket INTEGER PRIMARY KEY, total REAL NOT NULL)", "", "",
     "1", "1"},
};

// Rollups of earlier versions of this ledger, replaced by the running totals,
// and the index they read (a window's one partial bucket is read through the
// ts index now: an index fewer to update on every insert).
constexpr const char* DROP_OLD_ROLLUPS = R"(
DROP TRIGGER IF EXISTS spend_hourly_insert; DROP TRIGGER IF EXISTS spend_hourly_delete;
DROP TRIGGER IF EXISTS spend_hourly_update; DROP TRIGGER IF EXISTS spend_minutely_insert;
DROP TRIGGER IF EXISTS spend_minutely_delete; DROP TRIGGER IF EXISTS spend_minutely_update;
DROP TABLE IF EXISTS spend_hourly; DROP TABLE IF EXISTS spend_minutely;
DROP INDEX IF EXISTS idx_calls_ts_spend;)";

std::string _replace_all(std::string text, std::string_view hole, std::string_view value) {
    for (auto at = text.find(hole); at != std::string::npos; at = text.find(hole, at + value.size()))
        text.replace(at, hole.size(), value);
    return text;
}

std::string _bucket_of(std::string_view ts) {
    return fmt::format("CAST({} / {} AS INTEGER)", ts, BUCKET_SECONDS);
}

// `sql` with each hole replaced by its value, and {TS} (a call's bucket) and
// {S} (the bucket's length) filled everywhere.
std::string _fill(std::string sql, std::initializer_list<std::pair<std::string_view, std::string>> holes) {
    for (const auto& [hole, value] : holes) sql = _replace_all(std::move(sql), hole, value);
    sql = _replace_all(std::move(sql), "{TS}", _bucket_of("ts"));
    return _replace_all(std::move(sql), "{S}", std::to_string(BUCKET_SECONDS));
}

// The running total before row {R}'s bucket.
constexpr const char* TOTAL_BEFORE =
    "IFNULL((SELECT total FROM {T} WHERE {MATCH} AND bucket < {B} ORDER BY bucket DESC LIMIT 1), 0.0)";

// `sql` for running table `r` and call row `row` (NEW or OLD).
std::string _for(const char* sql, const _Running& r, const char* row) {
    return _fill(sql, {{"{BEFORE}", TOTAL_BEFORE},
                       {"{KEY_COLS}", r.key_cols},
                       {"{KEY}", r.key_of},
                       {"{MATCH}", r.match_of},
                       {"{T}", r.table},
                       {"{CALL_MATCH}", r.call_match_of},
                       {"{B}", _bucket_of(std::string(row) + ".ts")},
                       {"{R}", row}});
}

// Adds row {R}'s cost to its bucket (created from the total before it) and
// to every later bucket, which exists only when calls came in out of order.
constexpr const char* ADD_ROW = R"(
    UPDATE {T} SET total = total + {R}.cost_usd WHERE {R}.cost_usd IS NOT NULL AND {MATCH} AND bucket > {B};
    INSERT INTO {T} ({KEY_COLS}bucket, total)
    SELECT {KEY}{B}, {BEFORE} + {R}.cost_usd
    WHERE {R}.cost_usd IS NOT NULL
    ON CONFLICT ({KEY_COLS}bucket) DO UPDATE SET total = total + {R}.cost_usd;)";

// ADD_ROW for a trigger that fires for priced rows only (its WHEN): one row
// of VALUES instead of a SELECT, which SQLite runs through a temporary table
// because it reads the table it writes. Every recorded call pays this one;
// it costs a third of the SELECT form.
constexpr const char* ADD_PRICED_ROW = R"(
    UPDATE {T} SET total = total + {R}.cost_usd WHERE {MATCH} AND bucket > {B};
    INSERT INTO {T} ({KEY_COLS}bucket, total) VALUES ({KEY}{B}, {BEFORE} + {R}.cost_usd)
    ON CONFLICT ({KEY_COLS}bucket) DO UPDATE SET total = total + {R}.cost_usd;)";

// Edits and deletions of calls never happen in normal use; subtracting
// leaves a rounding residue far below a thousandth of a cent. A bucket left
// without calls goes, so that emptied buckets carry no residue into later
// windows (a ledger emptied by hand sums to exactly 0 again).
constexpr const char* REMOVE_ROW = R"(
    UPDATE {T} SET total = total - {R}.cost_usd WHERE {R}.cost_usd IS NOT NULL AND {MATCH} AND bucket >= {B};
    DELETE FROM {T} WHERE {R}.cost_usd IS NOT NULL AND {MATCH} AND bucket = {B} AND NOT EXISTS (
        SELECT 1 FROM calls WHERE ts >= {B} * {S} - 1 AND ts < {B} * {S} + {S} + 1 AND {TS} = {B}
                              AND cost_usd IS NOT NULL AND {CALL_MATCH});)";

std::vector<std::string> _triggers(const _Running& r) {
    auto trigger = [&](const char* name, const char* event, const std::string& when, const std::string& body) {
        return fmt::format("CREATE TRIGGER IF NOT EXISTS {}_{} AFTER {} ON calls{} BEGIN{}\nEND", r.table, name,
                           event, when, body);
    };
    return {trigger("add", "INSERT", std::string(" WHEN NEW.cost_usd IS NOT NULL AND ") + _folded_row("NEW"),
                    _for(ADD_PRICED_ROW, r, "NEW")),
            trigger("delete", "DELETE", std::string(" WHEN ") + _folded_row("OLD"), _for(REMOVE_ROW, r, "OLD")),
            trigger("update", "UPDATE OF ts, tag, cost_usd", std::string(" WHEN ") + _folded_row("OLD"),
                    _for(REMOVE_ROW, r, "OLD") + _for(ADD_ROW, r, "NEW"))};
}

// The statements that add one call, given as parameters :ts, :tag and :cost,
// to the running table `r`: what the insert trigger does for a row already
// folded, run by the fold for each row after the mark.
std::vector<std::string> _fold_statements(const _Running& r) {
    std::string sql = _for(ADD_PRICED_ROW, r, "NEW");
    for (auto [from, to] : {std::pair{"NEW.ts", ":ts"}, {"NEW.tag", ":tag"}, {"NEW.cost_usd", ":cost"}})
        sql = _replace_all(std::move(sql), from, to);
    std::vector<std::string> statements;
    for (std::size_t start = 0, end; (end = sql.find(';', start)) != std::string::npos; start = end + 1)
        statements.push_back(sql.substr(start, end - start));
    return statements;
}

// The insert trigger of earlier versions, which "add" replaces.
std::string _replaced_trigger(const _Running& r) { return std::string(r.table) + "_insert"; }

// The running totals of the calls already in the ledger.
std::string _fill_running(const _Running& r) {
    bool by_tag = r.key_cols[0] != '\0';
    return fmt::format(
        "INSERT INTO {0} ({1}bucket, total) SELECT {1}bucket, SUM(cost) OVER ({2}ORDER BY bucket) FROM "
        "(SELECT {3}{4} AS bucket, SUM(cost_usd) AS cost FROM calls WHERE cost_usd IS NOT NULL GROUP BY {5})",
        r.table, r.key_cols, by_tag ? "PARTITION BY tag " : "", by_tag ? "IFNULL(tag, '') AS tag, " : "",
        _bucket_of("ts"), by_tag ? "1, 2" : "1");
}

constexpr const char* SUM_CALLS = "SELECT SUM(cost_usd) FROM calls WHERE ts >= ? AND cost_usd IS NOT NULL";

// The latest running total, minus the one at `since`'s bucket, plus the calls
// of that bucket from `since` on. The difference carries the rounding of the
// additions since `since` at the size of the lifetime total: around 1e-12 of
// a dollar per call, none when nothing came after. "+tag" keeps the planner
// on the ts range instead of the tag index, which would visit every call the
// tag ever made.
constexpr const char* SUM_RUNNING = R"(SELECT
    IFNULL((SELECT total FROM {T} WHERE {MATCH} ORDER BY bucket DESC LIMIT 1), 0.0)
  - IFNULL((SELECT total FROM {T} WHERE {MATCH} AND bucket <= {B} ORDER BY bucket DESC LIMIT 1), 0.0)
  + (SELECT TOTAL(cost_usd) FROM calls
     WHERE ts >= ?1 AND ts < ({B} + 1) * {S} + 1 AND {TS} = {B} AND cost_usd IS NOT NULL {+TAG}
       AND id <= {UPTO})
  + (SELECT TOTAL(cost_usd) FROM calls WHERE id > {UPTO} AND ts >= ?1 AND cost_usd IS NOT NULL {+TAG}))";

std::string _running_sql(bool by_tag) {
    return _fill(SUM_RUNNING, {{"{T}", RUNNING[by_tag ? 0 : 1].table},
                               {"{MATCH}", by_tag ? "tag = ?2" : "1"},
                               {"{B}", _bucket_of("?1")},
                               {"{+TAG}", by_tag ? "AND +tag = ?2" : ""},
                               {"{UPTO}", MARK_UPTO}});
}

bool _has(SQLite::Database& conn, const char* type, const std::string& name) {
    SQLite::Statement q(conn, "SELECT 1 FROM sqlite_master WHERE type = ? AND name = ?");
    q.bind(1, type);
    q.bind(2, name);
    return q.executeStep();
}

}  // namespace

bool has_table(SQLite::Database& conn, const std::string& name) { return _has(conn, "table", name); }

namespace {

// The totals, their mark and no trigger of an earlier version: only missing
// triggers of this version may need creating.
bool _rollup_current(SQLite::Database& conn) {
    if (!has_table(conn, MARK_TABLE)) return false;
    for (const _Running& r : RUNNING)
        if (!has_table(conn, r.table) || _has(conn, "trigger", _replaced_trigger(r))) return false;
    return true;
}

void _drop_triggers(SQLite::Database& conn, const _Running& r) {
    for (const char* name : {"add", "delete", "update", "insert"})
        conn.exec(fmt::format("DROP TRIGGER IF EXISTS {}_{}", r.table, name));
}

// The sums of the calls with ids in (from, to] per bucket (and tag, for the
// table by tag), in the order of their buckets.
std::string _grouped_calls(const _Running& r) {
    bool by_tag = r.key_cols[0] != '\0';
    return fmt::format("SELECT {0}{1} AS bucket, SUM(cost_usd) FROM calls WHERE id > ?1 AND id <= ?2 "
                       "AND cost_usd IS NOT NULL GROUP BY {2} ORDER BY bucket",
                       by_tag ? "IFNULL(tag, ''), " : "'', ", _bucket_of("ts"), by_tag ? "1, 2" : "2");
}

// Adds the calls with ids in (from, to] to the totals, one group of calls of
// a bucket (and tag) at a time: each addition keeps every later total right,
// so the groups may come in any order. Inside the caller's transaction.
void _fold_range(const Conn& conn, std::int64_t from, std::int64_t to) {
    for (const _Running& r : RUNNING) {
        static const std::vector<std::string> ADD[] = {_fold_statements(RUNNING[0]), _fold_statements(RUNNING[1])};
        const std::vector<std::string>& add_group = ADD[&r - RUNNING];
        auto groups = conn.prepare(_grouped_calls(r));
        groups->bind(1, from);
        groups->bind(2, to);
        while (groups->executeStep()) {
            for (const std::string& sql : add_group) {
                auto add = conn.prepare(sql);
                // Any time inside the bucket names it; its start is exact.
                add->bind(add->getIndex(":ts"), static_cast<double>(groups->getColumn(1).getInt64() * BUCKET_SECONDS));
                add->bind(add->getIndex(":cost"), groups->getColumn(2).getDouble());
                if (int at = add->getIndex(":tag"); at != 0) add->bind(at, groups->getColumn(0).getString());
                add->exec();
            }
        }
    }
}

// The mark and the last call's id, read now.
std::pair<std::int64_t, std::int64_t> _behind(const Conn& conn) {
    auto q = conn.prepare("SELECT upto, (SELECT IFNULL(MAX(id), 0) FROM calls) FROM spend_running_mark");
    if (!q->executeStep()) return {0, 0};
    return {q->getColumn(0).getInt64(), q->getColumn(1).getInt64()};
}

// Folds the next chunk of calls after the mark, up to `last` at most, in a
// write transaction of its own; false when nothing was left.
bool _fold_chunk(const Conn& conn, std::int64_t last) {
    WriteLock writing;
    // IMMEDIATE: the mark is read under the write lock, so no other fold
    // moves it between the read and the update.
    conn.prepare("BEGIN IMMEDIATE")->exec();
    try {
        auto [upto, _] = _behind(conn);
        std::int64_t to = std::min(last, upto + FOLD_CHUNK_IDS);
        if (upto < last) {
            _fold_range(conn, upto, to);
            auto move = conn.prepare("UPDATE spend_running_mark SET upto = ?");
            move->bind(1, to);
            move->exec();
        }
        conn.prepare("COMMIT")->exec();
        return upto < last && to < last;
    } catch (...) {
        conn.prepare("ROLLBACK")->tryExecuteStep();
        throw;
    }
}

}  // namespace

void ensure_spend_rollup(SQLite::Database& conn) {
    if (_rollup_current(conn)) {
        for (const _Running& r : RUNNING)
            for (const std::string& trigger : _triggers(r)) conn.exec(trigger);
        return;
    }
    // Created (or rebuilt from an earlier version's, whose triggers added
    // every insert), filled from the calls and marked in one transaction, so
    // that no call is counted twice or missed by a writer running at the
    // same time.
    SQLite::Transaction tx(conn, SQLite::TransactionBehavior::IMMEDIATE);
    conn.exec(DROP_OLD_ROLLUPS);
    conn.exec(std::string("DROP TABLE IF EXISTS ") + MARK_TABLE);
    conn.exec(CREATE_MARK);
    conn.exec("INSERT INTO spend_running_mark SELECT IFNULL(MAX(id), 0) FROM calls");
    for (const _Running& r : RUNNING) {
        _drop_triggers(conn, r);
        conn.exec(std::string("DROP TABLE IF EXISTS ") + r.table);
        conn.exec(r.create);
        conn.exec(_fill_running(r));
        for (const std::string& trigger : _triggers(r)) conn.exec(trigger);
    }
    tx.commit();
}

void fold_spend_totals(const Conn& conn) {
    try {
        auto [upto, last] = _behind(conn);
        auto until = std::chrono::steady_clock::now() + FOLD_TIME;
        while (upto < last && _fold_chunk(conn, last) && std::chrono::steady_clock::now() < until) {
        }
    } catch (const std::exception&) {
        // No totals in this ledger, a read-only file, a lock held elsewhere
        // past the busy wait: the windows add the calls after the mark
        // themselves, so the sums stay exact, only slower.
    }
}

double spend_since(const Conn& conn, double since, const std::optional<std::string>& tag) {
    bool by_tag = tag && !tag->empty();
    if (sqlite3_get_autocommit(conn.db->getHandle())) fold_spend_totals(conn);
    auto sum = [&](const std::string& sql) {
        auto q = conn.prepare(sql);
        q->bind(1, since);
        if (by_tag) q->bind(2, *tag);
        q->executeStep();
        return q->getColumn(0).isNull() ? 0.0 : q->getColumn(0).getDouble();
    };
    static const std::string RUNNING_SQL[2] = {_running_sql(false), _running_sql(true)};
    // Preparing against a ledger without the running totals fails with "no
    // such table"; looking the table up first would cost more than the sum.
    try {
        return sum(RUNNING_SQL[by_tag]);
    } catch (const SQLite::Exception&) {
        if (has_table(*conn.db, RUNNING[by_tag ? 0 : 1].table) && has_table(*conn.db, MARK_TABLE)) throw;
    }
    return sum(std::string(SUM_CALLS) + (by_tag ? " AND tag = ?" : ""));
}

bool exists(const std::string& path) { return _file_id(path).has_value(); }

std::int64_t data_version(const Conn& conn) {
    auto q = conn.prepare("PRAGMA data_version");
    q->executeStep();
    return q->getColumn(0).getInt64();
}

std::optional<std::string> opt_text(const SQLite::Column& col) {
    if (col.isNull()) return std::nullopt;
    return col.getString();
}

std::string text_or_empty(const SQLite::Column& col) { return col.isNull() ? std::string() : col.getString(); }

std::optional<std::int64_t> opt_int(const SQLite::Column& col) {
    if (col.isNull()) return std::nullopt;
    return col.getInt64();
}

std::optional<double> opt_real(const SQLite::Column& col) {
    if (col.isNull()) return std::nullopt;
    return col.getDouble();
}

Total total(const SQLite::Column& col) {
    if (col.isNull()) return std::monostate{};
    if (col.isInteger()) return col.getInt64();
    return col.getDouble();
}

}  // namespace tokentally::store::sqlite
