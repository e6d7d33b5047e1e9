#include "tokentally/proxy/forward.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/off_loop.hpp"
#include "tokentally/proxy/exact_cache.hpp"
#include "tokentally/views/metrics.hpp"

namespace tokentally::proxy {

namespace asio = boost::asio;

namespace {

// Tokens, cost and the answer object of a complete upstream answer; what
// cannot be read stays absent.
struct _measured {
    std::optional<bj::value> resp_json;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost;
    usage::CacheTokens cache;
    std::optional<std::string> service_tier;  // when not the standard one
};

// An embeddings answer reports its prompt only: it has no output to bill.
bool _no_output(const ForwardCall& call) { return url_path(call).ends_with("/embeddings"); }

// The figures of a complete answer that price it beyond the usage block's
// counts: Gemini's native usageMetadata, and with cache pricing the cached
// tokens of the other formats.
usage::Usage _answer_figures(const bj::value& answer, const ForwardCall& call) {
    if (call.native) return usage::from_gemini(answer);
    return call.accounting.cache_pricing ? usage::from_answer(answer) : usage::Usage{};
}

_measured _measure(const std::string& body, const ForwardCall& call) {
    _measured m;
    try {
        m.resp_json = bj::parse(body);
        bool cache_pricing = call.accounting.cache_pricing;
        usage::Usage figures = _answer_figures(*m.resp_json, call);
        m.prompt_tokens =
            call.native ? usage::prompt_tokens(figures) : usage::answer_tokens(*m.resp_json, usage::Kind::prompt);
        m.completion_tokens = call.native ? usage::completion_tokens(figures)
                                          : usage::answer_tokens(*m.resp_json, usage::Kind::completion);
        if (m.prompt_tokens && !m.completion_tokens && _no_output(call)) m.completion_tokens = 0;
        m.service_tier = usage::service_tier(*m.resp_json);
        if (cache_pricing) m.cache = usage::cache_tokens(figures);
        if (priced(call.pricing) && m.prompt_tokens && m.completion_tokens) {
            usage::Billed billed = cache_pricing || call.native
                                       ? usage::billed(figures, cache_pricing)
                                       : usage::Billed{.input = static_cast<double>(*m.prompt_tokens),
                                                       .output = static_cast<double>(*m.completion_tokens)};
            m.cost = usage::cost(billed, rates(call), prices::service_tier(m.service_tier.value_or("")));
        }
    } catch (const std::exception&) {
        // An answer that is not JSON or has no usable usage block is still
        // recorded, with what could be read.
    }
    return m;
}

asio::awaitable<void> _semantic_store_stage(const ForwardCall& call, const bj::value& resp_json,
                                            std::optional<double> cost) {
    try {
        const Bindings& b = call.services->bindings;
        double cost_usd = cost && *cost != 0.0 ? *cost : 0.0;
        if (b.features_check("semantic_cache"))
            co_await b.semantic_store(*call.services->store, *call.body_json, *call.model_id, resp_json, cost_usd);
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) proxy_log()->warn("Semantic cache store failed: {}", e.what());
    }
}

}  // namespace

asio::awaitable<http::Response> handle_standard(ForwardCall call) {
    // Named, not a temporary: GCC 12 destroys prvalue arguments of a
    // coroutine twice.
    const http::ClientRequest upstream_req{call.method, call.url, call.headers, call.body};
    http::ClientResponse upstream = co_await call.client->fetch(upstream_req);
    double elapsed = relay::elapsed(call);
    metrics::observe_upstream(elapsed);
    call.client->close();
    _measured m = _measure(upstream.body, call);

    ledger::CallRecord rec = relay::make_record(call, elapsed, upstream.status, false);
    rec.prompt_tokens = m.prompt_tokens;
    rec.completion_tokens = m.completion_tokens;
    rec.cost_usd = m.cost;
    rec.requested_model = call.requested_model;
    rec.service_tier = m.service_tier;
    set_cache_tokens(rec, m.cache);
    co_await relay::record(call, rec, gives_back_hold(call));

    if (m.cost)
        proxy_log()->info("{} ✓ {}  in={} out={}  cost=${:.6f}  {:.2f}s", relay::log_prefix(call.tag, call.session_id),
                          relay::log_text(call.model_id), *m.prompt_tokens, *m.completion_tokens, *m.cost, elapsed);

    bool ok = upstream.status < 300;
    bool has_json = m.resp_json && json::truthy(*m.resp_json);
    // Only objects are cached: an answer of another JSON type is served but not stored.
    if (call.cache_on && call.cache_key && !call.cache_key->empty() && ok && has_json && m.resp_json->is_object()) {
        // Named, not a temporary inside co_await: GCC 12 destroys such temporaries twice.
        auto put = [store = call.services->store, key = *call.cache_key, answer = m.resp_json->get_object()] {
            exact_cache_put(*store, key, answer);
        };
        co_await run_on(*call.services->storage, std::move(put));
    }
    if (call.cache_on && call.semantic_on && ok && has_json && call.body_json && !call.body_json->empty() &&
        call.model_id)
        co_await _semantic_store_stage(call, *m.resp_json, m.cost);

    http::Headers headers = safe_response_headers(upstream.headers);
    for (const auto& h : call.extra_headers) http::set_header(headers, h.first, h.second);
    add_cost_headers(headers, rec.cost_usd, *call.services, call.files.config, call.tag, call.key);
    http::Response resp;
    resp.status = upstream.status;
    resp.headers = std::move(headers);
    resp.body = json::write(has_json ? *m.resp_json : bj::value(bj::object{}));
    // The provider's content type passes through; without one the body is
    // labelled as the JSON it now is.
    if (http::find_header(resp.headers, "content-type") == nullptr)
        resp.headers.emplace_back("content-type", "application/json");
    metrics::observe_overhead(call.services->monotonic() - call.received - elapsed);
    co_return resp;
}

}  // namespace tokentally::proxy
