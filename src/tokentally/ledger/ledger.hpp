// The call ledger: one row per finished call, written through a writer that
// groups concurrent calls into one commit and tells its listeners of every
// commit, and the read queries over the rows as records.
#pragma once

#include "tokentally/store/store.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tokentally::spend_state {
struct State;  // the spend kept in memory (guards/spend_state.hpp), handed to the alert step
}  // namespace tokentally::spend_state

namespace tokentally::ledger {

using CallRecord = store::CallRecord;

// One call of a committed batch, as the listeners see it.
using Committed = store::Committed;

// Told of each committed batch, on the thread that wrote it, after the
// commit and before any caller of the batch goes on. What a listener throws
// is logged and never undoes or fails the recording.
using Listener = std::function<void(store::Store& store, std::span<const Committed> batch)>;

// The budget alert step: after a batch, the alerts library's check once per
// tag of its priced calls below status 400, its windows read from the spend
// kept in memory (it comes after spend_state::listener(state) among the
// listeners). The library is looked up beside the ledger's own the first
// time a priced call needs it; when it is absent the step is skipped. The
// library logs a failing check itself, once while the same failure lasts.
// The step holds the library's webhook delivery of the alerts it stores,
// opened with the first check and closed when the step goes (with its
// writer).
Listener alert_step(std::shared_ptr<spend_state::State> state);

// Name of the alerts library and of its C entry points (without and with
// the spend kept in memory), loaded on first use.
inline constexpr const char* ALERTS_LIBRARY = "libtokentally_alerts.so";
inline constexpr const char* ALERTS_ENTRY = "tokentally_alerts_check_budgets";
inline constexpr const char* ALERTS_ENTRY_FROM_MEMORY = "tokentally_alerts_check_budgets_from";
inline constexpr const char* ALERTS_ENTRY_DELIVERING = "tokentally_alerts_check_budgets_delivering";
inline constexpr const char* ALERTS_OPEN_DELIVERY = "tokentally_alerts_open_delivery";
inline constexpr const char* ALERTS_CLOSE_DELIVERY = "tokentally_alerts_close_delivery";

// The writing side of one store: its listeners and the thread that commits
// queued rows. Destroying it commits what is still queued first.
struct Writer;

// A writer for `store` whose listeners are told of every commit, in order.
// The listeners are taken to include the spend_state::listener of every
// spend state kept over this store object: its rows are then no reason for
// those states to read the ledger again.
std::shared_ptr<Writer> make_writer(std::shared_ptr<store::Store> store, std::vector<Listener> listeners);

// A writer whose alert step reads its windows from a spend state of its
// own: after the first call, a call costs the same on a ledger of a million
// rows as on an empty one (summing the windows in the ledger at every call
// would read the whole month).
std::shared_ptr<Writer> make_writer(std::shared_ptr<store::Store> store);

// Creates the table and its indexes when missing and adds `session_id` to
// tables written before it existed. Safe to call any number of times.
void init_db(store::Store& store);

// Appends one row stamped with the current time, then tells the listeners.
// Errors of the insert propagate; errors of the listeners never do.
void record_call(Writer& writer, const CallRecord& rec);

// Told, on the writer's thread, that a queued row was committed (null) or
// could not be (the error).
using Recorded = std::function<void(std::exception_ptr)>;

// Queues the row for the writer's thread, which commits every row queued
// meanwhile in one transaction, tells the listeners once for the batch, and
// only then calls `done` for each row. Under concurrent calls this turns one
// commit per call into one per batch, while every caller still learns of its
// own commit before it goes on.
void record_call_queued(Writer& writer, const CallRecord& rec, Recorded done);

// record_call for a coroutine: suspends (the loop thread serves other
// connections meanwhile) until the row is committed, and resumes on the
// caller's executor; throws what recording threw. `rec` must outlive the
// wait. The caller says how many requests it is serving right now: the only
// one in flight is recorded on the caller's thread instead, as there is
// nothing to batch it with and the hand-over to the writer and back would
// cost more than the write. `committed`, when given, runs on the committing
// thread right after the row and its listeners, before the caller resumes:
// what must end with the commit itself (a strict budget's hold, which the
// spend now counts) does not wait for the caller's loop to come round.
boost::asio::awaitable<void> record_call_async(Writer& writer, const CallRecord& rec, int requests_in_flight,
                                               std::function<void()> committed = {});

// --- read queries -------------------------------------------------------------
// Rows as records from result column name to value, NULL as null.

boost::json::array summary(store::Store& store, std::optional<std::string> tag = std::nullopt,
                           double since_hours = 24.0);
boost::json::array recent(store::Store& store, std::int64_t n = 20);
double rolling_spend(store::Store& store, std::int64_t days = 30, std::optional<std::string> tag = std::nullopt);
boost::json::array rolling_summary(store::Store& store, std::int64_t days = 30);
boost::json::array agent_summary(store::Store& store, double since_hours = 24.0);
// agent_summary's records of groups the caller read (by_session's rows).
boost::json::array agent_records(const std::vector<store::GroupTotals>& sessions);
boost::json::array agent_recent(store::Store& store, const std::string& session_id, std::int64_t n = 20);
// Every call of the window (of one tag when given), oldest first, as recent() shows them.
boost::json::array calls_since(store::Store& store, double since_hours, std::optional<std::string> tag = std::nullopt);

// --- routed calls -------------------------------------------------------------

// Sets "requested_model" on each call record (by its "id"): the model the
// client asked for when the router swapped it, else null.
void add_requested_models(store::Store& store, boost::json::array& calls);

// Sets "routed_calls" and "routing_saving_usd" on each summary record (by
// model_id and tag) over the same window: the swapped calls, and what their
// tokens would have cost at the requested model's price minus what they cost
// (priced calls only; cache hits saved by the cache, not the router).
void add_routing_savings(store::Store& store, boost::json::array& summary,
                         std::optional<std::string> tag = std::nullopt, double since_hours = 24.0);

// --- cached tokens, service tiers and calls without cost ------------------------

// Sets "service_tier" on each call record (by its "id") that its provider
// served other than the standard way ("flex", "priority"); the others get
// no such member.
void add_service_tiers(store::Store& store, boost::json::array& calls);

// Sets "key" on each call record (by its "id"): the name of the client key
// it was made with, else null.
void add_keys(store::Store& store, boost::json::array& calls);

// Adds "cache_read_tokens" and "cache_write_tokens" (null when unknown) to
// each call row of `rows` (rows of recent or agent_recent), by its id.
void add_cache_tokens(store::Store& store, boost::json::array& rows);

// Cached tokens read and written per model and tag over the window of
// summary(tag, since_hours): "model_id", "tag", "total_cache_read",
// "total_cache_write" (null when no call of the group said).
boost::json::array cache_summary(store::Store& store, std::optional<std::string> tag = std::nullopt,
                                 double since_hours = 24.0);

// Calls of the window (of one tag when given) per model, with how many of
// them have no cost and how many a cost of 0: "model_id", "calls",
// "null_cost", "zero_cost".
boost::json::array model_calls(store::Store& store, double since_hours, std::optional<std::string> tag = std::nullopt);

// Calls of the window (of one tag when given) that carry no cost: a null
// one (a stream without usage, a call without model), or 0 for a model no
// price list knows. Local models, charged by electricity, are not counted.
std::int64_t calls_without_cost(store::Store& store, double since_hours, std::optional<std::string> tag = std::nullopt);

}  // namespace tokentally::ledger
