// Calendar periods: where the windows start (local midnight, the 1st, days
// a clock change makes 23 or 25 hours long), the budget block counting from
// there across the day's and the month's boundary, windows longer than the
// spend kept in memory, and every other reader of the windows following.
#include "support/client.hpp"
#include "support/scratch.hpp"
#include "support/spend.hpp"
#include "tokentally/guards/alerts.hpp"
#include "tokentally/guards/budget.hpp"
#include "tokentally/guards/periods.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/views/metrics.hpp"
#include "tokentally/views/tui.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace bj = boost::json;
namespace budget = tokentally::budget;
namespace metrics = tokentally::metrics;
namespace periods = tokentally::periods;
namespace spend_state = tokentally::spend_state;
namespace store = tokentally::store;
using periods::Period;
using periods::Span;

namespace {

// The process's time zone for one test.
struct LocalZone {
    std::optional<std::string> before;
    explicit LocalZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) before = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~LocalZone() {
        if (before)
            ::setenv("TZ", before->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
};

double local(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm));
}

// A priced call of `key` at `ts`.
void call_at(double ts, double cost, const std::optional<std::string>& key, const std::string& tag = "t") {
    store::CallRecord rec{
        .model_id = "openai/gpt-4o", .tag = tag, .cost_usd = cost, .status = 200, .key = key, .ts = ts};
    const store::CallRecord* rows[] = {&rec};
    tt_test::store()->calls().append(rows);
}

const bj::object BODY = bj::parse(tt_test::chat_body("hi")).as_object();

// The block through the ledger's sums and through the spend kept in memory:
// both must say the same.
std::optional<std::string> refusal(const std::optional<std::string>& key) {
    auto by_sums = budget::refusal(*tt_test::store(), "t", key);
    auto in_memory = budget::admit(spend_state::make(tt_test::store()), "t", key, BODY, std::nullopt).refusal;
    EXPECT_EQ(by_sums, in_memory);
    return by_sums;
}

const std::string HINT = " Update ~/.tokentally.toml to increase budget.";

}  // namespace

TEST(Periods, CalendarWindowsStartAtLocalMidnightAndOnTheFirst) {
    LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    double noon = local(2024, 3, 15, 12, 0);
    EXPECT_EQ(periods::since(Period::calendar, Span::day, noon), local(2024, 3, 15, 0, 0));
    EXPECT_EQ(periods::since(Period::calendar, Span::month, noon), local(2024, 3, 1, 0, 0));
    EXPECT_EQ(periods::since(Period::calendar, Span::hour, noon), noon - 3600) << "the hour is always the last 60 min";
    EXPECT_EQ(periods::since(Period::rolling, Span::day, noon), noon - 86400);
    EXPECT_EQ(periods::since(Period::rolling, Span::month, noon), noon - 720 * 3600);
    double midnight = local(2024, 4, 1, 0, 0);
    EXPECT_EQ(periods::since(Period::calendar, Span::month, midnight), midnight) << "a window includes its start";
    EXPECT_EQ(periods::since(Period::calendar, Span::month, midnight - 1), local(2024, 3, 1, 0, 0));
    // The days the clocks change are 23 and 25 hours long, and so are their windows.
    double spring = local(2024, 3, 31, 23, 30), autumn = local(2024, 10, 27, 23, 30);
    EXPECT_EQ(spring - periods::since(Period::calendar, Span::day, spring), 22.5 * 3600);
    EXPECT_EQ(autumn - periods::since(Period::calendar, Span::day, autumn), 24.5 * 3600);

    EXPECT_EQ(periods::period(bj::object{}), Period::rolling);
    EXPECT_EQ(periods::period(bj::object{{"period", "calendar"}}), Period::calendar);
    try {
        periods::period(bj::object{{"period", "weekly"}});
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), R"(budgets.period must be "rolling" or "calendar", not "weekly")");
    }
}

TEST(Periods, CalendarBudgetsCountFromMidnightAndFromTheFirstOfTheMonth) {
    tt_test::Scratch s;
    double now = store::now();
    double midnight = periods::since(Period::calendar, Span::day, now);
    double first = periods::since(Period::calendar, Span::month, now);
    // 23:59 yesterday, today, the 1st of this month, 23:59 on the last day of the month before.
    const std::pair<double, double> calls[] = {{midnight - 60, 1.0},
                                               {midnight + (now - midnight) / 2, 0.25},
                                               {first + std::min(1.0, (now - first) / 2), 0.5},
                                               {first - 60, 2.0}};
    auto spent_since = [&](double since) {
        double sum = 0.0;
        for (const auto& [ts, cost] : calls) sum += ts >= since ? cost : 0.0;
        return sum;
    };
    for (const auto& [ts, cost] : calls) call_at(ts, cost, "ci");

    s.write_config("[budgets]\nperiod = \"calendar\"\ndaily = 1.0\n");
    EXPECT_EQ(spent_since(midnight), 0.25);
    EXPECT_EQ(refusal(std::nullopt), std::nullopt) << "yesterday's call does not count today";
    s.write_config("[budgets]\nperiod = \"rolling\"\ndaily = 1.0\n");
    EXPECT_EQ(refusal(std::nullopt),
              fmt::format("Daily budget exceeded: ${:.4f} spent of $1.00 limit.", spent_since(now - 86400)) + HINT)
        << "rolling: the last 24 hours, as without the setting";

    double month = spent_since(first);
    s.write_config(fmt::format("[budgets]\nperiod = \"calendar\"\n[budgets.keys.ci]\nmonthly = {}\n", month + 0.01));
    EXPECT_EQ(refusal("ci"), std::nullopt) << "the month before does not count";
    call_at(now, 0.02, "ci");
    EXPECT_EQ(refusal("ci"),
              fmt::format("Key [ci] monthly budget exceeded: ${:.4f} of ${:.2f}.", month + 0.02, month + 0.01) + HINT)
        << "the call of the 1st counts";
    EXPECT_EQ(refusal("alice"), std::nullopt) << "another key's spend is its own";
}

TEST(Periods, WindowsLongerThanTheSpendKeptInMemoryAreSummedByTheLedger) {
    tt_test::Scratch s;
    double now = store::now();
    call_at(now - 790 * 3600, 4.0, "ci");
    call_at(now - 60, 1.0, "ci");
    auto state = spend_state::make(tt_test::store());
    const store::SpendWindow w[] = {{now - 800 * 3600, std::nullopt}, {now - 800 * 3600, std::nullopt, "ci"}};
    EXPECT_EQ(spend_state::spend_since(*state, w), (std::vector<double>{5.0, 5.0}));
    std::vector<spend_state::Standing> seen;
    auto held = spend_state::hold_if(state, w, "t", "ci", 0.5, [&](auto standing) {
        seen.assign(standing.begin(), standing.end());
        return true;
    });
    ASSERT_TRUE(held);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].spent, 5.0);
    spend_state::hold_if(state, w, "t", "ci", 0.0, [&](auto standing) {
        seen.assign(standing.begin(), standing.end());
        return false;
    });
    EXPECT_EQ(seen[1].held, 0.5) << "what a key's calls in flight hold counts in its windows";
}

TEST(Periods, AlertsGaugesAndBothDashboardsFollowThePeriod) {
    tt_test::Scratch s;
    double now = store::now();
    double midnight = periods::since(Period::calendar, Span::day, now);
    double first = periods::since(Period::calendar, Span::month, now);
    call_at(midnight - 60, 1.0, std::nullopt);
    call_at(midnight + (now - midnight) / 2, 0.25, std::nullopt);
    double month = 0.25 + (midnight - 60 >= first ? 1.0 : 0.0);
    s.write_config("[budgets]\nperiod = \"calendar\"\ndaily = 1.0\nmonthly = 100\n[budgets.tags.t]\ndaily = 2.0\n");
    auto st = tt_test::store();

    auto kept = spend_state::make(st);
    for (auto* spend : {static_cast<spend_state::State*>(nullptr), kept.get()}) {
        auto gauges = metrics::budgets(*st, spend);
        ASSERT_EQ(gauges.size(), 3u);
        EXPECT_EQ(gauges[0].scope, "daily");
        EXPECT_EQ(gauges[0].spent, 0.25);
        EXPECT_DOUBLE_EQ(gauges[1].spent, month);
        EXPECT_EQ(gauges[2].spent, 0.25);
    }
    tokentally::alerts::check_budgets(*st, std::string("t"));
    EXPECT_TRUE(tokentally::alerts::get_recent_alerts(*st).empty()) << "0.25 of a daily 1.00";

    auto in = tokentally::tui::read_inputs(*st);
    EXPECT_DOUBLE_EQ(in.spend_30d, month);
    EXPECT_EQ(tokentally::tui::build_refresh(in, now).kpis[4].caption, "SPEND MONTH");

    tt_test::RunningApp app(tokentally::proxy::make_app(st));
    auto summary = bj::parse(tt_test::call("GET", app.url() + "/dashboard/api/summary").body).as_object();
    EXPECT_EQ(summary.at("period"), "calendar");
    EXPECT_DOUBLE_EQ(summary.at("budgets").as_array()[0].at("left").as_double(), 0.75);
    EXPECT_DOUBLE_EQ(summary.at("month_spent").as_double(), month);

    s.write_config("[budgets]\ndaily = 1.0\n");
    tokentally::alerts::check_budgets(*st, std::string("t"));
    if (now - (midnight - 60) <= 86400) {
        EXPECT_EQ(tokentally::alerts::get_recent_alerts(*st).size(), 1u) << "rolling: 1.25 in 24 hours";
    }
    EXPECT_EQ(tokentally::tui::build_refresh(tokentally::tui::read_inputs(*st), now).kpis[4].caption, "SPEND 30D");
}
