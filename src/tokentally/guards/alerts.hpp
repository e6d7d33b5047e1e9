// Budget alerts: after each priced call the ledger asks this module to
// compare the rolling spend with the configured budgets; breaches are
// stored (once per scope and hour) in the `alerts` table of ledger.db,
// logged in colour on "tokentally.alerts" and, with a webhook configured,
// handed to the delivery that POSTs them (webhook.hpp).
#pragma once

#include "tokentally/guards/spend_state.hpp"
#include "tokentally/guards/webhook.hpp"
#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tokentally::alerts {

// Compares the hourly, daily and monthly spend (all tags) and the daily
// spend of `tag` ("default" when absent or empty) with their budgets and
// stores an alert for each breach. The spend is read from `spend` (the
// spend a serving process keeps in memory, as it stands: the ledger's alert
// step runs right after that took the batch in) when given, else summed in
// the ledger. Each alert stored goes to `delivery` when one is given.
// Errors (configuration, database, a budget that is not a number) propagate;
// alerts stored before stay.
void check_budgets(store::Store& store, const std::optional<std::string>& tag = std::nullopt,
                   spend_state::State* spend = nullptr, webhook::Delivery* delivery = nullptr);

// At most `n` alerts, newest first.
boost::json::array get_recent_alerts(store::Store& store, std::int64_t n = 20);

// Every alert not returned here before, newest first, marked seen on the
// way out (the records still show seen = 0).
boost::json::array get_unseen_alerts(store::Store& store);

// Priced spend of the last `hours` hours, of one tag when `tag` is given and
// not empty.
double _get_spend(store::Store& store, double hours, const std::optional<std::string>& tag = std::nullopt);

// Stores and logs one alert unless one of the same scope was stored in the
// last hour; what was stored goes to `delivery` when one is given.
void _record_alert(store::Store& store, const std::string& level, const std::string& scope, double spent, double budget,
                   const std::string& message, webhook::Delivery* delivery = nullptr);

}  // namespace tokentally::alerts

// The entry the ledger finds with dlsym: runs check_budgets(*store, tag)
// (tag may be null) and returns 0, or non-zero when it failed, which it logs
// once while the same failure goes on. Never throws.
extern "C" int tokentally_alerts_check_budgets(tokentally::store::Store* store, const char* tag);

// The same, reading the spend from `spend` when it is not null.
extern "C" int tokentally_alerts_check_budgets_from(tokentally::store::Store* store,
                                                    tokentally::spend_state::State* spend, const char* tag);

// The same, handing each stored alert to `delivery` when it is not null.
extern "C" int tokentally_alerts_check_budgets_delivering(tokentally::store::Store* store,
                                                          tokentally::spend_state::State* spend, const char* tag,
                                                          tokentally::webhook::Delivery* delivery);

// A webhook delivery for the ledger to hold while it checks (null when it
// cannot be made), and its end: tries under way get a moment to finish,
// then its thread stops. Never throw.
extern "C" tokentally::webhook::Delivery* tokentally_alerts_open_delivery();
extern "C" void tokentally_alerts_close_delivery(tokentally::webhook::Delivery* delivery);
