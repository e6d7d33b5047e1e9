// The pricing catalog: US dollars per million prompt ("input") and
// completion ("output") tokens for each provider-qualified model id.
#pragma once

#include "tokentally/accounting/prices.hpp"

#include <boost/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::catalog {

// The date the built-in prices were last checked against the providers.
inline constexpr std::string_view PRICES_AS_OF = "2026-12-01";

// Where the API of each provider priced below answers: the targets a proxy
// that other machines reach forwards to when it is given no list.
inline constexpr std::string_view PROVIDER_BASES[] = {
    "https://api.openai.com", "https://api.anthropic.com", "https://generativelanguage.googleapis.com",
    "https://api.mistral.ai", "https://api.x.ai",          "https://api.cohere.com",
    "https://api.cohere.ai",  "https://api.deepseek.com",
};

// What prices are read from: the configuration's [pricing] (none when the
// configuration cannot be read) and the imported prices (prices.json; none
// when missing or broken), as they stood when read. A call takes one and
// prices itself from it throughout; each look at the files costs a system
// call.
struct Sources {
    std::shared_ptr<const boost::json::object> config;
    std::shared_ptr<const prices::List> imported;
};

// The sources as they are now.
Sources sources();

// The canonical spelling of a model id: provider-qualified, lower case,
// without date or version suffixes, with dotted version numbers
// (gpt-4o-2024-08-06 -> openai/gpt-4o, claude-3-5-sonnet-20241022 ->
// anthropic/claude-3.5-sonnet). Canonical ids come back unchanged.
std::string normalize_model_id(std::string_view model_id);

// The pricing entry {"input": ..., "output": ...} of a model. The id is
// normalised first; prices under [pricing."provider/model"] in the
// configuration win over imported prices (prices.json), which win over the
// built-in table. A bare name that no provider is known for (neither the
// catalog nor the caller can place it) takes the price of the one provider
// whose list has that name, when exactly one has. An unknown model gets
// {"input": 0, "output": 0}.
boost::json::object get_model_price(std::string_view model_id, const Sources& src = sources());

// A pricing entry's input and output prices as a Price (for the cost
// formula). Throws naming the price that is missing or not a number.
prices::Price entry_price(const boost::json::object& entry);

// The effective price of a model, cache prices and tiers included, found in
// the same order as get_model_price, with its source; nullopt when no
// source has one. Throws naming the key for a configured price that is not
// a number.
std::optional<prices::Price> find_price(std::string_view model_id, const Sources& src = sources());

// The id to price a call of `model_id` sent to `target` (the upstream URL)
// by: a bare name is looked up at the target's provider first
// (acme-chat-2 sent to https://api.openai.com as openai/acme-chat-2), then
// as get_model_price looks it up. The model id itself when that is what
// prices it, or when nothing does.
std::string priced_id(std::string_view model_id, std::string_view target, const Sources& src = sources());

// The provider whose API answers at `url` ("openai" for
// https://api.openai.com/v1/...), or empty for any other host.
std::string provider_of_target(std::string_view url);

// The provider a model's calls are billed by: provider_of, else the
// provider of the one list that prices the bare name; empty when neither
// places it.
std::string placed_provider(std::string_view model_id);

// True for a model that no source prices. Local models ("ollama/...") are
// charged by electricity, not by a price list, and a price that cannot be
// read counts as one (`tokentally prices` reports it): neither is unpriced.
bool unpriced(std::string_view model_id);

// Every model that the configuration, the imported prices or the built-in
// table prices, by id, with its effective price.
prices::List all_prices();

// Every canonical id the built-in table prices (for listings and tests).
std::vector<std::string> known_models();

// Canonical id -> cheaper replacements to try, in order of preference: the
// advisor's suggestions and the router's warnings.
extern const std::map<std::string, std::vector<std::string>, std::less<>> ALTERNATIVES;

// The saving, in percent, below which an alternative is not worth
// suggesting, when advisor.min_saving_pct does not say.
inline constexpr double DEFAULT_MIN_SAVING_PCT = 20.0;

// The provider of a model id as the catalog spells it ("openai" for
// gpt-4o-2024-08-06), or empty when the id names none the catalog knows.
std::string provider_of(std::string_view model_id);

// Tokens one call to the model may hold, prompt and answer together, when
// the catalog knows it.
std::optional<std::int64_t> context_window(std::string_view model_id);

// The id the provider's own API expects for a model (claude-3-haiku-20240307
// for anthropic/claude-3-haiku, mistral-small-latest for mistral/mistral-small,
// gpt-4o-mini for openai/gpt-4o-mini): without our provider prefix.
std::string provider_model_id(std::string_view model_id);

// Parses a price list (see prices::entries), keys it by normalised model id
// (a bare name the catalog cannot place goes under the provider the list
// names for it; where two entries name the same model, the shorter name
// wins: the undated alias over a dated snapshot) and stores it as prices.json,
// replacing the earlier import. Throws naming the entry, and leaves the
// earlier file in place, when an entry is not valid or nothing is left to
// store; with `invalid` given, invalid entries are left out and listed there.
// Returns the number of models stored.
std::size_t import_prices(std::string_view text, const std::string& source,
                          std::vector<std::string>* invalid = nullptr);

}  // namespace tokentally::catalog
