// The proxy application: /health and the catch-all route whose stages
// (stages.hpp) route, price, guard, cache, forward and record each call,
// beside the web dashboard's routes and the local Ollama relay.
#pragma once

#include "tokentally/http/server.hpp"
#include "tokentally/proxy/access.hpp"
#include "tokentally/proxy/services.hpp"
#include "tokentally/store/store.hpp"

#include <memory>
#include <string_view>

namespace tokentally::proxy {

inline constexpr std::string_view TITLE = "tokentally proxy";
inline constexpr std::string_view VERSION = "0.5.0";

// The application over `services`: dashboard routes, the /ollama routes, the
// start-up hook, /health and the catch-all proxy route, in that order. With
// client keys, the /ollama and catch-all routes check the caller's key on the
// request's head; the catch-all refuses targets outside the allowed ones
// (403) before anything else, and on a network server its upstream
// connections are checked.
http::Router make_app(std::shared_ptr<const Services> services);

// The same over `store`, served as on loopback with the [proxy] settings of
// the configuration, or with the exposure `policy` describes.
http::Router make_app(std::shared_ptr<store::Store> store);
http::Router make_app(std::shared_ptr<store::Store> store, std::shared_ptr<const access::Access> policy);

}  // namespace tokentally::proxy
