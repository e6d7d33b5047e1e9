// Price lists as files: the prices a user imported (prices.json beside
// ledger.db, in our own shape), and the two shapes an import accepts: our
// own, and the community catalog that most gateways and cost tools share.
#pragma once

#include <boost/json/object.hpp>
#include <cstdint>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::prices {

// Prices of one kind of call in US dollars per million tokens: the standard
// ones, a long-context tier's or a service tier's. A cache price that is
// not given is the input price (for the standard prices) or follows the
// input price (for a tier: see rates()).
struct Rates {
    double input = 0.0;
    double output = 0.0;
    std::optional<double> cache_read{};
    std::optional<double> cache_write{};
    std::optional<double> cache_write_1h{};
};

// Above `above` prompt tokens (input plus cache reads and writes) the whole
// call is priced at `rates`.
struct LongContext {
    std::int64_t above = 0;
    Rates rates{};
};

// How the provider says it served a call: OpenAI's "flex" is billed at
// batch rates, "priority" at its own list prices.
enum class ServiceTier { standard, flex, priority };

// The tier an answer's service_tier names; anything else (absent,
// "default", "auto", Anthropic's "standard") is the standard one.
ServiceTier service_tier(std::string_view name);

// A model's prices in US dollars per million tokens.
struct Price {
    double input = 0.0;
    double output = 0.0;
    std::optional<double> cache_read;         // cached prompt tokens read
    std::optional<double> cache_write;        // written to the cache (5-minute or only lifetime)
    std::optional<double> cache_write_1h;     // written with a 1-hour lifetime
    std::string source;                       // "configuration", "imported" or "built-in"
    std::vector<LongContext> long_context{};  // by threshold, lowest first
    std::optional<Rates> flex{};              // listed flex prices
    std::optional<Rates> priority{};          // listed priority prices
    Rates standard() const { return {input, output, cache_read, cache_write, cache_write_1h}; }
};

// The prices a call of `prompt_tokens` (input plus cache reads and writes)
// served in `tier` pays. The long-context tier with the highest threshold
// below the prompt picks the prices; the service tier then applies to them:
// flex at the listed flex prices, else at half; priority at the listed
// priority prices, else at the standard ones. On a long-context call a
// listed service-tier price applies as its ratio to the standard price. A
// cache price a tier does not list follows the input price: the standard
// one times the tier's input ÷ the standard input. Without tiers in play
// these are the standard prices, as they are.
Rates rates(const Price& p, double prompt_tokens, ServiceTier tier = ServiceTier::standard);

// Prices by model id.
using List = std::map<std::string, Price>;

// Path of the imported prices: prices.json in the data directory.
std::string path();

// Throws naming `name` unless every price is a number that is not negative
// and cache read ≤ input ≤ each cache write, in the standard prices and in
// each tier, and unless the long-context thresholds are above 0 and differ.
void validate(const Price& p, const std::string& name);

// The tiers of a price entry in our own shape (prices.json, [pricing."..."]):
// "long_context": [{"above": N, "input": .., "output": .., "cache_read": ..,
// ...}], "flex": {...}, "priority": {...}. A price a tier leaves out is the
// standard one (input, output) or, for flex, half of it; cache prices stay
// absent (rates() derives them). Throws naming `name` and the member for a
// value of the wrong type.
void read_tiers(Price& p, const boost::json::object& entry, const std::string& name);

// One entry of a price list: its name as the list gives it, the provider
// the list names for it (the community file's litellm_provider; empty in
// our own shape) and its price.
struct Entry {
    std::string name;
    std::string provider;
    Price price;
};

// Parses a price list, in the list's order. Our own shape:
// {"provider/model": {"input": .., "output": .., "cache_read": ..,
// "cache_write": .., "cache_write_1h": .., "long_context": [..], "flex": {..},
// "priority": {..}}}, USD per million. The community shape: one object per
// model with "input_cost_per_token", "output_cost_per_token",
// "cache_read_input_token_cost", "cache_creation_input_token_cost", ..., USD
// per token, long-context tiers in the same keys ending
// "_above_<N>k_tokens" and service tiers in keys ending "_flex" and
// "_priority"; its "sample_spec" entry, models that are neither text nor
// embedding models and entries without per-token prices are left out.
// Throws naming `source` for a text that is not a JSON object, and naming
// the entry for one that is not valid; with `invalid` given, such entries
// are left out and their reasons added there instead.
std::vector<Entry> entries(std::string_view text, const std::string& source,
                           std::vector<std::string>* invalid = nullptr);

// The entries of a price list by their names.
List parse(std::string_view text, const std::string& source, std::vector<std::string>* invalid = nullptr);

// A price in our own shape: its standard prices, then "long_context",
// "flex" and "priority" where it has them. A cache price it has none of is
// left out, or with `nulls` written as null (as `tokentally prices --json`
// shows it).
boost::json::object to_json(const Price& p, bool nulls = false);

// Writes `list` in our own shape to a temporary file beside `file` and
// renames it over `file`, so a failure leaves the earlier file whole.
void store(const List& list, const std::string& file);

// The list stored at `file`, read again only when the file changed; empty
// when there is none. Throws naming the file when it cannot be read or is not
// a valid list.
std::shared_ptr<const List> load_shared(const std::string& file);

}  // namespace tokentally::prices
