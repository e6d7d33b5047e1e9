#include "tokentally/proxy/forward.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/guards/budget.hpp"

#include <algorithm>

namespace tokentally::proxy {

namespace asio = boost::asio;

namespace {

// Provider headers that reach the client; every other one stays behind.
const std::vector<std::string_view> PASSTHROUGH = {
    "content-type", "x-request-id", "x-ratelimit-limit-requests", "x-ratelimit-remaining-requests", "retry-after",
};

}  // namespace

http::Headers safe_response_headers(const http::Headers& headers) {
    http::Headers out;
    for (const auto& [k, v] : headers)
        if (std::find(PASSTHROUGH.begin(), PASSTHROUGH.end(), http::lower(k)) != PASSTHROUGH.end())
            out.emplace_back(k, v);
    return out;
}

std::function<void()> gives_back_hold(const ForwardCall& call) {
    if (!call.hold && !call.slot) return {};
    return [hold = call.hold, slot = call.slot] {
        if (hold) hold->release();
        if (slot) slot->release();
    };
}

bool priced(const std::optional<bj::object>& pricing) { return pricing && !pricing->empty(); }

prices::Price rates(const ForwardCall& call) {
    prices::Price p;
    try {
        if (call.model_id)
            if (auto found = catalog::find_price(call.priced_id, call.files)) p = *found;
    } catch (const std::exception&) {
        // A configured price that is not a number: without cache pricing the
        // entry's input and output price the call as they always did.
        if (call.accounting.cache_pricing) throw;
    }
    p.input = json::as_number(call.pricing->at("input"), "input price");
    p.output = json::as_number(call.pricing->at("output"), "output price");
    return p;
}

std::string_view url_path(const ForwardCall& call) { return std::string_view(call.url).substr(0, call.url.find('?')); }

void set_cache_tokens(ledger::CallRecord& rec, const usage::CacheTokens& cache) {
    rec.cache_read_tokens = cache.read;
    rec.cache_write_tokens = cache.write;
    rec.cache_write_1h_tokens = cache.write_1h;
}

http::Response target_refused(const Services& services, const std::string& url, const std::string& reason) {
    std::string name = http::target_name(url);
    if (logging::once_a_minute(services.refusals, name)) proxy_log()->warn("Target not allowed: {} ({})", name, reason);
    return http::json_response(403, bj::object{{"detail", "Target not allowed: " + name}});
}

asio::awaitable<http::Response> forward(ForwardCall call, bool streaming) {
    const std::string url = call.url;
    std::shared_ptr<const Services> services = call.services;
    std::optional<std::string> refused;
    try {
        if (!streaming) co_return co_await handle_standard(std::move(call));
        if (call.client->checks_addresses()) co_await call.client->resolve(url);
    } catch (const access::TargetRefused& e) {
        refused = e.what();
    }
    if (refused) co_return target_refused(*services, url, *refused);
    co_return co_await handle_streaming(std::move(call));
}

void add_cost_headers(http::Headers& headers, std::optional<double> cost, const Services& services,
                      const std::shared_ptr<const bj::object>& config, const std::string& tag,
                      const std::optional<std::string>& key) {
    // Cost to 10 significant digits as documented; what is left to 15, so a
    // limit in the hundreds still reads to the nano-dollar.
    constexpr int COST_DIGITS = 10;
    constexpr int REMAINING_DIGITS = 15;
    try {
        if (!config || !json::truthy(json::table(*config, "proxy").if_contains("cost_headers"))) return;
        if (cost) http::set_header(headers, "X-Tokentally-Cost", json::plain_decimal(*cost, COST_DIGITS));
        if (!services.spend) return;
        if (auto left = budget::remaining(*services.spend, tag, key, config))
            http::set_header(headers, "X-Tokentally-Budget-Remaining", json::plain_decimal(*left, REMAINING_DIGITS));
    } catch (const std::exception&) {}
}

}  // namespace tokentally::proxy
