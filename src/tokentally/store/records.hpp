// The plain records the program keeps and reads back: a call handed to the
// ledger, the rows its read queries answer, alerts, cache entries. No JSON
// and no backend here: modules turn these into what they show.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tokentally::store {

// A total over a column of token counts, typed as SQL sums it: none when
// every value was NULL, an integer while every value was one, a real once
// any value was not (a count written by hand as 2.5 or as text).
using Total = std::variant<std::monostate, std::int64_t, double>;

// One finished call, handed to the ledger by name; the ledger adds the time.
struct CallRecord {
    std::optional<std::string> model_id = std::nullopt;
    std::string tag = "default";
    std::string session_id = "default";
    std::optional<std::int64_t> prompt_tokens = std::nullopt;
    std::optional<std::int64_t> completion_tokens = std::nullopt;
    std::optional<double> cost_usd = std::nullopt;
    double elapsed_s = 0.0;
    int status = 0;
    bool streamed = false;
    // The model the client asked for, when the router swapped it for
    // model_id: kept beside the row in `call_routing`.
    std::optional<std::string> requested_model = std::nullopt;
    // Cached prompt tokens read and written (all lifetimes; the 1-hour
    // share), kept beside the row in `call_cache_tokens` when any is known.
    std::optional<std::int64_t> cache_read_tokens = std::nullopt;
    std::optional<std::int64_t> cache_write_tokens = std::nullopt;
    std::optional<std::int64_t> cache_write_1h_tokens = std::nullopt;
    // How the provider says it served the call ("flex", "priority"), when
    // not the standard way: kept beside the row in `call_service_tiers`.
    std::optional<std::string> service_tier = std::nullopt;
    // The name of the client key the call came with, when client keys are
    // on: kept beside the row in `call_keys`.
    std::optional<std::string> key = std::nullopt;
    // The key of the exact-cache entry that answered the call: its
    // hit_count goes up in the transaction that appends the row, so a hit
    // costs no commit of its own.
    std::optional<std::string> exact_cache_hit = std::nullopt;
    // The row's time, seconds since the epoch; none means "now, when it is
    // written". Set for rows copied from elsewhere and rows of a chosen age.
    std::optional<double> ts = std::nullopt;
};

// A call as kept, with its id: what copying a ledger reads.
struct StoredCall {
    std::int64_t id = 0;
    CallRecord record;
};

// What the store made of one appended call.
struct Appended {
    std::int64_t id = 0;
    double ts = 0.0;
};

// One row of `calls`, every column.
struct CallRow {
    std::int64_t id = 0;
    double ts = 0.0;
    std::optional<std::string> model_id;
    std::optional<std::string> tag;
    std::optional<std::string> session_id;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost_usd;
    std::optional<double> elapsed_s;
    std::optional<std::int64_t> status;
    std::optional<std::int64_t> streamed;
};

// One call of a committed batch, as those told of the commit see it.
struct Committed {
    const CallRecord* rec;
    Appended at;  // its id and time in the ledger
};

// The calls of one group (a model and tag, or a session and tag) in a window.
struct GroupTotals {
    std::optional<std::string> key;  // the model_id or the session_id
    std::optional<std::string> tag;
    std::int64_t calls = 0;
    Total total_prompt;
    Total total_completion;
    std::optional<double> total_cost;   // none when no call of the group has a cost
    std::optional<double> avg_latency;  // none when no call has an elapsed time
    double first_call = 0.0;            // sessions only: the earliest and latest ts
    double last_call = 0.0;
    std::int64_t errors = 0;  // calls with status 400 or above
};

// Some of the sessions of a window, and how many the window holds.
struct SessionPage {
    std::vector<GroupTotals> rows;
    std::int64_t total = 0;
};

// The priced calls of one local calendar day ("YYYY-MM-DD").
struct DayTotals {
    std::optional<std::string> day;
    std::int64_t calls = 0;
    std::optional<double> total_cost;
    Total total_prompt;
    Total total_completion;
};

// Spend over calls with ts >= since, of one tag and of one client key when
// given (an empty text filters nothing).
struct SpendWindow {
    double since = 0.0;
    std::optional<std::string> tag;
    std::optional<std::string> key = std::nullopt;
};

// A priced call as the spend kept in memory needs it. A call stored
// without a tag counts under the empty text; `key` is empty for a call
// made without a client key.
struct PricedCall {
    std::int64_t id = 0;
    double ts = 0.0;
    std::string tag;
    double cost_usd = 0.0;
    std::string key = {};
};

// Where the calls of a ledger stand: what a figure derived from them
// compares to learn that it must catch up (new ids) or start over (edits,
// a ledger made afresh, ids that went back).
struct Changes {
    std::uint64_t generation = 0;  // moves when the ledger was made afresh: ids start over
    std::int64_t last_id = 0;      // the highest id of any call
    std::int64_t edits = 0;        // updates and deletions of calls so far
    bool operator==(const Changes&) const = default;
};

// A call the router swapped, with what it asked for.
struct RoutedCall {
    std::optional<std::string> model_id;
    std::optional<std::string> tag;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost_usd;
    std::string requested_model;
};

// Cached prompt tokens of one call, as its provider reported them.
struct CacheTokens {
    std::optional<std::int64_t> read;
    std::optional<std::int64_t> write;
};

// Cached prompt tokens of one model and tag over a window.
struct CacheTotals {
    std::optional<std::string> model_id;
    std::optional<std::string> tag;
    Total total_cache_read;
    Total total_cache_write;
};

// The calls of one model on one UTC day: what is compared with a
// provider's bill. Token totals are 0 when no call had a count.
struct ModelDay {
    std::optional<std::string> model_id;
    std::string day;  // "YYYY-MM-DD", UTC
    std::int64_t calls = 0;
    double cost = 0.0;  // priced calls only
    std::int64_t prompt_tokens = 0;
    std::int64_t completion_tokens = 0;
    std::int64_t cache_read_tokens = 0;
    std::int64_t cache_write_tokens = 0;
};

// Calls of one model in a window, and how many carry no cost or a cost of 0.
struct ModelCalls {
    std::optional<std::string> model_id;
    std::int64_t calls = 0;
    std::int64_t null_cost = 0;
    std::int64_t zero_cost = 0;
};

// The advisor's view of one model: its calls with a cost above 0.
struct ModelUsage {
    std::optional<std::string> model_id;
    std::int64_t calls = 0;
    Total total_in;
    Total total_out;
    double total_cost = 0.0;
    std::optional<double> avg_in;
    std::optional<double> avg_out;
};

// A call the predictor trains on: priced, with both token counts above 0.
// A missing model or tag is the empty text.
struct TrainingRow {
    std::string model_id;
    std::string tag;
    double ts = 0.0;
    std::int64_t prompt_tokens = 0;
    std::int64_t completion_tokens = 0;
    double cost_usd = 0.0;
};

// The latency samples of one bin of a histogram with fixed log-spaced
// bounds (store/rollups.hpp): how many, and their sum.
struct LatencyBin {
    int bin = 0;
    std::int64_t count = 0;
    double sum = 0.0;
    friend bool operator==(const LatencyBin&, const LatencyBin&) = default;
};

// What a read of the rollups needs of them.
struct RollupRead {
    bool lists = true;     // status classes and latency bins
    bool per_hour = true;  // one row per hour, or the range's sums
};

// The calls of one hour (UTC), model and tag: what the dashboard's charts
// and figures are drawn from instead of the rows themselves.
struct Rollup {
    double hour = 0.0;  // the hour's start, seconds since the epoch
    std::optional<std::string> model_id;
    std::optional<std::string> tag;
    std::int64_t calls = 0;
    std::optional<std::int64_t> total_prompt;  // none when no call had a count
    std::optional<std::int64_t> total_completion;
    std::optional<double> total_cost;  // none when no call had a cost
    std::int64_t latency_calls = 0;    // calls with an elapsed time
    double latency_sum = 0.0;
    std::int64_t errors = 0;  // status 400 or above
    // Calls per status class ("2xx", "5xx"; "none" without a status).
    std::vector<std::pair<std::string, std::int64_t>> status_classes;  // in class order
    // Calls answered from a cache, and the tokens their answers held.
    std::int64_t cache_hits = 0;
    std::int64_t cache_hit_prompt = 0;
    std::int64_t cache_hit_completion = 0;
    // Elapsed times of the calls not answered from a cache, in bin order.
    std::vector<LatencyBin> latency;
    // The calls with a cost above 0, as the advisor weighs them: their cost,
    // and their token counts with how many calls had one.
    std::int64_t priced_calls = 0;
    double priced_cost = 0.0;
    std::optional<std::int64_t> priced_prompt;
    std::optional<std::int64_t> priced_completion;
    std::int64_t priced_prompt_calls = 0;
    std::int64_t priced_completion_calls = 0;
    friend bool operator==(const Rollup&, const Rollup&) = default;
};

// Calls refused by one rate limit of one scope ("tag:<tag>" or
// "key:<name>") in one minute: what the serving processes leave of the
// refusals, which have no row of their own.
struct RateLimited {
    double minute = 0.0;  // the minute's start, seconds since the epoch
    std::string scope;
    std::string limit;  // "rpm", "tpm" or "max_parallel"
    std::int64_t calls = 0;
};

// A budget alert about to be stored.
struct Alert {
    std::string level;  // "warn" or "critical"
    std::string scope;  // "hourly", "daily", "monthly" or "tag:<name>"
    double spent = 0.0;
    double budget = 0.0;
    std::string message;
};

// A stored alert.
struct AlertRow {
    std::int64_t id = 0;
    double ts = 0.0;
    std::string level;
    std::string scope;
    double spent = 0.0;
    double budget = 0.0;
    std::string message;
    std::int64_t seen = 0;
};

// A semantic-cache entry about to be stored. The vectors are kept as the
// bytes of their floats (the signature: 256 bits).
struct SemanticEntry {
    std::string context_key;
    std::string model_id;
    std::string embedding;
    std::string signature;
    std::string response_json;
    double cost_usd = 0.0;
};

// What the index of the semantic cache is built from.
struct SemanticHead {
    std::int64_t id = 0;
    double ts = 0.0;
    std::string context_key;
    std::string signature;
};

// The stored vector of one entry, and its time.
struct SemanticVector {
    double ts = 0.0;
    std::string embedding;
};

}  // namespace tokentally::store
