// The tables of the shared ledger, created on first use and versioned: a
// later release adds a step to SCHEMA_STEPS and every database is brought
// up to it by the first process that opens it.
#include "tokentally/store/postgres/store.hpp"

#include <fmt/format.h>

namespace tokentally::store::postgres {

namespace {

// The same columns and meanings as ledger.db, in PostgreSQL's types: times
// stay seconds since the epoch (float8), counts are bigint so that their
// sums stay integers.
constexpr const char* SCHEMA_V1 = R"(
CREATE TABLE IF NOT EXISTS calls (
    id                bigint  PRIMARY KEY,  -- from tokentally_ids, below
    ts                double precision NOT NULL,
    model_id          text,
    tag               text    DEFAULT 'default',
    session_id        text    DEFAULT 'default',
    prompt_tokens     bigint,
    completion_tokens bigint,
    cost_usd          double precision,
    elapsed_s         double precision,
    status            integer,
    streamed          integer DEFAULT 0
);
-- The spend windows read the cost straight from these two indexes.
CREATE INDEX IF NOT EXISTS idx_calls_ts      ON calls (ts) INCLUDE (cost_usd);
CREATE INDEX IF NOT EXISTS idx_calls_tag_ts  ON calls (tag, ts) INCLUDE (cost_usd);
CREATE INDEX IF NOT EXISTS idx_calls_model   ON calls (model_id);
CREATE INDEX IF NOT EXISTS idx_calls_session ON calls (session_id);
-- Ids in commit order. A sequence hands out ids when rows are inserted, so
-- a later id can commit first and a reader that asks for the calls after
-- the last id it saw would miss the earlier one for good. Instead every
-- inserted call takes its id from the one row of tokentally_ids: the row
-- stays locked until the inserting transaction ends, so writers take ids
-- in turn and commit in that turn, and the ids are without gaps (a rolled
-- back insert gives its ids back). The trigger does it for any writer,
-- ours or not. The same row's last_id is what a serving process compares
-- to learn that anyone committed calls; generation tells a ledger created
-- afresh (ids starting over) from the one it replaced.
CREATE TABLE IF NOT EXISTS tokentally_ids (
    last_id    bigint NOT NULL,
    generation bigint NOT NULL
);
INSERT INTO tokentally_ids (last_id, generation)
    SELECT COALESCE((SELECT max(id) FROM calls), 0), floor(random() * 4503599627370496)::bigint
    WHERE NOT EXISTS (SELECT 1 FROM tokentally_ids);
CREATE OR REPLACE FUNCTION tokentally_next_call_id() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    UPDATE tokentally_ids SET last_id = last_id + 1 RETURNING last_id INTO NEW.id;
    RETURN NEW;
END
$$;
DROP TRIGGER IF EXISTS calls_in_commit_order ON calls;
CREATE TRIGGER calls_in_commit_order BEFORE INSERT ON calls
    FOR EACH ROW EXECUTE FUNCTION tokentally_next_call_id();
CREATE TABLE IF NOT EXISTS call_routing (
    call_id         bigint PRIMARY KEY,
    requested_model text   NOT NULL
);
CREATE TABLE IF NOT EXISTS call_cache_tokens (
    call_id               bigint PRIMARY KEY,
    cache_read_tokens     bigint,
    cache_write_tokens    bigint,
    cache_write_1h_tokens bigint
);
CREATE TABLE IF NOT EXISTS alerts (
    id      bigserial PRIMARY KEY,
    ts      double precision NOT NULL,
    level   text    NOT NULL,
    scope   text    NOT NULL,
    spent   double precision NOT NULL,
    budget  double precision NOT NULL,
    message text    NOT NULL,
    seen    integer DEFAULT 0
);
CREATE INDEX IF NOT EXISTS idx_alerts_scope_ts ON alerts (scope, ts);
CREATE TABLE IF NOT EXISTS exact_cache (
    cache_key     text    PRIMARY KEY,
    ts            double precision NOT NULL,
    response_json text    NOT NULL,
    hit_count     bigint  DEFAULT 0
);
CREATE TABLE IF NOT EXISTS semantic_cache (
    id            bigserial PRIMARY KEY,
    ts            double precision NOT NULL,
    context_key   text    NOT NULL,
    model_id      text    NOT NULL,
    embedding     bytea   NOT NULL,
    signature     bytea   NOT NULL,
    response_json text    NOT NULL,
    cost_usd      double precision,
    hit_count     bigint  DEFAULT 0
);
CREATE INDEX IF NOT EXISTS idx_semantic_cache_ts ON semantic_cache (ts);
)";

// Updates and deletions of calls, counted per statement (by anyone: psql
// too): what tells every serving process to read its figures again.
constexpr const char* SCHEMA_V2 = R"(
ALTER TABLE tokentally_ids ADD COLUMN IF NOT EXISTS edits bigint NOT NULL DEFAULT 0;
CREATE OR REPLACE FUNCTION tokentally_count_edit() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    UPDATE tokentally_ids SET edits = edits + 1;
    RETURN NULL;
END
$$;
DROP TRIGGER IF EXISTS calls_edited ON calls;
CREATE TRIGGER calls_edited AFTER UPDATE OR DELETE OR TRUNCATE ON calls
    FOR EACH STATEMENT EXECUTE FUNCTION tokentally_count_edit();
)";

// Step i brings a database at version i to version i + 1.
constexpr const char* SCHEMA_STEPS[] = {SCHEMA_V1, SCHEMA_V2};
constexpr int SCHEMA_VERSION = std::size(SCHEMA_STEPS);

// Tables beside the rows that a release which does not know them can
// ignore: made wherever they are missing, without a new version, so that
// an older tokentally still shares the ledger. A call's key decides which
// key's budget it counts under: a key changed by hand is an edit.
constexpr const char* SIDE_TABLES = R"(
CREATE TABLE IF NOT EXISTS call_service_tiers (
    call_id      bigint PRIMARY KEY,
    service_tier text   NOT NULL
);
CREATE TABLE IF NOT EXISTS call_keys (
    call_id bigint PRIMARY KEY,
    key     text   NOT NULL
);
DO $$ BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_trigger WHERE tgname = 'call_keys_edited' AND tgrelid = 'call_keys'::regclass) THEN
        CREATE TRIGGER call_keys_edited AFTER UPDATE OR DELETE OR TRUNCATE ON call_keys
            FOR EACH STATEMENT EXECUTE FUNCTION tokentally_count_edit();
    END IF;
END $$;
CREATE TABLE IF NOT EXISTS rate_limited (
    minute     double precision NOT NULL,
    scope      text   NOT NULL,
    limit_name text   NOT NULL,
    calls      bigint NOT NULL,
    PRIMARY KEY (minute, scope, limit_name)
);
)";

// Any fixed number: processes creating the schema at once wait on it in
// turn (CREATE TABLE IF NOT EXISTS alone is not safe against a concurrent
// creator).
constexpr const char* LOCK_SCHEMA = "SELECT pg_advisory_xact_lock(7370626574)";

constexpr const char* CREATE_VERSION = R"(CREATE TABLE IF NOT EXISTS tokentally_schema (
    version integer NOT NULL
))";

int _version(Session& s) {
    Result r = s.exec("SELECT max(version) FROM tokentally_schema");
    return r.null(0, 0) ? 0 : static_cast<int>(r.integer(0, 0));
}

// A table dropped behind our back: its version row may still be there, so
// the steps run again (each is safe to repeat); with the calls gone, the
// calls counted by tokentally_ids are gone too, and a new generation makes
// every serving process read the ledger afresh. Decided under the schema
// lock: a process that merely raced a creator finds every table there and
// drops nothing.
void _forget_lost_tables(Session& s) {
    if (s.exec("SELECT to_regclass('calls')").null(0, 0))
        s.command("DROP TABLE IF EXISTS tokentally_schema, tokentally_ids");
    else
        s.command("DROP TABLE IF EXISTS tokentally_schema");
}

void _migrate(Session& s, bool again) {
    s.command("BEGIN");
    s.command(LOCK_SCHEMA);
    if (again) _forget_lost_tables(s);
    s.command(CREATE_VERSION);
    int version = _version(s);
    if (version > SCHEMA_VERSION)
        throw std::runtime_error(
            fmt::format("the ledger database has schema version {}, newer than this "
                        "tokentally knows ({}): upgrade tokentally",
                        version, SCHEMA_VERSION));
    for (int v = version; v < SCHEMA_VERSION; ++v) s.command(SCHEMA_STEPS[v]);
    if (version < SCHEMA_VERSION) {
        s.command("DELETE FROM tokentally_schema");
        s.command(fmt::format("INSERT INTO tokentally_schema (version) VALUES ({})", SCHEMA_VERSION));
    }
    s.command(SIDE_TABLES);
    s.command("COMMIT");
}

}  // namespace

void ensure_schema(Shared& db, bool again) {
    if (db.schema_ready.load() && !again) return;
    db.pool.run([again](Session& s) { _migrate(s, again); });
    db.schema_ready.store(true);
}

bool schema_exists(Shared& db) {
    return db.pool.run([](Session& s) { return !s.exec("SELECT to_regclass('calls')").null(0, 0); });
}

}  // namespace tokentally::store::postgres
