// Where the budget windows start. `[budgets] period` says how a day and a
// month are counted: "rolling" (the default: the last 24 hours and the last
// 720 hours) or "calendar" (from local midnight, and from local midnight of
// the 1st of the month, in the process's time zone). The hour is always the
// last 60 minutes. Every reader of a budget window asks here: the budget
// block, the alerts, the metrics gauges and both dashboards.
#pragma once

#include <boost/json.hpp>

namespace tokentally::periods {

inline constexpr double HOUR_SECONDS = 3600.0;
inline constexpr double DAY_SECONDS = 24 * HOUR_SECONDS;
inline constexpr double MONTH_SECONDS = 720 * HOUR_SECONDS;

enum class Period { rolling, calendar };
enum class Span { hour, day, month };

// The period of the `budgets` table: rolling when `period` is absent.
// Throws, naming the key and the value, for anything but "rolling" or
// "calendar".
Period period(const boost::json::object& budgets);

// The same, read from the configuration; rolling when it cannot be read
// (the budget check reports a broken file).
Period configured();

// The start of the `span` window that holds `now` (seconds since the epoch).
double since(Period period, Span span, double now);

}  // namespace tokentally::periods
