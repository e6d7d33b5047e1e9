// Price lists as files: the prices a user imported (prices.json beside
// ledger.db, in our own shape), and the two shapes an import accepts: our
// own, and the community catalog that most gateways and cost tools share.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::prices {

// A model's prices in US dollars per million tokens.
struct Price {
    double input = 0.0;
    double output = 0.0;
    std::optional<double> cache_read;      // cached prompt tokens read
    std::optional<double> cache_write;     // written to the cache (5-minute or only lifetime)
    std::optional<double> cache_write_1h;  // written with a 1-hour lifetime
    std::string source;                    // "configuration", "imported" or "built-in"
};

// Prices by model id.
using List = std::map<std::string, Price>;

// Path of the imported prices: prices.json in the data directory.
std::string path();

// Throws naming `name` unless every price is a number that is not negative
// and cache read ≤ input ≤ each cache write.
void validate(const Price& p, const std::string& name);

// Parses a price list, by model id as the list names it. Our own shape:
// {"provider/model": {"input": .., "output": .., "cache_read": ..,
// "cache_write": .., "cache_write_1h": ..}}, USD per million. The community
// shape: one object per model with "input_cost_per_token",
// "output_cost_per_token", "cache_read_input_token_cost",
// "cache_creation_input_token_cost", ..., USD per token; its "sample_spec"
// entry, models that are not text models and entries without per-token
// prices are left out. Throws naming `source` for a text that is not a JSON
// object, and naming the entry for one that is not valid; with `invalid`
// given, such entries are left out and their reasons added there instead.
List parse(std::string_view text, const std::string& source, std::vector<std::string>* invalid = nullptr);

// Writes `list` in our own shape to a temporary file beside `file` and
// renames it over `file`, so a failure leaves the earlier file whole.
void store(const List& list, const std::string& file);

// The list stored at `file`, read again only when the file changed; empty
// when there is none. Throws naming the file when it cannot be read or is not
// a valid list.
std::shared_ptr<const List> load_shared(const std::string& file);

}  // namespace tokentally::prices
