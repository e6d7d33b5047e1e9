// The hourly rollups of `calls` in ledger.db (table `call_rollups`), kept off
// the proxy's path: a call's insert does not touch them. Each read first
// folds in the calls appended since the last fold (those with an id above
// the table's mark: SQLite hands out ids in commit order under its write
// lock), in short transactions. Calls edited or deleted after they were
// folded leave their times in `call_rollups_stale` (by trigger; neither ever
// happens in normal use), and those hours are summed again from the calls.
// The per-session rollups (session_rollups.cpp) are folded in the same
// transactions, under the same mark.
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/db.hpp"
#include "tokentally/store/sqlite/session_rollups.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cstdlib>
#include <set>

namespace tokentally::store::sqlite {

namespace {

// Calls folded per transaction: the proxy's inserts wait for one chunk at
// most (a few milliseconds on a busy machine), also while a large ledger's
// rollups are first built.
constexpr std::int64_t FOLD_CHUNK = 2000;

constexpr const char* CREATE_TABLES[] = {
    R"(CREATE TABLE IF NOT EXISTS call_rollups (
    hour                 REAL    NOT NULL,
    model_id             TEXT,
    tag                  TEXT,
    calls                INTEGER NOT NULL,
    total_prompt         INTEGER,
    total_completion     INTEGER,
    total_cost           REAL,
    latency_calls        INTEGER NOT NULL,
    latency_sum          REAL    NOT NULL,
    errors               INTEGER NOT NULL,
    status_classes       TEXT    NOT NULL,
    cache_hits           INTEGER NOT NULL,
    cache_hit_prompt     INTEGER NOT NULL,
    cache_hit_completion INTEGER NOT NULL,
    latency              TEXT    NOT NULL,
    priced_calls         INTEGER NOT NULL,
    priced_cost          REAL    NOT NULL,
    priced_prompt        INTEGER,
    priced_completion    INTEGER,
    priced_prompt_calls  INTEGER NOT NULL,
    priced_completion_calls INTEGER NOT NULL
))",
    "CREATE INDEX IF NOT EXISTS idx_call_rollups_hour ON call_rollups(hour)",
    "CREATE TABLE IF NOT EXISTS call_rollups_mark (one INTEGER PRIMARY KEY CHECK (one = 1), last_id INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS call_rollups_stale (ts REAL NOT NULL)",
    // Changed whenever folded sums were redone or dropped: what a reader
    // kept of them in memory is then of another epoch. Random, so that a
    // ledger file put in the place of another does not share it.
    "CREATE TABLE IF NOT EXISTS call_rollups_epoch (one INTEGER PRIMARY KEY CHECK (one = 1), epoch INTEGER NOT NULL)",
    "INSERT OR IGNORE INTO call_rollups_epoch (one, epoch) VALUES (1, random())",
};

constexpr const char* NEW_EPOCH = "INSERT OR REPLACE INTO call_rollups_epoch (one, epoch) VALUES (1, random())";

// Every edit or deletion of a call leaves its times, also of a call not
// folded yet: a fold reads its next calls before it takes the write lock, and
// learns from an empty table that none of them changed in between. (Ledgers
// made before held triggers that skipped calls above the mark; a fold finding
// those reads under the lock.) The proxy itself never edits a call.
constexpr const char* TRIGGER_NAMES = "('call_rollups_delete', 'call_rollups_update')";
constexpr const char* CREATE_TRIGGERS[] = {
    R"(CREATE TRIGGER IF NOT EXISTS call_rollups_delete AFTER DELETE ON calls
BEGIN INSERT INTO call_rollups_stale (ts) VALUES (OLD.ts); END)",
    R"(CREATE TRIGGER IF NOT EXISTS call_rollups_update AFTER UPDATE ON calls
BEGIN INSERT INTO call_rollups_stale (ts) VALUES (OLD.ts), (NEW.ts); END)",
};

constexpr const char* ROLLUP_COLUMNS =
    "hour, model_id, tag, calls, total_prompt, total_completion, total_cost, latency_calls, latency_sum, errors, "
    "status_classes, cache_hits, cache_hit_prompt, cache_hit_completion, latency, priced_calls, priced_cost, "
    "priced_prompt, priced_completion, priced_prompt_calls, priced_completion_calls";
constexpr int ROLLUP_COLUMN_COUNT = 21;

// --- the two lists kept as text -----------------------------------------------
// "2xx=10,5xx=1" and "bin:count:sum,...", sums in their shortest exact form.

std::string _classes_text(const Rollup& r) {
    std::string out;
    for (const auto& [cls, n] : r.status_classes) out += fmt::format("{}{}={}", out.empty() ? "" : ",", cls, n);
    return out;
}

std::string _latency_text(const Rollup& r) {
    std::string out;
    for (const auto& b : r.latency) out += fmt::format("{}{}:{}:{}", out.empty() ? "" : ",", b.bin, b.count, b.sum);
    return out;
}

// The comma-separated items of `text`, each split at `sep`.
std::vector<std::vector<std::string>> _items(const std::string& text, char sep) {
    std::vector<std::vector<std::string>> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> parts;
        std::size_t p = at;
        for (std::size_t q; (q = text.find(sep, p)) < end; p = q + 1) parts.push_back(text.substr(p, q - p));
        parts.push_back(text.substr(p, end - p));
        out.push_back(std::move(parts));
        at = end + 1;
    }
    return out;
}

std::int64_t _int(const std::string& s) { return std::strtoll(s.c_str(), nullptr, 10); }

void _read_lists(Rollup& r, const std::string& classes, const std::string& latency) {
    for (const auto& it : _items(classes, '='))
        if (it.size() == 2) r.status_classes.emplace_back(it[0], _int(it[1]));
    for (const auto& it : _items(latency, ':'))
        if (it.size() == 3)
            r.latency.push_back({static_cast<int>(_int(it[0])), _int(it[1]), std::strtod(it[2].c_str(), nullptr)});
}

// --- rows of the table ----------------------------------------------------------

Rollup _rollup(const SQLite::Statement& q) {
    Rollup r;
    r.hour = q.getColumn(0).getDouble();
    r.model_id = opt_text(q.getColumn(1));
    r.tag = opt_text(q.getColumn(2));
    r.calls = q.getColumn(3).getInt64();
    r.total_prompt = opt_int(q.getColumn(4));
    r.total_completion = opt_int(q.getColumn(5));
    r.total_cost = opt_real(q.getColumn(6));
    r.latency_calls = q.getColumn(7).getInt64();
    r.latency_sum = q.getColumn(8).getDouble();
    r.errors = q.getColumn(9).getInt64();
    r.cache_hits = q.getColumn(11).getInt64();
    r.cache_hit_prompt = q.getColumn(12).getInt64();
    r.cache_hit_completion = q.getColumn(13).getInt64();
    _read_lists(r, q.getColumn(10).getString(), q.getColumn(14).getString());
    r.priced_calls = q.getColumn(15).getInt64();
    r.priced_cost = q.getColumn(16).getDouble();
    r.priced_prompt = opt_int(q.getColumn(17));
    r.priced_completion = opt_int(q.getColumn(18));
    r.priced_prompt_calls = q.getColumn(19).getInt64();
    r.priced_completion_calls = q.getColumn(20).getInt64();
    return r;
}

void _insert(const Conn& conn, const Rollup& r) {
    std::string marks = "?";
    for (int i = 1; i < ROLLUP_COLUMN_COUNT; ++i) marks += ", ?";
    auto q = conn.prepare(fmt::format("INSERT INTO call_rollups ({}) VALUES ({})", ROLLUP_COLUMNS, marks));
    q->bind(1, r.hour);
    bind_optional(*q, 2, r.model_id);
    bind_optional(*q, 3, r.tag);
    q->bind(4, r.calls);
    bind_optional(*q, 5, r.total_prompt);
    bind_optional(*q, 6, r.total_completion);
    bind_optional(*q, 7, r.total_cost);
    q->bind(8, r.latency_calls);
    q->bind(9, r.latency_sum);
    q->bind(10, r.errors);
    q->bind(11, _classes_text(r));
    q->bind(12, r.cache_hits);
    q->bind(13, r.cache_hit_prompt);
    q->bind(14, r.cache_hit_completion);
    q->bind(15, _latency_text(r));
    q->bind(16, r.priced_calls);
    q->bind(17, r.priced_cost);
    bind_optional(*q, 18, r.priced_prompt);
    bind_optional(*q, 19, r.priced_completion);
    q->bind(20, r.priced_prompt_calls);
    q->bind(21, r.priced_completion_calls);
    q->exec();
}

// Adds `r` to the stored rollup of its hour, model and tag (or stores it).
void _add_stored(const Conn& conn, Rollup r) {
    auto find = conn.prepare(fmt::format("SELECT {}, rowid FROM call_rollups WHERE hour = ? AND model_id IS ? AND tag IS ?",
                                         ROLLUP_COLUMNS));
    find->bind(1, r.hour);
    bind_optional(*find, 2, r.model_id);
    bind_optional(*find, 3, r.tag);
    if (find->executeStep()) {
        Rollup stored = _rollup(*find);
        std::int64_t rowid = find->getColumn(ROLLUP_COLUMN_COUNT).getInt64();
        find->reset();
        merge(stored, r);
        r = std::move(stored);
        auto drop = conn.prepare("DELETE FROM call_rollups WHERE rowid = ?");
        drop->bind(1, rowid);
        drop->exec();
    }
    _insert(conn, r);
}

// --- folding --------------------------------------------------------------------

// Where the rollups stand against the calls, from one snapshot.
struct _State {
    std::int64_t last_call = 0;           // the highest id in `calls`
    std::optional<std::int64_t> mark;     // the highest id folded in; none before the first fold
    bool stale = false;                   // folded calls were edited or deleted since
    bool triggers = false;                // both triggers are there
    bool every_edit = false;              // and they note edits of calls not folded yet too
    std::int64_t epoch = 0;
    bool current() const { return triggers && mark == last_call && !stale; }
};

_State _state(const Conn& conn) {
    auto q = conn.prepare(std::string("SELECT (SELECT IFNULL(MAX(id), 0) FROM calls), "
                                      "(SELECT last_id FROM call_rollups_mark), "
                                      "EXISTS (SELECT 1 FROM call_rollups_stale), "
                                      "(SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger' AND name IN ") +
                          TRIGGER_NAMES + "), " +
                          "(SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger' AND name IN " + TRIGGER_NAMES +
                          " AND sql NOT LIKE '%WHEN%'), "
                          "(SELECT IFNULL((SELECT epoch FROM call_rollups_epoch), 0))");
    q->executeStep();
    return {q->getColumn(0).getInt64(),    opt_int(q->getColumn(1)), q->getColumn(2).getInt() != 0,
            q->getColumn(3).getInt() == 2, q->getColumn(4).getInt() == 2, q->getColumn(5).getInt64()};
}

void _set_mark(const Conn& conn, std::int64_t id) {
    auto q = conn.prepare("INSERT OR REPLACE INTO call_rollups_mark (one, last_id) VALUES (1, ?)");
    q->bind(1, id);
    q->exec();
}

// Starts over: without both triggers (a `calls` table made anew drops them)
// or with a mark beyond the last call (calls removed behind our back, a
// ledger swapped for an older copy) the table cannot be trusted.
void _restart(const Conn& conn) {
    conn.exec("DELETE FROM call_rollups");
    conn.exec("DELETE FROM call_rollups_stale");
    clear_session_rollups(conn);
    for (const char* t : CREATE_TRIGGERS) conn.exec(t);
    _set_mark(conn, 0);
    conn.exec(NEW_EPOCH);
}

// Sums the hours that hold edited or deleted calls again, from the calls
// folded in so far.
void _redo_stale(const Conn& conn, std::int64_t mark) {
    std::set<double> stale, hours;
    {
        SQLite::Statement q(conn, "SELECT DISTINCT ts FROM call_rollups_stale");
        while (q.executeStep()) stale.insert(q.getColumn(0).getDouble());
    }
    for (double ts : stale) hours.insert(rollup_hour(ts));
    redo_session_days(conn, stale, mark);
    for (double hour : hours) {
        auto drop = conn.prepare("DELETE FROM call_rollups WHERE hour = ?");
        drop->bind(1, hour);
        drop->exec();
        auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE ts >= ? AND ts < ? AND id <= ?");
        q->bind(1, hour);
        q->bind(2, hour + ROLLUP_SECONDS);
        q->bind(3, mark);
        Rollups again;
        while (q->executeStep()) add_call(again, call_row(*q));
        for (const auto& r : rollup_rows(std::move(again))) _insert(conn, r);
    }
    conn.exec("DELETE FROM call_rollups_stale");
    conn.exec(NEW_EPOCH);
}

// The next calls to fold: at most FOLD_CHUNK of those after `mark`, and the
// id they reach.
struct _Chunk {
    std::vector<CallRow> rows;
    std::int64_t upto = 0;
};

_Chunk _read_chunk(const Conn& conn, std::int64_t mark, std::int64_t last_call) {
    auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE id > ? AND id <= ? ORDER BY id LIMIT ?");
    q->bind(1, mark);
    q->bind(2, last_call);
    q->bind(3, FOLD_CHUNK);
    _Chunk chunk{.rows = {}, .upto = mark};
    while (q->executeStep()) chunk.rows.push_back(call_row(*q));
    q.stmt->reset();
    // Only gaps left, or the chunk reaches the last call.
    if (chunk.rows.size() < static_cast<std::size_t>(FOLD_CHUNK)) chunk.upto = last_call;
    else chunk.upto = chunk.rows.back().id;
    return chunk;
}

void _store_chunk(const Conn& conn, const _Chunk& chunk) {
    Rollups sums;
    for (const CallRow& c : chunk.rows) add_call(sums, c);
    for (auto& r : rollup_rows(std::move(sums))) _add_stored(conn, std::move(r));
    fold_session_calls(conn, chunk.rows);
    _set_mark(conn, chunk.upto);
}

// BEGIN IMMEDIATE: the fold reads and then writes, and must not find another
// writer between the two.
struct _Writing {
    WriteLock lock;
    Conn conn;
    bool open = true;
    explicit _Writing(const Conn& c) : conn(c) { conn.exec("BEGIN IMMEDIATE"); }
    ~_Writing() {
        if (open) conn.db->tryExec("ROLLBACK");
    }
    void commit() {
        conn.exec("COMMIT");
        open = false;
    }
};

// The next chunk read in a snapshot where only new calls wait (no edits, no
// day of sessions to fold); none otherwise.
std::optional<_Chunk> _chunk_before_lock(const Conn& conn, const _State& s) {
    if (!s.triggers || !s.every_edit || !s.mark || *s.mark >= s.last_call || s.stale) return std::nullopt;
    return _read_chunk(conn, *s.mark, s.last_call);
}

// One step of bringing the rollups up to date; true when they are as of the
// step's start. The new calls are read before the write lock is taken, so
// that the proxy's inserts do not wait while thousands of rows are read;
// they are stored only if the lock finds the rollups where they were and no
// call edited or deleted since (the triggers would have noted it).
bool _fold_step(const Conn& conn) {
    _State before;
    std::optional<_Chunk> chunk;
    {
        Transaction reading(conn);
        before = _state(conn);
        bool days_behind = session_days_behind(conn);
        if (before.current() && !days_behind) return true;
        if (!days_behind) chunk = _chunk_before_lock(conn, before);
    }
    _Writing tx(conn);
    _State s = _state(conn);
    if (chunk && s.every_edit && s.mark == before.mark && s.epoch == before.epoch && !s.stale) {
        _store_chunk(conn, *chunk);
        tx.commit();
        return chunk->upto == before.last_call;
    }
    if (!s.triggers || !s.mark || *s.mark > s.last_call) {
        _restart(conn);
        s.mark = 0;
    }
    if (s.stale) _redo_stale(conn, *s.mark);
    bool done = *s.mark == s.last_call;
    if (!done) {
        _Chunk next = _read_chunk(conn, *s.mark, s.last_call);
        _store_chunk(conn, next);
        done = next.upto == s.last_call;
    }
    if (done && session_days_behind(conn)) {
        fold_session_day(conn, s.last_call);
        done = !session_days_behind(conn);
    }
    tx.commit();
    return done;
}

// Triggers of a ledger made before, which skip calls not folded yet, are
// made anew. The edits they skipped were never folded, so nothing is lost.
void _note_every_edit(const Conn& conn) {
    _State s = _state(conn);
    if (!s.triggers || s.every_edit) return;  // none yet: the first fold makes them
    conn.exec("DROP TRIGGER IF EXISTS call_rollups_delete");
    conn.exec("DROP TRIGGER IF EXISTS call_rollups_update");
    for (const char* t : CREATE_TRIGGERS) conn.exec(t);
}

// A ledger folded before the per-session rollups existed gets them with its
// mark removed, so that the next fold starts over and fills both.
void _create_tables(const std::string& path) {
    auto conn = connection(path);
    for (const char* t : CREATE_TABLES) conn.exec(t);
    _Writing tx(conn);
    if (create_session_rollups(conn)) conn.exec("DELETE FROM call_rollups_mark");
    _note_every_edit(conn);
    tx.commit();
}

// Runs `work` after making the tables once per file, and again after making
// them anew when some were dropped behind our back since.
template <class Work>
auto _with_tables(const std::string& path, Work work) {
    once_per_file(path, "call_rollups", [&] { _create_tables(path); });
    try {
        return work();
    } catch (const SQLite::Exception& e) {
        if (std::string_view(e.what()).find("no such table") == std::string_view::npos) throw;
        ensure_calls_schema(path);
        _create_tables(path);
        return work();
    }
}

void _fold(const std::string& path) {
    while (!_fold_step(connection(path))) {
    }
}

// The rollups from `since`: the stored hours after it, the calls of its own
// (partial) hour, and the calls appended after the mark, all from one
// snapshot.
// The id folded up to; 0 before the first fold.
std::int64_t _mark(const Conn& conn) {
    auto q = conn.prepare("SELECT IFNULL((SELECT last_id FROM call_rollups_mark), 0)");
    q->executeStep();
    return q->getColumn(0).getInt64();
}

// The rollups' epoch; none while edited or deleted calls wait to be folded.
std::optional<std::int64_t> _epoch(const Conn& conn) {
    auto q = conn.prepare("SELECT epoch FROM call_rollups_epoch WHERE NOT EXISTS (SELECT 1 FROM call_rollups_stale)");
    return q->executeStep() ? std::optional(q->getColumn(0).getInt64()) : std::nullopt;
}

std::vector<Rollup> _read(const Conn& conn, double since) {
    double first_full = rollup_hour(since) == since ? since : rollup_hour(since) + ROLLUP_SECONDS;
    Transaction reading(conn);
    Rollups all;
    std::int64_t mark = _mark(conn);
    {
        auto q = conn.prepare(fmt::format("SELECT {} FROM call_rollups WHERE hour >= ?", ROLLUP_COLUMNS));
        q->bind(1, first_full);
        while (q->executeStep()) merge(all, _rollup(*q));
    }
    auto raw = [&](const std::string& where, auto bind) {
        auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE " + where);
        bind(*q);
        while (q->executeStep()) add_call(all, call_row(*q));
    };
    raw("ts >= ? AND ts < ?", [&](SQLite::Statement& q) {
        q.bind(1, since);
        q.bind(2, first_full);
    });
    raw("id > ? AND ts >= ?", [&](SQLite::Statement& q) {
        q.bind(1, mark);
        q.bind(2, first_full);
    });
    return rollup_rows(std::move(all));
}

}  // namespace

std::vector<Rollup> SqliteCalls::rollups(double since) {
    ensure_calls_schema(path_);
    return _with_tables(path_, [&] {
        _fold(path_);
        return _read(connection(path_), since);
    });
}

std::shared_ptr<KeptSessions> make_kept_sessions() { return std::make_shared<KeptSessions>(); }

SessionPage SqliteCalls::sessions(double since, const std::optional<std::string>& tag,
                                  std::optional<std::int64_t> n) {
    ensure_calls_schema(path_);
    return _with_tables(path_, [&] {
        _fold(path_);
        auto conn = connection(path_);
        Transaction reading(conn);
        return read_session_rollups(conn, {since, _mark(conn), _epoch(conn), tag, n}, today_.get(),
                                    first_day_.get());
    });
}

std::vector<GroupTotals> SqliteCalls::session_rollups(double since) {
    return sessions(since, std::nullopt, std::nullopt).rows;
}

SessionPage SqliteCalls::top_sessions(double since, const std::optional<std::string>& tag, std::int64_t n) {
    return sessions(since, tag, n);
}

}  // namespace tokentally::store::sqlite
