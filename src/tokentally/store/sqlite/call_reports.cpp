// The queries over `calls` that read beside the rows (routing, service
// tiers, client keys, cache tokens) and for the tools: the advisor and the
// predictor, the comparison with the providers' bills, and copying ledgers.
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/db.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>

namespace tokentally::store::sqlite {

// --- beside the rows ----------------------------------------------------------

namespace {

constexpr const char* SELECT_REQUESTED = "SELECT requested_model FROM call_routing WHERE call_id = ?";

constexpr const char* SELECT_ROUTED = R"(SELECT c.model_id, c.tag, c.prompt_tokens, c.completion_tokens, c.cost_usd,
       r.requested_model
FROM call_routing r JOIN calls c ON c.id = r.call_id
WHERE c.ts >= ?)";

constexpr const char* SERVICE_TIER_OF_CALL = "SELECT service_tier FROM call_service_tiers WHERE call_id = ?";

constexpr const char* KEY_OF_CALL = "SELECT key FROM call_keys WHERE call_id = ?";

constexpr const char* CACHE_TOKENS_OF_CALL =
    "SELECT cache_read_tokens, cache_write_tokens FROM call_cache_tokens WHERE call_id = ?";

constexpr const char* CACHE_SUMMARY = R"(SELECT
    c.model_id                  AS model_id,
    c.tag                       AS tag,
    SUM(k.cache_read_tokens)    AS total_cache_read,
    SUM(k.cache_write_tokens)   AS total_cache_write
FROM calls AS c INDEXED BY idx_calls_ts
JOIN call_cache_tokens AS k ON k.call_id = c.id
WHERE c.ts >= ?)";

}  // namespace

namespace {

// The text a side table keeps beside each call, by id (none without the
// table): `sql` selects it for the call id bound first.
std::vector<std::optional<std::string>> _texts_beside(const std::string& path, const char* table, const char* sql,
                                                      std::span<const std::int64_t> ids) {
    ensure_calls_schema(path);
    auto conn = connection(path);
    std::vector<std::optional<std::string>> found(ids.size());
    if (!has_table(conn, table)) return found;
    SQLite::Statement lookup(conn, sql);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        lookup.bind(1, ids[i]);
        if (lookup.executeStep()) found[i] = lookup.getColumn(0).getString();
        lookup.reset();
    }
    return found;
}

}  // namespace

std::vector<std::optional<std::string>> SqliteCalls::requested_models(std::span<const std::int64_t> ids) {
    return _texts_beside(path_, "call_routing", SELECT_REQUESTED, ids);
}

std::vector<RoutedCall> SqliteCalls::routed_since(double since, const std::optional<std::string>& tag) {
    ensure_calls_schema(path_);
    auto conn = connection(path_);
    std::vector<RoutedCall> rows;
    if (!conn.db->tableExists("call_routing")) return rows;
    SQLite::Statement q(conn, std::string(SELECT_ROUTED) + (tag ? " AND c.tag = ?" : ""));
    q.bind(1, since);
    if (tag) q.bind(2, *tag);
    while (q.executeStep())
        rows.push_back({opt_text(q.getColumn(0)), opt_text(q.getColumn(1)), opt_int(q.getColumn(2)),
                        opt_int(q.getColumn(3)), opt_real(q.getColumn(4)), q.getColumn(5).getString()});
    return rows;
}

std::vector<std::optional<std::string>> SqliteCalls::service_tiers(std::span<const std::int64_t> ids) {
    return _texts_beside(path_, "call_service_tiers", SERVICE_TIER_OF_CALL, ids);
}

std::vector<std::optional<std::string>> SqliteCalls::keys(std::span<const std::int64_t> ids) {
    return _texts_beside(path_, "call_keys", KEY_OF_CALL, ids);
}

std::vector<std::optional<CacheTokens>> SqliteCalls::cache_tokens(std::span<const std::int64_t> ids) {
    ensure_calls_schema(path_);
    auto conn = connection(path_);
    std::vector<std::optional<CacheTokens>> found(ids.size());
    if (!has_table(conn, "call_cache_tokens")) return found;
    SQLite::Statement lookup(conn, CACHE_TOKENS_OF_CALL);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        lookup.bind(1, ids[i]);
        if (lookup.executeStep()) found[i] = CacheTokens{opt_int(lookup.getColumn(0)), opt_int(lookup.getColumn(1))};
        lookup.reset();
    }
    return found;
}

std::vector<CacheTotals> SqliteCalls::cache_totals(double since, const std::optional<std::string>& tag) {
    ensure_calls_schema(path_);
    auto conn = connection(path_);
    std::vector<CacheTotals> rows;
    if (!has_table(conn, "call_cache_tokens")) return rows;
    SQLite::Statement q(conn,
                        std::string(CACHE_SUMMARY) + (tag ? " AND c.tag = ?" : "") + "\nGROUP BY c.model_id, c.tag");
    q.bind(1, since);
    if (tag) q.bind(2, *tag);
    while (q.executeStep())
        rows.push_back(
            {opt_text(q.getColumn(0)), opt_text(q.getColumn(1)), total(q.getColumn(2)), total(q.getColumn(3))});
    return rows;
}

// --- the advisor and the predictor --------------------------------------------
//
// Both open their own connection and read `calls` as it is, needing only the
// columns they name: its layout is a contract with them.

namespace {

constexpr const char* USAGE_SQL = R"(
SELECT
    model_id,
    COUNT(*) as calls,
    SUM(prompt_tokens) as total_in,
    SUM(completion_tokens) as total_out,
    SUM(cost_usd) as total_cost,
    AVG(prompt_tokens) as avg_in,
    AVG(completion_tokens) as avg_out
FROM calls
WHERE ts >= ? AND cost_usd > 0
GROUP BY model_id
ORDER BY total_cost DESC
)";

// No ORDER BY: rows come in the database's order, and the predictor's
// seeded split makes the same rows give the same model.
constexpr const char* TRAINING_SQL =
    "\n        SELECT model_id, tag, ts, prompt_tokens, completion_tokens, cost_usd\n"
    "        FROM calls\n"
    "        WHERE cost_usd > 0\n"
    "          AND prompt_tokens > 0\n"
    "          AND completion_tokens > 0\n    ";

}  // namespace

std::vector<ModelUsage> SqliteCalls::usage_by_model(double since) {
    auto conn = sqlite::open(path_);
    SQLite::Statement q(conn, USAGE_SQL);
    q.bind(1, since);
    std::vector<ModelUsage> rows;
    while (q.executeStep())
        rows.push_back({opt_text(q.getColumn(0)), q.getColumn(1).getInt64(), total(q.getColumn(2)),
                        total(q.getColumn(3)), q.getColumn(4).getDouble(), opt_real(q.getColumn(5)),
                        opt_real(q.getColumn(6))});
    return rows;
}

std::vector<TrainingRow> SqliteCalls::training_rows() {
    auto conn = sqlite::open(path_);
    SQLite::Statement q(conn, TRAINING_SQL);
    std::vector<TrainingRow> rows;
    while (q.executeStep())
        rows.push_back({text_or_empty(q.getColumn(0)), text_or_empty(q.getColumn(1)), q.getColumn(2).getDouble(),
                        q.getColumn(3).getInt64(), q.getColumn(4).getInt64(), q.getColumn(5).getDouble()});
    return rows;
}

// --- comparing with the providers' bills ----------------------------------------

namespace {

// Days are UTC days, as the providers' daily buckets are.
std::string _model_day_sql(bool cached) {
    return std::string(R"(SELECT
    c.model_id                                          AS model_id,
    strftime('%Y-%m-%d', c.ts, 'unixepoch')             AS day,
    COUNT(*)                                            AS calls,
    COALESCE(SUM(c.cost_usd), 0.0)                      AS cost,
    CAST(COALESCE(SUM(c.prompt_tokens), 0) AS INTEGER)     AS prompt_tokens,
    CAST(COALESCE(SUM(c.completion_tokens), 0) AS INTEGER) AS completion_tokens, )") +
           (cached ? "CAST(COALESCE(SUM(k.cache_read_tokens), 0) AS INTEGER), "
                     "CAST(COALESCE(SUM(k.cache_write_tokens), 0) AS INTEGER)"
                   : "0, 0") +
           "\nFROM calls AS c INDEXED BY idx_calls_ts" +
           (cached ? " LEFT JOIN call_cache_tokens AS k ON k.call_id = c.id" : "") +
           "\nWHERE c.ts >= ?\nGROUP BY day, c.model_id\nORDER BY day, c.model_id";
}

}  // namespace

std::vector<ModelDay> SqliteCalls::by_model_day(double since) {
    ensure_calls_schema(path_);
    auto conn = connection(path_);
    SQLite::Statement q(conn, _model_day_sql(has_table(conn, "call_cache_tokens")));
    q.bind(1, since);
    std::vector<ModelDay> rows;
    while (q.executeStep())
        rows.push_back({opt_text(q.getColumn(0)), q.getColumn(1).getString(), q.getColumn(2).getInt64(),
                        q.getColumn(3).getDouble(), q.getColumn(4).getInt64(), q.getColumn(5).getInt64(),
                        q.getColumn(6).getInt64(), q.getColumn(7).getInt64()});
    return rows;
}

// --- copying ledgers ----------------------------------------------------------

namespace {

// The side tables join in only where they exist: a ledger that never had a
// routed or cached call has neither.
std::string _records_sql(SQLite::Database& conn) {
    bool routing = has_table(conn, "call_routing"), cached = has_table(conn, "call_cache_tokens");
    bool tiered = has_table(conn, "call_service_tiers"), keyed = has_table(conn, "call_keys");
    return std::string(R"(SELECT c.id, c.ts, c.model_id, c.tag, c.session_id, c.prompt_tokens,
       c.completion_tokens, c.cost_usd, c.elapsed_s, c.status, c.streamed, )") +
           (routing ? "r.requested_model, " : "NULL, ") +
           (cached ? "k.cache_read_tokens, k.cache_write_tokens, k.cache_write_1h_tokens" : "NULL, NULL, NULL") +
           (tiered ? ", t.service_tier" : ", NULL") + (keyed ? ", y.key" : ", NULL") + "\nFROM calls c" +
           (routing ? " LEFT JOIN call_routing r ON r.call_id = c.id" : "") +
           (cached ? " LEFT JOIN call_cache_tokens k ON k.call_id = c.id" : "") +
           (tiered ? " LEFT JOIN call_service_tiers t ON t.call_id = c.id" : "") +
           (keyed ? " LEFT JOIN call_keys y ON y.call_id = c.id" : "") + "\nWHERE c.id > ? ORDER BY c.id LIMIT ?";
}

StoredCall _stored(const SQLite::Statement& q) {
    StoredCall s;
    s.id = q.getColumn(0).getInt64();
    CallRecord& c = s.record;
    c.ts = q.getColumn(1).getDouble();
    c.model_id = opt_text(q.getColumn(2));
    c.tag = opt_text(q.getColumn(3)).value_or("default");
    c.session_id = opt_text(q.getColumn(4)).value_or("default");
    c.prompt_tokens = opt_int(q.getColumn(5));
    c.completion_tokens = opt_int(q.getColumn(6));
    c.cost_usd = opt_real(q.getColumn(7));
    c.elapsed_s = opt_real(q.getColumn(8)).value_or(0.0);
    c.status = static_cast<int>(opt_int(q.getColumn(9)).value_or(0));
    c.streamed = opt_int(q.getColumn(10)).value_or(0) != 0;
    c.requested_model = opt_text(q.getColumn(11));
    c.cache_read_tokens = opt_int(q.getColumn(12));
    c.cache_write_tokens = opt_int(q.getColumn(13));
    c.cache_write_1h_tokens = opt_int(q.getColumn(14));
    c.service_tier = opt_text(q.getColumn(15));
    c.key = opt_text(q.getColumn(16));
    return s;
}

constexpr const char* SAME_CALL = R"(SELECT 1 FROM calls WHERE ts = ? AND model_id IS ? AND tag IS ?
  AND session_id IS ? AND prompt_tokens IS ? AND completion_tokens IS ? AND cost_usd IS ? AND status IS ?
LIMIT 1)";

}  // namespace

std::vector<StoredCall> SqliteCalls::records(std::int64_t after_id, std::int64_t limit) {
    ensure_calls_schema(path_);
    auto conn = connection(path_);
    SQLite::Statement q(conn, _records_sql(conn));
    q.bind(1, after_id);
    q.bind(2, limit);
    std::vector<StoredCall> rows;
    while (q.executeStep()) rows.push_back(_stored(q));
    return rows;
}

std::vector<bool> SqliteCalls::contains(std::span<const CallRecord* const> rows) {
    ensure_calls_schema(path_);
    auto conn = connection(path_);
    std::vector<bool> found(rows.size(), false);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CallRecord& r = *rows[i];
        if (!r.ts) continue;
        auto q = conn.prepare(SAME_CALL);
        q->bind(1, *r.ts);
        bind_optional(*q, 2, r.model_id);
        q->bind(3, r.tag);
        q->bind(4, r.session_id);
        bind_optional(*q, 5, r.prompt_tokens);
        bind_optional(*q, 6, r.completion_tokens);
        bind_optional(*q, 7, r.cost_usd);
        q->bind(8, r.status);
        found[i] = q->executeStep();
    }
    return found;
}

}  // namespace tokentally::store::sqlite
