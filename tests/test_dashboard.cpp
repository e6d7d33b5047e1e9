// The web dashboard's API and CSV against what the ledger holds, who may
// read them, and /metrics after calls of every kind (checked by promtool).
#include "support/spend.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/views/dashboard.hpp"
#include "tokentally/views/metrics.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <cstdlib>
#include <fstream>
#include <regex>

namespace http = tokentally::http;
namespace proxy = tokentally::proxy;
namespace store = tokentally::store;
namespace bj = boost::json;
using tt_test::call;

namespace {

// Sets an environment variable for the life of a test.
struct EnvVar {
    std::string name;
    EnvVar(std::string n, const std::string& value) : name(std::move(n)) { setenv(name.c_str(), value.c_str(), 1); }
    ~EnvVar() { unsetenv(name.c_str()); }
};

void append(const std::string& model, const std::string& tag, std::optional<double> cost, double age_s,
            std::int64_t in = 100, std::int64_t out = 50, int status = 200, double elapsed = 0.5) {
    store::CallRecord rec{.model_id = model,
                          .tag = tag,
                          .session_id = "s-" + tag,
                          .prompt_tokens = in,
                          .completion_tokens = out,
                          .cost_usd = cost,
                          .elapsed_s = elapsed,
                          .status = status,
                          .ts = store::now() - age_s};
    const store::CallRecord* rows[] = {&rec};
    tt_test::store()->calls().append(rows);
}

bj::value get_json(const tt_test::RunningApp& app, const std::string& path) {
    auto resp = call("GET", app.url() + path);
    EXPECT_EQ(resp.status, 200) << path << ": " << resp.body;
    return bj::parse(resp.body);
}

double sql_number(const std::string& db, const std::string& sql) {
    bj::array rows = tt_test::query(db, sql);
    const bj::value& v = rows.at(0).as_object().begin()->value();
    return v.is_null() ? 0.0 : v.to_number<double>();
}

// Runs one route of the dashboard's router as if `peer` had sent the request.
int status_from(const http::Router& r, const std::string& pattern, const std::string& peer) {
    for (const auto& route : r.routes) {
        if (route.pattern != pattern) continue;
        boost::asio::io_context ioc;
        http::Request req{.method = "GET", .path = pattern, .peer = peer};
        auto answer = boost::asio::co_spawn(
            ioc, [&]() -> boost::asio::awaitable<http::Response> { co_return co_await route.handler(req); },
            boost::asio::use_future);
        // The dashboard's reads finish on their own thread: the loop must
        // not run out of work and stop before their answer comes back.
        auto busy = boost::asio::make_work_guard(ioc);
        while (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            ioc.run_one_for(std::chrono::milliseconds(10));
        return answer.get().status;
    }
    ADD_FAILURE() << "no route " << pattern;
    return 0;
}

// The sum of every sample of `name` whose labels contain each of `labels`.
double sample_sum(const std::string& text, const std::string& name, const std::vector<std::string>& labels = {}) {
    double sum = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(name + "{") && !line.starts_with(name + " ")) continue;
        bool all = true;
        for (const auto& l : labels) all = all && line.find(l) != std::string::npos;
        if (all) sum += std::stod(line.substr(line.rfind(' ') + 1));
    }
    return sum;
}

}  // namespace

TEST(DashboardApi, FiguresEqualTheLedgerAndFollowTheFilters) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 5.0\nmonthly = 100.0\n[budgets.tags.web]\ndaily = 1.0\n");
    append("openai/gpt-4o", "web", 0.25, 60);
    append("openai/gpt-4o", "batch", 0.5, 120);
    append("anthropic/claude-3-5-haiku", "web", 0.125, 600, 10, 5, 500);
    append("openai/gpt-4o", "web", 0.0, 30, 100, 50, 200, 0.0);  // a cache hit
    append("openai/gpt-4o", "web", 4.0, 3 * 86400);              // outside 24 hours
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    const std::string db = s.db_path();
    const std::string day = "ts >= strftime('%s','now') - 86400";

    bj::object all = get_json(app, "/dashboard/api/summary").as_object();
    EXPECT_NEAR(all.at("cost").to_number<double>(), sql_number(db, "SELECT SUM(cost_usd) FROM calls WHERE " + day),
                1e-9);
    EXPECT_EQ(all.at("calls").to_number<double>(), sql_number(db, "SELECT COUNT(*) FROM calls WHERE " + day));
    EXPECT_EQ(all.at("tokens_in").to_number<double>(),
              sql_number(db, "SELECT SUM(prompt_tokens) FROM calls WHERE " + day));
    EXPECT_EQ(all.at("cache").at("hits").to_number<int>(), 1);
    EXPECT_EQ(all.at("status_classes").at("5xx").to_number<int>(), 1);
    EXPECT_EQ(all.at("by_model").as_array().size(), 2u);
    // The tag's budget sits beside it; the month counts the older call too.
    for (const auto& t : all.at("by_tag").as_array())
        if (t.at("tag") == "web") {
            EXPECT_EQ(t.at("daily_budget").to_number<double>(), 1.0);
        }
    EXPECT_NEAR(all.at("month_spent").to_number<double>(), 4.875, 1e-9);

    bj::object web = get_json(app, "/dashboard/api/summary?tag=web&range=24h").as_object();
    EXPECT_NEAR(web.at("cost").to_number<double>(), 0.375, 1e-9);
    EXPECT_EQ(web.at("calls").to_number<int>(), 3);
    bj::object week = get_json(app, "/dashboard/api/summary?range=7d&model=openai%2Fgpt-4o").as_object();
    EXPECT_NEAR(week.at("cost").to_number<double>(), 4.75, 1e-9);

    bj::object series = get_json(app, "/dashboard/api/series?range=7d").as_object();
    EXPECT_EQ(series.at("datasets").as_array().size(), 2u);  // one per model
    EXPECT_EQ(series.at("bucket_s").to_number<double>(), 86400.0);
    EXPECT_EQ(series.at("daily_budget").to_number<double>(), 5.0);
    double drawn = 0;
    for (const auto& d : series.at("datasets").as_array())
        for (const auto& v : d.at("cost").as_array()) drawn += v.to_number<double>();
    EXPECT_NEAR(drawn, 4.875, 1e-9);

    bj::array recent = get_json(app, "/dashboard/api/recent?n=4").as_array();
    ASSERT_EQ(recent.size(), 4u);
    EXPECT_TRUE(recent[0].at("cached").as_bool());  // newest first
    EXPECT_FALSE(recent[1].at("cached").as_bool());
    EXPECT_TRUE(recent[3].at("error").as_bool());
    EXPECT_EQ(get_json(app, "/dashboard/api/session?id=s-batch").as_array().size(), 1u);
    EXPECT_EQ(get_json(app, "/dashboard/api/sessions?tag=web").as_array().size(), 1u);

    // Alerts: the unseen first, each part newest first; reading them here
    // leaves them unseen.
    auto st = tt_test::store();
    store::Alerts& alerts = st->alerts();
    alerts.insert_unless_raised_since({"warn", "daily", 4.5, 5.0, "near"}, 0);
    alerts.take_unseen();
    alerts.insert_unless_raised_since({"critical", "tag:web", 1.25, 1.0, "over"}, 0);
    alerts.insert_unless_raised_since({"warn", "monthly", 90.0, 100.0, "near"}, 0);
    bj::array listed = get_json(app, "/dashboard/api/alerts?n=5").as_array();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].at("scope"), "monthly");
    EXPECT_EQ(listed[1].at("scope"), "tag:web");
    EXPECT_EQ(listed[1].at("level"), "critical");
    EXPECT_EQ(listed[1].at("spent").to_number<double>(), 1.25);
    EXPECT_EQ(listed[1].at("seen").to_number<int>(), 0);
    EXPECT_EQ(listed[2].at("scope"), "daily");
    EXPECT_EQ(listed[2].at("seen").to_number<int>(), 1);
    EXPECT_EQ(alerts.take_unseen().size(), 2u);
}

// The sessions route lists the costliest `n` sessions of the range, as the
// agents table (agent_summary) has them, and how many there are in all; a
// session that began before the range counts only its calls inside it.
TEST(DashboardApi, SessionsAreTheCostliestOfAgentSummaryWithTheirCount) {
    tt_test::Scratch s;
    for (int i = 0; i < 7; ++i) append("openai/gpt-4o", "t" + std::to_string(i), 0.1 * (i + 1), 600.0 * (i + 1));
    append("openai/gpt-4o", "t2", 5.0, 30 * 3600.0);  // s-t2 straddles the day's start
    append("openai/gpt-4o", "t2", 0.05, 3 * 3600.0, 100, 50, 500);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    bj::array want = tokentally::ledger::agent_summary(*tt_test::store(), 24.0);
    auto resp = call("GET", app.url() + "/dashboard/api/sessions?n=3");
    ASSERT_EQ(resp.status, 200) << resp.body;
    const std::string* total = http::find_header(resp.headers, "X-Total-Count");
    ASSERT_NE(total, nullptr);
    EXPECT_EQ(*total, std::to_string(want.size()));
    bj::array got = bj::parse(resp.body).as_array();
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < got.size(); ++i)
        for (const auto& [key, value] : want[i].as_object()) {
            // Relative: times pass through JSON text, parsed to within an ulp.
            if (value.is_double())
                EXPECT_NEAR(got[i].at(key).to_number<double>(), value.as_double(),
                            1e-9 * std::max(1.0, std::abs(value.as_double())))
                    << key;
            else
                EXPECT_EQ(got[i].at(key), value) << i << ": " << key;
        }
    bj::array t2 = get_json(app, "/dashboard/api/sessions?tag=t2").as_array();
    ASSERT_EQ(t2.size(), 1u);
    EXPECT_EQ(t2[0].at("calls").to_number<int>(), 2) << "the call of 30 hours ago is outside the range";
    EXPECT_EQ(t2[0].at("errors").to_number<int>(), 1);
}

// Latency per model comes from a histogram: p50 and p95 within one bin's
// width (9%) of the exact nearest-rank percentiles.
TEST(DashboardApi, LatencyPercentilesAreWithinABinOfTheExactOnes) {
    tt_test::Scratch s;
    for (int i = 1; i <= 20; ++i) append("openai/gpt-4o", "web", 0.01, 60.0 * i, 100, 50, 200, 0.05 * i);
    append("openai/gpt-4o-mini", "web", 0.01, 30, 100, 50, 200, 0.3);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    bj::object all = get_json(app, "/dashboard/api/summary").as_object();
    ASSERT_EQ(all.at("latency").as_array().size(), 2u);
    for (const auto& l : all.at("latency").as_array()) {
        double p50 = l.at("p50").to_number<double>(), p95 = l.at("p95").to_number<double>();
        if (l.at("model_id") == "openai/gpt-4o") {
            EXPECT_NEAR(p50, 0.5, 0.5 * 0.09);    // the 10th of 20
            EXPECT_NEAR(p95, 0.95, 0.95 * 0.09);  // the 19th
        } else {
            EXPECT_DOUBLE_EQ(p50, 0.3) << "a bin whose calls all took the same time gives that time";
            EXPECT_DOUBLE_EQ(p95, 0.3);
        }
    }
}

// A caller that runs a route in an io_context of its own with a plain run()
// gets the answer: the read on the reader threads keeps that context busy
// until the answer is back.
TEST(DashboardApi, AnInProcessCallerDrivingItsOwnLoopGetsTheAnswer) {
    tt_test::Scratch s;
    append("openai/gpt-4o", "web", 0.25, 60);
    http::Router r = tokentally::dashboard::router(tt_test::store(), "test");
    int answered = 0;
    for (const auto& route : r.routes) {
        if (route.pattern != "/dashboard/api/summary" && route.pattern != "/metrics") continue;
        boost::asio::io_context ioc;
        http::Request req{.method = "GET", .path = route.pattern, .peer = "127.0.0.1"};
        auto answer = boost::asio::co_spawn(
            ioc, [&]() -> boost::asio::awaitable<http::Response> { co_return co_await route.handler(req); },
            boost::asio::use_future);
        ioc.run();
        ASSERT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::ready) << route.pattern;
        EXPECT_EQ(answer.get().status, 200) << route.pattern;
        ++answered;
    }
    EXPECT_EQ(answered, 2);
}

TEST(DashboardApi, BadParametersAreNamed) {
    tt_test::Scratch s;
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    for (auto [path, named] :
         std::vector<std::pair<std::string, std::string>>{{"/dashboard/api/summary?range=1y", "range"},
                                                          {"/dashboard/api/recent?n=0", "n"},
                                                          {"/dashboard/api/recent?n=12x", "n"},
                                                          {"/dashboard/api/series?since=3", "since"},
                                                          {"/dashboard/api/session", "id"},
                                                          {"/dashboard/calls.csv?range=", "range"}}) {
        auto resp = call("GET", app.url() + path);
        EXPECT_EQ(resp.status, 400) << path;
        EXPECT_TRUE(bj::parse(resp.body).at("detail").as_string().starts_with(named + ":")) << resp.body;
    }
}

TEST(DashboardApi, CsvHoldsTheRangeQuotedAsCsvWants) {
    tt_test::Scratch s;
    append("openai/gpt-4o", "a,\"b\"", 0.25, 60);
    append("openai/gpt-4o", "plain", std::nullopt, 120);
    append("openai/gpt-4o", "plain", 1.0, 2 * 86400);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    auto resp = call("GET", app.url() + "/dashboard/calls.csv");
    ASSERT_EQ(resp.status, 200);
    EXPECT_EQ(*http::find_header(resp.headers, "content-type"), "text/csv; charset=utf-8");
    std::vector<std::string> lines;
    std::istringstream in(resp.body);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u);  // the header and the two calls of the day, oldest first
    EXPECT_TRUE(lines[0].starts_with("id,ts,model_id,tag,session_id,"));
    EXPECT_NE(lines[1].find(",plain,"), std::string::npos);
    EXPECT_NE(lines[1].find(",,"), std::string::npos);  // no cost: an empty field
    EXPECT_NE(lines[2].find(",\"a,\"\"b\"\"\","), std::string::npos);
    std::string week = call("GET", app.url() + "/dashboard/calls.csv?range=7d&tag=plain").body;
    EXPECT_EQ(std::count(week.begin(), week.end(), '\n'), 3);
}

TEST(DashboardAccess, TokenOrLoopback) {
    tt_test::Scratch s;
    const std::vector<std::string> protected_paths = {"/dashboard/api/summary", "/dashboard/api/recent",
                                                      "/dashboard/calls.csv", "/metrics"};
    {
        EnvVar token(tokentally::dashboard::ADMIN_TOKEN_ENV, "s3cret-token");
        tt_test::RunningApp app(proxy::make_app(tt_test::store()));
        for (const auto& p : protected_paths) {
            EXPECT_EQ(call("GET", app.url() + p).status, 401) << p;
            EXPECT_EQ(call("GET", app.url() + p, {{"Authorization", "Bearer wrong"}}).status, 401) << p;
            EXPECT_EQ(call("GET", app.url() + p, {{"Authorization", "Bearer s3cret-token"}}).status, 200) << p;
        }
        // The page itself holds no figures; it asks for the token.
        EXPECT_EQ(call("GET", app.url() + "/dashboard").status, 200);
    }
    // Without a token, only this machine may look.
    http::Router r = tokentally::dashboard::router(tt_test::store(), "test");
    for (const auto& p : protected_paths) {
        EXPECT_EQ(status_from(r, p, "192.0.2.7"), 403) << p;
        EXPECT_EQ(status_from(r, p, "127.0.0.1"), 200) << p;
        EXPECT_EQ(status_from(r, p, "::ffff:127.0.0.1"), 200) << p;
    }
    EXPECT_EQ(status_from(r, "/dashboard", "10.1.2.3"), 403);
}

// The counters after one call of each kind, as promtool reads them.
TEST(Metrics, PromtoolAcceptsThemAndCountersEqualTheCalls) {
    tt_test::Scratch s;
    s.write_config("[budgets.tags.capped]\ndaily = 0.001\n");
    append("openai/gpt-4o", "capped", 0.01, 60);  // already over its budget
    tt_test::MockServer mock([](const tt_test::Received& r) {
        if (r.body.find("boom") != std::string::npos) return tt_test::reply(500, R"({"error": "boom"})");
        if (r.body.find("\"stream\": true") != std::string::npos) {
            tt_test::MockReply reply;
            reply.headers = {{"Content-Type", "text/event-stream"}};
            reply.chunks = {"data: {\"delta\": \"a\"}\n\n", "data: [DONE]\n\n"};
            return reply;
        }
        return tt_test::reply(200, tt_test::chat_answer(tt_test::PRICED_USAGE));
    });
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("hello")).status, 200);
    auto hit = tt_test::post_chat(app, mock, tt_test::chat_body("hello"));
    EXPECT_EQ(*http::find_header(hit.headers, "X-Tokentally-Cache"), "exact-hit");
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("s", R"(, "stream": true)")).status, 200);
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("boom")).status, 500);
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("x"), {{"X-Tokentally-Tag", "capped"}}).status, 429);

    auto resp = call("GET", app.url() + "/metrics");
    ASSERT_EQ(resp.status, 200);
    EXPECT_EQ(*http::find_header(resp.headers, "content-type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string file = s.root + "/metrics.txt";
    std::ofstream(file) << resp.body;
    auto check = tt_test::run("promtool check metrics < " + file + " 2>&1");
    EXPECT_EQ(check.status, 0) << check.out;

    const std::string& m = resp.body;
    EXPECT_EQ(sample_sum(m, "tokentally_requests_total"), 5);
    EXPECT_EQ(sample_sum(m, "tokentally_requests_total", {"status=\"200\""}), 3);
    EXPECT_EQ(sample_sum(m, "tokentally_requests_total", {"status=\"500\""}), 1);
    EXPECT_EQ(sample_sum(m, "tokentally_requests_total", {"status=\"429\"", "tag=\"capped\""}), 1);
    EXPECT_EQ(sample_sum(m, "tokentally_cache_hits_total", {"kind=\"exact\""}), 1);
    EXPECT_EQ(sample_sum(m, "tokentally_budget_refusals_total", {"tag=\"capped\""}), 1);
    EXPECT_NEAR(sample_sum(m, "tokentally_spend_usd_total"), tt_test::PRICED_COST, 1e-12);
    EXPECT_EQ(sample_sum(m, "tokentally_tokens_total", {"direction=\"input\""}), 1000 + 1000);  // answer and hit
    EXPECT_EQ(sample_sum(m, "tokentally_upstream_duration_seconds_count"), 3);
    EXPECT_EQ(sample_sum(m, "tokentally_time_to_first_byte_seconds_count"), 1);
    EXPECT_NEAR(sample_sum(m, "tokentally_budget_spend_usd", {"scope=\"tag:capped\""}), 0.01, 1e-12);
    EXPECT_EQ(sample_sum(m, "tokentally_budget_limit_usd", {"scope=\"tag:capped\""}), 0.001);
    EXPECT_EQ(sample_sum(m, "tokentally_build_info", {"version=\"" + std::string(proxy::VERSION) + "\""}), 1);
    // Session ids never become labels.
    EXPECT_EQ(m.find("session"), std::string::npos);
}

// Counters found once per kind of call stay apart for kinds whose labels
// would run together if simply joined.
TEST(Metrics, EveryModelAndTagPairCountsInItsOwnSeries) {
    tt_test::Scratch s;
    auto listen = tokentally::metrics::listener();
    store::CallRecord a{.model_id = "kind\na", .tag = "b", .status = 200};
    store::CallRecord b{.model_id = "kind", .tag = "a\nb", .status = 200};
    const store::Committed batch[] = {{&a, {}}, {&a, {}}, {&b, {}}};
    auto st = tt_test::store();
    listen(*st, batch);
    std::string m = tokentally::metrics::render(*st, "test");
    EXPECT_EQ(sample_sum(m, "tokentally_requests_total", {"model=\"kind\\na\"", "tag=\"b\""}), 2) << m;
    EXPECT_EQ(sample_sum(m, "tokentally_requests_total", {"model=\"kind\"", "tag=\"a\\nb\""}), 1) << m;
}
