// The exact-match cache of the proxy: the key a request's answer is kept
// under, and the reads and writes of the store. Both are the store's work:
// the stages run them on the storage threads, off the event loop.
#pragma once

#include "tokentally/proxy/gemini.hpp"
#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace tokentally::proxy {

// A body with none of messages, prompt and input is not looked up or
// stored: nothing tells two such requests apart.
bool exact_cacheable(const boost::json::object& body_json);

// The model, the conversation and whatever else shapes the answer: a
// system prompt beside the messages, the tools offered, the output format.
// A body without messages or prompt is keyed on its input, instructions and
// the request's `path` as well.
std::string exact_cache_key(const std::string& model_id, const boost::json::object& body_json,
                            std::string_view path = {});

// The key of a call to Gemini's native API: its model, its method and
// gemini::cache_identity of its body.
std::string native_cache_key(const std::string& model_id, const gemini::NativeCall& native,
                             const boost::json::object& body_json);

// The answer kept under `key` within the last day, counted as a hit; any
// failure is a miss. `count` false leaves the counting to the append of
// the call it answers (CallRecord::exact_cache_hit), in that call's commit.
std::optional<boost::json::object> exact_cache_get(store::Store& store, const std::string& key, bool count = true);

// Keeps the answer under `key`; a failure is logged and costs a later hit.
void exact_cache_put(store::Store& store, const std::string& key, const boost::json::object& response_json);

}  // namespace tokentally::proxy
