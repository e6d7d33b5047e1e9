#include "tokentally/proxy/exact_cache.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"

namespace tokentally::proxy {

namespace bj = boost::json;

namespace {

auto _log() {
    static auto logger = logging::get("tokentally.proxy");
    return logger;
}

// A cached answer is served for a day.
constexpr double DAY_SECONDS = 86400.0;

// Request members beside the conversation that change what the answer is,
// and so take part in the exact-cache key.
constexpr std::string_view ANSWER_SHAPING_MEMBERS[] = {"system",        "tools",           "tool_choice",  "functions",
                                                       "function_call", "response_format", "output_format"};

std::string _key_of(const bj::object& raw) {
    return json::sha256_hex(json::write(raw, json::WriteOptions{.sort_keys = true}));
}

}  // namespace

bool exact_cacheable(const bj::object& body_json) {
    return body_json.contains("messages") || body_json.contains("prompt") || body_json.contains("input");
}

std::string exact_cache_key(const std::string& model_id, const bj::object& body_json, std::string_view path) {
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

std::string native_cache_key(const std::string& model_id, const gemini::NativeCall& native,
                             const bj::object& body_json) {
    // The method takes part: countTokens and generateContent of one
    // conversation answer different things.
    bj::object raw = gemini::cache_identity(body_json);
    raw["model"] = model_id;
    raw["method"] = native.method;
    return _key_of(raw);
}

std::optional<bj::object> exact_cache_get(store::Store& store, const std::string& key, bool count) {
    // Any failure (no table yet, a locked file, a damaged row) is a miss:
    // the request is then simply forwarded.
    try {
        std::optional<std::string> text = store.exact_cache().find(key, store::now() - DAY_SECONDS);
        if (!text) return std::nullopt;
        std::optional<bj::object> answer = json::parse_object(*text);
        if (answer && count) store.exact_cache().count_hit(key);
        return answer;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void exact_cache_put(store::Store& store, const std::string& key, const bj::object& response_json) {
    // The answer is already on its way to the client; a failed store only
    // costs a future hit.
    try {
        store.exact_cache().put(key, json::write(response_json));
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->warn("Exact cache put failed: {}", e.what());
    }
}

}  // namespace tokentally::proxy
