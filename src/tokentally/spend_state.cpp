#include "tokentally/spend_state.hpp"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

namespace tokentally::spend_state {

namespace {

// A window of this many calls or fewer is summed call by call in time
// order, as the ledger's SUM adds them, so small figures come out to the
// last bit; a longer one is the difference of two running totals, off by
// rounding at the size of the totals (about 1e-12 of a dollar).
constexpr std::size_t SUMMED_CALLS = 64;

// Calls are kept this much longer than the horizon.
constexpr double PRUNE_SLACK_SECONDS = 60.0;

// Thread-local marks are kept for at most this many states per thread.
constexpr std::size_t MAX_MARKS = 64;

struct _Point {
    double ts;
    double cost;
    double running;  // the series' total up to and including this call
};

// The priced calls of every tag, or of one, in time order (calls of the
// same time in the order they came), each with its running total.
struct _Series {
    std::deque<_Point> points;
    double base = 0.0;  // the running total before the first point kept
    // Points from here on came with an earlier time than one before them,
    // and wait for `settle` to be put in place: only rows copied in from
    // elsewhere do this, often many in one read (an import), and each put
    // in place as it came would move every point after it.
    std::size_t sorted = 0;

    double running_before(std::size_t i) const { return i == 0 ? base : points[i - 1].running; }

    static bool _earlier(const _Point& a, const _Point& b) { return a.ts < b.ts; }

    void add(double ts, double cost) {
        bool in_order = sorted == points.size() && (points.empty() || points.back().ts <= ts);
        points.push_back({ts, cost, in_order ? running_before(points.size()) + cost : 0.0});
        if (in_order) sorted = points.size();
    }

    // Puts the points that came out of time order in their place (after
    // those of the same time that came before them) and sums the running
    // totals again from the first one moved.
    void settle() {
        if (sorted == points.size()) return;
        auto mid = points.begin() + static_cast<std::ptrdiff_t>(sorted);
        std::stable_sort(mid, points.end(), _earlier);
        auto first_moved = std::upper_bound(points.begin(), mid, *mid, _earlier);
        std::size_t from = static_cast<std::size_t>(first_moved - points.begin());
        std::inplace_merge(points.begin(), mid, points.end(), _earlier);
        for (std::size_t k = from; k < points.size(); ++k) points[k].running = running_before(k) + points[k].cost;
        sorted = points.size();
    }

    double since(double t) const {
        auto at = std::lower_bound(points.begin(), points.end(), t,
                                   [](const _Point& p, double v) { return p.ts < v; });
        std::size_t i = static_cast<std::size_t>(at - points.begin());
        if (points.size() - i > SUMMED_CALLS) return points.back().running - running_before(i);
        double sum = 0.0;
        for (; at != points.end(); ++at) sum += at->cost;
        return sum;
    }

    void prune(double before) {
        while (!points.empty() && points.front().ts < before) {
            base = points.front().running;
            points.pop_front();
            --sorted;
        }
    }
};

// What calls in flight hold, and how many holds make it up (the sum goes
// back to exactly 0 with the last one, leaving no rounding behind).
struct _Held {
    double cost = 0.0;
    std::size_t holds = 0;

    void add(double c) {
        cost += c;
        ++holds;
    }
    void remove(double c) {
        cost = --holds == 0 ? 0.0 : cost - c;
    }
};

std::atomic<std::uint64_t> _serials{0};

}  // namespace

struct State {
    std::shared_ptr<store::Store> store;
    // Tells the thread-local write marks of different states apart.
    const std::uint64_t serial = ++_serials;

    std::mutex mu;
    bool loaded = false;
    std::uint64_t generation = 0;
    std::int64_t applied = 0;  // every call up to this id is in memory
    double kept_from = 0.0;    // calls from this time on are
    double tags_kept_from = 0.0;  // in the series of their tag too
    _Series all;
    std::map<std::string, _Series, std::less<>> tags;
    _Held held_all;
    std::map<std::string, _Held, std::less<>> held_tags;
};

namespace {

// --- what this thread last saw of the ledger ---------------------------------

struct _Mark {
    std::uint64_t serial;
    std::uint64_t mark;
};

thread_local std::vector<_Mark> _marks;

bool _seen_before(const State& s, std::uint64_t mark) {
    for (const _Mark& m : _marks)
        if (m.serial == s.serial) return m.mark == mark;
    return false;
}

void _remember(const State& s, std::uint64_t mark) {
    for (_Mark& m : _marks)
        if (m.serial == s.serial) {
            m.mark = mark;
            return;
        }
    if (_marks.size() >= MAX_MARKS) _marks.clear();  // states long gone; at worst one catch-up more
    _marks.push_back({s.serial, mark});
}

// --- the calls in memory (under the state's lock) -----------------------------

void _add(State& s, double ts, const std::string& tag, double cost) {
    if (ts >= s.kept_from) s.all.add(ts, cost);
    if (ts >= s.tags_kept_from) s.tags[tag].add(ts, cost);
}

void _settle(State& s) {
    s.all.settle();
    for (auto& [tag, series] : s.tags) series.settle();
}

void _prune(State& s, double now) {
    double before = now - HORIZON_SECONDS - PRUNE_SLACK_SECONDS;
    if (before > s.kept_from) {
        s.kept_from = before;
        s.all.prune(before);
    }
    double tags_before = now - TAG_HORIZON_SECONDS - PRUNE_SLACK_SECONDS;
    if (tags_before <= s.tags_kept_from) return;
    s.tags_kept_from = tags_before;
    for (auto it = s.tags.begin(); it != s.tags.end();) {
        it->second.prune(tags_before);
        it = it->second.points.empty() ? s.tags.erase(it) : std::next(it);
    }
}

void _replace(State& s, const store::PricedCalls& got, double now) {
    s.all = {};
    s.tags.clear();
    s.kept_from = now - HORIZON_SECONDS - PRUNE_SLACK_SECONDS;
    s.tags_kept_from = now - TAG_HORIZON_SECONDS - PRUNE_SLACK_SECONDS;
    for (const auto& row : got.rows) _add(s, row.ts, row.tag, row.cost_usd);
    _settle(s);
    s.loaded = true;
    s.generation = got.generation;
    s.applied = got.last_id;
}

// The calls of `got` not yet in memory. False when `got` was read from
// another ledger than the one in memory (replaced meanwhile).
bool _take(State& s, const store::PricedCalls& got) {
    if (!s.loaded || got.generation != s.generation) return false;
    for (const auto& row : got.rows)
        if (row.id > s.applied) _add(s, row.ts, row.tag, row.cost_usd);
    _settle(s);
    s.applied = std::max(s.applied, got.last_id);
    return true;
}

// Reads what the ledger has beyond what memory holds: everything on first
// use and when the ledger was replaced or lost calls (ids start over), else
// the calls after the last id in memory. The store is read outside the
// lock; what two threads read at once is taken in once, by id.
void _catch_up(State& s) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_lock lock(s.mu);
        bool full = !s.loaded;
        std::int64_t after = full ? 0 : s.applied;
        std::uint64_t generation = s.generation;
        lock.unlock();

        double now = store::now();
        // A little more than the longest window: a caller may have taken
        // its windows' start a moment before this read.
        double since = now - HORIZON_SECONDS - PRUNE_SLACK_SECONDS;
        store::PricedCalls got = s.store->calls().priced_after(after, since);
        bool start_over = !full && (got.generation != generation || got.last_id < after);

        lock.lock();
        if (start_over) {
            s.loaded = false;
            continue;
        }
        if (full) {
            // Another thread may have loaded something newer meanwhile.
            if (!(s.loaded && s.generation == got.generation && s.applied >= got.last_id)) _replace(s, got, now);
            return;
        }
        if (_take(s, got)) {
            _prune(s, now);
            return;
        }
    }
    throw std::runtime_error("the ledger kept changing while its spend was read: " + s.store->location());
}

// Catches up when the ledger may have changed since this thread last looked.
void _refresh(State& s) {
    std::uint64_t mark = s.store->calls().write_mark();
    if (_seen_before(s, mark)) {
        std::lock_guard lock(s.mu);
        if (s.loaded) return;
    }
    _catch_up(s);
    _remember(s, mark);
}

// This process's own batch, when it follows the calls in memory: ids are
// given in the order of the commits, so a batch whose first id comes right
// after the last one in memory was preceded by nobody's calls. Anything
// else (a gap: someone else's calls in between; an id already in memory: a
// catch-up read the batch first, or the ledger was replaced and its ids
// started over) is left to a catch-up, which tells these apart.
bool _take_batch(State& s, std::span<const store::Committed> batch) {
    std::lock_guard lock(s.mu);
    if (!s.loaded || batch.front().at.id != s.applied + 1) return false;
    for (const store::Committed& c : batch) {
        if (c.rec->cost_usd) _add(s, c.at.ts, c.rec->tag, *c.rec->cost_usd);
        s.applied = std::max(s.applied, c.at.id);
    }
    _settle(s);
    _prune(s, store::now());
    return true;
}

double _spent(const State& s, const store::SpendWindow& w) {
    if (!w.tag || w.tag->empty()) return s.all.since(w.since);
    auto it = s.tags.find(*w.tag);
    return it == s.tags.end() ? 0.0 : it->second.since(w.since);
}

double _held(const State& s, const store::SpendWindow& w) {
    if (!w.tag || w.tag->empty()) return s.held_all.cost;
    auto it = s.held_tags.find(*w.tag);
    return it == s.held_tags.end() ? 0.0 : it->second.cost;
}

// True when every window starts where memory holds the calls.
bool _in_memory(const State& s, std::span<const store::SpendWindow> windows) {
    return std::all_of(windows.begin(), windows.end(), [&](const store::SpendWindow& w) {
        return w.since >= (w.tag && !w.tag->empty() ? s.tags_kept_from : s.kept_from);
    });
}

}  // namespace

std::shared_ptr<State> make(std::shared_ptr<store::Store> store) {
    auto state = std::make_shared<State>();
    state->store = std::move(store);
    return state;
}

std::vector<double> spend_since(State& s, std::span<const store::SpendWindow> windows) {
    _refresh(s);
    return spend_in_memory(s, windows);
}

std::vector<double> spend_in_memory(State& s, std::span<const store::SpendWindow> windows) {
    bool loaded;
    {
        std::lock_guard lock(s.mu);
        loaded = s.loaded;
    }
    if (!loaded) _catch_up(s);
    {
        std::lock_guard lock(s.mu);
        if (_in_memory(s, windows)) {
            std::vector<double> spent;
            spent.reserve(windows.size());
            for (const auto& w : windows) spent.push_back(_spent(s, w));
            return spent;
        }
    }
    // A window longer than any budget's: the ledger sums it.
    return s.store->calls().spend_since(windows);
}

void committed(State& s, std::span<const store::Committed> batch) {
    if (batch.empty()) return;
    try {
        if (!_take_batch(s, batch)) _catch_up(s);
    } catch (...) {
        std::lock_guard lock(s.mu);
        s.loaded = false;
        throw;
    }
}

// --- strict budgets ----------------------------------------------------------

Hold::Hold(std::shared_ptr<State> state, std::string tag, double cost)
    : state_(std::move(state)), tag_(std::move(tag)), cost_(cost) {}

Hold::Hold(Hold&& other) noexcept
    : state_(std::move(other.state_)), tag_(std::move(other.tag_)), cost_(other.cost_) {}

Hold& Hold::operator=(Hold&& other) noexcept {
    if (this != &other) {
        _release();
        state_ = std::move(other.state_);
        tag_ = std::move(other.tag_);
        cost_ = other.cost_;
    }
    return *this;
}

Hold::~Hold() { _release(); }

void Hold::_release() noexcept {
    if (!state_) return;
    {
        std::lock_guard lock(state_->mu);
        state_->held_all.remove(cost_);
        auto it = state_->held_tags.find(tag_);
        if (it != state_->held_tags.end()) {
            it->second.remove(cost_);
            if (it->second.holds == 0) state_->held_tags.erase(it);
        }
    }
    state_.reset();
}

std::optional<Hold> hold_if(const std::shared_ptr<State>& state, std::span<const store::SpendWindow> windows,
                            const std::string& tag, double cost,
                            const std::function<bool(std::span<const Standing>)>& admit) {
    State& s = *state;
    _refresh(s);
    std::vector<Standing> standing(windows.size());
    std::lock_guard lock(s.mu);
    if (!_in_memory(s, windows)) throw std::invalid_argument("a window longer than the spend kept in memory");
    for (std::size_t i = 0; i < windows.size(); ++i) standing[i] = {_spent(s, windows[i]), _held(s, windows[i])};
    if (!admit(standing)) return std::nullopt;
    if (!(cost > 0)) return Hold();
    s.held_all.add(cost);
    s.held_tags[tag].add(cost);
    return Hold(state, tag, cost);
}

}  // namespace tokentally::spend_state
