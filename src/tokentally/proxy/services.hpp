// What every stage of the proxy works with, made once by make_app and handed
// to each call: the store and the ledger's writer, the spend kept in memory,
// who may call and where calls may go, the configuration and the prices as
// they are read, the outside modules, the clocks, and the threads that do
// the store's slow work off the event loop. Tests put their doubles here.
#pragma once

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/guards/spend_state.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/access.hpp"
#include "tokentally/store/store.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace tokentally::proxy {

namespace bj = boost::json;

inline constexpr std::chrono::seconds UPSTREAM_TIMEOUT{120};

// The logger of every line the proxy writes about a call.
inline std::shared_ptr<spdlog::logger> proxy_log() {
    static auto logger = logging::get("tokentally.proxy");
    return logger;
}

// An operation the pipeline awaits: bound to a coroutine (the semantic
// cache, which waits on its embedding server) or to a plain function, which
// then runs to completion when awaited (a test's stand-in).
template <class Signature>
struct AwaitableOp;

template <class R, class... Args>
struct AwaitableOp<R(Args...)> {
    using Result = boost::asio::awaitable<R>;
    std::function<Result(Args...)> call;

    AwaitableOp() = default;
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, AwaitableOp> && std::is_invocable_v<F&, Args...>) AwaitableOp(F f)
        : call(_wrap(std::move(f))) {}

    Result operator()(Args... args) const { return call(args...); }

private:
    template <class F>
    static std::function<Result(Args...)> _wrap(F f) {
        if constexpr (std::is_same_v<std::invoke_result_t<F&, Args...>, Result>)
            return f;
        else
            return [held = std::make_shared<F>(std::move(f))](Args... args) { return _run(held, args...); };
    }
    template <class F>
    static Result _run(std::shared_ptr<F> f, Args... args) {
        if constexpr (std::is_void_v<R>) {
            (*f)(args...);
            co_return;
        } else {
            co_return (*f)(args...);
        }
    }
};

// The outside modules the pipeline calls: the router, the feature flags and
// the semantic cache. The real modules unless a test put stand-ins here.
struct Bindings {
    std::function<bj::object(const std::string& model_id, const bj::object& body, const std::string& tag)>
        check_routing;
    std::function<bj::object(const bj::object& body, const std::string& model_id)> apply_routing;
    std::function<bool(std::string_view name)> features_check;
    AwaitableOp<std::optional<bj::object>(store::Store& store, const bj::object& body, const std::string& model_id)>
        semantic_lookup;
    AwaitableOp<void(store::Store& store, const bj::object& body, const std::string& model_id,
                     const bj::value& response, double cost_usd)>
        semantic_store;
    std::function<void(store::Store& store)> init_cache_tables;
};

// The real modules.
Bindings default_bindings();

struct Services {
    std::shared_ptr<store::Store> store;
    std::shared_ptr<ledger::Writer> ledger;
    std::shared_ptr<spend_state::State> spend;
    std::shared_ptr<limits::State> limits;  // the rate limits' windows

    // Who may call and where calls may go (read when the server starts), the
    // check of the addresses upstream connections are made to, and the
    // refusals logged so far (once a minute each).
    std::shared_ptr<const access::Access> access;
    http::AddressCheck address_check;
    mutable logging::OnceAMinute refusals;

    Bindings bindings = default_bindings();
    // The configuration and the imported prices as they stand: read once by
    // each call.
    std::function<catalog::Sources()> files;
    // Seconds on a monotonic clock: how long calls take.
    std::function<double()> monotonic;
    // The wait for each provider exchange.
    std::chrono::seconds upstream_timeout = UPSTREAM_TIMEOUT;

    // Threads for the store's work that a call waits on but that must not
    // hold up its event loop (the exact cache, a cache hit's row, a shared
    // ledger's change check).
    std::shared_ptr<boost::asio::thread_pool> storage;
};

// The services over `store` for a server whose exposure `policy` describes:
// the spend kept in memory and the ledger's writer with its listeners (the
// spend, the alert step, the metrics, the rate limits), and the real
// modules; the rate limits' state is made unless given (a test's, on a
// clock of its own).
std::shared_ptr<Services> make_services(std::shared_ptr<store::Store> store,
                                        std::shared_ptr<const access::Access> policy,
                                        std::shared_ptr<limits::State> limits = nullptr);

// The access settings of a server bound to loopback or not. Throws, naming
// the setting, for one the server must not start with.
std::shared_ptr<const access::Access> load_access(bool loopback);

}  // namespace tokentally::proxy
