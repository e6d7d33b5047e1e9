// The `exact_cache` and `semantic_cache` tables of ledger.db.
#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/sqlite/call_rows.hpp"
#include "tokentally/store/sqlite/db.hpp"

namespace tokentally::store::sqlite {

namespace {

constexpr const char* CREATE_EXACT_CACHE = R"(CREATE TABLE IF NOT EXISTS exact_cache (
                cache_key     TEXT    NOT NULL,
                ts            REAL    NOT NULL,
                response_json TEXT    NOT NULL,
                hit_count     INTEGER DEFAULT 0,
                PRIMARY KEY (cache_key)
            ))";

constexpr const char* SELECT_EXACT_CACHE = R"(SELECT response_json FROM exact_cache
WHERE cache_key = ? AND ts >= ?
ORDER BY ts DESC LIMIT 1)";

constexpr const char* COUNT_EXACT_HIT = "UPDATE exact_cache SET hit_count = hit_count + 1 WHERE cache_key = ?";

// A store of an existing key refreshes the answer and its time but keeps
// hit_count, so the count spans the entry's whole life.
constexpr const char* UPSERT_EXACT_CACHE = R"(INSERT INTO exact_cache (cache_key, ts, response_json)
VALUES (?, ?, ?)
ON CONFLICT(cache_key) DO UPDATE SET
    ts            = excluded.ts,
    response_json = excluded.response_json)";

}  // namespace

std::optional<std::string> SqliteExactCache::find(const std::string& key, double since) {
    std::optional<Conn> conn = existing(path_);
    if (!conn) return std::nullopt;
    auto q = conn->prepare(SELECT_EXACT_CACHE);
    q->bind(1, key);
    q->bind(2, since);
    if (!q->executeStep()) return std::nullopt;
    return q->getColumn(0).getString();
}

void SqliteExactCache::count_hit(const std::string& key) {
    WriteLock writing;
    count_exact_hit(connection(path_), key);
}

void count_exact_hit(const Conn& conn, const std::string& key) {
    try {
        auto count = conn.prepare(COUNT_EXACT_HIT);
        count->bind(1, key);
        count->exec();
    } catch (const SQLite::Exception& e) {
        // The table went (a cleared cache): there is no entry to count, and
        // the call's row must not fail for it.
        if (!no_such_table(e)) throw;
    }
}

void SqliteExactCache::put(const std::string& key, const std::string& response_json) {
    auto conn = connection(path_);
    once_per_file(path_, "exact_cache", [&] { conn.exec(CREATE_EXACT_CACHE); });
    WriteLock writing;
    auto upsert = conn.prepare(UPSERT_EXACT_CACHE);
    upsert->bind(1, key);
    upsert->bind(2, now());
    upsert->bind(3, response_json);
    upsert->exec();
}

// --- the semantic cache ---------------------------------------------------------

namespace {

constexpr const char* CREATE_SEMANTIC_CACHE = R"(CREATE TABLE IF NOT EXISTS semantic_cache (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    ts            REAL    NOT NULL,
    context_key   TEXT    NOT NULL,
    model_id      TEXT    NOT NULL,
    embedding     BLOB    NOT NULL,
    signature     BLOB    NOT NULL,
    response_json TEXT    NOT NULL,
    cost_usd      REAL,
    hit_count     INTEGER DEFAULT 0
))";

constexpr const char* CREATE_SEMANTIC_TS_INDEX =
    "CREATE INDEX IF NOT EXISTS idx_semantic_cache_ts ON semantic_cache(ts)";

constexpr const char* SELECT_LIVE = R"(SELECT id, ts, context_key, signature FROM semantic_cache
WHERE ts >= ? ORDER BY ts, id)";

constexpr const char* INSERT_ENTRY = R"(INSERT INTO semantic_cache
  (ts, context_key, model_id, embedding, signature, response_json, cost_usd)
VALUES (?, ?, ?, ?, ?, ?, ?))";

constexpr const char* SELECT_VECTOR = "SELECT ts, embedding FROM semantic_cache WHERE id = ?";
constexpr const char* SELECT_RESPONSE = "SELECT response_json FROM semantic_cache WHERE id = ?";
constexpr const char* COUNT_HIT = "UPDATE semantic_cache SET hit_count = hit_count + 1 WHERE id = ?";
constexpr const char* DELETE_EXPIRED = "DELETE FROM semantic_cache WHERE ts < ?";
constexpr const char* DELETE_ENTRY = "DELETE FROM semantic_cache WHERE id = ?";

void _create_semantic_table(const Conn& conn) {
    conn.exec(CREATE_SEMANTIC_CACHE);
    conn.exec(CREATE_SEMANTIC_TS_INDEX);
}

std::string _blob(const SQLite::Column& col) {
    return std::string(static_cast<const char*>(col.getBlob()), static_cast<std::size_t>(col.getBytes()));
}

template <class T>
void _write(const std::string& path, const char* sql, T value) {
    auto conn = connection(path);
    WriteLock writing;
    auto q = conn.prepare(sql);
    q->bind(1, value);
    q->exec();
}

}  // namespace

bool SqliteSemanticCache::prepare() {
    bool fresh = false;
    // The connection first: it notices a replaced file.
    auto conn = connection(path_);
    once_per_file(path_, "semantic_cache", [&] {
        _create_semantic_table(conn);
        fresh = true;
    });
    return fresh;
}

std::vector<SemanticHead> SqliteSemanticCache::live(double since) {
    auto conn = connection(path_);
    _create_semantic_table(conn);
    auto q = conn.prepare(SELECT_LIVE);
    q->bind(1, since);
    std::vector<SemanticHead> heads;
    while (q->executeStep())
        heads.push_back({q->getColumn(0).getInt64(), q->getColumn(1).getDouble(), q->getColumn(2).getString(),
                         _blob(q->getColumn(3))});
    return heads;
}

Appended SqliteSemanticCache::add(const SemanticEntry& e) {
    auto conn = connection(path_);
    WriteLock writing;
    double ts = now();
    auto insert = conn.prepare(INSERT_ENTRY);
    insert->bind(1, ts);
    insert->bind(2, e.context_key);
    insert->bind(3, e.model_id);
    // Bound as they always were (SQLite keeps the bytes as given either way).
    insert->bind(4, e.embedding);
    insert->bind(5, e.signature);
    insert->bind(6, e.response_json);
    insert->bind(7, e.cost_usd);
    insert->exec();
    return {conn.db->getLastInsertRowid(), ts};
}

std::vector<std::optional<SemanticVector>> SqliteSemanticCache::vectors(std::span<const std::int64_t> ids) {
    auto conn = connection(path_);
    auto q = conn.prepare(SELECT_VECTOR);
    std::vector<std::optional<SemanticVector>> found(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        q->reset();
        q->bind(1, ids[i]);
        if (q->executeStep()) found[i] = SemanticVector{q->getColumn(0).getDouble(), _blob(q->getColumn(1))};
    }
    return found;
}

std::optional<std::string> SqliteSemanticCache::response(std::int64_t id) {
    auto conn = connection(path_);
    auto q = conn.prepare(SELECT_RESPONSE);
    q->bind(1, id);
    if (!q->executeStep()) return std::nullopt;
    return q->getColumn(0).getString();
}

void SqliteSemanticCache::count_hit(std::int64_t id) { _write(path_, COUNT_HIT, id); }

void SqliteSemanticCache::remove_before(double cutoff) { _write(path_, DELETE_EXPIRED, cutoff); }

void SqliteSemanticCache::remove(std::int64_t id) { _write(path_, DELETE_ENTRY, id); }

}  // namespace tokentally::store::sqlite
