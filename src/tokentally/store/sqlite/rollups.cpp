// The hourly rollups of `calls` in ledger.db (table `call_rollups`) and the
// sessions beside them (sessions.cpp), kept off the proxy's path: a call's
// insert does not touch them. Each read first folds in the calls appended
// since the last fold (those with an id above the mark: SQLite hands out ids
// in commit order under its write lock), in short transactions. They learn
// of edits the way every figure derived from the calls does: the mark holds
// the count of edits it was folded under, and when the ledger's count moved
// (a call updated or deleted by anyone) they are folded again from the start.
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/db.hpp"
#include "tokentally/store/sqlite/sessions.hpp"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <string_view>

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
    // The last call folded in, and the ledger's count of edits then.
    ("CREATE TABLE IF NOT EXISTS rollups_mark (one INTEGER PRIMARY KEY CHECK (one = 1), last_id INTEGER NOT NULL, "
     "edits INTEGER NOT NULL)"),
};

// What earlier versions kept to learn of edits (a table of edited times, an
// epoch, their triggers) and their per-day sessions: the rollups of such a
// ledger are folded again once, under the one signal.
constexpr const char* DROP_OBSOLETE = R"(
DROP TRIGGER IF EXISTS call_rollups_delete; DROP TRIGGER IF EXISTS call_rollups_update;
DROP TABLE IF EXISTS call_rollups_stale; DROP TABLE IF EXISTS call_rollups_epoch;
DROP TABLE IF EXISTS call_rollups_mark;
DROP TABLE IF EXISTS session_rollups; DROP TABLE IF EXISTS session_rollups_through;)";

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

// Calls `each` with the parts of every comma-separated item of `text` that
// splits at `sep` into exactly N parts; other items are skipped. Views into
// the text, no copies: a month of rollups holds some 400,000 latency bins,
// and splitting them into strings took half of a 30-day read.
template <std::size_t N, class Each>
void _each_item(std::string_view text, char sep, Each each) {
    while (!text.empty()) {
        std::size_t end = std::min(text.find(','), text.size());
        std::string_view item = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        std::array<std::string_view, N> parts;
        std::size_t n = 0;
        for (std::size_t at; n < N && (at = item.find(sep)) != std::string_view::npos; ++n) {
            parts[n] = item.substr(0, at);
            item.remove_prefix(at + 1);
        }
        if (n + 1 != N) continue;
        parts[n] = item;
        each(parts);
    }
}

// The number at the start of `s` (0 when there is none), as strtoll and
// strtod read it.
template <class T>
T _number(std::string_view s) {
    T value{};
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

void _read_lists(Rollup& r, std::string_view classes, std::string_view latency) {
    _each_item<2>(classes, '=', [&](const auto& it) {
        r.status_classes.emplace_back(std::string(it[0]), _number<std::int64_t>(it[1]));
    });
    _each_item<3>(latency, ':', [&](const auto& it) {
        r.latency.push_back({_number<int>(it[0]), _number<std::int64_t>(it[1]), _number<double>(it[2])});
    });
}

std::string_view _text_view(const SQLite::Column& col) {
    return {col.getText(), static_cast<std::size_t>(col.getBytes())};
}

// --- rows of the table ----------------------------------------------------------

Rollup _rollup(const SQLite::Statement& q, bool lists = true) {
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
    if (lists) _read_lists(r, _text_view(q.getColumn(10)), _text_view(q.getColumn(14)));
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
    auto find = conn.prepare(fmt::format(
        "SELECT {}, rowid FROM call_rollups WHERE hour = ? AND model_id IS ? AND tag IS ?", ROLLUP_COLUMNS));
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
struct WriterState {
    std::int64_t last_call = 0;        // the highest id in `calls`
    std::int64_t edits = 0;            // the ledger's count of edits
    std::optional<std::int64_t> mark;  // the last call folded in; none before the first fold
    std::int64_t mark_edits = 0;       // the count of edits the rollups were folded under
    // Folded under another count of edits, or beyond the last call (calls
    // gone behind our back): the rollups cannot be trusted.
    bool stale() const { return mark && (mark_edits != edits || *mark > last_call); }
    bool current() const { return mark && !stale() && *mark == last_call; }
};

WriterState _state(const Conn& conn) {
    auto q = conn.prepare(
        "SELECT IFNULL((SELECT MAX(id) FROM calls), 0), IFNULL((SELECT n FROM calls_edits), 0), "
        "(SELECT last_id FROM rollups_mark), IFNULL((SELECT edits FROM rollups_mark), 0)");
    q->executeStep();
    return {q->getColumn(0).getInt64(), q->getColumn(1).getInt64(), opt_int(q->getColumn(2)),
            q->getColumn(3).getInt64()};
}

void _set_mark(const Conn& conn, std::int64_t id, std::int64_t edits) {
    auto q = conn.prepare("INSERT OR REPLACE INTO rollups_mark (one, last_id, edits) VALUES (1, ?, ?)");
    q->bind(1, id);
    q->bind(2, edits);
    q->exec();
}

// Starts over from the first call.
void _restart(const Conn& conn, const WriterState& s) {
    conn.exec("DELETE FROM call_rollups");
    clear_session_totals(conn);
    _set_mark(conn, 0, s.edits);
}

// The next calls to fold: at most FOLD_CHUNK of those after `mark`, and the
// id they reach.
struct Chunk {
    std::vector<CallRow> rows;
    std::int64_t upto = 0;
};

Chunk _read_chunk(const Conn& conn, std::int64_t mark, std::int64_t last_call) {
    auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE id > ? AND id <= ? ORDER BY id LIMIT ?");
    q->bind(1, mark);
    q->bind(2, last_call);
    q->bind(3, FOLD_CHUNK);
    Chunk chunk{.rows = {}, .upto = mark};
    while (q->executeStep()) chunk.rows.push_back(call_row(*q));
    q.stmt->reset();
    // Only gaps left, or the chunk reaches the last call.
    if (chunk.rows.size() < static_cast<std::size_t>(FOLD_CHUNK))
        chunk.upto = last_call;
    else
        chunk.upto = chunk.rows.back().id;
    return chunk;
}

void _store_chunk(const Conn& conn, const Chunk& chunk, std::int64_t mark, std::int64_t edits) {
    Rollups sums;
    for (const CallRow& c : chunk.rows) add_call(sums, c);
    for (auto& r : rollup_rows(std::move(sums))) _add_stored(conn, std::move(r));
    fold_session_calls(conn, chunk.rows, mark);
    _set_mark(conn, chunk.upto, edits);
}

// BEGIN IMMEDIATE: the fold reads and then writes, and must not find another
// writer between the two.
struct Writing {
    WriteLock lock;
    Conn conn;
    bool open = true;
    explicit Writing(const Conn& c) : conn(c) { conn.exec("BEGIN IMMEDIATE"); }
    ~Writing() {
        if (open) conn.db->tryExec("ROLLBACK");
    }
    void commit() {
        conn.exec("COMMIT");
        open = false;
    }
};

// One step of bringing the rollups up to date; true when they are as of the
// step's start. The new calls are read before the write lock is taken, so
// that the proxy's inserts do not wait while thousands of rows are read;
// they are stored only if the lock finds the mark and the count of edits
// where they were.
bool _fold_step(const Conn& conn) {
    WriterState before;
    std::optional<Chunk> chunk;
    {
        Transaction reading(conn);
        before = _state(conn);
        if (before.current()) return true;
        if (before.mark && !before.stale()) chunk = _read_chunk(conn, *before.mark, before.last_call);
    }
    Writing tx(conn);
    WriterState s = _state(conn);
    if (chunk && s.mark == before.mark && s.edits == before.edits && s.mark_edits == before.mark_edits) {
        _store_chunk(conn, *chunk, *s.mark, s.edits);
        tx.commit();
        return chunk->upto == before.last_call;
    }
    if (!s.mark || s.stale()) {
        _restart(conn, s);
        s.mark = 0;
    }
    Chunk next = _read_chunk(conn, *s.mark, s.last_call);
    _store_chunk(conn, next, *s.mark, s.edits);
    tx.commit();
    return next.upto == s.last_call;
}

// The tables, and a ledger of an earlier version made current: its mark and
// edit notes go, so that the next fold starts over under the one signal.
void _create_tables(const std::string& path) {
    auto conn = connection(path);
    Writing tx(conn);
    conn.exec(DROP_OBSOLETE);
    for (const char* t : CREATE_TABLES) conn.exec(t);
    if (create_session_totals(conn)) conn.exec("DELETE FROM rollups_mark");
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
        if (!no_such_table(e)) throw;
        ensure_calls_schema(path);
        _create_tables(path);
        return work();
    }
}

void _fold(const std::string& path) {
    while (!_fold_step(connection(path))) {}
}

// The id folded up to; 0 before the first fold.
std::int64_t _mark(const Conn& conn) {
    auto q = conn.prepare("SELECT IFNULL((SELECT last_id FROM rollups_mark), 0)");
    q->executeStep();
    return q->getColumn(0).getInt64();
}

// The rollups from `since`: the stored hours after it, the calls of its own
// (partial) hour, and the calls appended after the mark, all from one
// snapshot. Summed over the hours as they are read unless `how.per_hour`:
// a month of hours is some 15,000 rows on a busy ledger, and the summary
// wants a few dozen sums.
std::vector<Rollup> _read(const Conn& conn, double since, RollupRead how) {
    double first_full = rollup_hour(since) == since ? since : rollup_hour(since) + ROLLUP_SECONDS;
    Transaction reading(conn);
    Rollups all;
    std::int64_t mark = _mark(conn);
    {
        auto q = conn.prepare(fmt::format("SELECT {} FROM call_rollups WHERE hour >= ?", ROLLUP_COLUMNS));
        q->bind(1, first_full);
        while (q->executeStep()) {
            Rollup r = _rollup(*q, how.lists);
            if (!how.per_hour) r.hour = 0.0;
            merge(all, std::move(r));
        }
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
    // The ids narrow this read to a few calls; `+ts` keeps SQLite's planner,
    // which has no statistics, from walking the ts index over the whole
    // range instead (a month of calls on a large ledger).
    raw("id > ? AND +ts >= ?", [&](SQLite::Statement& q) {
        q.bind(1, mark);
        q.bind(2, first_full);
    });
    std::vector<Rollup> rows = rollup_rows(std::move(all));
    return how.per_hour ? rows : rollup_rows(over_hours(rows, false));
}

}  // namespace

std::vector<Rollup> SqliteCalls::rollups(double since, RollupRead how) {
    ensure_calls_schema(path_);
    return _with_tables(path_, [&] {
        _fold(path_);
        return _read(connection(path_), since, how);
    });
}

SessionPage SqliteCalls::top_sessions(double since, const std::optional<std::string>& tag, std::int64_t n) {
    ensure_calls_schema(path_);
    return _with_tables(path_, [&] {
        _fold(path_);
        auto conn = connection(path_);
        Transaction reading(conn);
        return read_sessions(conn, since, _mark(conn), tag, n);
    });
}

}  // namespace tokentally::store::sqlite
