// The semantic cache: a stored answer is reused for a request to the same
// model whose every part but the last user message is identical, and whose
// last user message means nearly the same (cosine similarity of embeddings
// at or above [semantic_cache].threshold). Entries live in the store; an
// in-memory index per request context finds the candidates.
#pragma once

#include "tokentally/store/store.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tokentally::cache {

using Store = store::Store;

inline constexpr double DEFAULT_THRESHOLD = 0.95;
inline constexpr double DEFAULT_TTL_HOURS = 24.0;

// At server start, when the "semantic_cache" feature is on: creates the
// table when missing and builds the index from the entries that have not
// expired. A failure is logged, not thrown: the proxy serves without the
// cache and the first lookup tries again.
void init_cache_tables(Store& store);

// The stored answer for a similar request to `model_id`, or none. Embeds
// the last user message only when entries of the same context exist. Throws
// on a configuration error or a failed embedding call (the caller logs it
// and goes on as on a miss).
boost::asio::awaitable<std::optional<boost::json::object>> lookup(Store& store, const boost::json::object& body,
                                                                  const std::string& model_id);

// Keeps `response` for requests similar to `body`, when it finished
// normally without tool calls. Reuses the embedding its lookup computed.
boost::asio::awaitable<void> store(Store& store, const boost::json::object& body, const std::string& model_id,
                                   const boost::json::value& response, double cost_usd);

// --- parts, for tests and benchmarks -----------------------------------------

// A request cut in two: the text of its last user message, and everything
// else (the body with that text blanked and bookkeeping members left out).
struct Split {
    std::string text;
    boost::json::object context;
};
std::optional<Split> _split_request(const boost::json::object& body);

// The key of the entries a request may reuse: model, embedding space (model
// and prefix) and context, hashed.
std::string _context_key(const std::string& model_id, const boost::json::object& context, const std::string& space);

// An answer that finished normally (stop, end_turn, done, completed) and
// asks for no tool call.
bool _storable(const boost::json::value& response);

struct Hit {
    std::int64_t id;
    double similarity;
    boost::json::object response;
};

// The most similar entry under `key` at or above `threshold` stored within
// `ttl_seconds`, or none. `embedding` has unit length.
std::optional<Hit> _find(Store& store, const std::string& key, const std::vector<float>& embedding, double threshold,
                         double ttl_seconds);

// Stores an entry (table and index) and returns its id.
std::int64_t _add(Store& store, const std::string& key, const std::string& model_id,
                  const std::vector<float>& embedding, const boost::json::value& response, double cost_usd);

// Rebuilds the index from the entries of `store` (creating their table when
// missing), leaving out entries older than `ttl_seconds`.
void _reload(Store& store, double ttl_seconds);

// Entries in the index.
std::size_t _size();

}  // namespace tokentally::cache
