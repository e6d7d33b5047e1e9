// Rate limits that stop a runaway agent before a dollar budget would:
// requests per minute, tokens per minute and calls in flight, for each tag
// (`[limits]`, overridden per tag under `[limits.tags.<tag>]`) and for each
// client key with a `[limits.keys.<name>]` table, in addition to its call's
// tag limits. A table under `tags` or `keys` overrides only the limits it
// names; the rest come from `[limits]`; 0 is no limit.
//
// The windows are this process's own, in memory, sliding over the last 60
// seconds in steps of one second: they are not shared with other processes
// on the same ledger. What is kept is bounded: a tag is tracked only while
// limits apply to it, at most MAX_TRACKED_TAGS of them at once (the calls of
// further tags share one window, as "other"), and a window with nothing in
// it and no call in flight is dropped.
//
// Refused calls leave no row in the ledger; their counts per minute, scope
// and limit are written beside it every few seconds, so that the dashboards
// and `summary` can tell how many there were.
#pragma once

#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tokentally::limits {

inline constexpr int WINDOW_SECONDS = 60;
inline constexpr std::size_t MAX_TRACKED_TAGS = 1000;
// The scope of the window that tags beyond MAX_TRACKED_TAGS share.
inline constexpr std::string_view OTHER_TAGS = "tag:other";
// How long refusal counts wait in memory before they are written.
inline constexpr double FLUSH_SECONDS = 5.0;

// Seconds from any origin, never going back: what the windows are counted
// on. Tests give a clock they move by hand.
using Clock = std::function<double()>;
double monotonic_seconds();

struct State;
struct Window;

// The limits of one process. Refusal counts go to `store` (none: they are
// only counted in memory). Reads no setting until first asked.
std::shared_ptr<State> make(std::shared_ptr<store::Store> store, Clock clock = monotonic_seconds);

// True when `[limits]` of `cfg` sets any limit above 0, for a tag or a key.
// Throws as admit() does for a table that cannot be read.
bool configured(const boost::json::object& cfg);

// Why a call was refused.
struct Refusal {
    std::string scope;               // "tag:<tag>", "tag:other" or "key:<name>"
    std::string limit;               // "rpm", "tpm" or "max_parallel"
    std::string message;             // "Tag [t] rpm limit reached: ..."
    int retry_after = 1;             // whole seconds until the window lets one more call through, 1 to 60
    std::optional<std::string> key;  // the client key whose limit refused the call
};

// A call that passed the limits: it counts as in flight until released,
// and as one of its window's requests unless cancelled. Released when it
// goes, at the latest.
class Slot {
public:
    Slot(std::shared_ptr<State> state, Window* tag_window, Window* key_window, std::int64_t second);
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot();
    // The call has ended (its row is written, or it failed): no longer in flight.
    void release() noexcept;
    // The call was refused after all (by a budget): it neither counts as a
    // request nor is in flight.
    void cancel() noexcept;

private:
    void _end(bool uncount) noexcept;
    std::shared_ptr<State> state_;
    Window* tag_window_;  // none when no limit of its kind applied
    Window* key_window_;
    std::int64_t second_;
};

struct Admission {
    std::optional<Refusal> refusal;
    std::shared_ptr<Slot> slot;  // none when refused or when no limit applies
};

// The limits of a call of `tag` made with client key `key` (none without
// client keys), as the configuration says now: the tag's first, then the
// key's; within each rpm, tpm, max_parallel. A call that passes counts
// in its windows; a refused one does not, and its refusal is counted.
// Throws, naming the setting, for a limit that is not a number of 0 or more;
// a configuration that cannot be read at all applies no limit (the budget
// check reports it). `cfg` is the configuration the call read, else it is
// read here.
Admission admit(const std::shared_ptr<State>& state, const std::string& tag, const std::optional<std::string>& key,
                std::shared_ptr<const boost::json::object> cfg = nullptr);

// The tokens (prompt and completion) of this process's committed calls,
// added to the windows of their tag and key.
void committed(State& state, std::span<const store::Committed> batch);

// Writes the refusal counts still in memory to the store now.
void flush(State& state);

}  // namespace tokentally::limits
