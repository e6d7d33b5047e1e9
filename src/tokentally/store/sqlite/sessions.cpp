#include "tokentally/store/sqlite/sessions.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <map>
#include <set>

namespace tokentally::store::sqlite {

namespace {

constexpr const char* CREATE_TABLES[] = {
    // One row per session and tag, whose id is that of the session's first
    // call: a new session's row goes at the end of the table, and its row is
    // found again through the calls' own session index.
    R"(CREATE TABLE IF NOT EXISTS session_totals (
    id               INTEGER PRIMARY KEY,
    session_id       TEXT,
    tag              TEXT,
    calls            INTEGER NOT NULL,
    total_prompt     INTEGER,
    total_completion INTEGER,
    total_cost       REAL,
    latency_calls    INTEGER NOT NULL,
    latency_sum      REAL    NOT NULL,
    errors           INTEGER NOT NULL,
    first_call       REAL    NOT NULL,
    last_call        REAL    NOT NULL
))",
    // The range's sessions (how many) by their last call.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_last ON session_totals(last_call)",
    // Those begun before the range and still going in it: only sessions of
    // more than one call can be, which leaves out the millions of a proxy
    // whose clients send no session id.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_going ON session_totals(last_call, first_call) WHERE calls > 1",
    // Those begun in a stretch of time, for the hour a range starts in.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_first ON session_totals(first_call)",
    // The costliest sessions begun in each hour, ranked as the page ranks
    // them (board 0), and of each tag (board 1): the page reads these few.
    // An index of every session by cost served it too, but with a session
    // per call each insert landed on a random page, which cost the fold
    // more than everything else it does.
    R"(CREATE TABLE IF NOT EXISTS session_top (
    board      INTEGER NOT NULL,
    hour       REAL    NOT NULL,
    id         INTEGER NOT NULL,
    session_id TEXT,
    tag        TEXT,
    total_cost REAL
))",
    "CREATE INDEX IF NOT EXISTS idx_session_top ON session_top(board, hour)",
    // How many sessions began in each hour, of all tags and of each: a
    // month's count without walking millions of index entries.
    R"(CREATE TABLE IF NOT EXISTS session_hours (
    board    INTEGER NOT NULL,
    hour     REAL    NOT NULL,
    tag      TEXT,
    sessions INTEGER NOT NULL
))",
    "CREATE INDEX IF NOT EXISTS idx_session_hours ON session_hours(board, hour)",
};

// Sessions kept per hour on a board: the page's 50 rows and room for those
// summed from their calls instead. A longer page reads session_totals.
constexpr std::size_t BOARD_SIZE = 64;
enum Board : int { ALL_TAGS = 0, ONE_TAG = 1 };

constexpr const char* COLUMNS =
    "session_id, tag, calls, total_prompt, total_completion, total_cost, latency_calls, latency_sum, errors, "
    "first_call, last_call";

using Key = std::pair<std::optional<std::string>, std::optional<std::string>>;  // session, tag

struct Sums {
    std::int64_t calls = 0;
    std::optional<std::int64_t> prompt, completion;
    std::optional<double> cost;
    std::int64_t latency_calls = 0;
    double latency_sum = 0.0;
    std::int64_t errors = 0;
    double first = 0.0, last = 0.0;
};

// A session as a board ranks it.
struct Ranked {
    std::int64_t id = 0;
    Key key;
    std::optional<double> cost;
};

void _merge(Sums& into, const Sums& from) {
    into.first = into.calls == 0 ? from.first : std::min(into.first, from.first);
    into.last = into.calls == 0 ? from.last : std::max(into.last, from.last);
    into.calls += from.calls;
    add_sum(into.prompt, from.prompt);
    add_sum(into.completion, from.completion);
    add_sum(into.cost, from.cost);
    into.latency_calls += from.latency_calls;
    into.latency_sum += from.latency_sum;
    into.errors += from.errors;
}

Sums _one(const CallRow& c) {
    return {.calls = 1,
            .prompt = c.prompt_tokens,
            .completion = c.completion_tokens,
            .cost = c.cost_usd,
            .latency_calls = c.elapsed_s ? 1 : 0,
            .latency_sum = c.elapsed_s.value_or(0.0),
            .errors = c.status && *c.status >= 400 ? 1 : 0,
            .first = c.ts,
            .last = c.ts};
}

// Columns 2 .. 10 of COLUMNS (or of a statement laid out the same way).
Sums _read(const SQLite::Statement& q) {
    return {.calls = q.getColumn(2).getInt64(),
            .prompt = opt_int(q.getColumn(3)),
            .completion = opt_int(q.getColumn(4)),
            .cost = opt_real(q.getColumn(5)),
            .latency_calls = q.getColumn(6).getInt64(),
            .latency_sum = q.getColumn(7).isNull() ? 0.0 : q.getColumn(7).getDouble(),
            .errors = q.getColumn(8).getInt64(),
            .first = q.getColumn(9).getDouble(),
            .last = q.getColumn(10).getDouble()};
}

Key _key(const SQLite::Statement& q, int at) { return {opt_text(q.getColumn(at)), opt_text(q.getColumn(at + 1))}; }

void _bind_key(SQLite::Statement& q, int at, const Key& key) {
    bind_optional(q, at, key.first);
    bind_optional(q, at + 1, key.second);
}

// by_session's order: costliest first, without cost last, ties by session
// id and tag as bytes, none first.
bool _before(const std::optional<double>& cost_a, const Key& a, const std::optional<double>& cost_b, const Key& b) {
    if (cost_a.has_value() != cost_b.has_value()) return cost_a.has_value();
    if (cost_a && *cost_a != *cost_b) return *cost_a > *cost_b;
    return a < b;
}

bool _ranks_before(const Ranked& a, const Ranked& b) { return _before(a.cost, a.key, b.cost, b.key); }

bool _of_tag(const Key& key, const std::optional<std::string>& tag) { return !tag || key.second == tag; }

// --- rows of session_totals -----------------------------------------------------

// The id of the row of `key`: that of its first call, when it has one at
// or below `mark` (folded already); none for a session new since.
std::optional<std::int64_t> _row_id(const Conn& conn, const Key& key, std::int64_t mark) {
    auto q = conn.prepare("SELECT id FROM calls WHERE session_id IS ?1 AND tag IS ?2 AND id <= ?3 ORDER BY id LIMIT 1");
    _bind_key(*q, 1, key);
    q->bind(3, mark);
    if (!q->executeStep()) return std::nullopt;
    return q->getColumn(0).getInt64();
}

std::optional<Sums> _stored(const Conn& conn, std::int64_t id) {
    auto q = conn.prepare(std::string("SELECT ") + COLUMNS + " FROM session_totals WHERE id = ?");
    q->bind(1, id);
    if (!q->executeStep()) return std::nullopt;
    return _read(*q);
}

void _write(const Conn& conn, std::int64_t id, const Key& key, const Sums& s) {
    auto q = conn.prepare(std::string("INSERT OR REPLACE INTO session_totals (id, ") + COLUMNS +
                          ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    q->bind(1, id);
    _bind_key(*q, 2, key);
    q->bind(4, s.calls);
    bind_optional(*q, 5, s.prompt);
    bind_optional(*q, 6, s.completion);
    bind_optional(*q, 7, s.cost);
    q->bind(8, s.latency_calls);
    q->bind(9, s.latency_sum);
    q->bind(10, s.errors);
    q->bind(11, s.first);
    q->bind(12, s.last);
    q->exec();
}

GroupTotals _totals(const Key& key, const Sums& s) {
    GroupTotals t;
    t.key = key.first;
    t.tag = key.second;
    t.calls = s.calls;
    t.total_prompt = s.prompt ? Total(*s.prompt) : Total();
    t.total_completion = s.completion ? Total(*s.completion) : Total();
    t.total_cost = s.cost;
    if (s.latency_calls > 0) t.avg_latency = s.latency_sum / static_cast<double>(s.latency_calls);
    t.first_call = s.first;
    t.last_call = s.last;
    t.errors = s.errors;
    return t;
}

// --- the boards ------------------------------------------------------------------

// One board of one hour; `tag` only for ONE_TAG.
struct BoardKey {
    Board board;
    double hour;
    std::optional<std::string> tag;
    auto operator<=>(const BoardKey&) const = default;
};

BoardKey _board_of(Board b, double first_call, const Key& key) {
    return {b, rollup_hour(first_call), b == ONE_TAG ? key.second : std::nullopt};
}

std::vector<Ranked> _ranked(SQLite::Statement& q) {
    std::vector<Ranked> out;
    while (q.executeStep()) out.push_back({q.getColumn(0).getInt64(), _key(q, 1), opt_real(q.getColumn(3))});
    return out;
}

// Binds ?1, ?2 and ?3 of a statement that names one board as "board = ?1
// AND hour = ?2 AND (?1 = 0 OR tag IS ?3)".
void _bind_board(SQLite::Statement& q, const BoardKey& b) {
    q.bind(1, static_cast<int>(b.board));
    q.bind(2, b.hour);
    bind_optional(q, 3, b.tag);
}

std::vector<Ranked> _board(const Conn& conn, const BoardKey& b) {
    auto q = conn.prepare(
        "SELECT id, session_id, tag, total_cost FROM session_top WHERE board = ?1 AND hour = ?2 AND "
        "(?1 = 0 OR tag IS ?3)");
    _bind_board(*q, b);
    return _ranked(*q);
}

// The board as it would be made afresh from session_totals.
std::vector<Ranked> _scan_board(const Conn& conn, const BoardKey& b) {
    auto q = conn.prepare(
        "SELECT id, session_id, tag, total_cost FROM session_totals WHERE first_call >= ?2 AND first_call < ?4 AND "
        "(?1 = 0 OR tag IS ?3) ORDER BY total_cost DESC, session_id, tag LIMIT ?5");
    _bind_board(*q, b);
    q->bind(4, b.hour + ROLLUP_SECONDS);
    q->bind(5, static_cast<std::int64_t>(BOARD_SIZE));
    return _ranked(*q);
}

void _write_board(const Conn& conn, const BoardKey& b, const std::vector<Ranked>& entries) {
    auto drop = conn.prepare("DELETE FROM session_top WHERE board = ?1 AND hour = ?2 AND (?1 = 0 OR tag IS ?3)");
    _bind_board(*drop, b);
    drop->exec();
    auto add = conn.prepare(
        "INSERT INTO session_top (board, hour, id, session_id, tag, total_cost) VALUES (?, ?, ?, ?, ?, ?)");
    for (const Ranked& r : entries) {
        add->bind(1, static_cast<int>(b.board));
        add->bind(2, b.hour);
        add->bind(3, r.id);
        _bind_key(*add, 4, r.key);
        bind_optional(*add, 6, r.cost);
        add->exec();
        add->reset();
    }
}

// A board holds the costliest BOARD_SIZE sessions of its hour (all of them
// when fewer), so a session that only grew either takes its place on it or
// stays off. One that shrank (a call of negative cost) or moved to another
// hour (a call earlier than its first) may let one off the board back on:
// those boards are made afresh.
struct BoardChanges {
    std::map<BoardKey, std::vector<Ranked>> grown;
    std::set<BoardKey> remade;
    std::map<BoardKey, std::int64_t> begun;  // sessions begun in the hour, more or fewer
};

void _count_begun(const Conn& conn, const BoardKey& b, std::int64_t more) {
    auto up = conn.prepare(
        "UPDATE session_hours SET sessions = sessions + ?4 WHERE board = ?1 AND hour = ?2 AND (?1 = 0 OR tag IS ?3)");
    auto in = conn.prepare("INSERT INTO session_hours (board, hour, tag, sessions) VALUES (?1, ?2, ?3, ?4)");
    for (SQLite::Statement* q : {up.stmt, in.stmt}) {
        _bind_board(*q, b);
        q->bind(4, more);
    }
    if (up->exec() == 0) in->exec();
}

void _apply(const Conn& conn, const BoardChanges& changes) {
    for (const auto& [b, grown] : changes.grown) {
        if (changes.remade.contains(b)) continue;
        std::set<std::int64_t> ids;
        for (const Ranked& g : grown) ids.insert(g.id);
        std::vector<Ranked> entries = _board(conn, b);
        std::erase_if(entries, [&](const Ranked& e) { return ids.contains(e.id); });
        entries.insert(entries.end(), grown.begin(), grown.end());
        std::size_t keep = std::min(entries.size(), BOARD_SIZE);
        std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keep), entries.end(),
                          _ranks_before);
        entries.resize(keep);
        _write_board(conn, b, entries);
    }
    for (const BoardKey& b : changes.remade) _write_board(conn, b, _scan_board(conn, b));
    for (const auto& [b, more] : changes.begun)
        if (more != 0) _count_begun(conn, b, more);
}

// --- reading a range ---------------------------------------------------------------

// The sessions whose row does not hold exactly the range's calls: those
// with calls not folded yet, and those begun before the range and still
// going in it (`going` counts these). The second half of each pair says
// whether the row, if any, already counts among the range's sessions.
// `folded` is the number of calls their rows hold: what reading them
// session by session would cost.
std::map<Key, bool> _summed_from_calls(const Conn& conn, double since, std::int64_t mark,
                                       const std::optional<std::string>& tag, std::int64_t& going,
                                       std::int64_t& folded) {
    std::map<Key, bool> out;
    {
        // NOT INDEXED: the calls after the mark are few, found by id; for the
        // DISTINCT the planner would otherwise walk the whole session index
        // (a second at 10M calls).
        auto q = conn.prepare("SELECT DISTINCT session_id, tag FROM calls NOT INDEXED WHERE id > ?");
        q->bind(1, mark);
        while (q->executeStep()) {
            Key key = _key(*q, 0);
            if (_of_tag(key, tag)) out.emplace(std::move(key), false);
        }
    }
    for (auto& [key, counted] : out) {
        std::optional<std::int64_t> id = _row_id(conn, key, mark);
        std::optional<Sums> row = id ? _stored(conn, *id) : std::nullopt;
        counted = row && row->last >= since;
        if (row) folded += row->calls;
    }
    auto q = conn.prepare(
        "SELECT session_id, tag, calls FROM session_totals INDEXED BY idx_session_totals_going "
        "WHERE last_call >= ?1 AND first_call < ?1 AND calls > 1");
    q->bind(1, since);
    while (q->executeStep()) {
        Key key = _key(*q, 0);
        if (!_of_tag(key, tag)) continue;
        auto [it, made] = out.insert_or_assign(std::move(key), true);
        if (made) folded += q->getColumn(2).getInt64();
        ++going;
    }
    return out;
}

constexpr const char* RANGE_SUMS = R"(SELECT session_id, tag, COUNT(*), SUM(prompt_tokens), SUM(completion_tokens),
    SUM(cost_usd), COUNT(elapsed_s), TOTAL(elapsed_s), SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END), MIN(ts), MAX(ts)
FROM calls )";

// Roughly how many calls the range holds: the ids from its first call to
// the last (exact when ids follow time and nothing was deleted).
std::int64_t _calls_since(const Conn& conn, double since) {
    auto q = conn.prepare(
        "SELECT IFNULL((SELECT MAX(id) FROM calls), 0) - "
        "IFNULL((SELECT id FROM calls INDEXED BY idx_calls_ts WHERE ts >= ?1 ORDER BY ts LIMIT 1), 0)");
    q->bind(1, since);
    q->executeStep();
    return q->getColumn(0).getInt64();
}

void _assign(std::optional<std::string>& to, const SQLite::Column& from) {
    if (from.isNull())
        to.reset();
    else if (to)
        to->assign(from.getText(), static_cast<std::size_t>(from.getBytes()));
    else
        to.emplace(from.getText(), static_cast<std::size_t>(from.getBytes()));
}

// A call found through the session index costs about this many read in
// time order (each is a jump to its own page of the table).
constexpr std::int64_t RANDOM_READ_COST = 8;

// The calls of `keys` from `since` on, per session. Session by session
// through the calls' session index, which reads each session whole (a long
// one's months of calls), unless that costs more than one pass over the
// range's calls in time order (a GROUP BY of the range would sort them all).
std::map<Key, Sums> _range_sums(const Conn& conn, const std::map<Key, bool>& keys, double since, std::int64_t folded) {
    std::map<Key, Sums> out;
    if (keys.empty()) return out;
    if (folded * RANDOM_READ_COST > _calls_since(conn, since)) {
        auto q = conn.prepare(
            "SELECT session_id, tag, prompt_tokens, completion_tokens, cost_usd, elapsed_s, status, ts "
            "FROM calls INDEXED BY idx_calls_ts WHERE ts >= ?1");
        q->bind(1, since);
        Key key;  // assigned in place: no allocation per call
        while (q->executeStep()) {
            _assign(key.first, q->getColumn(0));
            _assign(key.second, q->getColumn(1));
            if (!keys.contains(key)) continue;
            CallRow c{.ts = q->getColumn(7).getDouble(),
                      .prompt_tokens = opt_int(q->getColumn(2)),
                      .completion_tokens = opt_int(q->getColumn(3)),
                      .cost_usd = opt_real(q->getColumn(4)),
                      .elapsed_s = opt_real(q->getColumn(5)),
                      .status = opt_int(q->getColumn(6))};
            _merge(out[key], _one(c));
        }
        return out;
    }
    auto q = conn.prepare(std::string(RANGE_SUMS) + "WHERE session_id IS ?1 AND tag IS ?2 AND ts >= ?3");
    for (const auto& [key, counted] : keys) {
        q->reset();
        _bind_key(*q, 1, key);
        q->bind(3, since);
        q->executeStep();
        if (q->getColumn(2).getInt64() > 0) out[key] = _read(*q);
    }
    return out;
}

// The sessions begun from `since` on: those of the whole hours from `from`
// on (counted per hour) and of the hour before them.
std::int64_t _begun_in_range(const Conn& conn, double since, double from, const std::optional<std::string>& tag) {
    auto q = conn.prepare(
        "SELECT IFNULL((SELECT SUM(sessions) FROM session_hours WHERE board = ?1 AND hour >= ?3 AND "
        "(?1 = 0 OR tag IS ?4)), 0) + "
        "(SELECT COUNT(*) FROM session_totals WHERE first_call >= ?2 AND first_call < ?3 AND (?4 IS NULL OR tag = "
        "?4))");
    q->bind(1, static_cast<int>(tag ? ONE_TAG : ALL_TAGS));
    q->bind(2, since);
    q->bind(3, from);
    bind_optional(*q, 4, tag);
    q->executeStep();
    return q->getColumn(0).getInt64();
}

// Up to `limit` rows of the sessions begun from `since` to before `until`,
// in the page's order, leaving out those in `skip`.
void _page_rows(const Conn& conn, double since, double until, const std::optional<std::string>& tag, std::int64_t limit,
                const std::map<Key, bool>& skip, std::vector<GroupTotals>& out) {
    std::string sql = std::string("SELECT ") + COLUMNS +
                      " FROM session_totals WHERE first_call >= ? AND first_call < ?" + (tag ? " AND tag = ?" : "") +
                      " ORDER BY total_cost DESC, session_id, tag LIMIT ?";
    auto q = conn.prepare(sql);
    int at = 1;
    q->bind(at++, since);
    q->bind(at++, until);
    if (tag) q->bind(at++, *tag);
    q->bind(at, limit);
    while (q->executeStep()) {
        Key key = _key(*q, 0);
        if (!skip.contains(key)) out.push_back(_totals(key, _read(*q)));
    }
}

// The first `n` sessions begun in the whole hours from `from` on, read from
// the boards; none when a board, less those in `skip`, may be short of them.
std::optional<std::vector<GroupTotals>> _board_rows(const Conn& conn, double from,
                                                    const std::optional<std::string>& tag, std::size_t n,
                                                    const std::map<Key, bool>& skip) {
    if (n > BOARD_SIZE) return std::nullopt;
    auto q = conn.prepare(
        "SELECT id, session_id, tag, total_cost, hour FROM session_top WHERE board = ?1 AND hour >= ?2 AND "
        "(?1 = 0 OR tag IS ?3) ORDER BY hour");
    q->bind(1, static_cast<int>(tag ? ONE_TAG : ALL_TAGS));
    q->bind(2, from);
    bind_optional(*q, 3, tag);
    std::vector<Ranked> kept;
    std::map<double, std::pair<std::size_t, std::size_t>> per_hour;  // on the board, kept
    while (q->executeStep()) {
        Ranked r{q->getColumn(0).getInt64(), _key(*q, 1), opt_real(q->getColumn(3))};
        auto& [on_board, of_them_kept] = per_hour[q->getColumn(4).getDouble()];
        ++on_board;
        if (skip.contains(r.key)) continue;
        ++of_them_kept;
        kept.push_back(std::move(r));
    }
    for (const auto& [hour, counts] : per_hour)
        if (counts.first == BOARD_SIZE && counts.second < n) return std::nullopt;
    std::size_t take = std::min(n, kept.size());
    std::partial_sort(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(take), kept.end(), _ranks_before);
    std::vector<GroupTotals> out;
    for (std::size_t i = 0; i < take; ++i) {
        std::optional<Sums> s = _stored(conn, kept[i].id);
        assert(s && "a board names a session without a row");
        if (s) out.push_back(_totals(kept[i].key, *s));
    }
    return out;
}

}  // namespace

bool create_session_totals(const Conn& conn) {
    // Rows of an earlier layout (keyed by session, without boards) are
    // folded again in this one.
    bool missing =
        !has_table(conn, "session_hours") || !has_table(conn, "session_top") || !has_table(conn, "session_totals");
    if (missing)
        conn.exec(
            "DROP TABLE IF EXISTS session_totals; DROP TABLE IF EXISTS session_top; DROP TABLE IF EXISTS "
            "session_hours;");
    for (const char* sql : CREATE_TABLES) conn.exec(sql);
    return missing;
}

void clear_session_totals(const Conn& conn) {
    conn.exec("DELETE FROM session_totals; DELETE FROM session_top; DELETE FROM session_hours;");
}

void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls, std::int64_t mark) {
    std::map<Key, std::pair<std::int64_t, Sums>> sums;  // the key's first id among `calls`, their sums
    for (const CallRow& c : calls) {
        auto [it, made] = sums.try_emplace({c.session_id, c.tag}, c.id, Sums{});
        _merge(it->second.second, _one(c));
    }
    BoardChanges changes;
    for (const auto& [key, at] : sums) {
        const auto& [first_id, add] = at;
        std::optional<std::int64_t> id = _row_id(conn, key, mark);
        std::optional<Sums> old = id ? _stored(conn, *id) : std::nullopt;
        Sums total = old.value_or(Sums{});
        _merge(total, add);
        _write(conn, id.value_or(first_id), key, total);
        for (Board b : {ALL_TAGS, ONE_TAG}) {
            BoardKey now = _board_of(b, total.first, key);
            std::optional<BoardKey> was = old ? std::optional(_board_of(b, old->first, key)) : std::nullopt;
            if (was != now) {  // new, or moved to another hour
                ++changes.begun[now];
                if (was) {
                    --changes.begun[*was];
                    changes.remade.insert(*was);
                }
            }
            if (add.cost && *add.cost < 0)
                changes.remade.insert(now);
            else
                changes.grown[now].push_back({id.value_or(first_id), key, total.cost});
        }
    }
    _apply(conn, changes);
}

SessionPage read_sessions(const Conn& conn, double since, std::int64_t mark, const std::optional<std::string>& tag,
                          std::int64_t n) {
    SessionPage page;
    std::int64_t going = 0, folded = 0;
    std::map<Key, bool> redo = _summed_from_calls(conn, since, mark, tag, going, folded);
    double from = rollup_hour(since) == since ? since : rollup_hour(since) + ROLLUP_SECONDS;
    page.total = _begun_in_range(conn, since, from, tag) + going;
    for (const auto& [key, s] : _range_sums(conn, redo, since, folded)) {
        if (!redo.at(key)) ++page.total;
        page.rows.push_back(_totals(key, s));
    }
    if (n <= 0) {
        page.rows.clear();
        return page;
    }
    // A page asks for a few more rows than it shows, for those summed from the calls instead.
    constexpr std::int64_t ALL = std::numeric_limits<std::int64_t>::max();
    constexpr double END = std::numeric_limits<double>::infinity();
    auto extra = static_cast<std::int64_t>(redo.size());
    std::int64_t limit = n > ALL - extra ? -1 : n + extra;
    auto boards = _board_rows(conn, from, tag, static_cast<std::size_t>(n), redo);
    if (boards) {
        _page_rows(conn, since, from, tag, limit, redo, page.rows);  // the hour the range starts in
        page.rows.insert(page.rows.end(), boards->begin(), boards->end());
    } else {
        _page_rows(conn, since, END, tag, limit, redo, page.rows);
    }
    std::sort(page.rows.begin(), page.rows.end(), [](const GroupTotals& a, const GroupTotals& b) {
        return _before(a.total_cost, {a.key, a.tag}, b.total_cost, {b.key, b.tag});
    });
    if (static_cast<std::int64_t>(page.rows.size()) > n) page.rows.resize(static_cast<std::size_t>(n));
    return page;
}

}  // namespace tokentally::store::sqlite
