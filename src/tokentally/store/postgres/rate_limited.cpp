// The `rate_limited` table of the shared ledger: every serving process adds
// its refusals to the same minutes.
#include "tokentally/store/postgres/store.hpp"

#include <cmath>

namespace tokentally::store::postgres {

namespace {

constexpr const char* ADD_COUNTS = R"(INSERT INTO rate_limited (minute, scope, limit_name, calls)
SELECT * FROM unnest($1::float8[], $2::text[], $3::text[], $4::bigint[])
ON CONFLICT (minute, scope, limit_name) DO UPDATE SET calls = rate_limited.calls + excluded.calls)";

constexpr const char* COUNTS_SINCE = R"(SELECT scope, limit_name, sum(calls)::bigint FROM rate_limited
WHERE minute >= $1 GROUP BY scope, limit_name ORDER BY scope COLLATE "C", limit_name COLLATE "C")";

}  // namespace

void PgCalls::add_rate_limited(std::span<const RateLimited> counts) {
    if (counts.empty()) return;
    std::vector<std::vector<std::optional<std::string>>> cols(4);
    for (const RateLimited& c : counts) {
        cols[0].push_back(param(c.minute).value);
        cols[1].push_back(c.scope);
        cols[2].push_back(c.limit);
        cols[3].push_back(param(c.calls).value);
    }
    std::vector<Param> params;
    for (const auto& c : cols) params.push_back(array(c));
    with_schema(db_, [&](Session& s) { return s.exec(ADD_COUNTS, params).rows(); });
}

std::vector<RateLimited> PgCalls::rate_limited_since(double since) {
    // No ledger yet: nothing was refused, and reading creates nothing.
    return without_ledger(db_, std::vector<RateLimited>{}, [&](Session& s) {
        Result r = s.exec(COUNTS_SINCE, {param(std::floor(since / 60.0) * 60.0)});
        std::vector<RateLimited> out;
        for (int i = 0; i < r.rows(); ++i) out.push_back({0.0, r.text(i, 0), r.text(i, 1), r.integer(i, 2)});
        return out;
    });
}

}  // namespace tokentally::store::postgres
