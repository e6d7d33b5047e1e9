#include "tokentally/insight/billing.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/http/client.hpp"

#include <fmt/format.h>
#include <boost/json.hpp>
#include <boost/url/encode.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <stdexcept>

namespace tokentally::billing {

namespace bj = boost::json;

namespace {

constexpr std::int64_t DAY_SECONDS = 86'400;

// A provider that keeps saying it has more is not followed for ever.
constexpr int MAX_PAGES = 1000;

// The most daily buckets one page may ask for: OpenAI's costs take up to
// 180, its usage up to 31.
constexpr std::int64_t COST_BUCKETS = 180;
constexpr std::int64_t USAGE_BUCKETS = 31;

constexpr std::string_view ANTHROPIC_VERSION = "2023-06-01";

std::runtime_error _failed(const Provider& p, const std::string& what) {
    return std::runtime_error(std::string(p.name) + ": " + what);
}

// The headers that carry the key: the one place it is used.
http::Headers _headers(const Provider& p, const std::string& key) {
    http::Headers h{{"Accept", "application/json"}};
    if (p.name == ANTHROPIC.name) {
        h.emplace_back("x-api-key", key);
        h.emplace_back("anthropic-version", std::string(ANTHROPIC_VERSION));
    } else {
        h.emplace_back("Authorization", "Bearer " + key);
    }
    return h;
}

// One page of `path`: its JSON object. The status is checked first, and no
// body of an error is repeated (a refusal may quote part of the key).
bj::object _page(const Provider& p, const std::string& base_url, const http::Headers& headers, const std::string& path,
                 const std::string& query) {
    http::ClientResponse res;
    try {
        res = http::fetch_now({"GET", base_url + path + "?" + query, headers, ""}, PAGE_TIMEOUT);
    } catch (const std::exception& e) {
        throw _failed(
            p, fmt::format("cannot reach {}'s admin API at {}: {}", p.label, http::redact_url(base_url), e.what()));
    }
    if (res.status == 401 || res.status == 403)
        throw _failed(p, fmt::format("{}'s admin API refused the key in {} ({}): it is not an organization admin key",
                                     p.label, p.key_variable, res.status));
    if (res.status != 200)
        throw _failed(p, fmt::format("{}'s admin API answered {} to GET {}", p.label, res.status, path));
    boost::system::error_code ec;
    bj::value body = bj::parse(res.body, ec);
    if (ec || !body.is_object()) throw _failed(p, fmt::format("GET {} did not answer a JSON object", path));
    return std::move(body.get_object());
}

// The buckets of every page of `path`, following next_page while has_more.
bj::array _buckets(const Provider& p, const std::string& base_url, const http::Headers& headers,
                   const std::string& path, const std::string& query) {
    bj::array buckets;
    std::string page;
    for (int n = 0; n < MAX_PAGES; ++n) {
        std::string q =
            page.empty() ? query : query + "&page=" + boost::urls::encode(page, boost::urls::unreserved_chars);
        bj::object body = _page(p, base_url, headers, path, q);
        const bj::value* data = body.if_contains("data");
        if (data == nullptr || !data->is_array())
            throw _failed(p, fmt::format("GET {} answered without a data list", path));
        for (const auto& bucket : data->get_array()) buckets.push_back(bucket);
        if (!json::truthy(body.if_contains("has_more"))) return buckets;
        const bj::value* next = body.if_contains("next_page");
        if (next == nullptr || !next->is_string() || next->get_string().empty() || next->get_string() == page)
            throw _failed(p, fmt::format("GET {} says it has more pages but names no new one", path));
        page = std::string(next->get_string());
    }
    throw _failed(p, fmt::format("GET {} answered more than {} pages", path, MAX_PAGES));
}

// A figure as a number: a JSON number, or a decimal text (Anthropic's
// amounts).
double _amount(const bj::value& v, const Provider& p) {
    if (v.is_number()) return v.to_number<double>();
    if (v.is_string()) {
        std::string text(v.get_string());
        char* end = nullptr;
        errno = 0;
        double d = std::strtod(text.c_str(), &end);
        if (!text.empty() && end == text.c_str() + text.size() && errno == 0 && std::isfinite(d)) return d;
    }
    throw _failed(p, "an amount is not a number: " + json::write(v));
}

// A token count; 0 for one the provider left out or that is no count.
std::int64_t _count(const bj::value* v) { return v != nullptr && v->is_number() ? usage::count(*v).value_or(0) : 0; }

std::string _rfc3339(std::int64_t unix_seconds) { return utc_date(unix_seconds) + "T00:00:00Z"; }

// The day a bucket covers: OpenAI's start_time (Unix seconds), Anthropic's
// starting_at (RFC 3339).
std::optional<std::string> _bucket_date(const bj::value& bucket) {
    const bj::value* start = json::member(bucket, "start_time");
    if (start != nullptr && start->is_number()) return utc_date(static_cast<std::int64_t>(start->to_number<double>()));
    const bj::value* starting = json::member(bucket, "starting_at");
    if (starting != nullptr && starting->is_string() && starting->get_string().size() >= 10)
        return std::string(std::string_view(starting->get_string()).substr(0, 10));
    return std::nullopt;
}

const bj::array& _results(const bj::value& bucket) {
    static const bj::array none;
    const bj::value* r = json::member(bucket, "results");
    return r != nullptr && r->is_array() ? r->get_array() : none;
}

// A result's dollars: OpenAI's amount.value is in dollars, Anthropic's
// amount a text in cents.
double _result_usd(const bj::value& result, const Provider& p) {
    const bj::value* amount = json::member(result, "amount");
    if (amount == nullptr || amount->is_null()) return 0.0;
    if (p.name == ANTHROPIC.name) return _amount(*amount, p) / 100.0;
    const bj::value* value = json::member(*amount, "value");
    return value == nullptr || value->is_null() ? 0.0 : _amount(*value, p);
}

// A usage result's model and tokens, in the provider's naming.
std::pair<std::string, Tokens> _result_tokens(const bj::value& result, const Provider& p) {
    const bj::value* model = json::member(result, "model");
    std::string name = model != nullptr && model->is_string() ? std::string(model->get_string()) : "(unknown)";
    Tokens t;
    t.output_tokens = _count(json::member(result, "output_tokens"));
    if (p.name == ANTHROPIC.name) {
        t.input_tokens = _count(json::member(result, "uncached_input_tokens"));
        t.cache_read_tokens = _count(json::member(result, "cache_read_input_tokens"));
        if (const bj::value* creation = json::member(result, "cache_creation"))
            t.cache_write_tokens = _count(json::member(*creation, "ephemeral_5m_input_tokens")) +
                                   _count(json::member(*creation, "ephemeral_1h_input_tokens"));
    } else {
        t.input_tokens = _count(json::member(result, "input_tokens"));
        t.cache_read_tokens = _count(json::member(result, "input_cached_tokens"));
        t.requests = _count(json::member(result, "num_model_requests"));
    }
    return {catalog::normalize_model_id(std::string(p.name) + "/" + name), t};
}

struct Queries {
    std::string cost_path, cost_query, usage_path, usage_query;
};

Queries _queries(const Provider& p, const Window& w) {
    std::int64_t days = std::max<std::int64_t>((w.end - w.start) / DAY_SECONDS, 1);
    if (p.name == ANTHROPIC.name) {
        std::string span =
            fmt::format("starting_at={}&ending_at={}&bucket_width=1d", _rfc3339(w.start), _rfc3339(w.end));
        return {"/v1/organizations/cost_report", span, "/v1/organizations/usage_report/messages",
                span + "&group_by%5B%5D=model"};  // group_by[]=model, its brackets encoded as a URL needs them
    }
    std::string span = fmt::format("start_time={}&end_time={}&bucket_width=1d", w.start, w.end);
    return {"/v1/organization/costs", fmt::format("{}&limit={}", span, std::min(days, COST_BUCKETS)),
            "/v1/organization/usage/completions",
            fmt::format("{}&group_by=model&limit={}", span, std::min(days, USAGE_BUCKETS))};
}

std::string _without_trailing_slash(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

}  // namespace

const Provider* provider(std::string_view name) {
    for (const Provider& p : PROVIDERS)
        if (p.name == name) return &p;
    return nullptr;
}

void add(Tokens& into, const Tokens& more) {
    into.requests = into.requests && more.requests ? std::optional(*into.requests + *more.requests)
                                                   : (into.requests ? into.requests : more.requests);
    into.input_tokens += more.input_tokens;
    into.cache_read_tokens += more.cache_read_tokens;
    into.cache_write_tokens += more.cache_write_tokens;
    into.output_tokens += more.output_tokens;
}

std::string utc_date(std::int64_t unix_seconds) {
    auto t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

Bill fetch(const Provider& p, const std::string& base_url, const std::string& key, const Window& window) {
    const std::string base = _without_trailing_slash(base_url);
    const http::Headers headers = _headers(p, key);
    const Queries q = _queries(p, window);
    Bill bill;
    for (const auto& bucket : _buckets(p, base, headers, q.cost_path, q.cost_query)) {
        auto date = _bucket_date(bucket);
        if (!date) continue;
        Day& day = bill.days[*date];
        for (const auto& result : _results(bucket)) day.usd += _result_usd(result, p);
    }
    // Tokens per model only explain the figures: a usage report that cannot
    // be read leaves the comparison of the costs standing.
    try {
        for (const auto& bucket : _buckets(p, base, headers, q.usage_path, q.usage_query)) {
            auto date = _bucket_date(bucket);
            if (!date) continue;
            Day& day = bill.days[*date];
            for (const auto& result : _results(bucket)) {
                auto [model, tokens] = _result_tokens(result, p);
                add(day.models[model], tokens);
            }
        }
    } catch (const std::exception& e) {
        bill.tokens_error = e.what();
        for (auto& [_, day] : bill.days) day.models.clear();
    }
    return bill;
}

}  // namespace tokentally::billing
