#include "tokentally/guards/spend_state.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

namespace tokentally::spend_state {

namespace {

// Calls are kept per minute: what memory holds grows with time and with
// the number of tags, never with the number of calls.
constexpr double BUCKET_SECONDS = 60.0;

// The latest calls of each series are kept one by one as well: a window of
// this many calls or fewer is summed call by call in time order, as the
// ledger's SUM adds them, so small figures come out to the last bit. A
// longer one is the difference of two running totals, off by rounding at
// the size of the totals (about 1e-12 of a dollar).
constexpr std::size_t LATEST_CALLS = 64;

// Calls are read and kept this much longer than the horizon: a caller may
// have taken its windows' start a moment before a read.
constexpr double SLACK_SECONDS = 120.0;

// The minutes windows start in, with their calls one by one, kept at most.
constexpr std::size_t MAX_EDGES = 8;

// Tries of a catch-up that others' commits keep overtaking.
constexpr int CATCH_UP_TRIES = 3;

std::int64_t _bucket_of(double ts) { return static_cast<std::int64_t>(std::floor(ts / BUCKET_SECONDS)); }

struct Bucket {
    std::int64_t index = 0;
    double cost = 0.0;
    std::int64_t calls = 0;
    double running = 0.0;  // the series' cost up to and including this minute
    std::int64_t running_calls = 0;
};

struct Call {
    double ts;
    double cost;
};

// The priced calls of every tag, or of one: per minute with running
// totals, and the latest LATEST_CALLS one by one.
struct Series {
    std::deque<Bucket> buckets;  // in minute order
    double base = 0.0;           // the running totals before the first minute kept
    std::int64_t base_calls = 0;
    std::size_t settled = 0;  // minutes before this one have their running totals right
    std::deque<Call> latest;  // by time, calls of one time in the order they came

    void add(double ts, double cost) {
        std::int64_t index = _bucket_of(ts);
        auto at = std::lower_bound(buckets.begin(), buckets.end(), index,
                                   [](const Bucket& b, std::int64_t i) { return b.index < i; });
        auto pos = static_cast<std::size_t>(at - buckets.begin());
        if (at == buckets.end() || at->index != index) at = buckets.insert(at, Bucket{index});
        at->cost += cost;
        ++at->calls;
        settled = std::min(settled, pos);
        _keep_latest(ts, cost);
    }

    void _keep_latest(double ts, double cost) {
        if (latest.size() >= LATEST_CALLS && ts < latest.front().ts) return;
        auto at = std::upper_bound(latest.begin(), latest.end(), ts, [](double t, const Call& c) { return t < c.ts; });
        latest.insert(at, Call{ts, cost});
        if (latest.size() > LATEST_CALLS) latest.pop_front();
    }

    // The running totals of the minutes added out of order, summed again.
    void settle() {
        for (std::size_t k = settled; k < buckets.size(); ++k) {
            buckets[k].running = (k == 0 ? base : buckets[k - 1].running) + buckets[k].cost;
            buckets[k].running_calls = (k == 0 ? base_calls : buckets[k - 1].running_calls) + buckets[k].calls;
        }
        settled = buckets.size();
    }

    // The cost and calls of the minutes after `index`.
    std::pair<double, std::int64_t> after(std::int64_t index) const {
        assert(settled == buckets.size());
        if (buckets.empty()) return {0.0, 0};
        auto at = std::upper_bound(buckets.begin(), buckets.end(), index,
                                   [](std::int64_t i, const Bucket& b) { return i < b.index; });
        if (at == buckets.end()) return {0.0, 0};
        double before = at == buckets.begin() ? base : std::prev(at)->running;
        std::int64_t before_calls = at == buckets.begin() ? base_calls : std::prev(at)->running_calls;
        return {buckets.back().running - before, buckets.back().running_calls - before_calls};
    }

    std::int64_t calls_in(std::int64_t index) const {
        auto at = std::lower_bound(buckets.begin(), buckets.end(), index,
                                   [](const Bucket& b, std::int64_t i) { return b.index < i; });
        return at != buckets.end() && at->index == index ? at->calls : 0;
    }

    // The latest calls from `since` on, added one by one in time order.
    double latest_since(double since) const {
        double sum = 0.0;
        auto at =
            std::lower_bound(latest.begin(), latest.end(), since, [](const Call& c, double t) { return c.ts < t; });
        for (; at != latest.end(); ++at) sum += at->cost;
        return sum;
    }

    // Forgets the minutes before `index`.
    void prune(std::int64_t index) {
        assert(settled == buckets.size());
        while (!buckets.empty() && buckets.front().index < index) {
            base = buckets.front().running;
            base_calls = buckets.front().running_calls;
            buckets.pop_front();
        }
        settled = buckets.size();
        while (!latest.empty() && _bucket_of(latest.front().ts) < index) latest.pop_front();
    }

    bool empty() const { return buckets.empty() && latest.empty(); }
};

// The calls of the minute a window starts in, one by one, as the ledger
// held them when first asked: a window's partial first minute is summed
// from them.
struct Edge {
    std::int64_t index = 0;
    std::vector<store::PricedCall> calls;  // in time order
    std::uint64_t used = 0;
};

// What calls in flight hold, and how many holds make it up (the sum goes
// back to exactly 0 with the last one, leaving no rounding behind).
struct Held {
    double cost = 0.0;
    std::size_t holds = 0;

    void add(double c) {
        cost += c;
        ++holds;
    }
    void remove(double c) { cost = --holds == 0 ? 0.0 : cost - c; }
};

// The calls of one read, as they go into memory.
struct SeriesSet {
    Series all;
    std::unordered_map<std::string, Series> tags;
    std::unordered_map<std::string, Series> keys;  // calls made with a client key, by its name
};

}  // namespace

struct State {
    std::shared_ptr<store::Store> store;
    Clock clock;

    std::mutex reload;  // one full read at a time
    std::mutex mu;      // everything below
    bool loaded = false;
    store::Changes seen;              // where the calls in memory stand
    std::int64_t kept_from = 0;       // the first minute whose calls are all in memory
    std::int64_t tags_kept_from = 0;  // the same for the series of each tag
    SeriesSet series;
    std::vector<Edge> edges;
    std::uint64_t uses = 0;
    Held held_all;
    std::map<std::string, Held, std::less<>> held_tags;
    std::map<std::string, Held, std::less<>> held_keys;
};

namespace {

// --- the calls in memory (under the state's lock) -----------------------------

// A call of the all-calls horizon: a key's series keeps as long.
void _add(SeriesSet& set, std::int64_t tags_from, const store::PricedCall& c) {
    set.all.add(c.ts, c.cost_usd);
    if (_bucket_of(c.ts) >= tags_from) set.tags[c.tag].add(c.ts, c.cost_usd);
    if (!c.key.empty()) set.keys[c.key].add(c.ts, c.cost_usd);
}

void _settle(SeriesSet& set) {
    set.all.settle();
    for (auto& [tag, series] : set.tags) series.settle();
    for (auto& [key, series] : set.keys) series.settle();
}

// Forgets the minutes of every series of `named` before `index`, and the
// series left empty.
void _prune_named(std::unordered_map<std::string, Series>& named, std::int64_t index) {
    for (auto it = named.begin(); it != named.end();) {
        it->second.prune(index);
        it = it->second.empty() ? named.erase(it) : std::next(it);
    }
}

// A call added to a minute whose calls were taken one by one: they are read again.
void _forget_edge(State& s, double ts) {
    std::erase_if(s.edges, [i = _bucket_of(ts)](const Edge& e) { return e.index == i; });
}

std::pair<std::int64_t, std::int64_t> _horizons(double now) {
    return {_bucket_of(now - HORIZON_SECONDS - SLACK_SECONDS) + 1,
            _bucket_of(now - TAG_HORIZON_SECONDS - SLACK_SECONDS) + 1};
}

void _prune(State& s, double now) {
    auto [from, tags_from] = _horizons(now);
    if (from > s.kept_from) {
        s.kept_from = from;
        s.series.all.prune(from);
        _prune_named(s.series.keys, from);
    }
    if (tags_from <= s.tags_kept_from) return;
    s.tags_kept_from = tags_from;
    _prune_named(s.series.tags, tags_from);
}

// Whether memory already holds every call of the ledger as `now` saw it.
// Its last id may be behind memory's: this process's own batches are added
// right after their commit, and a look taken on another thread just before
// that commit sees the ledger without them. Reading everything again for
// that (as an id that went backwards once did) cost a full read of the
// horizon many times a second under load, a read that grows with the ledger.
// Same file and same count of edits: the two looks differ by appends only.
bool _same_ledger(const State& s, const store::Changes& now) {
    return s.loaded && now.generation == s.seen.generation && now.edits == s.seen.edits;
}

bool _current(const State& s, const store::Changes& now) {
    return _same_ledger(s, now) && now.last_id <= s.seen.last_id;
}

// Reads every priced call of the horizon afresh: on first use, and when the
// ledger was made afresh, lost calls or had calls edited or deleted. One
// reader at a time; the others wait for it and find the state loaded.
void _reload(State& s) {
    std::lock_guard one_at_a_time(s.reload);
    store::Changes changes = s.store->calls().changes();
    {
        std::lock_guard lock(s.mu);
        if (_current(s, changes)) return;
    }
    double now = s.clock();
    auto [from, tags_from] = _horizons(now);
    SeriesSet fresh;
    s.store->calls().each_priced(
        0, changes.last_id, static_cast<double>(from) * BUCKET_SECONDS,
        [&fresh, tags_from = tags_from](const store::PricedCall& c) { _add(fresh, tags_from, c); });
    _settle(fresh);
    std::lock_guard lock(s.mu);
    s.series = std::move(fresh);
    s.edges.clear();
    s.kept_from = from;
    s.tags_kept_from = tags_from;
    s.seen = changes;
    s.loaded = true;
}

// Whether what memory holds can be brought up to `now` by reading the calls
// appended since.
bool _appends_only(const State& s, const store::Changes& now) {
    return _same_ledger(s, now) && now.last_id >= s.seen.last_id;
}

// Brings memory up to the ledger as it stands: the calls appended since the
// last look are read and added; anything else and all is read afresh.
void _catch_up(State& s) {
    for (int attempt = 0; attempt < CATCH_UP_TRIES; ++attempt) {
        store::Changes changes = s.store->calls().changes();
        std::int64_t after = 0;
        {
            std::lock_guard lock(s.mu);
            if (_current(s, changes)) return;
            if (!_appends_only(s, changes))
                after = -1;
            else
                after = s.seen.last_id;
        }
        if (after < 0) {
            _reload(s);
            return;
        }
        double now = s.clock();
        std::vector<store::PricedCall> rows;
        s.store->calls().each_priced(after, changes.last_id, now - HORIZON_SECONDS - SLACK_SECONDS,
                                     [&](const store::PricedCall& c) { rows.push_back(c); });
        std::lock_guard lock(s.mu);
        // Another thread may have taken these calls in meanwhile; then look again.
        if (!_appends_only(s, changes) || s.seen.last_id != after) continue;
        for (const auto& c : rows) {
            if (_bucket_of(c.ts) < s.kept_from) continue;
            _add(s.series, s.tags_kept_from, c);
            _forget_edge(s, c.ts);
        }
        _settle(s.series);
        s.seen.last_id = changes.last_id;
        _prune(s, now);
        return;
    }
    _reload(s);
}

// This process's own batch, when it follows the calls in memory: ids are
// given in the order of the commits, so a batch whose first id comes right
// after the last one in memory was preceded by nobody's calls. Anything
// else is left to the next catch-up, which reads the ledger.
bool _take_batch(State& s, std::span<const store::Committed> batch) {
    std::lock_guard lock(s.mu);
    if (!s.loaded || batch.front().at.id != s.seen.last_id + 1) return false;
    for (const store::Committed& c : batch) {
        if (c.rec->cost_usd && _bucket_of(c.at.ts) >= s.kept_from) {
            _add(s.series, s.tags_kept_from, {c.at.id, c.at.ts, c.rec->tag, *c.rec->cost_usd, c.rec->key.value_or("")});
            _forget_edge(s, c.at.ts);
        }
        s.seen.last_id = std::max(s.seen.last_id, c.at.id);
    }
    _settle(s.series);
    _prune(s, s.clock());
    return true;
}

// The calls of minute `index`, read from the ledger the first time a window
// starts in it.
const Edge& _edge(State& s, std::int64_t index) {
    ++s.uses;
    for (Edge& e : s.edges)
        if (e.index == index) {
            e.used = s.uses;
            return e;
        }
    if (s.edges.size() >= MAX_EDGES)
        s.edges.erase(std::min_element(s.edges.begin(), s.edges.end(),
                                       [](const Edge& a, const Edge& b) { return a.used < b.used; }));
    double start = static_cast<double>(index) * BUCKET_SECONDS;
    s.edges.push_back({index, s.store->calls().priced_between(start, start + BUCKET_SECONDS), s.uses});
    return s.edges.back();
}

bool _given(const std::optional<std::string>& filter) { return filter && !filter->empty(); }

// The series a window sums: all calls', its tag's or its key's; none when
// that tag or key has no priced call in memory.
const Series* _series_of(const State& s, const store::SpendWindow& w) {
    const auto* named = _given(w.key) ? &s.series.keys : _given(w.tag) ? &s.series.tags : nullptr;
    if (named == nullptr) return &s.series.all;
    auto it = named->find(_given(w.key) ? *w.key : *w.tag);
    return it == named->end() ? nullptr : &it->second;
}

// The spend of one window: its latest calls one by one when it holds few,
// else the running totals of its whole minutes and its first minute's calls
// from `since` on.
double _spent(State& s, const store::SpendWindow& w) {
    bool by_tag = _given(w.tag), by_key = _given(w.key);
    const Series* series = _series_of(s, w);
    if (series == nullptr) return 0.0;
    std::int64_t first = _bucket_of(w.since);
    auto [cost, calls] = series->after(first);
    std::int64_t in_first = series->calls_in(first);
    if (static_cast<std::size_t>(calls + in_first) <= LATEST_CALLS) return series->latest_since(w.since);
    if (in_first == 0) return cost;
    for (const auto& c : _edge(s, first).calls)
        if (c.ts >= w.since && (by_key ? c.key == *w.key : !by_tag || c.tag == *w.tag)) cost += c.cost_usd;
    return cost;
}

double _held(const State& s, const store::SpendWindow& w) {
    if (!_given(w.tag) && !_given(w.key)) return s.held_all.cost;
    const auto& held = _given(w.key) ? s.held_keys : s.held_tags;
    auto it = held.find(_given(w.key) ? *w.key : *w.tag);
    return it == held.end() ? 0.0 : it->second.cost;
}

// True when memory holds all the calls of the window: it starts within the
// horizon of its series, and it is of one tag or one key at most.
bool _held_in_memory(const State& s, const store::SpendWindow& w) {
    if (_given(w.tag) && _given(w.key)) return false;
    return w.since >= static_cast<double>(_given(w.tag) ? s.tags_kept_from : s.kept_from) * BUCKET_SECONDS;
}

bool _in_memory(const State& s, std::span<const store::SpendWindow> windows) {
    return std::all_of(windows.begin(), windows.end(),
                       [&](const store::SpendWindow& w) { return _held_in_memory(s, w); });
}

void _release_from(std::map<std::string, Held, std::less<>>& held, const std::string& name, double cost) {
    auto it = held.find(name);
    if (it == held.end()) return;
    it->second.remove(cost);
    if (it->second.holds == 0) held.erase(it);
}

}  // namespace

std::shared_ptr<State> make(std::shared_ptr<store::Store> store, Clock clock) {
    auto state = std::make_shared<State>();
    state->store = std::move(store);
    state->clock = std::move(clock);
    return state;
}

std::vector<double> spend_since(State& s, std::span<const store::SpendWindow> windows) {
    if (windows.empty()) return {};  // no budget configured: nothing to read
    _catch_up(s);
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

ledger::Listener listener(std::shared_ptr<State> state) {
    return [state](store::Store&, std::span<const store::Committed> batch) { committed(*state, batch); };
}

void committed(State& s, std::span<const store::Committed> batch) {
    if (batch.empty() || _take_batch(s, batch)) return;
    _catch_up(s);
}

// --- strict budgets ----------------------------------------------------------

Hold::Hold(std::shared_ptr<State> state, std::string tag, std::optional<std::string> key, double cost)
    : state_(std::move(state)), tag_(std::move(tag)), key_(std::move(key)), cost_(cost) {}

Hold::Hold(Hold&& other) noexcept
    : state_(std::move(other.state_)), tag_(std::move(other.tag_)), key_(std::move(other.key_)), cost_(other.cost_) {}

Hold& Hold::operator=(Hold&& other) noexcept {
    if (this != &other) {
        _release();
        state_ = std::move(other.state_);
        tag_ = std::move(other.tag_);
        key_ = std::move(other.key_);
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
        _release_from(state_->held_tags, tag_, cost_);
        if (key_) _release_from(state_->held_keys, *key_, cost_);
    }
    state_.reset();
}

std::optional<Hold> hold_if(const std::shared_ptr<State>& state, std::span<const store::SpendWindow> windows,
                            const std::string& tag, const std::optional<std::string>& key, double cost,
                            const std::function<bool(std::span<const Standing>)>& admit) {
    State& s = *state;
    _catch_up(s);
    // The store is read outside the lock: what memory does not hold is
    // summed first (their holds are still counted below).
    std::vector<double> summed;
    bool all_in_memory = false;
    {
        std::lock_guard lock(s.mu);
        all_in_memory = _in_memory(s, windows);
    }
    if (!all_in_memory) summed = s.store->calls().spend_since(windows);
    std::vector<Standing> standing(windows.size());
    std::lock_guard lock(s.mu);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        bool here = summed.empty() || _held_in_memory(s, windows[i]);
        standing[i] = {here ? _spent(s, windows[i]) : summed[i], _held(s, windows[i])};
    }
    if (!admit(standing)) return std::nullopt;
    if (!(cost > 0)) return Hold();
    s.held_all.add(cost);
    s.held_tags[tag].add(cost);
    if (key) s.held_keys[*key].add(cost);
    return Hold(state, tag, key, cost);
}

std::optional<Hold> hold_if(const std::shared_ptr<State>& state, std::span<const store::SpendWindow> windows,
                            const std::string& tag, double cost,
                            const std::function<bool(std::span<const Standing>)>& admit) {
    return hold_if(state, windows, tag, std::nullopt, cost, admit);
}

}  // namespace tokentally::spend_state
