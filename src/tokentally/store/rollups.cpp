#include "tokentally/store/rollups.hpp"

#include "tokentally/store/store.hpp"

#include <algorithm>
#include <cmath>

namespace tokentally::store {

namespace {

// A status class as the dashboard names it: "2xx", "5xx", "none".
std::string _status_class(const std::optional<std::int64_t>& status) {
    return status ? std::to_string(*status / 100) + "xx" : "none";
}

void _count_class(Rollup& r, const std::string& cls, std::int64_t n) {
    auto it = std::lower_bound(r.status_classes.begin(), r.status_classes.end(), cls,
                               [](const auto& e, const std::string& c) { return e.first < c; });
    if (it != r.status_classes.end() && it->first == cls)
        it->second += n;
    else
        r.status_classes.insert(it, {cls, n});
}

void _add_latency(Rollup& r, const LatencyBin& add) {
    auto it = std::lower_bound(r.latency.begin(), r.latency.end(), add.bin,
                               [](const LatencyBin& e, int bin) { return e.bin < bin; });
    if (it != r.latency.end() && it->bin == add.bin) {
        it->count += add.count;
        it->sum += add.sum;
    } else {
        r.latency.insert(it, add);
    }
}

Rollup& _slot(Rollups& into, double hour, const std::optional<std::string>& model,
              const std::optional<std::string>& tag) {
    auto [it, made] = into.try_emplace(RollupKey{hour, model, tag});
    if (made) {
        it->second.hour = hour;
        it->second.model_id = model;
        it->second.tag = tag;
    }
    return it->second;
}

}  // namespace

double rollup_hour(double ts) { return std::floor(ts / ROLLUP_SECONDS) * ROLLUP_SECONDS; }

int latency_bin(double seconds) {
    constexpr int LAST = (LATENCY_MAX_EXP - LATENCY_MIN_EXP) * LATENCY_BINS_PER_DOUBLING;
    if (!(seconds > std::ldexp(1.0, LATENCY_MIN_EXP))) return 0;  // NaN too
    double at = std::floor((std::log2(seconds) - LATENCY_MIN_EXP) * LATENCY_BINS_PER_DOUBLING);
    return static_cast<int>(std::min<double>(at, LAST));
}

bool is_cache_hit(const CallRow& r) {
    return r.status == 200 && r.cost_usd && *r.cost_usd == 0.0 && r.elapsed_s && *r.elapsed_s == 0.0;
}

void add_call(Rollups& into, const CallRow& call) {
    Rollup& r = _slot(into, rollup_hour(call.ts), call.model_id, call.tag);
    ++r.calls;
    add_sum(r.total_prompt, call.prompt_tokens);
    add_sum(r.total_completion, call.completion_tokens);
    add_sum(r.total_cost, call.cost_usd);
    if (call.elapsed_s) {
        ++r.latency_calls;
        r.latency_sum += *call.elapsed_s;
    }
    if (call.status && *call.status >= 400) ++r.errors;
    _count_class(r, _status_class(call.status), 1);
    if (is_cache_hit(call)) {
        ++r.cache_hits;
        r.cache_hit_prompt += call.prompt_tokens.value_or(0);
        r.cache_hit_completion += call.completion_tokens.value_or(0);
    } else if (call.elapsed_s) {
        _add_latency(r, {latency_bin(*call.elapsed_s), 1, *call.elapsed_s});
    }
    if (call.cost_usd && *call.cost_usd > 0) {
        ++r.priced_calls;
        r.priced_cost += *call.cost_usd;
        add_sum(r.priced_prompt, call.prompt_tokens);
        add_sum(r.priced_completion, call.completion_tokens);
        r.priced_prompt_calls += call.prompt_tokens ? 1 : 0;
        r.priced_completion_calls += call.completion_tokens ? 1 : 0;
    }
}

void merge(Rollup& into, const Rollup& from) {
    into.calls += from.calls;
    add_sum(into.total_prompt, from.total_prompt);
    add_sum(into.total_completion, from.total_completion);
    add_sum(into.total_cost, from.total_cost);
    into.latency_calls += from.latency_calls;
    into.latency_sum += from.latency_sum;
    into.errors += from.errors;
    for (const auto& [cls, n] : from.status_classes) _count_class(into, cls, n);
    into.cache_hits += from.cache_hits;
    into.cache_hit_prompt += from.cache_hit_prompt;
    into.cache_hit_completion += from.cache_hit_completion;
    for (const auto& bin : from.latency) _add_latency(into, bin);
    into.priced_calls += from.priced_calls;
    into.priced_cost += from.priced_cost;
    add_sum(into.priced_prompt, from.priced_prompt);
    add_sum(into.priced_completion, from.priced_completion);
    into.priced_prompt_calls += from.priced_prompt_calls;
    into.priced_completion_calls += from.priced_completion_calls;
}

void merge(Rollups& into, Rollup from) {
    auto [it, made] = into.try_emplace(RollupKey{from.hour, from.model_id, from.tag});
    if (made)
        it->second = std::move(from);
    else
        merge(it->second, from);
}

std::vector<Rollup> rollup_rows(Rollups&& rollups) {
    std::vector<Rollup> out;
    out.reserve(rollups.size());
    for (auto& [key, r] : rollups) out.push_back(std::move(r));
    return out;
}

std::vector<Rollup> rollups_of(const std::vector<CallRow>& calls) {
    Rollups all;
    for (const auto& c : calls) add_call(all, c);
    return rollup_rows(std::move(all));
}

Rollups over_hours(const std::vector<Rollup>& rows, bool by_model_only) {
    Rollups out;
    for (const Rollup& r : rows) {
        std::optional<std::string> tag = by_model_only ? std::nullopt : r.tag;
        auto [it, made] = out.try_emplace(RollupKey{0.0, r.model_id, tag});
        if (!made) {
            merge(it->second, r);
            continue;
        }
        it->second = r;  // a month of hours folds into a few dozen groups: few copies
        it->second.hour = 0.0;
        it->second.tag = std::move(tag);
    }
    return out;
}

std::vector<ModelUsage> usage_of(const std::vector<Rollup>& rollups) {
    std::vector<ModelUsage> out;
    for (const auto& [key, m] : over_hours(rollups, true)) {
        if (m.priced_calls == 0) continue;
        auto avg = [](const std::optional<std::int64_t>& sum, std::int64_t n) {
            return n ? std::optional(static_cast<double>(*sum) / static_cast<double>(n)) : std::nullopt;
        };
        auto total = [](const std::optional<std::int64_t>& sum) { return sum ? Total(*sum) : Total(); };
        out.push_back({m.model_id, m.priced_calls, total(m.priced_prompt), total(m.priced_completion), m.priced_cost,
                       avg(m.priced_prompt, m.priced_prompt_calls),
                       avg(m.priced_completion, m.priced_completion_calls)});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ModelUsage& a, const ModelUsage& b) { return a.total_cost > b.total_cost; });
    return out;
}

std::vector<Rollup> Calls::rollups(double since, RollupRead how) {
    std::vector<Rollup> rows = rollups_of(between(since, std::nullopt));
    return how.per_hour ? rows : rollup_rows(over_hours(rows, false));
}

SessionPage Calls::top_sessions(double since, const std::optional<std::string>& tag, std::int64_t n) {
    SessionPage page{by_session(since), 0};
    if (tag) std::erase_if(page.rows, [&](const GroupTotals& g) { return g.tag != tag; });
    page.total = static_cast<std::int64_t>(page.rows.size());
    if (page.total > n) page.rows.resize(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
    return page;
}

}  // namespace tokentally::store
