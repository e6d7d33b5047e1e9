// What the providers themselves say an organization spent and used, per UTC
// day, read from their admin APIs (OpenAI's organization costs and
// completions usage, Anthropic's cost and messages usage reports), page by
// page. Only organization admin keys can read them; a key travels in a
// header and never appears in a message.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::billing {

// How one provider's admin API is reached.
struct Provider {
    std::string_view name;          // "openai"
    std::string_view label;         // "OpenAI", in messages
    std::string_view key_variable;  // the environment variable holding the admin key
    std::string_view url_setting;   // its base URL under [reconcile]
    std::string_view default_url;
};

inline constexpr Provider OPENAI{"openai", "OpenAI", "OPENAI_ADMIN_KEY", "openai_admin_url", "https://api.openai.com"};
inline constexpr Provider ANTHROPIC{"anthropic", "Anthropic", "ANTHROPIC_ADMIN_KEY", "anthropic_admin_url",
                                    "https://api.anthropic.com"};
inline constexpr Provider PROVIDERS[] = {OPENAI, ANTHROPIC};

// The provider called `name`; nullptr for one without an admin API here.
const Provider* provider(std::string_view name);

// Tokens of one model on one day, as a provider reports them or as the
// ledger holds them: input as the provider counts its prompt (OpenAI's
// includes cached tokens; Anthropic's leaves reads and writes out, as the
// ledger's prompt_tokens do), cache writes of every lifetime.
struct Tokens {
    std::optional<std::int64_t> requests;  // none where the provider does not say
    std::int64_t input_tokens = 0;
    std::int64_t cache_read_tokens = 0;
    std::int64_t cache_write_tokens = 0;
    std::int64_t output_tokens = 0;
};

// Adds `more` into `into`, requests included when both have them.
void add(Tokens& into, const Tokens& more);

// One UTC day ("YYYY-MM-DD"): the US dollars billed, and the tokens per
// model (the catalog's id: openai/gpt-4o).
struct Day {
    double usd = 0.0;
    std::map<std::string, Tokens> models;
};

// The provider's days, by date; `tokens_error` says why there are no tokens
// per model when the usage report could not be read (the costs still were).
struct Bill {
    std::map<std::string, Day> days;
    std::optional<std::string> tokens_error;
};

// The UTC days [start, end), as Unix seconds at midnight.
struct Window {
    std::int64_t start = 0;
    std::int64_t end = 0;
};

// How long one page may take.
inline constexpr std::chrono::seconds PAGE_TIMEOUT{60};

// The provider's bill over `window` from its admin API at `base_url`,
// following every page. Throws naming the provider: for a key the API
// refuses (401, 403: not an admin key), any other status, an answer that is
// not its JSON, or an API that cannot be reached. The key never appears in
// what it throws.
Bill fetch(const Provider& p, const std::string& base_url, const std::string& key, const Window& window);

// "YYYY-MM-DD" of a Unix time, UTC.
std::string utc_date(std::int64_t unix_seconds);

}  // namespace tokentally::billing
