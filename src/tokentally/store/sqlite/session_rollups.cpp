#include "tokentally/store/sqlite/session_rollups.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/store.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/window_totals.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace tokentally::store::sqlite {

namespace {

constexpr double DAY = 86400.0;

constexpr const char* CREATE_TABLE = R"(CREATE TABLE session_rollups (
    day              REAL    NOT NULL,
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
    "CREATE INDEX IF NOT EXISTS idx_session_rollups ON session_rollups(day, session_id, tag)";
// The rows hold the calls of the days before `through` (and up to the mark).
constexpr const char* CREATE_THROUGH = "CREATE TABLE IF NOT EXISTS session_rollups_through "
                                       "(one INTEGER PRIMARY KEY CHECK (one = 1), through REAL NOT NULL)";

using _Sums = SessionSums;
using _Group = SessionGroup;
using _Bucket = std::pair<double, _Group>;  // day, group

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

// Binds a bucket and its figures as ?1 .. ?12 of the two statements below.
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
    q.bind(10, b.first);
    bind_optional(q, 11, b.second.first);
    bind_optional(q, 12, b.second.second);
}

// Adds `s` to the stored row of its bucket, or stores it.
void _store(const Conn& conn, const _Bucket& b, const _Sums& s) {
    auto up = conn.prepare(R"(UPDATE session_rollups SET calls = calls + ?1,
    total_prompt = CASE WHEN ?2 IS NULL THEN total_prompt ELSE IFNULL(total_prompt, 0) + ?2 END,
    total_completion = CASE WHEN ?3 IS NULL THEN total_completion ELSE IFNULL(total_completion, 0) + ?3 END,
    total_cost = CASE WHEN ?4 IS NULL THEN total_cost ELSE IFNULL(total_cost, 0) + ?4 END,
    latency_calls = latency_calls + ?5, latency_sum = latency_sum + ?6, errors = errors + ?7,
    first_call = MIN(first_call, ?8), last_call = MAX(last_call, ?9)
WHERE day = ?10 AND session_id IS ?11 AND tag IS ?12)");
    _bind(*up, b, s);
    if (up->exec() > 0) return;
    auto in = conn.prepare(
        "INSERT INTO session_rollups (calls, total_prompt, total_completion, total_cost, latency_calls, latency_sum, "
        "errors, first_call, last_call, day, session_id, tag) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
        "?12)");
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

// Adds the stored rows of the days from `from` on to `into`.
void _add_stored(const Conn& conn, _Totals& into, double from) {
    auto q = conn.prepare(
        "SELECT session_id, tag, calls, total_prompt, total_completion, total_cost, latency_calls, latency_sum, "
        "errors, first_call, last_call FROM session_rollups WHERE day >= ?");
    q->bind(1, from);
    while (q->executeStep()) _merge(into[{opt_text(q->getColumn(0)), opt_text(q->getColumn(1))}], _stored(*q));
}

// The calls matching `where`, after binding `bind`'s values.
template <class Bind>
std::vector<CallRow> _calls(const Conn& conn, const char* where, Bind bind) {
    auto q = conn.prepare(std::string(SELECT_CALLS) + "\nWHERE " + where);
    bind(*q);
    std::vector<CallRow> out;
    while (q->executeStep()) out.push_back(call_row(*q));
    return out;
}

void _add_calls(_Totals& into, const std::vector<CallRow>& calls) {
    for (const auto& c : calls) _merge(into[{c.session_id, c.tag}], _one(c));
}

// The start of the first day not held by the rows; none before the first
// fold (and after the rollups started over).
std::optional<double> _through(const Conn& conn) {
    auto q = conn.prepare("SELECT through FROM session_rollups_through");
    return q->executeStep() ? std::optional(q->getColumn(0).getDouble()) : std::nullopt;
}

void _set_through(const Conn& conn, double day) {
    auto q = conn.prepare("INSERT OR REPLACE INTO session_rollups_through (one, through) VALUES (1, ?)");
    q->bind(1, day);
    q->exec();
}

// Where the rows should reach: the day before today (UTC) is over.
double _target() { return _start(store::now(), DAY); }

// Where the next day to fold starts: the first call's day at first.
double _next_day(const Conn& conn) {
    if (auto t = _through(conn)) return *t;
    auto q = conn.prepare("SELECT MIN(ts) FROM calls");
    q->executeStep();
    return q->getColumn(0).isNull() ? _target() : _start(q->getColumn(0).getDouble(), DAY);
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
    conn.exec(CREATE_THROUGH);
    return missing;
}

void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls) {
    double through = _through(conn).value_or(-HUGE_VAL);
    std::map<_Bucket, _Sums> buckets;
    for (const auto& c : calls)
        if (c.ts < through) _merge(buckets[{_start(c.ts, DAY), {c.session_id, c.tag}}], _one(c));
    for (const auto& [b, s] : buckets) _store(conn, b, s);
}

bool session_days_behind(const Conn& conn) { return _through(conn).value_or(-HUGE_VAL) < _target(); }

void fold_session_day(const Conn& conn, std::int64_t mark) {
    double day = _next_day(conn);
    if (day >= _target()) return _set_through(conn, std::max(day, _target()));
    auto calls = _calls(conn, "ts >= ? AND ts < ? AND id <= ?", [&](SQLite::Statement& q) {
        q.bind(1, day);
        q.bind(2, day + DAY);
        q.bind(3, mark);
    });
    _set_through(conn, day + DAY);  // first: the fold keeps only the calls before it
    fold_session_calls(conn, calls);
}

void clear_session_rollups(const Conn& conn) {
    conn.exec("DELETE FROM session_rollups");
    conn.exec("DELETE FROM session_rollups_through");
}

void redo_session_days(const Conn& conn, const std::set<double>& stale, std::int64_t mark) {
    std::set<double> days;
    for (double ts : stale) days.insert(_start(ts, DAY));
    for (double day : days) {
        auto drop = conn.prepare("DELETE FROM session_rollups WHERE day = ?");
        drop->bind(1, day);
        drop->exec();
        fold_session_calls(conn, _calls(conn, "ts >= ? AND ts < ? AND id <= ?", [&](SQLite::Statement& q) {
                               q.bind(1, day);
                               q.bind(2, day + DAY);
                               q.bind(3, mark);
                           }));
    }
}

std::size_t SessionGroupHash::operator()(const SessionGroup& g) const noexcept {
    auto one = [](const std::optional<std::string>& s) {
        return s ? std::hash<std::string>()(*s) : std::size_t{0x9e3779b97f4a7c15ULL};
    };
    return one(g.first) * 31 + one(g.second);
}

namespace {

// Brings `t` to the calls of the day from `day` on, up to `mark`; false
// when it does not hold them (too many sessions).
bool _catch_up(const Conn& conn, TodaySessions& t, double day, std::int64_t mark, std::int64_t epoch) {
    if (t.day != day || t.epoch != epoch || t.upto > mark) {
        t.sums.clear();
        t.at.clear();
        t.day = day;
        t.epoch = epoch;
        t.upto = 0;
        t.too_many = false;
    }
    if (t.too_many) return false;
    std::vector<CallRow> calls =
        t.upto == 0 ? _calls(conn, "ts >= ? AND id <= ?",
                             [&](SQLite::Statement& q) {
                                 q.bind(1, day);
                                 q.bind(2, mark);
                             })
                    : _calls(conn, "id > ? AND id <= ? AND +ts >= ?", [&](SQLite::Statement& q) {
                          q.bind(1, t.upto);
                          q.bind(2, mark);
                          q.bind(3, day);
                      });
    for (const auto& c : calls) {
        auto [it, added] = t.at.try_emplace({c.session_id, c.tag}, t.sums.size());
        if (added) t.sums.emplace_back(&it->first, _Sums{});
        _merge(t.sums[it->second].second, _one(c));
    }
    t.upto = mark;
    if (t.sums.size() <= t.cap) return true;
    t.too_many = true;
    decltype(t.sums)().swap(t.sums);
    decltype(t.at)().swap(t.at);
    return false;
}

// The calls from `through` on: those up to the mark from `today` when it
// holds them (the rest into `all`), else all of them into `all`. The groups
// of `today` then to add to `all`'s; none when it is not used.
const TodaySessions* _add_today(const Conn& conn, _Totals& all, double through, const SessionRead& r,
                                TodaySessions* today) {
    bool kept = today != nullptr && r.epoch && _catch_up(conn, *today, through, r.mark, *r.epoch);
    if (!kept) {
        _add_calls(all, _calls(conn, "ts >= ?", [&](SQLite::Statement& q) { q.bind(1, through); }));
        return nullptr;
    }
    _add_calls(all, _calls(conn, "id > ? AND +ts >= ?", [&](SQLite::Statement& q) {
                   q.bind(1, r.mark);
                   q.bind(2, through);
               }));
    return today;
}

using _Row = std::pair<const _Group*, const _Sums*>;

// by_session's order: costliest first, groups without cost last, ties in
// key order.
bool _before(const _Row& a, const _Row& b) {
    const auto &ca = a.second->cost, &cb = b.second->cost;
    if (ca.has_value() != cb.has_value()) return ca.has_value();
    if (ca && *ca != *cb) return *ca > *cb;
    return *a.first < *b.first;
}

// The rows of `all` and of `today` (added to `all`'s where both hold a
// group) of the tag asked for.
std::vector<_Row> _rows(_Totals& all, const TodaySessions* today, const std::optional<std::string>& tag) {
    std::vector<_Row> rows;
    auto kept = [&](const _Group& g) { return !tag || g.second == tag; };
    if (today != nullptr)
        for (const auto& [g, s] : today->sums) {
            auto it = all.empty() ? all.end() : all.find(*g);
            if (it == all.end()) {
                if (kept(*g)) rows.emplace_back(g, &s);
                continue;
            }
            _Sums both = s;
            _merge(both, it->second);
            it->second = both;
        }
    for (const auto& [g, s] : all)
        if (kept(g)) rows.emplace_back(&g, &s);
    return rows;
}

}  // namespace

SessionPage read_session_rollups(const Conn& conn, const SessionRead& r, TodaySessions* today) {
    double first_day = _boundary_from(r.since, DAY);
    std::optional<double> folded = _through(conn);
    double through = std::max(folded.value_or(first_day), first_day);
    if (!folded || *folded < first_day) today = nullptr;  // the range starts after the folded days
    std::unique_lock<std::mutex> holding;
    if (today != nullptr) holding = std::unique_lock(today->lock);
    _Totals all;
    _add_stored(conn, all, first_day);
    auto between = [&](double from, double to) {
        return [from, to](SQLite::Statement& q) {
            q.bind(1, from);
            q.bind(2, to);
        };
    };
    _add_calls(all, _calls(conn, "ts >= ? AND ts < ?", between(r.since, first_day)));
    // By id: the calls after the mark are few, the days before `through` many.
    _add_calls(all, _calls(conn, "id > ? AND +ts >= ? AND +ts < ?", [&](SQLite::Statement& q) {
                   q.bind(1, r.mark);
                   q.bind(2, first_day);
                   q.bind(3, through);
               }));
    std::vector<_Row> rows = _rows(all, _add_today(conn, all, through, r, today), r.tag);
    SessionPage page{{}, static_cast<std::int64_t>(rows.size())};
    auto shown = rows.end();
    if (r.n && *r.n < page.total) shown = rows.begin() + std::max<std::int64_t>(*r.n, 0);
    std::partial_sort(rows.begin(), shown, rows.end(), _before);
    page.rows.reserve(static_cast<std::size_t>(shown - rows.begin()));
    for (auto it = rows.begin(); it != shown; ++it) page.rows.push_back(_group_totals(*it->first, *it->second));
    return page;
}

}  // namespace tokentally::store::sqlite
