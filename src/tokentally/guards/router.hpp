// The model router: rules under [router] in the configuration that warn
// about, or swap, a request's model for a cheaper one of the same provider.
#pragma once

#include <boost/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tokentally::router {

// The configured [router] mode: "off" (also when absent), "warn" or "swap".
// Throws naming the value for anything else.
std::string mode();

// What to do with a request for `model_id` carrying `body` and `tag`:
//   {"action": "none"}                                 left alone;
//   {"action": "warn", "suggested": id or null, "reason": text};
//   {"action": "swap", "suggested": id, "savings_pct": n, "reason": text}.
// The first rule (in order) whose model, tags and prompt length match
// decides; in "warn" mode a request no rule matches may still be warned about
// with the first cheaper alternative of the same provider that saves at
// least advisor.min_saving_pct. A swap the target cannot serve (context
// window, tools, images, a response format) becomes a warning naming why.
// `suggested` is spelled the way the request spelled its model. Throws for a
// configuration error, naming the rule.
boost::json::object check_routing(const std::string& model_id, const boost::json::object& body, const std::string& tag);

// The request body with its "model" replaced by `model_id`, in the style of
// the request's own spelling (a provider prefix kept, a bare name bare and
// as that provider's API expects it).
boost::json::object apply_routing(const boost::json::object& body, const std::string& model_id);

// Characters (Unicode code points) of all the text a request sends as
// prompt: system, messages, prompt, input and instructions.
std::int64_t _prompt_chars(const boost::json::object& body);

// The answer tokens the request allows (max_tokens and its other spellings),
// 0 when it names none.
std::int64_t _max_tokens(const boost::json::object& body);

// Why a model swap could change what the request asks for: "tools",
// "images" or "a response format"; none for plain text.
std::optional<std::string> _special_content(const boost::json::object& body);

// `target` spelled in the style of `requested`: the provider prefix of a
// prefixed request kept; for a bare request a bare target as written, or a
// prefixed one as its provider's API names it.
std::string _spelled(const std::string& requested, const std::string& target);

}  // namespace tokentally::router
