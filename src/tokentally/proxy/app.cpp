#include "tokentally/proxy/proxy.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/features.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/caches/cache.hpp"
#include "tokentally/guards/router.hpp"
#include "tokentally/proxy/forward.hpp"
#include "tokentally/proxy/local.hpp"
#include "tokentally/proxy/relay.hpp"
#include "tokentally/proxy/stages.hpp"
#include "tokentally/proxy/upstream.hpp"
#include "tokentally/views/dashboard.hpp"
#include "tokentally/views/metrics.hpp"

namespace tokentally::proxy {

namespace asio = boost::asio;
namespace bj = boost::json;

namespace {

// Threads for the store's slow work that calls wait on: enough that one
// slow disk or database round trip does not hold the others up.
constexpr std::size_t STORAGE_THREADS = 2;

asio::awaitable<http::Response> _health(http::Request&) {
    co_return http::json_response(200, bj::object{{"status", "ok"}, {"version", VERSION}});
}

// A caller without a listed key gets 401. A caller with one loses the key
// from its request, so that it reaches no handler, no provider and no log;
// the key's name goes with the request (for the key's budgets and limits,
// and its row) and tags a call that names no tag.
std::optional<http::Response> _key_refusal(http::Request& req, const Services& services) {
    const std::string* presented = req.header(access::KEY_HEADER);
    std::optional<std::string> name = presented ? access::key_name(*services.access, *presented) : std::nullopt;
    if (!name) {
        std::string what = presented ? "Unknown X-Tokentally-Key" : "Missing header: X-Tokentally-Key";
        if (logging::once_a_minute(services.refusals, what))
            proxy_log()->warn("Refused calls: {} (logged once a minute)", what);
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
http::Router _with_key(http::Router router, const std::shared_ptr<const Services>& services) {
    if (services->access->keys.empty()) return router;
    for (auto& route : router.routes)
        route.head_check = [services](http::Request& req) { return _key_refusal(req, *services); };
    return router;
}

// The catch-all's check of a head: the caller's key, then the target, which
// a server with allowed targets checks before the body arrives.
std::optional<http::Response> _proxy_head_check(http::Request& req, const Services& services) {
    if (!services.access->keys.empty())
        if (auto refusal = _key_refusal(req, services)) return refusal;
    const std::string* target = req.header("X-Tokentally-Target");
    if (!services.access->targets || target == nullptr || target->empty()) return std::nullopt;
    upstream::Switches switches = upstream::configured();
    std::string url = target_url(req, *target, switches, native_call(req, switches));
    if (auto refusal = access::target_refusal(*services.access, url)) return target_refused(services, url, *refusal);
    return std::nullopt;
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

std::shared_ptr<Services> make_services(std::shared_ptr<store::Store> store,
                                        std::shared_ptr<const access::Access> policy,
                                        std::shared_ptr<limits::State> limits) {
    auto s = std::make_shared<Services>();
    s->store = store;
    // The spend of the budget and alert windows is kept in memory, told of
    // each commit before the alert step reads it; so are the tokens of the
    // rate limits' windows.
    s->spend = spend_state::make(store);
    s->limits = limits ? std::move(limits) : limits::make(store);
    auto limits_step = [limits = s->limits](store::Store&, std::span<const ledger::Committed> batch) {
        limits::committed(*limits, batch);
    };
    s->ledger = ledger::make_writer(
        store, {spend_state::listener(s->spend), ledger::alert_step(s->spend), metrics::listener(), limits_step});
    s->access = policy;
    s->address_check = access::address_check(policy);
    s->files = catalog::sources;
    s->monotonic = relay::monotonic;
    s->storage = std::make_shared<asio::thread_pool>(STORAGE_THREADS);
    return s;
}

std::shared_ptr<const access::Access> load_access(bool loopback) {
    return std::make_shared<const access::Access>(access::load(loopback, local::_ollama_base));
}

http::Router make_app(std::shared_ptr<store::Store> store) { return make_app(std::move(store), load_access(true)); }

http::Router make_app(std::shared_ptr<store::Store> store, std::shared_ptr<const access::Access> policy) {
    return make_app(make_services(std::move(store), std::move(policy)));
}

http::Router make_app(std::shared_ptr<const Services> services) {
    http::Router app;
    http::include_router(app,
                         dashboard::router(services->store, std::string(VERSION), services->spend, services->limits));
    http::include_router(app, _with_key(local::router(services->ledger), services));
    app.startup.push_back([services] { services->bindings.init_cache_tables(*services->store); });
    http::add_route(app, {"GET"}, "/health", _health);
    http::add_route(app, {"GET", "POST", "PUT", "DELETE", "PATCH"}, std::string(http::CATCH_ALL),
                    [services](http::Request& req) { return run_stages(services, req); });
    app.routes.back().head_check = [services](http::Request& req) { return _proxy_head_check(req, *services); };
    return app;
}

}  // namespace tokentally::proxy
