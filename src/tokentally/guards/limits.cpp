#include "tokentally/guards/limits.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace tokentally::limits {

namespace bj = boost::json;

namespace {

// The limits in the order they are checked, as the settings name them.
enum Limit : std::size_t { RPM, TPM, MAX_PARALLEL, LIMIT_COUNT };
constexpr std::string_view LIMIT_NAMES[LIMIT_COUNT] = {"rpm", "tpm", "max_parallel"};

// Refusal counts kept while the store cannot take them, at most.
constexpr std::size_t MAX_PENDING = 10000;

constexpr std::int64_t NEVER = std::numeric_limits<std::int64_t>::min();

// The limits one table names; none for one it leaves to [limits].
using Named = std::array<std::optional<double>, LIMIT_COUNT>;

// The limits that apply to one window; 0 is none.
struct Rates {
    std::array<double, LIMIT_COUNT> value{};
    bool any() const {
        return std::any_of(value.begin(), value.end(), [](double v) { return v > 0; });
    }
};

// [limits] as read from one configuration.
struct CacheSettings {
    Named base;
    std::unordered_map<std::string, Named> tags;
    std::unordered_map<std::string, Named> keys;
    bool any = false;
};

bool _any(const Named& named) {
    return std::any_of(named.begin(), named.end(), [](const auto& v) { return v && *v > 0; });
}

// The limits of one table. Anything but the three limits (and, in [limits]
// itself, its tags and keys tables) is refused by name: a misspelt limit
// must not pass for no limit.
Named _named(const bj::object& table, const std::string& where, bool top) {
    Named out;
    for (const auto& [name, value] : table) {
        if (top && (name == "tags" || name == "keys")) continue;
        auto at = std::find(std::begin(LIMIT_NAMES), std::end(LIMIT_NAMES), std::string_view(name));
        if (at == std::end(LIMIT_NAMES))
            throw std::invalid_argument(
                fmt::format("{}.{} is not a limit (rpm, tpm or max_parallel)", where, std::string_view(name)));
        std::string what = fmt::format("{}.{}", where, std::string_view(name));
        double n = json::as_number(value, what);
        if (!(n >= 0)) throw std::invalid_argument(what + " must be a number of 0 or more: " + json::write(value));
        out[static_cast<std::size_t>(at - std::begin(LIMIT_NAMES))] = n;
    }
    return out;
}

void _read_tables(const bj::object& limits, const char* kind, std::unordered_map<std::string, Named>& into, bool& any) {
    const bj::object& tables = json::table(limits, kind);
    for (const auto& [name, value] : tables) {
        std::string n(name), where = fmt::format("limits.{}.{}", kind, n);
        if (!value.is_object()) throw std::invalid_argument(where + " is not a table: " + json::write(value));
        Named named = _named(value.get_object(), where, false);
        any = any || _any(named);
        into.emplace(std::move(n), named);
    }
}

CacheSettings _parse(const bj::object& cfg) {
    const bj::object& limits = json::table(cfg, "limits");
    CacheSettings out;
    out.base = _named(limits, "limits", true);
    out.any = _any(out.base);
    _read_tables(limits, "tags", out.tags, out.any);
    _read_tables(limits, "keys", out.keys, out.any);
    return out;
}

Rates _rates(const Named& base, const Named* over) {
    Rates r;
    for (std::size_t i = 0; i < LIMIT_COUNT; ++i)
        r.value[i] = over != nullptr && (*over)[i] ? *(*over)[i] : base[i].value_or(0.0);
    return r;
}

Rates _tag_rates(const CacheSettings& s, const std::string& tag) {
    auto it = s.tags.find(tag);
    return _rates(s.base, it == s.tags.end() ? nullptr : &it->second);
}

// A key is limited only when it has a table of its own.
Rates _key_rates(const CacheSettings& s, const std::optional<std::string>& key) {
    if (!key) return {};
    auto it = s.keys.find(*key);
    return it == s.keys.end() ? Rates{} : _rates(s.base, &it->second);
}

// One second of a window: the calls that passed in it, and the tokens
// recorded in it.
struct Second {
    std::int64_t at = NEVER;
    std::int64_t calls = 0;
    double tokens = 0.0;
};

// Where a refusal count goes: its minute, scope and limit.
using PendingKey = std::tuple<double, std::string, std::string>;

}  // namespace

// The last WINDOW_SECONDS seconds of one tag or key, one slot per second
// (reused once its second has left the window), and its calls in flight.
struct Window {
    std::string scope;
    std::array<Second, WINDOW_SECONDS> seconds{};
    std::int64_t in_flight = 0;
};

struct State {
    std::shared_ptr<store::Store> store;
    Clock clock;

    std::mutex mu;                                // everything down to `swept`
    std::shared_ptr<const bj::object> read_from;  // the configuration `settings` was read from
    std::shared_ptr<const CacheSettings> settings;
    std::unordered_map<std::string, Window> tags;  // by tag; nodes stay put while slots point at them
    std::unordered_map<std::string, Window> keys;  // by key name
    Window other{std::string(OTHER_TAGS)};
    std::int64_t swept = NEVER;

    std::mutex pending_mu;  // everything below
    std::condition_variable wake;
    std::map<PendingKey, std::int64_t> pending;
    bool stopping = false;
    std::thread writer;  // started with the first refusal
    logging::RepeatedFailure write_failures;

    ~State();
};

namespace {

// --- the windows (under the state's lock) -------------------------------------------

std::size_t _index(std::int64_t second) {
    return static_cast<std::size_t>(((second % WINDOW_SECONDS) + WINDOW_SECONDS) % WINDOW_SECONDS);
}

Second& _slot(Window& w, std::int64_t second) {
    Second& s = w.seconds[_index(second)];
    if (s.at != second) s = {second, 0, 0.0};
    return s;
}

bool _in_window(const Second& s, std::int64_t second) { return s.at != NEVER && s.at > second - WINDOW_SECONDS; }

// The seconds still in the window at `second`, oldest first.
std::vector<const Second*> _live(const Window& w, std::int64_t second) {
    std::vector<const Second*> live;
    for (const Second& s : w.seconds)
        if (_in_window(s, second)) live.push_back(&s);
    std::sort(live.begin(), live.end(), [](const Second* a, const Second* b) { return a->at < b->at; });
    return live;
}

bool _idle(const Window& w, std::int64_t second) {
    return w.in_flight == 0 &&
           std::none_of(w.seconds.begin(), w.seconds.end(), [&](const Second& s) { return _in_window(s, second); });
}

void _drop_idle(std::unordered_map<std::string, Window>& windows, std::int64_t second) {
    std::erase_if(windows, [&](const auto& entry) { return _idle(entry.second, second); });
}

// Once a window's length, the windows with nothing left in them go.
void _sweep_if_due(State& s, std::int64_t second) {
    if (s.swept != NEVER && second - s.swept < WINDOW_SECONDS) return;
    s.swept = second;
    _drop_idle(s.tags, second);
    _drop_idle(s.keys, second);
}

// The window of `tag`: its own while fewer than MAX_TRACKED_TAGS have one
// (a tag with a table of its own always gets one), else the shared one.
Window& _tag_window(State& s, const std::string& tag, std::int64_t second) {
    if (auto it = s.tags.find(tag); it != s.tags.end()) return it->second;
    if (s.tags.size() >= MAX_TRACKED_TAGS) _drop_idle(s.tags, second);
    if (s.tags.size() >= MAX_TRACKED_TAGS && !s.settings->tags.contains(tag)) return s.other;
    Window& w = s.tags[tag];
    w.scope = "tag:" + tag;
    return w;
}

Window& _key_window(State& s, const std::string& key) {
    Window& w = s.keys[key];
    if (w.scope.empty()) w.scope = "key:" + key;
    return w;
}

// The windows a call of `tag` and `key` counts in: none where no limit applies.
struct Windows {
    Window* tag = nullptr;
    Window* key = nullptr;
    Rates tag_rates;
    Rates key_rates;
};

Windows _windows(State& s, const std::string& tag, const std::optional<std::string>& key, std::int64_t second) {
    Windows w;
    w.tag_rates = _tag_rates(*s.settings, tag);
    w.key_rates = _key_rates(*s.settings, key);
    if (w.tag_rates.any()) w.tag = &_tag_window(s, tag, second);
    if (w.key_rates.any()) w.key = &_key_window(s, *key);
    return w;
}

double _calls_of(const Second& s) { return static_cast<double>(s.calls); }
double _tokens_of(const Second& s) { return s.tokens; }

// Whole seconds until the window, now holding `total` of what `measure`
// counts, holds less than `limit`: the oldest seconds leave it first.
int _retry_after(const Window& w, std::int64_t second, double now, double total, double limit,
                 double (*measure)(const Second&)) {
    for (const Second* s : _live(w, second)) {
        total -= measure(*s);
        if (total < limit)
            return std::clamp(static_cast<int>(std::ceil(static_cast<double>(s->at + WINDOW_SECONDS) - now)), 1,
                              WINDOW_SECONDS);
    }
    return WINDOW_SECONDS;
}

// What the window holds now of each limit's measure.
std::array<double, LIMIT_COUNT> _standing(const Window& w, std::int64_t second) {
    std::array<double, LIMIT_COUNT> in{};
    for (const Second& s : w.seconds) {
        if (!_in_window(s, second)) continue;
        in[RPM] += _calls_of(s);
        in[TPM] += _tokens_of(s);
    }
    in[MAX_PARALLEL] = static_cast<double>(w.in_flight);
    return in;
}

std::string _who(const std::string& scope) {
    auto colon = scope.find(':');
    std::string kind = scope.substr(0, colon) == "key" ? "Key" : "Tag";
    return fmt::format("{} [{}]", kind, scope.substr(colon + 1));
}

std::string _message(const std::string& scope, Limit limit, double held, double rate, int retry) {
    static constexpr std::string_view WHAT[LIMIT_COUNT] = {"requests in the last 60 s", "tokens in the last 60 s",
                                                           "calls in flight"};
    return fmt::format("{} {} limit reached: {} {} (limit {}). Retry after {} s.", _who(scope), LIMIT_NAMES[limit],
                       held, WHAT[limit], rate, retry);
}

// The first limit of `rates` that the window has reached, as a refusal.
std::optional<Refusal> _reached(const Window& w, const Rates& rates, std::int64_t second, double now) {
    auto in = _standing(w, second);
    for (std::size_t i = 0; i < LIMIT_COUNT; ++i) {
        double rate = rates.value[i];
        if (!(rate > 0) || in[i] < rate) continue;
        int retry = 1;  // a call in flight may end any moment
        if (i == RPM) retry = _retry_after(w, second, now, in[i], rate, _calls_of);
        if (i == TPM) retry = _retry_after(w, second, now, in[i], rate, _tokens_of);
        auto limit = static_cast<Limit>(i);
        return Refusal{w.scope, std::string(LIMIT_NAMES[i]), _message(w.scope, limit, in[i], rate, retry), retry,
                       std::nullopt};
    }
    return std::nullopt;
}

void _pass(Window* w, std::int64_t second) {
    if (w == nullptr) return;
    ++_slot(*w, second).calls;
    ++w->in_flight;
}

void _add_tokens(Window* w, std::int64_t second, double tokens) {
    if (w != nullptr) _slot(*w, second).tokens += tokens;
}

// The configuration as it is now; none when it cannot be read, which the
// budget check reports (a call is not told twice).
std::shared_ptr<const bj::object> _configuration() {
    try {
        return config::load_shared();
    } catch (const std::exception&) {
        return nullptr;
    }
}

// The settings of `cfg`, read again only when the configuration changed
// (under the state's lock). False without a configuration.
bool _refresh_settings(State& s, std::shared_ptr<const bj::object> cfg) {
    if (!cfg) return false;
    if (cfg == s.read_from && s.settings) return true;
    s.settings = std::make_shared<const CacheSettings>(_parse(*cfg));
    s.read_from = std::move(cfg);
    return true;
}

// --- refusal counts -----------------------------------------------------------------

void _write_pending(State& s) {
    std::map<PendingKey, std::int64_t> taken;
    {
        std::lock_guard lock(s.pending_mu);
        taken.swap(s.pending);
    }
    if (taken.empty() || !s.store) return;
    paths::look_again();  // on no request's behalf: a ledger replaced since is seen
    std::vector<store::RateLimited> counts;
    counts.reserve(taken.size());
    for (const auto& [at, n] : taken) counts.push_back({std::get<0>(at), std::get<1>(at), std::get<2>(at), n});
    try {
        s.store->calls().add_rate_limited(counts);
        logging::succeeded(s.write_failures);
    } catch (...) {
        logging::failed(s.write_failures, "tokentally.proxy",
                        "Rate-limited calls not counted in the ledger: ", std::current_exception());
        // Kept for the next try, as far as there is room.
        std::lock_guard lock(s.pending_mu);
        for (const auto& [at, n] : taken)
            if (s.pending.size() < MAX_PENDING || s.pending.contains(at)) s.pending[at] += n;
    }
}

void _writer_loop(State* s) {
    std::unique_lock lock(s->pending_mu);
    while (!s->stopping) {
        s->wake.wait_for(lock, std::chrono::duration<double>(FLUSH_SECONDS));
        lock.unlock();
        _write_pending(*s);
        lock.lock();
    }
}

void _count_refusal(State& s, const Refusal& r) {
    if (!s.store) return;
    double minute = std::floor(store::now() / 60.0) * 60.0;
    PendingKey at{minute, r.scope, r.limit};
    std::lock_guard lock(s.pending_mu);
    if (s.pending.size() >= MAX_PENDING && !s.pending.contains(at)) return;
    ++s.pending[at];
    if (!s.writer.joinable() && !s.stopping) s.writer = std::thread(_writer_loop, &s);
}

}  // namespace

State::~State() {
    {
        std::lock_guard lock(pending_mu);
        stopping = true;
    }
    wake.notify_all();
    if (writer.joinable()) writer.join();
    _write_pending(*this);
}

double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<State> make(std::shared_ptr<store::Store> store, Clock clock) {
    auto s = std::make_shared<State>();
    s->store = std::move(store);
    s->clock = std::move(clock);
    return s;
}

bool configured(const bj::object& cfg) { return _parse(cfg).any; }

Admission admit(const std::shared_ptr<State>& state, const std::string& tag, const std::optional<std::string>& key,
                std::shared_ptr<const bj::object> cfg) {
    State& s = *state;
    if (!cfg) cfg = _configuration();
    Admission out;
    {
        std::lock_guard lock(s.mu);
        if (!_refresh_settings(s, std::move(cfg)) || !s.settings->any) return out;
        double now = s.clock();
        auto second = static_cast<std::int64_t>(std::floor(now));
        _sweep_if_due(s, second);
        Windows w = _windows(s, tag, key, second);
        if (w.tag == nullptr && w.key == nullptr) return out;
        if (w.tag != nullptr) out.refusal = _reached(*w.tag, w.tag_rates, second, now);
        if (!out.refusal && w.key != nullptr) {
            out.refusal = _reached(*w.key, w.key_rates, second, now);
            if (out.refusal) out.refusal->key = key;
        }
        if (!out.refusal) {
            _pass(w.tag, second);
            _pass(w.key, second);
            out.slot = std::make_shared<Slot>(state, w.tag, w.key, second);
            return out;
        }
    }
    _count_refusal(s, *out.refusal);
    return out;
}

void committed(State& s, std::span<const store::Committed> batch) {
    auto cfg = _configuration();
    std::lock_guard lock(s.mu);
    try {
        if (!_refresh_settings(s, std::move(cfg)) || !s.settings->any) return;
    } catch (const std::exception&) {
        return;  // settings that cannot be read are reported by the next call's admission
    }
    auto second = static_cast<std::int64_t>(std::floor(s.clock()));
    for (const store::Committed& c : batch) {
        double tokens = static_cast<double>(std::max<std::int64_t>(0, c.rec->prompt_tokens.value_or(0))) +
                        static_cast<double>(std::max<std::int64_t>(0, c.rec->completion_tokens.value_or(0)));
        if (!(tokens > 0)) continue;
        Windows w = _windows(s, c.rec->tag, c.rec->key, second);
        _add_tokens(w.tag, second, tokens);
        _add_tokens(w.key, second, tokens);
    }
}

void flush(State& s) { _write_pending(s); }

Slot::Slot(std::shared_ptr<State> state, Window* tag_window, Window* key_window, std::int64_t second)
    : state_(std::move(state)), tag_window_(tag_window), key_window_(key_window), second_(second) {}

Slot::~Slot() { _end(false); }

void Slot::release() noexcept { _end(false); }

void Slot::cancel() noexcept { _end(true); }

void Slot::_end(bool uncount) noexcept {
    if (!state_) return;
    {
        std::lock_guard lock(state_->mu);
        for (Window* w : {tag_window_, key_window_}) {
            if (w == nullptr) continue;
            --w->in_flight;
            Second& at = w->seconds[_index(second_)];
            if (uncount && at.at == second_ && at.calls > 0) --at.calls;
        }
    }
    state_.reset();
}

}  // namespace tokentally::limits
