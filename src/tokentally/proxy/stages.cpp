#include "tokentally/proxy/stages.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/off_loop.hpp"
#include "tokentally/proxy/access.hpp"
#include "tokentally/proxy/call.hpp"
#include "tokentally/proxy/exact_cache.hpp"
#include "tokentally/proxy/forward.hpp"
#include "tokentally/proxy/relay.hpp"
#include "tokentally/views/metrics.hpp"

#include <fmt/format.h>

#include <cassert>
#include <random>

namespace tokentally::proxy {

namespace asio = boost::asio;

namespace {

// The model named by a request body. A non-text "model" is kept as its JSON
// text so the call is still forwarded and recorded rather than failed.
std::optional<std::string> _body_model(const std::optional<bj::object>& body_json) {
    if (!body_json || body_json->empty()) return std::nullopt;
    const bj::value* m = body_json->if_contains("model");
    if (!json::truthy(m)) return std::nullopt;
    return m->is_string() ? std::string(m->get_string()) : json::write(*m);
}

// The model of a call: the one its body names, else, for Gemini's native
// API, the one its path names.
std::optional<std::string> _call_model(const std::optional<bj::object>& body_json,
                                       const std::optional<gemini::NativeCall>& native) {
    std::optional<std::string> model = _body_model(body_json);
    if (!model && native) model = gemini::model_id(*native);
    return model;
}

// The request's query travels upstream with keep_query on, and always on
// Gemini's native paths, where it chooses the stream's format (alt=sse) and
// may carry the key.
std::string_view _kept_query(const http::Request& req, const upstream::Switches& switches,
                             const std::optional<gemini::NativeCall>& native) {
    return switches.keep_query || native ? std::string_view(req.query) : std::string_view();
}

// [proxy]'s switches for the call; a configuration that cannot be read
// leaves them off (the budget check reports the broken file).
upstream::Switches _switches(const Context& ctx) {
    try {
        return ctx.files.config ? upstream::switches(*ctx.files.config) : upstream::Switches{};
    } catch (const std::exception&) {
        return {};
    }
}

// --- access: the control headers and the upstream URL --------------------------

StageResult _access(Context& ctx) {
    const http::Request& req = ctx.req;
    const std::string* target = req.header("X-Tokentally-Target");
    if (target == nullptr || target->empty())
        co_return http::json_response(400, bj::object{{"detail", "Missing header: X-Tokentally-Target"}});
    ctx.target = *target;
    const std::string* tag = req.header("X-Tokentally-Tag");
    ctx.tag = tag ? *tag : "default";
    std::string new_session = generate_session_id();
    const std::string* session = req.header("X-Tokentally-Session");
    ctx.session_id = session ? *session : new_session;
    const std::string* cache = req.header("X-Tokentally-Cache");
    std::string cache_header = http::lower(cache ? *cache : "on");
    ctx.cache_on = cache_header != "off";
    ctx.semantic_on = cache_header != "off" && cache_header != "exact";
    ctx.switches = _switches(ctx);
    ctx.native = native_call(req, ctx.switches);
    ctx.target_url = target_url(req, ctx.target, ctx.switches, ctx.native);
    co_return std::nullopt;
}

// --- route: the body, and the router's advice -----------------------------------

// Asks the router whether to warn about or swap the model. Any failure is
// logged and leaves the values as they were when it happened.
void _ask_router(Context& ctx) {
    try {
        const Bindings& b = ctx.services->bindings;
        const bj::object& body = *ctx.body_json;
        bj::object routing = b.check_routing(*ctx.model_id, body, ctx.tag);
        const bj::value& action = routing.at("action");
        if (action == "warn") {
            proxy_log()->warn("{} ⚠ ROUTING WARN  {}", ctx.log_prefix(),
                              relay::log_text(json::display(routing.at("reason"))));
            const bj::value* suggested = routing.if_contains("suggested");
            http::set_header(ctx.extra_headers, "X-Tokentally-Suggest",
                             json::truthy(suggested) ? json::display(suggested) : "");
        } else if (action == "swap") {
            std::string routed = json::display(routing.at("suggested"));
            ctx.routed_body = b.apply_routing(body, routed);
            ctx.body_bytes = json::write(*ctx.routed_body);
            http::set_header(ctx.extra_headers, "X-Tokentally-Routed", routed);
            proxy_log()->warn("{} 🔀 ROUTED  {} → {}  saves {}%", ctx.log_prefix(), relay::log_text(ctx.model_id),
                              relay::log_text(routed), json::display(routing.at("savings_pct")));
            ctx.requested_model = ctx.model_id;
            ctx.model_id = routed;
        }
    } catch (const std::exception& e) {
        proxy_log()->warn("Routing check failed: {}", e.what());
    }
}

// A native Gemini call names its model in the path: a swap puts the new
// model there, and the body goes upstream as the client sent it (the API
// takes no model member beside the path's).
void _swap_native_model(Context& ctx) {
    ctx.routed_body = json::parse_object(ctx.req.body);
    ctx.body_bytes = ctx.req.body;
    std::string model = catalog::provider_model_id(*ctx.model_id);
    ctx.target_url = upstream::url(ctx.target, gemini::with_model(ctx.req.path_param, model),
                                   _kept_query(ctx.req, ctx.switches, ctx.native));
}

StageResult _route(Context& ctx) {
    ctx.body_json = json::parse_object(ctx.req.body);
    ctx.has_body = ctx.body_json && !ctx.body_json->empty();
    ctx.model_id = _call_model(ctx.body_json, ctx.native);
    ctx.body_bytes = ctx.req.body;
    if (ctx.is_post() && ctx.has_body && ctx.model_id) _ask_router(ctx);
    if (ctx.native && ctx.requested_model) _swap_native_model(ctx);
    co_return std::nullopt;
}

// --- price --------------------------------------------------------------------

void _log_pricing(const Context& ctx) {
    const std::optional<bj::object>& pricing = ctx.pricing;
    const bj::value* input = pricing ? pricing->if_contains("input") : nullptr;
    bool is_priced = pricing && !pricing->empty() && input != nullptr && input->is_number() &&
                     json::as_number(*input, "input price") > 0;
    if (is_priced)
        proxy_log()->info("{} -> {}  input=${}/M  output=${}/M", ctx.log_prefix(), relay::log_text(ctx.model_id),
                          json::display(input), json::display(pricing->if_contains("output")));
    else
        proxy_log()->info("{} -> {}  (no pricing data)", ctx.log_prefix(),
                          ctx.model_id ? relay::log_text(*ctx.model_id) : "unknown");
}

StageResult _price(Context& ctx) {
    if (ctx.model_id) {
        ctx.priced_id = catalog::priced_id(*ctx.model_id, ctx.target_url, ctx.files);
        ctx.pricing = catalog::get_model_price(ctx.priced_id, ctx.files);
    }
    _log_pricing(ctx);
    co_return std::nullopt;
}

// --- limits and budget --------------------------------------------------------

// The rate limits, ahead of the budgets so that a looping agent learns it is
// looping. A call that passes is in flight until its row is written. A
// setting that cannot be read lets the call through, and says why.
StageResult _limits(Context& ctx) {
    if (!ctx.is_post()) co_return std::nullopt;
    try {
        ctx.limited = limits::admit(ctx.services->limits, ctx.tag, ctx.req.client_key, ctx.files.config);
    } catch (const std::exception& e) {
        proxy_log()->warn("Rate limit check error: {}", e.what());
    }
    if (!ctx.limited.refusal) co_return std::nullopt;
    const limits::Refusal& r = *ctx.limited.refusal;
    proxy_log()->warn("{} ✗ RATE LIMITED  {}  {}", ctx.log_prefix(), relay::log_text(ctx.model_id),
                      relay::log_text(r.message));
    metrics::count_rate_limited(ctx.model_id, ctx.tag, r.scope, r.limit);
    bj::object error{{"type", "rate_limited"}, {"message", r.message}, {"tag", ctx.tag}, {"limit", r.limit}};
    if (r.key) error["key"] = *r.key;
    co_return http::json_response(429, bj::object{{"error", std::move(error)}},
                                  {{"Retry-After", std::to_string(r.retry_after)}});
}

// A check that fails lets the call through, and says why.
budget::Admission _admit_here(const Context& ctx) {
    try {
        return budget::admit(ctx.services->spend, ctx.tag, ctx.req.client_key, ctx.effective_body(), ctx.pricing,
                             ctx.files.config);
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) proxy_log()->warn("Budget check error: {}", e.what());
    }
    return {};
}

// The spend is brought up to date first, which on a shared ledger is a
// round trip to its server: that one waits on the storage threads, so that
// the event loop serves other connections meanwhile.
asio::awaitable<budget::Admission> _admit(const Context& ctx) {
    if (!ctx.services->store->remote()) co_return _admit_here(ctx);
    auto admit = [&ctx] { return _admit_here(ctx); };  // named: see _exact_cache
    co_return co_await run_on(*ctx.services->storage, std::move(admit));
}

// The block over the spend kept in memory. In strict mode a call that passes
// holds its worst-case cost until its row is written (or it fails).
StageResult _budget(Context& ctx) {
    if (!ctx.is_post() || !ctx.has_body) co_return std::nullopt;
    ctx.admitted = co_await _admit(ctx);
    const budget::Admission& a = ctx.admitted;
    if (!a.refusal) co_return std::nullopt;
    if (ctx.limited.slot) ctx.limited.slot->cancel();  // refused calls do not count as requests
    proxy_log()->warn("{} ✗ BLOCKED  {}  {}", ctx.log_prefix(), relay::log_text(ctx.model_id),
                      relay::log_text(*a.refusal));
    metrics::count_refusal(ctx.model_id, ctx.tag);
    bj::object error{{"type", "budget_exceeded"}, {"message", *a.refusal}, {"tag", ctx.tag}};
    if (a.key) error["key"] = *a.key;
    co_return http::json_response(429, bj::object{{"error", std::move(error)}});
}

// --- caches -------------------------------------------------------------------

bool _may_be_cached(const Context& ctx) {
    return ctx.is_post() && ctx.has_body && ctx.model_id && !ctx.is_streaming() && ctx.cache_on;
}

http::Response _cached_answer(const bj::object& hit, std::string_view kind, const http::Headers& extra) {
    http::Headers headers{{"X-Tokentally-Cache", std::string(kind)}};
    for (const auto& h : extra) http::set_header(headers, h.first, h.second);
    return http::json_response(200, hit, headers);
}

// A hit is recorded at no cost; a cached answer of Gemini's native API
// carries its counts in usageMetadata.
ledger::CallRecord _hit_record(const Context& ctx, const bj::object& hit) {
    ledger::CallRecord rec;
    rec.model_id = ctx.model_id;
    rec.requested_model = ctx.requested_model;
    rec.tag = ctx.tag;
    rec.session_id = ctx.session_id;
    rec.key = ctx.req.client_key;
    usage::Usage figures = ctx.native ? usage::from_gemini(hit) : usage::Usage{};
    rec.prompt_tokens = ctx.native ? usage::prompt_tokens(figures) : usage::answer_tokens(hit, usage::Kind::prompt);
    rec.completion_tokens =
        ctx.native ? usage::completion_tokens(figures) : usage::answer_tokens(hit, usage::Kind::completion);
    rec.cost_usd = 0.0;
    rec.elapsed_s = 0.0;
    rec.status = 200;
    return rec;
}

asio::awaitable<http::Response> _serve_hit(Context& ctx, const bj::object& hit, std::string_view kind) {
    ledger::CallRecord rec = _hit_record(ctx, hit);
    // The exact entry's hit is counted in the row's commit: one write, not two.
    if (kind == "exact-hit") rec.exact_cache_hit = ctx.cache_key;
    co_await relay::record(*ctx.services->ledger, rec, ctx.req.in_flight);
    metrics::count_cache_hit(kind == "exact-hit" ? "exact" : "semantic");
    http::Response answer = _cached_answer(hit, kind, ctx.extra_headers);
    add_cost_headers(answer.headers, 0.0, *ctx.services, ctx.files.config, ctx.tag, ctx.req.client_key);
    co_return answer;
}

StageResult _exact_cache(Context& ctx) {
    if (!_may_be_cached(ctx) || !(ctx.native || exact_cacheable(ctx.effective_body()))) co_return std::nullopt;
    ctx.cache_key = ctx.native ? native_cache_key(*ctx.model_id, *ctx.native, ctx.effective_body())
                               : exact_cache_key(*ctx.model_id, ctx.effective_body(), ctx.req.path);
    const Services& s = *ctx.services;
    // Named, not a temporary inside co_await: GCC 12 destroys such temporaries twice.
    auto get = [store = s.store, key = *ctx.cache_key] { return exact_cache_get(*store, key, false); };
    // The only request in flight reads on the loop, as its row is written:
    // the loop has no one else to serve, and the hand-over to a storage
    // thread and back would cost more than the read (twice the latency of a
    // hit at one connection).
    // (An if, not ?: around co_await, which GCC 12 miscompiles.)
    std::optional<bj::object> hit;
    if (relay::requests_in_flight(ctx.req.in_flight) <= 1)
        hit = get();
    else
        hit = co_await run_on(*s.storage, std::move(get));
    if (!hit || hit->empty()) co_return std::nullopt;
    proxy_log()->info("{} ⚡ EXACT HIT  {}  $0.000000", ctx.log_prefix(), relay::log_text(*ctx.model_id));
    co_return co_await _serve_hit(ctx, *hit, "exact-hit");
}

// Guarded as a whole: a failure is logged and the request goes on to be
// forwarded. The lookup may wait on its embedding server; the loop serves
// other connections meanwhile.
StageResult _semantic_cache(Context& ctx) {
    if (!_may_be_cached(ctx) || !ctx.semantic_on) co_return std::nullopt;
    try {
        const Bindings& b = ctx.services->bindings;
        if (!b.features_check("semantic_cache")) co_return std::nullopt;
        auto hit = co_await b.semantic_lookup(*ctx.services->store, ctx.effective_body(), *ctx.model_id);
        if (!hit || hit->empty()) co_return std::nullopt;
        proxy_log()->info("{} 🧠 SEMANTIC HIT  {}  $0.000000", ctx.log_prefix(), relay::log_text(*ctx.model_id));
        co_return co_await _serve_hit(ctx, *hit, "semantic-hit");
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) proxy_log()->warn("Semantic cache lookup failed: {}", e.what());
    }
    co_return std::nullopt;
}

// --- forward ------------------------------------------------------------------

// The [accounting] switches for one call. A configuration that cannot be
// read leaves them off (the budget check reports the broken file); a value
// they do not know is reported and leaves them off too.
usage::Accounting _accounting(const Context& ctx) {
    if (!ctx.files.config) return {};
    try {
        return usage::accounting(*ctx.files.config);
    } catch (const std::exception& e) {
        proxy_log()->warn("Accounting settings ignored: {}", e.what());
        return {};
    }
}

StageResult _forward(Context& ctx) {
    const Services& s = *ctx.services;
    ForwardCall call;
    call.services = ctx.services;
    call.headers = relay::forward_headers(ctx.req.headers);
    call.t0 = s.monotonic();
    call.received = ctx.received;
    call.ledger = s.ledger;
    call.in_flight = ctx.req.in_flight;
    call.client = std::make_shared<http::Client>(s.upstream_timeout, s.address_check);
    call.method = ctx.req.method;
    call.url = ctx.target_url;
    call.body = std::move(ctx.body_bytes);
    call.model_id = ctx.model_id;
    call.tag = ctx.tag;
    call.session_id = ctx.session_id;
    call.key = ctx.req.client_key;
    call.extra_headers = ctx.extra_headers;
    call.requested_model = ctx.requested_model;
    call.priced_id = std::move(ctx.priced_id);
    call.pricing = std::move(ctx.pricing);
    call.native = ctx.native;
    call.accounting = _accounting(ctx);
    call.files = ctx.files;
    call.hold = ctx.admitted.hold;
    call.slot = std::move(ctx.limited.slot);
    bool streaming = ctx.is_streaming();
    // A stream needs its body as JSON only to ask for usage in it.
    bool asks = !streaming || call.accounting.stream_usage == usage::StreamUsage::request;
    // The last use of the body here: the call takes it.
    call.body_json = ctx.has_body && asks ? std::move(ctx.effective_json()) : std::nullopt;
    if (!streaming) {
        call.cache_on = ctx.cache_on;
        call.semantic_on = ctx.semantic_on;
        call.cache_key = ctx.cache_key;
    }
    co_return co_await forward(std::move(call), streaming);
}

}  // namespace

const Stage STAGES[8] = {
    {"access", _access},
    {"route", _route},
    {"price", _price},
    {"limits", _limits},
    {"budget", _budget},
    {"exact cache", _exact_cache},
    {"semantic cache", _semantic_cache},
    {"forward", _forward},
};

bool Context::is_streaming() const {
    if (native) return gemini::streams(*native);
    return has_body && json::truthy(body_json->if_contains("stream"));
}

std::optional<bj::object>& Context::effective_json() {
    return routed_body && !routed_body->empty() ? routed_body : body_json;
}

const bj::object& Context::effective_body() const {
    // A body that is not a JSON object leaves both empty: nothing reads it
    // then (the cache stages need a body, the standard handler gets none),
    // but it must not be dereferenced either.
    static const bj::object NO_BODY;
    const std::optional<bj::object>& chosen = routed_body && !routed_body->empty() ? routed_body : body_json;
    return chosen ? *chosen : NO_BODY;
}

std::string Context::log_prefix() const { return relay::log_prefix(tag, session_id); }

asio::awaitable<http::Response> run_stages(std::shared_ptr<const Services> services, http::Request& req) {
    Context ctx{.req = req, .services = std::move(services)};
    ctx.received = ctx.services->monotonic();
    // A configuration that cannot be read leaves files.config null: each
    // stage then behaves as without a file, and the budget check reports it.
    ctx.files = ctx.services->files();
    for (const Stage& stage : STAGES)
        if (std::optional<http::Response> answer = co_await stage.run(ctx)) co_return std::move(*answer);
    assert(false && "the forward stage always answers");
    co_return http::json_response(500, bj::object{});
}

std::string target_url(const http::Request& req, const std::string& target, const upstream::Switches& switches,
                       const std::optional<gemini::NativeCall>& native) {
    return upstream::url(target, req.path_param, _kept_query(req, switches, native));
}

std::optional<gemini::NativeCall> native_call(const http::Request& req, const upstream::Switches& switches) {
    if (!switches.gemini_native) return std::nullopt;
    return gemini::native_call(req.path_param, req.query);
}

std::string generate_session_id() {
    // The first 8 hex digits of a version-4 UUID are all random bits; one
    // generator per thread, so that calls on different loops never wait on
    // each other for one.
    thread_local std::mt19937 rng{std::random_device{}()};
    return fmt::format("s-{:08x}", static_cast<std::uint32_t>(rng()));
}

}  // namespace tokentally::proxy
