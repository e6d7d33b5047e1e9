// The two window summaries of the ledger (per model and tag, per session and
// tag), aggregated outside SQL where that gives exactly SQLite's answer.
#pragma once

#include "tokentally/store/records.hpp"

#include <SQLiteCpp/SQLiteCpp.h>

#include <optional>
#include <string>
#include <vector>

namespace tokentally::store::sqlite {

enum class GroupBy { model, session };

// Descending by total cost as SQLite's ORDER BY total_cost DESC orders it:
// NULL below every number. Sorted stably, ties keep their order.
bool costlier(const GroupTotals& a, const GroupTotals& b);

// The groups of the calls with ts >= since (of one tag when given), highest
// total cost first, groups without cost last, ties in key order. Sessions
// carry their first and last call.
std::vector<GroupTotals> window_totals(SQLite::Database& conn, GroupBy by, double since,
                                       const std::optional<std::string>& tag);

}  // namespace tokentally::store::sqlite
