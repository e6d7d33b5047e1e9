#include "tokentally/store/sqlite/session_rollups.hpp"

#include "tokentally/store/rollups.hpp"
#include "tokentally/store/store.hpp"
#include "tokentally/store/sqlite/call_rows.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace tokentally::store::sqlite {

namespace {

constexpr double DAY = 86400.0;
// The range's partial first day is kept in memory from the first quarter
// hour after the range's start, and what comes before is read from the
// calls on each read: refreshes a few seconds apart find the same quarter
// hour. A quarter hour balances the two: the kept part is read again every
// quarter hour (a day's calls at most), the rest on each refresh (a quarter
// hour's at most).
constexpr double FIRST_DAY_STEP = 900.0;

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

namespace {

using _View = std::optional<std::string_view>;

_View _view(const std::optional<std::string>& s) { return s ? _View(*s) : std::nullopt; }

std::optional<std::string> _text(_View v) { return v ? std::optional<std::string>(*v) : std::nullopt; }

_View _session_of(const KeptSessions& t, const KeptSession& k) {
    return k.has_session ? _View(std::string_view(t.keys).substr(k.at, k.session_len)) : std::nullopt;
}

_View _tag_of(const KeptSessions& t, const KeptSession& k) {
    return k.has_tag ? _View(std::string_view(t.keys).substr(k.at + k.session_len, k.tag_len)) : std::nullopt;
}

std::size_t _hash(_View session, _View tag) {
    auto one = [](_View s) { return s ? std::hash<std::string_view>()(*s) : std::size_t{0x9e3779b97f4a7c15ULL}; };
    return one(session) * 31 + one(tag);
}

// A slot holds the low half of its key's hash above the place + 1: a probe
// looks at the session's texts only when the hashes agree, and growing needs
// no text at all (the slots never number more than 2^32, so the low half
// gives the start of the probe as the whole hash would).
std::uint64_t _slot_value(std::size_t hash, std::size_t place) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(hash)) << 32) | (place + 1);
}

std::uint32_t _hash_in(std::uint64_t slot) { return static_cast<std::uint32_t>(slot >> 32); }

// The place + 1 the slot holds; 0 when it is free.
std::uint32_t _taken(const KeptSessions& t, std::size_t slot) { return static_cast<std::uint32_t>(t.slots[slot]); }

std::size_t _free_from(const KeptSessions& t, std::size_t i) {
    const std::size_t mask = t.slots.size() - 1;
    for (i &= mask; t.slots[i] != 0; i = (i + 1) & mask) {
    }
    return i;
}

// The slot of the key: the one that holds it, or the free one where it goes.
std::size_t _slot(const KeptSessions& t, _View session, _View tag, std::size_t hash) {
    const std::size_t mask = t.slots.size() - 1;
    const auto low = static_cast<std::uint32_t>(hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        std::uint64_t slot = t.slots[i];
        if (slot == 0) return i;
        if (_hash_in(slot) != low) continue;
        const KeptSession& k = t.sums[static_cast<std::uint32_t>(slot) - 1];
        if (_session_of(t, k) == session && _tag_of(t, k) == tag) return i;
    }
}

std::size_t _slot(const KeptSessions& t, _View session, _View tag) {
    return _slot(t, session, tag, _hash(session, tag));
}

// Twice the slots, so that at most half of them are taken.
void _grow(KeptSessions& t) {
    std::vector<std::uint64_t> old(std::max<std::size_t>(64, t.slots.size() * 2), 0);
    old.swap(t.slots);
    for (std::uint64_t slot : old)
        if (slot != 0) t.slots[_free_from(t, _hash_in(slot))] = slot;
}

void _forget(KeptSessions& t) {
    decltype(t.sums)().swap(t.sums);
    decltype(t.keys)().swap(t.keys);
    decltype(t.slots)().swap(t.slots);
}

}  // namespace

KeptSession& keep_session(KeptSessions& t, std::optional<std::string_view> session,
                          std::optional<std::string_view> tag) {
    if ((t.sums.size() + 1) * 2 > t.slots.size()) _grow(t);
    std::size_t hash = _hash(session, tag);
    std::size_t i = _slot(t, session, tag, hash);
    if (_taken(t, i) != 0) return t.sums[_taken(t, i) - 1];
    KeptSession k{.sums = {},
                  .at = t.keys.size(),
                  .session_len = static_cast<std::uint32_t>(session ? session->size() : 0),
                  .tag_len = static_cast<std::uint32_t>(tag ? tag->size() : 0),
                  .has_session = session.has_value(),
                  .has_tag = tag.has_value()};
    if (session) t.keys.append(*session);
    if (tag) t.keys.append(*tag);
    t.slots[i] = _slot_value(hash, t.sums.size());
    t.sums.push_back(k);
    return t.sums.back();
}

namespace {

// Brings `t` to the calls of [from, to), up to `mark`; false when it does
// not hold them (too many sessions).
bool _catch_up(const Conn& conn, KeptSessions& t, double from, double to, std::int64_t mark, std::int64_t epoch) {
    if (t.from != from || t.to != to || t.epoch != epoch || t.upto > mark) {
        _forget(t);
        t.from = from;
        t.to = to;
        t.epoch = epoch;
        t.upto = 0;
        t.too_many = false;
    }
    if (t.too_many) return false;
    auto q = t.upto == 0
                 ? conn.prepare(std::string(SELECT_CALLS) + "\nWHERE ts >= ?1 AND ts < ?2 AND id <= ?3")
                 : conn.prepare(std::string(SELECT_CALLS) + "\nWHERE id > ?4 AND id <= ?3 AND +ts >= ?1 AND +ts < ?2");
    q->bind(1, from);
    q->bind(2, to);
    q->bind(3, mark);
    if (t.upto != 0) q->bind(4, t.upto);
    while (q->executeStep()) {
        CallRow c = call_row(*q);
        _merge(keep_session(t, _view(c.session_id), _view(c.tag)).sums, _one(c));
        if (t.sums.size() <= t.cap) continue;
        t.too_many = true;
        _forget(t);
        return false;
    }
    t.upto = mark;
    return true;
}

// The calls of [from, to): those up to the mark from `kept` when it holds
// them (the rest into `all`), else all of them into `all`. The sessions of
// `kept` then to add to `all`'s; none when it is not used.
const KeptSessions* _add_span(const Conn& conn, _Totals& all, double from, double to, const SessionRead& r,
                              KeptSessions* kept) {
    if (kept == nullptr || !r.epoch || !_catch_up(conn, *kept, from, to, r.mark, *r.epoch)) {
        _add_calls(all, _calls(conn, "ts >= ? AND ts < ?", [&](SQLite::Statement& q) {
                       q.bind(1, from);
                       q.bind(2, to);
                   }));
        return nullptr;
    }
    _add_calls(all, _calls(conn, "id > ? AND +ts >= ? AND +ts < ?", [&](SQLite::Statement& q) {
                   q.bind(1, r.mark);
                   q.bind(2, from);
                   q.bind(3, to);
               }));
    return kept;
}

struct _Row {
    _View session, tag;
    const _Sums* sums;
};

// by_session's order: costliest first, groups without cost last, ties in
// key order.
bool _before(const _Row& a, const _Row& b) {
    const auto &ca = a.sums->cost, &cb = b.sums->cost;
    if (ca.has_value() != cb.has_value()) return ca.has_value();
    if (ca && *ca != *cb) return *ca > *cb;
    return std::tie(a.session, a.tag) < std::tie(b.session, b.tag);
}

// The rows offered so far, in by_session's order once finished: all of them,
// or the first `n` only (a day may hold a session per call, and a page
// shows a few of them).
struct _Page {
    std::optional<std::size_t> n;
    std::vector<_Row> rows;
    std::optional<_Row> bound;  // a row that n rows come before
    std::int64_t total = 0;
};

void _offer(_Page& p, const _Row& row) {
    ++p.total;
    if (p.n && (*p.n == 0 || (p.bound && !_before(row, *p.bound)))) return;
    p.rows.push_back(row);
    if (!p.n || p.rows.size() < 2 * *p.n + 64) return;
    auto nth = p.rows.begin() + static_cast<std::ptrdiff_t>(*p.n);
    std::nth_element(p.rows.begin(), nth, p.rows.end(), _before);
    p.bound = *nth;
    p.rows.erase(nth, p.rows.end());
}

void _finish(_Page& p) {
    auto shown = p.n && *p.n < p.rows.size() ? p.rows.begin() + static_cast<std::ptrdiff_t>(*p.n) : p.rows.end();
    std::partial_sort(p.rows.begin(), shown, p.rows.end(), _before);
    p.rows.erase(shown, p.rows.end());
}

// Adds the sessions `k` holds to those of `all` that hold them too; which
// of `k`'s were added.
std::vector<bool> _merge_into(_Totals& all, const KeptSessions* k) {
    if (k == nullptr) return {};
    std::vector<bool> merged(k->sums.size());
    if (k->sums.empty()) return merged;
    for (auto& [g, s] : all) {
        std::uint32_t at = _taken(*k, _slot(*k, _view(g.first), _view(g.second)));
        if (at == 0) continue;
        merged[at - 1] = true;
        _Sums both = k->sums[at - 1].sums;
        _merge(both, s);
        s = both;
    }
    return merged;
}

// A session both spans hold and `all` does not becomes one of `all`'s.
void _join_spans(_Totals& all, const KeptSessions& a, std::vector<bool>& a_merged, const KeptSessions& b,
                 std::vector<bool>& b_merged) {
    if (b.sums.empty()) return;
    for (std::size_t i = 0; i < a.sums.size(); ++i) {
        if (a_merged[i]) continue;
        _View session = _session_of(a, a.sums[i]), tag = _tag_of(a, a.sums[i]);
        std::uint32_t at = _taken(b, _slot(b, session, tag));
        if (at == 0) continue;
        _Sums both = a.sums[i].sums;
        _merge(both, b.sums[at - 1].sums);
        all.emplace(_Group{_text(session), _text(tag)}, both);
        a_merged[i] = true;
        b_merged[at - 1] = true;
    }
}

void _offer_kept(_Page& page, const KeptSessions* k, const std::vector<bool>& merged,
                 const std::optional<std::string>& tag) {
    if (k == nullptr) return;
    for (std::size_t i = 0; i < k->sums.size(); ++i) {
        _View t = _tag_of(*k, k->sums[i]);
        if (!merged[i] && (!tag || t == _View(*tag))) _offer(page, {_session_of(*k, k->sums[i]), t, &k->sums[i].sums});
    }
}

// The rows of `all` and of the two kept spans (summed where more than one
// holds a session) of the tag asked for.
void _offer_rows(_Page& page, _Totals& all, const KeptSessions* first, const KeptSessions* last,
                 const std::optional<std::string>& tag) {
    std::vector<bool> first_merged = _merge_into(all, first), last_merged = _merge_into(all, last);
    if (first != nullptr && last != nullptr) _join_spans(all, *first, first_merged, *last, last_merged);
    for (const auto& [g, s] : all)
        if (!tag || g.second == tag) _offer(page, {_view(g.first), _view(g.second), &s});
    _offer_kept(page, first, first_merged, tag);
    _offer_kept(page, last, last_merged, tag);
}

GroupTotals _row_totals(const _Row& row) {
    return _group_totals({_text(row.session), _text(row.tag)}, *row.sums);
}

}  // namespace

SessionPage read_session_rollups(const Conn& conn, const SessionRead& r, KeptSessions* today, KeptSessions* first) {
    double first_day = _boundary_from(r.since, DAY);
    double kept_from = std::min(_boundary_from(r.since, FIRST_DAY_STEP), first_day);
    std::optional<double> folded = _through(conn);
    double through = std::max(folded.value_or(first_day), first_day);
    if (!folded || *folded < first_day) today = nullptr;  // the range starts after the folded days
    if (kept_from == first_day) first = nullptr;
    std::unique_lock<std::mutex> holding_today, holding_first;
    if (today != nullptr) holding_today = std::unique_lock(today->lock);
    if (first != nullptr) holding_first = std::unique_lock(first->lock);
    _Totals all;
    _add_stored(conn, all, first_day);
    _add_calls(all, _calls(conn, "ts >= ? AND ts < ?", [&](SQLite::Statement& q) {
                   q.bind(1, r.since);
                   q.bind(2, first != nullptr ? kept_from : first_day);
               }));
    const KeptSessions* kept_first = first != nullptr ? _add_span(conn, all, kept_from, first_day, r, first) : nullptr;
    // By id: the calls after the mark are few, the days before `through` many.
    _add_calls(all, _calls(conn, "id > ? AND +ts >= ? AND +ts < ?", [&](SQLite::Statement& q) {
                   q.bind(1, r.mark);
                   q.bind(2, first_day);
                   q.bind(3, through);
               }));
    const KeptSessions* kept_today = _add_span(conn, all, through, HUGE_VAL, r, today);
    _Page page;
    if (r.n) page.n = static_cast<std::size_t>(std::max<std::int64_t>(*r.n, 0));
    _offer_rows(page, all, kept_first, kept_today, r.tag);
    _finish(page);
    SessionPage out{{}, page.total};
    out.rows.reserve(page.rows.size());
    for (const _Row& row : page.rows) out.rows.push_back(_row_totals(row));
    return out;
}

}  // namespace tokentally::store::sqlite
