// Hourly rollups of the calls, backend-neutral: how one call adds to its
// hour's rollup and how two rollups of the same hour combine. Every backend
// builds its rollups with these, so that each gives the same figures as the
// calls themselves.
#pragma once

#include "tokentally/store/records.hpp"

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace tokentally::store {

inline constexpr double ROLLUP_SECONDS = 3600.0;

// The start of the hour `ts` falls in.
double rollup_hour(double ts);

// Adds a value that may be missing to a sum that may be missing, as SQL's
// SUM does: the sum stays none until a value is added.
template <class T>
void add_sum(std::optional<T>& total, const std::optional<T>& value) {
    if (value) total = total.value_or(T{}) + *value;
}

// Latency bins: LATENCY_BINS_PER_DOUBLING per doubling of the time, from
// 2^-14 s (61 µs; anything shorter, 0 included, is bin 0) to 2^14 s (4.5 h;
// anything longer is the last bin). A percentile read from them is within
// one bin's width (9%) of the exact one.
inline constexpr int LATENCY_BINS_PER_DOUBLING = 8;
inline constexpr int LATENCY_MIN_EXP = -14;
inline constexpr int LATENCY_MAX_EXP = 14;
int latency_bin(double seconds);

// A call answered from a cache: recorded as a 200 that cost nothing and took
// no time.
bool is_cache_hit(const CallRow& call);

// Rollups by (hour, model, tag), in that order (none first).
using RollupKey = std::tuple<double, std::optional<std::string>, std::optional<std::string>>;
using Rollups = std::map<RollupKey, Rollup>;

void add_call(Rollups& into, const CallRow& call);
// Adds `from` to `into`, a rollup of the same hour, model and tag.
void merge(Rollup& into, const Rollup& from);
void merge(Rollups& into, Rollup from);
std::vector<Rollup> rollup_rows(Rollups&& rollups);

// The advisor's usage rows (Calls::usage_by_model's) of the calls rolled
// up, highest cost first.
std::vector<ModelUsage> usage_of(const std::vector<Rollup>& rollups);
// The rows summed over their hours, by model and tag (by model alone when
// `by_model_only`), each with hour 0.
Rollups over_hours(const std::vector<Rollup>& rows, bool by_model_only);

// The rollups of `calls`, in key order.
std::vector<Rollup> rollups_of(const std::vector<CallRow>& calls);

}  // namespace tokentally::store
