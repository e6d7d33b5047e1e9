// The per-session rollups of `calls` in ledger.db (table `session_rollups`):
// per session and tag, by UTC hour and by UTC day. They are folded together
// with the hourly rollups (rollups.cpp), under the same mark and triggers, so
// a range's sessions are read from a few rows per session instead of every
// call: the whole days of the range from the daily rows, the whole hours
// before its first whole day from the hourly ones, and only the range's
// partial first hour and the calls after the mark from `calls`.
#pragma once

#include "tokentally/store/records.hpp"
#include "tokentally/store/sqlite/db.hpp"

#include <cstdint>
#include <set>
#include <vector>

namespace tokentally::store::sqlite {

// Creates the table when missing; true when it was missing (the calls
// already folded into the hourly rollups are then not in it).
bool create_session_rollups(const Conn& conn);

// Adds `calls` (none of them folded yet) to the stored rows.
void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls);

// Forgets every stored row (the rollups start over).
void clear_session_rollups(const Conn& conn);

// Sums the days holding the times `stale` again from the calls up to `mark`.
void redo_session_days(const Conn& conn, const std::set<double>& stale, std::int64_t mark);

// The calls with ts >= since per session and tag, ordered as by_session
// orders them, from the stored rows (holding the calls up to `mark`) and the
// calls. Run inside one read transaction, so both are of one snapshot.
std::vector<GroupTotals> read_session_rollups(const Conn& conn, double since, std::int64_t mark);

}  // namespace tokentally::store::sqlite
