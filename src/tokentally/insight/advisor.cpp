#include "tokentally/insight/advisor.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace tokentally::advisor {

// The catalog's table: the router's warnings suggest from the same one.
const std::map<std::string, std::vector<std::string>, std::less<>>& ALTERNATIVES = catalog::ALTERNATIVES;

namespace {

constexpr const char* YELLOW = "\033[33m";
constexpr const char* GREEN = "\033[32m";
constexpr const char* RESET = "\033[0m";

// Whole days or hours of the window; a window that is not a finite number
// cannot be labelled (nor meaningfully queried), so it is refused up front.
std::int64_t _window_units(double since_hours) {
    if (!std::isfinite(since_hours) || std::fabs(since_hours) > 1e15)
        throw std::invalid_argument("since_hours must be a finite number of hours: " + json::format_real(since_hours));
    if (since_hours >= 24) return static_cast<std::int64_t>(std::floor(since_hours / 24));
    return static_cast<std::int64_t>(std::trunc(since_hours));
}

double _min_saving_pct() {
    bj::object cfg = config::load();
    const bj::value* v = json::table(cfg, "advisor").if_contains("min_saving_pct");
    return v == nullptr ? DEFAULT_MIN_SAVING_PCT : json::as_number(*v, "advisor.min_saving_pct");
}

// A price member that must be there: the catalog promises an entry with
// both prices for every id it is asked about, zeros for unpriced models.
double _price(const bj::object& price, std::string_view member, std::string_view model_id) {
    const bj::value* v = price.if_contains(member);
    if (v == nullptr)
        throw std::runtime_error(
            fmt::format("catalog price of {} has no '{}': {}", model_id, member, json::write(price)));
    return json::as_number(*v, fmt::format("'{}' price of {}", member, model_id));
}

double _per_call(double avg_in, double avg_out, const bj::object& price, std::string_view model_id) {
    prices::Price p;
    p.input = _price(price, "input", model_id);
    p.output = _price(price, "output", model_id);
    return usage::cost(usage::Billed{.input = avg_in, .output = avg_out}, p);
}

// The row's average, or 0 when the ledger had no token counts.
bj::value _average(const bj::object& row, std::string_view name) {
    const bj::value* v = row.if_contains(name);
    return json::truthy(v) ? *v : bj::value(0);
}

// What one alternative would have cost on the row's average call.
struct Candidate {
    std::string alt_id;
    bj::object current_price;
    bj::object alt_price;
    double current_per_call;
    double alt_per_call;
};

bj::object _suggestion(const bj::object& row, const Candidate& c, double since_hours) {
    double calls = json::as_number(row.at("calls"), "calls");
    double saving_per_call = c.current_per_call - c.alt_per_call;
    bj::object s;
    s["current_model"] = row.at("model_id");
    s["alt_model"] = c.alt_id;
    s["calls"] = row.at("calls");
    s["current_cost"] = row.at("total_cost");
    s["projected_cost"] = c.alt_per_call * calls;
    s["projected_saving"] = saving_per_call * calls;
    s["saving_pct"] = saving_per_call / c.current_per_call * 100;
    s["current_input_price"] = c.current_price.at("input");
    s["current_output_price"] = c.current_price.at("output");
    s["alt_input_price"] = c.alt_price.at("input");
    s["alt_output_price"] = c.alt_price.at("output");
    s["period"] = _period_label(since_hours);
    s["avg_in"] = _average(row, "avg_in");
    s["avg_out"] = _average(row, "avg_out");
    return s;
}

// The first alternative of the row's model that saves at least
// `min_saving_pct`, or nothing.
std::optional<bj::object> _suggest_for(const bj::object& row, double min_saving_pct, double since_hours,
                                       const Catalog& catalog) {
    if (!json::truthy(row.if_contains("model_id")) || !json::truthy(row.if_contains("total_cost"))) return std::nullopt;
    const bj::value& stored_id = row.at("model_id");
    if (!stored_id.is_string())
        throw std::runtime_error("model_id in the ledger is not text: " + json::write(stored_id));
    std::string normalized = catalog.normalize(std::string(stored_id.get_string()));
    auto entry = ALTERNATIVES.find(normalized);
    bj::object current_price = catalog.price_of(normalized);
    double avg_in = json::as_number(_average(row, "avg_in"), "avg_in");
    double avg_out = json::as_number(_average(row, "avg_out"), "avg_out");
    if ((avg_in == 0 && avg_out == 0) || entry == ALTERNATIVES.end()) return std::nullopt;
    for (const std::string& alt_id : entry->second) {
        bj::object alt_price = catalog.price_of(alt_id);
        if (_price(alt_price, "input", alt_id) == 0 && _price(alt_price, "output", alt_id) == 0) continue;
        Candidate c{alt_id, current_price, alt_price, _per_call(avg_in, avg_out, current_price, normalized),
                    _per_call(avg_in, avg_out, alt_price, alt_id)};
        if (c.current_per_call == 0) continue;
        if ((c.current_per_call - c.alt_per_call) / c.current_per_call * 100 < min_saving_pct) continue;
        return _suggestion(row, c, since_hours);
    }
    return std::nullopt;
}

// One block per 5 % saved; the bound only guards against absurd prices.
std::string _bar(double saving_pct) {
    double quotient = std::trunc(saving_pct / 5);
    if (!(quotient >= 1)) return {};
    auto blocks = static_cast<int>(std::min(quotient, 1000.0));
    std::string bar;
    for (int k = 0; k < blocks; ++k) bar += "█";
    return bar;
}

void _print_suggestion(const bj::object& s, std::ostream& out) {
    auto num = [&](std::string_view key) { return json::as_number(s.at(key), key); };
    out << fmt::format("  {}{}{}\n", YELLOW, logging::printable(json::display(s.at("current_model"))), RESET);
    out << fmt::format("    → switch to  {}{}{}\n", GREEN, json::display(s.at("alt_model")), RESET);
    out << fmt::format("    pricing:     ${:.4f}/${:.4f} per M  →  ${:.4f}/${:.4f} per M  (in/out)\n",
                       num("current_input_price"), num("current_output_price"), num("alt_input_price"),
                       num("alt_output_price"));
    out << fmt::format("    usage:       {} calls, avg {} in / {} out tokens\n", json::display(s.at("calls")),
                       static_cast<std::int64_t>(num("avg_in")), static_cast<std::int64_t>(num("avg_out")));
    out << fmt::format("    actual cost: {}${:.6f}{}  →  projected {}${:.6f}{}\n", YELLOW, num("current_cost"), RESET,
                       GREEN, num("projected_cost"), RESET);
    out << fmt::format("    saving:      {}${:.6f}  ({:.0f}% cheaper)  {}{}\n", GREEN, num("projected_saving"),
                       num("saving_pct"), _bar(num("saving_pct")), RESET);
    out << "\n";
}

}  // namespace

Catalog real_catalog() {
    return Catalog{
        [](std::string_view id) { return catalog::get_model_price(id); },
        [](std::string_view id) { return catalog::normalize_model_id(id); },
    };
}

bj::array _get_usage_summary(store::Store& store, double since_hours) {
    _window_units(since_hours);
    double since = store::now() - since_hours * 3600;
    // The advisor only reads: an empty ledger created here would hide that
    // the proxy never ran.
    if (!store.exists()) throw std::runtime_error("no ledger database at " + store.location());
    return _usage_records(store.calls().usage_by_model(since));
}

bj::array _usage_records(const std::vector<store::ModelUsage>& usage) {
    bj::array rows;
    for (const auto& u : usage)
        rows.emplace_back(bj::object{{"model_id", json::or_null(u.model_id)},
                                     {"calls", u.calls},
                                     {"total_in", json::or_null(u.total_in)},
                                     {"total_out", json::or_null(u.total_out)},
                                     {"total_cost", u.total_cost},
                                     {"avg_in", json::or_null(u.avg_in)},
                                     {"avg_out", json::or_null(u.avg_out)}});
    return rows;
}

std::string _period_label(double since_hours) {
    return std::to_string(_window_units(since_hours)) + (since_hours >= 24 ? "d" : "h");
}

std::string _window_text(double since_hours) {
    return std::to_string(_window_units(since_hours)) + (since_hours >= 24 ? " days" : " hours");
}

bj::array get_suggestions(store::Store& store, double since_hours, const Catalog& catalog) {
    double min_saving_pct = _min_saving_pct();
    return _suggestions(_get_usage_summary(store, since_hours), min_saving_pct, since_hours, catalog);
}

bj::array suggestions_for(const std::vector<store::ModelUsage>& usage, double since_hours, const Catalog& catalog) {
    _window_units(since_hours);
    return _suggestions(_usage_records(usage), _min_saving_pct(), since_hours, catalog);
}

bj::array _suggestions(const bj::array& usage, double min_saving_pct, double since_hours, const Catalog& catalog) {
    bj::array result;
    for (const bj::value& row : usage)
        if (auto s = _suggest_for(row.get_object(), min_saving_pct, since_hours, catalog))
            result.push_back(std::move(*s));
    std::stable_sort(result.begin(), result.end(), [](const bj::value& a, const bj::value& b) {
        return json::as_number(a.at("projected_saving"), "projected_saving") >
               json::as_number(b.at("projected_saving"), "projected_saving");
    });
    return result;
}

void print_suggestions(store::Store& store, double since_hours, std::ostream& out, const Catalog& catalog) {
    bj::array suggestions = get_suggestions(store, since_hours, catalog);
    out << fmt::format("\ntokentally advisor — based on last {} of usage\n\n", _window_text(since_hours));
    if (suggestions.empty()) {
        out << "  No suggestions — either usage is too low or you're already on optimal models.\n\n";
        return;
    }
    for (const bj::value& s : suggestions) _print_suggestion(s.get_object(), out);
}

}  // namespace tokentally::advisor
