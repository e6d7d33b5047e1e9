#include "tokentally/store/sqlite/window_totals.hpp"

#include "tokentally/store/sqlite/db.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_map>

namespace tokentally::store::sqlite {

namespace {

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
    Total sum() const {
        if (count == 0) return std::monostate{};
        return approx ? Total(running) : Total(exact);
    }
    // A sum over a REAL column: every value reads back as a real there.
    std::optional<double> real_sum() const {
        if (count == 0) return std::nullopt;
        return approx ? running : static_cast<double>(exact);
    }
    std::optional<double> avg() const {
        if (count == 0) return std::nullopt;
        return running / static_cast<double>(count);
    }
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

GroupTotals _totals(const _GroupKey& key, const _Group& g, bool with_times) {
    GroupTotals t;
    t.key = key.first;
    t.tag = key.second;
    t.calls = g.calls;
    t.total_prompt = g.prompt.sum();
    t.total_completion = g.completion.sum();
    t.total_cost = g.cost.real_sum();
    t.avg_latency = g.latency.avg();
    if (with_times) {
        t.first_call = g.first;
        t.last_call = g.last;
    }
    t.errors = g.errors;
    return t;
}

const char* _key_column(GroupBy by) { return by == GroupBy::model ? "model_id" : "session_id"; }

// Without statistics SQLite walks the whole model or session index to save
// the GROUP BY a sort, which on a large ledger reads every call ever made;
// the window on ts is what keeps the two summaries small, so they name it.
std::string _window(bool by_tag) {
    return std::string("FROM calls INDEXED BY idx_calls_ts WHERE ts >= ?") + (by_tag ? " AND tag = ?" : "");
}

// The window of a summary in index order, with the columns _add_row reads.
std::string _scan_sql(GroupBy by, bool by_tag) {
    return std::string("SELECT ") + _key_column(by) +
           ", tag, prompt_tokens, completion_tokens, cost_usd, elapsed_s, status, ts\n" + _window(by_tag);
}

// The same summary from SQLite's own GROUP BY.
std::string _group_by_sql(GroupBy by, bool by_tag) {
    std::string key = _key_column(by);
    return "SELECT " + key + R"(,
    tag,
    COUNT(*)                        AS calls,
    SUM(prompt_tokens)              AS total_prompt,
    SUM(completion_tokens)          AS total_completion,
    SUM(cost_usd)                   AS total_cost,
    AVG(elapsed_s)                  AS avg_latency,
    MIN(ts)                         AS first_call,
    MAX(ts)                         AS last_call,
    SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END) AS errors
)" + _window(by_tag) + "\nGROUP BY " + key + ", tag\nORDER BY total_cost DESC";
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

// The summary rows, or none when the window holds something only SQLite's
// own aggregation reproduces.
std::optional<std::vector<GroupTotals>> _summarise(SQLite::Database& conn, GroupBy by, double since,
                                                   const std::optional<std::string>& tag) {
    _Raw scan(conn, _scan_sql(by, tag.has_value()));
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
    std::vector<GroupTotals> rows;
    rows.reserve(groups.list.size());
    for (const auto& [key, g] : groups.list) rows.push_back(_totals(key, g, by == GroupBy::session));
    std::stable_sort(rows.begin(), rows.end(), costlier);
    return rows;
}

std::vector<GroupTotals> _grouped_by_sqlite(SQLite::Database& conn, GroupBy by, double since,
                                            const std::optional<std::string>& tag) {
    SQLite::Statement q(conn, _group_by_sql(by, tag.has_value()));
    q.bind(1, since);
    if (tag) q.bind(2, *tag);
    std::vector<GroupTotals> rows;
    while (q.executeStep()) {
        GroupTotals t;
        t.key = opt_text(q.getColumn(0));
        t.tag = opt_text(q.getColumn(1));
        t.calls = q.getColumn(2).getInt64();
        t.total_prompt = total(q.getColumn(3));
        t.total_completion = total(q.getColumn(4));
        t.total_cost = opt_real(q.getColumn(5));
        t.avg_latency = opt_real(q.getColumn(6));
        if (by == GroupBy::session) {
            t.first_call = q.getColumn(7).getDouble();
            t.last_call = q.getColumn(8).getDouble();
        }
        t.errors = q.getColumn(9).getInt64();
        rows.push_back(std::move(t));
    }
    return rows;
}

}  // namespace

bool costlier(const GroupTotals& a, const GroupTotals& b) {
    if (!a.total_cost || !b.total_cost) return a.total_cost && !b.total_cost;
    return *a.total_cost > *b.total_cost;
}

std::vector<GroupTotals> window_totals(SQLite::Database& conn, GroupBy by, double since,
                                       const std::optional<std::string>& tag) {
    if (auto rows = _summarise(conn, by, since, tag)) return std::move(*rows);
    return _grouped_by_sqlite(conn, by, since, tag);
}

}  // namespace tokentally::store::sqlite
