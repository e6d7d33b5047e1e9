// The proxy application: /health and the catch-all route whose pipeline
// routes, prices, guards, caches, forwards and records each call.
#pragma once

#include "tokentally/proxy/access.hpp"
#include "tokentally/proxy/gemini.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/proxy/relay.hpp"
#include "tokentally/guards/spend_state.hpp"
#include "tokentally/store/store.hpp"
#include "tokentally/accounting/usage.hpp"

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace tokentally::proxy {

namespace bj = boost::json;

inline constexpr std::string_view TITLE = "tokentally proxy";
inline constexpr std::string_view VERSION = "0.5.0";
inline constexpr std::chrono::seconds UPSTREAM_TIMEOUT{120};

// Status recorded for a streamed call whose client left before its end.
inline constexpr int CLIENT_CLOSED_REQUEST = 499;

// The wait for each provider exchange, read when a call starts. Stays at
// UPSTREAM_TIMEOUT unless set before serving (the fault tests shorten it so
// that a silent provider does not hold a test for two minutes).
extern std::chrono::seconds upstream_timeout;

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
        requires(!std::is_same_v<std::remove_cvref_t<F>, AwaitableOp> && std::is_invocable_v<F&, Args...>)
    AwaitableOp(F f) : call(_wrap(std::move(f))) {}

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

// Operations of the outside modules, looked up in this table at the moment
// of each use. The defaults are the real modules; a test replaces an entry
// and restores it with default_bindings().
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

Bindings& bindings();
Bindings default_bindings();

// The pricing lookup, bound when the module loads.
extern std::function<bj::object(std::string_view model_id)> get_model_price;

// The application over `store`: dashboard routes, the /ollama routes, the
// start-up hook, /health and the catch-all proxy route, in that order. Both
// relays record through one ledger writer. Served as on loopback, with the
// [proxy] settings of the configuration.
http::Router make_app(std::shared_ptr<store::Store> store);

// The same for a server whose exposure `policy` describes: with client keys,
// the /ollama and catch-all routes first check the caller's key; the
// catch-all refuses targets outside the allowed ones (403) before anything
// else, and on a network server its upstream connections are checked.
http::Router make_app(std::shared_ptr<store::Store> store, std::shared_ptr<const access::Access> policy);

// The same with the rate limits' state given (a test's, on a clock of its own).
http::Router make_app(std::shared_ptr<store::Store> store, std::shared_ptr<const access::Access> policy,
                      std::shared_ptr<limits::State> limits);

// The access settings of a server bound to loopback or not. Throws, naming
// the setting, for one the server must not start with.
std::shared_ptr<const access::Access> load_access(bool loopback);

// Everything the forwarding handlers need about one call, beyond who it is
// for and where it is recorded.
struct ForwardCall : relay::Call {
    std::shared_ptr<http::Client> client;
    std::string method;
    std::string url;
    http::Headers headers;
    std::string body;
    std::optional<bj::object> body_json;
    std::optional<bj::object> pricing;
    bool cache_on = true;
    bool semantic_on = true;
    std::optional<std::string> cache_key;
    http::Headers extra_headers;
    std::optional<std::string> requested_model;  // the client's model when routing swapped it
    std::optional<gemini::NativeCall> native;   // a call to Gemini's native API (gemini_native on)
    usage::Accounting accounting;  // [accounting] as it stood when the call came in
    // What the call holds of its budgets in strict mode, until its row is
    // written: released when the last copy of the call goes.
    std::shared_ptr<spend_state::Hold> hold;
    // Its place among the calls in flight of its rate limits, until its row
    // is written: released when the last copy of the call goes, at the latest.
    std::shared_ptr<limits::Slot> slot;
    double received = 0.0;         // relay::monotonic() when the request reached the proxy
};

// "s-" and 8 random hexadecimal digits.
std::string _generate_session_id();

// Token count of kind "prompt" or "completion" from the answer's usage
// block; a 0 under the first name falls through to the second. Throws for a
// non-object answer or a count that is not a number; a number too large for
// a 64-bit count is absent.
std::optional<std::int64_t> _usage(const bj::value& resp_json, std::string_view kind);

// Request headers to forward: all but Host and the x-tokentally* controls.
inline http::Headers _strip_tokentally_headers(const http::Headers& headers) {
    return relay::forward_headers(headers);
}

// Provider headers passed back to the client: the PASSTHROUGH set only.
http::Headers _safe_response_headers(const http::Headers& headers);

// Budget blocking: (blocked, refusal message). Never throws.
std::pair<bool, std::string> _check_budget_block(store::Store& store, const std::string& tag);

// Priced spend of the last 86400 seconds, of one tag when `tag` is given
// and not empty; 0.0 without a ledger (none is created). Throws on
// database errors.
double _get_spend_24h(store::Store& store, const std::optional<std::string>& tag = std::nullopt);

// Exact-match cache. A body with none of messages, prompt and input is not
// looked up or stored: nothing tells two such requests apart.
bool _exact_cacheable(const bj::object& body_json);
// A body without messages or prompt is keyed on its input, instructions and
// the request's `path` as well.
std::string _exact_cache_key(const std::string& model_id, const bj::object& body_json, std::string_view path = {});
// The key of a call to Gemini's native API: its model, its method and
// gemini::cache_identity of its body.
std::string _native_cache_key(const std::string& model_id, const gemini::NativeCall& native,
                              const bj::object& body_json);
std::optional<bj::object> _exact_cache_get(store::Store& store, const std::string& key);
void _exact_cache_put(store::Store& store, const std::string& key, const bj::object& response_json);

boost::asio::awaitable<http::Response> _handle_standard(ForwardCall call);
boost::asio::awaitable<http::Response> _handle_streaming(ForwardCall call);

}  // namespace tokentally::proxy
