#include "tokentally/caches/embeddings.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/http/client.hpp"

#include <fmt/format.h>
#include <boost/asio.hpp>
#include <boost/asio/experimental/parallel_group.hpp>

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace tokentally::embeddings {

namespace asio = boost::asio;
namespace bj = boost::json;

namespace {

// An error answer is quoted in the message up to this many bytes.
constexpr std::size_t QUOTED_BYTES = 200;

std::string _text(const bj::object& section, std::string_view key, std::string_view fallback) {
    const bj::value* v = section.if_contains(key);
    if (v == nullptr) return std::string(fallback);
    if (!v->is_string())
        throw std::runtime_error(fmt::format("semantic_cache.{} is not a text: {}", key, json::write(*v)));
    return std::string(v->get_string());
}

std::chrono::milliseconds _timeout(const bj::object& section) {
    const bj::value* v = section.if_contains("timeout_seconds");
    if (v == nullptr) return DEFAULT_TIMEOUT;
    double seconds = json::as_number(*v, "semantic_cache.timeout_seconds");
    if (!(seconds > 0 && seconds <= 600))
        throw std::runtime_error("semantic_cache.timeout_seconds must be above 0 and at most 600: " + json::write(*v));
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

std::string _trimmed(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

bool _ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

const bj::value& _first_vector(const std::string& api, const bj::value& answer) {
    const bj::value* v = nullptr;
    if (api == "openai") {
        const bj::value* data = json::member(answer, "data");
        if (data && data->is_array() && !data->get_array().empty()) v = json::member(data->get_array()[0], "embedding");
    } else {
        const bj::value* list = json::member(answer, "embeddings");
        if (list && list->is_array() && !list->get_array().empty()) v = &list->get_array()[0];
    }
    if (v == nullptr || !v->is_array() || v->get_array().empty())
        throw std::runtime_error("embedding answer holds no vector: " + json::write(answer).substr(0, QUOTED_BYTES));
    return *v;
}

void _to_unit_length(std::vector<float>& v) {
    double sum = 0;
    for (float x : v) sum += static_cast<double>(x) * x;
    if (!(sum > 0)) throw std::runtime_error("embedding is a vector of zeros");
    auto scale = static_cast<float>(1.0 / std::sqrt(sum));
    for (float& x : v) x *= scale;
}

http::Headers _headers(const Settings& s) {
    http::Headers h{{"Content-Type", "application/json"}};
    if (!s.key_env || s.key_env->empty()) return h;
    const char* key = std::getenv(s.key_env->c_str());
    if (key == nullptr || *key == '\0')
        throw std::runtime_error("semantic_cache.embeddings_key_env names " + *s.key_env + ", which is not set");
    h.emplace_back("Authorization", std::string("Bearer ") + key);
    return h;
}

// The exchange, abandoned when the deadline passes first (the client's own
// timeout bounds each of its steps, not the whole).
asio::awaitable<http::ClientResponse> _fetch_within(const http::ClientRequest& req, std::chrono::milliseconds timeout) {
    auto ex = co_await asio::this_coro::executor;
    http::Client client(std::chrono::ceil<std::chrono::seconds>(timeout));
    asio::steady_timer deadline(ex, timeout);
    auto [order, error, answer, ignored] =
        co_await asio::experimental::make_parallel_group(asio::co_spawn(ex, client.fetch(req), asio::deferred),
                                                         deadline.async_wait(asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1)
        throw std::runtime_error(fmt::format("embedding server {} did not answer within {} s",
                                             http::redact_url(req.url),
                                             json::format_real(static_cast<double>(timeout.count()) / 1000)));
    if (error) std::rethrow_exception(error);
    co_return answer;
}

}  // namespace

Settings settings(const bj::object& section) {
    Settings s;
    s.api = _text(section, "embeddings_api", "ollama");
    if (s.api != "ollama" && s.api != "openai")
        throw std::runtime_error("semantic_cache.embeddings_api must be \"ollama\" or \"openai\": \"" + s.api + "\"");
    bool ollama = s.api == "ollama";
    s.url = _text(section, "embeddings_url", ollama ? DEFAULT_OLLAMA_URL : DEFAULT_OPENAI_URL);
    s.model = _text(section, "embeddings_model", ollama ? DEFAULT_OLLAMA_MODEL : DEFAULT_OPENAI_MODEL);
    if (section.contains("embeddings_key_env")) s.key_env = _text(section, "embeddings_key_env", "");
    s.prefix = _text(section, "embeddings_prefix", default_prefix(s.model));
    s.timeout = _timeout(section);
    return s;
}

std::string default_prefix(std::string_view model) {
    // nomic-embed-text is trained with a task prefix on every text; both
    // sides of a comparison here are questions, so both get the query one.
    if (model.find("nomic-embed-text") != std::string_view::npos) return "search_query: ";
    if (model.find("e5-") != std::string_view::npos) return "query: ";
    return "";
}

std::string request_url(const Settings& s) {
    std::string base = _trimmed(s.url);
    if (s.api == "ollama") return base + "/api/embed";
    return base + (_ends_with(base, "/v1") ? "/embeddings" : "/v1/embeddings");
}

std::string request_body(const Settings& s, const std::string& text) {
    return json::write(bj::object{{"model", s.model}, {"input", s.prefix + text}});
}

std::vector<float> parse_answer(const std::string& api, const std::string& body) {
    boost::system::error_code ec;
    bj::value answer = bj::parse(body, ec);
    if (ec) throw std::runtime_error("embedding answer is not JSON: " + body.substr(0, QUOTED_BYTES));
    std::vector<float> out;
    for (const auto& x : _first_vector(api, answer).get_array()) {
        double d = json::as_number(x, "embedding value");
        if (!std::isfinite(d)) throw std::runtime_error("embedding holds a value that is not finite");
        out.push_back(static_cast<float>(d));
    }
    return out;
}

asio::awaitable<std::vector<float>> embed(const Settings& s, const std::string& text) {
    const http::ClientRequest req{"POST", request_url(s), _headers(s), request_body(s, text)};
    http::ClientResponse answer = co_await _fetch_within(req, s.timeout);
    if (answer.status >= 300)
        throw std::runtime_error(fmt::format("embedding server {} answered {}: {}", http::redact_url(req.url),
                                             answer.status, answer.body.substr(0, QUOTED_BYTES)));
    std::vector<float> v = parse_answer(s.api, answer.body);
    _to_unit_length(v);
    co_return v;
}

}  // namespace tokentally::embeddings
