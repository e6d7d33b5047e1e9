// The call ledger: one row per finished call in the `calls` table of
// ledger.db, and the read queries over it.
#pragma once

#include "tokentally/db.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <boost/json.hpp>

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace tokentally::ledger {

// Path of ledger.db; computed when the library loads, read at every
// connection, so a caller (a test) may point it elsewhere.
extern std::string DB_PATH;

struct CallRecord {
    std::optional<std::string> model_id;
    std::string tag = "default";
    std::string session_id = "default";
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost_usd;
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
};

// A connection to DB_PATH (its directory created when missing) with the
// 5-second wait on a busy database.
db::Conn _conn();

// Runs init_db once per ledger file in this process (again when the file
// was replaced): what every operation calls before touching the table.
void _ensure_schema();

// Creates the table and its indexes when missing and adds `session_id` to
// tables written before it existed. Safe to call any number of times.
void init_db();

// Appends one row stamped with the current time, then runs the budget alert
// check for a priced call below status 400. Errors of the insert propagate;
// errors of the alert step never do.
void record_call(const CallRecord& rec);

// Told, on the ledger's writer thread, that a queued row was committed
// (null) or could not be (the error).
using Recorded = std::function<void(std::exception_ptr)>;

// Queues the row for the ledger's writer thread, which commits every row
// queued meanwhile in one transaction, runs the alert step once per tag of
// the batch, and only then calls `done` for each row. Under concurrent calls
// this turns one commit per call into one per batch, while every caller
// still learns of its own commit before it goes on.
void record_call_queued(const CallRecord& rec, Recorded done);

// record_call for a coroutine: suspends (the loop thread serves other
// connections meanwhile) until the row is committed, and resumes on the
// caller's executor; throws what recording threw. `rec` must outlive the wait.
// A call that is the only request in flight is recorded on the caller's
// thread instead: there is nothing to batch it with, and the hand-over to
// the writer and back would cost more than the write.
boost::asio::awaitable<void> record_call_async(const CallRecord& rec);

// Name of the alerts library and of its C entry point, loaded on first use.
inline constexpr const char* ALERTS_LIBRARY = "libtokentally_alerts.so";
inline constexpr const char* ALERTS_ENTRY = "tokentally_alerts_check_budgets";

// --- read queries -----------------------------------------------------------

boost::json::array summary(std::optional<std::string> tag = std::nullopt, double since_hours = 24.0);
boost::json::array recent(std::int64_t n = 20);
double rolling_spend(std::int64_t days = 30, std::optional<std::string> tag = std::nullopt);
boost::json::array rolling_summary(std::int64_t days = 30);
boost::json::array agent_summary(double since_hours = 24.0);
boost::json::array agent_recent(const std::string& session_id, std::int64_t n = 20);

// --- routed calls -------------------------------------------------------------

// Sets "requested_model" on each call record (by its "id"): the model the
// client asked for when the router swapped it, else null.
void add_requested_models(boost::json::array& calls);

// Sets "routed_calls" and "routing_saving_usd" on each summary record (by
// model_id and tag) over the same window: the swapped calls, and what their
// tokens would have cost at the requested model's price minus what they cost
// (priced calls only; cache hits saved by the cache, not the router).
void add_routing_savings(boost::json::array& summary, std::optional<std::string> tag = std::nullopt,
                         double since_hours = 24.0);

// --- cached tokens and calls without cost -------------------------------------

// Adds "cache_read_tokens" and "cache_write_tokens" (null when unknown) to
// each call row of `rows` (rows of recent or agent_recent), by its id.
void add_cache_tokens(boost::json::array& rows);

// Cached tokens read and written per model and tag over the window of
// summary(tag, since_hours): "model_id", "tag", "total_cache_read",
// "total_cache_write" (null when no call of the group said).
boost::json::array cache_summary(std::optional<std::string> tag = std::nullopt, double since_hours = 24.0);

// Calls of the window (of one tag when given) per model, with how many of
// them have no cost and how many a cost of 0: "model_id", "calls",
// "null_cost", "zero_cost".
boost::json::array model_calls(double since_hours, std::optional<std::string> tag = std::nullopt);

// Calls of the window (of one tag when given) that carry no cost: a null
// one (a stream without usage, a call without model), or 0 for a model no
// price list knows. Local models, charged by electricity, are not counted.
std::int64_t calls_without_cost(double since_hours, std::optional<std::string> tag = std::nullopt);

}  // namespace tokentally::ledger
