// Gemini's native API (generativelanguage.googleapis.com, and Vertex AI's
// publishers/google paths): the model and the method a request path names
// (.../models/{model}:{method}), the stream format its query chooses, and
// what of its body identifies the answer for the exact cache.
#pragma once

#include <boost/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace tokentally::gemini {

// The endpoint a native call goes to.
struct NativeCall {
    std::string model;   // as the path names it: gemini-2.5-flash
    std::string method;  // generateContent, streamGenerateContent, countTokens, ...
    bool sse = false;    // alt=sse: the stream comes as server-sent events, else as one JSON array
};

// The native call a request path (without its leading "/") and query name,
// or none. A model under another publisher (Vertex AI's
// publishers/anthropic/models/...) is not Gemini's.
std::optional<NativeCall> native_call(std::string_view path, std::string_view query);

// The model id of a native call whose body names none: "google/" and the model.
std::string model_id(const NativeCall& call);

// :streamGenerateContent answers as a stream, whatever the body says; every
// other method answers in one piece.
bool streams(const NativeCall& call);

// The request path with `model` in place of the one it names.
std::string with_model(std::string_view path, std::string_view model);

// What identifies a native call's answer beside its model and method: the
// conversation (`contents`, `systemInstruction`), the cached context it
// builds on, the tools offered and the output format asked for, under
// either spelling the API accepts (systemInstruction or system_instruction).
// Sampling settings are left out, as for the other APIs.
boost::json::object cache_identity(const boost::json::object& body);

}  // namespace tokentally::gemini
