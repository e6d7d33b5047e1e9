#include "tokentally/alerts.hpp"

#include "tokentally/config.hpp"
#include "tokentally/db.hpp"
#include "tokentally/json.hpp"
#include "tokentally/logging.hpp"
#include "tokentally/paths.hpp"

#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string_view>
#include <vector>

namespace tokentally::alerts {

namespace bj = boost::json;

std::string DB_PATH = paths::data_file("ledger.db");

namespace {

constexpr const char* CREATE_ALERTS = R"(CREATE TABLE IF NOT EXISTS alerts (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    ts        REAL    NOT NULL,
    level     TEXT    NOT NULL,   -- 'warn' | 'critical'
    scope     TEXT    NOT NULL,   -- 'hourly' | 'daily' | 'monthly' | 'tag:name'
    spent     REAL    NOT NULL,
    budget    REAL    NOT NULL,
    message   TEXT    NOT NULL,
    seen      INTEGER DEFAULT 0
))";


constexpr const char* RECENT_SAME_SCOPE = R"(SELECT id FROM alerts
WHERE scope = ? AND ts > ?
ORDER BY ts DESC LIMIT 1)";

constexpr const char* INSERT_ALERT = R"(INSERT INTO alerts (ts, level, scope, spent, budget, message)
VALUES (?, ?, ?, ?, ?, ?))";

constexpr double HOUR_SECONDS = 3600.0;

// A tag is warned about from this share of its budget on.
constexpr double TAG_WARN_SHARE = 0.8;

constexpr const char* YELLOW = "\x1b[33m";
constexpr const char* RED = "\x1b[31m";
constexpr const char* RESET = "\x1b[0m";

struct _Window {
    const char* scope;
    double hours;
};

constexpr _Window WINDOWS[] = {{"hourly", 1}, {"daily", 24}, {"monthly", 720}};

auto _log() {
    static auto logger = logging::get("tokentally.alerts");
    return logger;
}

std::string _level(double pct) { return pct >= 100 ? "critical" : "warn"; }

// An alert found by the check, stored once every window has been read.
struct _Found {
    std::string level, scope;
    double spent, budget;
    std::string message;
};

// A budget of zero or below cannot be spent "a percentage of", and the
// proxy already reads 0 as "no limit": such a window is passed over, so the
// other windows and the tag are still checked and no inf/nan text is made.
std::optional<_Found> _check_window(const bj::object& budgets, const _Window& w) {
    const bj::value* v = budgets.if_contains(w.scope);
    if (v == nullptr) return std::nullopt;
    double budget = json::as_number(*v, fmt::format("budgets.{}", w.scope));
    if (!(budget > 0)) return std::nullopt;
    double spent = _get_spend(w.hours);
    if (spent < budget) return std::nullopt;
    double pct = spent / budget * 100;
    return _Found{_level(pct), w.scope, spent, budget,
                  fmt::format("${:.4f} spent of ${:.2f} {} budget ({:.0f}%)", spent, budget, w.scope, pct)};
}

std::optional<_Found> _check_tag(const bj::object& budgets, const std::string& tag) {
    const bj::object& tags = json::table(budgets, "tags");
    if (!tags.contains(tag)) return std::nullopt;
    const bj::value* v = json::table(tags, tag).if_contains("daily");
    if (!json::truthy(v)) return std::nullopt;
    double limit = json::as_number(*v, "budgets.tags." + tag + ".daily");
    if (!(limit > 0)) return std::nullopt;  // as for the windows above
    double spent = _get_spend(24, tag);
    if (spent < limit * TAG_WARN_SHARE) return std::nullopt;
    double pct = spent / limit * 100;
    return _Found{_level(pct), "tag:" + tag, spent, limit,
                  fmt::format("[{}] ${:.4f} of ${:.2f} daily budget ({:.0f}%)", tag, spent, limit, pct)};
}

// Every window and the tag, read in one transaction: one snapshot of the
// ledger, and one lock of its shared memory instead of one per window. What
// was found before a failure (a budget that is not a number) is still
// returned, with the failure.
std::vector<_Found> _check_all(const bj::object& budgets, const std::string& tag, std::exception_ptr& failed) {
    std::vector<_Found> found;
    try {
        // Each window asks for the connection again: it must stay the one
        // the transaction is on.
        db::FileLookupsOnce once;
        auto conn = _conn();
        db::Transaction reading(conn);
        for (const auto& w : WINDOWS)
            if (auto f = _check_window(budgets, w)) found.push_back(std::move(*f));
        if (auto f = _check_tag(budgets, tag)) found.push_back(std::move(*f));
        reading.commit();
    } catch (...) {
        failed = std::current_exception();
    }
    return found;
}

}  // namespace

db::Conn _conn() { return db::connection(DB_PATH); }

void init_alerts_table() {
    auto conn = _conn();
    conn.exec(CREATE_ALERTS);
}

double _get_spend(double hours, const std::optional<std::string>& tag) {
    auto conn = _conn();
    return db::spend_since(conn, db::now() - hours * HOUR_SECONDS, tag);
}

void check_budgets(const std::optional<std::string>& tag) {
    auto cfg = config::load_shared();
    const bj::object& budgets = json::table(*cfg, "budgets");
    std::exception_ptr failed;
    for (const _Found& f : _check_all(budgets, tag && !tag->empty() ? *tag : "default", failed))
        _record_alert(f.level, f.scope, f.spent, f.budget, f.message);
    if (failed) std::rethrow_exception(failed);
}

void _record_alert(const std::string& level, const std::string& scope, double spent, double budget,
                   const std::string& message) {
    init_alerts_table();
    double now = db::now();
    {
        auto conn = _conn();
        // IMMEDIATE takes the write lock before the duplicate check, so two
        // proxy workers crossing a budget together store one alert, not two.
        db::WriteLock writing;
        SQLite::Transaction tx(conn, SQLite::TransactionBehavior::IMMEDIATE);
        SQLite::Statement recent(conn, RECENT_SAME_SCOPE);
        recent.bind(1, scope);
        recent.bind(2, now - HOUR_SECONDS);
        if (recent.executeStep()) return;
        SQLite::Statement insert(conn, INSERT_ALERT);
        insert.bind(1, now);
        insert.bind(2, level);
        insert.bind(3, scope);
        insert.bind(4, spent);
        insert.bind(5, budget);
        insert.bind(6, message);
        insert.exec();
        tx.commit();
    }
    const char* colour = level == "warn" ? YELLOW : RED;
    _log()->warn("{}⚠ BUDGET ALERT [{}] {}{}", colour, scope, message, RESET);
}

bj::array get_recent_alerts(std::int64_t n) {
    init_alerts_table();
    auto conn = _conn();
    SQLite::Statement q(conn, "SELECT * FROM alerts ORDER BY ts DESC LIMIT ?");
    q.bind(1, n);
    return db::all_records(q);
}

bj::array get_unseen_alerts() {
    init_alerts_table();
    auto conn = _conn();
    db::WriteLock writing;
    SQLite::Transaction tx(conn);
    bj::array rows;
    {
        SQLite::Statement q(conn, "SELECT * FROM alerts WHERE seen = 0 ORDER BY ts DESC");
        rows = db::all_records(q);
    }
    conn.exec("UPDATE alerts SET seen = 1 WHERE seen = 0");
    tx.commit();
    return rows;
}

}  // namespace tokentally::alerts

extern "C" __attribute__((visibility("default"))) int tokentally_alerts_check_budgets(const char* tag) {
    // Exceptions must not cross the C boundary into the ledger.
    try {
        std::optional<std::string> t;
        if (tag != nullptr) t = tag;
        tokentally::alerts::check_budgets(t);
        return 0;
    } catch (...) {
        return 1;
    }
}
