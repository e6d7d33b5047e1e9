#include "tokentally/accounting/prices.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/paths.hpp"

#include <fmt/format.h>
#include <boost/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

namespace tokentally::prices {

namespace bj = boost::json;

namespace {

// Models of the community catalog priced per token of text: chat and
// completion models, and embedding models (input only); the rest (images,
// speech, moderation) are priced by other units or not called through us.
const std::vector<std::string_view> PRICED_MODES = {"chat", "completion", "responses", "embedding"};

constexpr std::string_view EMBEDDING_MODE = "embedding";

// Flex is billed at batch rates: half the standard prices.
constexpr double FLEX_FACTOR = 0.5;

constexpr const char* SAMPLE_ENTRY = "sample_spec";

std::string _entry_name(const std::string& name) { return "entry \"" + name + "\""; }

// `within` names the member of the entry that `e` is, when it is one
// ("long_context[0].").
std::optional<double> _optional_number(const bj::object& e, std::string_view key, const std::string& name,
                                       std::string_view within = {}) {
    const bj::value* v = e.if_contains(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_number())
        throw std::runtime_error(_entry_name(name) + ": " + std::string(within) + std::string(key) +
                                 " is not a number: " + json::write(*v));
    return json::as_number(*v, key);
}

// USD per token to USD per million, rounded to a billionth of a dollar per
// million so that 3e-06 reads as 3.0 and not 2.9999999999999996.
std::optional<double> _per_million(std::optional<double> per_token) {
    if (!per_token) return std::nullopt;
    return std::round(*per_token * 1e15) / 1e9;
}

bool _is_community(const bj::object& e) {
    return e.contains("input_cost_per_token") || e.contains("output_cost_per_token") ||
           e.contains("litellm_provider") || e.contains("mode");
}

// --- the community shape's keys ---------------------------------------------------

enum class PriceKind { input, output, cache_read, cache_write, cache_write_1h };

// Each price key of the community file without its suffix, longest first
// where one begins another: the suffix says which tier the price is of.
constexpr std::pair<std::string_view, PriceKind> COMMUNITY_KEYS[] = {
    {"input_cost_per_token", PriceKind::input},
    {"output_cost_per_token", PriceKind::output},
    {"cache_read_input_token_cost", PriceKind::cache_read},
    {"cache_creation_input_token_cost_above_1hr", PriceKind::cache_write_1h},
    {"cache_creation_input_token_cost", PriceKind::cache_write},
};

// Prices of one tier as a list gives them, each possibly absent.
struct Given {
    std::optional<double> input, output, cache_read, cache_write, cache_write_1h;
    std::optional<double>& operator[](PriceKind k) {
        switch (k) {
            case PriceKind::input:
                return input;
            case PriceKind::output:
                return output;
            case PriceKind::cache_read:
                return cache_read;
            case PriceKind::cache_write:
                return cache_write;
            case PriceKind::cache_write_1h:
                return cache_write_1h;
        }
        return input;
    }
    // The prices, input and output defaulting to `input_default` and
    // `output_default`.
    Rates rates(double input_default, double output_default) const {
        return {input.value_or(input_default), output.value_or(output_default), cache_read, cache_write,
                cache_write_1h};
    }
};

// The prices of a community entry by tier: standard (""), a long-context
// threshold ("_above_200k_tokens" as 200000), "_flex" and "_priority".
struct CommunityPrices {
    Given standard, flex, priority;
    std::map<std::int64_t, Given> above;
};

// A suffix "_above_<N>k_tokens": N thousand; nullopt for any other text.
std::optional<std::int64_t> _threshold(std::string_view suffix) {
    constexpr std::string_view HEAD = "_above_", TAIL = "k_tokens";
    if (!suffix.starts_with(HEAD) || !suffix.ends_with(TAIL)) return std::nullopt;
    std::string_view digits = suffix.substr(HEAD.size(), suffix.size() - HEAD.size() - TAIL.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::stoll(std::string(digits)) * 1000;
}

// Where a key's price goes; nullptr for a key that is no price we read
// (batch prices, tiers of tiers, metadata).
std::optional<double>* _slot(CommunityPrices& c, std::string_view key) {
    for (const auto& [base, kind] : COMMUNITY_KEYS) {
        if (!key.starts_with(base)) continue;
        std::string_view suffix = key.substr(base.size());
        if (suffix.empty()) return &c.standard[kind];
        if (suffix == "_flex") return &c.flex[kind];
        if (suffix == "_priority") return &c.priority[kind];
        if (auto n = _threshold(suffix)) return &c.above[*n][kind];
        return nullptr;
    }
    return nullptr;
}

CommunityPrices _community_prices(const bj::object& e, const std::string& name) {
    CommunityPrices c;
    for (const auto& [key, _] : e)
        if (std::optional<double>* slot = _slot(c, key)) *slot = _per_million(_optional_number(e, key, name));
    return c;
}

bool _any(const Given& g) { return g.input || g.output || g.cache_read || g.cache_write || g.cache_write_1h; }

// A community entry; nullopt for one that is not priced per token of text.
// An embedding model has no output price (0 when the entry leaves it out).
std::optional<Price> _community_entry(const bj::object& e, const std::string& name) {
    bool embedding = false;
    if (const bj::value* mode = e.if_contains("mode"); mode != nullptr && mode->is_string()) {
        std::string_view m = mode->get_string();
        if (std::find(PRICED_MODES.begin(), PRICED_MODES.end(), m) == PRICED_MODES.end()) return std::nullopt;
        embedding = m == EMBEDDING_MODE;
    }
    CommunityPrices c = _community_prices(e, name);
    if (embedding && !c.standard.output) c.standard.output = 0.0;
    if (!c.standard.input || !c.standard.output) return std::nullopt;
    Price p;
    Rates standard = c.standard.rates(0.0, 0.0);
    p.input = standard.input;
    p.output = standard.output;
    p.cache_read = standard.cache_read;
    p.cache_write = standard.cache_write;
    p.cache_write_1h = standard.cache_write_1h;
    for (const auto& [above, given] : c.above) p.long_context.push_back({above, given.rates(p.input, p.output)});
    if (_any(c.flex)) p.flex = c.flex.rates(p.input * FLEX_FACTOR, p.output * FLEX_FACTOR);
    if (_any(c.priority)) p.priority = c.priority.rates(p.input, p.output);
    return p;
}

Price _own_entry(const bj::object& e, const std::string& name) {
    auto input = _optional_number(e, "input", name);
    auto output = _optional_number(e, "output", name);
    if (!input || !output) throw std::runtime_error(_entry_name(name) + ": needs both an input and an output price");
    Price p;
    p.input = *input;
    p.output = *output;
    p.cache_read = _optional_number(e, "cache_read", name);
    p.cache_write = _optional_number(e, "cache_write", name);
    p.cache_write_1h = _optional_number(e, "cache_write_1h", name);
    read_tiers(p, e, name);
    return p;
}

std::optional<Price> _entry(const std::string& name, const bj::value& v) {
    if (!v.is_object()) throw std::runtime_error(_entry_name(name) + " is not an object: " + json::write(v));
    const bj::object& e = v.get_object();
    std::optional<Price> p = _is_community(e) ? _community_entry(e, name) : _own_entry(e, name);
    if (p) validate(*p, name);
    return p;
}

bj::object _written(const Rates& r, bool nulls) {
    bj::object o{{"input", r.input}, {"output", r.output}};
    for (auto [key, price] : {std::pair{"cache_read", r.cache_read}, std::pair{"cache_write", r.cache_write},
                              std::pair{"cache_write_1h", r.cache_write_1h}})
        if (price || nulls) o[key] = price ? bj::value(*price) : bj::value(nullptr);
    return o;
}

// --- our own shape's tiers -----------------------------------------------------------

// A tier's prices, each left out defaulting as the shape says.
Rates _own_rates(const bj::value& v, const std::string& what, const std::string& name, double input_default,
                 double output_default) {
    if (!v.is_object())
        throw std::runtime_error(_entry_name(name) + ": " + what + " is not an object: " + json::write(v));
    const bj::object& o = v.get_object();
    std::string within = what + ".";
    auto number = [&](std::string_view key) { return _optional_number(o, key, name, within); };
    return {number("input").value_or(input_default), number("output").value_or(output_default), number("cache_read"),
            number("cache_write"), number("cache_write_1h")};
}

std::int64_t _above(const bj::value& tier, const std::string& what, const std::string& name) {
    const bj::value* v = json::member(tier, "above");
    if (v == nullptr || !v->is_number())
        throw std::runtime_error(_entry_name(name) + ": " + what + " needs \"above\", a number of prompt tokens");
    double above = v->to_number<double>();
    if (!(above >= 1 && above < 1e15) || std::floor(above) != above)
        throw std::runtime_error(fmt::format("{}: {}.above {} is not a whole number of tokens above 0",
                                             _entry_name(name), what, json::write(*v)));
    return static_cast<std::int64_t>(above);
}

// Prices at and under the limits of validate(), for the standard prices
// and for each tier.
void _validate_rates(const Rates& r, const std::string& prefix, const std::string& name) {
    auto check = [&](std::string_view what, std::optional<double> v) {
        if (v && !(*v >= 0 && std::isfinite(*v)))
            throw std::runtime_error(
                fmt::format("{}: {}{} price {} is not a price", _entry_name(name), prefix, what, *v));
    };
    check("input", r.input);
    check("output", r.output);
    check("cache read", r.cache_read);
    check("cache write", r.cache_write);
    check("1-hour cache write", r.cache_write_1h);
    if (r.cache_read && *r.cache_read > r.input)
        throw std::runtime_error(fmt::format("{}: {}cache read price {} is above the input price {}", _entry_name(name),
                                             prefix, *r.cache_read, r.input));
    for (auto [what, write] :
         {std::pair{"cache write", r.cache_write}, std::pair{"1-hour cache write", r.cache_write_1h}})
        if (write && *write < r.input)
            throw std::runtime_error(fmt::format("{}: {}{} price {} is below the input price {}", _entry_name(name),
                                                 prefix, what, *write, r.input));
}

// --- what a call pays ------------------------------------------------------------------

// `r` with the cache prices it leaves out taken from `standard`, times
// r's input ÷ the standard input: a tier that doubles the input price
// doubles a cache read's too.
Rates _following(Rates r, const Rates& standard) {
    double k = standard.input > 0 ? r.input / standard.input : 1.0;
    auto follow = [k](std::optional<double>& mine, const std::optional<double>& theirs) {
        if (!mine && theirs) mine = *theirs * k;
    };
    follow(r.cache_read, standard.cache_read);
    follow(r.cache_write, standard.cache_write);
    follow(r.cache_write_1h, standard.cache_write_1h);
    return r;
}

std::optional<double> _times(const std::optional<double>& v, double k) {
    return v ? std::optional<double>(*v * k) : std::nullopt;
}

Rates _scaled(const Rates& r, double k) {
    return {r.input * k, r.output * k, _times(r.cache_read, k), _times(r.cache_write, k), _times(r.cache_write_1h, k)};
}

// `base` (a long-context tier's prices) times the ratio of the listed
// service-tier price to the standard one, price by price.
Rates _ratio(const Rates& base, const Rates& listed, const Rates& standard) {
    auto ratio = [](double l, double s) { return s > 0 ? l / s : 1.0; };
    double by_input = ratio(listed.input, standard.input);
    auto cache = [&](const std::optional<double>& b, const std::optional<double>& l, const std::optional<double>& s) {
        return b ? std::optional<double>(*b * (l && s ? ratio(*l, *s) : by_input)) : std::nullopt;
    };
    return {base.input * by_input, base.output * ratio(listed.output, standard.output),
            cache(base.cache_read, listed.cache_read, standard.cache_read),
            cache(base.cache_write, listed.cache_write, standard.cache_write),
            cache(base.cache_write_1h, listed.cache_write_1h, standard.cache_write_1h)};
}

// The long-context tier a prompt of this size falls in, if any.
const LongContext* _long_context(const Price& p, double prompt_tokens) {
    const LongContext* found = nullptr;
    for (const auto& t : p.long_context)
        if (prompt_tokens > static_cast<double>(t.above)) found = &t;
    return found;
}

// The provider a community entry names for itself, when it names one.
std::string _listed_provider(const bj::value& entry) {
    const bj::value* provider = json::member(entry, "litellm_provider");
    return provider != nullptr && provider->is_string() ? std::string(provider->get_string()) : std::string();
}

}  // namespace

std::string path() { return paths::data_file("prices.json"); }

bj::object to_json(const Price& p, bool nulls) {
    bj::object o = _written(p.standard(), nulls);
    if (!p.long_context.empty()) {
        bj::array tiers;
        for (const auto& t : p.long_context) {
            bj::object tier{{"above", t.above}};
            for (auto& member : _written(t.rates, nulls)) tier.emplace(member.key(), member.value());
            tiers.push_back(std::move(tier));
        }
        o["long_context"] = std::move(tiers);
    }
    if (p.flex) o["flex"] = _written(*p.flex, nulls);
    if (p.priority) o["priority"] = _written(*p.priority, nulls);
    return o;
}

ServiceTier service_tier(std::string_view name) {
    if (name == "flex") return ServiceTier::flex;
    if (name == "priority") return ServiceTier::priority;
    return ServiceTier::standard;
}

Rates rates(const Price& p, double prompt_tokens, ServiceTier tier) {
    Rates standard = p.standard();
    const LongContext* long_context = _long_context(p, prompt_tokens);
    Rates base = long_context ? _following(long_context->rates, standard) : standard;
    if (tier == ServiceTier::standard) return base;
    const std::optional<Rates>& listed = tier == ServiceTier::flex ? p.flex : p.priority;
    if (!listed) return tier == ServiceTier::flex ? _scaled(base, FLEX_FACTOR) : base;
    Rates service = _following(*listed, standard);
    return long_context ? _ratio(base, service, standard) : service;
}

void validate(const Price& p, const std::string& name) {
    _validate_rates(p.standard(), "", name);
    std::int64_t last = 0;
    for (const auto& t : p.long_context) {
        if (t.above <= last)
            throw std::runtime_error(
                fmt::format("{}: long-context threshold {} is not above 0 or given twice", _entry_name(name), t.above));
        last = t.above;
        _validate_rates(t.rates, fmt::format("above {} tokens: ", t.above), name);
    }
    if (p.flex) _validate_rates(*p.flex, "flex: ", name);
    if (p.priority) _validate_rates(*p.priority, "priority: ", name);
}

void read_tiers(Price& p, const bj::object& entry, const std::string& name) {
    if (const bj::value* tiers = entry.if_contains("long_context"); tiers != nullptr && !tiers->is_null()) {
        if (!tiers->is_array())
            throw std::runtime_error(_entry_name(name) + ": long_context is not a list: " + json::write(*tiers));
        p.long_context.clear();
        const bj::array& list = tiers->get_array();
        for (std::size_t i = 0; i < list.size(); ++i) {
            std::string what = fmt::format("long_context[{}]", i);
            std::int64_t above = _above(list[i], what, name);
            p.long_context.push_back({above, _own_rates(list[i], what, name, p.input, p.output)});
        }
        std::stable_sort(p.long_context.begin(), p.long_context.end(),
                         [](const LongContext& a, const LongContext& b) { return a.above < b.above; });
    }
    if (const bj::value* flex = entry.if_contains("flex"); flex != nullptr && !flex->is_null())
        p.flex = _own_rates(*flex, "flex", name, p.input * FLEX_FACTOR, p.output * FLEX_FACTOR);
    if (const bj::value* priority = entry.if_contains("priority"); priority != nullptr && !priority->is_null())
        p.priority = _own_rates(*priority, "priority", name, p.input, p.output);
}

std::vector<Entry> entries(std::string_view text, const std::string& source, std::vector<std::string>* invalid) {
    boost::system::error_code ec;
    bj::value v = bj::parse(text, ec);
    if (ec) throw std::runtime_error(source + " is not JSON: " + ec.message());
    if (!v.is_object()) throw std::runtime_error(source + " is not a JSON object of models and their prices");
    std::vector<Entry> out;
    for (const auto& [key, entry] : v.get_object()) {
        std::string name(key);
        if (name == SAMPLE_ENTRY) continue;
        try {
            if (auto p = _entry(name, entry)) out.push_back({name, _listed_provider(entry), std::move(*p)});
        } catch (const std::exception& e) {
            if (invalid == nullptr) throw std::runtime_error(source + ": " + e.what());
            invalid->push_back(e.what());
        }
    }
    return out;
}

List parse(std::string_view text, const std::string& source, std::vector<std::string>* invalid) {
    List out;
    for (auto& e : entries(text, source, invalid)) out.emplace(std::move(e.name), std::move(e.price));
    return out;
}

void store(const List& list, const std::string& file) {
    bj::object all;
    for (const auto& [id, p] : list) all[id] = to_json(p);
    paths::replace_file(file, json::write(all) + "\n");
}

std::shared_ptr<const List> load_shared(const std::string& file) {
    static const auto NONE = std::make_shared<const List>();
    static paths::ParsedFile<List> stored{[](const std::string& text, const std::string& where) {
        List list = parse(text, where);
        for (auto& entry : list) entry.second.source = "imported";
        return list;
    }};
    auto list = paths::load(stored, file);
    return list ? list : NONE;
}

}  // namespace tokentally::prices
