// What the program keeps, behind one interface: the calls of the ledger,
// the budget alerts, the exact cache and the entries of the semantic cache.
// open() makes the store for a location and is the only code that knows
// which backend it made; everything else is handed the store it works on.
//
// Every operation is safe to call from several threads at once, and from
// several processes on the same location. Failures are exceptions naming
// what failed (the backend's own, such as "database is locked").
#pragma once

#include "tokentally/store/records.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tokentally::store {

// The ledger's clock: seconds since the Unix epoch, with fraction. Rows are
// stamped with it and windows are counted back from it.
double now();

// The calls of the ledger and the read queries over them. Every read query
// first makes sure the ledger exists (a fresh machine reads an empty one);
// windows are rolling and include their boundary (ts >= since).
class Calls {
public:
    virtual ~Calls() = default;

    // Creates the ledger and its tables when missing, and brings a ledger
    // written by an earlier version up to date. Safe to call any number of
    // times.
    virtual void init() = 0;

    // Appends the rows in one transaction: all of them are committed, or
    // none and the error is thrown. A row without ts is stamped now().
    // Creates the ledger when missing.
    virtual std::vector<Appended> append(std::span<const CallRecord* const> rows) = 0;

    // The priced spend of each window, all read from one snapshot of the
    // ledger: the plain sums the budget block and the alert checks compare
    // when no spend is kept in memory. Without a ledger every window is 0
    // and nothing is created.
    virtual std::vector<double> spend_since(std::span<const SpendWindow> windows) = 0;

    // --- what changed ------------------------------------------------------------
    // Every figure derived from the calls (the spend kept in memory, the
    // dashboard's rollups) learns of changes here, the same way: appends by
    // their ids, updates and deletions by anyone by a count the ledger's
    // triggers keep, and a ledger made afresh by its generation.

    // Where the calls stand now, in one small read. Creates nothing.
    virtual Changes changes() = 0;
    // Hands `each` the priced calls with after_id < id <= upto_id and
    // ts >= since, in time order (ties in id order), from one snapshot,
    // each with the client key it was made with.
    // Without a ledger: none, and nothing is created.
    virtual void each_priced(std::int64_t after_id, std::int64_t upto_id, double since,
                             const std::function<void(const PricedCall&)>& each) = 0;
    // The priced calls with from <= ts < to, in time order (ties in id order).
    virtual std::vector<PricedCall> priced_between(double from, double to) = 0;

    // --- read queries -------------------------------------------------------

    // Per model and tag since `since` (of one tag when given), highest
    // total cost first, groups without cost last, ties in key order.
    virtual std::vector<GroupTotals> by_model(double since, const std::optional<std::string>& tag) = 0;
    // Per session and tag, as by_model, with the first and last call.
    virtual std::vector<GroupTotals> by_session(double since) = 0;
    // The `n` latest calls (of one session when given), newest first.
    virtual std::vector<CallRow> latest(std::int64_t n, const std::optional<std::string>& session_id) = 0;
    // Priced spend since `since`, of one tag when given.
    virtual double spend(double since, const std::optional<std::string>& tag) = 0;
    // Priced calls per local calendar day since `since`, newest day first.
    virtual std::vector<DayTotals> by_day(double since) = 0;
    // Calls since `since` (of one tag when given) per model, most calls first.
    virtual std::vector<ModelCalls> model_calls(double since, const std::optional<std::string>& tag) = 0;
    // Every call since `since` (of one tag when given), oldest first: what
    // the dashboard draws its series and percentiles from and exports.
    virtual std::vector<CallRow> between(double since, const std::optional<std::string>& tag) = 0;

    // The calls since `since` per hour (UTC), model and tag, in that order
    // (none first): the first hour holds only its calls from `since` on.
    // This computes them from between(); a backend that keeps the rollups
    // in a table of its own answers from it instead, with the same rows,
    // which may then leave out the status classes and latency bins of
    // stored hours when `how.lists` is false. Without `how.per_hour`, the
    // rows are summed over the hours (hour 0), by model and tag.
    virtual std::vector<Rollup> rollups(double since, RollupRead how = {});
    // The first `n` of by_session(since)'s rows of one tag (all tags when
    // none) and how many there are: what one page of the dashboard's
    // sessions shows. This cuts by_session's rows; a backend that keeps
    // per-session rollups picks the page from them instead of making every
    // row (sums may then differ from by_session's in their last bits: they
    // are added in another order).
    virtual SessionPage top_sessions(double since, const std::optional<std::string>& tag, std::int64_t n);

    // --- beside the rows ----------------------------------------------------

    // The model each call asked for when the router swapped it, by call id.
    virtual std::vector<std::optional<std::string>> requested_models(std::span<const std::int64_t> ids) = 0;
    // Swapped calls since `since` (of one tag when given).
    virtual std::vector<RoutedCall> routed_since(double since, const std::optional<std::string>& tag) = 0;
    // The service tier of each call served other than the standard way, by
    // call id.
    virtual std::vector<std::optional<std::string>> service_tiers(std::span<const std::int64_t> ids) = 0;
    // The cached tokens of each call that reported any, by call id.
    virtual std::vector<std::optional<CacheTokens>> cache_tokens(std::span<const std::int64_t> ids) = 0;
    // The client key each call was made with, by call id (none without one).
    virtual std::vector<std::optional<std::string>> keys(std::span<const std::int64_t> ids) = 0;
    // Cached tokens per model and tag since `since` (of one tag when given),
    // over the calls that reported any.
    virtual std::vector<CacheTotals> cache_totals(double since, const std::optional<std::string>& tag) = 0;

    // --- calls refused by a rate limit ----------------------------------------
    // They leave no row; the serving processes add their counts per minute.

    // Adds each count to its minute, scope and limit. Creates the ledger
    // when missing.
    virtual void add_rate_limited(std::span<const RateLimited> counts) = 0;
    // The refusals of the minutes that start at or after `since`'s minute,
    // per scope and limit (minute 0), in scope and limit order. Creates
    // nothing.
    virtual std::vector<RateLimited> rate_limited_since(double since) = 0;

    // --- the advisor and the predictor --------------------------------------
    // Both read the calls as they are and create nothing.

    // Calls with a cost above 0 since `since`, per model, highest cost first.
    virtual std::vector<ModelUsage> usage_by_model(double since) = 0;
    // Every call with a cost and both token counts above 0, in the ledger's order.
    virtual std::vector<TrainingRow> training_rows() = 0;

    // --- comparing with the providers' bills ---------------------------------

    // Calls since `since` per model and UTC day ("YYYY-MM-DD"), with their
    // priced spend and tokens (cached ones from beside the rows), in day and
    // model order.
    virtual std::vector<ModelDay> by_model_day(double since) = 0;

    // --- copying a ledger into another ----------------------------------------

    // At most `limit` calls with an id above `after_id`, in id order, each
    // with its time and what is kept beside it (a NULL tag, session, time
    // taken, status or streamed reads as the column's default).
    virtual std::vector<StoredCall> records(std::int64_t after_id, std::int64_t limit) = 0;
    // For each row, whether a call with the same time, model, tag, session,
    // token counts, cost and status is already in the ledger (a row without
    // a time never is): what makes copying the same ledger twice copy
    // nothing the second time.
    virtual std::vector<bool> contains(std::span<const CallRecord* const> rows) = 0;
};

// The budget alerts.
class Alerts {
public:
    virtual ~Alerts() = default;

    // Stores `alert` stamped now(), unless one of the same scope was stored
    // after `since`: the time it was stamped with when it was stored, else
    // none. Two processes crossing a budget together store one.
    virtual std::optional<double> insert_unless_raised_since(const Alert& alert, double since) = 0;
    // At most `n` alerts, newest first.
    virtual std::vector<AlertRow> latest(std::int64_t n) = 0;
    // Every alert not taken before, newest first, marked seen on the way out
    // (the rows still show seen = 0).
    virtual std::vector<AlertRow> take_unseen() = 0;
};

// Answers kept by request key.
class ExactCache {
public:
    virtual ~ExactCache() = default;

    // The answer stored under `key` at or after `since`; none without one
    // (and without a ledger, which is not created). A read only: the hit is
    // counted by count_hit, or by the append of a call whose
    // exact_cache_hit names the key.
    virtual std::optional<std::string> find(const std::string& key, double since) = 0;
    // Adds one to the entry's hit_count, when the entry is there.
    virtual void count_hit(const std::string& key) = 0;
    // Stores (or replaces) the answer under `key`, stamped now(); the count
    // of hits carries over.
    virtual void put(const std::string& key, const std::string& response_json) = 0;
};

// The entries of the semantic cache; the cache keeps its own index of them.
class SemanticCache {
public:
    virtual ~SemanticCache() = default;

    // Creates the entries' table when missing. True the first time this
    // process sees this ledger (again when it was replaced): an index built
    // from it before is stale.
    virtual bool prepare() = 0;
    // Every entry stored at or after `since`, oldest first.
    virtual std::vector<SemanticHead> live(double since) = 0;
    // Stores an entry stamped now().
    virtual Appended add(const SemanticEntry& entry) = 0;
    // The vector of each entry, by id; none for an entry that went away.
    virtual std::vector<std::optional<SemanticVector>> vectors(std::span<const std::int64_t> ids) = 0;
    // The answer of an entry; none when it went away.
    virtual std::optional<std::string> response(std::int64_t id) = 0;
    virtual void count_hit(std::int64_t id) = 0;
    virtual void remove_before(double cutoff) = 0;
    virtual void remove(std::int64_t id) = 0;
};

class Store {
public:
    virtual ~Store() = default;

    // Where the store lives, as open() was given it (for messages).
    virtual const std::string& location() const = 0;
    // True once the ledger has been created there.
    virtual bool exists() const = 0;
    // True when every read is a round trip to a server (PostgreSQL): such
    // reads are kept off the threads that serve connections.
    virtual bool remote() const { return false; }

    virtual Calls& calls() = 0;
    virtual Alerts& alerts() = 0;
    virtual ExactCache& exact_cache() = 0;
    virtual SemanticCache& semantic_cache() = 0;
};

// When a commit counts as done. `normal`: once the database has it (a
// killed process loses nothing; a power cut or a crash of the machine may
// take the last moments). `full`: once it is on the disk, before the answer
// leaves.
enum class Durability { normal, full };

// The store at `location`: a postgresql:// (or postgres://) URL names a
// shared PostgreSQL database, connected to once here so that one that cannot
// be reached fails now, naming its host and never a password; anything else
// is a file path (its directory is created, one level only, when the ledger
// is). Opening creates nothing; the first write does. Commits are as
// durable as `[ledger] synchronous` says (read here, once).
std::shared_ptr<Store> open(const std::string& location);
std::shared_ptr<Store> open(const std::string& location, Durability durability);

// `[ledger] synchronous` of the configuration; normal when the file cannot
// be read. Throws for a value that is neither "normal" nor "full".
Durability configured_durability();

// Where the ledger lives unless told otherwise: TOKENTALLY_LEDGER_URL when
// set and not empty, else `[ledger] url` of the configuration, else
// ledger.db in the data directory (also when the configuration cannot
// be read: the budget check reports it).
std::string default_location();

// This machine's own ledger: ledger.db in the data directory.
std::string local_location();

}  // namespace tokentally::store
