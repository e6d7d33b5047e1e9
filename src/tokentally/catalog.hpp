// The pricing catalog: US dollars per million prompt ("input") and
// completion ("output") tokens for each provider-qualified model id.
#pragma once

#include "tokentally/prices.hpp"

#include <boost/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::catalog {

// The date the built-in prices were last checked against the providers.
inline constexpr std::string_view PRICES_AS_OF = "2026-12-01";

// The canonical spelling of a model id: provider-qualified, lower case,
// without date or version suffixes, with dotted version numbers
// (gpt-4o-2024-08-06 -> openai/gpt-4o, claude-3-5-sonnet-20241022 ->
// anthropic/claude-3.5-sonnet). Canonical ids come back unchanged.
std::string normalize_model_id(std::string_view model_id);

// The pricing entry {"input": ..., "output": ...} of a model. The id is
// normalised first; prices under [pricing."provider/model"] in the
// configuration win over imported prices (prices.json), which win over the
// built-in table. An unknown model gets {"input": 0, "output": 0}.
boost::json::object get_model_price(std::string_view model_id);

// The effective price of a model, cache prices included, found in the same
// order as get_model_price, with its source; nullopt when no source has
// one. Throws naming the key for a configured price that is not a number.
std::optional<prices::Price> find_price(std::string_view model_id);

// True for a model that no source prices. Local models ("ollama/...") are
// charged by electricity, not by a price list, and a price that cannot be
// read counts as one (`tokentally prices` reports it): neither is unpriced.
bool unpriced(std::string_view model_id);

// Every model that the configuration, the imported prices or the built-in
// table prices, by id, with its effective price.
prices::List all_prices();

// Every canonical id the built-in table prices (for listings and tests).
std::vector<std::string> known_models();

// Parses a price list (see prices::parse), keys it by normalised model id
// (where two entries name the same model, the shorter name wins: the
// undated alias over a dated snapshot) and stores it as prices.json,
// replacing the earlier import. Throws naming the entry, and leaves the
// earlier file in place, when an entry is not valid or nothing is left to
// store; with `invalid` given, invalid entries are left out and listed there.
// Returns the number of models stored.
std::size_t import_prices(std::string_view text, const std::string& source,
                          std::vector<std::string>* invalid = nullptr);

}  // namespace tokentally::catalog
