// The pricing catalog: US dollars per million prompt ("input") and
// completion ("output") tokens for each provider-qualified model id.
#pragma once

#include <boost/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::catalog {

// The date the built-in prices were last checked against the providers.
inline constexpr std::string_view PRICES_AS_OF = "2025-11-01";

// Where the API of each provider priced below answers: the targets a proxy
// that other machines reach forwards to when it is given no list.
inline constexpr std::string_view PROVIDER_BASES[] = {
    "https://api.openai.com",  "https://api.anthropic.com", "https://generativelanguage.googleapis.com",
    "https://api.mistral.ai",  "https://api.x.ai",          "https://api.cohere.com",
    "https://api.cohere.ai",   "https://api.deepseek.com",
};

// The canonical spelling of a model id: provider-qualified, lower case,
// without date or version suffixes, with dotted version numbers
// (gpt-4o-2024-08-06 -> openai/gpt-4o, claude-3-5-sonnet-20241022 ->
// anthropic/claude-3.5-sonnet). Canonical ids come back unchanged.
std::string normalize_model_id(std::string_view model_id);

// The pricing entry {"input": ..., "output": ...} of a model. The id is
// normalised first; prices under [pricing."provider/model"] in the
// configuration win over the built-in table. An unknown model gets
// {"input": 0, "output": 0}.
boost::json::object get_model_price(std::string_view model_id);

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

}  // namespace tokentally::catalog
