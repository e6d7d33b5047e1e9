#include "tokentally/guards/budget.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/guards/periods.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <exception>
#include <span>
#include <string_view>

namespace tokentally::budget {

namespace bj = boost::json;

namespace {

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

// A budget the call must stay under: the daily budget of all calls, its
// tag's, or its client key's daily or monthly one.
struct Limit {
    double limit;
    const std::string* tag = nullptr;
    const std::string* key = nullptr;
    const char* span = "daily";
};

// The limits with their windows, in the order they are checked; held in
// place, as every call asks. A tag or key budget that cannot be read is
// kept in `unreadable`: it fails the check only when no limit before it has
// already refused the call.
struct Limits {
    static constexpr std::size_t MAX = 4;
    std::array<Limit, MAX> limit{};
    std::array<store::SpendWindow, MAX> window{};
    std::size_t n = 0;
    std::exception_ptr unreadable;

    void add(Limit l, store::SpendWindow w) {
        limit[n] = l;
        window[n++] = std::move(w);
    }
    std::span<const store::SpendWindow> windows() const { return {window.data(), n}; }
};

// The key's daily and monthly budgets under [budgets.keys.<key>].
void _add_key_limits(Limits& out, const bj::object& budgets, const std::string& key, periods::Period period,
                     double now) {
    const bj::object& key_table = json::table(json::table(budgets, "keys"), key);
    for (auto [span, name] : {std::pair{periods::Span::day, "daily"}, {periods::Span::month, "monthly"}})
        if (auto limit = _limit(key_table, name, "budgets.keys." + key + "." + name))
            out.add({*limit, nullptr, &key, name}, {periods::since(period, span, now), std::nullopt, key});
}

Limits _limits(const bj::object& budgets, const std::string& tag, const std::optional<std::string>& key) {
    Limits out;
    periods::Period period = periods::period(budgets);
    double now = store::now();
    double since = periods::since(period, periods::Span::day, now);
    if (auto daily = _limit(budgets, "daily", "budgets.daily")) out.add({*daily}, {since, std::nullopt});
    try {
        const bj::object& tag_table = json::table(json::table(budgets, "tags"), tag);
        if (auto tag_daily = _limit(tag_table, "daily", "budgets.tags." + tag + ".daily"))
            out.add({*tag_daily, &tag}, {since, tag});
        if (key) _add_key_limits(out, budgets, *key, period, now);
    } catch (...) {
        out.unreadable = std::current_exception();
    }
    return out;
}

// "Daily budget", "Tag [t] daily budget", "Key [k] monthly budget".
std::string _budget_name(const Limit& l) {
    if (l.key != nullptr) return fmt::format("Key [{}] {} budget", *l.key, l.span);
    if (l.tag != nullptr) return fmt::format("Tag [{}] daily budget", *l.tag);
    return "Daily budget";
}

std::string _refusal(const Limit& l, double spent) {
    if (l.tag == nullptr && l.key == nullptr)
        return fmt::format("Daily budget exceeded: ${:.4f} spent of ${:.2f} limit. {}", spent, l.limit, BUDGET_HINT);
    return fmt::format("{} exceeded: ${:.4f} of ${:.2f}. {}", _budget_name(l), spent, l.limit, BUDGET_HINT);
}

// A strict refusal: what is spent has not reached the limit, but calls in
// flight hold the rest.
std::string _held_refusal(const Limit& l, const spend_state::Standing& s) {
    if (l.tag == nullptr && l.key == nullptr)
        return fmt::format(
            "Daily budget exceeded: ${:.4f} spent of ${:.2f} limit; calls in flight hold the rest "
            "(${:.4f}). {}",
            s.spent, l.limit, s.held, BUDGET_HINT);
    return fmt::format("{} exceeded: ${:.4f} of ${:.2f}; calls in flight hold the rest (${:.4f}). {}", _budget_name(l),
                       s.spent, l.limit, s.held, BUDGET_HINT);
}

// A refusal and the limit that made it.
struct Refused {
    std::string message;
    const Limit* limit;
};

// The first limit the spend has reached, in the order of `l`.
std::optional<Refused> _reached(const Limits& l, std::span<const double> spent) {
    for (std::size_t i = 0; i < l.n; ++i)
        if (spent[i] >= l.limit[i].limit) return Refused{_refusal(l.limit[i], spent[i]), &l.limit[i]};
    if (l.unreadable) std::rethrow_exception(l.unreadable);
    return std::nullopt;
}

// The first limit that spent plus held plus `cost` would pass.
std::optional<Refused> _overheld(const Limits& l, std::span<const spend_state::Standing> standing, double cost) {
    if (!(cost > 0)) return std::nullopt;  // a call priced at zero holds nothing
    for (std::size_t i = 0; i < l.n; ++i)
        if (standing[i].spent + standing[i].held + cost > l.limit[i].limit)
            return Refused{_held_refusal(l.limit[i], standing[i]), &l.limit[i]};
    return std::nullopt;
}

void _refuse(Admission& out, const std::optional<Refused>& refused) {
    if (!refused) return;
    out.refusal = refused->message;
    if (refused->limit->key != nullptr) out.key = *refused->limit->key;
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

std::optional<std::string> refusal(store::Store& store, const std::string& tag, const std::optional<std::string>& key) {
    auto cfg = config::load_shared();
    Limits l = _limits(json::table(*cfg, "budgets"), tag, key);
    // Every window from one snapshot of the ledger.
    auto refused = _reached(l, store.calls().spend_since(l.windows()));
    return refused ? std::optional(refused->message) : std::nullopt;
}

Admission admit(const std::shared_ptr<spend_state::State>& spend, const std::string& tag,
                const std::optional<std::string>& key, const bj::object& body, const std::optional<bj::object>& pricing,
                std::shared_ptr<const bj::object> cfg) {
    if (!cfg) cfg = config::load_shared();
    const bj::object& budgets = json::table(*cfg, "budgets");
    Limits l = _limits(budgets, tag, key);
    Admission out;
    if (!json::truthy(budgets.if_contains("strict"))) {
        _refuse(out, _reached(l, spend_state::spend_since(*spend, l.windows())));
        return out;
    }
    double cost = worst_case_cost(body, pricing, _reserve_output_tokens(budgets));
    auto hold = spend_state::hold_if(spend, l.windows(), tag, key, cost, [&](std::span<const spend_state::Standing> s) {
        std::array<double, Limits::MAX> spent{};
        for (std::size_t i = 0; i < l.n; ++i) spent[i] = s[i].spent;
        auto refused = _reached(l, std::span<const double>(spent.data(), l.n));
        if (!refused) refused = _overheld(l, s, cost);
        _refuse(out, refused);
        return !refused;
    });
    if (hold) out.hold = std::make_shared<spend_state::Hold>(std::move(*hold));
    return out;
}

std::optional<double> remaining(spend_state::State& spend, const std::string& tag,
                                const std::optional<std::string>& key, std::shared_ptr<const bj::object> cfg) {
    if (!cfg) cfg = config::load_shared();
    Limits l = _limits(json::table(*cfg, "budgets"), tag, key);
    if (l.unreadable) std::rethrow_exception(l.unreadable);
    if (l.n == 0) return std::nullopt;
    std::vector<double> spent = spend_state::spend_since(spend, l.windows());
    double left = l.limit[0].limit - spent[0];
    for (std::size_t i = 1; i < l.n; ++i) left = std::min(left, l.limit[i].limit - spent[i]);
    return std::max(left, 0.0);
}

double worst_case_cost(const bj::object& body, const std::optional<bj::object>& pricing, double default_output_tokens) {
    if (!pricing || pricing->empty()) return 0.0;
    std::size_t chars = 0;
    for (std::string_view name : PROMPT_MEMBERS)
        if (const bj::value* v = body.if_contains(name)) chars += _chars(*v);
    double prompt_tokens = static_cast<double>(chars) / CHARS_PER_TOKEN;
    double output_tokens = _max_output_tokens(body).value_or(default_output_tokens);
    return usage::cost(usage::Billed{.input = prompt_tokens, .output = output_tokens}, catalog::entry_price(*pricing));
}

}  // namespace tokentally::budget
