// The ledger against the bill: per provider and UTC day, what the ledger
// recorded for that provider's calls beside what the provider's admin API
// says it billed, their ratio (the capture rate), and the tokens per model
// from both sides.
#pragma once

#include "tokentally/insight/billing.hpp"
#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tokentally::reconcile {

inline constexpr std::int64_t DEFAULT_DAYS = 7;
inline constexpr double DEFAULT_TOLERANCE = 0.03;

// Exit statuses of the command: every day within tolerance, a day outside.
inline constexpr int EXIT_WITHIN = 0;
inline constexpr int EXIT_OUTSIDE = 3;

struct Options {
    std::int64_t days = DEFAULT_DAYS;     // complete UTC days before today
    std::optional<std::string> provider;  // only this one; else every provider with a key
    double tolerance = DEFAULT_TOLERANCE;
};

// The last `days` complete UTC days and today, at `now`.
billing::Window window(std::int64_t days, double now);

// The ledger's side: per provider, date and model, the priced spend and the
// tokens of the calls the catalog places at that provider (ids starting
// "openai/" or "anthropic/", and bare ids such as gpt-4o or
// claude-sonnet-4-5), read as one group per model and day.
std::map<std::string, std::map<std::string, billing::Day>> ledger_days(store::Store& store, double since);

struct ModelLine {
    std::string model;
    std::optional<billing::Tokens> ledger;
    std::optional<billing::Tokens> provider;
};

struct DayLine {
    std::string date;
    double ledger_usd = 0.0;
    double provider_usd = 0.0;
    std::optional<double> ratio;  // ledger ÷ provider; none when the provider billed nothing
    bool partial = false;         // today: never marked
    bool marked = false;          // outside 1 ± tolerance (or billed nothing against a spend)
    std::vector<ModelLine> models;
};

enum class Status { ok, skipped, failed };

struct ProviderReport {
    std::string provider;
    Status status = Status::ok;
    std::optional<std::string> message;       // why skipped or failed
    std::optional<std::string> tokens_error;  // why the tokens per model are missing
    std::vector<DayLine> days;
};

// Compares one provider's ledger days with its bill over `w`, day by day.
std::vector<DayLine> compare(const std::map<std::string, billing::Day>& ledger, const billing::Bill& bill,
                             const billing::Window& w, double tolerance);

// What a low or a high capture rate usually means.
std::string explanation(const DayLine& day);

// The report of every provider chosen by `o`: each skipped without its key
// variable, or failed with the error that stopped it, or compared. Keys come
// from the environment, base URLs from [reconcile] of the configuration.
// Throws for a configuration it cannot use.
std::vector<ProviderReport> run(store::Store& store, const Options& o);

// The exit status of a report: 1 when a provider failed, or when the one
// --provider named was skipped (or none could be compared); else 3 when a
// day is marked; else 0.
int exit_status(const std::vector<ProviderReport>& report, const Options& o);

// The report as JSON: an array with one record per provider (see README).
boost::json::array to_json(const std::vector<ProviderReport>& report);

}  // namespace tokentally::reconcile
