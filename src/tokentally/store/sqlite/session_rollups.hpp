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
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tokentally::store::sqlite {

// A session's figures, or a group's while it is summed.
struct SessionSums {
    std::int64_t calls = 0;
    std::optional<std::int64_t> prompt, completion;
    std::optional<double> cost;
    std::int64_t latency_calls = 0;
    double latency_sum = 0.0;
    std::int64_t errors = 0;
    double first = 0.0, last = 0.0;
};

using SessionGroup = std::pair<std::optional<std::string>, std::optional<std::string>>;  // session, tag

// One of today's sessions kept in memory: its figures, and where the texts
// of its session id and tag lie in KeptSessions::keys.
struct KeptSession {
    SessionSums sums;
    std::size_t at = 0;
    std::uint32_t session_len = 0, tag_len = 0;
    bool has_session = false, has_tag = false;
};

// The sessions of a span of calls as one process last read them, kept
// between reads so that a read sums only the calls appended since (the
// dashboard asks every few seconds, and a proxy whose clients send no
// session id has a session per call): today's, and the range's partial
// first day from its first quarter hour. Held for one span [from, to), one
// epoch of the rollups (a fold that found edited or deleted calls, or
// started over, changes it), and the calls up to `upto`; anything else and
// the span is read again from the calls.
struct KeptSessions {
    std::mutex lock;
    double from = -1.0, to = -1.0;
    std::optional<std::int64_t> epoch;
    std::int64_t upto = 0;
    // Over `cap` sessions the span is not kept (about 160 bytes each) and is
    // read from the calls, as without it, until the span or epoch changes.
    std::size_t cap = 1'000'000;
    bool too_many = false;
    // The sessions in blocks of a few (a vector's spare room and copies as it
    // grows would cost as much as the sessions themselves), the texts of all
    // keys in one string: no allocation per session. `slots` finds a
    // session's place (open addressing on its key's hash; 0 is free, else
    // the hash's low half above the place + 1).
    std::deque<KeptSession> sums;
    std::string keys;
    std::vector<std::uint64_t> slots;
};

// The kept session of that session id and tag, added without calls when new.
KeptSession& keep_session(KeptSessions& today, std::optional<std::string_view> session,
                          std::optional<std::string_view> tag);

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
// calls: the first `n` of one tag when given. Today's calls come from `today`,
// and those of the range's partial first day from its first quarter hour from
// `first`, when the rollups are of `epoch` (none: unknown, or edits not yet
// folded).
// Run inside one read transaction, so all parts are of one snapshot.
struct SessionRead {
    double since;
    std::int64_t mark;
    std::optional<std::int64_t> epoch;
    std::optional<std::string> tag;
    std::optional<std::int64_t> n;
};
SessionPage read_session_rollups(const Conn& conn, const SessionRead& read, KeptSessions* today,
                                 KeptSessions* first = nullptr);

}  // namespace tokentally::store::sqlite
