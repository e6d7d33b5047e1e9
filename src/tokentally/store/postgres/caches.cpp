// The `exact_cache` and `semantic_cache` tables of the shared ledger.
#include "tokentally/store/postgres/store.hpp"

namespace tokentally::store::postgres {

namespace {

constexpr const char* SELECT_EXACT_CACHE = "SELECT response_json FROM exact_cache WHERE cache_key = $1 AND ts >= $2";
constexpr const char* COUNT_EXACT_HIT = "UPDATE exact_cache SET hit_count = hit_count + 1 WHERE cache_key = $1";

// A store of an existing key refreshes the answer and its time but keeps
// hit_count, so the count spans the entry's whole life.
constexpr const char* UPSERT_EXACT_CACHE = R"(INSERT INTO exact_cache (cache_key, ts, response_json)
VALUES ($1, $2, $3)
ON CONFLICT (cache_key) DO UPDATE SET ts = excluded.ts, response_json = excluded.response_json)";

}  // namespace

std::optional<std::string> PgExactCache::find(const std::string& key, double since) {
    try {
        return db_.pool.run([&](Session& s) -> std::optional<std::string> {
            Result r = s.exec(SELECT_EXACT_CACHE, {param(key), param(since)});
            if (r.rows() == 0) return std::nullopt;
            return r.text(0, 0);
        });
    } catch (const Error& e) {
        // No ledger yet: a miss, and nothing is created for it.
        if (e.sqlstate != UNDEFINED_TABLE) throw;
        return std::nullopt;
    }
}

void PgExactCache::count_hit(const std::string& key) {
    with_schema(db_, [&](Session& s) { s.exec(COUNT_EXACT_HIT, {param(key)}); });
}

void PgExactCache::put(const std::string& key, const std::string& response_json) {
    with_schema(db_, [&](Session& s) { s.exec(UPSERT_EXACT_CACHE, {param(key), param(now()), param(response_json)}); });
}

// --- the semantic cache -------------------------------------------------------------

namespace {

constexpr const char* SELECT_LIVE = R"(SELECT id, ts, context_key, signature FROM semantic_cache
WHERE ts >= $1 ORDER BY ts, id)";

constexpr const char* INSERT_ENTRY = R"(INSERT INTO semantic_cache
  (ts, context_key, model_id, embedding, signature, response_json, cost_usd)
VALUES ($1, $2, $3, $4, $5, $6, $7) RETURNING id)";

constexpr const char* SELECT_VECTORS = "SELECT id, ts, embedding FROM semantic_cache WHERE id = ANY($1::bigint[])";
constexpr const char* SELECT_RESPONSE = "SELECT response_json FROM semantic_cache WHERE id = $1";
constexpr const char* COUNT_HIT = "UPDATE semantic_cache SET hit_count = hit_count + 1 WHERE id = $1";
constexpr const char* DELETE_EXPIRED = "DELETE FROM semantic_cache WHERE ts < $1";
constexpr const char* DELETE_ENTRY = "DELETE FROM semantic_cache WHERE id = $1";

template <class T>
void _write(Shared& db, const char* sql, T value) {
    with_schema(db, [&](Session& s) { s.exec(sql, {param(value)}); });
}

}  // namespace

bool PgSemanticCache::prepare() {
    ensure_schema(db_);
    return !prepared_.exchange(true);
}

std::vector<SemanticHead> PgSemanticCache::live(double since) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(SELECT_LIVE, {param(since)});
        std::vector<SemanticHead> heads;
        for (int i = 0; i < r.rows(); ++i)
            heads.push_back({r.integer(i, 0), r.real(i, 1), r.text(i, 2), r.bytes(i, 3)});
        return heads;
    });
}

Appended PgSemanticCache::add(const SemanticEntry& e) {
    return with_schema(db_, [&](Session& s) {
        double ts = now();
        Result r = s.exec(INSERT_ENTRY, {param(ts), param(e.context_key), param(e.model_id), bytes(e.embedding),
                                         bytes(e.signature), param(e.response_json), param(e.cost_usd)});
        return Appended{r.integer(0, 0), ts};
    });
}

std::vector<std::optional<SemanticVector>> PgSemanticCache::vectors(std::span<const std::int64_t> ids) {
    return with_schema(db_, [&](Session& s) {
        Result r = s.exec(SELECT_VECTORS, {id_array(ids)});
        std::vector<std::optional<SemanticVector>> found(ids.size());
        for (int i = 0; i < r.rows(); ++i)
            for (std::size_t k = 0; k < ids.size(); ++k)
                if (ids[k] == r.integer(i, 0)) found[k] = SemanticVector{r.real(i, 1), r.bytes(i, 2)};
        return found;
    });
}

std::optional<std::string> PgSemanticCache::response(std::int64_t id) {
    return with_schema(db_, [&](Session& s) -> std::optional<std::string> {
        Result r = s.exec(SELECT_RESPONSE, {param(id)});
        if (r.rows() == 0) return std::nullopt;
        return r.text(0, 0);
    });
}

void PgSemanticCache::count_hit(std::int64_t id) { _write(db_, COUNT_HIT, id); }

void PgSemanticCache::remove_before(double cutoff) { _write(db_, DELETE_EXPIRED, cutoff); }

void PgSemanticCache::remove(std::int64_t id) { _write(db_, DELETE_ENTRY, id); }

}  // namespace tokentally::store::postgres
