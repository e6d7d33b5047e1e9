#include "tokentally/store/sqlite/sessions.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace tokentally::store::sqlite {

namespace {

constexpr const char* CREATE_TABLE = R"(CREATE TABLE IF NOT EXISTS session_totals (
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
))";

constexpr const char* CREATE_INDEXES[] = {
    // A session's row, found to add calls to it.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_key ON session_totals(session_id, tag)",
    // The range's sessions (how many) by their last call.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_last ON session_totals(last_call)",
    // Those begun before the range and still going in it: only sessions of
    // more than one call can be, which leaves out the millions of a proxy
    // whose clients send no session id.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_going ON session_totals(last_call, first_call) WHERE calls > 1",
    // The page, in by_session's order.
    "CREATE INDEX IF NOT EXISTS idx_session_totals_cost ON session_totals(total_cost DESC, session_id, tag)",
};

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

void _bind_key(SQLite::Statement& q, int at, const Key& key) {
    bind_optional(q, at, key.first);
    bind_optional(q, at + 1, key.second);
}

// Adds `s` to the row of `key`, or stores it.
void _store(const Conn& conn, const Key& key, const Sums& s) {
    auto bind = [&](SQLite::Statement& q) {
        q.bind(1, s.calls);
        bind_optional(q, 2, s.prompt);
        bind_optional(q, 3, s.completion);
        bind_optional(q, 4, s.cost);
        q.bind(5, s.latency_calls);
        q.bind(6, s.latency_sum);
        q.bind(7, s.errors);
        q.bind(8, s.first);
        q.bind(9, s.last);
        _bind_key(q, 10, key);
    };
    auto up = conn.prepare(R"(UPDATE session_totals SET calls = calls + ?1,
    total_prompt = CASE WHEN ?2 IS NULL THEN total_prompt ELSE IFNULL(total_prompt, 0) + ?2 END,
    total_completion = CASE WHEN ?3 IS NULL THEN total_completion ELSE IFNULL(total_completion, 0) + ?3 END,
    total_cost = CASE WHEN ?4 IS NULL THEN total_cost ELSE IFNULL(total_cost, 0) + ?4 END,
    latency_calls = latency_calls + ?5, latency_sum = latency_sum + ?6, errors = errors + ?7,
    first_call = MIN(first_call, ?8), last_call = MAX(last_call, ?9)
WHERE session_id IS ?10 AND tag IS ?11)");
    bind(*up);
    if (up->exec() > 0) return;
    auto in = conn.prepare(
        "INSERT INTO session_totals (calls, total_prompt, total_completion, total_cost, "
        "latency_calls, latency_sum, errors, first_call, last_call, session_id, tag) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    bind(*in);
    in->exec();
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

// by_session's order: costliest first, without cost last, ties by session
// id and tag as bytes, none first.
bool _before(const GroupTotals& a, const GroupTotals& b) {
    if (a.total_cost.has_value() != b.total_cost.has_value()) return a.total_cost.has_value();
    if (a.total_cost && *a.total_cost != *b.total_cost) return *a.total_cost > *b.total_cost;
    if (a.key != b.key) return a.key < b.key;
    return a.tag < b.tag;
}

bool _of_tag(const Key& key, const std::optional<std::string>& tag) { return !tag || key.second == tag; }

// The sessions whose row does not hold exactly the range's calls: those
// with calls not folded yet, and those begun before the range and still
// going in it. The second half of each pair says whether the row, if any,
// already counts among the range's sessions.
std::map<Key, bool> _summed_from_calls(const Conn& conn, double since, std::int64_t mark,
                                       const std::optional<std::string>& tag) {
    std::map<Key, bool> out;
    {
        // NOT INDEXED: the calls after the mark are few, found by id; for the
        // DISTINCT the planner would otherwise walk the whole session index
        // (a second at 10M calls).
        auto q = conn.prepare("SELECT DISTINCT session_id, tag FROM calls NOT INDEXED WHERE id > ?");
        q->bind(1, mark);
        while (q->executeStep()) {
            Key key{opt_text(q->getColumn(0)), opt_text(q->getColumn(1))};
            if (_of_tag(key, tag)) out.emplace(std::move(key), false);
        }
    }
    for (auto& [key, counted] : out) {
        auto q = conn.prepare("SELECT last_call FROM session_totals WHERE session_id IS ? AND tag IS ?");
        _bind_key(*q, 1, key);
        counted = q->executeStep() && q->getColumn(0).getDouble() >= since;
    }
    auto q = conn.prepare(
        "SELECT session_id, tag FROM session_totals INDEXED BY idx_session_totals_going "
        "WHERE last_call >= ?1 AND first_call < ?1 AND calls > 1");
    q->bind(1, since);
    while (q->executeStep()) {
        Key key{opt_text(q->getColumn(0)), opt_text(q->getColumn(1))};
        if (_of_tag(key, tag)) out[std::move(key)] = true;
    }
    return out;
}

// The calls of one session from `since` on.
Sums _range_sums(const Conn& conn, const Key& key, double since) {
    auto q = conn.prepare(R"(SELECT session_id, tag, COUNT(*), SUM(prompt_tokens), SUM(completion_tokens),
    SUM(cost_usd), COUNT(elapsed_s), TOTAL(elapsed_s), SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END), MIN(ts), MAX(ts)
FROM calls WHERE session_id IS ?1 AND tag IS ?2 AND ts >= ?3)");
    _bind_key(*q, 1, key);
    q->bind(3, since);
    q->executeStep();
    if (q->getColumn(2).getInt64() == 0) return {};
    return _read(*q);
}

std::int64_t _rows_in_range(const Conn& conn, double since, const std::optional<std::string>& tag) {
    auto q = conn.prepare(tag ? "SELECT COUNT(*) FROM session_totals WHERE last_call >= ? AND tag = ?"
                              : "SELECT COUNT(*) FROM session_totals WHERE last_call >= ?");
    q->bind(1, since);
    if (tag) q->bind(2, *tag);
    q->executeStep();
    return q->getColumn(0).getInt64();
}

// Up to `limit` rows of the sessions begun in the range, in the page's
// order, leaving out those in `skip`.
void _page_rows(const Conn& conn, double since, const std::optional<std::string>& tag, std::int64_t limit,
                const std::map<Key, bool>& skip, std::vector<GroupTotals>& out) {
    std::string sql = std::string("SELECT ") + COLUMNS + " FROM session_totals WHERE first_call >= ?" +
                      (tag ? " AND tag = ?" : "") + " ORDER BY total_cost DESC, session_id, tag LIMIT ?";
    auto q = conn.prepare(sql);
    int at = 1;
    q->bind(at++, since);
    if (tag) q->bind(at++, *tag);
    q->bind(at, limit);
    while (q->executeStep()) {
        Key key{opt_text(q->getColumn(0)), opt_text(q->getColumn(1))};
        if (!skip.contains(key)) out.push_back(_totals(key, _read(*q)));
    }
}

}  // namespace

bool create_session_totals(const Conn& conn) {
    bool missing = !has_table(conn, "session_totals");
    conn.exec(CREATE_TABLE);
    for (const char* sql : CREATE_INDEXES) conn.exec(sql);
    return missing;
}

void clear_session_totals(const Conn& conn) { conn.exec("DELETE FROM session_totals"); }

void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls) {
    std::map<Key, Sums> sums;
    for (const CallRow& c : calls) _merge(sums[{c.session_id, c.tag}], _one(c));
    for (const auto& [key, s] : sums) _store(conn, key, s);
}

SessionPage read_sessions(const Conn& conn, double since, std::int64_t mark, const std::optional<std::string>& tag,
                          std::int64_t n) {
    SessionPage page;
    std::map<Key, bool> redo = _summed_from_calls(conn, since, mark, tag);
    page.total = _rows_in_range(conn, since, tag);
    for (const auto& [key, counted] : redo) {
        Sums s = _range_sums(conn, key, since);
        if (s.calls == 0) continue;
        if (!counted) ++page.total;
        page.rows.push_back(_totals(key, s));
    }
    if (n <= 0) {
        page.rows.clear();
        return page;
    }
    // A page asks for a few more rows than it shows, for those summed from the calls instead.
    constexpr std::int64_t ALL = std::numeric_limits<std::int64_t>::max();
    auto extra = static_cast<std::int64_t>(redo.size());
    _page_rows(conn, since, tag, n > ALL - extra ? -1 : n + extra, redo, page.rows);
    std::sort(page.rows.begin(), page.rows.end(), _before);
    if (static_cast<std::int64_t>(page.rows.size()) > n) page.rows.resize(static_cast<std::size_t>(n));
    return page;
}

}  // namespace tokentally::store::sqlite
