#include "tokentally/guards/periods.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

#include <cmath>
#include <ctime>
#include <stdexcept>

namespace tokentally::periods {

namespace {

// Local midnight of the day (or of the 1st of the month) that holds `now`.
// mktime finds the offset of that moment itself, so a day that a clock
// change makes 23 or 25 hours long starts where the wall clock read 00:00.
double _local_start(double now, bool month) {
    auto t = static_cast<std::time_t>(std::floor(now));
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    if (month) tm.tm_mday = 1;
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm));
}

}  // namespace

Period period(const boost::json::object& budgets) {
    const boost::json::value* v = budgets.if_contains("period");
    if (v == nullptr || v->is_null()) return Period::rolling;
    if (v->is_string() && v->get_string() == "rolling") return Period::rolling;
    if (v->is_string() && v->get_string() == "calendar") return Period::calendar;
    throw std::invalid_argument("budgets.period must be \"rolling\" or \"calendar\", not " + json::write(*v));
}

Period configured() {
    try {
        auto cfg = config::load_shared();
        return period(json::table(*cfg, "budgets"));
    } catch (const std::exception&) {
        return Period::rolling;
    }
}

double since(Period period, Span span, double now) {
    if (span == Span::hour) return now - HOUR_SECONDS;
    if (period == Period::rolling) return now - (span == Span::day ? DAY_SECONDS : MONTH_SECONDS);
    return _local_start(now, span == Span::month);
}

}  // namespace tokentally::periods
