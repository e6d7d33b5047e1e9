#include "tokentally/store/sqlite/session_rollups.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/window_totals.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace tokentally::store::sqlite {

namespace {

constexpr double HOUR = ROLLUP_SECONDS;
constexpr double DAY = 86400.0;
// Each call is kept twice: in its hour's row and in its day's row.
constexpr double SPANS[] = {HOUR, DAY};

constexpr const char* CREATE_TABLE = R"(CREATE TABLE session_rollups (
    span             REAL    NOT NULL,
    start            REAL    NOT NULL,
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
constexpr const char* CREATE_INDEX =
    "CREATE INDEX IF NOT EXISTS idx_session_rollups ON session_rollups(span, start, session_id, tag)";

// A stored row's figures, or a group's while it is summed.
struct _Sums {
    std::int64_t calls = 0;
    std::optional<std::int64_t> prompt, completion;
    std::optional<double> cost;
    std::int64_t latency_calls = 0;
    double latency_sum = 0.0;
    std::int64_t errors = 0;
    double first = 0.0, last = 0.0;
};

using _Group = std::pair<std::optional<std::string>, std::optional<std::string>>;  // session, tag
using _Bucket = std::tuple<double, double, _Group>;                                   // span, start, group

void _merge(_Sums& into, const _Sums& from) {
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

_Sums _one(const CallRow& c) {
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

double _start(double ts, double span) { return std::floor(ts / span) * span; }

// The first boundary of `span` at or after `ts`.
double _boundary_from(double ts, double span) {
    double start = _start(ts, span);
    return start == ts ? ts : start + span;
}

// Binds a bucket and its figures as ?1 .. ?13 of the two statements below.
void _bind(SQLite::Statement& q, const _Bucket& b, const _Sums& s) {
    q.bind(1, s.calls);
    bind_optional(q, 2, s.prompt);
    bind_optional(q, 3, s.completion);
    bind_optional(q, 4, s.cost);
    q.bind(5, s.latency_calls);
    q.bind(6, s.latency_sum);
    q.bind(7, s.errors);
    q.bind(8, s.first);
    q.bind(9, s.last);
    q.bind(10, std::get<0>(b));
    q.bind(11, std::get<1>(b));
    bind_optional(q, 12, std::get<2>(b).first);
    bind_optional(q, 13, std::get<2>(b).second);
}

// Adds `s` to the stored row of its bucket, or stores it.
void _store(const Conn& conn, const _Bucket& b, const _Sums& s) {
    auto up = conn.prepare(R"(UPDATE session_rollups SET calls = calls + ?1,
    total_prompt = CASE WHEN ?2 IS NULL THEN total_prompt ELSE IFNULL(total_prompt, 0) + ?2 END,
    total_completion = CASE WHEN ?3 IS NULL THEN total_completion ELSE IFNULL(total_completion, 0) + ?3 END,
    total_cost = CASE WHEN ?4 IS NULL THEN total_cost ELSE IFNULL(total_cost, 0) + ?4 END,
    latency_calls = latency_calls + ?5, latency_sum = latency_sum + ?6, errors = errors + ?7,
    first_call = MIN(first_call, ?8), last_call = MAX(last_call, ?9)
WHERE span = ?10 AND start = ?11 AND session_id IS ?12 AND tag IS ?13)");
    _bind(*up, b, s);
    if (up->exec() > 0) return;
    auto in = conn.prepare(
        "INSERT INTO session_rollups (calls, total_prompt, total_completion, total_cost, latency_calls, latency_sum, "
        "errors, first_call, last_call, span, start, session_id, tag) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
        "?11, ?12, ?13)");
    _bind(*in, b, s);
    in->exec();
}

_Sums _stored(const SQLite::Statement& q) {
    return {.calls = q.getColumn(2).getInt64(),
            .prompt = opt_int(q.getColumn(3)),
            .completion = opt_int(q.getColumn(4)),
            .cost = opt_real(q.getColumn(5)),
            .latency_calls = q.getColumn(6).getInt64(),
            .latency_sum = q.getColumn(7).getDouble(),
            .errors = q.getColumn(8).getInt64(),
            .first = q.getColumn(9).getDouble(),
            .last = q.getColumn(10).getDouble()};
}

using _Totals = std::map<_Group, _Sums>;

// Adds the stored rows of `span` starting in [from, to) to `into`.
void _add_stored(const Conn& conn, _Totals& into, double span, double from, double to) {
    auto q = conn.prepare(
        "SELECT session_id, tag, calls, total_prompt, total_completion, total_cost, latency_calls, latency_sum, "
        "errors, first_call, last_call FROM session_rollups WHERE span = ? AND start >= ? AND start < ?");
    q->bind(1, span);
    q->bind(2, from);
    q->bind(3, to);
    while (q->executeStep()) _merge(into[{opt_text(q->getColumn(0)), opt_text(q->getColumn(1))}], _stored(*q));
}

// Adds the calls matching `where` (two bound values) to `into`.
template <class A, class B>
void _add_calls(const Conn& conn, _Totals& into, const char* where, A a, B b) {
    auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE " + where);
    q->bind(1, a);
    q->bind(2, b);
    while (q->executeStep()) {
        CallRow c = call_row(*q);
        _merge(into[{c.session_id, c.tag}], _one(c));
    }
}

GroupTotals _group_totals(const _Group& g, const _Sums& s) {
    GroupTotals t;
    t.key = g.first;
    t.tag = g.second;
    t.calls = s.calls;
    t.total_prompt = s.prompt ? Total(*s.prompt) : Total();
    t.total_completion = s.completion ? Total(*s.completion) : Total();
    t.total_cost = s.cost;
    if (s.latency_calls) t.avg_latency = s.latency_sum / static_cast<double>(s.latency_calls);
    t.first_call = s.first;
    t.last_call = s.last;
    t.errors = s.errors;
    return t;
}

}  // namespace

bool create_session_rollups(const Conn& conn) {
    bool missing = !has_table(conn, "session_rollups");
    if (missing) conn.exec(CREATE_TABLE);
    conn.exec(CREATE_INDEX);
    return missing;
}

void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls) {
    std::map<_Bucket, _Sums> buckets;
    for (const auto& c : calls)
        for (double span : SPANS) _merge(buckets[{span, _start(c.ts, span), {c.session_id, c.tag}}], _one(c));
    for (const auto& [b, s] : buckets) _store(conn, b, s);
}

void clear_session_rollups(const Conn& conn) { conn.exec("DELETE FROM session_rollups"); }

void redo_session_days(const Conn& conn, const std::set<double>& stale, std::int64_t mark) {
    std::set<double> days;
    for (double ts : stale) days.insert(_start(ts, DAY));
    for (double day : days) {
        auto drop = conn.prepare("DELETE FROM session_rollups WHERE start >= ? AND start < ?");
        drop->bind(1, day);
        drop->bind(2, day + DAY);
        drop->exec();
        auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE ts >= ? AND ts < ? AND id <= ?");
        q->bind(1, day);
        q->bind(2, day + DAY);
        q->bind(3, mark);
        std::vector<CallRow> calls;
        while (q->executeStep()) calls.push_back(call_row(*q));
        q.stmt->reset();
        fold_session_calls(conn, calls);
    }
}

std::vector<GroupTotals> read_session_rollups(const Conn& conn, double since, std::int64_t mark) {
    double first_hour = _boundary_from(since, HOUR);
    double first_day = _boundary_from(since, DAY);
    _Totals all;
    _add_stored(conn, all, DAY, first_day, HUGE_VAL);
    _add_stored(conn, all, HOUR, first_hour, first_day);
    _add_calls(conn, all, "ts >= ? AND ts < ?", since, first_hour);
    _add_calls(conn, all, "id > ? AND ts >= ?", mark, first_hour);
    std::vector<GroupTotals> rows;
    rows.reserve(all.size());
    for (const auto& [g, s] : all) rows.push_back(_group_totals(g, s));
    std::stable_sort(rows.begin(), rows.end(), costlier);  // from key order
    return rows;
}

}  // namespace tokentally::store::sqlite
