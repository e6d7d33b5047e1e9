// The budget block: whether a call may go out, given the daily limit, its
// tag's daily limit and its client key's daily and monthly limits under
// [budgets], over the windows `[budgets] period` says, and the refusal text
// when not.
// Read from the ledger's sums (the tools and tests ask that way) or from the
// spend a serving process keeps in memory, where in strict mode a call that
// passes also holds its worst-case cost until its row commits.
#pragma once

#include "tokentally/guards/spend_state.hpp"
#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace tokentally::budget {

// Output tokens a strict reservation assumes when the request names no
// maximum (`[budgets] reserve_output_tokens`).
inline constexpr double RESERVE_OUTPUT_TOKENS = 4096;

// The refusal text when the spend summed in `store` has reached the daily
// limit, `tag`'s or `key`'s (the client key the call came with), else none.
// Throws for a limit that is not a number, for an unknown period and for
// errors of the store.
std::optional<std::string> refusal(store::Store& store, const std::string& tag,
                                   const std::optional<std::string>& key = std::nullopt);

// What the block says about one call, read from `spend`: its refusal (and
// the key whose budget made it, when one did), or, when it passes in strict
// mode, what it holds until `hold` goes.
struct Admission {
    std::optional<std::string> refusal;
    std::optional<std::string> key;
    std::shared_ptr<spend_state::Hold> hold;
};

// The block for a call of `tag`, made with client key `key` (none without
// client keys), with request `body`, priced by `pricing` (the catalog's
// entry, none or empty when unpriced). The limits are checked in order:
// daily, the tag's, the key's daily, the key's monthly. With `[budgets]
// strict` on, the call is also refused when its worst-case cost would take
// spent plus held past a limit, and holds that cost when it passes. Throws
// as refusal() does. `cfg` is the configuration the call read, else it is
// read here.
Admission admit(const std::shared_ptr<spend_state::State>& spend, const std::string& tag,
                const std::optional<std::string>& key, const boost::json::object& body,
                const std::optional<boost::json::object>& pricing,
                std::shared_ptr<const boost::json::object> cfg = nullptr);

// What is left of the budgets that apply to a call of `tag` made with client
// key `key` (the daily limit of all calls, the tag's, and the key's daily
// and monthly ones), read from `spend` as it stands: the smallest limit
// minus its window's spend, never below 0; none when no limit is set.
// Throws as refusal() does. `cfg` as for admit().
std::optional<double> remaining(spend_state::State& spend, const std::string& tag,
                                const std::optional<std::string>& key = std::nullopt,
                                std::shared_ptr<const boost::json::object> cfg = nullptr);

// The most a call can cost: its prompt's characters (the text of its
// messages, prompt, input, system, instructions or contents) ÷ 4 at the
// input price, plus its max_tokens, max_completion_tokens or
// max_output_tokens (else `default_output_tokens`) at the output price.
// 0 for a call without prices.
double worst_case_cost(const boost::json::object& body, const std::optional<boost::json::object>& pricing,
                       double default_output_tokens);

}  // namespace tokentally::budget
