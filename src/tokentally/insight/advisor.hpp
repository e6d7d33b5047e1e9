// The cheaper-model advisor: for every model that cost money over a recent
// window, the first cheaper alternative worth switching to and what the
// switch would have saved on the same traffic, as data and as a report.
#pragma once

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <functional>
#include <iostream>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::advisor {

namespace bj = boost::json;

// Normalised model id -> replacements to try, in order of preference.
extern const std::map<std::string, std::vector<std::string>, std::less<>>& ALTERNATIVES;

// Threshold used when the configuration names none, in percent.
inline constexpr double DEFAULT_MIN_SAVING_PCT = catalog::DEFAULT_MIN_SAVING_PCT;

// Default look-back window: one week.
inline constexpr double DEFAULT_HOURS = 168.0;

// What the advisor asks of the catalog: a model's price entry and its
// canonical id. The real catalog unless a caller (a test) brings its own.
struct Catalog {
    std::function<bj::object(std::string_view model_id)> price_of;
    std::function<std::string(std::string_view model_id)> normalize;
};

Catalog real_catalog();

// One record per model with priced calls since now - since_hours, highest
// total cost first: model_id, calls, total_in, total_out, total_cost,
// avg_in, avg_out.
// Refuses a ledger that was never created rather than creating an empty one.
bj::array _get_usage_summary(store::Store& store, double since_hours = DEFAULT_HOURS);

// The usage records of rows as Calls::usage_by_model reads them.
bj::array _usage_records(const std::vector<store::ModelUsage>& usage);

// Suggestion records for the usage records `usage`, largest projected
// saving first.
bj::array _suggestions(const bj::array& usage, double min_saving_pct, double since_hours, const Catalog& catalog);

// "<days>d" for windows of a day or more, else "<hours>h".
std::string _period_label(double since_hours);

// "<days> days" or "<hours> hours", as the report's title says it.
std::string _window_text(double since_hours);

// Suggestion records (14 keys), largest projected saving first.
bj::array get_suggestions(store::Store& store, double since_hours = DEFAULT_HOURS,
                          const Catalog& catalog = real_catalog());

// get_suggestions() for usage rows already read (the dashboard sums them
// from the ledger's hourly rollups).
bj::array suggestions_for(const std::vector<store::ModelUsage>& usage, double since_hours,
                          const Catalog& catalog = real_catalog());

// Writes the coloured report to `out`. Every suggestion is computed before
// the first line is written, so a failure leaves no partial report.
void print_suggestions(store::Store& store, double since_hours = DEFAULT_HOURS, std::ostream& out = std::cout,
                       const Catalog& catalog = real_catalog());

}  // namespace tokentally::advisor
