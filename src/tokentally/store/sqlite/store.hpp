// The SQLite store: every table in one file (ledger.db), each part of the
// interface a small class over the file's path. The connections, statements
// and locks they share are kept per thread and per file (db.hpp), so any
// number of these objects on one file cost nothing extra.
#pragma once

#include "tokentally/store/store.hpp"

#include <memory>
#include <string>

namespace tokentally::store::sqlite {

class SqliteCalls final : public Calls {
public:
    explicit SqliteCalls(std::string path) : path_(std::move(path)) {}
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
    std::vector<CallRow> between(double since, const std::optional<std::string>& tag) override;
    double spend(double since, const std::optional<std::string>& tag) override;
    std::vector<DayTotals> by_day(double since) override;
    std::vector<ModelCalls> model_calls(double since, const std::optional<std::string>& tag) override;
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
    std::vector<Rollup> rollups(double since, RollupRead how) override;
    SessionPage top_sessions(double since, const std::optional<std::string>& tag, std::int64_t n) override;
    std::vector<StoredCall> records(std::int64_t after_id, std::int64_t limit) override;
    std::vector<bool> contains(std::span<const CallRecord* const> rows) override;

private:
    const std::string path_;
};

class SqliteAlerts final : public Alerts {
public:
    explicit SqliteAlerts(std::string path) : path_(std::move(path)) {}
    std::optional<double> insert_unless_raised_since(const Alert& alert, double since) override;
    std::vector<AlertRow> latest(std::int64_t n) override;
    std::vector<AlertRow> take_unseen() override;

private:
    const std::string path_;
};

class SqliteExactCache final : public ExactCache {
public:
    explicit SqliteExactCache(std::string path) : path_(std::move(path)) {}
    std::optional<std::string> find(const std::string& key, double since) override;
    void count_hit(const std::string& key) override;
    void put(const std::string& key, const std::string& response_json) override;

private:
    const std::string path_;
};

class SqliteSemanticCache final : public SemanticCache {
public:
    explicit SqliteSemanticCache(std::string path) : path_(std::move(path)) {}
    bool prepare() override;
    std::vector<SemanticHead> live(double since) override;
    Appended add(const SemanticEntry& entry) override;
    std::vector<std::optional<SemanticVector>> vectors(std::span<const std::int64_t> ids) override;
    std::optional<std::string> response(std::int64_t id) override;
    void count_hit(std::int64_t id) override;
    void remove_before(double cutoff) override;
    void remove(std::int64_t id) override;

private:
    const std::string path_;
};

class SqliteStore final : public Store {
public:
    explicit SqliteStore(std::string path) : path_(path), calls_(path), alerts_(path), exact_(path), semantic_(path) {}
    const std::string& location() const override { return path_; }
    bool exists() const override;
    Calls& calls() override { return calls_; }
    Alerts& alerts() override { return alerts_; }
    ExactCache& exact_cache() override { return exact_; }
    SemanticCache& semantic_cache() override { return semantic_; }

private:
    const std::string path_;
    SqliteCalls calls_;
    SqliteAlerts alerts_;
    SqliteExactCache exact_;
    SqliteSemanticCache semantic_;
};

}  // namespace tokentally::store::sqlite
