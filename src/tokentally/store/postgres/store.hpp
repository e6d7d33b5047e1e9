// The PostgreSQL store: one database shared by every proxy of a team. Each
// part of the interface is a small class over the same pool of connections
// and the same knowledge of whether the schema is in place (schema.cpp).
#pragma once

#include "tokentally/store/postgres/pg.hpp"
#include "tokentally/store/store.hpp"

#include <atomic>
#include <memory>
#include <string>

namespace tokentally::store::postgres {

// True when `location` names a PostgreSQL database (postgresql:// or
// postgres://).
bool is_url(const std::string& location);

// What the parts of one store share.
struct Shared {
    Shared(const std::string& url, Durability durability) : pool(url, durability) {}
    Pool pool;
    // Set once this process has created or checked the schema; cleared when
    // a statement finds a table missing (dropped behind our back).
    std::atomic<bool> schema_ready{false};
};

// Creates the tables when missing and brings an older schema up to date
// (schema.cpp), once per process unless `again`.
void ensure_schema(Shared& db, bool again = false);
// Runs `op` with the schema in place; when a table turns out to be missing
// (dropped since), creates it and runs `op` once more.
template <class Op>
auto with_schema(Shared& db, Op&& op) {
    ensure_schema(db);
    try {
        return db.pool.run(op);
    } catch (const Error& e) {
        if (e.sqlstate != UNDEFINED_TABLE) throw;
    }
    ensure_schema(db, true);
    return db.pool.run(op);
}
// True when the ledger's tables exist.
bool schema_exists(Shared& db);
// What `op` reads, or `absent` when there is no ledger: the readers that
// must not create one (the spend kept in memory, the advisor and the
// predictor, the refusal counts) read a database without it as empty. A
// ledger without a table that `op` reads (one beside the calls, which an
// earlier release did not make) is brought up to date and read again.
template <class T, class Op>
T without_ledger(Shared& db, T absent, Op&& op) {
    try {
        return db.pool.run(op);
    } catch (const Error& e) {
        if (e.sqlstate != UNDEFINED_TABLE) throw;
    }
    if (!schema_exists(db)) return absent;
    ensure_schema(db, db.schema_ready.load());
    return db.pool.run(op);
}

class PgCalls final : public Calls {
public:
    explicit PgCalls(Shared& db) : db_(db) {}
    void init() override;
    std::vector<Appended> append(std::span<const CallRecord* const> rows) override;
    std::vector<double> spend_since(std::span<const SpendWindow> windows) override;
    Changes changes() override;
    void each_priced(std::int64_t after_id, std::int64_t upto_id, double since,
                     const std::function<void(const PricedCall&)>& each) override;
    std::vector<PricedCall> priced_between(double from, double to) override;
    std::vector<GroupTotals> by_model(double since, const std::optional<std::string>& tag) override;
    std::vector<GroupTotals> by_session(double since) override;
    std::vector<CallRow> latest(std::int64_t n, const std::optional<std::string>& session_id) override;
    double spend(double since, const std::optional<std::string>& tag) override;
    std::vector<DayTotals> by_day(double since) override;
    std::vector<ModelCalls> model_calls(double since, const std::optional<std::string>& tag) override;
    std::vector<CallRow> between(double since, const std::optional<std::string>& tag) override;
    std::vector<std::optional<std::string>> requested_models(std::span<const std::int64_t> ids) override;
    std::vector<RoutedCall> routed_since(double since, const std::optional<std::string>& tag) override;
    std::vector<std::optional<std::string>> service_tiers(std::span<const std::int64_t> ids) override;
    std::vector<std::optional<CacheTokens>> cache_tokens(std::span<const std::int64_t> ids) override;
    std::vector<std::optional<std::string>> keys(std::span<const std::int64_t> ids) override;
    std::vector<CacheTotals> cache_totals(double since, const std::optional<std::string>& tag) override;
    void add_rate_limited(std::span<const RateLimited> counts) override;
    std::vector<RateLimited> rate_limited_since(double since) override;
    std::vector<ModelUsage> usage_by_model(double since) override;
    std::vector<TrainingRow> training_rows() override;
    std::vector<ModelDay> by_model_day(double since) override;
    std::vector<StoredCall> records(std::int64_t after_id, std::int64_t limit) override;
    std::vector<bool> contains(std::span<const CallRecord* const> rows) override;

private:
    Shared& db_;
};

class PgAlerts final : public Alerts {
public:
    explicit PgAlerts(Shared& db) : db_(db) {}
    std::optional<double> insert_unless_raised_since(const Alert& alert, double since) override;
    std::vector<AlertRow> latest(std::int64_t n) override;
    std::vector<AlertRow> take_unseen() override;

private:
    Shared& db_;
};

class PgExactCache final : public ExactCache {
public:
    explicit PgExactCache(Shared& db) : db_(db) {}
    std::optional<std::string> find(const std::string& key, double since) override;
    void count_hit(const std::string& key) override;
    void put(const std::string& key, const std::string& response_json) override;

private:
    Shared& db_;
};

class PgSemanticCache final : public SemanticCache {
public:
    explicit PgSemanticCache(Shared& db) : db_(db) {}
    bool prepare() override;
    std::vector<SemanticHead> live(double since) override;
    Appended add(const SemanticEntry& entry) override;
    std::vector<std::optional<SemanticVector>> vectors(std::span<const std::int64_t> ids) override;
    std::optional<std::string> response(std::int64_t id) override;
    void count_hit(std::int64_t id) override;
    void remove_before(double cutoff) override;
    void remove(std::int64_t id) override;

private:
    Shared& db_;
    std::atomic<bool> prepared_{false};
};

class PgStore final : public Store {
public:
    // Connects once, so that a database that cannot be reached is reported
    // when the store is opened (naming its host, never the password).
    PgStore(const std::string& url, Durability durability);
    const std::string& location() const override { return db_->pool.name(); }
    bool remote() const override { return true; }
    bool exists() const override { return schema_exists(*db_); }
    Calls& calls() override { return calls_; }
    Alerts& alerts() override { return alerts_; }
    ExactCache& exact_cache() override { return exact_; }
    SemanticCache& semantic_cache() override { return semantic_; }

private:
    std::unique_ptr<Shared> db_;
    PgCalls calls_;
    PgAlerts alerts_;
    PgExactCache exact_;
    PgSemanticCache semantic_;
};

}  // namespace tokentally::store::postgres
