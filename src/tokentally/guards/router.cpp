#include "tokentally/guards/router.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace tokentally::router {

namespace bj = boost::json;

namespace {

// A token is taken as four characters when a request is sized before it is
// sent: close enough for English text and for deciding whether it fits.
constexpr std::int64_t CHARS_PER_TOKEN = 4;

constexpr std::string_view RULE_KEYS[] = {"from", "to", "tags", "max_prompt_chars", "allow_tools"};

struct Rule {
    std::string label;  // "router rule 1 (gpt-4o → gpt-4o-mini)", for reasons and errors
    std::string from;   // canonical id, or "provider/*"
    std::string to;     // as written
    std::string to_id;  // canonical
    std::string provider;
    std::vector<std::string> tags;
    std::optional<std::int64_t> max_prompt_chars;
    bool allow_tools = false;
};

// What the router needs to know of one request.
struct Request {
    std::string model_id;  // as the request spelled it
    std::string canonical;
    std::string provider;
    std::string tag;
    std::int64_t chars = 0;
    std::int64_t prompt_tokens = 0;  // estimated
    std::int64_t max_tokens = 0;
    std::optional<std::string> special;
};

// --- reading the request ----------------------------------------------------

std::int64_t _code_points(std::string_view s) {
    return std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

// Text of a message, a content part or a list of them: strings, and the
// "text" or "content" members of objects (other members are data, not prompt).
std::int64_t _text_chars(const bj::value& v) {
    if (v.is_string()) return _code_points(v.get_string());
    std::int64_t n = 0;
    if (v.is_array())
        for (const auto& item : v.get_array()) n += _text_chars(item);
    if (v.is_object()) {
        const auto& o = v.get_object();
        const bj::value* text = o.if_contains("text");
        if (text != nullptr && text->is_string()) return _code_points(text->get_string());
        if (const bj::value* content = o.if_contains("content")) n += _text_chars(*content);
    }
    return n;
}

bool _is_image_part(const bj::value& part) {
    const bj::value* type = json::member(part, "type");
    return type && type->is_string() &&
           (type->get_string() == "image_url" || type->get_string() == "image" || type->get_string() == "input_image");
}

bool _message_has_image(const bj::value& message) {
    if (json::truthy(json::member(message, "images"))) return true;
    const bj::value* content = json::member(message, "content");
    if (content == nullptr || !content->is_array()) return false;
    const auto& parts = content->get_array();
    return std::any_of(parts.begin(), parts.end(), _is_image_part);
}

bool _has_images(const bj::object& body) {
    if (json::truthy(body.if_contains("images"))) return true;
    for (const char* list : {"messages", "input"}) {
        const bj::value* v = body.if_contains(list);
        if (v == nullptr || !v->is_array()) continue;
        if (std::any_of(v->get_array().begin(), v->get_array().end(), _message_has_image)) return true;
    }
    return false;
}

// A response format of plain text asks for nothing a model might not do.
bool _has_format(const bj::object& body) {
    for (const char* key : {"response_format", "output_format", "format"}) {
        const bj::value* v = body.if_contains(key);
        if (!json::truthy(v)) continue;
        const bj::value* type = json::member(*v, "type");
        if (!(type && type->is_string() && type->get_string() == "text")) return true;
    }
    return false;
}

Request _describe(const std::string& model_id, const bj::object& body, const std::string& tag) {
    Request r;
    r.model_id = model_id;
    r.canonical = catalog::normalize_model_id(model_id);
    r.provider = catalog::provider_of(model_id);
    r.tag = tag;
    r.chars = _prompt_chars(body);
    r.prompt_tokens = (r.chars + CHARS_PER_TOKEN - 1) / CHARS_PER_TOKEN;
    r.max_tokens = _max_tokens(body);
    r.special = _special_content(body);
    return r;
}

// --- prices -----------------------------------------------------------------

struct Priced {
    prices::Price price;
    std::string text;  // "$2.5/$10"
};

Priced _price(const std::string& model_id) {
    bj::object p = catalog::get_model_price(model_id);
    const bj::value* in = p.if_contains("input");
    const bj::value* out = p.if_contains("output");
    Priced priced;
    priced.price.input = in ? json::as_number(*in, "input price of " + model_id) : 0.0;
    priced.price.output = out ? json::as_number(*out, "output price of " + model_id) : 0.0;
    priced.text = fmt::format("${}/${}", json::display(in), json::display(out));
    return priced;
}

// The request's estimated cost at `p`: its prompt, and as many answer
// tokens as it allows (as many as the prompt when it sets no limit).
double _cost(const Priced& p, const Request& r) {
    double in = static_cast<double>(std::max<std::int64_t>(r.prompt_tokens, 1));
    double out = r.max_tokens > 0 ? static_cast<double>(r.max_tokens) : in;
    return usage::cost(usage::Billed{.input = in, .output = out}, p.price);
}

// Percent saved by `to` against `from` on this request; 0 when the request's
// model has no price.
double _saving_pct(const Priced& from, const Priced& to, const Request& r) {
    double current = _cost(from, r);
    return current > 0 ? (current - _cost(to, r)) / current * 100.0 : 0.0;
}

std::string _prices_text(const Request& r, const Priced& from, const std::string& to_id, const Priced& to) {
    return fmt::format("{} {} → {} {} per M tokens in/out, ~{:.0f}% cheaper on this request", r.canonical, from.text,
                       to_id, to.text, _saving_pct(from, to, r));
}

// --- the rules --------------------------------------------------------------

std::string _required_text(const bj::object& rule, std::string_view key, const std::string& where) {
    const bj::value* v = rule.if_contains(key);
    if (v == nullptr || !v->is_string() || v->get_string().empty())
        throw std::runtime_error(fmt::format("{}: '{}' must be a model id", where, key));
    return std::string(v->get_string());
}

std::vector<std::string> _tags(const bj::object& rule, const std::string& where) {
    const bj::value* v = rule.if_contains("tags");
    if (v == nullptr) return {};
    if (v->is_string()) return {std::string(v->get_string())};
    std::vector<std::string> tags;
    if (v->is_array())
        for (const auto& t : v->get_array()) {
            if (!t.is_string()) break;
            tags.emplace_back(t.get_string());
        }
    if (!v->is_array() || tags.size() != v->get_array().size())
        throw std::runtime_error(fmt::format("{}: 'tags' must be a list of tags: {}", where, json::write(*v)));
    return tags;
}

void _check_keys(const bj::object& rule, const std::string& where) {
    for (const auto& kv : rule)
        if (std::find(std::begin(RULE_KEYS), std::end(RULE_KEYS), kv.key()) == std::end(RULE_KEYS))
            throw std::runtime_error(
                fmt::format("{}: unknown key '{}' (known: from, to, tags, max_prompt_chars, "
                            "allow_tools)",
                            where, std::string_view(kv.key())));
}

void _read_conditions(Rule& r, const bj::object& rule, const std::string& where) {
    r.tags = _tags(rule, where);
    if (const bj::value* v = rule.if_contains("max_prompt_chars")) {
        double n = json::as_number(*v, where + ": 'max_prompt_chars'");
        if (n < 0 || n != std::floor(n))
            throw std::runtime_error(fmt::format("{}: 'max_prompt_chars' must be a whole number of characters", where));
        r.max_prompt_chars = static_cast<std::int64_t>(n);
    }
    if (const bj::value* v = rule.if_contains("allow_tools")) {
        if (!v->is_bool()) throw std::runtime_error(fmt::format("{}: 'allow_tools' must be true or false", where));
        r.allow_tools = v->get_bool();
    }
}

// Both ends must be of one provider: a request cannot change its format
// (and key) on the way.
void _read_models(Rule& r, const bj::object& rule, const std::string& where) {
    std::string from = _required_text(rule, "from", where);
    r.to = _required_text(rule, "to", where);
    r.from = catalog::normalize_model_id(from);
    r.to_id = catalog::normalize_model_id(r.to);
    r.provider = catalog::provider_of(from);
    std::string to_provider = catalog::provider_of(r.to);
    r.label = fmt::format("{} ({} → {})", where, from, r.to);
    if (r.provider.empty() || to_provider.empty())
        throw std::runtime_error(fmt::format("{}: cannot tell the provider of '{}'; write it as provider/model",
                                             r.label, r.provider.empty() ? from : r.to));
    if (r.provider != to_provider)
        throw std::runtime_error(
            fmt::format("{}: from and to are of different providers ({}, {}); a request "
                        "cannot be sent in another provider's format",
                        r.label, r.provider, to_provider));
    if (r.from == r.to_id) throw std::runtime_error(fmt::format("{}: from and to name the same model", r.label));
}

Rule _read_rule(const bj::value& v, std::size_t index) {
    std::string where = fmt::format("router rule {}", index);
    if (!v.is_object()) throw std::runtime_error(where + " is not a table: " + json::write(v));
    const auto& rule = v.get_object();
    _check_keys(rule, where);
    Rule r;
    _read_models(r, rule, where);
    _read_conditions(r, rule, where);
    return r;
}

// Every rule is read before any is used, so a broken one is reported on
// every call rather than only on the calls that reach it.
std::vector<Rule> _rules(const bj::object& section) {
    const bj::value* v = section.if_contains("rules");
    if (v == nullptr) return {};
    if (!v->is_array()) throw std::runtime_error("router.rules is not a list of [[router.rules]] tables");
    std::vector<Rule> rules;
    for (std::size_t i = 0; i < v->get_array().size(); ++i) rules.push_back(_read_rule(v->get_array()[i], i + 1));
    return rules;
}

std::string _mode_of(const bj::object& section) {
    const bj::value* v = section.if_contains("mode");
    if (v == nullptr) return "off";
    if (v->is_string() && (v->get_string() == "off" || v->get_string() == "warn" || v->get_string() == "swap"))
        return std::string(v->get_string());
    throw std::runtime_error("router.mode must be \"off\", \"warn\" or \"swap\": " + json::write(*v));
}

bool _from_matches(const Rule& rule, const Request& r) {
    if (rule.from == rule.provider + "/*") return r.provider == rule.provider;
    return rule.from == r.canonical;
}

// Model, tags and prompt length; a target dearer than the request's own
// model never matches (a "provider/*" rule would otherwise send a request for
// a cheaper model up to the rule's target).
bool _matches(const Rule& rule, const Request& r) {
    if (!_from_matches(rule, r) || rule.to_id == r.canonical) return false;
    if (!rule.tags.empty() && std::find(rule.tags.begin(), rule.tags.end(), r.tag) == rule.tags.end()) return false;
    if (rule.max_prompt_chars && r.chars > *rule.max_prompt_chars) return false;
    return _saving_pct(_price(r.model_id), _price(rule.to_id), r) >= 0;
}

// Why `target` cannot take the request, or none: its context window (when
// the catalog knows it) must hold the prompt and the answer it allows.
std::optional<std::string> _does_not_fit(const std::string& target, const Request& r) {
    auto window = catalog::context_window(target);
    if (!window || r.prompt_tokens + r.max_tokens <= *window) return std::nullopt;
    return fmt::format("the prompt (~{} tokens) and max_tokens {} exceed the context window of {} ({} tokens)",
                       r.prompt_tokens, r.max_tokens, target, *window);
}

bj::object _warn(const std::optional<std::string>& suggested, const std::string& reason) {
    return {
        {"action", "warn"}, {"suggested", suggested ? bj::value(*suggested) : bj::value(nullptr)}, {"reason", reason}};
}

// A matching rule: "warn" says so; "swap" swaps unless the target cannot
// serve the request, which turns it into a warning naming the reason (with
// no suggestion when the target cannot take the prompt at all).
bj::object _decide(const std::string& mode, const Rule& rule, const Request& r) {
    Priced from = _price(r.model_id), to = _price(rule.to_id);
    std::string spelled = _spelled(r.model_id, rule.to);
    std::string prices = _prices_text(r, from, rule.to_id, to);
    auto too_big = _does_not_fit(rule.to_id, r);
    std::optional<std::string> obstacle = too_big;
    if (!obstacle && r.special && !rule.allow_tools)
        obstacle = fmt::format("the request has {} and the rule does not allow_tools", *r.special);
    std::optional<std::string> suggested = too_big ? std::nullopt : std::optional<std::string>(spelled);
    if (obstacle) return _warn(suggested, fmt::format("{} not applied: {}; {}", rule.label, *obstacle, prices));
    if (mode == "warn") return _warn(spelled, fmt::format("{}: {}", rule.label, prices));
    return {{"action", "swap"},
            {"suggested", spelled},
            {"savings_pct", static_cast<std::int64_t>(std::lround(_saving_pct(from, to, r)))},
            {"reason", fmt::format("{}: {}", rule.label, prices)}};
}

double _min_saving_pct(const bj::object& cfg) {
    const bj::value* v = json::table(cfg, "advisor").if_contains("min_saving_pct");
    return v == nullptr ? catalog::DEFAULT_MIN_SAVING_PCT : json::as_number(*v, "advisor.min_saving_pct");
}

// The advisor's first alternative of the same provider that can take the
// request and saves at least the advisor's threshold on it.
std::optional<bj::object> _alternative(const Request& r, double min_saving_pct) {
    auto entry = catalog::ALTERNATIVES.find(r.canonical);
    if (entry == catalog::ALTERNATIVES.end()) return std::nullopt;
    Priced from = _price(r.model_id);
    for (const std::string& alt : entry->second) {
        if (catalog::provider_of(alt) != r.provider || _does_not_fit(alt, r)) continue;
        Priced to = _price(alt);
        if ((to.price.input == 0 && to.price.output == 0) || _saving_pct(from, to, r) < min_saving_pct) continue;
        return _warn(_spelled(r.model_id, alt), "cheaper alternative: " + _prices_text(r, from, alt, to));
    }
    return std::nullopt;
}

}  // namespace

std::string mode() { return _mode_of(json::table(*config::load_shared(), "router")); }

bj::object check_routing(const std::string& model_id, const bj::object& body, const std::string& tag) {
    auto cfg = config::load_shared();
    const bj::object& section = json::table(*cfg, "router");
    std::string mode = _mode_of(section);
    if (mode == "off") return {{"action", "none"}};
    std::vector<Rule> rules = _rules(section);
    Request r = _describe(model_id, body, tag);
    for (const Rule& rule : rules)
        if (_matches(rule, r)) return _decide(mode, rule, r);
    if (mode == "warn")
        if (auto advice = _alternative(r, _min_saving_pct(*cfg))) return std::move(*advice);
    return {{"action", "none"}};
}

bj::object apply_routing(const bj::object& body, const std::string& model_id) {
    bj::object out = body;
    const bj::value* current = body.if_contains("model");
    out["model"] = current && current->is_string() ? _spelled(std::string(current->get_string()), model_id) : model_id;
    return out;
}

std::int64_t _prompt_chars(const bj::object& body) {
    std::int64_t n = 0;
    for (const char* key : {"system", "instructions", "messages", "prompt", "input"})
        if (const bj::value* v = body.if_contains(key)) n += _text_chars(*v);
    return n;
}

std::int64_t _max_tokens(const bj::object& body) {
    const bj::value* options = body.if_contains("options");
    for (const bj::value* v :
         {body.if_contains("max_tokens"), body.if_contains("max_completion_tokens"),
          body.if_contains("max_output_tokens"), options ? json::member(*options, "num_predict") : nullptr})
        if (v != nullptr && v->is_number() && json::as_number(*v, "max_tokens") > 0)
            return static_cast<std::int64_t>(std::min(json::as_number(*v, "max_tokens"), 1e15));
    return 0;
}

std::optional<std::string> _special_content(const bj::object& body) {
    for (const char* key : {"tools", "functions", "tool_choice", "function_call"})
        if (json::truthy(body.if_contains(key))) return "tools";
    if (_has_images(body)) return "images";
    if (_has_format(body)) return "a response format";
    return std::nullopt;
}

std::string _spelled(const std::string& requested, const std::string& target) {
    auto request_slash = requested.find('/');
    auto target_slash = target.find('/');
    if (request_slash != std::string::npos)
        return requested.substr(0, request_slash + 1) +
               (target_slash == std::string::npos ? target : target.substr(target_slash + 1));
    if (target_slash == std::string::npos) return target;
    return catalog::provider_model_id(target);
}

}  // namespace tokentally::router
