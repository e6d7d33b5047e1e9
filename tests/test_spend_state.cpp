// The spend kept in memory: the same windows as the ledger's sums, what
// this process commits taken in at once, what others write seen by the next
// read, and strict budgets that hold under concurrent calls (in one process
// and across two serve processes on one ledger).
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "support/spend.hpp"
#include "tokentally/guards/budget.hpp"
#include "tokentally/guards/spend_state.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <boost/asio.hpp>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace http = tokentally::http;
namespace ledger = tokentally::ledger;
namespace spend_state = tokentally::spend_state;
namespace store = tokentally::store;

constexpr double HOUR = 3600.0;

store::CallRecord row(double age_s, std::optional<double> cost, std::string tag = "default") {
    return {.model_id = "openai/gpt-4o",
            .tag = std::move(tag),
            .cost_usd = cost,
            .status = 200,
            .ts = store::now() - age_s};
}

void append(store::Store& st, const std::vector<store::CallRecord>& rows) {
    std::vector<const store::CallRecord*> refs;
    for (const auto& r : rows) refs.push_back(&r);
    st.calls().append(refs);
}

// Appends from a thread of its own, as another writer of the ledger would.
void append_elsewhere(store::Store& st, const std::vector<store::CallRecord>& rows) {
    std::thread([&] { append(st, rows); }).join();
}

// The windows the budget block and the alerts read, for every tag given.
std::vector<store::SpendWindow> windows(const std::vector<std::string>& tags) {
    double now = store::now();
    std::vector<store::SpendWindow> out;
    for (double hours : {1.0, 24.0, 720.0}) out.push_back({now - hours * HOUR, std::nullopt});
    for (const auto& tag : tags) out.push_back({now - 24 * HOUR, tag});
    return out;
}

// The state and the ledger agree on every window, to the cent fraction the
// refusal and alert texts print, and within rounding.
void expect_same_as_ledger(spend_state::State& state, store::Store& st, const std::vector<std::string>& tags) {
    auto w = windows(tags);
    auto memory = spend_state::spend_since(state, w);
    auto sums = st.calls().spend_since(w);
    for (std::size_t i = 0; i < w.size(); ++i) {
        EXPECT_NEAR(memory[i], sums[i], 1e-9) << "window " << i;
        EXPECT_EQ(fmt::format("{:.4f}", memory[i]), fmt::format("{:.4f}", sums[i])) << "window " << i;
    }
}

}  // namespace

TEST(SpendState, WindowsMatchTheLedgerAtTheirBoundariesAndAfterEveryKindOfWrite) {
    tt_test::Scratch s;
    auto st = tt_test::store();
    auto state = spend_state::make(st);
    // No ledger: nothing spent, and nothing created by asking.
    EXPECT_EQ(spend_state::spend_since(*state, windows({"a"})), std::vector<double>(4, 0.0));
    EXPECT_FALSE(std::filesystem::exists(s.db_path()));

    // Calls on both sides of each window's start, unpriced ones, and calls
    // beyond the longest window.
    std::vector<store::CallRecord> rows;
    for (double edge : {HOUR, 24 * HOUR, 720 * HOUR})
        for (double off : {-30.0, 30.0}) rows.push_back(row(edge + off, 0.125, off < 0 ? "a" : "b"));
    rows.push_back(row(5, std::nullopt, "a"));
    rows.push_back(row(800 * HOUR, 9.0, "a"));
    append_elsewhere(*st, rows);
    expect_same_as_ledger(*state, *st, {"a", "b", "nobody"});

    // Many calls (past the sums taken call by call), some out of time order.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> age(0, 30 * HOUR), cost(0, 0.01);
    rows.clear();
    for (int i = 0; i < 500; ++i) rows.push_back(row(age(rng), cost(rng), i % 3 ? "a" : "b"));
    append_elsewhere(*st, rows);
    expect_same_as_ledger(*state, *st, {"a", "b"});

    // This process's own commits, through the writer, with a foreign write
    // in between (a gap in the ids the writer's batch follows).
    auto writer = ledger::make_writer(st, {tokentally::spend_state::listener(state)});
    ledger::record_call(*writer, row(0, 0.5, "a"));
    append_elsewhere(*st, {row(0, 0.25, "b")});
    ledger::record_call(*writer, row(0, 0.75, "a"));
    expect_same_as_ledger(*state, *st, {"a", "b"});

    // A ledger replaced under the process: the new file's calls only.
    std::filesystem::remove(s.db_path());
    std::filesystem::remove(s.db_path() + "-wal");
    std::filesystem::remove(s.db_path() + "-shm");
    append_elsewhere(*st, {row(10, 2.0, "b")});
    expect_same_as_ledger(*state, *st, {"a", "b"});
    EXPECT_EQ(spend_state::spend_since(*state, windows({}))[1], 2.0);
}

// Days go by while serving: memory lets go of the minutes behind its
// horizons (a month for all calls, a day for each tag), and the windows read
// afterwards still match the ledger, a tag whose calls all aged out included.
TEST(SpendState, WindowsMatchTheLedgerAfterTheirOldestMinutesAreLetGo) {
    tt_test::Scratch s;
    auto st = tt_test::store();
    const double start = store::now();
    double clock = start;
    auto state = spend_state::make(st, [&] { return clock; });
    auto at = [&](double ts, double cost, std::string tag) {
        store::CallRecord r = row(0, cost, std::move(tag));
        r.ts = ts;
        return r;
    };
    append(*st, {at(start - 40 * 24 * HOUR, 8.0, "b"), at(start - 20 * 24 * HOUR, 4.0, "b"),
                 at(start - 18 * 24 * HOUR, 16.0, "b"), at(start - 26 * HOUR, 1.0, "a"), at(start - 2 * HOUR, 2.0, "a"),
                 at(start - HOUR, 0.5, "c")});
    // More calls than memory sums one by one: the windows below come from
    // the per-minute totals.
    std::vector<store::CallRecord> many;
    for (int i = 0; i < 70; ++i) many.push_back(at(start - 3 * HOUR + i, 0.0625, "d"));
    append(*st, many);
    auto expect_same = [&](double hours_back) {
        std::vector<store::SpendWindow> w{{clock - 720 * HOUR, std::nullopt},
                                          {clock - hours_back * HOUR, std::nullopt}};
        for (const char* tag : {"a", "b", "c"}) w.push_back({clock - 24 * HOUR, tag});
        auto memory = spend_state::spend_since(*state, w);
        auto sums = st->calls().spend_since(w);
        for (std::size_t i = 0; i < w.size(); ++i) EXPECT_NEAR(memory[i], sums[i], 1e-9) << "window " << i;
        return memory;
    };
    EXPECT_DOUBLE_EQ(expect_same(24)[0], 27.875);

    // Three days on, a call: every tag's calls are past its day, and all
    // calls' minutes before the month go.
    clock = start + 3 * 24 * HOUR;
    append(*st, {at(clock - 60, 0.25, "a")});
    auto later = expect_same(100);
    EXPECT_DOUBLE_EQ(later[0], 28.125);
    EXPECT_DOUBLE_EQ(later[1], 8.125);
    EXPECT_DOUBLE_EQ(later[2], 0.25);
    EXPECT_EQ(later[4], 0.0);

    // Past the oldest calls kept at the start: their minutes go too.
    clock = start + 15 * 24 * HOUR;
    append(*st, {at(clock - 60, 0.125, "c")});
    auto month = expect_same(1);
    EXPECT_DOUBLE_EQ(month[0], 8.25);
    EXPECT_DOUBLE_EQ(month[1], 0.125);
}

// A look at the ledger taken just before this process's own commit (on
// another thread) finds a last id below memory's. Memory is then ahead,
// not wrong: reading the whole horizon again for it (once many times a
// second under load) would drop what the listener was told and cost a
// read that grows with the ledger. Stood in for here by a batch told to
// the state that the ledger does not show yet.
TEST(SpendState, ALookOlderThanTheCallsInMemoryReadsNothingAgain) {
    tt_test::Scratch s;
    auto st = tt_test::store();
    auto state = spend_state::make(st);
    append(*st, {row(60, 0.25)});
    auto w = windows({});
    EXPECT_EQ(spend_state::spend_since(*state, w)[1], 0.25);

    store::CallRecord ahead = row(0, 0.5);
    const store::Committed batch[] = {{&ahead, {st->calls().changes().last_id + 1, store::now()}}};
    spend_state::committed(*state, batch);
    EXPECT_EQ(spend_state::spend_since(*state, w)[1], 0.75);
    // A later append of another program still comes in after it.
    append_elsewhere(*st, {row(0, 0.5), row(0, 1.0)});
    EXPECT_EQ(spend_state::spend_since(*state, w)[1], 1.75);
}

TEST(SpendState, HoldsCountUntilReleasedAndZeroCostHoldsNothing) {
    tt_test::Scratch s;
    auto st = tt_test::store();
    auto state = spend_state::make(st);
    append_elsewhere(*st, {row(60, 1.0, "a")});
    const store::SpendWindow w[] = {{store::now() - 24 * HOUR, std::nullopt}, {store::now() - 24 * HOUR, "a"}};
    auto standing = [&] {
        std::vector<spend_state::Standing> seen;
        spend_state::hold_if(state, w, "x", 0.0, [&](auto s) {
            seen.assign(s.begin(), s.end());
            return false;
        });
        return seen;
    };
    auto yes = [](auto) { return true; };
    {
        auto h1 = spend_state::hold_if(state, w, "a", 0.25, yes);
        auto h2 = spend_state::hold_if(state, w, "b", 0.5, yes);
        auto none = spend_state::hold_if(state, w, "a", 0.0, yes);
        ASSERT_TRUE(h1 && h2 && none);
        auto now = standing();
        EXPECT_EQ(now[0].spent, 1.0);
        EXPECT_EQ(now[0].held, 0.75);  // every tag's holds count against the daily budget
        EXPECT_EQ(now[1].held, 0.25);  // only its own against the tag's
        spend_state::Hold moved = std::move(*h1);
    }
    EXPECT_EQ(standing()[0].held, 0.0);
    EXPECT_EQ(standing()[1].held, 0.0);
}

TEST(SpendState, WorstCaseCostCountsPromptTextAndTheOutputMaximum) {
    boost::json::object price{{"input", 2.5}, {"output", 10.0}};
    auto body = [](const char* json) { return boost::json::parse(json).as_object(); };
    // 8 characters of text (é is one) are 2 tokens; max_tokens 100.
    EXPECT_DOUBLE_EQ(
        tokentally::budget::worst_case_cost(
            body(R"({"messages": [{"role": "", "content": "abcdefé!"}], "max_tokens": 100})"), price, 4096),
        2 * 2.5e-6 + 100 * 10e-6);
    // No maximum in the request: the configured default.
    EXPECT_DOUBLE_EQ(tokentally::budget::worst_case_cost(body(R"({"input": "abcd"})"), price, 4096),
                     2.5e-6 + 4096 * 10e-6);
    EXPECT_DOUBLE_EQ(
        tokentally::budget::worst_case_cost(body(R"({"prompt": "abcd", "max_output_tokens": 0})"), price, 1), 2.5e-6);
    EXPECT_EQ(tokentally::budget::worst_case_cost(body(R"({"input": "abcd"})"), std::nullopt, 4096), 0.0);
}

// --- concurrent calls through the proxy ------------------------------------------

namespace {

// 4000 characters of prompt (1000 tokens) and max_tokens 500: the mock's
// answer costs PRICED_COST, and a strict reservation of it a hair more (the
// role's text counts too).
std::string priced_body() { return tt_test::chat_body(std::string(4000, 'x'), R"(, "max_tokens": 500)"); }

struct Outcome {
    std::atomic<int> served{0};
    std::atomic<int> refused{0};  // 429 with "budget_exceeded"
    std::atomic<int> other{0};
};

asio::awaitable<void> _one_call(std::string url, std::string target, Outcome& out) {
    http::Client c(std::chrono::seconds(60));
    http::ClientRequest req{
        "POST",
        url + "/v1/chat/completions",
        {{"X-Tokentally-Target", target}, {"X-Tokentally-Cache", "off"}, {"Content-Type", "application/json"}},
        priced_body()};
    auto [e, resp] =
        co_await asio::co_spawn(co_await asio::this_coro::executor, c.fetch(req), asio::as_tuple(asio::use_awaitable));
    if (!e && resp.status == 200)
        ++out.served;
    else if (!e && resp.status == 429 && resp.body.find("\"budget_exceeded\"") != std::string::npos)
        ++out.refused;
    else
        ++out.other;
    c.close();
}

void concurrent_calls(const std::string& url, const std::string& target, int n, Outcome& out) {
    asio::io_context ioc;
    for (int i = 0; i < n; ++i) asio::co_spawn(ioc, _one_call(url, target, out), asio::detached);
    std::thread helper([&] { ioc.run(); });
    ioc.run();
    helper.join();
}

double recorded_cost(const tt_test::Scratch& s) {
    auto rows = tt_test::query(s.db_path(), "SELECT TOTAL(cost_usd) AS c FROM calls");
    return rows.at(0).as_object().at("c").as_double();
}

// 200 calls at once against a daily budget that fits 10 of them.
constexpr int CALLS = 200;
const double BUDGET = 10 * tt_test::PRICED_COST;

void calls_against_budget(const tt_test::Scratch& s, bool strict, Outcome& out) {
    s.write_config(fmt::format("[budgets]\ndaily = {}\nstrict = {}\n", BUDGET, strict));
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::RunningApp app(tokentally::proxy::make_app(tt_test::store()));
    concurrent_calls(app.url(), mock.url(), CALLS, out);
    std::string seen = fmt::format("{} served, {} refused, {} other, ${} recorded", out.served.load(),
                                   out.refused.load(), out.other.load(), recorded_cost(s));
    EXPECT_EQ(out.other, 0) << seen;
    EXPECT_EQ(out.served + out.refused, CALLS) << seen;
}

}  // namespace

TEST(SpendState, StrictBudgetHoldsUnderTwoHundredConcurrentCalls) {
    tt_test::Scratch s;
    Outcome out;
    calls_against_budget(s, true, out);
    EXPECT_LE(recorded_cost(s), BUDGET) << out.served;
    EXPECT_GE(out.served, 9) << recorded_cost(s);
}

TEST(SpendState, DefaultBudgetOvershootsByTheCallsCheckedTogether) {
    tt_test::Scratch s;
    Outcome out;
    calls_against_budget(s, false, out);
    // Only written rows refuse calls here: at least the 10 that fit went out,
    // and every call checked before they were written as well.
    EXPECT_GE(out.served, 10);
    std::cout << "default mode: " << out.served << " of " << CALLS << " calls served, $" << recorded_cost(s)
              << " recorded against a $" << BUDGET << " budget\n";
}

TEST(SpendState, TagBudgetSpentThroughOneServeRefusesTheNextCallThroughAnother) {
    tt_test::Scratch s;
    s.write_config(fmt::format("[budgets.tags.team]\ndaily = {}\n", tt_test::PRICED_COST));
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::ServeProcess first(s.home, s.data, s.root + "/first.log");
    tt_test::ServeProcess second(s.home, s.data, s.root + "/second.log");
    auto call = [&](const tt_test::ServeProcess& p, const std::string& tag) {
        return tt_test::call("POST", "http://127.0.0.1:" + std::to_string(p.port) + "/v1/chat/completions",
                             {{"X-Tokentally-Target", mock.url()},
                              {"X-Tokentally-Tag", tag},
                              {"X-Tokentally-Cache", "off"},
                              {"Content-Type", "application/json"}},
                             tt_test::chat_body("hi"));
    };
    // Both have read the ledger before the budget is spent through one.
    EXPECT_EQ(call(first, "warm-up").status, 200);
    EXPECT_EQ(call(second, "warm-up").status, 200);
    EXPECT_EQ(call(first, "team").status, 200);
    auto refused = call(second, "team");
    EXPECT_EQ(refused.status, 429);
    EXPECT_NE(refused.body.find("Tag [team] daily budget exceeded: $0.0075 of $0.01."), std::string::npos)
        << refused.body;
}

// --- windows over many calls, and a ledger edited by hand -----------------------

TEST(SpendState, WindowsOfManyCallsAreExactAtTheirBoundaries) {
    tt_test::Scratch s;
    auto st = tt_test::store();
    auto state = spend_state::make(st);
    // More calls than are kept one by one, many of them in the very minutes
    // the windows start in, on both sides of each start.
    std::vector<store::CallRecord> rows;
    for (double edge : {HOUR, 24 * HOUR, 720 * HOUR})
        for (int i = 0; i < 60; ++i) {
            rows.push_back(row(edge + 1 + i * 0.5, 0.01, i % 2 ? "a" : "b"));   // just outside
            rows.push_back(row(edge - 59 + i * 0.5, 0.02, i % 2 ? "a" : "b"));  // just inside
        }
    for (int i = 0; i < 200; ++i) rows.push_back(row(i * 60.0, 0.001, "a"));
    append_elsewhere(*st, rows);
    expect_same_as_ledger(*state, *st, {"a", "b"});
    // A day exactly: a call 24 h and 1 s old is out, one 23 h 59 min old is in.
    auto day = spend_state::spend_since(*state, windows({}));
    auto ledger = st->calls().spend_since(windows({}));
    EXPECT_NEAR(day[1], ledger[1], 1e-12);
    // Calls added later into a window's first minute are seen too.
    append_elsewhere(*st, {row(24 * HOUR - 2, 1.0, "a"), row(24 * HOUR + 2, 5.0, "a")});
    expect_same_as_ledger(*state, *st, {"a", "b"});
}

TEST(SpendState, EditsAndDeletionsByAnotherProgramAreSeenByTheNextRead) {
    tt_test::Scratch s;
    auto st = tt_test::store();
    auto state = spend_state::make(st);
    std::vector<store::CallRecord> rows;
    for (int i = 0; i < 100; ++i) rows.push_back(row(60 + i, 0.01, i < 50 ? "load-test" : "real"));
    append_elsewhere(*st, rows);
    expect_same_as_ledger(*state, *st, {"load-test", "real"});
    SQLite::Database program(s.db_path(), SQLite::OPEN_READWRITE);
    program.exec("DELETE FROM calls WHERE tag = 'load-test'");
    expect_same_as_ledger(*state, *st, {"load-test", "real"});
    EXPECT_NEAR(spend_state::spend_since(*state, windows({}))[1], 0.5, 1e-12);
    program.exec("UPDATE calls SET cost_usd = 1.0 WHERE id = (SELECT MAX(id) FROM calls)");
    expect_same_as_ledger(*state, *st, {"real"});
    // Few calls: summed one by one, to the same bits as the ledger.
    program.exec("DELETE FROM calls WHERE id > (SELECT MIN(id) FROM calls) + 2");
    auto memory = spend_state::spend_since(*state, windows({"real"}));
    auto sums = st->calls().spend_since(windows({"real"}));
    EXPECT_EQ(memory, sums);
}

// A key's budget counts the calls made with it: a key changed or removed by
// hand moves them, also on a ledger whose keys an earlier release wrote.
TEST(SpendState, KeysChangedByHandAreSeenByTheNextRead) {
    tt_test::Scratch s;
    std::filesystem::create_directories(s.data);
    SQLite::Database program(s.db_path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    program.exec("CREATE TABLE call_keys (call_id INTEGER PRIMARY KEY, key TEXT NOT NULL)");  // as it was made
    auto st = tt_test::store();
    auto state = spend_state::make(st);
    std::vector<store::CallRecord> rows;
    for (int i = 0; i < 6; ++i) {
        rows.push_back(row(60 + i, 1.0 + i));
        rows.back().key = i < 3 ? "ci" : "alice";
    }
    append_elsewhere(*st, rows);
    double day = store::now() - 24 * HOUR;
    const std::vector<store::SpendWindow> keys{{day, std::nullopt, "ci"}, {day, std::nullopt, "alice"}};
    auto expect_ledger = [&](std::vector<double> want) {
        EXPECT_EQ(st->calls().spend_since(keys), want);
        EXPECT_EQ(spend_state::spend_since(*state, keys), want);
    };
    expect_ledger({6.0, 15.0});
    program.exec("UPDATE call_keys SET key = 'alice' WHERE key = 'ci'");
    expect_ledger({0.0, 21.0});
    program.exec("DELETE FROM call_keys WHERE call_id > (SELECT MIN(call_id) FROM call_keys)");
    expect_ledger({0.0, 1.0});
}

namespace {

// A priced call through `url` (a proxy) to `target`; its status.
int priced_call(const std::string& url, const std::string& target, const std::string& tag = "default") {
    return tt_test::call("POST", url + "/v1/chat/completions",
                         {{"X-Tokentally-Target", target},
                          {"X-Tokentally-Tag", tag},
                          {"X-Tokentally-Cache", "off"},
                          {"Content-Type", "application/json"}},
                         tt_test::chat_body("hi"))
        .status;
}

}  // namespace

// The user cleans up the ledger after a load test, or corrects a price, while
// the proxy runs: the next budget check (plain and strict, overall and per
// tag), the next alert step and the next scrape count the ledger as it is.
TEST(SpendState, BudgetsAlertsAndGaugesFollowTheLedgerEditedWhileServing) {
    for (bool strict : {false, true}) {
        tt_test::Scratch s;
        s.write_config(
            fmt::format("[budgets]\ndaily = 5\nhourly = 100\nstrict = {}\n[budgets.tags.team]\ndaily = 1\n", strict));
        tt_test::MockServer mock(tt_test::priced_answer);
        tt_test::insert_call(120, 4.99, "load-test");
        tt_test::insert_call(120, 0.5, "team");
        tt_test::RunningApp app(tokentally::proxy::make_app(tt_test::store()));
        EXPECT_EQ(priced_call(app.url(), mock.url()), 429) << strict;
        EXPECT_EQ(priced_call(app.url(), mock.url(), "team"), 429) << strict;
        SQLite::Database program(s.db_path(), SQLite::OPEN_READWRITE);
        program.exec("DELETE FROM calls WHERE tag = 'load-test'");
        EXPECT_EQ(priced_call(app.url(), mock.url()), 200) << "deleted rows no longer refuse calls; strict " << strict;
        std::string gauges = tt_test::call("GET", app.url() + "/metrics").body;
        std::string daily_gauge = "tokentally_budget_spend_usd{scope=\"daily\"} ";
        auto at = gauges.find(daily_gauge);
        ASSERT_NE(at, std::string::npos) << gauges;
        EXPECT_NEAR(std::stod(gauges.substr(at + daily_gauge.size())), 0.5 + tt_test::PRICED_COST, 1e-12);

        // A price corrected so that the day is exactly at its limit.
        program.exec("UPDATE calls SET cost_usd = 4.9925 WHERE tag = 'team'");
        EXPECT_EQ(priced_call(app.url(), mock.url()), 429) << "strict " << strict;
        program.exec("UPDATE calls SET cost_usd = 1.0 WHERE tag = 'team'");
        EXPECT_EQ(priced_call(app.url(), mock.url(), "team"), 429) << "the tag is exactly at its limit";
        program.exec("UPDATE calls SET cost_usd = 0.25 WHERE tag = 'team'");
        EXPECT_EQ(priced_call(app.url(), mock.url(), "team"), 200) << "strict " << strict;

        // The alert step after a call counts a row made larger meanwhile.
        program.exec("UPDATE calls SET cost_usd = 100 WHERE tag = 'team' AND cost_usd = 0.25");
        s.write_config("[budgets]\nhourly = 100\n");
        EXPECT_EQ(priced_call(app.url(), mock.url(), "other"), 200);
        auto alerts = tt_test::store()->alerts().latest(10);
        ASSERT_FALSE(alerts.empty()) << "strict " << strict;
        EXPECT_EQ(alerts.front().scope, "hourly");
        EXPECT_NEAR(alerts.front().spent, 100 + 3 * tt_test::PRICED_COST, 1e-9);
    }
}

TEST(SpendState, RowsDeletedByHandAreSeenByEveryServeOnTheLedger) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 1\n");
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::insert_call(60, 2.0, "load-test");
    tt_test::ServeProcess first(s.home, s.data, s.root + "/first.log");
    tt_test::ServeProcess second(s.home, s.data, s.root + "/second.log");
    EXPECT_EQ(priced_call(first.url(), mock.url()), 429);
    EXPECT_EQ(priced_call(second.url(), mock.url()), 429);
    auto cleaned = tt_test::run("sqlite3 " + s.db_path() + " \"DELETE FROM calls WHERE tag = 'load-test'\"");
    ASSERT_EQ(cleaned.status, 0);
    EXPECT_EQ(priced_call(first.url(), mock.url()), 200);
    EXPECT_EQ(priced_call(second.url(), mock.url()), 200);
    auto raised = tt_test::run("sqlite3 " + s.db_path() + " \"UPDATE calls SET cost_usd = 1\"");
    ASSERT_EQ(raised.status, 0);
    EXPECT_EQ(priced_call(second.url(), mock.url()), 429);
    EXPECT_EQ(priced_call(first.url(), mock.url()), 429);
}

// `serve` reads the file notifications once per request, not at every look:
// a configuration edited in place, and a ledger removed and made afresh,
// between two requests are both seen by the second (files settled first, so
// that their stamps are kept).
TEST(SpendState, FilesChangedBetweenRequestsAreSeenByTheNextOne) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 100\n");
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::insert_call(60, 0.5, "earlier");
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    tt_test::ServeProcess serve(s.home, s.data, s.root + "/serve.log");
    EXPECT_EQ(priced_call(serve.url(), mock.url()), 200);
    s.write_config("[budgets]\ndaily = 0.1\n");
    EXPECT_EQ(priced_call(serve.url(), mock.url()), 429) << "the edited limit";
    s.write_config("[budgets]\ndaily = 1\n");
    EXPECT_EQ(priced_call(serve.url(), mock.url()), 200);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(s.db_path() + suffix);
    tt_test::insert_call(60, 5.0, "fresh");
    EXPECT_EQ(priced_call(serve.url(), mock.url()), 429) << "the new ledger's spend";
}
