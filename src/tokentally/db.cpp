#include "tokentally/db.hpp"

#include "tokentally/paths.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <tuple>
#include <vector>

namespace tokentally::db {

namespace bj = boost::json;

SQLite::Database open(const std::string& path, int extra_flags) {
    paths::ensure_parent_dir(path);
    SQLite::Database conn(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | extra_flags);
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

namespace {

// Pages in the write-ahead log beyond which it is copied back into the
// database (SQLite's own default for its automatic checkpoint), and beyond
// which the committing writer copies it itself.
constexpr int CHECKPOINT_PAGES = 1000;
constexpr int CATCH_UP_PAGES = 4 * CHECKPOINT_PAGES;

// Copies the write-ahead log back into the database on a thread of its own.
// SQLite would do it inside the commit that crossed the threshold, making
// that call (and the answer waiting on it) pay for the copy and two fsyncs;
// here the commit only leaves a note. A passive checkpoint never blocks
// anyone, but under a steady stream of commits it may never reach the log's
// end, and the log only starts over once it has: past CATCH_UP_PAGES the
// commit copies the log itself, as SQLite would, while it still holds this
// process's write lock, so the next commit starts the log over.
struct _Checkpointer {
    std::mutex mu;
    std::condition_variable wake;
    std::vector<std::string> due;
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

    void request(const std::string& path) {
        {
            std::lock_guard lock(mu);
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

int _on_commit(void* path, sqlite3* db, const char*, int pages) {
    if (pages >= CATCH_UP_PAGES)
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    else if (pages >= CHECKPOINT_PAGES)
        _checkpointer().request(*static_cast<const std::string*>(path));
    return SQLITE_OK;
}

}  // namespace

Conn connection(const std::string& path) {
    thread_local std::unordered_map<std::string, _Open> open_here;
    auto it = open_here.find(path);
    auto id = _file_id(path);
    if (it == open_here.end() || !id || !(*id == it->second.id)) {
        // Drop the old entry whole first: its statements must be finalised
        // before its connection closes.
        if (it != open_here.end()) open_here.erase(it);
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

// Two rollups of the calls' cost, one row per (bucket, tag): by hour, and by
// minute for the first, partial hour of a window. A call with no tag counts
// under ''. The minute is CAST(ts / 60 AS INTEGER) and the hour is the
// minute divided by 60 in integers, so a call's two buckets always agree.
struct _Level {
    const char* table;
    const char* bucket_of_ts;  // {X} stands for the ts column
    int seconds;
};

const _Level LEVELS[] = {
    {"spend_hourly", "CAST({X} / 60 AS INTEGER) / 60", 3600},
    {"spend_minutely", "CAST({X} / 60 AS INTEGER)", 60},
};

std::string _fill(std::string text, const _Level& level) {
    auto put = [&](const std::string& hole, const std::string& value) {
        for (auto at = text.find(hole); at != std::string::npos; at = text.find(hole, at + value.size()))
            text.replace(at, hole.size(), value);
    };
    std::string bucket = level.bucket_of_ts;
    auto of = [&](const std::string& col) {
        std::string b = bucket;
        b.replace(b.find("{X}"), 3, col);
        return b;
    };
    put("{T}", level.table);
    put("{S}", std::to_string(level.seconds));
    put("{NEW}", of("NEW.ts"));
    put("{OLD}", of("OLD.ts"));
    put("{TS}", of("ts"));
    return text;
}

constexpr const char* CREATE_ROLLUP = R"(CREATE TABLE {T} (
    bucket INTEGER NOT NULL,
    tag    TEXT    NOT NULL,
    cost   REAL    NOT NULL,
    PRIMARY KEY (bucket, tag)
) WITHOUT ROWID)";

constexpr const char* FILL_ROLLUP = R"(INSERT INTO {T} (bucket, tag, cost)
SELECT {TS}, IFNULL(tag, ''), SUM(cost_usd) FROM calls WHERE cost_usd IS NOT NULL GROUP BY 1, 2)";

// The cost of one bucket recounted from the calls (index range, then the
// exact bucket test).
constexpr const char* RECOUNT = R"((SELECT TOTAL(cost_usd) FROM calls
        WHERE ts >= bucket * {S} - 1 AND ts < bucket * {S} + {S} + 1
          AND {TS} = bucket AND IFNULL(calls.tag, '') = {T}.tag))";

constexpr const char* ROLLUP_TRIGGERS[] = {
    R"(CREATE TRIGGER IF NOT EXISTS {T}_insert AFTER INSERT ON calls
WHEN NEW.cost_usd IS NOT NULL BEGIN
    INSERT INTO {T} (bucket, tag, cost) VALUES ({NEW}, IFNULL(NEW.tag, ''), NEW.cost_usd)
    ON CONFLICT(bucket, tag) DO UPDATE SET cost = cost + excluded.cost;
END)",
    // Edits and deletions never happen in normal use; recounting the buckets
    // they touch keeps the rollup exact rather than leaving the rounding
    // residue of a subtraction behind.
    R"(CREATE TRIGGER IF NOT EXISTS {T}_delete AFTER DELETE ON calls
WHEN OLD.cost_usd IS NOT NULL BEGIN
    UPDATE {T} SET cost = {RECOUNT} WHERE bucket = {OLD} AND tag = IFNULL(OLD.tag, '');
END)",
    R"(CREATE TRIGGER IF NOT EXISTS {T}_update AFTER UPDATE OF ts, tag, cost_usd ON calls BEGIN
    INSERT INTO {T} (bucket, tag, cost)
    SELECT {NEW}, IFNULL(NEW.tag, ''), 0.0 WHERE NEW.cost_usd IS NOT NULL
    ON CONFLICT(bucket, tag) DO NOTHING;
    UPDATE {T} SET cost = {RECOUNT}
    WHERE (bucket = {OLD} AND tag = IFNULL(OLD.tag, '')) OR (bucket = {NEW} AND tag = IFNULL(NEW.tag, ''));
END)",
};

constexpr const char* SUM_CALLS = "SELECT SUM(cost_usd) FROM calls WHERE ts >= ? AND cost_usd IS NOT NULL";

// Whole hours after the one `since` falls in, whole minutes after its minute
// within that hour, and the calls of its minute from `since` on. "+tag"
// keeps the planner on the ts range instead of the tag index, which would
// visit every call the tag ever made.
constexpr const char* SUM_ROLLUP = R"(SELECT
    (SELECT TOTAL(cost) FROM spend_hourly WHERE bucket > CAST(?1 / 60 AS INTEGER) / 60 {tag})
  + (SELECT TOTAL(cost) FROM spend_minutely
     WHERE bucket > CAST(?1 / 60 AS INTEGER) AND bucket < (CAST(?1 / 60 AS INTEGER) / 60 + 1) * 60 {tag})
  + (SELECT TOTAL(cost_usd) FROM calls
     WHERE ts >= ?1 AND ts < ?1 + 61 AND CAST(ts / 60 AS INTEGER) = CAST(?1 / 60 AS INTEGER)
       AND cost_usd IS NOT NULL {+tag}))";

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

std::string _fill_recount(std::string trigger) {
    for (auto at = trigger.find("{RECOUNT}"); at != std::string::npos; at = trigger.find("{RECOUNT}"))
        trigger.replace(at, 9, RECOUNT);
    return trigger;
}

std::string _rollup_sql(bool by_tag) {
    std::string sql = SUM_ROLLUP;
    for (const char* hole : {"{tag}", "{tag}"}) sql.replace(sql.find(hole), 5, by_tag ? "AND tag = ?2" : "");
    sql.replace(sql.find("{+tag}"), 6, by_tag ? "AND +tag = ?2" : "");
    return sql;
}

}  // namespace

void ensure_spend_rollup(SQLite::Database& conn) {
    // The partial minute of a window is summed from the calls: this index
    // answers it without visiting the rows.
    conn.exec("CREATE INDEX IF NOT EXISTS idx_calls_ts_spend ON calls(ts, tag, cost_usd)");
    for (const _Level& level : LEVELS) {
        if (_has_table(conn, level.table)) {
            for (const char* trigger : ROLLUP_TRIGGERS) conn.exec(_fill(_fill_recount(trigger), level));
            continue;
        }
        // Created, filled and wired in one transaction, so that no call is
        // counted twice or missed by a writer running at the same time.
        SQLite::Transaction tx(conn, SQLite::TransactionBehavior::IMMEDIATE);
        if (!_has_table(conn, level.table)) {
            conn.exec(_fill(CREATE_ROLLUP, level));
            conn.exec(_fill(FILL_ROLLUP, level));
        }
        for (const char* trigger : ROLLUP_TRIGGERS) conn.exec(_fill(_fill_recount(trigger), level));
        tx.commit();
    }
}

double spend_since(const Conn& conn, double since, const std::optional<std::string>& tag) {
    bool by_tag = tag && !tag->empty();
    auto sum = [&](const std::string& sql) {
        auto q = conn.prepare(sql);
        q->bind(1, since);
        if (by_tag) q->bind(2, *tag);
        q->executeStep();
        return q->getColumn(0).isNull() ? 0.0 : q->getColumn(0).getDouble();
    };
    static const std::string ROLLUP_SQL[2] = {_rollup_sql(false), _rollup_sql(true)};
    const std::string& rollup_sql = ROLLUP_SQL[by_tag];
    // Preparing against a ledger without the rollup fails with "no such
    // table"; looking the tables up first would cost more than the sum.
    try {
        return sum(rollup_sql);
    } catch (const SQLite::Exception&) {
        if (_has_table(conn, "spend_hourly") && _has_table(conn, "spend_minutely")) throw;
    }
    return sum(std::string(SUM_CALLS) + (by_tag ? " AND tag = ?" : ""));
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
