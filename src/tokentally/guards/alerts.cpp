#include "tokentally/guards/alerts.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/guards/periods.hpp"

#include <fmt/format.h>

#include <array>
#include <exception>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tokentally::alerts {

namespace bj = boost::json;

namespace {

constexpr double HOUR_SECONDS = 3600.0;

// A tag is warned about from this share of its budget on.
constexpr double TAG_WARN_SHARE = 0.8;

constexpr const char* YELLOW = "\x1b[33m";
constexpr const char* RED = "\x1b[31m";
constexpr const char* RESET = "\x1b[0m";

struct Window {
    const char* scope;
    periods::Span span;
};

constexpr Window WINDOWS[] = {
    {"hourly", periods::Span::hour}, {"daily", periods::Span::day}, {"monthly", periods::Span::month}};

auto _log() {
    static auto logger = logging::get("tokentally.alerts");
    return logger;
}

std::string _level(double pct) { return pct >= 100 ? "critical" : "warn"; }

// An alert found by the check, stored once every window has been read.
struct Found {
    std::string level, scope;
    double spent, budget;
    std::string message;
};

// A budget to compare with the spend of its window.
struct BudgetLimit {
    const Window* window;  // none: the tag's daily budget
    double limit;
};

// The budgets to check and their windows, at most the three windows and the
// tag. Held in place: every priced call runs this check.
struct Budgets {
    static constexpr std::size_t MAX = std::size(WINDOWS) + 1;
    std::array<BudgetLimit, MAX> budget{};
    std::array<store::SpendWindow, MAX> window{};
    std::size_t n = 0;

    void add(BudgetLimit b, store::SpendWindow w) {
        budget[n] = b;
        window[n++] = std::move(w);
    }
};

// A budget of zero or below cannot be spent "a percentage of", and the
// proxy already reads 0 as "no limit": such a window is passed over, so the
// other windows and the tag are still checked and no inf/nan text is made.
void _add_window(Budgets& out, const bj::object& budgets, const Window& w, periods::Period period, double now) {
    const bj::value* v = budgets.if_contains(w.scope);
    if (v == nullptr) return;
    double budget = json::as_number(*v, fmt::format("budgets.{}", w.scope));
    if (!(budget > 0)) return;
    out.add({&w, budget}, {periods::since(period, w.span, now), std::nullopt});
}

void _add_tag(Budgets& out, const bj::object& budgets, const std::string& tag, periods::Period period, double now) {
    const bj::object& tags = json::table(budgets, "tags");
    if (!tags.contains(tag)) return;
    const bj::value* v = json::table(tags, tag).if_contains("daily");
    if (!json::truthy(v)) return;
    double limit = json::as_number(*v, "budgets.tags." + tag + ".daily");
    if (!(limit > 0)) return;  // as for the windows above
    out.add({nullptr, limit}, {periods::since(period, periods::Span::day, now), tag});
}

// The configured budgets in the order they are checked, up to the first one
// that cannot be read (its failure is kept in `failed`).
Budgets _budgets(const bj::object& budgets, const std::string& tag, std::exception_ptr& failed) {
    Budgets found;
    double now = store::now();
    try {
        periods::Period period = periods::period(budgets);
        for (const auto& w : WINDOWS) _add_window(found, budgets, w, period, now);
        _add_tag(found, budgets, tag, period, now);
    } catch (...) {
        failed = std::current_exception();
    }
    return found;
}

std::optional<Found> _breach(const BudgetLimit& b, double spent, const std::string& tag) {
    double pct = spent / b.limit * 100;
    if (b.window != nullptr) {
        if (spent < b.limit) return std::nullopt;
        const char* scope = b.window->scope;
        return Found{_level(pct), scope, spent, b.limit,
                     fmt::format("${:.4f} spent of ${:.2f} {} budget ({:.0f}%)", spent, b.limit, scope, pct)};
    }
    if (spent < b.limit * TAG_WARN_SHARE) return std::nullopt;
    return Found{_level(pct), "tag:" + tag, spent, b.limit,
                 fmt::format("[{}] ${:.4f} of ${:.2f} daily budget ({:.0f}%)", tag, spent, b.limit, pct)};
}

// Every window and the tag, read from one snapshot of the ledger. What was
// found before a failure (a budget that is not a number) is still returned,
// with the failure.
std::vector<Found> _check_all(store::Store& store, spend_state::State* spend, const bj::object& budgets,
                              const std::string& tag, std::exception_ptr& failed) {
    Budgets checked = _budgets(budgets, tag, failed);
    std::vector<Found> found;
    try {
        std::span windows(checked.window.data(), checked.n);
        std::vector<double> spent =
            spend != nullptr ? spend_state::spend_since(*spend, windows) : store.calls().spend_since(windows);
        for (std::size_t i = 0; i < checked.n; ++i)
            if (auto f = _breach(checked.budget[i], spent[i], tag)) found.push_back(std::move(*f));
    } catch (...) {
        failed = std::current_exception();
    }
    return found;
}

}  // namespace

double _get_spend(store::Store& store, double hours, const std::optional<std::string>& tag) {
    std::optional<std::string> only = tag && !tag->empty() ? tag : std::nullopt;
    const store::SpendWindow window[] = {{store::now() - hours * HOUR_SECONDS, only}};
    return store.calls().spend_since(window).front();
}

void check_budgets(store::Store& store, const std::optional<std::string>& tag, spend_state::State* spend,
                   webhook::Delivery* delivery) {
    auto cfg = config::load_shared();
    const bj::object& budgets = json::table(*cfg, "budgets");
    std::exception_ptr failed;
    for (const Found& f : _check_all(store, spend, budgets, tag && !tag->empty() ? *tag : "default", failed))
        _record_alert(store, f.level, f.scope, f.spent, f.budget, f.message, delivery);
    if (failed) std::rethrow_exception(failed);
}

void _record_alert(store::Store& store, const std::string& level, const std::string& scope, double spent, double budget,
                   const std::string& message, webhook::Delivery* delivery) {
    std::optional<double> stored =
        store.alerts().insert_unless_raised_since({level, scope, spent, budget, message}, store::now() - HOUR_SECONDS);
    if (!stored) return;
    const char* colour = level == "warn" ? YELLOW : RED;
    _log()->warn("{}⚠ BUDGET ALERT [{}] {}{}", colour, logging::printable(scope), logging::printable(message), RESET);
    if (delivery != nullptr) webhook::send(*delivery, {*stored, level, scope, spent, budget, message});
}

namespace {

bj::array _records(const std::vector<store::AlertRow>& rows) {
    bj::array out;
    out.reserve(rows.size());
    for (const auto& r : rows)
        out.emplace_back(bj::object{{"id", r.id},
                                    {"ts", r.ts},
                                    {"level", r.level},
                                    {"scope", r.scope},
                                    {"spent", r.spent},
                                    {"budget", r.budget},
                                    {"message", r.message},
                                    {"seen", r.seen}});
    return out;
}

}  // namespace

bj::array get_recent_alerts(store::Store& store, std::int64_t n) { return _records(store.alerts().latest(n)); }

bj::array get_unseen_alerts(store::Store& store) { return _records(store.alerts().take_unseen()); }

}  // namespace tokentally::alerts

extern "C" __attribute__((visibility("default"))) int tokentally_alerts_check_budgets_delivering(
    tokentally::store::Store* store, tokentally::spend_state::State* spend, const char* tag,
    tokentally::webhook::Delivery* delivery) {
    namespace logging = tokentally::logging;
    static logging::RepeatedFailure failures;
    // Exceptions must not cross the C boundary into the ledger.
    try {
        if (store == nullptr) throw std::invalid_argument("no store to check");
        std::optional<std::string> t;
        if (tag != nullptr) t = tag;
        tokentally::alerts::check_budgets(*store, t, spend, delivery);
        logging::succeeded(failures);
        return 0;
    } catch (...) {
        logging::failed(failures, "tokentally.alerts", "Budget alert check failed: ", std::current_exception());
        return 1;
    }
}

extern "C" __attribute__((visibility("default"))) int tokentally_alerts_check_budgets_from(
    tokentally::store::Store* store, tokentally::spend_state::State* spend, const char* tag) {
    return tokentally_alerts_check_budgets_delivering(store, spend, tag, nullptr);
}

extern "C" __attribute__((visibility("default"))) int tokentally_alerts_check_budgets(tokentally::store::Store* store,
                                                                                      const char* tag) {
    return tokentally_alerts_check_budgets_from(store, nullptr, tag);
}

extern "C" __attribute__((visibility("default"))) tokentally::webhook::Delivery* tokentally_alerts_open_delivery() {
    try {
        return new tokentally::webhook::Delivery();
    } catch (...) {
        return nullptr;  // the alerts are still stored and logged
    }
}

extern "C" __attribute__((visibility("default"))) void tokentally_alerts_close_delivery(
    tokentally::webhook::Delivery* delivery) {
    delete delivery;
}
