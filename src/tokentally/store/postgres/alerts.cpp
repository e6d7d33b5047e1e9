// The `alerts` table of the shared ledger.
#include "tokentally/store/postgres/store.hpp"

namespace tokentally::store::postgres {

namespace {

constexpr const char* SELECT_ALERTS = "SELECT id, ts, level, scope, spent, budget, message, seen FROM alerts";

std::vector<AlertRow> _rows(const Result& r) {
    std::vector<AlertRow> rows;
    for (int i = 0; i < r.rows(); ++i)
        rows.push_back({r.integer(i, 0), r.real(i, 1), r.text(i, 2), r.text(i, 3), r.real(i, 4), r.real(i, 5),
                        r.text(i, 6), r.opt_integer(i, 7).value_or(0)});
    return rows;
}

// Proxies crossing the same budget at once queue on a lock of the scope
// until the first has stored its alert and committed.
constexpr const char* LOCK_SCOPE = "SELECT pg_advisory_xact_lock(hashtext('tokentally.alerts:' || $1))";

constexpr const char* RECENT_SAME_SCOPE = "SELECT 1 FROM alerts WHERE scope = $1 AND ts > $2 LIMIT 1";

constexpr const char* INSERT_ALERT = R"(INSERT INTO alerts (ts, level, scope, spent, budget, message)
VALUES ($1, $2, $3, $4, $5, $6))";

// The unseen alerts, marked seen by the same statement (so two readers never
// take one alert twice) and shown as they were.
constexpr const char* TAKE_UNSEEN = R"(WITH taken AS (
    UPDATE alerts SET seen = 1 WHERE seen = 0
    RETURNING id, ts, level, scope, spent, budget, message)
SELECT id, ts, level, scope, spent, budget, message, 0 FROM taken ORDER BY ts DESC, id DESC)";

}  // namespace

std::optional<double> PgAlerts::insert_unless_raised_since(const Alert& alert, double since) {
    return with_schema(db_, [&](Session& s) -> std::optional<double> {
        s.command("BEGIN");
        s.exec(LOCK_SCOPE, {param(alert.scope)});
        if (s.exec(RECENT_SAME_SCOPE, {param(alert.scope), param(since)}).rows() > 0) {
            s.command("COMMIT");
            return std::nullopt;
        }
        double ts = now();
        s.exec(INSERT_ALERT, {param(ts), param(alert.level), param(alert.scope), param(alert.spent),
                              param(alert.budget), param(alert.message)});
        s.command("COMMIT");
        return ts;
    });
}

std::vector<AlertRow> PgAlerts::latest(std::int64_t n) {
    return with_schema(db_, [&](Session& s) {
        return _rows(s.exec(std::string(SELECT_ALERTS) + " ORDER BY ts DESC, id DESC LIMIT $1", {param(n)}));
    });
}

std::vector<AlertRow> PgAlerts::take_unseen() {
    return with_schema(db_, [&](Session& s) { return _rows(s.exec(TAKE_UNSEEN)); });
}

}  // namespace tokentally::store::postgres
