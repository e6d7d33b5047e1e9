#include "tokentally/views/metrics.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/guards/periods.hpp"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <fmt/format.h>

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace tokentally::metrics {

namespace {

namespace pm = prometheus;

// Seconds: a cache hit answers in microseconds, a long generation in minutes.
const pm::Histogram::BucketBoundaries LATENCY_BUCKETS = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,  0.25,
                                                         0.5,    1.0,   2.5,    5.0,   10.0, 30.0,  60.0, 120.0};

// The families the proxy updates as calls pass. The gauges read at scrape
// time (budgets, in-flight requests, build info) live in a registry made
// for each scrape, so that a budget removed from the configuration stops
// being reported.
struct Families {
    pm::Registry registry;
    pm::Family<pm::Counter>& requests = pm::BuildCounter()
                                            .Name("tokentally_requests_total")
                                            .Help("Calls answered, by model, tag and status code")
                                            .Register(registry);
    pm::Family<pm::Counter>& spend = pm::BuildCounter()
                                         .Name("tokentally_spend_usd_total")
                                         .Help("Priced spend in US dollars, by model and tag")
                                         .Register(registry);
    pm::Family<pm::Counter>& tokens = pm::BuildCounter()
                                          .Name("tokentally_tokens_total")
                                          .Help("Tokens by model, tag and direction (input or output)")
                                          .Register(registry);
    pm::Family<pm::Counter>& cache_hits = pm::BuildCounter()
                                              .Name("tokentally_cache_hits_total")
                                              .Help("Calls answered from a cache, by kind (exact or semantic)")
                                              .Register(registry);
    pm::Family<pm::Counter>& refusals = pm::BuildCounter()
                                            .Name("tokentally_budget_refusals_total")
                                            .Help("Calls refused by a budget, by tag")
                                            .Register(registry);
    pm::Family<pm::Counter>& rate_limited = pm::BuildCounter()
                                                .Name("tokentally_rate_limited_total")
                                                .Help(
                                                    "Calls refused by a rate limit, by scope (tag:<tag> or "
                                                    "key:<key>) and limit (rpm, tpm or max_parallel)")
                                                .Register(registry);
    pm::Histogram& upstream = pm::BuildHistogram()
                                  .Name("tokentally_upstream_duration_seconds")
                                  .Help("Time the provider took to answer a forwarded call")
                                  .Register(registry)
                                  .Add({}, LATENCY_BUCKETS);
    pm::Histogram& overhead = pm::BuildHistogram()
                                  .Name("tokentally_overhead_seconds")
                                  .Help("Time a forwarded call spent in the proxy itself")
                                  .Register(registry)
                                  .Add({}, LATENCY_BUCKETS);
    pm::Histogram& first_byte = pm::BuildHistogram()
                                    .Name("tokentally_time_to_first_byte_seconds")
                                    .Help("Time to the first chunk of a streamed answer")
                                    .Register(registry)
                                    .Add({}, LATENCY_BUCKETS);
    std::mutex labels_mu;
    std::unordered_set<std::string> tags;
    std::unordered_set<std::string> models;
};

Families& _families() {
    static Families f;
    return f;
}

// A label value a client chose: cut to `max_bytes` (at a character's
// start), and itself while fewer than MAX_TAG_LABELS values of its kind are
// known, else OTHER_TAG.
std::string _bounded_label(std::unordered_set<std::string>& known, const std::optional<std::string>& value,
                           std::size_t max_bytes) {
    std::string label = value.value_or("");
    if (label.size() > max_bytes) {
        std::size_t cut = max_bytes;
        while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) --cut;
        label.resize(cut);
    }
    std::lock_guard lock(_families().labels_mu);
    if (known.contains(label)) return label;
    if (known.size() >= MAX_TAG_LABELS) return std::string(OTHER_TAG);
    known.insert(label);
    return label;
}

// A tag comes from a header, whose size the server bounds; a model id from
// a body, which may be megabytes.
std::string _tag_label(const std::optional<std::string>& tag) {
    return _bounded_label(_families().tags, tag, std::string::npos);
}
std::string _model_label(const std::optional<std::string>& model) {
    return _bounded_label(_families().models, model, MAX_LABEL_BYTES);
}

// The counters one kind of call (model, tag label, status) adds to, found
// once: the families' own lookup builds and hashes a label map per counter,
// a good part of what recording a call cost. Each is made on first use, so
// that a series appears only once something was counted in it.
struct CallCounters {
    pm::Counter* requests = nullptr;
    pm::Counter* spend = nullptr;
    pm::Counter* input = nullptr;
    pm::Counter* output = nullptr;
};

struct CounterCache {
    std::mutex mu;
    std::unordered_map<std::string, CallCounters> by_kind;
};

CounterCache& _counter_cache() {
    static CounterCache c;
    return c;
}

// The labels are built only for a counter not found before.
template <class Labels>
pm::Counter& _counter(pm::Counter*& slot, pm::Family<pm::Counter>& family, Labels labels) {
    if (slot == nullptr) slot = &family.Add(labels());
    return *slot;
}

void _count(const store::CallRecord& rec) {
    auto& f = _families();
    std::string model = _model_label(rec.model_id);
    std::string tag = _tag_label(rec.tag);
    std::string status = std::to_string(rec.status);
    auto& cache = _counter_cache();
    std::lock_guard lock(cache.mu);
    // Lengths first: a label may hold any character.
    CallCounters& c = cache.by_kind[fmt::format("{}:{}{}:{}{}", model.size(), model, tag.size(), tag, status)];
    // A series' labels: model and tag, and one more when named.
    auto labels = [&](const char* key, std::string_view value) {
        return [&model, &tag, key, value] {
            pm::Labels all{{"model", model}, {"tag", tag}};
            if (key != nullptr) all.emplace(key, value);
            return all;
        };
    };
    _counter(c.requests, f.requests, labels("status", status)).Increment();
    if (rec.cost_usd && *rec.cost_usd > 0) _counter(c.spend, f.spend, labels(nullptr, {})).Increment(*rec.cost_usd);
    auto add_tokens = [&](pm::Counter*& slot, const std::optional<std::int64_t>& n, const char* direction) {
        if (n && *n > 0) _counter(slot, f.tokens, labels("direction", direction)).Increment(static_cast<double>(*n));
    };
    add_tokens(c.input, rec.prompt_tokens, "input");
    add_tokens(c.output, rec.completion_tokens, "output");
}

// A budget of the configuration, when set and not 0 (0 means "no limit").
void _add_budget(std::vector<Budget>& out, const boost::json::object& table, std::string_view key,
                 const std::string& scope, const std::string& what) {
    const boost::json::value* v = table.if_contains(key);
    if (json::truthy(v)) out.push_back({scope, json::as_number(*v, what), 0.0});
}

// A tag's budget is daily, as the budget block counts it.
periods::Span _span(std::string_view scope) {
    if (scope == "hourly") return periods::Span::hour;
    if (scope == "monthly") return periods::Span::month;
    return periods::Span::day;
}

void _set_gauges(pm::Registry& registry, const std::vector<Budget>& configured, std::string_view version,
                 int in_flight) {
    auto& spend = pm::BuildGauge()
                      .Name("tokentally_budget_spend_usd")
                      .Help("Spend in the window of each configured budget")
                      .Register(registry);
    auto& limit =
        pm::BuildGauge().Name("tokentally_budget_limit_usd").Help("Each configured budget").Register(registry);
    for (const Budget& b : configured) {
        spend.Add({{"scope", b.scope}}).Set(b.spent);
        limit.Add({{"scope", b.scope}}).Set(b.limit);
    }
    pm::BuildGauge()
        .Name("tokentally_inflight_requests")
        .Help("Requests being answered right now")
        .Register(registry)
        .Add({})
        .Set(in_flight);
    pm::BuildGauge()
        .Name("tokentally_build_info")
        .Help("The running version")
        .Register(registry)
        .Add({{"version", std::string(version)}})
        .Set(1);
}

}  // namespace

ledger::Listener listener() {
    return [](store::Store&, std::span<const ledger::Committed> batch) {
        for (const auto& c : batch) _count(*c.rec);
    };
}

void count_cache_hit(std::string_view kind) { _families().cache_hits.Add({{"kind", std::string(kind)}}).Increment(); }

void count_refusal(const std::optional<std::string>& model_id, const std::string& tag) {
    auto& f = _families();
    std::string label = _tag_label(tag);
    f.requests.Add({{"model", _model_label(model_id)}, {"tag", label}, {"status", "429"}}).Increment();
    f.refusals.Add({{"tag", label}}).Increment();
}

void count_rate_limited(const std::optional<std::string>& model_id, const std::string& tag, const std::string& scope,
                        const std::string& limit) {
    auto& f = _families();
    std::string label = _tag_label(tag);
    f.requests.Add({{"model", _model_label(model_id)}, {"tag", label}, {"status", "429"}}).Increment();
    // A key's name comes from the operator's file; a tag from the client.
    std::string scope_label = scope.starts_with("key:") ? scope : "tag:" + _tag_label(scope.substr(4));
    f.rate_limited.Add({{"scope", scope_label}, {"limit", limit}}).Increment();
}

void observe_upstream(double seconds) { _families().upstream.Observe(seconds); }
void observe_overhead(double seconds) { _families().overhead.Observe(seconds < 0 ? 0 : seconds); }
void observe_first_byte(double seconds) { _families().first_byte.Observe(seconds); }

std::vector<Budget> budget_limits() {
    auto cfg = config::load_shared();
    const boost::json::object& table = json::table(*cfg, "budgets");
    std::vector<Budget> out;
    for (const char* scope : {"hourly", "daily", "monthly"})
        _add_budget(out, table, scope, scope, std::string("budgets.") + scope);
    for (const auto& [tag, entry] : json::table(table, "tags")) {
        if (!entry.is_object()) continue;
        std::string name(tag);
        _add_budget(out, entry.get_object(), "daily", "tag:" + name, "budgets.tags." + name + ".daily");
    }
    return out;
}

std::vector<Budget> budgets(store::Store& store, spend_state::State* spend) {
    std::vector<Budget> out = budget_limits();
    periods::Period period = periods::period(json::table(*config::load_shared(), "budgets"));
    std::vector<store::SpendWindow> windows;
    double now = store::now();
    for (const Budget& b : out) {
        bool tag = b.scope.starts_with("tag:");
        windows.push_back(
            {periods::since(period, _span(b.scope), now), tag ? std::optional(b.scope.substr(4)) : std::nullopt});
    }
    std::vector<double> spent =
        spend != nullptr ? spend_state::spend_since(*spend, windows) : store.calls().spend_since(windows);
    for (std::size_t i = 0; i < out.size(); ++i) out[i].spent = spent[i];
    return out;
}

std::string render(store::Store& store, std::string_view version, spend_state::State* spend, int in_flight) {
    auto& f = _families();
    std::vector<pm::MetricFamily> all = f.registry.Collect();
    // The budget gauges are optional: a ledger that cannot be read or a
    // budget that is not a number leaves them out, not the counters.
    std::vector<Budget> configured;
    try {
        configured = budgets(store, spend);
    } catch (const std::exception&) {
        configured.clear();
    }
    pm::Registry now;
    _set_gauges(now, configured, version, in_flight);
    for (auto& fam : now.Collect()) all.push_back(std::move(fam));
    return pm::TextSerializer().Serialize(all);
}

http::Router router(std::shared_ptr<store::Store> store, std::string version,
                    std::shared_ptr<spend_state::State> spend) {
    http::Router r;
    http::add_route(r, {"GET"}, "/metrics",
                    [store, version, spend](http::Request& req) -> boost::asio::awaitable<http::Response> {
                        http::Response resp;
                        resp.headers.emplace_back("content-type", std::string(CONTENT_TYPE));
                        // This scrape is one of the requests in flight.
                        resp.body = render(*store, version, spend.get(), req.in_flight ? req.in_flight->load() : 1);
                        co_return resp;
                    });
    return r;
}

}  // namespace tokentally::metrics
