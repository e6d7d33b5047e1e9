// What every store must do, written once against the interface and run for
// each backend in BACKENDS: a new backend is one more line there. Rows are
// written with chosen times through CallRecord::ts.
#include "support/pg_cluster.hpp"
#include "support/scratch.hpp"
#include "tokentally/store/copy.hpp"
#include "tokentally/store/rollups.hpp"
#include "tokentally/store/sqlite/sessions.hpp"
#include "tokentally/store/store.hpp"

#include <gtest/gtest.h>

#include <limits>

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <functional>
#include <set>
#include <thread>

namespace {

namespace store = tokentally::store;
using store::CallRecord;

struct Backend {
    const char* name;
    // A store of its own for the running test, empty.
    std::function<std::shared_ptr<store::Store>(const tt_test::Scratch&)> open;
    // Why the backend cannot run here; none when it can.
    std::function<std::optional<std::string>()> unavailable = [] { return std::nullopt; };
};

const Backend BACKENDS[] = {
    {"sqlite", [](const tt_test::Scratch& s) { return store::open(s.db_path()); }},
    // A new database on the throw-away cluster for each test (the scratch
    // file only stands in, unused, when the server is missing: it skips).
    {"postgresql",
     [](const tt_test::Scratch& s) {
         return store::open(tt_test::pg_unavailable() ? s.db_path() : tt_test::pg_database());
     },
     tt_test::pg_unavailable},
};

class StoreConformance : public ::testing::TestWithParam<Backend> {
protected:
    tt_test::Scratch scratch;
    std::shared_ptr<store::Store> st = GetParam().open(scratch);
    store::Calls& calls = st->calls();
    const double now = store::now();

    void SetUp() override {
        if (auto why = GetParam().unavailable()) GTEST_SKIP() << *why;
    }

    void append(std::vector<CallRecord> rows) {
        std::vector<const CallRecord*> refs;
        for (const auto& r : rows) refs.push_back(&r);
        calls.append(refs);
    }
    // A priced call `age` seconds old.
    CallRecord call(double age, std::string tag = "default", std::optional<double> cost = 1.0) {
        return {.model_id = "openai/gpt-4o",
                .tag = std::move(tag),
                .session_id = "s-1",
                .prompt_tokens = 10,
                .completion_tokens = 5,
                .cost_usd = cost,
                .elapsed_s = 1.0,
                .status = 200,
                .ts = now - age};
    }
};

std::int64_t integer(const store::Total& t) { return std::get<std::int64_t>(t); }

TEST_P(StoreConformance, AppendedRowsReadBackAsWrittenNewestFirst) {
    CallRecord full = call(20, "proj");
    full.streamed = true;
    full.requested_model = "openai/gpt-4o-mini";
    full.cache_read_tokens = 300;
    full.cache_write_1h_tokens = 7;
    CallRecord bare{.tag = "t", .session_id = "s-2", .elapsed_s = 0.5, .status = 500};
    double before = store::now();
    append({full, bare});

    auto rows = calls.latest(10, std::nullopt);
    ASSERT_EQ(rows.size(), 2u);
    const store::CallRow& b = rows[0];  // stamped now: the newest
    EXPECT_GE(b.ts, before);
    EXPECT_FALSE(b.model_id || b.prompt_tokens || b.completion_tokens || b.cost_usd);
    EXPECT_EQ(b.status, 500);
    EXPECT_EQ(b.streamed, 0);
    const store::CallRow& f = rows[1];
    EXPECT_LT(f.id, b.id);
    EXPECT_DOUBLE_EQ(f.ts, now - 20);
    EXPECT_EQ(f.model_id, "openai/gpt-4o");
    EXPECT_EQ(f.tag, "proj");
    EXPECT_EQ(f.session_id, "s-1");
    EXPECT_EQ(f.prompt_tokens, 10);
    EXPECT_EQ(f.completion_tokens, 5);
    EXPECT_EQ(f.cost_usd, 1.0);
    EXPECT_EQ(f.elapsed_s, 1.0);
    EXPECT_EQ(f.streamed, 1);

    EXPECT_EQ(calls.latest(1, std::nullopt).size(), 1u);
    ASSERT_EQ(calls.latest(10, std::string("s-2")).size(), 1u);
    EXPECT_EQ(calls.latest(10, std::string("s-2"))[0].id, b.id);
    EXPECT_TRUE(calls.latest(10, std::string("nobody")).empty());

    // Beside the rows, by id; a call with nothing beside it reads as none.
    const std::int64_t ids[] = {f.id, b.id, 999999};
    auto asked = calls.requested_models(ids);
    EXPECT_EQ(asked, (std::vector<std::optional<std::string>>{"openai/gpt-4o-mini", std::nullopt, std::nullopt}));
    auto cached = calls.cache_tokens(ids);
    ASSERT_TRUE(cached[0]);
    EXPECT_EQ(cached[0]->read, 300);
    EXPECT_EQ(cached[0]->write, std::nullopt);
    EXPECT_FALSE(cached[1] || cached[2]);
}

TEST_P(StoreConformance, CallsOfAWindowOldestFirstFromItsStartOfOneTag) {
    EXPECT_TRUE(calls.between(0, std::nullopt).empty());  // a fresh ledger reads empty
    append({call(10, "a"), call(100, "b"), call(50, "a"), call(200, "a")});
    auto rows = calls.between(now - 100, std::nullopt);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_DOUBLE_EQ(rows[0].ts, now - 100);  // the boundary is inside
    EXPECT_DOUBLE_EQ(rows[1].ts, now - 50);
    EXPECT_DOUBLE_EQ(rows[2].ts, now - 10);
    EXPECT_EQ(rows[0].session_id, "s-1");
    auto tagged = calls.between(now - 1000, std::string("a"));
    ASSERT_EQ(tagged.size(), 3u);
    for (const auto& r : tagged) EXPECT_EQ(r.tag, "a");
    EXPECT_TRUE(calls.between(now - 1000, std::string("none")).empty());
}

TEST_P(StoreConformance, ConcurrentAppendsKeepEveryRow) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                CallRecord a = call(100, "t" + std::to_string(t)), b = call(100, "t" + std::to_string(t));
                const CallRecord* pair[] = {&a, &b};
                st->calls().append(pair);
            }
        });
    for (auto& w : writers) w.join();
    auto rows = calls.latest(1000, std::nullopt);
    EXPECT_EQ(rows.size(), 200u);
    std::set<std::int64_t> ids;
    for (const auto& r : rows) ids.insert(r.id);
    EXPECT_EQ(ids.size(), 200u);
    const store::SpendWindow all[] = {{now - 1000, std::nullopt}, {now - 1000, std::string("t2")}};
    auto spent = calls.spend_since(all);
    EXPECT_DOUBLE_EQ(spent[0], 200.0);
    EXPECT_DOUBLE_EQ(spent[1], 50.0);
}

TEST_P(StoreConformance, SpendWindowsIncludeTheirStartCountPricedCallsAndCreateNothing) {
    const store::SpendWindow windows[] = {{now - 86400, std::nullopt},
                                          {now - 86400, std::string("a")},
                                          {now - 2 * 86400, std::nullopt},
                                          {now - 86400, std::string("nobody")}};
    EXPECT_EQ(calls.spend_since(windows), (std::vector<double>{0, 0, 0, 0}));
    EXPECT_FALSE(st->exists()) << "the guards never create a ledger";

    append({call(86400, "a", 1.5), call(86400 + 30, "a", 10.0), call(10, "b", 0.25), call(10, "b", std::nullopt)});
    auto spent = calls.spend_since(windows);
    EXPECT_DOUBLE_EQ(spent[0], 1.75);  // a call exactly at the start is inside
    EXPECT_DOUBLE_EQ(spent[1], 1.5);
    EXPECT_DOUBLE_EQ(spent[2], 11.75);
    EXPECT_EQ(spent[3], 0.0);
    EXPECT_DOUBLE_EQ(calls.spend(now - 86400, std::nullopt), 1.75);
    EXPECT_DOUBLE_EQ(calls.spend(now - 86400, std::string("b")), 0.25);
}

TEST_P(StoreConformance, PricedCallsAfterAnIdInTimeOrderAndTheChangesOfOtherWriters) {
    std::vector<store::PricedCall> got;
    auto collect = [&](const store::PricedCall& c) { got.push_back(c); };
    auto empty = calls.changes();
    EXPECT_EQ(empty.last_id, 0);
    calls.each_priced(0, 10, 0, collect);
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(calls.priced_between(0, now).empty());
    EXPECT_FALSE(st->exists()) << "the spend kept in memory never creates a ledger";

    // Another writer (a thread of its own here) moves the last id.
    std::thread([&] { append({call(60, "", 2.0), call(7200, "a", 1.5), call(30, "b", std::nullopt)}); }).join();
    auto changes = calls.changes();
    EXPECT_EQ(changes.edits, empty.edits);
    EXPECT_EQ(calls.changes(), changes) << "nothing written since";

    calls.each_priced(0, changes.last_id, now - 86400, collect);
    ASSERT_EQ(got.size(), 2u);  // the unpriced call is left out, but its id is the last
    EXPECT_EQ(got[0].tag, "a") << "in time order";
    EXPECT_EQ(got[0].cost_usd, 1.5);
    EXPECT_EQ(got[0].ts, now - 7200);
    EXPECT_GT(got[0].id, got[1].id);
    EXPECT_GT(changes.last_id, got[0].id);

    std::int64_t recent_id = got[1].id, old_id = got[0].id;
    got.clear();
    calls.each_priced(recent_id, changes.last_id, 0, collect);  // after an id: only the later ones
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, old_id);
    got.clear();
    calls.each_priced(0, changes.last_id, now - 3600, collect);  // from a time on
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].cost_usd, 2.0);
    auto edge = calls.priced_between(now - 7200, now - 7199);
    ASSERT_EQ(edge.size(), 1u);
    EXPECT_EQ(edge[0].cost_usd, 1.5);
    EXPECT_TRUE(calls.priced_between(now - 7199, now - 60).empty()) << "the end is outside";
}

// The spend kept in memory asks for the calls after the last id it has
// seen: a call committed after a higher id was read (as a database
// sequence hands ids out before commit) would be missed for good. Writers
// on connections of their own append batches while a reader follows them.
TEST_P(StoreConformance, ReadingOnFromTheLastIdSeenMissesNoCallCommittedMeanwhile) {
    constexpr int WRITERS = 4, BATCHES = 40;
    std::atomic<int> writing{WRITERS}, written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < WRITERS; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < BATCHES; ++i) {
                std::vector<CallRecord> batch(1 + (i + t) % 3, call(10, "t" + std::to_string(t), 0.5));
                batch.back().requested_model = "openai/gpt-4o-mini";  // a row beside the calls: a longer commit
                append(batch);
                written += static_cast<int>(batch.size());
            }
            --writing;
        });
    std::set<std::int64_t> seen;
    std::int64_t last = 0;
    auto read_on = [&] {
        auto changes = calls.changes();
        calls.each_priced(last, changes.last_id, 0, [&](const store::PricedCall& r) {
            EXPECT_TRUE(seen.insert(r.id).second) << "id " << r.id << " read twice";
        });
        last = changes.last_id;
    };
    while (writing > 0) read_on();
    for (auto& w : writers) w.join();
    read_on();

    std::set<std::int64_t> stored;
    for (const auto& r : calls.latest(100000, std::nullopt)) stored.insert(r.id);
    EXPECT_EQ(stored.size(), static_cast<std::size_t>(written.load()));
    EXPECT_EQ(seen, stored) << "a reader that went on from the last id it saw missed calls";
}

TEST_P(StoreConformance, GroupTotalsKeepSqlTypesAndOrder) {
    CallRecord error = call(90, "a", 0.5);
    error.status = 429;
    error.prompt_tokens = std::nullopt;
    CallRecord not_error = call(80, "b", 2.0);
    not_error.status = 399;
    CallRecord unpriced = call(70, "a", std::nullopt);
    unpriced.model_id = "local/x";
    unpriced.prompt_tokens = unpriced.completion_tokens = std::nullopt;
    CallRecord anonymous = call(60, "a", 0.1);
    anonymous.model_id = std::nullopt;
    append({call(100, "a", 0.25), error, not_error, unpriced, anonymous, call(25 * 3600, "a", 9.0)});

    auto groups = calls.by_model(now - 86400, std::nullopt);
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[0].tag, "b");
    EXPECT_EQ(groups[0].errors, 0) << "399 is not an error";
    const store::GroupTotals& a = groups[1];
    EXPECT_EQ(a.key, "openai/gpt-4o");
    EXPECT_EQ(a.calls, 2);
    EXPECT_EQ(integer(a.total_prompt), 10) << "NULL tokens add nothing, and the sum stays an integer";
    EXPECT_EQ(integer(a.total_completion), 10);
    EXPECT_DOUBLE_EQ(*a.total_cost, 0.75);
    EXPECT_DOUBLE_EQ(*a.avg_latency, 1.0);
    EXPECT_EQ(a.errors, 1);
    EXPECT_FALSE(groups[2].key) << "no model is a group of its own";
    EXPECT_EQ(groups[3].key, "local/x");
    EXPECT_FALSE(groups[3].total_cost) << "a group without cost has none, and sorts last";
    EXPECT_TRUE(std::holds_alternative<std::monostate>(groups[3].total_prompt));

    EXPECT_EQ(calls.by_model(now - 86400, std::string("b")).size(), 1u);
    EXPECT_EQ(calls.by_model(now - 26 * 3600, std::string("a"))[0].calls, 3);

    auto sessions = calls.by_session(now - 86400);
    ASSERT_EQ(sessions.size(), 2u);  // s-1 under tags a and b
    const store::GroupTotals& s1a = sessions[1];
    EXPECT_EQ(s1a.key, "s-1");
    EXPECT_EQ(s1a.calls, 4);
    EXPECT_DOUBLE_EQ(s1a.first_call, now - 100);
    EXPECT_DOUBLE_EQ(s1a.last_call, now - 60);
}

TEST_P(StoreConformance, DaysAndModelsCountWhatTheirReportsSay) {
    std::time_t t = static_cast<std::time_t>(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    double midnight = static_cast<double>(std::mktime(&tm));
    auto at = [&](double ts, std::optional<double> cost) {
        CallRecord r = call(0, "default", cost);
        r.ts = ts;
        return r;
    };
    CallRecord zero = at(midnight + 3, 0.0);
    zero.model_id = "acme/unpriced";
    append(
        {at(midnight + 1, 1.0), at(midnight + 2, 2.0), at(midnight + 2, std::nullopt), at(midnight - 3600, 0.5), zero});

    auto days = calls.by_day(midnight - 86400);
    ASSERT_EQ(days.size(), 2u);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &tm);
    EXPECT_EQ(days[0].day, today);
    EXPECT_EQ(days[0].calls, 3) << "priced calls only, a cost of 0 included";
    EXPECT_DOUBLE_EQ(*days[0].total_cost, 3.0);
    EXPECT_EQ(integer(days[0].total_prompt), 30);

    auto models = calls.model_calls(midnight - 86400, std::nullopt);
    ASSERT_EQ(models.size(), 2u);
    EXPECT_EQ(models[0].model_id, "openai/gpt-4o");
    EXPECT_EQ(models[0].calls, 4);
    EXPECT_EQ(models[0].null_cost, 1);
    EXPECT_EQ(models[1].zero_cost, 1);
}

TEST_P(StoreConformance, SwappedCallsAndCachedTokensOverAWindow) {
    CallRecord swapped = call(100, "a", 0.002);
    swapped.requested_model = "openai/gpt-4o";
    swapped.model_id = "openai/gpt-4o-mini";
    CallRecord cached = call(100, "b");
    cached.cache_read_tokens = 100;
    CallRecord also_cached = call(50, "b");
    also_cached.cache_read_tokens = 20;
    also_cached.cache_write_tokens = 4;
    CallRecord old_swap = swapped;
    old_swap.ts = now - 3 * 86400;
    append({swapped, cached, also_cached, old_swap, call(10, "a")});

    auto routed = calls.routed_since(now - 86400, std::nullopt);
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ(routed[0].model_id, "openai/gpt-4o-mini");
    EXPECT_EQ(routed[0].requested_model, "openai/gpt-4o");
    EXPECT_EQ(routed[0].prompt_tokens, 10);
    EXPECT_EQ(routed[0].cost_usd, 0.002);
    EXPECT_TRUE(calls.routed_since(now - 86400, std::string("b")).empty());

    auto totals = calls.cache_totals(now - 86400, std::nullopt);
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(totals[0].tag, "b");
    EXPECT_EQ(integer(totals[0].total_cache_read), 120);
    EXPECT_EQ(integer(totals[0].total_cache_write), 4);
}

TEST_P(StoreConformance, ClientKeysBesideTheRowsAndTheirSpendWindows) {
    EXPECT_EQ(calls.spend_since(std::vector<store::SpendWindow>{{0, std::nullopt, "ci"}}), std::vector<double>{0.0});
    EXPECT_TRUE(calls.rate_limited_since(0).empty());
    EXPECT_FALSE(st->exists()) << "neither a key's spend nor the refusals create a ledger";
    auto keyed = [&](double age, std::string tag, double cost, std::optional<std::string> key) {
        CallRecord c = call(age, std::move(tag), cost);
        c.key = std::move(key);
        return c;
    };
    append({keyed(100, "a", 1.0, "ci"), keyed(90, "b", 2.0, "ci"), keyed(80, "a", 4.0, std::nullopt),
            keyed(70, "a", 8.0, "alice"), keyed(2 * 86400, "a", 16.0, "ci")});

    const store::SpendWindow w[] = {{now - 86400, std::nullopt, "ci"},
                                    {now - 86400, "a", "ci"},
                                    {now - 3 * 86400, std::nullopt, "ci"},
                                    {now - 86400, std::nullopt, "nobody"},
                                    {now - 86400, "a"}};
    EXPECT_EQ(calls.spend_since(w), (std::vector<double>{3.0, 1.0, 19.0, 0.0, 13.0}));

    std::vector<store::PricedCall> priced;
    calls.each_priced(0, calls.changes().last_id, now - 86400,
                      [&](const store::PricedCall& c) { priced.push_back(c); });
    ASSERT_EQ(priced.size(), 4u);
    EXPECT_EQ(priced[0].key, "ci");
    EXPECT_EQ(priced[2].key, "") << "a call without a key";
    EXPECT_EQ(calls.priced_between(now - 71, now - 69).at(0).key, "alice");

    auto rows = calls.latest(10, std::nullopt);
    std::vector<std::int64_t> ids;
    for (const auto& r : rows) ids.push_back(r.id);
    auto keys = calls.keys(ids);
    EXPECT_EQ(keys, (std::vector<std::optional<std::string>>{"alice", std::nullopt, "ci", "ci", "ci"}));
    auto copied = calls.records(0, 10);
    ASSERT_EQ(copied.size(), 5u);
    EXPECT_EQ(copied[0].record.key, "ci");
    EXPECT_EQ(copied[2].record.key, std::nullopt);
}

TEST_P(StoreConformance, RateLimitedCountsAddUpPerMinuteScopeAndLimit) {
    const double minute = std::floor(now / 60) * 60;
    const store::RateLimited first[] = {
        {minute, "tag:a", "rpm", 2}, {minute, "key:ci", "max_parallel", 1}, {minute - 3600, "tag:a", "rpm", 5}};
    calls.add_rate_limited(first);
    const store::RateLimited again[] = {{minute, "tag:a", "rpm", 3}};
    calls.add_rate_limited(again);

    auto counts = calls.rate_limited_since(minute + 30);  // the minute that holds `since` counts whole
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0].scope, "key:ci");
    EXPECT_EQ(counts[0].limit, "max_parallel");
    EXPECT_EQ(counts[0].calls, 1);
    EXPECT_EQ(counts[1].scope, "tag:a");
    EXPECT_EQ(counts[1].calls, 5);
    auto all = calls.rate_limited_since(minute - 7200);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].calls, 10);
}

std::string utc_day(double ts) {
    auto t = static_cast<std::time_t>(ts);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

TEST_P(StoreConformance, ServiceTiersBesideTheRowsAndCallsPerModelAndUtcDay) {
    const double midnight = std::floor(now / 86400) * 86400;
    CallRecord flex = call(0, "a", 0.25);
    flex.ts = midnight + 10;
    flex.service_tier = "flex";
    flex.cache_read_tokens = 4;
    CallRecord plain = call(0, "b", 0.5);
    plain.ts = midnight + 20;
    CallRecord yesterday = call(0, "a", std::nullopt);
    yesterday.ts = midnight - 10;
    yesterday.model_id = "gpt-4o-mini";
    CallRecord older = call(0);
    older.ts = midnight - 3 * 86400;
    append({flex, plain, yesterday, older});

    auto stored = calls.records(0, 10);  // in the order appended
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[0].record.service_tier, "flex") << "a copy keeps it";
    EXPECT_FALSE(stored[1].record.service_tier);
    const std::int64_t ids[] = {stored[1].id, stored[0].id};
    EXPECT_EQ(calls.service_tiers(ids), (std::vector<std::optional<std::string>>{std::nullopt, "flex"}));

    auto days = calls.by_model_day(midnight - 86400);
    ASSERT_EQ(days.size(), 2u) << "one group per model and UTC day, from the window's start";
    EXPECT_EQ(days[0].model_id, "gpt-4o-mini");
    EXPECT_EQ(days[0].cost, 0.0) << "an unpriced call counts, its cost does not";
    EXPECT_EQ(days[1].day, utc_day(midnight));
    EXPECT_EQ(days[0].day, utc_day(midnight - 10));
    EXPECT_EQ(days[1].calls, 2);
    EXPECT_EQ(days[1].cost, 0.75);
    EXPECT_EQ(days[1].prompt_tokens, 20);
    EXPECT_EQ(days[1].cache_read_tokens, 4);
}

TEST_P(StoreConformance, AdvisorAndPredictorRowsAreThePricedCalls) {
    CallRecord no_tokens = call(100, "x", 1.0);
    no_tokens.prompt_tokens = std::nullopt;
    CallRecord mini = call(100, "y", 0.5);
    mini.model_id = "openai/gpt-4o-mini";
    mini.prompt_tokens = 30;
    append({call(100, "x", 2.0), no_tokens, call(100, "x", 0.0), call(100, "x", std::nullopt), mini,
            call(300 * 3600, "x", 5.0)});

    auto usage = calls.usage_by_model(now - 168 * 3600);
    ASSERT_EQ(usage.size(), 2u);
    EXPECT_EQ(usage[0].model_id, "openai/gpt-4o");
    EXPECT_EQ(usage[0].calls, 2) << "calls with a cost above 0 in the window";
    EXPECT_DOUBLE_EQ(usage[0].total_cost, 3.0);
    EXPECT_EQ(integer(usage[0].total_in), 10);
    EXPECT_DOUBLE_EQ(*usage[0].avg_in, 10.0);
    EXPECT_EQ(usage[1].model_id, "openai/gpt-4o-mini");

    auto training = calls.training_rows();
    ASSERT_EQ(training.size(), 3u) << "priced, both counts above 0, any age";
    std::set<std::string> tags;
    for (const auto& r : training) tags.insert(r.tag);
    EXPECT_EQ(tags, (std::set<std::string>{"x", "y"}));
}

// A backend that keeps rollups of its own answers with the rows computed
// from its calls: windows starting inside an hour or on one, and again
// after more calls were appended.
TEST_P(StoreConformance, RollupsAreTheCallsSummedPerHourModelAndTag) {
    CallRecord hit = call(30);
    hit.cost_usd = 0.0;
    hit.elapsed_s = 0.0;
    CallRecord failed = call(4000, "proj");
    failed.status = 500;
    failed.elapsed_s = 2.5;
    CallRecord bare{.tag = "t", .session_id = "s-2", .elapsed_s = 0.5, .status = 0, .ts = now - 7200};
    CallRecord mini = call(200, "proj", 0.5);
    mini.model_id = "openai/gpt-4o-mini";
    mini.completion_tokens = std::nullopt;
    append({call(10), hit, failed, bare, call(3 * 86400), call(100, "proj", std::nullopt), mini});
    auto expect_same = [&](const char* when) {
        for (double since : {now - 86400, now - 7 * 86400, store::rollup_hour(now - 5000), now - 5000.5, now + 10}) {
            EXPECT_EQ(calls.rollups(since), calls.Calls::rollups(since)) << when << ": since now - " << now - since;
            // Summed over the hours, with and without the lists: the same sums.
            auto summed = calls.rollups(since, {.lists = true, .per_hour = false});
            EXPECT_EQ(summed, store::rollup_rows(store::over_hours(calls.Calls::rollups(since), false))) << when;
            auto bare_sums = calls.rollups(since, {.lists = false, .per_hour = false});
            ASSERT_EQ(bare_sums.size(), summed.size()) << when;
            for (std::size_t i = 0; i < summed.size(); ++i) {
                EXPECT_EQ(bare_sums[i].calls, summed[i].calls) << when;
                EXPECT_EQ(bare_sums[i].priced_cost, summed[i].priced_cost) << when;
            }
        }
    };
    expect_same("first read");

    std::int64_t n = 0, hits = 0, errors = 0;
    for (const auto& r : calls.rollups(now - 86400)) {
        n += r.calls;
        hits += r.cache_hits;
        errors += r.errors;
    }
    EXPECT_EQ(n, 6) << "the call of three days ago is outside";
    EXPECT_EQ(hits, 1);
    EXPECT_EQ(errors, 1);

    // The advisor's usage rows come out of them as the calls give them.
    auto usage = calls.usage_by_model(now - 86400);
    auto rolled = store::usage_of(calls.rollups(now - 86400));
    ASSERT_EQ(rolled.size(), usage.size());
    ASSERT_EQ(usage.size(), 2u);
    for (std::size_t i = 0; i < usage.size(); ++i) {
        EXPECT_EQ(rolled[i].model_id, usage[i].model_id);
        EXPECT_EQ(rolled[i].calls, usage[i].calls);
        EXPECT_EQ(rolled[i].total_in, usage[i].total_in);
        EXPECT_EQ(rolled[i].total_out, usage[i].total_out);
        EXPECT_DOUBLE_EQ(rolled[i].total_cost, usage[i].total_cost);
        EXPECT_EQ(rolled[i].avg_in, usage[i].avg_in);
        EXPECT_EQ(rolled[i].avg_out, usage[i].avg_out);
    }

    append({call(5), call(50, "proj", 0.25)});
    expect_same("after more calls");
}

// Every session of the range, as the dashboard's pages read them.
std::vector<store::GroupTotals> all_sessions(store::Calls& calls, double since) {
    return calls.top_sessions(since, std::nullopt, std::numeric_limits<std::int64_t>::max()).rows;
}

// The sessions' rows as by_session gives them: same groups in the same
// order, sums equal up to the order they were added in.
void expect_same_sessions(const std::vector<store::GroupTotals>& got, const std::vector<store::GroupTotals>& want,
                          const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    auto near = [](const std::optional<double>& a, const std::optional<double>& b) {
        return a.has_value() == b.has_value() && (!a || std::abs(*a - *b) <= 1e-9 * std::max(1.0, std::abs(*b)));
    };
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto &g = got[i], &w = want[i];
        std::string at =
            what + ", row " + std::to_string(i) + " (" + w.key.value_or("NULL") + ", " + w.tag.value_or("NULL") + ")";
        EXPECT_EQ(g.key, w.key) << at;
        EXPECT_EQ(g.tag, w.tag) << at;
        EXPECT_EQ(g.calls, w.calls) << at;
        EXPECT_EQ(g.total_prompt, w.total_prompt) << at;
        EXPECT_EQ(g.total_completion, w.total_completion) << at;
        EXPECT_TRUE(near(g.total_cost, w.total_cost)) << at;
        EXPECT_TRUE(near(g.avg_latency, w.avg_latency)) << at;
        EXPECT_EQ(g.first_call, w.first_call) << at;
        EXPECT_EQ(g.last_call, w.last_call) << at;
        EXPECT_EQ(g.errors, w.errors) << at;
    }
}

// A backend that keeps per-session rollups answers with by_session's rows:
// ranges starting inside an hour, on one, inside a day that sessions run
// across, and again after more calls.
TEST_P(StoreConformance, SessionRollupsAreTheSessionsOfTheRange) {
    std::vector<CallRecord> rows;
    // s-long runs over four days, one call every 50 minutes, at odd costs.
    for (int i = 0; i < 110; ++i) {
        CallRecord c = call(10 + i * 3000.0, i % 3 ? "a" : "b", 0.1 * i + 0.01);
        c.session_id = "s-long";
        c.elapsed_s = 0.1 * (i % 7);
        if (i % 11 == 0) c.status = 500;
        if (i % 13 == 0) c.prompt_tokens = std::nullopt;
        rows.push_back(c);
    }
    CallRecord unpriced = call(7300, "a", std::nullopt);
    unpriced.session_id = "s-free";
    unpriced.completion_tokens = std::nullopt;
    rows.push_back(unpriced);
    rows.push_back(call(40, "a", 3.0));  // s-1
    append(rows);
    auto expect_same = [&](const char* when) {
        for (double since : {now - 86400, now - 7 * 86400, store::rollup_hour(now - 5000), now - 5000.5,
                             now - 2.5 * 86400, std::floor((now - 86400) / 86400) * 86400, now + 10})
            expect_same_sessions(all_sessions(calls, since), calls.by_session(since),
                                 std::string(when) + ": since now - " + std::to_string(now - since));
    };
    expect_same("first read");
    append({call(5, "a", 0.5), call(20 * 3600, "b", 0.25), call(2 * 86400 + 100, "b", 0.75)});  // one of a folded day
    expect_same("after more calls");
}

// by_session's rows of one tag (any when none), the first `n` of them.
store::SessionPage sessions_page(store::Calls& calls, double since, const std::optional<std::string>& tag,
                                 std::int64_t n) {
    store::SessionPage page{calls.by_session(since), 0};
    std::erase_if(page.rows, [&](const store::GroupTotals& g) { return tag && g.tag != tag; });
    page.total = static_cast<std::int64_t>(page.rows.size());
    if (page.total > n) page.rows.resize(static_cast<std::size_t>(n));
    return page;
}

// Pages of every tag and of tag "a", for each start and length, are
// by_session's.
void expect_session_pages(store::Calls& calls, double now, std::initializer_list<double> sinces,
                          std::initializer_list<std::int64_t> lengths, const std::string& what) {
    for (double since : sinces)
        for (const std::optional<std::string>& tag : {std::optional<std::string>(), std::optional<std::string>("a")})
            for (std::int64_t n : lengths) {
                std::string at = what + ", since now - " + std::to_string(now - since) + ", tag " +
                                 tag.value_or("any") + ", n " + std::to_string(n);
                store::SessionPage got = calls.top_sessions(since, tag, n), want = sessions_page(calls, since, tag, n);
                EXPECT_EQ(got.total, want.total) << at;
                expect_same_sessions(got.rows, want.rows, at);
            }
}

// One page of sessions is the first rows of by_session's, of the tag asked
// for, with the number of all of them; also when sessions tie on cost or
// have none.
TEST_P(StoreConformance, TopSessionsAreThePageOfBySessionsRows) {
    std::vector<CallRecord> rows;
    for (int i = 0; i < 40; ++i) {
        CallRecord c =
            call(30 + i * 4000.0, i % 2 ? "a" : "b", i % 5 == 0 ? std::nullopt : std::optional(0.5 * (i % 4)));
        c.session_id = i % 7 == 0 ? "" : "s" + std::to_string(i % 9);
        rows.push_back(c);
    }
    append(rows);
    for (double since : {now - 86400, now - 7 * 86400, now - 3000.5})
        for (const std::optional<std::string>& tag : {std::optional<std::string>(), std::optional<std::string>("a")})
            for (std::int64_t n : {1, 3, 1000}) {
                std::string what = "since now - " + std::to_string(now - since) + ", tag " + tag.value_or("any") +
                                   ", n " + std::to_string(n);
                store::SessionPage got = calls.top_sessions(since, tag, n), want = sessions_page(calls, since, tag, n);
                EXPECT_EQ(got.total, want.total) << what;
                expect_same_sessions(got.rows, want.rows, what);
            }
}

// A ledger.db copied in (what `ledger migrate` does): every call with what
// is kept beside it, identical calls of one copy both; copying again adds
// only the calls made since.
TEST_P(StoreConformance, CallsCopiedInOnceWithWhatIsBesideThem) {
    auto source = store::open(scratch.root + "/source.db");
    CallRecord routed = call(30, "a");
    routed.requested_model = "openai/gpt-4o-mini";
    routed.cache_read_tokens = 40;
    CallRecord unpriced = call(20, "b", std::nullopt);
    std::vector<const CallRecord*> rows{&routed, &unpriced, &unpriced};
    source->calls().append(rows);

    auto first = store::copy_calls(*source, *st);
    EXPECT_EQ(first.read, 3);
    EXPECT_EQ(first.copied, 3);
    CallRecord later = call(10, "c");
    std::vector<const CallRecord*> more{&later};
    source->calls().append(more);
    auto again = store::copy_calls(*source, *st);
    EXPECT_EQ(again.copied, 1);
    EXPECT_EQ(again.present, 3);

    auto copied = calls.between(0, std::nullopt);
    ASSERT_EQ(copied.size(), 4u);
    EXPECT_EQ(copied[0].tag, "a");
    EXPECT_DOUBLE_EQ(copied[0].ts, now - 30);
    EXPECT_EQ(copied[3].tag, "c");
    const std::int64_t ids[] = {copied[0].id};
    EXPECT_EQ(calls.requested_models(ids)[0], "openai/gpt-4o-mini");
    ASSERT_TRUE(calls.cache_tokens(ids)[0]);
    EXPECT_EQ(calls.cache_tokens(ids)[0]->read, 40);
}

TEST_P(StoreConformance, AlertsOncePerScopeWithinTheWindowAndUnseenTakenOnce) {
    store::Alerts& alerts = st->alerts();
    EXPECT_TRUE(alerts.latest(20).empty());
    store::Alert daily{"critical", "daily", 5.5, 5.0, "over"};
    EXPECT_TRUE(alerts.insert_unless_raised_since(daily, now - 3600));
    EXPECT_FALSE(alerts.insert_unless_raised_since(daily, now - 3600)) << "already raised this hour";
    EXPECT_TRUE(alerts.insert_unless_raised_since({"warn", "tag:a", 0.9, 1.0, "near"}, now - 3600));
    EXPECT_TRUE(alerts.insert_unless_raised_since(daily, store::now() + 1)) << "raised before the window";

    auto latest = alerts.latest(2);
    ASSERT_EQ(latest.size(), 2u);
    EXPECT_EQ(latest[0].scope, "daily");
    EXPECT_EQ(latest[1].scope, "tag:a");
    EXPECT_EQ(latest[1].level, "warn");
    EXPECT_DOUBLE_EQ(latest[1].spent, 0.9);
    EXPECT_DOUBLE_EQ(latest[1].budget, 1.0);
    EXPECT_EQ(latest[1].message, "near");

    auto unseen = alerts.take_unseen();
    ASSERT_EQ(unseen.size(), 3u);
    EXPECT_EQ(unseen[0].seen, 0);
    EXPECT_TRUE(alerts.take_unseen().empty());
    EXPECT_EQ(alerts.latest(1)[0].seen, 1);
}

TEST_P(StoreConformance, ExactCacheAnswersWithinItsWindowAndCreatesNothingToMiss) {
    store::ExactCache& cache = st->exact_cache();
    EXPECT_EQ(cache.find("k", now - 86400), std::nullopt);
    EXPECT_FALSE(st->exists());
    cache.put("k", R"({"a": 1})");
    EXPECT_EQ(cache.find("k", now - 86400), R"({"a": 1})");
    EXPECT_EQ(cache.find("other", now - 86400), std::nullopt);
    EXPECT_EQ(cache.find("k", store::now() + 1), std::nullopt) << "stored before the window";
    cache.put("k", R"({"a": 2})");
    EXPECT_EQ(cache.find("k", now - 86400), R"({"a": 2})");
}

TEST_P(StoreConformance, SemanticEntriesRoundTripAndGo) {
    store::SemanticCache& entries = st->semantic_cache();
    entries.prepare();
    EXPECT_FALSE(entries.prepare()) << "nothing changed since the store was last prepared";
    std::string vector("\x00\x01\x02\x03\xff\xfe\xfd\xfc", 8);  // bytes, NUL included
    auto first = entries.add({"ctx", "m", vector, std::string(32, '\x7f'), R"({"answer": 1})", 0.25});
    auto second = entries.add({"ctx2", "m", "abcd", std::string(32, 's'), R"({"answer": 2})", 0});
    EXPECT_LT(first.id, second.id);

    auto heads = entries.live(now - 60);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0].id, first.id);
    EXPECT_EQ(heads[0].context_key, "ctx");
    EXPECT_EQ(heads[0].signature, std::string(32, '\x7f'));
    EXPECT_TRUE(entries.live(store::now() + 1).empty());

    const std::int64_t ids[] = {first.id, 999999};
    auto vectors = entries.vectors(ids);
    ASSERT_TRUE(vectors[0]);
    EXPECT_EQ(vectors[0]->embedding, vector);
    EXPECT_DOUBLE_EQ(vectors[0]->ts, first.ts);
    EXPECT_FALSE(vectors[1]);
    EXPECT_EQ(entries.response(second.id), R"({"answer": 2})");
    entries.count_hit(second.id);

    entries.remove(first.id);
    EXPECT_EQ(entries.response(first.id), std::nullopt);
    entries.remove_before(store::now() + 1);
    EXPECT_TRUE(entries.live(0).empty());
}

// The SQLite store keeps its rollups in a table beside the calls: calls
// edited or deleted by hand, and a calls table made anew, are seen by the
// next read.
TEST(SqliteRollups, FollowEditsAndDeletionsByHandAndACallsTableMadeAnew) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now();
    auto add = [&](double age, double cost) {
        CallRecord rec{
            .model_id = "m", .prompt_tokens = 1, .cost_usd = cost, .elapsed_s = 0.5, .status = 200, .ts = now - age};
        const CallRecord* rows[] = {&rec};
        calls.append(rows);
    };
    add(60, 1.0);
    add(4000, 2.0);
    add(8000, 4.0);
    EXPECT_EQ(calls.rollups(now - 86400), calls.Calls::rollups(now - 86400));
    {
        SQLite::Database db(s.db_path(), SQLite::OPEN_READWRITE);
        db.exec("UPDATE calls SET cost_usd = 8.0, ts = ts - 3600 WHERE id = 1");
        db.exec("DELETE FROM calls WHERE id = 2");
    }
    EXPECT_EQ(calls.rollups(now - 86400), calls.Calls::rollups(now - 86400)) << "after an edit and a deletion";
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec("DROP TABLE calls");
    add(30, 0.5);
    auto fresh = calls.rollups(now - 86400);
    ASSERT_EQ(fresh.size(), 1u) << "the rows of the dropped table are gone";
    EXPECT_EQ(fresh, calls.Calls::rollups(now - 86400));
}

// A ledger whose rollups an earlier version folded, with its own notes of
// edited calls, is folded again under the one signal: its notes go, and
// edits of calls folded or not yet folded are seen.
TEST(SqliteRollups, ALedgerFoldedByAnEarlierVersionIsFoldedAgainAndFollowsEdits) {
    tt_test::Scratch s;
    const double now = store::now();
    auto add = [&](store::Calls& calls, double age, double cost) {
        CallRecord rec{
            .model_id = "m", .prompt_tokens = 1, .cost_usd = cost, .elapsed_s = 0.5, .status = 200, .ts = now - age};
        const CallRecord* rows[] = {&rec};
        calls.append(rows);
    };
    {
        auto st = store::open(s.db_path());
        add(st->calls(), 60, 1.0);
        add(st->calls(), 4000, 2.0);
    }
    auto by_hand = [&](const std::string& sql) { SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec(sql); };
    // What the earlier version left: its mark, its notes and their triggers,
    // and rollups that no longer match the calls.
    by_hand("CREATE TABLE call_rollups_mark (one INTEGER PRIMARY KEY CHECK (one = 1), last_id INTEGER NOT NULL)");
    by_hand("INSERT INTO call_rollups_mark VALUES (1, 2)");
    by_hand("CREATE TABLE call_rollups_stale (ts REAL NOT NULL)");
    by_hand("CREATE TABLE call_rollups_epoch (one INTEGER PRIMARY KEY, epoch INTEGER NOT NULL)");
    by_hand(
        "CREATE TRIGGER call_rollups_delete AFTER DELETE ON calls BEGIN INSERT INTO call_rollups_stale (ts) "
        "VALUES (OLD.ts); END");
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    add(calls, 120, 4.0);
    EXPECT_EQ(calls.rollups(now - 86400), calls.Calls::rollups(now - 86400)) << "folded again";
    EXPECT_TRUE(tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name LIKE 'call_rollups_%'").empty());
    add(calls, 30, 8.0);
    by_hand("UPDATE calls SET cost_usd = 16.0, ts = ts - 7200 WHERE id = 4");  // not folded yet
    add(calls, 10, 32.0);
    by_hand("DELETE FROM calls WHERE id = 1");  // folded
    EXPECT_EQ(calls.rollups(now - 86400), calls.Calls::rollups(now - 86400)) << "after both";
}

// The per-session rollups follow what the hourly ones follow: calls edited
// and deleted by hand, a calls table made anew, and a ledger whose calls were
// folded before the per-session rollups existed.
TEST(SqliteRollups, SessionsFollowEditsDeletionsAndALedgerFoldedBefore) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now();
    auto add = [&](double age, double cost, std::string session) {
        CallRecord rec{.session_id = std::move(session),
                       .prompt_tokens = 1,
                       .cost_usd = cost,
                       .elapsed_s = 0.5,
                       .status = 200,
                       .ts = now - age};
        const CallRecord* rows[] = {&rec};
        calls.append(rows);
    };
    for (int i = 0; i < 6; ++i) add(60 + i * 20000.0, 1.0 + i, i % 2 ? "x" : "y");
    auto expect_same = [&](const std::string& what) {
        for (double since : {now - 86400, now - 3 * 86400, now - 30000.5})
            expect_same_sessions(all_sessions(calls, since), calls.by_session(since), what);
    };
    expect_same("first read");
    auto by_hand = [&](const char* sql) { SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec(sql); };
    by_hand("UPDATE calls SET cost_usd = 8.0, session_id = 'x', ts = ts - 90000 WHERE id = 1");
    by_hand("DELETE FROM calls WHERE id = 4");
    expect_same("after an edit and a deletion");
    by_hand("DROP TABLE session_totals");
    expect_same("on a ledger folded before they existed");
    add(30, 0.5, "y");
    expect_same("after one more call");
    by_hand("DROP TABLE calls");
    add(30, 0.5, "z");
    auto fresh = all_sessions(st->calls(), now - 86400);
    ASSERT_EQ(fresh.size(), 1u) << "the rows of the dropped table are gone";
    EXPECT_EQ(fresh[0].key, "z");
}

// One priced call of a session at `ts`, appended alone.
void append_session_call(store::Calls& calls, double ts, std::string session, std::optional<double> cost,
                         std::string tag) {
    CallRecord rec{.tag = std::move(tag),
                   .session_id = std::move(session),
                   .prompt_tokens = 1,
                   .cost_usd = cost,
                   .elapsed_s = 0.5,
                   .status = 200,
                   .ts = ts};
    const CallRecord* rows[] = {&rec};
    calls.append(rows);
}

// Sessions read again: more calls, calls edited and deleted by hand, and
// edits another reader of the file folded first are all seen.
TEST(SqliteRollups, SessionsReadAgainFollowEveryChange) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path()), other = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now();
    auto add = [&](double age, double cost, std::string session, std::string tag = "t") {
        append_session_call(calls, now - age, std::move(session), cost, std::move(tag));
    };
    for (int i = 0; i < 12; ++i)
        add(10 + i * 7.0, 0.25 * (i % 5), i % 4 ? "s" + std::to_string(i % 3) : "", i % 2 ? "t" : "u");
    auto expect_same = [&](const std::string& what) {
        for (double since : {now - 86400, now - 2 * 86400, now - 40.5}) {
            expect_same_sessions(all_sessions(calls, since), calls.by_session(since), what);
            store::SessionPage top = calls.top_sessions(since, "t", 2), want = sessions_page(calls, since, "t", 2);
            EXPECT_EQ(top.total, want.total) << what;
            expect_same_sessions(top.rows, want.rows, what + ", a page of one tag");
        }
    };
    expect_same("first read");
    add(5, 1.5, "s1");
    add(4, 0.75, "new", "u");
    expect_same("after more calls, one of a session already read");
    auto by_hand = [&](const char* sql) { SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec(sql); };
    by_hand("UPDATE calls SET cost_usd = 9.0, session_id = 'moved' WHERE id = 2");
    expect_same("after an edit");
    by_hand("DELETE FROM calls WHERE id = 3");
    expect_same("after a deletion");
    by_hand("UPDATE calls SET cost_usd = 0.0 WHERE id = 5");
    all_sessions(other->calls(), now - 86400);  // folds the edit first
    expect_same("after an edit another reader folded");
}

// Calls committed between a reader's fold and its read (by another writer,
// under load) are summed from the calls with the sessions they join: new
// sessions, sessions already folded, and sessions begun before the range.
TEST(SqliteRollups, CallsCommittedAfterTheFoldAreReadWithTheirSessions) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now();
    auto add = [&](double age, std::string session, double cost, std::string tag = "a") {
        append_session_call(calls, now - age, std::move(session), cost, std::move(tag));
    };
    add(2 * 86400, "long", 1.0);
    add(3000, "long", 0.5);
    for (int i = 0; i < 6; ++i) add(100 + i, "s" + std::to_string(i % 3), 0.25 * i, i % 2 ? "a" : "b");
    calls.top_sessions(now - 86400, std::nullopt, 5);  // folds every call so far
    std::int64_t mark = tt_test::query(s.db_path(), "SELECT MAX(id) AS id FROM calls")[0].at("id").as_int64();
    add(50, "s1", 2.0, "b");
    add(40, "long", 0.125);
    add(30, "fresh", 0.75);

    namespace sqlite = tokentally::store::sqlite;
    sqlite::Conn conn = sqlite::connection(s.db_path());
    sqlite::Transaction reading(conn);
    for (const std::optional<std::string>& tag : {std::optional<std::string>(), std::optional<std::string>("a")})
        for (std::int64_t n : {1, 3, 50}) {
            std::string at = "tag " + tag.value_or("any") + ", n " + std::to_string(n);
            store::SessionPage got = sqlite::read_sessions(conn, now - 86400, mark, tag, n),
                               want = sessions_page(calls, now - 86400, tag, n);
            EXPECT_EQ(got.total, want.total) << at;
            expect_same_sessions(got.rows, want.rows, at);
        }
}

// A day of a session per call, as a proxy whose clients send no session id
// records it: a page of the first few is the same as by_session's first
// rows, with costs that tie or are missing, sessions also met yesterday, and
// after more calls are added to the day kept in memory (some of them folded
// by another reader, the rest by this one).
TEST(SqliteRollups, APageOfADayWithASessionPerCallIsBySessionsFirstRows) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now(), today = std::floor(now / 86400) * 86400;
    auto add = [&](int from, int to) {
        std::vector<CallRecord> recs;
        for (int i = from; i < to; ++i) {
            std::optional<double> cost = i % 11 == 0 ? std::nullopt : std::optional(0.25 * (i * 37 % 23));
            std::string session = i % 13 == 0 ? "s" + std::to_string(i % 5) : "p" + std::to_string(i);
            double ts = i % 17 == 0 ? today - 60 - i
                                    : std::max(today, now - 3000) + (now - std::max(today, now - 3000)) * i / 2000;
            recs.push_back(
                {.tag = i % 3 ? "a" : "b", .session_id = session, .cost_usd = cost, .status = 200, .ts = ts});
        }
        std::vector<const CallRecord*> rows;
        for (const auto& r : recs) rows.push_back(&r);
        calls.append(rows);
    };
    auto expect_pages = [&](const std::string& what) {
        for (const std::optional<std::string>& tag : {std::optional<std::string>(), std::optional<std::string>("a")})
            for (std::int64_t n : {0, 1, 5, 40}) {
                std::string at = what + ", tag " + tag.value_or("any") + ", n " + std::to_string(n);
                store::SessionPage got = calls.top_sessions(now - 86400, tag, n),
                                   want = sessions_page(calls, now - 86400, tag, n);
                EXPECT_EQ(got.total, want.total) << at;
                expect_same_sessions(got.rows, want.rows, at);
            }
    };
    add(0, 900);
    expect_pages("first read");
    add(900, 1100);
    store::open(s.db_path())->calls().top_sessions(now - 86400, std::nullopt, 5);  // folds these first
    add(1100, 1400);
    expect_pages("after more calls, some folded by another reader");
}

// The page of a busy hour keeps by_session's rows while its sessions grow
// past one another over several folds, one shrinks (a call of negative
// cost) and one moves to the hour before (a call earlier than its first),
// for pages shorter and longer than the costliest few kept per hour.
TEST(SqliteRollups, APageFollowsSessionsThatGrowShrinkAndMoveAcrossFolds) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now(), hour = store::rollup_hour(now - 7200);
    std::uint32_t seed = 7;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 1000; };
    auto add = [&](int n, auto session_of) {
        std::vector<CallRecord> recs;
        for (int i = 0; i < n; ++i) {
            auto [session, ts, cost] = session_of(i);
            recs.push_back({.tag = next() % 3 ? "a" : "b", .session_id = session, .cost_usd = cost, .ts = ts});
        }
        std::vector<const CallRecord*> rows;
        for (const auto& r : recs) rows.push_back(&r);
        calls.append(rows);
    };
    auto expect_pages = [&](const std::string& what) {
        expect_session_pages(calls, now, {now - 86400, hour + 1800}, {1, 50, 64, 65, 300}, what);
    };
    // 400 sessions in one hour, costs with many ties (exact in binary, so
    // that sums in any order tie too).
    auto spread = [&](int i) {
        return std::tuple("s" + std::to_string(i % 400), hour + 60 + i * 7.0, std::optional(0.25 * (next() % 40)));
    };
    add(400, spread);
    expect_pages("first fold");
    for (int round = 0; round < 3; ++round) {
        add(300, [&](int) {
            int k = static_cast<int>(next() % 400);
            return std::tuple("s" + std::to_string(k), hour + 3000 + k, std::optional(0.125 * (next() % 30)));
        });
        expect_pages("after growth round " + std::to_string(round));
    }
    // The costliest two: one shrinks below all, one moves to the hour before.
    std::vector<store::GroupTotals> top = sessions_page(calls, now - 86400, std::nullopt, 2).rows;
    ASSERT_EQ(top.size(), 2u);
    auto one = [&](const store::GroupTotals& of, double ts, double cost) {
        CallRecord rec{.tag = *of.tag, .session_id = *of.key, .cost_usd = cost, .ts = ts};
        const CallRecord* rows[] = {&rec};
        calls.append(rows);
    };
    one(top[0], hour + 500, -50.0);
    expect_pages("after a call of negative cost");
    one(top[1], hour - 100, 0.25);
    expect_pages("after a call an hour before its session's first");
}

// The range's partial first day is kept from its first quarter hour: reads a
// few seconds apart, a quarter hour apart, after more calls (one of them
// stamped yesterday) and after an edit are all by_session's rows, with
// sessions met before the kept part, in it and today.
TEST(SqliteRollups, SessionsOfTheRangesFirstDayKeptFollowTheRangeAndNewCalls) {
    tt_test::Scratch s;
    auto st = store::open(s.db_path());
    store::Calls& calls = st->calls();
    const double now = store::now(), today = std::floor(now / 86400) * 86400;
    auto add = [&](double ts, std::string session, std::optional<double> cost, std::string tag = "a") {
        append_session_call(calls, ts, std::move(session), cost, std::move(tag));
    };
    for (int k = 0; k < 80; ++k)
        add(today - 1 - k * 97.0, k % 9 == 0 ? "shared" + std::to_string(k % 4) : "p" + std::to_string(k),
            k % 7 == 0 ? std::nullopt : std::optional(0.1 * (k % 6)), k % 3 ? "a" : "b");
    for (int k = 0; k < 10; ++k)
        add(now - 1 - k, k % 2 ? "shared" + std::to_string(k % 4) : "t" + std::to_string(k), 0.3);
    auto expect_pages = [&](const std::string& what) {
        expect_session_pages(calls, now, {now - 86400, now - 86400 + 7, now - 86400 + 1000}, {0, 3, 1000}, what);
    };
    expect_pages("first reads");
    add(now, "shared1", 2.0);
    add(today - 50, "shared2", 1.0, "b");  // stamped yesterday, appended now
    add(now, "p5", 0.5, "a");
    expect_pages("after more calls");
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec("UPDATE calls SET cost_usd = 7.0 WHERE id = 3");
    expect_pages("after an edit");
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreConformance, ::testing::ValuesIn(BACKENDS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
