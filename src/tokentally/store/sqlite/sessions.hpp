// The sessions of `calls` in ledger.db (table `session_totals`): one row per
// session and tag over all its calls, folded together with the hourly
// rollups (rollups.cpp), under the same mark. A range's sessions are read
// from the rows of the sessions that began in it, which hold exactly the
// range's calls; the few that began before it (or have calls not folded
// yet) are summed from their calls. A page is the costliest few of each
// hour's sessions (table `session_top`), kept as the rows are folded.
// Nothing of them is kept in memory: a day of a session per call is
// millions of rows, and the page shows a few.
#pragma once

#include "tokentally/store/records.hpp"
#include "tokentally/store/sqlite/db.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tokentally::store::sqlite {

// Creates the table and its indexes when missing; true when it was missing
// (the calls already folded into the hourly rollups are then not in it).
bool create_session_totals(const Conn& conn);

// Forgets every row (the rollups start over).
void clear_session_totals(const Conn& conn);

// Adds `calls` (none of them folded yet, all after `mark`, the last call
// folded before) to the rows of their sessions.
void fold_session_calls(const Conn& conn, const std::vector<CallRow>& calls, std::int64_t mark);

// The sessions with a call at ts >= since, ordered as by_session orders them
// (costliest first, those without cost last, ties by session id and tag):
// the first `n` of one tag when given, and how many there are. `mark` is
// the last call folded in. Run inside one read transaction, so that all
// parts are of one snapshot.
SessionPage read_sessions(const Conn& conn, double since, std::int64_t mark, const std::optional<std::string>& tag,
                          std::int64_t n);

}  // namespace tokentally::store::sqlite
