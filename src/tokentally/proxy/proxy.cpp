#include "tokentally/proxy/proxy.hpp"

#include "tokentally/guards/budget.hpp"
#include "tokentally/caches/cache.hpp"
#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/views/dashboard.hpp"
#include "tokentally/views/metrics.hpp"
#include "tokentally/base/features.hpp"
#include "tokentally/proxy/gemini.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/proxy/local.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/guards/router.hpp"
#include "tokentally/proxy/upstream.hpp"
#include "tokentally/accounting/usage.hpp"

#include <fmt/format.h>

#include <array>
#include <random>
#include <span>

namespace tokentally::proxy {

namespace asio = boost::asio;

std::function<bj::object(std::string_view)> get_model_price = catalog::get_model_price;
std::chrono::seconds upstream_timeout = UPSTREAM_TIMEOUT;

namespace {

// Provider headers that reach the client; every other one stays behind.
const std::vector<std::string_view> PASSTHROUGH = {
    "content-type", "x-request-id", "x-ratelimit-limit-requests", "x-ratelimit-remaining-requests", "retry-after",
};

auto _log() {
    static auto logger = logging::get("tokentally.proxy");
    return logger;
}

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

// Gemini's native paths are recognised only with gemini_native on.
std::optional<gemini::NativeCall> _native_call(const http::Request& req, const upstream::Switches& switches) {
    if (!switches.gemini_native) return std::nullopt;
    return gemini::native_call(req.path_param, req.query);
}

// A native call asks for a stream with its path, whatever its body says.
bool _is_streaming(const std::optional<bj::object>& body_json, const std::optional<gemini::NativeCall>& native) {
    if (native) return gemini::streams(*native);
    return body_json && !body_json->empty() && json::truthy(body_json->if_contains("stream"));
}

struct _Routing {
    std::optional<std::string> model_id;
    std::optional<bj::object> body_json;  // the body as routing changed it; absent while unchanged
    std::string body_bytes;
    http::Headers extra_headers;
    std::optional<std::string> requested_model = std::nullopt;  // set when the model was swapped
};

// Asks the router whether to warn about or swap the model. Any failure is
// logged and leaves the values as they were when it happened.
void _apply_routing_stage(_Routing& r, const bj::object& body, const std::string& tag,
                          const std::string& session_id) {
    try {
        auto& b = bindings();
        bj::object routing = b.check_routing(*r.model_id, body, tag);
        const bj::value& action = routing.at("action");
        if (action == "warn") {
            _log()->warn("{} ⚠ ROUTING WARN  {}", relay::log_prefix(tag, session_id),
                         relay::log_text(json::display(routing.at("reason"))));
            const bj::value* suggested = routing.if_contains("suggested");
            http::set_header(r.extra_headers, "X-Tokentally-Suggest",
                             json::truthy(suggested) ? json::display(suggested) : "");
        } else if (action == "swap") {
            std::string routed = json::display(routing.at("suggested"));
            r.body_json = b.apply_routing(body, routed);
            r.body_bytes = json::write(*r.body_json);
            http::set_header(r.extra_headers, "X-Tokentally-Routed", routed);
            _log()->warn("{} 🔀 ROUTED  {} → {}  saves {}%", relay::log_prefix(tag, session_id),
                         relay::log_text(r.model_id), relay::log_text(routed), json::display(routing.at("savings_pct")));
            r.requested_model = r.model_id;
            r.model_id = routed;
        }
    } catch (const std::exception& e) {
        _log()->warn("Routing check failed: {}", e.what());
    }
}

// A native Gemini call names its model in the path: a swap puts the new
// model there, and the body goes upstream as the client sent it (the API
// takes no model member beside the path's).
std::string _swapped_native_url(_Routing& r, const http::Request& req, const std::string& target,
                                std::string_view query) {
    r.body_json = json::parse_object(req.body);
    r.body_bytes = req.body;
    std::string model = catalog::provider_model_id(*r.model_id);
    return upstream::url(target, gemini::with_model(req.path_param, model), query);
}

void _log_pricing(const std::optional<bj::object>& pricing, const std::optional<std::string>& model_id,
                  const std::string& tag, const std::string& session_id) {
    const bj::value* input = pricing ? pricing->if_contains("input") : nullptr;
    bool priced = pricing && !pricing->empty() && input != nullptr && input->is_number() &&
                  json::as_number(*input, "input price") > 0;
    if (priced)
        _log()->info("{} -> {}  input=${}/M  output=${}/M", relay::log_prefix(tag, session_id),
                     relay::log_text(model_id),
                     json::display(input), json::display(pricing->if_contains("output")));
    else
        _log()->info("{} -> {}  (no pricing data)", relay::log_prefix(tag, session_id),
                     model_id ? relay::log_text(*model_id) : "unknown");
}

http::Response _cached_answer(const bj::object& hit, std::string_view kind, const http::Headers& extra) {
    http::Headers headers{{"X-Tokentally-Cache", std::string(kind)}};
    for (const auto& h : extra) http::set_header(headers, h.first, h.second);
    return http::json_response(200, hit, headers);
}

// Who a call is for: its tag, its session and the client key it came with.
struct _Caller {
    const std::string& tag;
    const std::string& session_id;
    const std::optional<std::string>& key;
};

// A cached answer of Gemini's native API carries its counts in usageMetadata.
void _record_cache_hit(ledger::Writer& ledger, const bj::object& hit, const _Routing& routed, const _Caller& caller,
                       bool native = false) {
    ledger::CallRecord rec;
    rec.model_id = routed.model_id;
    rec.requested_model = routed.requested_model;
    rec.tag = caller.tag;
    rec.session_id = caller.session_id;
    rec.key = caller.key;
    usage::Usage figures = native ? usage::from_gemini(hit) : usage::Usage{};
    rec.prompt_tokens = native ? usage::prompt_tokens(figures) : _usage(hit, "prompt");
    rec.completion_tokens = native ? usage::completion_tokens(figures) : _usage(hit, "completion");
    rec.cost_usd = 0.0;
    rec.elapsed_s = 0.0;
    rec.status = 200;
    ledger::record_call(ledger, rec);
}

// The budget block of the pipeline, over the spend kept in memory; guarded
// as _check_budget_block is.
budget::Admission _budget_stage(const std::shared_ptr<spend_state::State>& spend, const _Caller& caller,
                                const bj::object& body, const std::optional<bj::object>& pricing) {
    try {
        return budget::admit(spend, caller.tag, caller.key, body, pricing);
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->warn("Budget check error: {}", e.what());
    }
    return {};
}

http::Response _budget_refused(const budget::Admission& a, const std::optional<std::string>& model_id,
                               const _Caller& caller) {
    _log()->warn("{} ✗ BLOCKED  {}  {}", relay::log_prefix(caller.tag, caller.session_id), relay::log_text(model_id),
                 relay::log_text(*a.refusal));
    metrics::count_refusal(model_id, caller.tag);
    bj::object error{{"type", "budget_exceeded"}, {"message", *a.refusal}, {"tag", caller.tag}};
    if (a.key) error["key"] = *a.key;
    return http::json_response(429, bj::object{{"error", std::move(error)}});
}

// The rate limits of the pipeline, checked ahead of the budgets so that a
// looping agent learns it is looping. Guarded like the budget block: a
// setting that cannot be read lets the call through and says why.
limits::Admission _limits_stage(const std::shared_ptr<limits::State>& limits, const _Caller& caller) {
    try {
        return limits::admit(limits, caller.tag, caller.key);
    } catch (const std::exception& e) {
        _log()->warn("Rate limit check error: {}", e.what());
    }
    return {};
}

http::Response _rate_limited(const limits::Refusal& r, const std::optional<std::string>& model_id,
                             const _Caller& caller) {
    _log()->warn("{} ✗ RATE LIMITED  {}  {}", relay::log_prefix(caller.tag, caller.session_id),
                 relay::log_text(model_id), relay::log_text(r.message));
    metrics::count_rate_limited(model_id, caller.tag, r.scope, r.limit);
    bj::object error{{"type", "rate_limited"}, {"message", r.message}, {"tag", caller.tag}, {"limit", r.limit}};
    if (r.key) error["key"] = *r.key;
    return http::json_response(429, bj::object{{"error", std::move(error)}},
                               {{"Retry-After", std::to_string(r.retry_after)}});
}

// Semantic lookup, guarded as a whole: a failure is logged and the request
// goes on to be forwarded. The lookup may wait on its embedding server; the
// loop serves other connections meanwhile.
asio::awaitable<std::optional<http::Response>> _semantic_stage(ledger::Writer& ledger, const bj::object& effective_body,
                                                               const _Routing& routed, _Caller caller) {
    const std::string& tag = caller.tag;
    const std::string& session_id = caller.session_id;
    const std::string& model_id = *routed.model_id;
    try {
        auto& b = bindings();
        if (!b.features_check("semantic_cache")) co_return std::nullopt;
        auto sem_hit = co_await b.semantic_lookup(ledger::store_of(ledger), effective_body, model_id);
        if (!sem_hit || sem_hit->empty()) co_return std::nullopt;
        _log()->info("{} 🧠 SEMANTIC HIT  {}  $0.000000", relay::log_prefix(tag, session_id),
                     relay::log_text(model_id));
        _record_cache_hit(ledger, *sem_hit, routed, caller);
        metrics::count_cache_hit("semantic");
        co_return _cached_answer(*sem_hit, "semantic-hit", routed.extra_headers);
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->warn("Semantic cache lookup failed: {}", e.what());
    }
    co_return std::nullopt;
}

// The [accounting] switches for one call. A configuration that cannot be
// read leaves them off (the budget check reports the broken file); a value
// they do not know is reported and leaves them off too.
usage::Accounting _accounting() {
    try {
        return usage::configured();
    } catch (const std::exception& e) {
        _log()->warn("Accounting settings ignored: {}", e.what());
        return {};
    }
}

asio::awaitable<http::Response> _health(http::Request&) {
    co_return http::json_response(200, bj::object{{"status", "ok"}, {"version", VERSION}});
}

// The access settings of one application, the address check of its
// upstream clients and the refusals it has logged.
struct _Guard {
    // Spelled out: clang (the fuzz build) cannot make_shared an aggregate.
    _Guard(std::shared_ptr<const access::Access> a, http::AddressCheck c) : access(std::move(a)), check(std::move(c)) {}
    std::shared_ptr<const access::Access> access;
    http::AddressCheck check;
    mutable access::RefusalLog refusals;
};

// 403 for a target the proxy may not reach, logged once per target and minute.
http::Response _target_refused(const _Guard& guard, const std::string& url, const std::string& reason) {
    std::string name = access::target_name(url);
    if (access::once_a_minute(guard.refusals, name)) _log()->warn("Target not allowed: {} ({})", name, reason);
    return http::json_response(403, bj::object{{"detail", "Target not allowed: " + name}});
}

// A caller without a listed key gets 401. A caller with one loses the key
// from its request, so that it reaches no handler, no provider and no log;
// the key's name goes with the request (for the key's budgets and limits,
// and its row) and tags a call that names no tag.
std::optional<http::Response> _key_refusal(http::Request& req, const _Guard& guard) {
    const std::string* presented = req.header(access::KEY_HEADER);
    std::optional<std::string> name = presented ? access::key_name(*guard.access, *presented) : std::nullopt;
    if (!name) {
        std::string what = presented ? "Unknown X-Tokentally-Key" : "Missing header: X-Tokentally-Key";
        if (access::once_a_minute(guard.refusals, what)) _log()->warn("Refused calls: {} (logged once a minute)", what);
        return http::json_response(401, bj::object{{"detail", what}});
    }
    req.headers = http::filter_headers(req.headers, {"x-tokentally-key"}, {});
    if (req.header("X-Tokentally-Tag") == nullptr) req.headers.emplace_back("X-Tokentally-Tag", *name);
    req.client_key = std::move(name);
    return std::nullopt;
}

// The routes of `router` behind the key check when client keys are set. It
// runs on the request's head, so that a caller without a key is refused
// before its body is read (or held in memory).
http::Router _with_key(http::Router router, const std::shared_ptr<const _Guard>& guard) {
    if (guard->access->keys.empty()) return router;
    for (auto& route : router.routes)
        route.head_check = [guard](http::Request& req) { return _key_refusal(req, *guard); };
    return router;
}

// The upstream URL a request names: its target, its path and the query
// that travels with it.
std::string _target_url(const http::Request& req, const std::string& target, const upstream::Switches& switches,
                        const std::optional<gemini::NativeCall>& native) {
    return upstream::url(target, req.path_param, _kept_query(req, switches, native));
}

// The catch-all's check of a head: the caller's key, then the target, which
// a server with allowed targets checks before the body arrives.
std::optional<http::Response> _proxy_head_check(http::Request& req, const _Guard& guard) {
    if (!guard.access->keys.empty())
        if (auto refusal = _key_refusal(req, guard)) return refusal;
    const std::string* target = req.header("X-Tokentally-Target");
    if (!guard.access->targets || target == nullptr || target->empty()) return std::nullopt;
    upstream::Switches switches = upstream::configured();
    std::string url = _target_url(req, *target, switches, _native_call(req, switches));
    if (auto refusal = access::target_refusal(*guard.access, url)) return _target_refused(guard, url, *refusal);
    return std::nullopt;
}

// On a network server a target's addresses are checked where its connection
// is made (a kept connection was checked when it was made); a refusal there
// answers 403 like the target list's. A streamed answer starts with 200
// before it connects, so its addresses are checked first.
asio::awaitable<http::Response> _forward(ForwardCall call, bool streaming, const _Guard& guard) {
    const std::string url = call.url;
    std::optional<std::string> refused;
    try {
        if (!streaming) co_return co_await _handle_standard(std::move(call));
        if (call.client->checks_addresses()) co_await call.client->resolve(url);
    } catch (const access::TargetRefused& e) {
        refused = e.what();
    }
    if (refused) co_return _target_refused(guard, url, *refused);
    co_return co_await _handle_streaming(std::move(call));
}

// What the pipeline keeps between calls: the spend of the budget windows
// and the rate limits' windows.
struct _Shared {
    std::shared_ptr<spend_state::State> spend;
    std::shared_ptr<limits::State> limits;
};

asio::awaitable<http::Response> _proxy(http::Request& req, const _Guard& guard,
                                       const std::shared_ptr<ledger::Writer>& ledger, const _Shared& shared) {
    const std::shared_ptr<spend_state::State>& spend = shared.spend;
    store::Store& store = ledger::store_of(*ledger);
    const double received = relay::monotonic();
    // Up to the first suspension, the stages below look at the configuration,
    // the imported prices and the ledger's file once between them.
    std::optional<paths::LookupsOnce> looked_up(std::in_place);
    // 1-5: control headers and the upstream URL.
    const std::string* target = req.header("X-Tokentally-Target");
    if (target == nullptr || target->empty())
        co_return http::json_response(400, bj::object{{"detail", "Missing header: X-Tokentally-Target"}});
    const std::string* tag_h = req.header("X-Tokentally-Tag");
    std::string tag = tag_h ? *tag_h : "default";
    std::string new_session = _generate_session_id();
    const std::string* session_h = req.header("X-Tokentally-Session");
    std::string session_id = session_h ? *session_h : new_session;
    const _Caller caller{tag, session_id, req.client_key};
    const std::string* cache_h = req.header("X-Tokentally-Cache");
    std::string cache_header = http::lower(cache_h ? *cache_h : "on");
    bool cache_on = cache_header != "off";
    bool semantic_on = cache_header != "off" && cache_header != "exact";
    upstream::Switches switches = upstream::configured();
    std::optional<gemini::NativeCall> native = _native_call(req, switches);
    std::string_view query = _kept_query(req, switches, native);
    std::string target_url = _target_url(req, *target, switches, native);

    // 6-9: the body and the values routing may change.
    std::optional<bj::object> body_json = json::parse_object(req.body);
    bool has_body = body_json && !body_json->empty();
    bool is_post = req.method == "POST";
    _Routing routed{_call_model(body_json, native), std::nullopt, req.body, {}};

    // 10: routing.
    if (is_post && has_body && routed.model_id) _apply_routing_stage(routed, *body_json, tag, session_id);
    if (native && routed.requested_model) target_url = _swapped_native_url(routed, req, *target, query);
    const std::optional<std::string>& model_id = routed.model_id;

    // 11: pricing.
    std::optional<bj::object> pricing;
    if (model_id) pricing = get_model_price(catalog::priced_id(*model_id, target_url));
    _log_pricing(pricing, model_id, tag, session_id);

    // 12: rate limits, then the budget block. A call that passes the limits
    // is in flight until its row is written; in strict mode it also holds
    // its worst-case cost until then (or until it fails).
    limits::Admission limited;
    if (is_post) {
        limited = _limits_stage(shared.limits, caller);
        if (limited.refusal) co_return _rate_limited(*limited.refusal, model_id, caller);
    }
    budget::Admission admitted;
    if (is_post && has_body) {
        const bj::object& sent = routed.body_json && !routed.body_json->empty() ? *routed.body_json : *body_json;
        admitted = _budget_stage(spend, caller, sent, pricing);
        if (admitted.refusal) {
            if (limited.slot) limited.slot->cancel();  // refused calls do not count as requests
            co_return _budget_refused(admitted, model_id, caller);
        }
    }

    // 13-16: streaming flag, effective body, cache lookups.
    bool is_streaming = _is_streaming(body_json, native);
    // A body that is not a JSON object leaves both empty: nothing below
    // reads it then (the cache stages need a body, the standard handler gets
    // none), but it must not be dereferenced either.
    static const bj::object NO_BODY;
    std::optional<bj::object>& effective_json =
        routed.body_json && !routed.body_json->empty() ? routed.body_json : body_json;
    const bj::object& effective_body = effective_json ? *effective_json : NO_BODY;
    std::optional<std::string> cache_key;
    if (is_post && has_body && model_id && !is_streaming) {
        if (cache_on && (native || _exact_cacheable(effective_body))) {
            cache_key = native ? _native_cache_key(*model_id, *native, effective_body)
                               : _exact_cache_key(*model_id, effective_body, req.path);
            if (auto hit = _exact_cache_get(store, *cache_key); hit && !hit->empty()) {
                _log()->info("{} ⚡ EXACT HIT  {}  $0.000000", relay::log_prefix(tag, session_id),
                             relay::log_text(*model_id));
                _record_cache_hit(*ledger, *hit, routed, caller, native.has_value());
                metrics::count_cache_hit("exact");
                co_return _cached_answer(*hit, "exact-hit", routed.extra_headers);
            }
        }
        if (cache_on && semantic_on) {
            looked_up.reset();
            if (auto answer = co_await _semantic_stage(*ledger, effective_body, routed, caller))
                co_return std::move(*answer);
        }
    }

    // 17-22: forward.
    ForwardCall call;
    call.headers = relay::forward_headers(req.headers);
    call.t0 = relay::monotonic();
    call.received = received;
    call.ledger = ledger;
    call.client = std::make_shared<http::Client>(upstream_timeout, guard.check);
    call.method = req.method;
    call.url = target_url;
    call.body = std::move(routed.body_bytes);
    call.model_id = model_id;
    call.tag = tag;
    call.session_id = session_id;
    call.key = req.client_key;
    call.extra_headers = routed.extra_headers;
    call.requested_model = routed.requested_model;
    call.pricing = std::move(pricing);
    call.native = native;
    call.accounting = _accounting();
    call.hold = admitted.hold;
    call.slot = std::move(limited.slot);
    // A stream needs its body as JSON only to ask for usage in it.
    bool asks = !is_streaming || call.accounting.stream_usage == usage::StreamUsage::request;
    // The last use of the body here: the call takes it.
    call.body_json = has_body && asks ? std::move(effective_json) : std::nullopt;
    looked_up.reset();
    if (is_streaming) co_return co_await _forward(std::move(call), true, guard);
    call.cache_on = cache_on;
    call.semantic_on = semantic_on;
    call.cache_key = cache_key;
    co_return co_await _forward(std::move(call), false, guard);
}

// Tokens, cost and the answer object of a complete upstream answer; what
// cannot be read stays absent.
struct _Measured {
    std::optional<bj::value> resp_json;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost;
    usage::CacheTokens cache;
    std::optional<std::string> service_tier;  // when not the standard one
};

bool _priced(const std::optional<bj::object>& pricing) { return pricing && !pricing->empty(); }

// The call's prices: input and output from its pricing entry, and what else
// the catalog has for the model: its cache prices (read with cache pricing
// on), its long-context and its service-tier prices.
prices::Price _rates(const ForwardCall& call) {
    prices::Price p;
    try {
        if (call.model_id)
            if (auto found = catalog::find_price(catalog::priced_id(*call.model_id, call.url))) p = *found;
    } catch (const std::exception&) {
        // A configured price that is not a number: without cache pricing the
        // entry's input and output price the call as they always did.
        if (call.accounting.cache_pricing) throw;
    }
    p.input = json::as_number(call.pricing->at("input"), "input price");
    p.output = json::as_number(call.pricing->at("output"), "output price");
    return p;
}

std::string_view _url_path(const ForwardCall& call) {
    return std::string_view(call.url).substr(0, call.url.find('?'));
}

// An embeddings answer reports its prompt only: it has no output to bill.
bool _no_output(const ForwardCall& call) { return _url_path(call).ends_with("/embeddings"); }

// The figures of a complete answer that price it beyond the usage block's
// counts: Gemini's native usageMetadata, and with cache pricing the cached
// tokens of the other formats.
usage::Usage _answer_figures(const bj::value& answer, const ForwardCall& call) {
    if (call.native) return usage::from_gemini(answer);
    return call.accounting.cache_pricing ? usage::from_answer(answer) : usage::Usage{};
}

_Measured _measure(const std::string& body, const ForwardCall& call) {
    _Measured m;
    try {
        m.resp_json = bj::parse(body);
        bool cache_pricing = call.accounting.cache_pricing;
        usage::Usage figures = _answer_figures(*m.resp_json, call);
        m.prompt_tokens = call.native ? usage::prompt_tokens(figures) : _usage(*m.resp_json, "prompt");
        m.completion_tokens = call.native ? usage::completion_tokens(figures) : _usage(*m.resp_json, "completion");
        if (m.prompt_tokens && !m.completion_tokens && _no_output(call)) m.completion_tokens = 0;
        m.service_tier = usage::service_tier(*m.resp_json);
        if (cache_pricing) m.cache = usage::cache_tokens(figures);
        if (_priced(call.pricing) && m.prompt_tokens && m.completion_tokens) {
            usage::Billed billed = cache_pricing || call.native
                                       ? usage::billed(figures, cache_pricing)
                                       : usage::Billed{.input = static_cast<double>(*m.prompt_tokens),
                                                       .output = static_cast<double>(*m.completion_tokens)};
            m.cost = usage::cost(billed, _rates(call), prices::service_tier(m.service_tier.value_or("")));
        }
    } catch (const std::exception&) {
        // An answer that is not JSON or has no usable usage block is still
        // recorded, with what could be read.
    }
    return m;
}

void _set_cache_tokens(ledger::CallRecord& rec, const usage::CacheTokens& cache) {
    rec.cache_read_tokens = cache.read;
    rec.cache_write_tokens = cache.write;
    rec.cache_write_1h_tokens = cache.write_1h;
}

asio::awaitable<void> _semantic_store_stage(const ForwardCall& call, const bj::value& resp_json,
                                            std::optional<double> cost) {
    try {
        auto& b = bindings();
        double cost_usd = cost && *cost != 0.0 ? *cost : 0.0;
        if (b.features_check("semantic_cache"))
            co_await b.semantic_store(ledger::store_of(*call.ledger), *call.body_json, *call.model_id, resp_json,
                                      cost_usd);
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->warn("Semantic cache store failed: {}", e.what());
    }
}

}  // namespace

Bindings default_bindings() {
    Bindings b;
    b.check_routing = router::check_routing;
    b.apply_routing = router::apply_routing;
    b.features_check = features::check;
    b.semantic_lookup = cache::lookup;
    b.semantic_store = cache::store;
    b.init_cache_tables = cache::init_cache_tables;
    return b;
}

Bindings& bindings() {
    static Bindings b = default_bindings();
    return b;
}

http::Router make_app(std::shared_ptr<store::Store> store) { return make_app(std::move(store), load_access(true)); }

http::Router make_app(std::shared_ptr<store::Store> store, std::shared_ptr<const access::Access> policy) {
    auto limits = limits::make(store);
    return make_app(std::move(store), std::move(policy), std::move(limits));
}

namespace {

ledger::Listener _limits_step(std::shared_ptr<limits::State> limits) {
    return [limits](store::Store&, std::span<const ledger::Committed> batch) { limits::committed(*limits, batch); };
}

}  // namespace

http::Router make_app(std::shared_ptr<store::Store> store, std::shared_ptr<const access::Access> policy,
                      std::shared_ptr<limits::State> limits) {
    logging::set_level(spdlog::level::info);
    auto guard = std::make_shared<const _Guard>(policy, access::address_check(policy));
    // The spend of the budget and alert windows is kept in memory, told of
    // each commit before the alert step reads it; so are the tokens of the
    // rate limits' windows.
    _Shared shared{spend_state::make(store), std::move(limits)};
    auto ledger = ledger::make_writer(store, {ledger::spend_step(shared.spend), ledger::alert_step(shared.spend),
                                              metrics::listener(), _limits_step(shared.limits)});
    http::Handler proxy_route = [guard, ledger, shared](http::Request& req) {
        return _proxy(req, *guard, ledger, shared);
    };
    http::Router app;
    http::include_router(app, dashboard::router(store, std::string(VERSION), shared.spend, shared.limits));
    http::include_router(app, _with_key(local::router(ledger), guard));
    app.startup.push_back([store] { bindings().init_cache_tables(*store); });
    http::add_route(app, {"GET"}, "/health", _health);
    http::add_route(app, {"GET", "POST", "PUT", "DELETE", "PATCH"}, std::string(http::CATCH_ALL),
                    std::move(proxy_route));
    app.routes.back().head_check = [guard](http::Request& req) { return _proxy_head_check(req, *guard); };
    return app;
}

std::shared_ptr<const access::Access> load_access(bool loopback) {
    return std::make_shared<const access::Access>(access::load(loopback, local::_ollama_base));
}

std::string _generate_session_id() {
    // The first 8 hex digits of a version-4 UUID are all random bits.
    thread_local std::mt19937 rng{std::random_device{}()};
    return fmt::format("s-{:08x}", static_cast<std::uint32_t>(rng()));
}

std::optional<std::int64_t> _usage(const bj::value& resp_json, std::string_view kind) {
    const bj::object& obj = resp_json.as_object();
    static const bj::object EMPTY;
    const bj::value* usage_v = obj.if_contains("usage");
    const bj::object& usage = usage_v ? usage_v->as_object() : EMPTY;
    bool prompt = kind == "prompt";
    const bj::value* first = usage.if_contains(prompt ? "prompt_tokens" : "completion_tokens");
    const bj::value* chosen = json::truthy(first) ? first : usage.if_contains(prompt ? "input_tokens" : "output_tokens");
    if (chosen == nullptr || chosen->is_null()) return std::nullopt;
    if (chosen->is_int64()) return chosen->get_int64();
    // A count no 64-bit integer holds (2^64 - 1, 1e300, 1e400 read as
    // infinity) is taken as absent: converting it would wrap to a negative
    // count or be undefined, and the answer has already been delivered.
    if (chosen->is_uint64()) {
        if (chosen->get_uint64() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(chosen->get_uint64());
    }
    if (chosen->is_double()) {
        double d = chosen->get_double();
        if (!(d >= -0x1p63 && d < 0x1p63)) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    if (chosen->is_bool()) return chosen->get_bool() ? 1 : 0;
    throw std::runtime_error("token count is not a number: " + json::write(*chosen));
}

http::Headers _safe_response_headers(const http::Headers& headers) {
    http::Headers out;
    for (const auto& [k, v] : headers)
        if (std::find(PASSTHROUGH.begin(), PASSTHROUGH.end(), http::lower(k)) != PASSTHROUGH.end())
            out.emplace_back(k, v);
    return out;
}

namespace {

// Budgets and cache freshness both look back one rolling day.
constexpr double DAY_SECONDS = 86400.0;

// Request members beside the conversation that change what the answer is,
// and so take part in the exact-cache key.
constexpr std::string_view ANSWER_SHAPING_MEMBERS[] = {"system",        "tools",           "tool_choice",
                                                       "functions",     "function_call",   "response_format",
                                                       "output_format"};


}  // namespace

double _get_spend_24h(store::Store& store, const std::optional<std::string>& tag) {
    std::optional<std::string> only = tag && !tag->empty() ? tag : std::nullopt;
    const store::SpendWindow window[] = {{store::now() - DAY_SECONDS, only}};
    return store.calls().spend_since(window).front();
}

std::pair<bool, std::string> _check_budget_block(store::Store& store, const std::string& tag) {
    // A broken configuration or a locked ledger must not take the proxy
    // down with it: the call goes through and the reason is logged.
    try {
        if (auto refusal = budget::refusal(store, tag)) return {true, *refusal};
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->warn("Budget check error: {}", e.what());
    }
    return {false, ""};
}


namespace {

std::string _key_of(const bj::object& raw) {
    return json::sha256_hex(json::write(raw, json::WriteOptions{.sort_keys = true}));
}

}  // namespace

bool _exact_cacheable(const bj::object& body_json) {
    return body_json.contains("messages") || body_json.contains("prompt") || body_json.contains("input");
}

std::string _exact_cache_key(const std::string& model_id, const bj::object& body_json, std::string_view path) {
    // The model, the conversation and whatever else shapes the answer
    // identify a request: a system prompt beside the messages, the tools
    // offered, the output format asked for. Sampling settings (temperature,
    // max tokens, ...) only vary the wording and share the entry on purpose.
    const bj::value* messages = body_json.if_contains("messages");
    if (!json::truthy(messages)) messages = body_json.if_contains("prompt");
    bj::object raw{{"model", model_id}, {"messages", json::truthy(messages) ? *messages : bj::value("")}};
    // Without a conversation, what is asked is the input (the responses
    // API, embeddings) and where: two such calls differing only there must
    // not share an answer.
    if (!json::truthy(messages) && body_json.contains("input")) {
        raw["input"] = body_json.at("input");
        if (const bj::value* v = body_json.if_contains("instructions"); json::truthy(v)) raw["instructions"] = *v;
        raw["path"] = path;
    }
    // Only members that say something join, so a request without them keeps
    // the key that earlier versions stored its answer under.
    for (std::string_view name : ANSWER_SHAPING_MEMBERS)
        if (const bj::value* v = body_json.if_contains(name); json::truthy(v)) raw[name] = *v;
    return _key_of(raw);
}

std::string _native_cache_key(const std::string& model_id, const gemini::NativeCall& native,
                              const bj::object& body_json) {
    // The method takes part: countTokens and generateContent of one
    // conversation answer different things.
    bj::object raw = gemini::cache_identity(body_json);
    raw["model"] = model_id;
    raw["method"] = native.method;
    return _key_of(raw);
}

std::optional<bj::object> _exact_cache_get(store::Store& store, const std::string& key) {
    // Any failure (no table yet, a locked file, a damaged row) is a miss:
    // the request is then simply forwarded.
    try {
        std::optional<std::string> text = store.exact_cache().get(key, store::now() - DAY_SECONDS);
        return text ? json::parse_object(*text) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void _exact_cache_put(store::Store& store, const std::string& key, const bj::object& response_json) {
    // The answer is already on its way to the client; a failed store only
    // costs a future hit.
    try {
        store.exact_cache().put(key, json::write(response_json));
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->warn("Exact cache put failed: {}", e.what());
    }
}

// A strict budget's hold goes the moment the call's row (and so its cost
// in the spend) is committed, not when this call's loop next comes round:
// in between, other calls would see its cost twice, spent and held. The
// call stops counting as in flight at the same moment, before its answer
// leaves: a client that waits for it may send the next one at once.
std::function<void()> _gives_back_hold(const ForwardCall& call) {
    if (!call.hold && !call.slot) return {};
    return [hold = call.hold, slot = call.slot] {
        if (hold) hold->release();
        if (slot) slot->release();
    };
}

asio::awaitable<http::Response> _handle_standard(ForwardCall call) {
    // Named, not a temporary: GCC 12 destroys prvalue arguments of a
    // coroutine twice.
    const http::ClientRequest upstream_req{call.method, call.url, call.headers, call.body};
    http::ClientResponse upstream = co_await call.client->fetch(upstream_req);
    double elapsed = relay::elapsed(call);
    metrics::observe_upstream(elapsed);
    call.client->close();
    _Measured m = _measure(upstream.body, call);

    ledger::CallRecord rec = relay::make_record(call, elapsed, upstream.status, false);
    rec.prompt_tokens = m.prompt_tokens;
    rec.completion_tokens = m.completion_tokens;
    rec.cost_usd = m.cost;
    rec.requested_model = call.requested_model;
    rec.service_tier = m.service_tier;
    _set_cache_tokens(rec, m.cache);
    co_await relay::record(call, rec, _gives_back_hold(call));

    if (m.cost)
        _log()->info("{} ✓ {}  in={} out={}  cost=${:.6f}  {:.2f}s", relay::log_prefix(call.tag, call.session_id),
                     relay::log_text(call.model_id), *m.prompt_tokens, *m.completion_tokens, *m.cost, elapsed);

    bool ok = upstream.status < 300;
    bool has_json = m.resp_json && json::truthy(*m.resp_json);
    // Only objects are cached: an answer of another JSON type is served but not stored.
    if (call.cache_on && call.cache_key && !call.cache_key->empty() && ok && has_json && m.resp_json->is_object())
        _exact_cache_put(ledger::store_of(*call.ledger), *call.cache_key, m.resp_json->get_object());
    if (call.cache_on && call.semantic_on && ok && has_json && call.body_json && !call.body_json->empty() &&
        call.model_id)
        co_await _semantic_store_stage(call, *m.resp_json, m.cost);

    http::Headers headers = _safe_response_headers(upstream.headers);
    for (const auto& h : call.extra_headers) http::set_header(headers, h.first, h.second);
    http::Response resp;
    resp.status = upstream.status;
    resp.headers = std::move(headers);
    resp.body = json::write(has_json ? *m.resp_json : bj::value(bj::object{}));
    // The provider's content type passes through; without one the body is
    // labelled as the JSON it now is.
    if (http::find_header(resp.headers, "content-type") == nullptr)
        resp.headers.emplace_back("content-type", "application/json");
    metrics::observe_overhead(relay::monotonic() - call.received - elapsed);
    co_return resp;
}

namespace {

// A provider error this long is enough to tell whether it names the member
// the proxy added.
constexpr std::size_t REFUSAL_BYTES = 64 * 1024;

// One relayed stream: what its chunk source and the server's abandonment
// hook share. Both run on the connection's loop, one at a time.
struct _Relay {
    ForwardCall call;
    bool reads = false;            // stream_usage is on: the events are read as they pass
    usage::StreamReading reading;  // drop_usage_only: the proxy asked for usage itself
    std::string client_body;       // the client's own body, when usage was asked for in it (for a retry)
    std::string unread;            // the piece relayed last, read once it went out
    std::optional<std::string> first;  // read while deciding on a retry; relayed first
    bool opened = false;
    bool ended = false;            // the provider's body has ended
    bool recorded = false;
    bool first_seen = false;       // the first chunk went out (its time observed)
};

// With stream_usage "request": the body with stream_options.include_usage
// set, for a chat-completions stream that did not say either way (an
// explicit false is respected, other stream_options members are kept).
std::optional<std::string> _asking_for_usage(const ForwardCall& call) {
    // The path decides, whatever query keep_query kept (Azure's api-version).
    if (call.method != "POST" || !_url_path(call).ends_with("/chat/completions")) return std::nullopt;
    if (!call.body_json || !call.body_json->contains("messages")) return std::nullopt;
    bj::object body = *call.body_json;
    bj::value& options = body["stream_options"];
    if (options.is_null()) options = bj::object{};
    if (!options.is_object() || options.get_object().contains("include_usage")) return std::nullopt;
    options.get_object()["include_usage"] = true;
    return json::write(body);
}

// What the ledger gets for a stream: its figures as far as they were seen.
// A finished stream is priced as a standard answer is (both counts needed);
// an abandoned one as soon as any figure came, the others counting as 0.
ledger::CallRecord _stream_record(const _Relay& r, int status, double elapsed, bool abandoned) {
    const ForwardCall& c = r.call;
    ledger::CallRecord rec = relay::make_record(c, elapsed, status, true);
    rec.requested_model = c.requested_model;
    if (!r.reads) return rec;
    const usage::Usage& u = r.reading.usage;
    rec.prompt_tokens = usage::prompt_tokens(u);
    rec.completion_tokens = usage::completion_tokens(u);
    rec.service_tier = r.reading.service_tier;
    if (c.accounting.cache_pricing) _set_cache_tokens(rec, usage::cache_tokens(u));
    bool measurable = abandoned ? !u.empty() : rec.prompt_tokens && rec.completion_tokens;
    if (!_priced(c.pricing) || !measurable) return rec;
    try {
        rec.cost_usd = usage::cost(u, _rates(c), c.accounting.cache_pricing,
                                   prices::service_tier(rec.service_tier.value_or("")));
    } catch (const std::exception&) {
        // A price that is not a number leaves the call unpriced, as for a standard answer.
    }
    return rec;
}

void _log_stream(const _Relay& r, const ledger::CallRecord& rec, bool abandoned) {
    std::string what = abandoned ? "✗ " + relay::log_text(r.call.model_id) + " (streamed, client left)"
                                 : "✓ " + relay::log_text(r.call.model_id) + " (streamed)";
    std::string prefix = relay::log_prefix(r.call.tag, r.call.session_id);
    if (rec.cost_usd)
        _log()->info("{} {}  in={} out={}  cost=${:.6f}  {:.2f}s", prefix, what, relay::log_text(rec.prompt_tokens),
                     relay::log_text(rec.completion_tokens), *rec.cost_usd, rec.elapsed_s);
    else
        _log()->info("{} {}  {:.2f}s", prefix, what, rec.elapsed_s);
}

// The piece relayed last is read once it has gone out, so that reading
// never delays the client.
void _read_unread(_Relay& r) {
    if (r.unread.empty()) return;
    usage::read(r.reading, r.unread);
    r.unread.clear();
}

// What the client gets of a piece: the piece itself (a copy is kept to read
// later), or in drop mode whole events without the usage-only chunk.
std::string _pass(_Relay& r, std::string piece) {
    if (!std::exchange(r.first_seen, true)) metrics::observe_first_byte(relay::elapsed(r.call));
    if (!r.reads) return piece;
    if (r.reading.drop_usage_only) return usage::relay(r.reading, piece);
    r.unread.assign(piece);
    return piece;
}

asio::awaitable<std::string> _read_some(http::Client& client, std::size_t limit) {
    std::string out;
    while (out.size() < limit) {
        auto piece = co_await client.next_chunk();
        if (!piece) break;
        out += *piece;
    }
    co_return out;
}

// Opens the provider's stream. When the proxy added stream_options and the
// provider refuses the member (400 or 422 naming it), the call goes once more
// as the client sent it.
asio::awaitable<void> _open_upstream(_Relay& r) {
    auto& c = r.call;
    const http::ClientRequest upstream_req{c.method, c.url, c.headers, c.body};
    http::ClientResponse head = co_await c.client->open_stream(upstream_req);
    if (!r.reading.drop_usage_only || (head.status != 400 && head.status != 422)) co_return;
    std::string refusal = co_await _read_some(*c.client, REFUSAL_BYTES);
    if (refusal.find("stream_options") == std::string::npos) {
        r.first = std::move(refusal);
        co_return;
    }
    _log()->info("{} the provider refused stream_options ({}): sent again without it",
                 relay::log_prefix(c.tag, c.session_id), head.status);
    c.client->close();
    r.reading.drop_usage_only = false;
    const http::ClientRequest again{c.method, c.url, c.headers, r.client_body};
    co_await c.client->open_stream(again);
}

// The stream has ended: the call is recorded. The client has every piece
// but not yet the end of the stream: if the call cannot be recorded, it must
// not see a finished answer (a standard call answers 500 in the same case).
asio::awaitable<void> _record_stream(_Relay& r) {
    auto& c = r.call;
    r.recorded = true;
    c.client->close();
    ledger::CallRecord rec = _stream_record(r, 200, relay::elapsed(c), false);
    metrics::observe_upstream(rec.elapsed_s);
    co_await relay::record_stream_end(c, rec, *_log(), _gives_back_hold(c));
    _log_stream(r, rec, false);
}

asio::awaitable<std::optional<std::string>> _relay_next(std::shared_ptr<_Relay> r) {
    if (!r->opened) {
        r->opened = true;
        metrics::observe_overhead(r->call.t0 - r->call.received);
        co_await _open_upstream(*r);
    }
    if (r->first) co_return _pass(*r, *std::exchange(r->first, std::nullopt));
    if (r->reads) _read_unread(*r);
    if (!r->ended) {
        if (auto chunk = co_await r->call.client->next_chunk()) co_return _pass(*r, std::move(*chunk));
        r->ended = true;
        std::string rest = r->reads ? usage::finish(r->reading) : std::string();
        if (!rest.empty()) co_return rest;
    }
    co_await _record_stream(*r);
    co_return std::nullopt;
}

// The client left before the end. With stream usage on, the provider still
// bills what it produced: the call is recorded as 499 with the figures seen
// so far, through the ledger's writer (this runs inside the server, which
// cannot wait here).
void _record_abandoned(_Relay& r) {
    if (!r.reads || !r.opened || r.recorded) return;
    r.recorded = true;
    auto& c = r.call;
    try {
        _read_unread(r);
        usage::finish(r.reading);
        ledger::CallRecord rec = _stream_record(r, CLIENT_CLOSED_REQUEST, relay::elapsed(c), true);
        std::string prefix = relay::log_prefix(c.tag, c.session_id);
        ledger::record_call_queued(*c.ledger, rec, [prefix](std::exception_ptr failed) {
            if (failed) _log()->error("{} abandoned streamed call not recorded: {}", prefix, logging::describe(failed));
        });
        _log_stream(r, rec, true);
    } catch (const std::exception& e) {
        _log()->error("{} abandoned streamed call not recorded: {}", relay::log_prefix(c.tag, c.session_id), e.what());
    }
}

// How a stream carries its usage, and what the client is told it gets:
// Gemini's native stream without alt=sse is one JSON array, not events.
usage::StreamFormat _stream_format(const ForwardCall& call) {
    if (!call.native) return usage::StreamFormat::events;
    return call.native->sse ? usage::StreamFormat::gemini_events : usage::StreamFormat::gemini_array;
}

std::string _media_type(usage::StreamFormat format) {
    return format == usage::StreamFormat::gemini_array ? "application/json" : "text/event-stream";
}

}  // namespace

asio::awaitable<http::Response> _handle_streaming(ForwardCall call) {
    auto r = std::make_shared<_Relay>();
    r->reads = call.accounting.stream_usage != usage::StreamUsage::off;
    r->reading.format = _stream_format(call);
    if (call.accounting.stream_usage == usage::StreamUsage::request) {
        if (auto asking = _asking_for_usage(call)) {
            r->client_body = std::exchange(call.body, std::move(*asking));
            r->reading.drop_usage_only = true;
        }
    }
    r->call = std::move(call);
    // The source owns the upstream client: when the client goes away the
    // server drops the source and with it the upstream connection.
    http::Response resp = http::stream_response(_media_type(r->reading.format), [r] { return _relay_next(r); },
                                                r->call.extra_headers);
    resp.abandoned = [r] { _record_abandoned(*r); };
    co_return resp;
}

}  // namespace tokentally::proxy
