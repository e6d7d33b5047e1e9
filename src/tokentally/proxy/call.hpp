// One call on its way to the provider: what the standard forward and the
// stream relay need once the stages before them are done, and what both do
// with an answer's headers.
#pragma once

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/guards/spend_state.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/proxy/gemini.hpp"
#include "tokentally/proxy/relay.hpp"
#include "tokentally/proxy/services.hpp"

#include <boost/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace tokentally::proxy {

namespace bj = boost::json;

// Status recorded for a streamed call whose client left before its end.
inline constexpr int CLIENT_CLOSED_REQUEST = 499;

// With [proxy] cost_headers on, a recorded answer tells its caller what it
// cost and what is left of the daily budgets after it, so that a program (an
// agent) can stop itself. Called once the call's row committed, so the spend
// includes it. Optional: whatever fails leaves the headers out (a broken
// configuration is reported by the budget check).
void add_cost_headers(http::Headers& headers, std::optional<double> cost, const Services& services,
                      const std::shared_ptr<const bj::object>& config, const std::string& tag,
                      const std::optional<std::string>& key);

struct ForwardCall : relay::Call {
    std::shared_ptr<const Services> services;
    std::shared_ptr<http::Client> client;
    std::string method;
    std::string url;
    http::Headers headers;
    std::string body;
    std::optional<bj::object> body_json;
    std::string priced_id;  // what the price stage priced the model by
    std::optional<bj::object> pricing;
    bool cache_on = true;
    bool semantic_on = true;
    std::optional<std::string> cache_key;
    http::Headers extra_headers;
    std::optional<std::string> requested_model;  // the client's model when routing swapped it
    std::optional<gemini::NativeCall> native;    // a call to Gemini's native API (gemini_native on)
    usage::Accounting accounting;                // [accounting] as it stood when the call came in
    catalog::Sources files;                      // the configuration and prices the call came in with
    // What the call holds of its budgets in strict mode, until its row is
    // written: released when the last copy of the call goes.
    std::shared_ptr<spend_state::Hold> hold;
    // Its place among the calls in flight of its rate limits, until its row
    // is written: released when the last copy of the call goes, at the latest.
    std::shared_ptr<limits::Slot> slot;
    double received = 0.0;  // the monotonic clock when the request reached the proxy
};

// Provider headers passed back to the client: the PASSTHROUGH set only.
http::Headers safe_response_headers(const http::Headers& headers);

// A strict budget's hold goes the moment the call's row (and so its cost in
// the spend) is committed, not when this call's loop next comes round: in
// between, other calls would see its cost twice, spent and held. The call
// stops counting as in flight at the same moment, before its answer leaves:
// a client that waits for it may send the next one at once.
std::function<void()> gives_back_hold(const ForwardCall& call);

// The call's prices: input and output from its pricing entry, and what else
// the catalog has for the model (cache, long-context and service-tier prices).
prices::Price rates(const ForwardCall& call);

bool priced(const std::optional<bj::object>& pricing);

// The path of the call's URL, without its query.
std::string_view url_path(const ForwardCall& call);

// The cached tokens of a call's row.
void set_cache_tokens(ledger::CallRecord& rec, const usage::CacheTokens& cache);

}  // namespace tokentally::proxy
