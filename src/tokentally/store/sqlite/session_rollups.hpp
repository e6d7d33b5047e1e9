// The per-session rollups of `calls` in ledger.db (table `session_rollups`):
// per UTC day, session and tag, for the days that are over. They are folded
// together with the hourly rollups (rollups.cpp), under the same mark and
// triggers, so a range's sessions are read from one row per session and day
// instead of every call: the range's whole past days from the rows, its
// partial first day, today and the calls after the mark from `calls`.
//
// A day is folded once, after it ended, in one transaction: a proxy whose
// clients send no session id has a session per call, and adding each of them
// to a row as it comes would cost a random index write per call all day,
// more than the page's reading of the day's calls saves.
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

// Adds those of `calls` (none of them folded yet) of the days already
// folded to the stored rows.
void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls);

// True when a day that is over is not folded yet.
bool session_days_behind(const Conn& conn);
// Folds the next day not folded yet, its calls up to `mark`.
void fold_session_day(const Conn& conn, std::int64_t mark);

// Forgets every stored row (the rollups start over).
void clear_session_rollups(const Conn& conn);

// Sums the days holding the times `stale` again from the calls up to `mark`.
void redo_session_days(const Conn& conn, const std::set<double>& stale, std::int64_t mark);

// The calls with ts >= since per session and tag, ordered as by_session
// orders them, from the stored rows (holding the calls up to `mark`) and the
// calls. Run inside one read transaction, so both are of one snapshot.
std::vector<GroupTotals> read_session_rollups(const Conn& conn, double since, std::int64_t mark);

}  // namespace tokentally::store::sqlite
