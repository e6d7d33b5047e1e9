#include "tokentally/prices.hpp"

#include "tokentally/json.hpp"
#include "tokentally/paths.hpp"

#include <boost/json.hpp>
#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tokentally::prices {

namespace bj = boost::json;

namespace {

// Text models of the community catalog; the rest (embeddings, images,
// speech, moderation) are priced by other units or not called through us.
const std::vector<std::string_view> TEXT_MODES = {"chat", "completion", "responses"};

constexpr const char* SAMPLE_ENTRY = "sample_spec";

std::string _entry_name(const std::string& name) { return "entry \"" + name + "\""; }

std::optional<double> _optional_number(const bj::object& e, std::string_view key, const std::string& name) {
    const bj::value* v = e.if_contains(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_number()) throw std::runtime_error(_entry_name(name) + ": " + std::string(key) + " is not a number: " + json::write(*v));
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

// A community entry; nullopt for one that is not a text model or not priced
// per token.
std::optional<Price> _community_entry(const bj::object& e, const std::string& name) {
    if (const bj::value* mode = e.if_contains("mode"); mode != nullptr && mode->is_string()) {
        std::string_view m = mode->get_string();
        if (std::find(TEXT_MODES.begin(), TEXT_MODES.end(), m) == TEXT_MODES.end()) return std::nullopt;
    }
    auto input = _optional_number(e, "input_cost_per_token", name);
    auto output = _optional_number(e, "output_cost_per_token", name);
    if (!input || !output) return std::nullopt;
    Price p;
    p.input = *_per_million(input);
    p.output = *_per_million(output);
    p.cache_read = _per_million(_optional_number(e, "cache_read_input_token_cost", name));
    p.cache_write = _per_million(_optional_number(e, "cache_creation_input_token_cost", name));
    p.cache_write_1h = _per_million(_optional_number(e, "cache_creation_input_token_cost_above_1hr", name));
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
    return p;
}

std::optional<Price> _entry(const std::string& name, const bj::value& v) {
    if (!v.is_object()) throw std::runtime_error(_entry_name(name) + " is not an object: " + json::write(v));
    const bj::object& e = v.get_object();
    std::optional<Price> p = _is_community(e) ? _community_entry(e, name) : _own_entry(e, name);
    if (p) validate(*p, name);
    return p;
}

bj::object _written(const Price& p) {
    bj::object o{{"input", p.input}, {"output", p.output}};
    if (p.cache_read) o["cache_read"] = *p.cache_read;
    if (p.cache_write) o["cache_write"] = *p.cache_write;
    if (p.cache_write_1h) o["cache_write_1h"] = *p.cache_write_1h;
    return o;
}


}  // namespace

std::string path() { return paths::data_file("prices.json"); }

void validate(const Price& p, const std::string& name) {
    auto check = [&](std::string_view what, std::optional<double> v) {
        if (v && !(*v >= 0 && std::isfinite(*v)))
            throw std::runtime_error(fmt::format("{}: {} price {} is not a price", _entry_name(name), what, *v));
    };
    check("input", p.input);
    check("output", p.output);
    check("cache read", p.cache_read);
    check("cache write", p.cache_write);
    check("1-hour cache write", p.cache_write_1h);
    if (p.cache_read && *p.cache_read > p.input)
        throw std::runtime_error(
            fmt::format("{}: cache read price {} is above the input price {}", _entry_name(name), *p.cache_read, p.input));
    for (auto [what, write] : {std::pair{"cache write", p.cache_write}, std::pair{"1-hour cache write", p.cache_write_1h}})
        if (write && *write < p.input)
            throw std::runtime_error(
                fmt::format("{}: {} price {} is below the input price {}", _entry_name(name), what, *write, p.input));
}

List parse(std::string_view text, const std::string& source, std::vector<std::string>* invalid) {
    boost::system::error_code ec;
    bj::value v = bj::parse(text, ec);
    if (ec) throw std::runtime_error(source + " is not JSON: " + ec.message());
    if (!v.is_object()) throw std::runtime_error(source + " is not a JSON object of models and their prices");
    List out;
    for (const auto& [key, entry] : v.get_object()) {
        std::string name(key);
        if (name == SAMPLE_ENTRY) continue;
        try {
            if (auto p = _entry(name, entry)) out.emplace(name, *p);
        } catch (const std::exception& e) {
            if (invalid == nullptr) throw std::runtime_error(source + ": " + e.what());
            invalid->push_back(e.what());
        }
    }
    return out;
}

void store(const List& list, const std::string& file) {
    bj::object all;
    for (const auto& [id, p] : list) all[id] = _written(p);
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
