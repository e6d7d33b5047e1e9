// The spend of a serving process, kept in memory: the priced calls of the
// longest budget or alert window (a calendar month), of each tag's last day
// and of each client key's month, per minute, so that what is kept grows
// with time and the number of tags and keys, not with the calls. Loaded from the ledger on first use, told of
// every commit of this process's writer, and brought up to date before each
// read from the store's one change signal: calls appended by anyone are read
// and added; an update or deletion of calls by anyone, or a ledger made
// afresh, makes it read the ledger again. The budget block and the alert
// checks read their windows here instead of summing the ledger on every
// call, and in strict mode calls in flight hold their worst-case cost here
// until their row commits.
//
// Windows are rolling and include their boundary (ts >= since), as the
// ledger's own sums are: a window's partial first minute is summed from its
// calls one by one. Every function is safe to call from any thread.
#pragma once

#include "tokentally/ledger/ledger.hpp"
#include "tokentally/store/store.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tokentally::spend_state {

// The longest window kept, in seconds: a calendar month of 31 days and the
// hour a clock change may add (the monthly alert, a key's monthly budget;
// the rolling month is 720 hours). The longest window of one tag: a day,
// which a clock change may make 25 hours long. A key's windows are kept as
// long as all calls'.
inline constexpr double HORIZON_SECONDS = (31 * 24 + 1) * 3600.0;
inline constexpr double TAG_HORIZON_SECONDS = 25 * 3600.0;

struct State;

// The time memory's horizons are counted back from (wall-clock seconds).
using Clock = std::function<double()>;

// The spend of the calls in `store`; reads nothing until first asked.
std::shared_ptr<State> make(std::shared_ptr<store::Store> store, Clock clock = store::now);

// The priced spend of each window, as store::Calls::spend_since answers it
// (a window longer than memory holds is summed by the store). Throws what
// the store throws when it has to catch up.
std::vector<double> spend_since(State& state, std::span<const store::SpendWindow> windows);

// The ledger listener that tells `state` of every commit (committed below).
ledger::Listener listener(std::shared_ptr<State> state);

// What this process's writer committed: taken in as it is when it follows
// the calls in memory, else the state catches up with the ledger. Throws
// what the store throws then.
void committed(State& state, std::span<const store::Committed> batch);

// --- strict budgets ----------------------------------------------------------

// Where a window stands: its spend, and what calls in flight hold in it
// (all of them for a window of every tag, that tag's for a tag's window,
// that key's for a key's).
struct Standing {
    double spent = 0.0;
    double held = 0.0;
};

// The worst-case cost of one call in flight, held until the holder goes
// (after its row committed, or when the call failed). Moves, never copies.
class Hold {
public:
    Hold() = default;
    Hold(std::shared_ptr<State> state, std::string tag, std::optional<std::string> key, double cost);
    Hold(Hold&& other) noexcept;
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold();
    // Gives the held cost back now (once; later calls and the destructor do
    // nothing). Safe from another thread than the owner's, as long as the
    // owner's later use is ordered after it.
    void release() noexcept { _release(); }

private:
    void _release() noexcept;
    std::shared_ptr<State> state_;
    std::string tag_;
    std::optional<std::string> key_;
    double cost_ = 0.0;
};

// Under one lock, so that concurrent calls cannot all pass on the same
// figures: reads where each window stands, asks `admit`, and when it says
// yes holds `cost` for a call of `tag` made with client key `key` (nothing
// is held for a cost of 0). None when `admit` said no. A window longer than
// memory holds has its spend summed by the store first.
std::optional<Hold> hold_if(const std::shared_ptr<State>& state, std::span<const store::SpendWindow> windows,
                            const std::string& tag, const std::optional<std::string>& key, double cost,
                            const std::function<bool(std::span<const Standing>)>& admit);
// The same for a call made without a client key.
std::optional<Hold> hold_if(const std::shared_ptr<State>& state, std::span<const store::SpendWindow> windows,
                            const std::string& tag, double cost,
                            const std::function<bool(std::span<const Standing>)>& admit);

}  // namespace tokentally::spend_state
