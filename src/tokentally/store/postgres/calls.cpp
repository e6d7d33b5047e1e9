// The `calls` table of the shared ledger, the tables beside it, and every
// query over them: the same rows, figures and types as ledger.db gives.
#include "tokentally/store/postgres/store.hpp"

#include <fmt/format.h>

#include <ctime>
#include <map>
#include <unordered_map>

namespace tokentally::store::postgres {

namespace {

// Every call of a batch, what is kept beside each and the hits of the
// exact-cache entries that answered some, in one statement:
// autocommitted, it holds the counter row that hands out ids (schema.cpp)
// only while the server runs it, so proxies sharing the ledger do not wait
// on each other's round trips. Rows are inserted in their order, and take
// consecutive ids under that lock: the i-th row's id is the first id + i - 1.
constexpr const char* INSERT_CALLS = R"(WITH made AS (
    INSERT INTO calls
        (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, cost_usd, elapsed_s, status, streamed)
    SELECT ts, model_id, tag, session_id, prompt_tokens, completion_tokens, cost_usd, elapsed_s, status, streamed
    FROM unnest($1::float8[], $2::text[], $3::text[], $4::text[], $5::bigint[], $6::bigint[], $7::float8[],
                $8::float8[], $9::integer[], $10::integer[])
        WITH ORDINALITY AS t(ts, model_id, tag, session_id, prompt_tokens, completion_tokens, cost_usd, elapsed_s,
                             status, streamed, i)
    ORDER BY i
    RETURNING id),
first AS (SELECT min(id) AS id FROM made),
routed AS (
    INSERT INTO call_routing (call_id, requested_model)
    SELECT first.id + t.i - 1, t.requested_model
    FROM first, unnest($11::text[]) WITH ORDINALITY AS t(requested_model, i)
    WHERE t.requested_model IS NOT NULL),
cached AS (
    INSERT INTO call_cache_tokens (call_id, cache_read_tokens, cache_write_tokens, cache_write_1h_tokens)
    SELECT first.id + t.i - 1, t.r, t.w, t.w1h
    FROM first, unnest($12::bigint[], $13::bigint[], $14::bigint[]) WITH ORDINALITY AS t(r, w, w1h, i)
    WHERE t.r IS NOT NULL OR t.w IS NOT NULL OR t.w1h IS NOT NULL),
tiered AS (
    INSERT INTO call_service_tiers (call_id, service_tier)
    SELECT first.id + t.i - 1, t.service_tier
    FROM first, unnest($15::text[]) WITH ORDINALITY AS t(service_tier, i)
    WHERE t.service_tier IS NOT NULL),
keyed AS (
    INSERT INTO call_keys (call_id, key)
    SELECT first.id + t.i - 1, t.key
    FROM first, unnest($16::text[]) WITH ORDINALITY AS t(key, i)
    WHERE t.key IS NOT NULL),
hits AS (
    UPDATE exact_cache e SET hit_count = e.hit_count + t.n
    FROM (SELECT k, count(*) AS n FROM unnest($17::text[]) AS k WHERE k IS NOT NULL GROUP BY k) AS t
    WHERE e.cache_key = t.k)
SELECT id FROM first)";

template <class T>
std::optional<std::string> _text_of(const std::optional<T>& v) {
    return v ? param(*v).value : std::nullopt;
}

// The parameters of INSERT_CALLS: one array per column, rows stamped `ts`.
std::vector<Param> _insert_columns(std::span<const CallRecord* const> rows, const std::vector<double>& ts) {
    std::vector<std::vector<std::optional<std::string>>> cols(17);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CallRecord& r = *rows[i];
        for (auto [col, value] : {std::pair{0, param(ts[i]).value},
                                  {1, r.model_id},
                                  {2, r.tag},
                                  {3, r.session_id},
                                  {4, _text_of(r.prompt_tokens)},
                                  {5, _text_of(r.completion_tokens)},
                                  {6, _text_of(r.cost_usd)},
                                  {7, param(r.elapsed_s).value},
                                  {8, param(r.status).value},
                                  {9, param(r.streamed).value},
                                  {10, r.requested_model},
                                  {11, _text_of(r.cache_read_tokens)},
                                  {12, _text_of(r.cache_write_tokens)},
                                  {13, _text_of(r.cache_write_1h_tokens)},
                                  {14, r.service_tier},
                                  {15, r.key},
                                  {16, r.exact_cache_hit}})
            cols[static_cast<std::size_t>(col)].push_back(std::move(value));
    }
    std::vector<Param> params;
    for (const auto& c : cols) params.push_back(array(c));
    return params;
}

// Sum of cost_usd since `since`, of one tag and one key when given and not
// empty, as a subquery of a statement that reads several windows from one
// snapshot.
std::string _window_sum(std::vector<Param>& params, const SpendWindow& w) {
    bool by_key = w.key && !w.key->empty();
    params.push_back(param(w.since));
    std::string sql = fmt::format("(SELECT COALESCE(sum(c.cost_usd), 0) FROM calls c{} WHERE c.ts >= ${}",
                                  by_key ? " JOIN call_keys k ON k.call_id = c.id" : "", params.size());
    if (by_key) {
        params.push_back(param(*w.key));
        sql += fmt::format(" AND k.key = ${}", params.size());
    }
    if (w.tag && !w.tag->empty()) {
        params.push_back(param(*w.tag));
        sql += fmt::format(" AND c.tag = ${}", params.size());
    }
    return sql + ")";
}

std::vector<double> _spend(Session& s, std::span<const SpendWindow> windows) {
    std::vector<Param> params;
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < windows.size(); ++i) sql += (i ? ", " : "") + _window_sum(params, windows[i]);
    Result r = s.exec(sql, params);
    std::vector<double> spent;
    for (std::size_t i = 0; i < windows.size(); ++i) spent.push_back(r.real(0, static_cast<int>(i)));
    return spent;
}

// A total of a bigint column: none when every value was NULL.
Total _total(const Result& r, int row, int col) {
    if (r.null(row, col)) return std::monostate{};
    return r.integer(row, col);
}

std::vector<Param> _since_tag(double since, const std::optional<std::string>& tag) {
    std::vector<Param> params{param(since)};
    if (tag) params.push_back(param(*tag));
    return params;
}

// Row index of each id, for lookups answered in any order.
std::unordered_map<std::int64_t, std::size_t> _positions(std::span<const std::int64_t> ids) {
    std::unordered_map<std::int64_t, std::size_t> at;
    for (std::size_t i = 0; i < ids.size(); ++i) at.emplace(ids[i], i);
    return at;
}

}  // namespace

void PgCalls::init() { ensure_schema(db_); }

std::vector<Appended> PgCalls::append(std::span<const CallRecord* const> rows) {
    if (rows.empty()) return {};
    std::vector<double> ts;
    for (const CallRecord* rec : rows) ts.push_back(rec->ts ? *rec->ts : now());
    auto params = _insert_columns(rows, ts);
    std::int64_t first = with_schema(db_, [&](Session& s) { return s.exec(INSERT_CALLS, params).integer(0, 0); });
    std::vector<Appended> made;
    for (std::size_t i = 0; i < rows.size(); ++i) made.push_back({first + static_cast<std::int64_t>(i), ts[i]});
    return made;
}

std::vector<double> PgCalls::spend_since(std::span<const SpendWindow> windows) {
    if (windows.empty()) return {};
    // Nothing recorded yet: nothing spent, and the guards create nothing.
    return without_ledger(db_, std::vector<double>(windows.size(), 0.0),
                          [&](Session& s) { return _spend(s, windows); });
}

// --- the spend kept in memory -------------------------------------------------------

namespace {

// Ids are handed out in commit order (schema.cpp), so every id up to the
// highest one of a snapshot was committed before it: the calls after it are
// exactly those committed since. The counter row also counts the
// statements that updated or deleted calls.
constexpr const char* CHANGES = "SELECT last_id, generation, edits FROM tokentally_ids";

// A page of priced calls in time order, after the (ts, id) the last page
// ended at: a month of calls comes over in pages, never as one result.
constexpr const char* PRICED_PAGE = R"(SELECT c.id, c.ts, COALESCE(c.tag, ''), c.cost_usd, COALESCE(k.key, '')
FROM calls c LEFT JOIN call_keys k ON k.call_id = c.id
WHERE c.id > $1 AND c.id <= $2 AND c.ts >= $3 AND c.cost_usd IS NOT NULL
  AND (c.ts > $4 OR (c.ts = $4 AND c.id > $5))
ORDER BY c.ts, c.id LIMIT $6)";

constexpr const char* PRICED_BETWEEN = R"(SELECT c.id, c.ts, COALESCE(c.tag, ''), c.cost_usd, COALESCE(k.key, '')
FROM calls c LEFT JOIN call_keys k ON k.call_id = c.id
WHERE c.ts >= $1 AND c.ts < $2 AND c.cost_usd IS NOT NULL ORDER BY c.ts, c.id)";

constexpr int PRICED_PAGE_ROWS = 50'000;

std::vector<PricedCall> _priced_rows(const Result& r) {
    std::vector<PricedCall> out;
    for (int i = 0; i < r.rows(); ++i)
        out.push_back({r.integer(i, 0), r.real(i, 1), r.text(i, 2), r.real(i, 3), r.text(i, 4)});
    return out;
}

}  // namespace

Changes PgCalls::changes() {
    // One small read per budget check. Without a ledger there is nothing to
    // read, and nothing is made.
    return without_ledger(db_, Changes{}, [](Session& s) {
        Result r = s.exec(CHANGES);
        if (r.rows() == 0) return Changes{};
        return Changes{static_cast<std::uint64_t>(r.integer(0, 1)), r.integer(0, 0), r.integer(0, 2)};
    });
}

void PgCalls::each_priced(std::int64_t after_id, std::int64_t upto_id, double since,
                          const std::function<void(const PricedCall&)>& each) {
    if (upto_id <= after_id) return;
    double from_ts = since - 1.0;
    std::int64_t from_id = 0;
    for (;;) {
        auto page = without_ledger(db_, std::vector<PricedCall>{}, [&](Session& s) {
            return _priced_rows(s.exec(PRICED_PAGE, {param(after_id), param(upto_id), param(since), param(from_ts),
                                                     param(from_id), param(PRICED_PAGE_ROWS)}));
        });
        for (const auto& c : page) each(c);
        if (page.size() < static_cast<std::size_t>(PRICED_PAGE_ROWS)) return;
        from_ts = page.back().ts;
        from_id = page.back().id;
    }
}

std::vector<PricedCall> PgCalls::priced_between(double from, double to) {
    return without_ledger(db_, std::vector<PricedCall>{}, [&](Session& s) {
        return _priced_rows(s.exec(PRICED_BETWEEN, {param(from), param(to)}));
    });
}

// --- read queries -----------------------------------------------------------------

namespace {

// Groups in the order ledger.db gives them: costliest first, groups without
// cost last, ties by key and tag as bytes with NULL first.
std::string _group_sql(const char* key, bool by_tag) {
    return fmt::format(R"(SELECT {0}, tag,
    count(*),
    sum(prompt_tokens)::bigint,
    sum(completion_tokens)::bigint,
    sum(cost_usd) AS total_cost,
    avg(elapsed_s),
    min(ts),
    max(ts),
    count(*) FILTER (WHERE status >= 400)
FROM calls WHERE ts >= $1{1}
GROUP BY {0}, tag
ORDER BY total_cost DESC NULLS LAST, {0} COLLATE "C" NULLS FIRST, tag COLLATE "C" NULLS FIRST)",
                       key, by_tag ? " AND tag = $2" : "");
}

std::vector<GroupTotals> _groups(Session& s, const char* key, double since, const std::optional<std::string>& tag,
                                 bool with_times) {
    Result r = s.exec(_group_sql(key, tag.has_value()), _since_tag(since, tag));
    std::vector<GroupTotals> rows;
    for (int i = 0; i < r.rows(); ++i) {
        GroupTotals t;
        t.key = r.opt_text(i, 0);
        t.tag = r.opt_text(i, 1);
        t.calls = r.integer(i, 2);
        t.total_prompt = _total(r, i, 3);
        t.total_completion = _total(r, i, 4);
        t.total_cost = r.opt_real(i, 5);
        t.avg_latency = r.opt_real(i, 6);
        if (with_times) {
            t.first_call = r.real(i, 7);
            t.last_call = r.real(i, 8);
        }
        t.errors = r.integer(i, 9);
        rows.push_back(std::move(t));
    }
    return rows;
}

constexpr const char* SELECT_CALLS = R"(SELECT id, ts, model_id, tag, session_id, prompt_tokens, completion_tokens,
       cost_usd, elapsed_s, status, streamed
FROM calls)";

CallRow _call_row(const Result& r, int i) {
    return {r.integer(i, 0),  r.real(i, 1),        r.opt_text(i, 2),    r.opt_text(i, 3),
            r.opt_text(i, 4), r.opt_integer(i, 5), r.opt_integer(i, 6), r.opt_real(i, 7),
            r.opt_real(i, 8), r.opt_integer(i, 9), r.opt_integer(i, 10)};
}

// Priced calls per quarter of an hour: every UTC offset in use is a whole
// number of quarters, so each one falls in a single local day, which this
// process's own zone names (as ledger.db's 'localtime' does).
constexpr const char* PRICED_QUARTERS = R"(SELECT floor(ts / 900)::bigint AS quarter,
    count(*), sum(cost_usd), sum(prompt_tokens)::bigint, sum(completion_tokens)::bigint
FROM calls
WHERE ts >= $1 AND cost_usd IS NOT NULL
GROUP BY quarter
ORDER BY quarter)";

std::string _local_day(std::int64_t quarter) {
    auto t = static_cast<std::time_t>(quarter * 900);
    std::tm tm{};
    localtime_r(&t, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
    return day;
}

Total _plus(const Total& a, const Total& b) {
    if (std::holds_alternative<std::monostate>(a)) return b;
    if (std::holds_alternative<std::monostate>(b)) return a;
    return std::get<std::int64_t>(a) + std::get<std::int64_t>(b);
}

void _add_quarter(DayTotals& day, const Result& r, int i) {
    day.calls += r.integer(i, 1);
    day.total_cost = day.total_cost.value_or(0.0) + r.real(i, 2);
    day.total_prompt = _plus(day.total_prompt, _total(r, i, 3));
    day.total_completion = _plus(day.total_completion, _total(r, i, 4));
}

}  // namespace

std::vector<GroupTotals> PgCalls::by_model(double since, const std::optional<std::string>& tag) {
    return with_schema(db_, [&](Session& s) { return _groups(s, "model_id", since, tag, false); });
}

std::vector<GroupTotals> PgCalls::by_session(double since) {
    return with_schema(db_, [&](Session& s) { return _groups(s, "session_id", since, std::nullopt, true); });
}

std::vector<CallRow> PgCalls::latest(std::int64_t n, const std::optional<std::string>& session_id) {
    return with_schema(db_, [&](Session& s) {
        std::vector<Param> params;
        std::string sql = SELECT_CALLS;
        if (session_id) {
            params.push_back(param(*session_id));
            sql += "\nWHERE session_id = $1";
        }
        params.push_back(param(n));
        sql += fmt::format("\nORDER BY ts DESC, id DESC LIMIT ${}", params.size());
        Result r = s.exec(sql, params);
        std::vector<CallRow> rows;
        for (int i = 0; i < r.rows(); ++i) rows.push_back(_call_row(r, i));
        return rows;
    });
}

std::vector<CallRow> PgCalls::between(double since, const std::optional<std::string>& tag) {
    return with_schema(db_, [&](Session& s) {
        Result r =
            s.exec(std::string(SELECT_CALLS) + "\nWHERE ts >= $1" + (tag ? " AND tag = $2" : "") + "\nORDER BY ts, id",
                   _since_tag(since, tag));
        std::vector<CallRow> rows;
        for (int i = 0; i < r.rows(); ++i) rows.push_back(_call_row(r, i));
        return rows;
    });
}

double PgCalls::spend(double since, const std::optional<std::string>& tag) {
    const SpendWindow window[] = {{since, tag}};
    return with_schema(db_, [&](Session& s) { return _spend(s, window)[0]; });
}

std::vector<DayTotals> PgCalls::by_day(double since) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(PRICED_QUARTERS, {param(since)});
        std::map<std::string, DayTotals, std::greater<>> days;
        for (int i = 0; i < r.rows(); ++i) {
            std::string name = _local_day(r.integer(i, 0));
            DayTotals& day = days[name];
            day.day = name;
            _add_quarter(day, r, i);
        }
        std::vector<DayTotals> rows;
        for (auto& [name, day] : days) rows.push_back(std::move(day));
        return rows;
    });
}

std::vector<ModelCalls> PgCalls::model_calls(double since, const std::optional<std::string>& tag) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(fmt::format(R"(SELECT model_id, count(*) AS calls,
    count(*) FILTER (WHERE cost_usd IS NULL),
    count(*) FILTER (WHERE cost_usd = 0)
FROM calls WHERE ts >= $1{}
GROUP BY model_id
ORDER BY calls DESC, model_id COLLATE "C" NULLS FIRST)",
                                      tag ? " AND tag = $2" : ""),
                          _since_tag(since, tag));
        std::vector<ModelCalls> rows;
        for (int i = 0; i < r.rows(); ++i)
            rows.push_back({r.opt_text(i, 0), r.integer(i, 1), r.integer(i, 2), r.integer(i, 3)});
        return rows;
    });
}

// --- beside the rows ----------------------------------------------------------------

namespace {

// The text a side table keeps beside each call, by id: `sql` selects the
// call id and the text for the ids in $1.
std::vector<std::optional<std::string>> _texts_beside(Shared& db, const char* sql, std::span<const std::int64_t> ids) {
    return with_schema(db, [&](Session& s) {
        Result r = s.exec(sql, {id_array(ids)});
        std::vector<std::optional<std::string>> found(ids.size());
        auto at = _positions(ids);
        for (int i = 0; i < r.rows(); ++i) found[at.at(r.integer(i, 0))] = r.text(i, 1);
        return found;
    });
}

}  // namespace

std::vector<std::optional<std::string>> PgCalls::requested_models(std::span<const std::int64_t> ids) {
    return _texts_beside(db_, "SELECT call_id, requested_model FROM call_routing WHERE call_id = ANY($1::bigint[])",
                         ids);
}

std::vector<RoutedCall> PgCalls::routed_since(double since, const std::optional<std::string>& tag) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(fmt::format(R"(SELECT c.model_id, c.tag, c.prompt_tokens, c.completion_tokens, c.cost_usd,
       r.requested_model
FROM call_routing r JOIN calls c ON c.id = r.call_id
WHERE c.ts >= $1{}
ORDER BY c.id)",
                                      tag ? " AND c.tag = $2" : ""),
                          _since_tag(since, tag));
        std::vector<RoutedCall> rows;
        for (int i = 0; i < r.rows(); ++i)
            rows.push_back({r.opt_text(i, 0), r.opt_text(i, 1), r.opt_integer(i, 2), r.opt_integer(i, 3),
                            r.opt_real(i, 4), r.text(i, 5)});
        return rows;
    });
}

std::vector<std::optional<std::string>> PgCalls::service_tiers(std::span<const std::int64_t> ids) {
    return _texts_beside(db_, "SELECT call_id, service_tier FROM call_service_tiers WHERE call_id = ANY($1::bigint[])",
                         ids);
}

std::vector<std::optional<std::string>> PgCalls::keys(std::span<const std::int64_t> ids) {
    return _texts_beside(db_, "SELECT call_id, key FROM call_keys WHERE call_id = ANY($1::bigint[])", ids);
}

std::vector<std::optional<CacheTokens>> PgCalls::cache_tokens(std::span<const std::int64_t> ids) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(R"(SELECT call_id, cache_read_tokens, cache_write_tokens FROM call_cache_tokens
WHERE call_id = ANY($1::bigint[]))",
                          {id_array(ids)});
        std::vector<std::optional<CacheTokens>> found(ids.size());
        auto at = _positions(ids);
        for (int i = 0; i < r.rows(); ++i)
            found[at.at(r.integer(i, 0))] = CacheTokens{r.opt_integer(i, 1), r.opt_integer(i, 2)};
        return found;
    });
}

std::vector<CacheTotals> PgCalls::cache_totals(double since, const std::optional<std::string>& tag) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(fmt::format(R"(SELECT c.model_id, c.tag,
    sum(k.cache_read_tokens)::bigint, sum(k.cache_write_tokens)::bigint
FROM calls c JOIN call_cache_tokens k ON k.call_id = c.id
WHERE c.ts >= $1{}
GROUP BY c.model_id, c.tag
ORDER BY c.model_id COLLATE "C" NULLS FIRST, c.tag COLLATE "C" NULLS FIRST)",
                                      tag ? " AND c.tag = $2" : ""),
                          _since_tag(since, tag));
        std::vector<CacheTotals> rows;
        for (int i = 0; i < r.rows(); ++i)
            rows.push_back({r.opt_text(i, 0), r.opt_text(i, 1), _total(r, i, 2), _total(r, i, 3)});
        return rows;
    });
}

// --- the advisor and the predictor ----------------------------------------------------
// They read the calls as they are and create nothing: a database without a
// ledger has no rows for them.

std::vector<ModelUsage> PgCalls::usage_by_model(double since) {
    return without_ledger(db_, std::vector<ModelUsage>{}, [&](Session& s) {
        Result r = s.exec(R"(SELECT model_id, count(*),
    sum(prompt_tokens)::bigint, sum(completion_tokens)::bigint, sum(cost_usd) AS total_cost,
    avg(prompt_tokens)::double precision, avg(completion_tokens)::double precision
FROM calls
WHERE ts >= $1 AND cost_usd > 0
GROUP BY model_id
ORDER BY total_cost DESC, model_id COLLATE "C" NULLS FIRST)",
                          {param(since)});
        std::vector<ModelUsage> rows;
        for (int i = 0; i < r.rows(); ++i)
            rows.push_back({r.opt_text(i, 0), r.integer(i, 1), _total(r, i, 2), _total(r, i, 3), r.real(i, 4),
                            r.opt_real(i, 5), r.opt_real(i, 6)});
        return rows;
    });
}

std::vector<TrainingRow> PgCalls::training_rows() {
    return without_ledger(db_, std::vector<TrainingRow>{}, [&](Session& s) {
        Result r = s.exec(R"(SELECT COALESCE(model_id, ''), COALESCE(tag, ''), ts, prompt_tokens, completion_tokens,
       cost_usd
FROM calls
WHERE cost_usd > 0 AND prompt_tokens > 0 AND completion_tokens > 0
ORDER BY id)");
        std::vector<TrainingRow> rows;
        for (int i = 0; i < r.rows(); ++i)
            rows.push_back({r.text(i, 0), r.text(i, 1), r.real(i, 2), r.integer(i, 3), r.integer(i, 4), r.real(i, 5)});
        return rows;
    });
}

// --- comparing with the providers' bills ----------------------------------------------

std::vector<ModelDay> PgCalls::by_model_day(double since) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(R"(SELECT c.model_id, to_char(to_timestamp(c.ts) AT TIME ZONE 'UTC', 'YYYY-MM-DD') AS day,
    count(*), COALESCE(sum(c.cost_usd), 0), COALESCE(sum(c.prompt_tokens), 0)::bigint,
    COALESCE(sum(c.completion_tokens), 0)::bigint, COALESCE(sum(k.cache_read_tokens), 0)::bigint,
    COALESCE(sum(k.cache_write_tokens), 0)::bigint
FROM calls c LEFT JOIN call_cache_tokens k ON k.call_id = c.id
WHERE c.ts >= $1
GROUP BY day, c.model_id
ORDER BY day, c.model_id COLLATE "C" NULLS FIRST)",
                          {param(since)});
        std::vector<ModelDay> rows;
        for (int i = 0; i < r.rows(); ++i)
            rows.push_back({r.opt_text(i, 0), r.text(i, 1), r.integer(i, 2), r.real(i, 3), r.integer(i, 4),
                            r.integer(i, 5), r.integer(i, 6), r.integer(i, 7)});
        return rows;
    });
}

// --- copying ledgers ------------------------------------------------------------------

namespace {

constexpr const char* SELECT_RECORDS = R"(SELECT c.id, c.ts, c.model_id, c.tag, c.session_id, c.prompt_tokens,
       c.completion_tokens, c.cost_usd, c.elapsed_s, c.status, c.streamed,
       r.requested_model, k.cache_read_tokens, k.cache_write_tokens, k.cache_write_1h_tokens, t.service_tier,
       y.key
FROM calls c
LEFT JOIN call_routing r ON r.call_id = c.id
LEFT JOIN call_cache_tokens k ON k.call_id = c.id
LEFT JOIN call_service_tiers t ON t.call_id = c.id
LEFT JOIN call_keys y ON y.call_id = c.id
WHERE c.id > $1
ORDER BY c.id
LIMIT $2)";

StoredCall _stored(const Result& r, int i) {
    StoredCall s;
    s.id = r.integer(i, 0);
    CallRecord& c = s.record;
    c.ts = r.real(i, 1);
    c.model_id = r.opt_text(i, 2);
    c.tag = r.opt_text(i, 3).value_or("default");
    c.session_id = r.opt_text(i, 4).value_or("default");
    c.prompt_tokens = r.opt_integer(i, 5);
    c.completion_tokens = r.opt_integer(i, 6);
    c.cost_usd = r.opt_real(i, 7);
    c.elapsed_s = r.opt_real(i, 8).value_or(0.0);
    c.status = static_cast<int>(r.opt_integer(i, 9).value_or(0));
    c.streamed = r.opt_integer(i, 10).value_or(0) != 0;
    c.requested_model = r.opt_text(i, 11);
    c.cache_read_tokens = r.opt_integer(i, 12);
    c.cache_write_tokens = r.opt_integer(i, 13);
    c.cache_write_1h_tokens = r.opt_integer(i, 14);
    c.service_tier = r.opt_text(i, 15);
    c.key = r.opt_text(i, 16);
    return s;
}

// The rows of `rows` that a call with the same time and figures already
// matches, by their position (from 1).
constexpr const char* CONTAINED = R"(SELECT t.i FROM unnest($1::float8[], $2::text[], $3::text[], $4::text[],
    $5::bigint[], $6::bigint[], $7::float8[], $8::integer[])
    WITH ORDINALITY AS t(ts, model_id, tag, session_id, prompt_tokens, completion_tokens, cost_usd, status, i)
WHERE EXISTS (SELECT 1 FROM calls c WHERE c.ts = t.ts
    AND c.model_id IS NOT DISTINCT FROM t.model_id AND c.tag IS NOT DISTINCT FROM t.tag
    AND c.session_id IS NOT DISTINCT FROM t.session_id
    AND c.prompt_tokens IS NOT DISTINCT FROM t.prompt_tokens
    AND c.completion_tokens IS NOT DISTINCT FROM t.completion_tokens
    AND c.cost_usd IS NOT DISTINCT FROM t.cost_usd AND c.status IS NOT DISTINCT FROM t.status))";

std::vector<Param> _columns(std::span<const CallRecord* const> rows) {
    std::vector<std::vector<std::optional<std::string>>> cols(8);
    for (const CallRecord* r : rows) {
        cols[0].push_back(_text_of(r->ts));
        cols[1].push_back(r->model_id);
        cols[2].push_back(r->tag);
        cols[3].push_back(r->session_id);
        cols[4].push_back(_text_of(r->prompt_tokens));
        cols[5].push_back(_text_of(r->completion_tokens));
        cols[6].push_back(_text_of(r->cost_usd));
        cols[7].push_back(std::to_string(r->status));
    }
    std::vector<Param> params;
    for (const auto& c : cols) params.push_back(array(c));
    return params;
}

}  // namespace

std::vector<StoredCall> PgCalls::records(std::int64_t after_id, std::int64_t limit) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(SELECT_RECORDS, {param(after_id), param(limit)});
        std::vector<StoredCall> rows;
        for (int i = 0; i < r.rows(); ++i) rows.push_back(_stored(r, i));
        return rows;
    });
}

std::vector<bool> PgCalls::contains(std::span<const CallRecord* const> rows) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(CONTAINED, _columns(rows));
        std::vector<bool> found(rows.size(), false);
        for (int i = 0; i < r.rows(); ++i) found[static_cast<std::size_t>(r.integer(i, 0) - 1)] = true;
        return found;
    });
}

}  // namespace tokentally::store::postgres
