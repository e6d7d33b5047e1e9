// A small HTTP/1.1 server on Boost.Beast coroutines: routes tried in the
// order they were registered, routers included under a prefix, start-up
// hooks, JSON and chunked streamed answers, keep-alive and size limits.
#pragma once

#include "tokentally/http/message.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tokentally::http {

using Handler = std::function<boost::asio::awaitable<Response>(Request&)>;

// Runs once a request's head is read, before its body: an answer ends the
// request there (its body is never read, the connection is closed after
// it); none lets it go on. It may change the request's fields.
using HeadCheck = std::function<std::optional<Response>(Request&)>;

// The pattern that captures the whole remaining path, slashes included.
inline constexpr std::string_view CATCH_ALL = "/{path:path}";

struct Route {
    std::vector<std::string> methods;
    std::string pattern;  // an exact path, or a prefix followed by CATCH_ALL
    Handler handler;
    HeadCheck head_check;  // optional
};

struct Router {
    std::string prefix;  // prepended to the patterns of its routes
    std::vector<Route> routes;
    std::vector<std::function<void()>> startup;  // run once at server start
};

void add_route(Router& router, std::vector<std::string> methods, std::string pattern, Handler handler);

// Appends the routes (and start-up hooks) of `other` with its prefix applied.
void include_router(Router& router, const Router& other);

struct ServerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8082;  // 0 picks a free port
    int workers = 0;            // threads running the loop; 0 = one per core
    std::size_t body_limit = 64 * 1024 * 1024;
    std::size_t header_limit = 64 * 1024;
    std::size_t header_count_limit = 100;          // fields in one request head; beyond: 431
    std::chrono::seconds idle_timeout{120};        // waiting for the next request
    std::chrono::seconds write_timeout{120};       // a client that stops reading
    std::chrono::seconds drain_timeout{10};        // at shutdown
    int max_connections = 1024;                    // open client connections; beyond: 503
                                                   // (lowered at start to what the open-file limit allows)
    std::size_t bodies_limit = 256 * 1024 * 1024;  // request bodies held at once; beyond: 503 "Server busy"
    // A server bound to a loopback address answers only requests whose Host
    // names a loopback address, localhost, or one of these names (any port):
    // a web page whose name re-resolves to 127.0.0.1 gets 421.
    std::vector<std::string> allowed_hosts;
};

struct RunningServer;

// Runs the start-up hooks, binds and starts serving in background threads.
// Throws when a hook fails or the address cannot be bound.
std::shared_ptr<RunningServer> start(const Router& app, const ServerOptions& opts);

// The port actually bound (useful with port 0).
std::uint16_t port(const RunningServer& server);

// Requests the server is answering right now.
int requests_in_flight(const RunningServer& server);

// Stops accepting, lets requests in flight finish up to the drain timeout,
// then stops the threads. Safe to call twice.
void stop(RunningServer& server);

// Runs until SIGINT or SIGTERM, then stops as above.
void serve_until_signal(const Router& app, const ServerOptions& opts);

// What a failing handler answers: 500 with the plain body below.
inline constexpr std::string_view INTERNAL_ERROR_BODY = "Internal Server Error";

}  // namespace tokentally::http
