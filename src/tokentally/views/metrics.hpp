// The proxy's own figures in the Prometheus text format: counters of the
// calls since the process started, the budget windows as gauges, and the
// time a call spends upstream and in the proxy. The registry is one per
// process; the server answers /metrics with render().
#pragma once

#include "tokentally/guards/spend_state.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/store/store.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::metrics {

// Distinct tag values kept as labels, and as many model ids; calls of any
// further tag or model are counted under OTHER_TAG, so that a client
// inventing tags or model names cannot grow the output without bound. A
// longer model id is cut to MAX_LABEL_BYTES.
inline constexpr std::size_t MAX_TAG_LABELS = 100;
inline constexpr std::size_t MAX_LABEL_BYTES = 128;
inline constexpr std::string_view OTHER_TAG = "other";

// The content type of the text format the scrapers ask for.
inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// A ledger listener counting each committed call: requests, spend, tokens.
ledger::Listener listener();

// The events that leave no row of their own, or whose row cannot tell.
void count_cache_hit(std::string_view kind);  // "exact" or "semantic"
// A call refused by the budget block: counted as a request with status 429
// and as a refusal of its tag.
void count_refusal(const std::optional<std::string>& model_id, const std::string& tag);
// A call refused by a rate limit: counted as a request with status 429 and
// in tokentally_rate_limited_total by `scope` ("tag:<tag>", its tag label
// bounded as the others are, or "key:<name>") and `limit`.
void count_rate_limited(const std::optional<std::string>& model_id, const std::string& tag, const std::string& scope,
                        const std::string& limit);
void observe_upstream(double seconds);
void observe_overhead(double seconds);
void observe_first_byte(double seconds);

// One configured budget and what its window holds: scope "hourly", "daily",
// "monthly" or "tag:<tag>" (a tag's daily budget), over the windows
// `[budgets] period` says.
struct Budget {
    std::string scope;
    double limit = 0.0;
    double spent = 0.0;
};

// The budgets of the configuration, their spend left at 0. Throws for a
// budget that is not a number.
std::vector<Budget> budget_limits();

// budget_limits() with the spend of their windows, read from one snapshot
// of the ledger, or from `spend` when given: the proxy's own spend state,
// which already follows the ledger in memory.
std::vector<Budget> budgets(store::Store& store, spend_state::State* spend = nullptr);

// The text exposition of every metric, the budget gauges read now and
// tokentally_build_info labelled with `version`.
std::string render(store::Store& store, std::string_view version, spend_state::State* spend = nullptr,
                   int in_flight = 0);

// GET /metrics over `store` (and `spend` when given, as budgets() takes it),
// unguarded: the caller puts it behind the dashboard's admin check.
http::Router router(std::shared_ptr<store::Store> store, std::string version,
                    std::shared_ptr<spend_state::State> spend = nullptr);

}  // namespace tokentally::metrics
