#include "tokentally/accounting/catalog.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <unordered_map>
#include <vector>

namespace tokentally::catalog {

namespace bj = boost::json;

namespace {

using prices::Price;

// USD per million tokens, list prices of the providers' standard tier:
// input, output, then cache read, cache write (5-minute or only lifetime)
// and 1-hour cache write where the provider publishes them; then the
// long-prompt tiers and the priority prices the provider publishes. Checked
// on the date of PRICES_AS_OF.
struct ListPrice {
    double input;
    double output;
    std::optional<double> cache_read{};
    std::optional<double> cache_write{};
    std::optional<double> cache_write_1h{};
    std::vector<prices::LongContext> long_context{};
    std::optional<prices::Rates> priority{};
};

// GPT-5.4 and 5.4 pro: above 272k prompt tokens the whole call pays twice
// the input price and 1.5 times the output price.
constexpr std::int64_t GPT_5_4_LONG = 272'000;
// Gemini 2.5 Pro, 3 Pro and 3.1 Pro: higher prices above 200k.
constexpr std::int64_t GEMINI_PRO_LONG = 200'000;

const std::unordered_map<std::string, ListPrice>& _built_in_prices() {
    static const std::unordered_map<std::string, ListPrice> table = {
        // OpenAI: cache reads at 50 % of input (gpt-4o, o1), 25 % (gpt-4.1,
        // o3, o4-mini), 10 % (gpt-5 on); writes billed from GPT-5.6 on.
        {"openai/gpt-6-sol", {2, 10, 0.2, 2.5}},
        {"openai/gpt-6-luna", {0.1, 0.5, 0.01, 0.125}},
        {"openai/gpt-6.1-terra", {1, 5, 0.05, 1.25}},
        {"openai/gpt-5.6-sol", {5, 30, 0.5, 6.25}},
        {"openai/gpt-5.6-terra", {2, 12, 0.2, 2.5}},
        {"openai/gpt-5.5", {5, 30, 0.5, {}, {}, {}, prices::Rates{12.5, 75, 1.25}}},
        {"openai/gpt-5.4", {2.5, 15, 0.25, {}, {}, {{GPT_5_4_LONG, {5, 22.5, 0.5}}}}},
        {"openai/gpt-5.4-pro", {30, 180, {}, {}, {}, {{GPT_5_4_LONG, {60, 270}}}}},
        {"openai/gpt-5.4-mini", {0.75, 4.5, 0.075}},
        {"openai/gpt-5.4-nano", {0.2, 1.25, 0.02}},
        {"openai/gpt-5", {1.25, 10, 0.125}},
        {"openai/gpt-5-mini", {0.25, 2, 0.025}},
        {"openai/gpt-5-nano", {0.05, 0.4, 0.005}},
        {"openai/gpt-4.1", {2, 8, 0.5}},
        {"openai/gpt-4.1-mini", {0.4, 1.6, 0.1}},
        {"openai/gpt-4.1-nano", {0.1, 0.4, 0.025}},
        {"openai/gpt-4o", {2.5, 10, 1.25}},
        {"openai/gpt-4o-mini", {0.15, 0.6, 0.075}},
        {"openai/gpt-4-turbo", {10, 30}},
        {"openai/gpt-4", {30, 60}},
        {"openai/gpt-3.5-turbo", {0.5, 1.5}},
        {"openai/o1", {15, 60, 7.5}},
        {"openai/o1-mini", {1.1, 4.4, 0.55}},
        {"openai/o3", {2, 8, 0.5}},
        {"openai/o3-mini", {1.1, 4.4, 0.55}},
        {"openai/o3-pro", {20, 80}},
        {"openai/o4-mini", {1.1, 4.4, 0.275}},
        // Embeddings: input only.
        {"openai/text-embedding-3-small", {0.02, 0}},
        {"openai/text-embedding-3-large", {0.13, 0}},
        {"openai/text-embedding-ada-002", {0.1, 0}},
        // Anthropic: reads, 5-minute writes and 1-hour writes.
        {"anthropic/claude-fable-5.1", {10, 50, 0.25, 12.5, 20}},
        {"anthropic/claude-opus-5.5", {4, 20, 0.2, 5, 8}},
        {"anthropic/claude-opus-5", {5, 25, 0.5, 6.25, 10}},
        {"anthropic/claude-opus-4.6", {5, 25, 0.5, 6.25, 10}},
        {"anthropic/claude-opus-4.5", {5, 25, 0.5, 6.25, 10}},
        {"anthropic/claude-opus-4.1", {15, 75, 1.5, 18.75, 30}},
        {"anthropic/claude-opus-4", {15, 75, 1.5, 18.75, 30}},
        {"anthropic/claude-sonnet-5.5", {2, 10, 0.1, 2.5, 4}},
        {"anthropic/claude-sonnet-4.6", {3, 15, 0.3, 3.75, 6}},
        {"anthropic/claude-sonnet-4.5", {3, 15, 0.3, 3.75, 6}},
        {"anthropic/claude-sonnet-4", {3, 15, 0.3, 3.75, 6}},
        {"anthropic/claude-haiku-5.5", {0.1, 0.5, 0.01, 0.125, 0.2}},
        {"anthropic/claude-haiku-4.5", {1, 5, 0.1, 1.25, 2}},
        {"anthropic/claude-3.7-sonnet", {3, 15, 0.3, 3.75, 6}},
        {"anthropic/claude-3.5-sonnet", {3, 15, 0.3, 3.75, 6}},
        {"anthropic/claude-3.5-haiku", {0.8, 4, 0.08, 1, 1.6}},
        {"anthropic/claude-3-opus", {15, 75, 1.5, 18.75, 30}},
        {"anthropic/claude-3-sonnet", {3, 15, 0.3, 3.75, 6}},
        {"anthropic/claude-3-haiku", {0.25, 1.25, 0.03, 0.3, 0.5}},
        // Google: implicit cache reads at about 10 % of input from 2.5 on
        // (explicit caches also pay storage, which no answer shows).
        {"google/gemini-3.5-flash", {1.5, 9, 0.15}},
        {"google/gemini-3.5-flash-lite", {0.3, 2.5, 0.03}},
        {"google/gemini-3.1-pro-preview", {2, 12, 0.2, {}, {}, {{GEMINI_PRO_LONG, {4, 18, 0.4}}}}},
        {"google/gemini-3-pro-preview", {2, 12, 0.2, {}, {}, {{GEMINI_PRO_LONG, {4, 18, 0.4}}}}},
        {"google/gemini-2.5-pro", {1.25, 10, 0.125, {}, {}, {{GEMINI_PRO_LONG, {2.5, 15, 0.25}}}}},
        {"google/gemini-2.5-flash", {0.3, 2.5, 0.03}},
        {"google/gemini-2.5-flash-lite", {0.1, 0.4, 0.01}},
        {"google/gemini-2.0-flash", {0.1, 0.4}},
        {"google/gemini-2.0-flash-lite", {0.075, 0.3}},
        {"google/gemini-1.5-pro", {1.25, 5}},
        {"google/gemini-1.5-flash", {0.075, 0.3}},
        // Mistral
        {"mistral/mistral-large", {2, 6}},
        {"mistral/mistral-medium", {0.4, 2}},
        {"mistral/mistral-small", {0.1, 0.3}},
        {"mistral/codestral", {0.3, 0.9}},
        {"mistral/ministral-8b", {0.1, 0.1}},
        {"mistral/ministral-3b", {0.04, 0.04}},
        {"mistral/pixtral-large", {2, 6}},
        // xAI: no write fee.
        {"xai/grok-4.20", {1.25, 2.5, 0.2}},
        {"xai/grok-4", {3, 15}},
        {"xai/grok-3", {3, 15}},
        {"xai/grok-3-mini", {0.3, 0.5}},
        // Cohere
        {"cohere/command-a", {2.5, 10}},
        {"cohere/command-r-plus", {2.5, 10}},
        {"cohere/command-r", {0.15, 0.6}},
        {"cohere/command-r7b", {0.0375, 0.15}},
        // DeepSeek: a cache hit is priced as a read, a miss as input.
        {"deepseek/deepseek-v4-flash", {0.14, 0.28, 0.0028}},
        {"deepseek/deepseek-v4-pro", {0.435, 0.87, 0.003625}},
        {"deepseek/deepseek-chat", {0.27, 1.1}},
        {"deepseek/deepseek-reasoner", {0.55, 2.19}},
    };
    return table;
}

// Provider of a bare model name, from the families each provider names.
std::string _provider_of(const std::string& name) {
    static const std::vector<std::pair<std::string, std::string>> prefixes = {
        {"gpt-", "openai"},
        {"chatgpt-", "openai"},
        {"o1", "openai"},
        {"o3", "openai"},
        {"o4", "openai"},
        {"text-embedding-", "openai"},
        {"claude", "anthropic"},
        {"gemini", "google"},
        {"mistral", "mistral"},
        {"ministral", "mistral"},
        {"codestral", "mistral"},
        {"pixtral", "mistral"},
        {"open-mistral", "mistral"},
        {"grok", "xai"},
        {"command", "cohere"},
        {"deepseek", "deepseek"},
    };
    for (const auto& [prefix, provider] : prefixes)
        if (name.rfind(prefix, 0) == 0) return provider;
    return "";
}

// Provider spellings used by gateways and SDKs for the same companies.
std::string _canonical_provider(const std::string& provider) {
    static const std::unordered_map<std::string, std::string> aliases = {
        {"x-ai", "xai"},
        {"mistralai", "mistral"},
        {"gemini", "google"},
        {"google-ai", "google"},
        {"vertex_ai", "google"},
        {"deepseek-ai", "deepseek"},
        {"text-completion-openai", "openai"},
    };
    auto it = aliases.find(provider);
    return it == aliases.end() ? provider : it->second;
}

std::string _strip_versions(std::string name, const std::string& provider) {
    static const std::regex iso_date(R"([-@]\d{4}-\d{2}-\d{2}$)");
    static const std::regex compact_date(R"([-@]\d{8}$)");
    static const std::regex short_version(R"(-\d{4}$)");   // gpt-4-0613, mistral-large-2411
    static const std::regex google_version(R"(-\d{3}$)");  // gemini-1.5-pro-002
    static const std::regex latest(R"(-latest$)");
    name = std::regex_replace(name, latest, "");
    name = std::regex_replace(name, iso_date, "");
    name = std::regex_replace(name, compact_date, "");
    if (provider == "openai" || provider == "mistral") name = std::regex_replace(name, short_version, "");
    if (provider == "google") name = std::regex_replace(name, google_version, "");
    return name;
}

// Anthropic writes versions with dashes in API ids (claude-3-5-sonnet,
// claude-sonnet-4-5) and with dots in prose; the catalog uses dots.
std::string _dot_versions(const std::string& name) {
    static const std::regex dashed(R"((\d)-(\d)(?=-|$))");
    return std::regex_replace(name, dashed, "$1.$2");
}

bj::value _number(double d) {
    if (std::floor(d) == d && std::fabs(d) < 1e15) return static_cast<std::int64_t>(d);
    return d;
}

// The user's [pricing] table; none when there is none (or no configuration
// could be read: pricing must not fail a call, and the budget check reports
// the broken file).
const bj::object* _pricing_table(const Sources& src) {
    if (!src.config) return nullptr;
    const bj::value* pricing = src.config->if_contains("pricing");
    return pricing != nullptr && pricing->is_object() ? &pricing->get_object() : nullptr;
}

// The user's entry under the first of `keys` that [pricing] names.
std::optional<std::pair<std::string, bj::object>> _configured_entry(const Sources& src,
                                                                    const std::vector<std::string>& keys) {
    const bj::object* pricing = _pricing_table(src);
    if (!pricing) return std::nullopt;
    for (const std::string& key : keys) {
        const bj::value* entry = pricing->if_contains(key);
        if (entry != nullptr && entry->is_object()) return std::pair{key, entry->get_object()};
    }
    return std::nullopt;
}

std::optional<double> _configured_number(const bj::object& e, std::string_view key, const std::string& id) {
    const bj::value* v = e.if_contains(key);
    if (v == nullptr) return std::nullopt;
    return json::as_number(*v, "pricing.\"" + id + "\"." + std::string(key));
}

// A [pricing] entry that names neither an input nor an output price (only
// tiers or cache prices) amends the model's listed price instead of
// replacing it.
bool _amends(const bj::object& e) { return !e.contains("input") && !e.contains("output"); }

// The entry's prices laid over `p`: the listed price it amends, or none.
Price _configured_price(const std::string& id, const bj::object& e, Price p) {
    p.input = _configured_number(e, "input", id).value_or(p.input);
    p.output = _configured_number(e, "output", id).value_or(p.output);
    if (auto v = _configured_number(e, "cache_read", id)) p.cache_read = v;
    if (auto v = _configured_number(e, "cache_write", id)) p.cache_write = v;
    if (auto v = _configured_number(e, "cache_write_1h", id)) p.cache_write_1h = v;
    prices::read_tiers(p, e, id);
    p.source = "configuration";
    return p;
}

// The imported prices; none when prices.json is missing or broken (the
// `prices` command shows why), so that pricing never fails a call.
std::shared_ptr<const prices::List> _imported() {
    try {
        return prices::load_shared(prices::path());
    } catch (const std::exception&) {
        return std::make_shared<const prices::List>();
    }
}

Price _built_in(const ListPrice& l) {
    Price p{l.input, l.output, l.cache_read, l.cache_write, l.cache_write_1h, "built-in"};
    p.long_context = l.long_context;
    p.priority = l.priority;
    return p;
}

// The price of the first of the canonical `ids` the imported prices hold,
// else of the first the table holds, with the id it was found under.
std::optional<std::pair<std::string, Price>> _listed(const Sources& src, const std::vector<std::string>& ids) {
    const prices::List& imported = *src.imported;
    for (const auto& id : ids)
        if (auto it = imported.find(id); it != imported.end()) return std::pair{id, it->second};
    for (const auto& id : ids)
        if (auto it = _built_in_prices().find(id); it != _built_in_prices().end())
            return std::pair{id, _built_in(it->second)};
    return std::nullopt;
}

}  // namespace

namespace {

std::string _normalize(std::string_view model_id) {
    std::string id(model_id);
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::tolower(c); });
    if (id.rfind("models/", 0) == 0) id.erase(0, 7);  // Google's REST spelling
    std::string provider, name;
    auto slash = id.find('/');
    if (slash == std::string::npos) {
        name = id;
        provider = _provider_of(name);
    } else {
        provider = _canonical_provider(id.substr(0, slash));
        name = id.substr(slash + 1);
    }
    name = _strip_versions(name, provider);
    if (provider == "anthropic") name = _dot_versions(name);
    if (provider.empty()) return std::string(model_id);
    return provider + "/" + name;
}

}  // namespace

std::string normalize_model_id(std::string_view model_id) {
    // Clients name a handful of models over and over; the regular
    // expressions above are the dearest step of pricing a call.
    static std::mutex mu;
    static std::unordered_map<std::string, std::string> seen;
    constexpr std::size_t MAX_REMEMBERED = 4096;
    std::string key(model_id);
    {
        std::lock_guard lock(mu);
        if (auto it = seen.find(key); it != seen.end()) return it->second;
    }
    std::string canonical = _normalize(model_id);
    std::lock_guard lock(mu);
    if (seen.size() >= MAX_REMEMBERED) seen.clear();
    seen.emplace(std::move(key), canonical);
    return canonical;
}

namespace {

// Where a model's price was found: under a [pricing] key (with the listed
// price it amends, if it does), or among the imported and built-in prices
// under a canonical id.
struct Found {
    std::string id;
    std::optional<bj::object> configured;
    std::optional<Price> listed;
};

std::string _lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// True when the id names its provider ("openai/gpt-4o"; Google's
// "models/gemini-2.5-pro" does not).
bool _names_provider(std::string_view model_id) {
    std::string id = _lower(model_id);
    if (id.starts_with("models/")) id.erase(0, 7);
    return id.find('/') != std::string::npos;
}

// The ids a model's price is looked for under, in order: a bare name at the
// target's provider first, then the id as normalised (its own provider, or
// the catalog's guess).
std::vector<std::string> _ids(std::string_view model_id, std::string_view target) {
    std::vector<std::string> ids;
    if (!_names_provider(model_id))
        if (std::string provider = provider_of_target(target); !provider.empty())
            ids.push_back(normalize_model_id(provider + "/" + std::string(model_id)));
    std::string canonical = normalize_model_id(model_id);
    if (std::find(ids.begin(), ids.end(), canonical) == ids.end()) ids.push_back(canonical);
    return ids;
}

std::optional<Found> _find(const Sources& src, std::string_view model_id, std::string_view target);

void _add_provider(std::set<std::string>& providers, std::string_view id) {
    if (auto slash = id.find('/'); slash != std::string_view::npos) providers.emplace(id.substr(0, slash));
}

// The providers the imported list and the table name, worked out once per
// imported list: a call of an unknown bare name asks on every call.
std::shared_ptr<const std::set<std::string>> _listed_providers(const std::shared_ptr<const prices::List>& imported) {
    static std::mutex mu;
    static std::weak_ptr<const prices::List> of;
    static std::shared_ptr<const std::set<std::string>> providers;
    std::lock_guard lock(mu);
    if (providers && of.lock() == imported) return providers;
    auto made = std::make_shared<std::set<std::string>>();
    for (const auto& [id, _] : *imported) _add_provider(*made, id);
    for (const auto& [id, _] : _built_in_prices()) _add_provider(*made, id);
    of = imported;
    providers = made;
    return providers;
}

// A bare name no provider is known for: the price of the one provider whose
// list has that name, when exactly one has.
std::optional<Found> _only_provider(const Sources& src, std::string_view model_id) {
    const bj::object* pricing = _pricing_table(src);
    const prices::List& imported = *src.imported;
    std::optional<std::string> match;
    std::set<std::string> providers = *_listed_providers(src.imported);
    if (pricing)
        for (const auto& [key, _] : *pricing) _add_provider(providers, key);
    for (const auto& provider : providers) {
        std::string id = normalize_model_id(provider + "/" + std::string(model_id));
        bool listed = (pricing && pricing->contains(id)) || imported.contains(id) || _built_in_prices().contains(id);
        if (!listed) continue;
        if (match) return std::nullopt;
        match = id;
    }
    return match ? _find(src, *match, {}) : std::nullopt;
}

// Configuration first, then the imported prices, then the table; in each,
// the ids in the order _ids gives them (the configuration also under the
// id as the request named it). A bare name no provider is known for falls
// back to _only_provider.
std::optional<Found> _find(const Sources& src, std::string_view model_id, std::string_view target) {
    std::vector<std::string> ids = _ids(model_id, target);
    std::vector<std::string> keys{std::string(model_id)};
    keys.insert(keys.end(), ids.begin(), ids.end());
    if (auto configured = _configured_entry(src, keys)) {
        Found found{configured->first, configured->second, std::nullopt};
        if (_amends(configured->second))
            if (auto listed = _listed(src, ids)) found.listed = listed->second;
        return found;
    }
    if (auto listed = _listed(src, ids)) return Found{listed->first, std::nullopt, listed->second};
    bool unplaced = !_names_provider(model_id) && provider_of(model_id).empty() && provider_of_target(target).empty();
    return unplaced ? _only_provider(src, model_id) : std::nullopt;
}

}  // namespace

Sources sources() {
    Sources src;
    try {
        src.config = config::load_shared();
    } catch (const std::exception&) {}
    src.imported = _imported();
    return src;
}

bj::object get_model_price(std::string_view model_id, const Sources& src) {
    bj::object price;
    auto found = _find(src, model_id, {});
    if (found && found->configured && !found->listed) {
        const bj::object& e = *found->configured;
        price["input"] = e.contains("input") ? e.at("input") : bj::value(0);
        price["output"] = e.contains("output") ? e.at("output") : bj::value(0);
        return price;
    }
    price["input"] = found ? _number(found->listed->input) : bj::value(0);
    price["output"] = found ? _number(found->listed->output) : bj::value(0);
    return price;
}

prices::Price entry_price(const bj::object& entry) {
    Price p;
    p.input = json::as_number(entry.at("input"), "input price");
    p.output = json::as_number(entry.at("output"), "output price");
    return p;
}

std::string priced_id(std::string_view model_id, std::string_view target, const Sources& src) {
    auto found = _find(src, model_id, target);
    if (!found || found->id == model_id || found->id == normalize_model_id(model_id)) return std::string(model_id);
    return found->id;
}

std::string provider_of_target(std::string_view url) {
    static const std::unordered_map<std::string, std::string> hosts = {
        {"api.openai.com", "openai"},
        {"api.anthropic.com", "anthropic"},
        {"generativelanguage.googleapis.com", "google"},
        {"api.mistral.ai", "mistral"},
        {"api.x.ai", "xai"},
        {"api.cohere.com", "cohere"},
        {"api.cohere.ai", "cohere"},
        {"api.deepseek.com", "deepseek"},
    };
    auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return "";
    std::string_view rest = url.substr(scheme + 3);
    std::string host = _lower(rest.substr(0, rest.find_first_of(":/?#")));
    auto it = hosts.find(host);
    return it == hosts.end() ? "" : it->second;
}

// The first entry of each list is the preferred replacement: usually the same
// provider's next tier down, so a switch changes as little as possible.
const std::map<std::string, std::vector<std::string>, std::less<>> ALTERNATIVES = {
    {"anthropic/claude-opus-4", {"anthropic/claude-sonnet-4", "anthropic/claude-3.5-sonnet"}},
    {"anthropic/claude-sonnet-4",
     {"anthropic/claude-3.5-sonnet", "anthropic/claude-3-haiku", "google/gemini-2.0-flash"}},
    {"anthropic/claude-3.5-sonnet", {"anthropic/claude-3-haiku", "google/gemini-2.0-flash"}},
    {"anthropic/claude-3-haiku", {"google/gemini-2.0-flash", "mistral/mistral-small"}},
    {"openai/o3", {"openai/gpt-4o", "anthropic/claude-sonnet-4"}},
    {"openai/gpt-4o", {"openai/gpt-4o-mini", "anthropic/claude-3-haiku", "google/gemini-2.0-flash"}},
    {"openai/gpt-4o-mini", {"google/gemini-2.0-flash", "mistral/mistral-small"}},
    {"google/gemini-2.5-pro", {"google/gemini-2.0-flash", "openai/gpt-4o-mini"}},
    {"xai/grok-3", {"anthropic/claude-sonnet-4", "openai/gpt-4o"}},
    {"cohere/command-r-plus", {"openai/gpt-4o-mini", "anthropic/claude-3-haiku"}},
    {"mistral/mistral-large", {"mistral/mistral-small", "google/gemini-2.0-flash"}},
};

namespace {

// What a swap needs to know of a model beside its price: the tokens one call
// may hold, and the id its provider's API takes when that is not the
// catalog's own name (Anthropic's API ids carry dashes and a date, Mistral's
// and Cohere's a version).
struct Details {
    std::int64_t context;
    const char* api_id;
};

const std::unordered_map<std::string, Details>& _built_in_details() {
    static const std::unordered_map<std::string, Details> table = {
        // OpenAI
        {"openai/gpt-5", {400'000, nullptr}},
        {"openai/gpt-5-mini", {400'000, nullptr}},
        {"openai/gpt-5-nano", {400'000, nullptr}},
        {"openai/gpt-4.1", {1'047'576, nullptr}},
        {"openai/gpt-4.1-mini", {1'047'576, nullptr}},
        {"openai/gpt-4.1-nano", {1'047'576, nullptr}},
        {"openai/gpt-4o", {128'000, nullptr}},
        {"openai/gpt-4o-mini", {128'000, nullptr}},
        {"openai/gpt-4-turbo", {128'000, nullptr}},
        {"openai/gpt-4", {8'192, nullptr}},
        {"openai/gpt-3.5-turbo", {16'385, nullptr}},
        {"openai/o1", {200'000, nullptr}},
        {"openai/o1-mini", {128'000, nullptr}},
        {"openai/o3", {200'000, nullptr}},
        {"openai/o3-mini", {200'000, nullptr}},
        {"openai/o3-pro", {200'000, nullptr}},
        {"openai/o4-mini", {200'000, nullptr}},
        // Anthropic
        {"anthropic/claude-opus-4.5", {200'000, "claude-opus-4-5-20251101"}},
        {"anthropic/claude-opus-4.1", {200'000, "claude-opus-4-1-20250805"}},
        {"anthropic/claude-opus-4", {200'000, "claude-opus-4-20250514"}},
        {"anthropic/claude-sonnet-4.5", {200'000, "claude-sonnet-4-5-20250929"}},
        {"anthropic/claude-sonnet-4", {200'000, "claude-sonnet-4-20250514"}},
        {"anthropic/claude-haiku-4.5", {200'000, "claude-haiku-4-5-20251001"}},
        {"anthropic/claude-3.7-sonnet", {200'000, "claude-3-7-sonnet-20250219"}},
        {"anthropic/claude-3.5-sonnet", {200'000, "claude-3-5-sonnet-20241022"}},
        {"anthropic/claude-3.5-haiku", {200'000, "claude-3-5-haiku-20241022"}},
        {"anthropic/claude-3-opus", {200'000, "claude-3-opus-20240229"}},
        {"anthropic/claude-3-sonnet", {200'000, "claude-3-sonnet-20240229"}},
        {"anthropic/claude-3-haiku", {200'000, "claude-3-haiku-20240307"}},
        // Google
        {"google/gemini-2.5-pro", {1'048'576, nullptr}},
        {"google/gemini-2.5-flash", {1'048'576, nullptr}},
        {"google/gemini-2.5-flash-lite", {1'048'576, nullptr}},
        {"google/gemini-2.0-flash", {1'048'576, nullptr}},
        {"google/gemini-2.0-flash-lite", {1'048'576, nullptr}},
        {"google/gemini-1.5-pro", {2'097'152, nullptr}},
        {"google/gemini-1.5-flash", {1'048'576, nullptr}},
        // Mistral
        {"mistral/mistral-large", {131'072, "mistral-large-latest"}},
        {"mistral/mistral-medium", {131'072, "mistral-medium-latest"}},
        {"mistral/mistral-small", {131'072, "mistral-small-latest"}},
        {"mistral/codestral", {262'144, "codestral-latest"}},
        {"mistral/ministral-8b", {131'072, "ministral-8b-latest"}},
        {"mistral/ministral-3b", {131'072, "ministral-3b-latest"}},
        {"mistral/pixtral-large", {131'072, "pixtral-large-latest"}},
        // xAI
        {"xai/grok-4", {256'000, nullptr}},
        {"xai/grok-3", {131'072, nullptr}},
        {"xai/grok-3-mini", {131'072, nullptr}},
        // Cohere
        {"cohere/command-a", {256'000, "command-a-03-2025"}},
        {"cohere/command-r-plus", {128'000, "command-r-plus-08-2024"}},
        {"cohere/command-r", {128'000, "command-r-08-2024"}},
        {"cohere/command-r7b", {128'000, "command-r7b-12-2024"}},
        // DeepSeek
        {"deepseek/deepseek-chat", {128'000, nullptr}},
        {"deepseek/deepseek-reasoner", {128'000, nullptr}},
    };
    return table;
}

const Details* _details(std::string_view model_id) {
    auto it = _built_in_details().find(normalize_model_id(model_id));
    return it == _built_in_details().end() ? nullptr : &it->second;
}

}  // namespace

std::string provider_of(std::string_view model_id) {
    std::string canonical = normalize_model_id(model_id);
    auto slash = canonical.find('/');
    return slash == std::string::npos ? "" : canonical.substr(0, slash);
}

std::optional<std::int64_t> context_window(std::string_view model_id) {
    const Details* d = _details(model_id);
    if (d == nullptr) return std::nullopt;
    return d->context;
}

std::string provider_model_id(std::string_view model_id) {
    if (const Details* d = _details(model_id); d != nullptr && d->api_id != nullptr) return d->api_id;
    std::string canonical = normalize_model_id(model_id);
    auto slash = canonical.find('/');
    return slash == std::string::npos ? canonical : canonical.substr(slash + 1);
}

std::optional<Price> find_price(std::string_view model_id, const Sources& src) {
    auto found = _find(src, model_id, {});
    if (!found) return std::nullopt;
    if (found->configured) return _configured_price(found->id, *found->configured, found->listed.value_or(Price{}));
    return found->listed;
}

std::string placed_provider(std::string_view model_id) {
    if (std::string provider = provider_of(model_id); !provider.empty()) return provider;
    auto found = _find(sources(), model_id, {});
    if (!found) return "";
    auto slash = found->id.find('/');
    return slash == std::string::npos ? "" : found->id.substr(0, slash);
}

bool unpriced(std::string_view model_id) {
    if (model_id.starts_with("ollama/")) return false;
    try {
        return !find_price(model_id);
    } catch (const std::exception&) {
        return false;
    }
}

prices::List all_prices() {
    std::set<std::string> ids;
    for (const auto& [id, _] : _built_in_prices()) ids.insert(id);
    // A configuration that cannot be read fails the listing, which says why.
    Sources src{config::load_shared(), _imported()};
    for (const auto& [id, _] : *src.imported) ids.insert(id);
    for (const auto& [key, entry] : json::table(*src.config, "pricing"))
        if (entry.is_object()) ids.insert(std::string(key));
    prices::List out;
    for (const auto& id : ids)
        if (auto p = find_price(id, src)) out.emplace(id, *p);
    return out;
}

std::vector<std::string> known_models() {
    std::vector<std::string> ids;
    for (const auto& [id, _] : _built_in_prices()) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

namespace {

// Where an imported entry belongs: its name as normalised when that names or
// guesses a provider, else at the provider the list names for it
// (acme-chat-2 of openai as openai/acme-chat-2).
std::string _placed(const prices::Entry& e) {
    std::string id = normalize_model_id(e.name);
    if (id.find('/') != std::string::npos || e.provider.empty()) return id;
    return normalize_model_id(_canonical_provider(_lower(e.provider)) + "/" + e.name);
}

}  // namespace

std::size_t import_prices(std::string_view text, const std::string& source, std::vector<std::string>* invalid) {
    std::vector<prices::Entry> parsed = prices::entries(text, source, invalid);
    // In name order, so that of two names of one model and one length the
    // same one wins whatever the file's order.
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const prices::Entry& a, const prices::Entry& b) { return a.name < b.name; });
    prices::List by_id;
    std::map<std::string, std::string> named_by;  // id -> the entry name it came from
    for (auto& entry : parsed) {
        std::string id = _placed(entry);
        auto it = named_by.find(id);
        if (it != named_by.end() && it->second.size() <= entry.name.size()) continue;
        named_by[id] = entry.name;
        by_id[id] = std::move(entry.price);
    }
    if (by_id.empty()) throw std::runtime_error(source + " holds no model priced per token");
    prices::store(by_id, prices::path());
    return by_id.size();
}

}  // namespace tokentally::catalog
