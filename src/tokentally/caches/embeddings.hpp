// Embedding vectors of short texts from an embedding server: Ollama's
// /api/embed or an OpenAI-style /v1/embeddings, as [semantic_cache] says.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tokentally::embeddings {

inline constexpr std::string_view DEFAULT_OLLAMA_URL = "http://127.0.0.1:11434";
inline constexpr std::string_view DEFAULT_OPENAI_URL = "https://api.openai.com";
inline constexpr std::string_view DEFAULT_OLLAMA_MODEL = "nomic-embed-text";
inline constexpr std::string_view DEFAULT_OPENAI_MODEL = "text-embedding-3-small";
inline constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{2000};

struct Settings {
    std::string api;  // "ollama" or "openai"
    std::string url;  // base URL of the server
    std::string model;
    std::optional<std::string> key_env;  // variable holding a bearer key
    std::string prefix;                  // task prefix put before every text
    std::chrono::milliseconds timeout = DEFAULT_TIMEOUT;
};

// The embedding settings of a [semantic_cache] table, defaults filled in:
// embeddings_api, embeddings_url, embeddings_model, embeddings_key_env,
// embeddings_prefix and timeout_seconds. Throws naming a bad value.
Settings settings(const boost::json::object& section);

// The task prefix a model expects on the texts it compares ("search_query: "
// for nomic-embed-text), empty for models that expect none.
std::string default_prefix(std::string_view model);

// The URL and JSON body of the embedding request for `text`.
std::string request_url(const Settings& s);
std::string request_body(const Settings& s, const std::string& text);

// The vector in an answer of either API shape. Throws when there is none or
// it holds something other than finite numbers.
std::vector<float> parse_answer(const std::string& api, const std::string& body);

// The embedding of `text` (prefix included), scaled to unit length, within
// the settings' timeout. Throws on a transport error, a timeout, an error
// status, an answer without a vector, or a vector of zeros.
boost::asio::awaitable<std::vector<float>> embed(const Settings& s, const std::string& text);

}  // namespace tokentally::embeddings
