#include "tokentally/guards/budget.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/accounting/usage.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <exception>
#include <span>
#include <string_view>

namespace tokentally::budget {

namespace bj = boost::json;

namespace {

// Budgets look back one rolling day.
constexpr double DAY_SECONDS = 86400.0;

constexpr const char* BUDGET_HINT = "Update ~/.tokentally.toml to increase budget.";

// Request members that carry the prompt, whose text a reservation counts.
constexpr std::string_view PROMPT_MEMBERS[] = {"messages", "prompt", "input", "system", "instructions", "contents"};

// Request members naming the most output tokens, in the order they are read.
constexpr std::string_view MAX_OUTPUT_MEMBERS[] = {"max_tokens", "max_completion_tokens", "max_output_tokens"};

// Characters per token of a prompt, as reservations estimate them.
constexpr double CHARS_PER_TOKEN = 4.0;

// A configured limit, or nullopt when it is absent or falsy: a limit of 0
// means "no limit", never "block everything". Text or another non-number
// throws, naming the key.
std::optional<double> _limit(const bj::object& table, std::string_view key, std::string_view what) {
    const bj::value* v = table.if_contains(key);
    if (!json::truthy(v)) return std::nullopt;
    return json::as_number(*v, what);
}

// A budget the call must stay under.
struct _Limit {
    double limit;
    const std::string* tag;  // none: the daily budget of all calls
};

// The daily limit and the tag's, with their windows, in the order they are
// checked; held in place, as every call asks. A tag budget that cannot be
// read is kept in `unreadable`: it fails the check only when the overall
// limit has not already refused the call.
struct _Limits {
    std::array<_Limit, 2> limit{};
    std::array<store::SpendWindow, 2> window{};
    std::size_t n = 0;
    std::exception_ptr unreadable;

    std::span<const store::SpendWindow> windows() const { return {window.data(), n}; }
};

_Limits _limits(const bj::object& budgets, const std::string& tag) {
    _Limits out;
    double since = store::now() - DAY_SECONDS;
    if (auto daily = _limit(budgets, "daily", "budgets.daily")) {
        out.limit[out.n] = {*daily, nullptr};
        out.window[out.n++] = {since, std::nullopt};
    }
    try {
        const bj::object& tag_table = json::table(json::table(budgets, "tags"), tag);
        if (auto tag_daily = _limit(tag_table, "daily", "budgets.tags." + tag + ".daily")) {
            out.limit[out.n] = {*tag_daily, &tag};
            out.window[out.n++] = {since, tag};
        }
    } catch (...) {
        out.unreadable = std::current_exception();
    }
    return out;
}

std::string _refusal(const _Limit& l, double spent) {
    if (l.tag == nullptr)
        return fmt::format("Daily budget exceeded: ${:.4f} spent of ${:.2f} limit. {}", spent, l.limit, BUDGET_HINT);
    return fmt::format("Tag [{}] daily budget exceeded: ${:.4f} of ${:.2f}. {}", *l.tag, spent, l.limit, BUDGET_HINT);
}

// A strict refusal: what is spent has not reached the limit, but calls in
// flight hold the rest.
std::string _held_refusal(const _Limit& l, const spend_state::Standing& s) {
    if (l.tag == nullptr)
        return fmt::format("Daily budget exceeded: ${:.4f} spent of ${:.2f} limit; calls in flight hold the rest "
                           "(${:.4f}). {}",
                           s.spent, l.limit, s.held, BUDGET_HINT);
    return fmt::format("Tag [{}] daily budget exceeded: ${:.4f} of ${:.2f}; calls in flight hold the rest (${:.4f}). {}",
                       *l.tag, s.spent, l.limit, s.held, BUDGET_HINT);
}

// The first limit the spend has reached, the overall one first.
std::optional<std::string> _reached(const _Limits& l, std::span<const double> spent) {
    for (std::size_t i = 0; i < l.n; ++i)
        if (spent[i] >= l.limit[i].limit) return _refusal(l.limit[i], spent[i]);
    if (l.unreadable) std::rethrow_exception(l.unreadable);
    return std::nullopt;
}

// The first limit that spent plus held plus `cost` would pass.
std::optional<std::string> _overheld(const _Limits& l, std::span<const spend_state::Standing> standing, double cost) {
    if (!(cost > 0)) return std::nullopt;  // a call priced at zero holds nothing
    for (std::size_t i = 0; i < l.n; ++i)
        if (standing[i].spent + standing[i].held + cost > l.limit[i].limit)
            return _held_refusal(l.limit[i], standing[i]);
    return std::nullopt;
}

// Characters (not bytes) of every text inside `v`.
std::size_t _chars(const bj::value& v) {
    if (v.is_string()) {
        std::size_t n = 0;
        for (unsigned char c : v.get_string()) n += (c & 0xC0) != 0x80;
        return n;
    }
    std::size_t n = 0;
    if (v.is_array())
        for (const auto& e : v.get_array()) n += _chars(e);
    if (v.is_object())
        for (const auto& m : v.get_object()) n += _chars(m.value());
    return n;
}

std::optional<double> _max_output_tokens(const bj::object& body) {
    for (std::string_view name : MAX_OUTPUT_MEMBERS) {
        const bj::value* v = body.if_contains(name);
        if (v != nullptr && v->is_number() && !v->is_bool()) return json::as_number(*v, name);
    }
    return std::nullopt;
}

double _reserve_output_tokens(const bj::object& budgets) {
    const bj::value* v = budgets.if_contains("reserve_output_tokens");
    if (v == nullptr) return RESERVE_OUTPUT_TOKENS;
    return json::as_number(*v, "budgets.reserve_output_tokens");
}

}  // namespace

std::optional<std::string> refusal(store::Store& store, const std::string& tag) {
    auto cfg = config::load_shared();
    _Limits l = _limits(json::table(*cfg, "budgets"), tag);
    // Both windows from one snapshot of the ledger.
    return _reached(l, store.calls().spend_since(l.windows()));
}

Admission admit(const std::shared_ptr<spend_state::State>& spend, const std::string& tag, const bj::object& body,
                const std::optional<bj::object>& pricing) {
    auto cfg = config::load_shared();
    const bj::object& budgets = json::table(*cfg, "budgets");
    _Limits l = _limits(budgets, tag);
    if (!json::truthy(budgets.if_contains("strict")))
        return {_reached(l, spend_state::spend_since(*spend, l.windows())), nullptr};
    double cost = worst_case_cost(body, pricing, _reserve_output_tokens(budgets));
    Admission out;
    auto hold = spend_state::hold_if(spend, l.windows(), tag, cost, [&](std::span<const spend_state::Standing> s) {
        std::array<double, 2> spent{};
        for (std::size_t i = 0; i < l.n; ++i) spent[i] = s[i].spent;
        out.refusal = _reached(l, std::span<const double>(spent.data(), l.n));
        if (!out.refusal) out.refusal = _overheld(l, s, cost);
        return !out.refusal;
    });
    if (hold) out.hold = std::make_shared<spend_state::Hold>(std::move(*hold));
    return out;
}

std::optional<double> remaining(spend_state::State& spend, const std::string& tag) {
    auto cfg = config::load_shared();
    _Limits l = _limits(json::table(*cfg, "budgets"), tag);
    if (l.unreadable) std::rethrow_exception(l.unreadable);
    if (l.n == 0) return std::nullopt;
    std::vector<double> spent = spend_state::spend_since(spend, l.windows());
    double left = l.limit[0].limit - spent[0];
    for (std::size_t i = 1; i < l.n; ++i) left = std::min(left, l.limit[i].limit - spent[i]);
    return std::max(left, 0.0);
}

double worst_case_cost(const bj::object& body, const std::optional<bj::object>& pricing,
                       double default_output_tokens) {
    if (!pricing || pricing->empty()) return 0.0;
    std::size_t chars = 0;
    for (std::string_view name : PROMPT_MEMBERS)
        if (const bj::value* v = body.if_contains(name)) chars += _chars(*v);
    double prompt_tokens = static_cast<double>(chars) / CHARS_PER_TOKEN;
    double output_tokens = _max_output_tokens(body).value_or(default_output_tokens);
    return usage::cost(usage::Billed{.input = prompt_tokens, .output = output_tokens}, catalog::entry_price(*pricing));
}

}  // namespace tokentally::budget
