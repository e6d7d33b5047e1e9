#include "tokentally/proxy/gemini.hpp"

#include "tokentally/base/json.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace tokentally::gemini {

namespace bj = boost::json;

namespace {

// Members of the body under their two spellings: the API takes the JSON
// names of its messages in lowerCamelCase or in their original snake_case.
using Names = std::pair<std::string_view, std::string_view>;

constexpr Names SHAPING_MEMBERS[] = {
    {"systemInstruction", "system_instruction"},
    {"cachedContent", "cached_content"},
    {"tools", "tools"},
    {"toolConfig", "tool_config"},
};

constexpr Names GENERATION_CONFIG = {"generationConfig", "generation_config"};

// The members of generationConfig that say what the answer is (its format),
// not how it is sampled.
constexpr Names FORMAT_MEMBERS[] = {
    {"responseMimeType", "response_mime_type"},
    {"responseSchema", "response_schema"},
    {"responseJsonSchema", "response_json_schema"},
    {"responseModalities", "response_modalities"},
};

const bj::value* _member(const bj::object& body, Names names) {
    const bj::value* v = body.if_contains(names.first);
    return json::truthy(v) ? v : body.if_contains(names.second);
}

// The query names the stream's format: alt=sse (or the $alt spelling of
// Google's system parameters).
bool _asks_sse(std::string_view query) {
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view param = query.substr(0, amp);
        if (param == "alt=sse" || param == "$alt=sse") return true;
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    }
    return false;
}

bool _method_name(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
}

// Where "{model}:{method}" starts in the path: just after its last "/",
// when the segment before it is "models".
std::optional<std::size_t> _last_segment(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view before = path.substr(0, slash);
    if (before != "models" && !before.ends_with("/models")) return std::nullopt;
    // Vertex AI serves other publishers' models on the same path shape.
    std::size_t publishers = before.rfind("publishers/");
    if (publishers != std::string_view::npos && before.substr(publishers) != "publishers/google/models")
        return std::nullopt;
    return slash + 1;
}

}  // namespace

std::optional<NativeCall> native_call(std::string_view path, std::string_view query) {
    auto start = _last_segment(path);
    if (!start) return std::nullopt;
    std::string_view segment = path.substr(*start);
    std::size_t colon = segment.find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
    std::string_view method = segment.substr(colon + 1);
    if (!_method_name(method)) return std::nullopt;
    return NativeCall{std::string(segment.substr(0, colon)), std::string(method), _asks_sse(query)};
}

std::string model_id(const NativeCall& call) { return "google/" + call.model; }

bool streams(const NativeCall& call) { return call.method == "streamGenerateContent"; }

std::string with_model(std::string_view path, std::string_view model) {
    std::size_t start = path.rfind('/') + 1;
    std::size_t colon = path.find(':', start);
    return std::string(path.substr(0, start)) + std::string(model) + std::string(path.substr(colon));
}

bj::object cache_identity(const bj::object& body) {
    const bj::value* contents = body.if_contains("contents");
    bj::object id{{"contents", json::truthy(contents) ? *contents : bj::value("")}};
    for (const Names& names : SHAPING_MEMBERS)
        if (const bj::value* v = _member(body, names); json::truthy(v)) id[names.first] = *v;
    const bj::value* config = _member(body, GENERATION_CONFIG);
    if (config == nullptr || !config->is_object()) return id;
    bj::object format;
    for (const Names& names : FORMAT_MEMBERS)
        if (const bj::value* v = _member(config->get_object(), names); json::truthy(v)) format[names.first] = *v;
    if (!format.empty()) id[GENERATION_CONFIG.first] = std::move(format);
    return id;
}

}  // namespace tokentally::gemini
