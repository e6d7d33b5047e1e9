// The proxy route as an ordered list of named stages: access, route, price,
// limits, budget, exact cache, semantic cache, forward. Each is a function of the
// call's context that either answers (refusing the call or serving it from a
// cache, and so ending the list) or leaves it to the next.
#pragma once

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/guards/budget.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/proxy/gemini.hpp"
#include "tokentally/proxy/services.hpp"
#include "tokentally/proxy/upstream.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tokentally::proxy {

// Everything the stages of one call share: what the request says, what the
// stages before found out, and the headers the answer will carry.
struct Context {
    http::Request& req;
    std::shared_ptr<const Services> services;
    // The configuration (null when it cannot be read) and the imported
    // prices as they stood when the call came in: every stage reads these, so
    // that a call sees one version of each file throughout, and looks at each
    // file once.
    catalog::Sources files;
    double received = 0.0;  // the monotonic clock when the request reached the proxy

    // access
    std::string target;  // X-Tokentally-Target
    std::string tag;
    std::string session_id;
    bool cache_on = true;
    bool semantic_on = true;
    upstream::Switches switches;
    std::optional<gemini::NativeCall> native;
    std::string target_url;

    // route: the body, and what routing may change
    std::optional<bj::object> body_json;
    bool has_body = false;
    std::optional<std::string> model_id;
    std::optional<bj::object> routed_body;       // the body as routing changed it; absent while unchanged
    std::string body_bytes;                      // what goes upstream
    http::Headers extra_headers;                 // X-Tokentally-Suggest, X-Tokentally-Routed
    std::optional<std::string> requested_model;  // set when the model was swapped

    // price, limits, budget, caches
    std::string priced_id;  // the id the model is priced by (catalog::priced_id)
    std::optional<bj::object> pricing;
    limits::Admission limited;
    budget::Admission admitted;
    std::optional<std::string> cache_key;

    bool is_post() const { return req.method == "POST"; }
    bool is_streaming() const;
    // The body the caches and the budget look at: routing's, else the client's.
    const bj::object& effective_body() const;
    std::optional<bj::object>& effective_json();
    // "[tag|session]" for the call's log lines.
    std::string log_prefix() const;
};

using StageResult = boost::asio::awaitable<std::optional<http::Response>>;

struct Stage {
    std::string_view name;
    StageResult (*run)(Context& ctx);
};

// The stages in the order a call goes through them; the last one answers.
extern const Stage STAGES[8];

// Runs the stages over a call, up to the first that answers.
boost::asio::awaitable<http::Response> run_stages(std::shared_ptr<const Services> services, http::Request& req);

// The upstream URL a request names: its target, its path and the query that
// travels with it (with keep_query on, and on Gemini's native paths).
std::string target_url(const http::Request& req, const std::string& target, const upstream::Switches& switches,
                       const std::optional<gemini::NativeCall>& native);

// Gemini's native paths are recognised only with gemini_native on.
std::optional<gemini::NativeCall> native_call(const http::Request& req, const upstream::Switches& switches);

// "s-" and 8 random hexadecimal digits.
std::string generate_session_id();

}  // namespace tokentally::proxy
