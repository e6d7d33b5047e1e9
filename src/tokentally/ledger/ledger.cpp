#include "tokentally/ledger/ledger.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/guards/spend_state.hpp"

#include <boost/asio.hpp>

#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tokentally::webhook {
struct Delivery;  // the alerts library's, held here only by pointer
}

namespace tokentally::ledger {

namespace {

// The alerts library's entries; they report their own failures.
using CheckBudgets = int (*)(store::Store* store, spend_state::State* spend, const char* tag,
                             webhook::Delivery* delivery);
using OpenDelivery = webhook::Delivery* (*)();
using CloseDelivery = void (*)(webhook::Delivery* delivery);

void* _alerts_symbol(const char* name) {
    static std::once_flag once;
    static void* handle = nullptr;
    std::call_once(once, [] {
        std::string path = paths::package_dir() + "/" + ALERTS_LIBRARY;
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    });
    return handle == nullptr ? nullptr : dlsym(handle, name);
}

CheckBudgets _alerts_entry() {
    static CheckBudgets entry = reinterpret_cast<CheckBudgets>(_alerts_symbol(ALERTS_ENTRY_DELIVERING));
    return entry;
}

// The webhook delivery of one alert step, opened with its first check. The
// step's owner (a writer) outlives every check, so closing it when the step
// goes lets a serving process end its delivery thread before it exits.
struct DeliveryHandle {
    std::once_flag opened;
    webhook::Delivery* delivery = nullptr;

    DeliveryHandle() = default;
    DeliveryHandle(const DeliveryHandle&) = delete;
    DeliveryHandle& operator=(const DeliveryHandle&) = delete;
    ~DeliveryHandle() {
        if (delivery == nullptr) return;
        if (auto close = reinterpret_cast<CloseDelivery>(_alerts_symbol(ALERTS_CLOSE_DELIVERY))) close(delivery);
    }
};

webhook::Delivery* _delivery(DeliveryHandle& d) {
    std::call_once(d.opened, [&d] {
        if (auto open = reinterpret_cast<OpenDelivery>(_alerts_symbol(ALERTS_OPEN_DELIVERY))) d.delivery = open();
    });
    return d.delivery;
}

// The tags of the batch's priced calls below status 400, each once: the
// check looks at whole windows, so one check per tag after a batch sees what
// a check after each of its rows would have seen last.
std::vector<const std::string*> _alerting_tags(std::span<const Committed> batch) {
    std::vector<const std::string*> tags;
    for (const Committed& c : batch) {
        const CallRecord& rec = *c.rec;
        if (rec.status >= 400 || !rec.cost_usd) continue;
        if (std::none_of(tags.begin(), tags.end(), [&](const std::string* t) { return *t == rec.tag; }))
            tags.push_back(&rec.tag);
    }
    return tags;
}

}  // namespace

Listener alert_step(std::shared_ptr<spend_state::State> state) {
    auto delivery = std::make_shared<DeliveryHandle>();
    return [state, delivery](store::Store& store, std::span<const Committed> batch) {
        auto tags = _alerting_tags(batch);
        if (tags.empty()) return;
        // Alerts are advisory: nothing they do may undo or fail a recording.
        if (CheckBudgets check = _alerts_entry())
            for (const std::string* tag : tags) check(&store, state.get(), tag->c_str(), _delivery(*delivery));
    };
}

// --- the writer ---------------------------------------------------------------

namespace {

struct Queued {
    CallRecord rec;
    Recorded done;
};

// Rows per transaction at most, so one batch never holds the write lock long.
constexpr std::size_t MAX_BATCH = 256;

// What the writer's thread works on. Held by the thread as well as by the
// writer, so that a writer whose last owner lets go on that very thread (a
// callback of the batch it is writing) leaves the thread something to finish
// with.
struct WriterState {
    std::shared_ptr<store::Store> store;
    std::vector<Listener> listeners;
    logging::RepeatedFailure listener_failures;

    std::mutex mu;
    std::condition_variable wake;
    std::deque<Queued> queue;
    bool stopping = false;
};

void _tell(WriterState& s, std::span<const Committed> batch) {
    for (const Listener& listener : s.listeners) {
        try {
            listener(*s.store, batch);
        } catch (...) {
            logging::failed(s.listener_failures, "tokentally.ledger",
                            "A listener of the ledger failed: ", std::current_exception());
        }
    }
}

// The rows in one transaction, then the listeners: what a single call and a
// writer's batch both do. Throws what the insert threw.
void _write_rows(WriterState& s, std::span<const CallRecord* const> rows) {
    // The calls may have waited on their providers for minutes: the ledger
    // they go into is the one there now, even if it was replaced meanwhile.
    paths::look_again();
    std::vector<store::Appended> made = s.store->calls().append(rows);
    if (rows.size() == 1) {  // a call alone in flight: no list of its own
        const Committed one[] = {{rows[0], made[0]}};
        return _tell(s, one);
    }
    std::vector<Committed> batch;
    batch.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) batch.push_back({rows[i], made[i]});
    _tell(s, batch);
}

std::vector<Queued> _take_batch(WriterState& s) {
    std::vector<Queued> batch;
    while (!s.queue.empty() && batch.size() < MAX_BATCH) {
        batch.push_back(std::move(s.queue.front()));
        s.queue.pop_front();
    }
    return batch;
}

void _write_batch(WriterState& s, std::vector<Queued>& batch) {
    std::vector<const CallRecord*> rows;
    for (const auto& q : batch) rows.push_back(&q.rec);
    std::exception_ptr failed;
    try {
        _write_rows(s, rows);
    } catch (...) {
        failed = std::current_exception();
    }
    for (auto& q : batch) q.done(failed);
}

// Until the writer goes and its queue is empty.
void _run(std::shared_ptr<WriterState> s) {
    std::unique_lock lock(s->mu);
    for (;;) {
        s->wake.wait(lock, [&] { return s->stopping || !s->queue.empty(); });
        if (s->queue.empty()) return;
        std::vector<Queued> batch = _take_batch(*s);
        lock.unlock();
        _write_batch(*s, batch);
        lock.lock();
    }
}

}  // namespace

struct Writer {
    std::shared_ptr<WriterState> state;
    std::thread thread;  // started with the first queued row, under state->mu

    ~Writer() {
        {
            std::lock_guard lock(state->mu);
            state->stopping = true;
        }
        state->wake.notify_one();
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
};

std::shared_ptr<Writer> make_writer(std::shared_ptr<store::Store> store, std::vector<Listener> listeners) {
    auto state = std::make_shared<WriterState>();
    state->store = std::move(store);
    state->listeners = std::move(listeners);
    auto writer = std::make_shared<Writer>();
    writer->state = std::move(state);
    return writer;
}

std::shared_ptr<Writer> make_writer(std::shared_ptr<store::Store> store) {
    auto spend = spend_state::make(store);
    return make_writer(std::move(store), {spend_state::listener(spend), alert_step(spend)});
}

void init_db(store::Store& store) { store.calls().init(); }

void record_call(Writer& writer, const CallRecord& rec) {
    const CallRecord* rows[] = {&rec};
    _write_rows(*writer.state, rows);
}

void record_call_queued(Writer& writer, const CallRecord& rec, Recorded done) {
    WriterState& s = *writer.state;
    {
        std::lock_guard lock(s.mu);
        if (!writer.thread.joinable()) writer.thread = std::thread(_run, writer.state);
        s.queue.push_back(Queued{rec, std::move(done)});
    }
    s.wake.notify_one();
}

boost::asio::awaitable<void> record_call_async(Writer& writer, const CallRecord& rec, int requests_in_flight,
                                               std::function<void()> committed) {
    namespace asio = boost::asio;
    if (requests_in_flight <= 1) {
        record_call(writer, rec);
        if (committed) committed();
        co_return;
    }
    auto initiate = [&writer, &rec, &committed](auto handler) {
        // The handler is move-only and std::function wants a copy; the work
        // guard keeps the caller's loop running while the row is queued.
        auto held = std::make_shared<decltype(handler)>(std::move(handler));
        auto work =
            std::make_shared<asio::executor_work_guard<asio::any_io_executor>>(asio::get_associated_executor(*held));
        record_call_queued(writer, rec, [held, work, committed = std::move(committed)](std::exception_ptr failed) {
            if (!failed && committed) committed();
            auto ex = work->get_executor();
            asio::post(ex, [held, work, failed]() mutable {
                work->reset();
                std::move (*held)(failed);
            });
        });
    };
    // A completion whose first argument is an exception_ptr rethrows it in
    // the awaiting coroutine.
    co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr)>(initiate,
                                                                                           asio::use_awaitable);
}

// ============================================================================
// Read queries: the store's rows as records. Windows are rolling and include
// their boundary; an empty tag filters nothing.
// ============================================================================

namespace bj = boost::json;

namespace {

constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr double SECONDS_PER_DAY = 86400.0;

std::optional<std::string> _only(const std::optional<std::string>& tag) {
    return tag && !tag->empty() ? tag : std::nullopt;
}

double _hours_ago(double hours) { return store::now() - hours * SECONDS_PER_HOUR; }

double _days_ago(std::int64_t days) { return store::now() - static_cast<double>(days) * SECONDS_PER_DAY; }

bj::object _group_record(const char* key_name, const store::GroupTotals& g, bool with_times) {
    bj::object rec;
    rec[key_name] = json::or_null(g.key);
    rec["tag"] = json::or_null(g.tag);
    rec["calls"] = g.calls;
    rec["total_prompt"] = json::or_null(g.total_prompt);
    rec["total_completion"] = json::or_null(g.total_completion);
    rec["total_cost"] = json::or_null(g.total_cost);
    rec["avg_latency"] = json::or_null(g.avg_latency);
    if (with_times) {
        rec["first_call"] = g.first_call;
        rec["last_call"] = g.last_call;
    }
    rec["errors"] = g.errors;
    return rec;
}

bj::array _group_records(const char* key_name, const std::vector<store::GroupTotals>& groups, bool with_times) {
    bj::array out;
    out.reserve(groups.size());
    for (const auto& g : groups) out.emplace_back(_group_record(key_name, g, with_times));
    return out;
}

// Every column of `calls`, in the table's order.
bj::array _call_records(const std::vector<store::CallRow>& rows) {
    bj::array out;
    out.reserve(rows.size());
    for (const auto& r : rows)
        out.emplace_back(bj::object{{"id", r.id},
                                    {"ts", r.ts},
                                    {"model_id", json::or_null(r.model_id)},
                                    {"tag", json::or_null(r.tag)},
                                    {"session_id", json::or_null(r.session_id)},
                                    {"prompt_tokens", json::or_null(r.prompt_tokens)},
                                    {"completion_tokens", json::or_null(r.completion_tokens)},
                                    {"cost_usd", json::or_null(r.cost_usd)},
                                    {"elapsed_s", json::or_null(r.elapsed_s)},
                                    {"status", json::or_null(r.status)},
                                    {"streamed", json::or_null(r.streamed)}});
    return out;
}

}  // namespace

bj::array summary(store::Store& store, std::optional<std::string> tag, double since_hours) {
    return _group_records("model_id", store.calls().by_model(_hours_ago(since_hours), _only(tag)), false);
}

bj::array recent(store::Store& store, std::int64_t n) { return _call_records(store.calls().latest(n, std::nullopt)); }

double rolling_spend(store::Store& store, std::int64_t days, std::optional<std::string> tag) {
    return store.calls().spend(_days_ago(days), _only(tag));
}

bj::array rolling_summary(store::Store& store, std::int64_t days) {
    bj::array out;
    for (const auto& d : store.calls().by_day(_days_ago(days)))
        out.emplace_back(bj::object{{"day", json::or_null(d.day)},
                                    {"calls", d.calls},
                                    {"total_cost", json::or_null(d.total_cost)},
                                    {"total_prompt", json::or_null(d.total_prompt)},
                                    {"total_completion", json::or_null(d.total_completion)}});
    return out;
}

bj::array agent_summary(store::Store& store, double since_hours) {
    return agent_records(store.calls().by_session(_hours_ago(since_hours)));
}

bj::array agent_records(const std::vector<store::GroupTotals>& sessions) {
    return _group_records("session_id", sessions, true);
}

bj::array agent_recent(store::Store& store, const std::string& session_id, std::int64_t n) {
    return _call_records(store.calls().latest(n, session_id));
}

bj::array calls_since(store::Store& store, double since_hours, std::optional<std::string> tag) {
    return _call_records(store.calls().between(_hours_ago(since_hours), _only(tag)));
}

// --- routed calls -------------------------------------------------------------

namespace {

// What a routed call's tokens would have cost at the model it asked for,
// minus what it cost; 0 for a call without cost or token counts.
double _saving(const store::RoutedCall& r) {
    if (!r.prompt_tokens || !r.completion_tokens || !(r.cost_usd.value_or(0.0) > 0)) return 0.0;
    prices::Price price = catalog::entry_price(catalog::get_model_price(r.requested_model));
    double asked = usage::cost(usage::Billed{.input = static_cast<double>(*r.prompt_tokens),
                                             .output = static_cast<double>(*r.completion_tokens)},
                               price);
    return asked - *r.cost_usd;
}

bj::object* _summary_row(bj::array& summary, const bj::value& model_id, const bj::value& tag) {
    for (auto& v : summary)
        if (v.as_object().at("model_id") == model_id && v.as_object().at("tag") == tag) return &v.as_object();
    return nullptr;
}

std::vector<std::int64_t> _ids(const bj::array& calls) {
    std::vector<std::int64_t> ids;
    ids.reserve(calls.size());
    for (const auto& v : calls)
        ids.push_back(static_cast<std::int64_t>(json::as_number(v.as_object().at("id"), "call id")));
    return ids;
}

}  // namespace

void add_requested_models(store::Store& store, bj::array& calls) {
    std::vector<std::optional<std::string>> asked = store.calls().requested_models(_ids(calls));
    for (std::size_t i = 0; i < calls.size(); ++i) calls[i].as_object()["requested_model"] = json::or_null(asked[i]);
}

void add_routing_savings(store::Store& store, bj::array& summary, std::optional<std::string> tag, double since_hours) {
    for (auto& v : summary) {
        v.as_object()["routed_calls"] = 0;
        v.as_object()["routing_saving_usd"] = 0.0;
    }
    for (const store::RoutedCall& r : store.calls().routed_since(_hours_ago(since_hours), _only(tag))) {
        bj::object* row = _summary_row(summary, json::or_null(r.model_id), json::or_null(r.tag));
        if (row == nullptr) continue;
        (*row)["routed_calls"] = (*row)["routed_calls"].as_int64() + 1;
        (*row)["routing_saving_usd"] = (*row)["routing_saving_usd"].as_double() + _saving(r);
    }
}

// --- cached tokens, service tiers and calls without cost ------------------------

void add_service_tiers(store::Store& store, bj::array& calls) {
    std::vector<std::optional<std::string>> tiers = store.calls().service_tiers(_ids(calls));
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (tiers[i]) calls[i].as_object()["service_tier"] = *tiers[i];
}

void add_keys(store::Store& store, bj::array& calls) {
    std::vector<std::optional<std::string>> keys = store.calls().keys(_ids(calls));
    for (std::size_t i = 0; i < calls.size(); ++i) calls[i].as_object()["key"] = json::or_null(keys[i]);
}

void add_cache_tokens(store::Store& store, bj::array& rows) {
    // Only rows with an integer id are looked up; the others get nulls.
    std::vector<std::int64_t> ids;
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bj::value* id = rows[i].as_object().if_contains("id");
        if (id == nullptr || !id->is_int64()) continue;
        ids.push_back(id->get_int64());
        at.push_back(i);
    }
    std::vector<std::optional<store::CacheTokens>> found = store.calls().cache_tokens(ids);
    for (auto& row : rows) {
        row.as_object()["cache_read_tokens"] = nullptr;
        row.as_object()["cache_write_tokens"] = nullptr;
    }
    for (std::size_t k = 0; k < at.size(); ++k) {
        if (!found[k]) continue;
        bj::object& rec = rows[at[k]].as_object();
        rec["cache_read_tokens"] = json::or_null(found[k]->read);
        rec["cache_write_tokens"] = json::or_null(found[k]->write);
    }
}

bj::array cache_summary(store::Store& store, std::optional<std::string> tag, double since_hours) {
    bj::array out;
    for (const auto& t : store.calls().cache_totals(_hours_ago(since_hours), _only(tag)))
        out.emplace_back(bj::object{{"model_id", json::or_null(t.model_id)},
                                    {"tag", json::or_null(t.tag)},
                                    {"total_cache_read", json::or_null(t.total_cache_read)},
                                    {"total_cache_write", json::or_null(t.total_cache_write)}});
    return out;
}

bj::array model_calls(store::Store& store, double since_hours, std::optional<std::string> tag) {
    bj::array out;
    for (const auto& m : store.calls().model_calls(_hours_ago(since_hours), _only(tag)))
        out.emplace_back(bj::object{{"model_id", json::or_null(m.model_id)},
                                    {"calls", m.calls},
                                    {"null_cost", m.null_cost},
                                    {"zero_cost", m.zero_cost}});
    return out;
}

std::int64_t calls_without_cost(store::Store& store, double since_hours, std::optional<std::string> tag) {
    std::int64_t n = 0;
    for (const auto& m : store.calls().model_calls(_hours_ago(since_hours), _only(tag))) {
        n += m.null_cost;
        if (m.model_id && catalog::unpriced(*m.model_id)) n += m.zero_cost;
    }
    return n;
}

}  // namespace tokentally::ledger
