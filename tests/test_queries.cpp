// The ledger's read side: the six queries and the commands that print them.
#include "support/scratch.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/ledger/ledger.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

namespace bj = boost::json;
namespace ledger = tokentally::ledger;

namespace {

struct Call {
    double ts;
    std::optional<std::string> model = "openai/gpt-4o";
    std::string tag = "default";
    std::string session = "s-1";
    std::optional<std::int64_t> prompt = 10;
    std::optional<std::int64_t> completion = 5;
    std::optional<double> cost = 0.001;
    double elapsed = 1.0;
    int status = 200;
};

// Rows are written with chosen timestamps, which record_call cannot do.
void insert(const Call& c) {
    ledger::CallRecord rec{.model_id = c.model,
                           .tag = c.tag,
                           .session_id = c.session,
                           .prompt_tokens = c.prompt,
                           .completion_tokens = c.completion,
                           .cost_usd = c.cost,
                           .elapsed_s = c.elapsed,
                           .status = c.status,
                           .ts = c.ts};
    const ledger::CallRecord* rows[] = {&rec};
    tt_test::store()->calls().append(rows);
}

double ago(double seconds) { return tokentally::store::now() - seconds; }

const bj::object& row(const bj::array& rows, std::size_t i) { return rows.at(i).as_object(); }

std::string local_day(double ts) {
    auto t = static_cast<std::time_t>(ts);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

std::string bin() { return std::getenv("TOKENTALLY_BIN"); }

}  // namespace

TEST(Queries, FreshMachineReadsAnEmptyLedger) {
    tt_test::Scratch s;
    ASSERT_FALSE(std::filesystem::exists(s.data));
    EXPECT_TRUE(ledger::recent(*tt_test::store()).empty());
    EXPECT_TRUE(std::filesystem::exists(s.db_path()));
    EXPECT_EQ(ledger::rolling_spend(*tt_test::store()), 0.0);
    EXPECT_TRUE(ledger::summary(*tt_test::store()).empty());
    EXPECT_TRUE(ledger::rolling_summary(*tt_test::store()).empty());
    EXPECT_TRUE(ledger::agent_summary(*tt_test::store()).empty());
    EXPECT_TRUE(ledger::agent_recent(*tt_test::store(), "nobody").empty());
}

TEST(Queries, SummaryGroupsByModelAndTagCountsErrorsAndSortsUnpricedLast) {
    tt_test::Scratch s;
    insert({.ts = ago(100), .tag = "a", .cost = 0.25});
    insert({.ts = ago(90), .tag = "a", .prompt = std::nullopt, .cost = 0.5, .elapsed = 3.0, .status = 429});
    insert({.ts = ago(80), .tag = "b", .cost = 2.0, .status = 399});
    insert({.ts = ago(70), .model = "local/x", .tag = "a", .cost = std::nullopt});
    insert({.ts = ago(60), .model = std::nullopt, .tag = "a", .cost = 0.1});

    auto rows = ledger::summary(*tt_test::store());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(row(rows, 0).at("tag"), "b");
    EXPECT_EQ(row(rows, 0).at("errors"), 0);  // 399 is not an error
    const auto& a = row(rows, 1);
    EXPECT_EQ(a.at("model_id"), "openai/gpt-4o");
    EXPECT_EQ(a.at("tag"), "a");
    EXPECT_EQ(a.at("calls"), 2);
    EXPECT_EQ(a.at("total_prompt"), 10);  // NULL tokens add nothing
    EXPECT_EQ(a.at("total_completion"), 10);
    EXPECT_DOUBLE_EQ(a.at("total_cost").as_double(), 0.75);
    EXPECT_DOUBLE_EQ(a.at("avg_latency").as_double(), 2.0);
    EXPECT_EQ(a.at("errors"), 1);
    EXPECT_TRUE(row(rows, 2).at("model_id").is_null());
    // The unpriced group is counted but has no cost, and sorts last.
    EXPECT_EQ(row(rows, 3).at("model_id"), "local/x");
    EXPECT_EQ(row(rows, 3).at("calls"), 1);
    EXPECT_TRUE(row(rows, 3).at("total_cost").is_null());
    const std::vector<std::string> keys = {"model_id",         "tag",        "calls",       "total_prompt",
                                           "total_completion", "total_cost", "avg_latency", "errors"};
    std::vector<std::string> got;
    for (const auto& kv : row(rows, 0)) got.emplace_back(kv.key());
    EXPECT_EQ(got, keys);
}

TEST(Queries, SummaryWindowAndTagFilter) {
    tt_test::Scratch s;
    insert({.ts = ago(24 * 3600 - 30), .tag = "a"});
    insert({.ts = ago(24 * 3600 + 30), .tag = "a"});
    insert({.ts = ago(10), .tag = "b"});
    EXPECT_EQ(ledger::summary(*tt_test::store()).size(), 2u);
    EXPECT_EQ(ledger::summary(*tt_test::store(), std::string("")).size(), 2u);  // an empty tag filters nothing
    auto only_a = ledger::summary(*tt_test::store(), std::string("a"));
    ASSERT_EQ(only_a.size(), 1u);
    EXPECT_EQ(row(only_a, 0).at("calls"), 1);
    EXPECT_EQ(row(ledger::summary(*tt_test::store(), std::string("a"), 25.0), 0).at("calls"), 2);
    EXPECT_TRUE(ledger::summary(*tt_test::store(), std::string("zzz")).empty());
}

TEST(Queries, RecentIsNewestFirstAndLimited) {
    tt_test::Scratch s;
    for (int i = 0; i < 3; ++i) insert({.ts = ago(100 - i), .session = "s" + std::to_string(i)});
    EXPECT_EQ(ledger::recent(*tt_test::store(), 5).size(), 3u);
    for (int i = 3; i < 10; ++i) insert({.ts = ago(100 - i), .session = "s" + std::to_string(i)});
    auto rows = ledger::recent(*tt_test::store(), 5);
    ASSERT_EQ(rows.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(row(rows, i).at("session_id").as_string(), "s" + std::to_string(9 - i));
    EXPECT_EQ(row(rows, 0).size(), 11u);  // every column of calls
    EXPECT_EQ(row(rows, 0).at("streamed"), 0);
}

TEST(Queries, RollingSpendCoversWholeDaysOfSecondsAndSkipsUnpriced) {
    tt_test::Scratch s;
    insert({.ts = ago(86400 - 30), .tag = "a", .cost = 1.5});
    insert({.ts = ago(86400 + 30), .tag = "a", .cost = 10.0});
    insert({.ts = ago(10), .tag = "b", .cost = 0.25});
    insert({.ts = ago(10), .tag = "b", .cost = std::nullopt});
    EXPECT_DOUBLE_EQ(ledger::rolling_spend(*tt_test::store(), 1), 1.75);
    EXPECT_DOUBLE_EQ(ledger::rolling_spend(*tt_test::store(), 2), 11.75);
    EXPECT_DOUBLE_EQ(ledger::rolling_spend(*tt_test::store(), 1, std::string("a")), 1.5);
    EXPECT_DOUBLE_EQ(ledger::rolling_spend(*tt_test::store(), 1, std::string("")), 1.75);
    EXPECT_EQ(ledger::rolling_spend(*tt_test::store(), 30, std::string("nobody")), 0.0);
}

TEST(Queries, RollingSummaryBucketsPricedCallsByLocalDay) {
    tt_test::Scratch s;
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    double midnight = static_cast<double>(std::mktime(&tm));
    insert({.ts = midnight + 1, .cost = 1.0});
    insert({.ts = midnight + 2, .prompt = std::nullopt, .cost = 2.0});
    insert({.ts = midnight + 2, .cost = std::nullopt});  // not counted on this view
    insert({.ts = midnight - 3600, .cost = 0.5});

    auto rows = ledger::rolling_summary(*tt_test::store());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(row(rows, 0).at("day").as_string(), local_day(midnight + 1));
    EXPECT_EQ(row(rows, 0).at("calls"), 2);
    EXPECT_DOUBLE_EQ(row(rows, 0).at("total_cost").as_double(), 3.0);
    EXPECT_EQ(row(rows, 0).at("total_prompt"), 10);
    EXPECT_EQ(row(rows, 1).at("day").as_string(), local_day(midnight - 3600));
}

TEST(Queries, AgentSummaryGroupsBySessionAndTag) {
    tt_test::Scratch s;
    double t0 = ago(500), t1 = ago(100);
    insert({.ts = t0, .tag = "a", .session = "s-1", .cost = 1.0});
    insert({.ts = t1, .tag = "a", .session = "s-1", .cost = std::nullopt, .status = 500});
    insert({.ts = ago(50), .tag = "b", .session = "s-1", .cost = 3.0});
    insert({.ts = ago(25 * 3600), .tag = "a", .session = "s-1", .cost = 9.0});

    auto rows = ledger::agent_summary(*tt_test::store());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(row(rows, 0).at("tag"), "b");
    const auto& a = row(rows, 1);
    EXPECT_EQ(a.at("calls"), 2);
    EXPECT_DOUBLE_EQ(a.at("total_cost").as_double(), 1.0);
    EXPECT_DOUBLE_EQ(a.at("first_call").as_double(), t0);
    EXPECT_DOUBLE_EQ(a.at("last_call").as_double(), t1);
    EXPECT_EQ(a.at("errors"), 1);
    EXPECT_EQ(ledger::agent_summary(*tt_test::store(), 26.0).size(), 2u);
}

TEST(Queries, AgentRecentReadsOneSessionNewestFirst) {
    tt_test::Scratch s;
    for (int i = 0; i < 4; ++i) insert({.ts = ago(100 - i), .session = "mine", .prompt = i});
    insert({.ts = ago(1), .session = "other"});
    auto rows = ledger::agent_recent(*tt_test::store(), "mine", 3);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(row(rows, 0).at("prompt_tokens"), 3);
    EXPECT_EQ(row(rows, 2).at("prompt_tokens"), 1);
    EXPECT_TRUE(ledger::agent_recent(*tt_test::store(), "nobody").empty());
}

// --- the read commands -------------------------------------------------------

TEST(ReadCommands, PrintTablesAndJson) {
    tt_test::Scratch s;
    insert({.ts = ago(60), .tag = "proj", .session = "agent-7", .prompt = 12345, .completion = 1000000, .cost = 1.5});
    insert({.ts = ago(30), .tag = "proj", .session = "agent-7", .cost = std::nullopt, .status = 500});

    auto summary = tt_test::run(bin() + " summary 2>&1");
    EXPECT_EQ(summary.status, 0) << summary.out;
    EXPECT_NE(summary.out.find("Model"), std::string::npos);
    EXPECT_NE(summary.out.find("$1.500000"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("12,355"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("1,000,005"), std::string::npos) << summary.out;

    auto as_json = tt_test::run(bin() + " summary --tag proj --json");
    ASSERT_EQ(as_json.status, 0);
    auto parsed = bj::parse(as_json.out).as_array();
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(row(parsed, 0).at("calls"), 2);
    EXPECT_EQ(row(parsed, 0).at("errors"), 1);

    auto spend = tt_test::run(bin() + " spend --days 1");
    EXPECT_EQ(spend.out, "$1.500000\n");
    EXPECT_EQ(tt_test::run(bin() + " spend --json").out, "1.5\n");

    auto recent = tt_test::run(bin() + " recent -n 1 --json");
    auto calls = bj::parse(recent.out).as_array();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(row(calls, 0).at("status"), 500);

    for (const char* cmd : {" recent", " history", " sessions", " session agent-7", " history --json",
                            " sessions --json", " session agent-7 -n 1 --json"}) {
        auto r = tt_test::run(bin() + cmd + " 2>&1");
        EXPECT_EQ(r.status, 0) << cmd << ": " << r.out;
        EXPECT_FALSE(r.out.empty()) << cmd;
    }
    EXPECT_NE(tt_test::run(bin() + " sessions").out.find("agent-7"), std::string::npos);
}

TEST(ReadCommands, MissingDatabaseIsCreatedAndBadArgumentsAreUsageErrors) {
    tt_test::Scratch s;
    auto r = tt_test::run(bin() + " recent --json");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_TRUE(std::filesystem::exists(s.db_path()));
    EXPECT_EQ(tt_test::run(bin() + " spend --json").out, "0.0\n");

    for (const char* cmd : {" recent -n abc", " recent -n -1", " summary --hours x", " session", " spend --days 1.5",
                            " history --bogus"}) {
        EXPECT_EQ(tt_test::run(bin() + cmd + " 2>/dev/null").status, 2) << cmd;
    }
}

// The two window summaries are aggregated outside SQL for speed; whatever
// the rows hold, they must give exactly what SQLite's GROUP BY gives: same
// groups, same order (ties included), same integer or real sums bit for bit.
TEST(Queries, WindowSummariesMatchSqliteGroupByExactly) {
    tt_test::Scratch s;
    ledger::init_db(*tt_test::store());
    const char* models[] = {nullptr, "", "openai/gpt-4o", "Open", "\xc3\xa9-model", "openai/gpt-4o-mini"};
    const char* tags[] = {"a", "b", "", "A"};
    std::srand(11);
    auto pick = [](int n) { return std::rand() % n; };
    {
        SQLite::Database conn(s.db_path(), SQLite::OPEN_READWRITE);
        SQLite::Transaction tx(conn);
        SQLite::Statement st(conn,
                             "INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, "
                             "cost_usd, elapsed_s, status) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (int i = 0; i < 3000; ++i) {
            // Inside the day or well outside it, never near the boundary.
            st.bind(1, ago(pick(2) ? pick(80000) : 100000 + pick(80000)));
            const char* m = models[pick(6)];
            m ? st.bind(2, m) : st.bind(2);
            st.bind(3, tags[pick(4)]);
            st.bind(4, "s-" + std::to_string(pick(12)));
            pick(5) ? st.bind(5, static_cast<std::int64_t>(pick(5000))) : st.bind(5);
            pick(5) ? st.bind(6, static_cast<std::int64_t>(pick(900))) : st.bind(6);
            int c = pick(4);  // null, zero, or an awkward real (sums depend on their order)
            c == 0 ? st.bind(7) : st.bind(7, c == 1 ? 0.0 : 0.1 * pick(1000) / 7.0);
            st.bind(8, pick(3000) / 1000.0);
            int status = pick(6);
            status == 0 ? st.bind(9) : st.bind(9, status == 1 ? 429 : status == 2 ? 500 : 200);
            st.exec();
            st.reset();
        }
        tx.commit();
    }
    auto since = [] { return std::to_string(ago(86400.0)); };
    const std::string totals =
        "COUNT(*) AS calls, SUM(prompt_tokens) AS total_prompt, SUM(completion_tokens) AS total_completion, "
        "SUM(cost_usd) AS total_cost, AVG(elapsed_s) AS avg_latency";
    const std::string errors = "SUM(CASE WHEN status >= 400 THEN 1 ELSE 0 END) AS errors";
    auto by_model = [&](const std::string& where) {
        return tt_test::query(s.db_path(), "SELECT model_id, tag, " + totals + ", " + errors +
                                               " FROM calls INDEXED BY idx_calls_ts WHERE ts >= " + since() + where +
                                               " GROUP BY model_id, tag ORDER BY total_cost DESC");
    };
    auto by_session = [&] {
        return tt_test::query(s.db_path(), "SELECT session_id, tag, " + totals +
                                               ", MIN(ts) AS first_call, MAX(ts) AS last_call, " + errors +
                                               " FROM calls INDEXED BY idx_calls_ts WHERE ts >= " + since() +
                                               " GROUP BY session_id, tag ORDER BY total_cost DESC");
    };
    auto same = [](const bj::array& got, const bj::array& want) {
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << i;
    };
    same(ledger::summary(*tt_test::store()), by_model(""));
    same(ledger::summary(*tt_test::store(), std::string("a")), by_model(" AND tag = 'a'"));
    same(ledger::agent_summary(*tt_test::store()), by_session());

    // Values SQLite coerces on its own (text where a count belongs) are left
    // to SQLite: the answers still agree.
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE)
        .exec("INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, cost_usd) VALUES (" +
              std::to_string(ago(10)) + ", 'x', 'a', 's-1', 'many', 0.5)");
    same(ledger::summary(*tt_test::store()), by_model(""));
    same(ledger::agent_summary(*tt_test::store()), by_session());
}
