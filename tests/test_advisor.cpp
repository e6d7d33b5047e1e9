#include "tokentally/insight/advisor.hpp"

#include "support/scratch.hpp"
#include "tokentally/base/json.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

namespace ad = tokentally::advisor;
namespace bj = boost::json;
using ::testing::ElementsAre;

namespace {

struct Call {
    std::optional<std::string> model_id;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost_usd;
    double hours_ago = 1;
};

// The columns of the ledger's `calls` table that the advisor reads.
void insert_calls(const std::string& db_path, const std::vector<Call>& calls) {
    std::filesystem::create_directories(std::filesystem::path(db_path).parent_path());
    SQLite::Database conn(db_path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    conn.exec(
        "CREATE TABLE IF NOT EXISTS calls (id INTEGER PRIMARY KEY AUTOINCREMENT, ts REAL NOT NULL, model_id TEXT, "
        "prompt_tokens INTEGER, completion_tokens INTEGER, cost_usd REAL)");
    SQLite::Statement ins(conn,
                          "INSERT INTO calls (ts, model_id, prompt_tokens, completion_tokens, cost_usd) "
                          "VALUES (?, ?, ?, ?, ?)");
    for (const auto& c : calls) {
        ins.reset();
        ins.clearBindings();
        ins.bind(1, static_cast<double>(std::time(nullptr)) - c.hours_ago * 3600);
        if (c.model_id) ins.bind(2, *c.model_id);
        if (c.prompt_tokens) ins.bind(3, *c.prompt_tokens);
        if (c.completion_tokens) ins.bind(4, *c.completion_tokens);
        if (c.cost_usd) ins.bind(5, *c.cost_usd);
        ins.exec();
    }
}

std::vector<std::string> pairs(const bj::array& suggestions) {
    std::vector<std::string> out;
    for (const auto& s : suggestions)
        out.push_back(tokentally::json::display(s.at("current_model")) + " -> " +
                      tokentally::json::display(s.at("alt_model")));
    return out;
}

std::string blocks(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "█";
    return s;
}

const std::string NO_SUGGESTIONS =
    "  No suggestions — either usage is too low or you're already on optimal models.\n\n";

struct Advisor : ::testing::Test {
    tt_test::Scratch s;
    ad::Catalog catalog = ad::real_catalog();

    bj::array suggestions(double hours = 168) { return ad::get_suggestions(*tt_test::store(), hours, catalog); }
    std::string report(double hours = 168) {
        std::ostringstream out;
        ad::print_suggestions(*tt_test::store(), hours, out, catalog);
        return out.str();
    }
};

// A catalog with chosen prices (USD per million tokens); unknown ids are
// unpriced, and ids are canonical as they come except for one dated alias.
struct FakeCatalog : Advisor {
    std::map<std::string, std::pair<double, double>> prices;
    void SetUp() override {
        catalog.price_of = [this](std::string_view id) {
            auto it = prices.find(std::string(id));
            auto [in, out] = it == prices.end() ? std::pair{0.0, 0.0} : it->second;
            return bj::object{{"input", in}, {"output", out}};
        };
        catalog.normalize = [](std::string_view id) {
            return id == "gpt-4o-2024-08-06" ? std::string("openai/gpt-4o") : std::string(id);
        };
    }
};

}  // namespace

TEST_F(Advisor, UsageSummaryCountsPricedCallsInTheWindowByModel) {
    insert_calls(s.db_path(), {{"openai/gpt-4o", 100, 10, 0.5},
                               {"openai/gpt-4o", 300, std::nullopt, 0.25},
                               {"openai/gpt-4o", 1000, 10, 0.0},
                               {"openai/gpt-4o", 1000, 10, std::nullopt},
                               {"openai/gpt-4o", 1000, 10, 9.0, 200},
                               {std::nullopt, std::nullopt, std::nullopt, 1.0},
                               {"mistral/mistral-large", 10, 10, 0.1}});
    bj::array rows = ad::_get_usage_summary(*tt_test::store());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(tokentally::json::write(rows[0]),
              R"({"model_id": null, "calls": 1, "total_in": null, "total_out": null, "total_cost": 1.0, )"
              R"("avg_in": null, "avg_out": null})");
    EXPECT_EQ(tokentally::json::write(rows[1]),
              R"({"model_id": "openai/gpt-4o", "calls": 2, "total_in": 400, "total_out": 10, "total_cost": 0.75, )"
              R"("avg_in": 200.0, "avg_out": 10.0})");
    EXPECT_EQ(rows[2].at("model_id"), "mistral/mistral-large");
}

TEST_F(FakeCatalog, SuggestsTheFirstQualifyingAlternativeOnly) {
    prices = {{"openai/gpt-4o", {10, 10}},
              // first alternative saves 30 %, the second 90 %: the first wins
              {"openai/gpt-4o-mini", {7, 7}},
              {"anthropic/claude-3-haiku", {1, 1}},
              // zero-priced first alternative is passed over
              {"google/gemini-2.0-flash", {0, 0}},
              {"mistral/mistral-small", {0.5, 0.5}},
              // dearer alternatives are never suggested
              {"openai/o3", {1, 1}},
              {"anthropic/claude-sonnet-4", {2, 2}},
              // a current model that prices to zero gets nothing
              {"xai/grok-3", {0, 0}}};
    insert_calls(s.db_path(), {{"gpt-4o-2024-08-06", 1000, 1000, 4.0},
                               {"anthropic/claude-3-haiku", 1000, 1000, 3.0},
                               {"openai/o3", 1000, 1000, 2.0},
                               {"xai/grok-3", 1000, 1000, 1.0},
                               {"unknown/model", 1000, 1000, 5.0},
                               {"", 1000, 1000, 6.0}});
    bj::array got = suggestions();
    EXPECT_THAT(pairs(got), ElementsAre("gpt-4o-2024-08-06 -> openai/gpt-4o-mini",
                                        "anthropic/claude-3-haiku -> mistral/mistral-small"));
    std::vector<std::string> keys;
    for (const auto& kv : got[0].as_object()) keys.emplace_back(kv.key());
    EXPECT_THAT(keys, ElementsAre("current_model", "alt_model", "calls", "current_cost", "projected_cost",
                                  "projected_saving", "saving_pct", "current_input_price", "current_output_price",
                                  "alt_input_price", "alt_output_price", "period", "avg_in", "avg_out"));
    const auto& g = got[0].as_object();
    EXPECT_EQ(g.at("calls").as_int64(), 1);
    EXPECT_EQ(g.at("current_cost").as_double(), 4.0);
    EXPECT_NEAR(g.at("projected_cost").as_double(), 0.014, 1e-12);
    EXPECT_NEAR(g.at("projected_saving").as_double(), 0.006, 1e-12);
    EXPECT_NEAR(g.at("saving_pct").as_double(), 30.0, 1e-9);
    EXPECT_EQ(g.at("period"), "7d");
    EXPECT_EQ(g.at("avg_in").as_double(), 1000.0);
}

TEST_F(FakeCatalog, ThresholdComesFromTheConfigurationAndEqualityQualifies) {
    prices = {{"openai/gpt-4o", {4, 0}}, {"openai/gpt-4o-mini", {3, 0}}};
    insert_calls(s.db_path(), {{"openai/gpt-4o", 1'000'000, std::nullopt, 4.0}});
    // The switch saves exactly 25 %.
    EXPECT_EQ(suggestions().size(), 1u);  // default threshold 20
    s.write_config("[budgets]\ndaily = 5\n");
    EXPECT_EQ(suggestions().size(), 1u);  // no [advisor] section: still 20
    s.write_config("[advisor]\nmin_saving_pct = 25\n");
    ASSERT_EQ(suggestions().size(), 1u);
    EXPECT_EQ(suggestions()[0].at("saving_pct").as_double(), 25.0);
    s.write_config("[advisor]\nmin_saving_pct = 25.001\n");
    EXPECT_TRUE(suggestions().empty());
}

TEST_F(FakeCatalog, ZeroTokenAveragesGiveNoSuggestion) {
    prices = {{"openai/gpt-4o", {10, 10}}, {"openai/gpt-4o-mini", {1, 1}}};
    insert_calls(s.db_path(), {{"openai/gpt-4o", std::nullopt, std::nullopt, 1.0}, {"openai/gpt-4o", 0, 0, 1.0}});
    EXPECT_TRUE(suggestions().empty());
}

TEST_F(FakeCatalog, EqualSavingsKeepTheOrderOfTotalCost) {
    prices = {{"openai/gpt-4o", {10, 0}},
              {"openai/gpt-4o-mini", {1, 0}},
              {"mistral/mistral-large", {10, 0}},
              {"mistral/mistral-small", {1, 0}},
              {"cohere/command-r-plus", {100, 0}}};
    insert_calls(s.db_path(), {{"mistral/mistral-large", 1000, 0, 2.0},
                               {"openai/gpt-4o", 1000, 0, 3.0},
                               {"cohere/command-r-plus", 1000, 0, 1.0}});
    EXPECT_THAT(pairs(suggestions()),
                ElementsAre("cohere/command-r-plus -> openai/gpt-4o-mini", "openai/gpt-4o -> openai/gpt-4o-mini",
                            "mistral/mistral-large -> mistral/mistral-small"));
}

TEST_F(FakeCatalog, WindowsOfADayOrMoreAreLabelledInDays) {
    prices = {{"openai/gpt-4o", {10, 10}}, {"openai/gpt-4o-mini", {1, 1}}};
    insert_calls(s.db_path(), {{"openai/gpt-4o", 100, 100, 1.0, 20}, {"openai/gpt-4o", 100, 100, 5.0, 30}});
    bj::array day = suggestions(36);
    ASSERT_EQ(day.size(), 1u);
    EXPECT_EQ(day[0].at("period"), "1d");
    EXPECT_EQ(day[0].at("calls").as_int64(), 2);
    EXPECT_THAT(report(36), ::testing::StartsWith("\ntokentally advisor — based on last 1 days of usage\n\n  "));
    bj::array half = suggestions(25.5);
    EXPECT_EQ(half[0].at("calls").as_int64(), 1);

    bj::array hours = suggestions(12);
    EXPECT_TRUE(hours.empty());
    EXPECT_EQ(ad::_period_label(12.9), "12h");
    EXPECT_EQ(report(12), "\ntokentally advisor — based on last 12 hours of usage\n\n" + NO_SUGGESTIONS);
    EXPECT_EQ(ad::_window_text(24), "1 days");
    EXPECT_EQ(ad::_period_label(47.9), "1d");
    EXPECT_THROW(suggestions(std::numeric_limits<double>::infinity()), std::invalid_argument);
}

TEST_F(Advisor, ReportsGpt4oAndClaudeSonnetWithTheCatalogPrices) {
    insert_calls(s.db_path(), {{"openai/gpt-4o", 1000, 500, 0.0075},
                               {"openai/gpt-4o", 1000, 500, 0.0075},
                               {"anthropic/claude-sonnet-4", 2000, 1000, 0.021}});
    std::string expected =
        "\ntokentally advisor — based on last 7 days of usage\n\n"
        "  \033[33manthropic/claude-sonnet-4\033[0m\n"
        "    → switch to  \033[32manthropic/claude-3-haiku\033[0m\n"
        "    pricing:     $3.0000/$15.0000 per M  →  $0.2500/$1.2500 per M  (in/out)\n"
        "    usage:       1 calls, avg 2000 in / 1000 out tokens\n"
        "    actual cost: \033[33m$0.021000\033[0m  →  projected \033[32m$0.001750\033[0m\n"
        "    saving:      \033[32m$0.019250  (92% cheaper)  " +
        blocks(18) +
        "\033[0m\n"
        "\n"
        "  \033[33mopenai/gpt-4o\033[0m\n"
        "    → switch to  \033[32mopenai/gpt-4o-mini\033[0m\n"
        "    pricing:     $2.5000/$10.0000 per M  →  $0.1500/$0.6000 per M  (in/out)\n"
        "    usage:       2 calls, avg 1000 in / 500 out tokens\n"
        "    actual cost: \033[33m$0.015000\033[0m  →  projected \033[32m$0.000900\033[0m\n"
        "    saving:      \033[32m$0.014100  (94% cheaper)  " +
        blocks(18) +
        "\033[0m\n"
        "\n";
    EXPECT_EQ(report(), expected);
}

TEST_F(Advisor, NoPricedCallsGiveTheNoSuggestionsReport) {
    insert_calls(s.db_path(), {{"openai/gpt-4o", 10, 10, 0.0}});
    EXPECT_EQ(report(), "\ntokentally advisor — based on last 7 days of usage\n\n" + NO_SUGGESTIONS);
}

TEST_F(Advisor, FailuresReachTheCallerBeforeAnyOutput) {
    std::ostringstream out;
    EXPECT_THROW(ad::print_suggestions(*tt_test::store(), 168, out, catalog), std::runtime_error);  // no ledger at all
    std::filesystem::create_directories(s.data);
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    EXPECT_THROW(ad::print_suggestions(*tt_test::store(), 168, out, catalog), SQLite::Exception);  // no calls table

    insert_calls(s.db_path(), {{"openai/gpt-4o", 10, 10, 1.0}});
    s.write_config("[advisor\nmin_saving_pct = 5\n");
    EXPECT_THROW(ad::print_suggestions(*tt_test::store(), 168, out, catalog), std::runtime_error);
    s.write_config("[advisor]\nmin_saving_pct = 'lots'\n");
    EXPECT_THROW(ad::print_suggestions(*tt_test::store(), 168, out, catalog), std::runtime_error);
    s.write_config("");

    catalog.price_of = [](std::string_view id) -> bj::object {
        if (id == "openai/gpt-4o-mini") return {};
        return {{"input", 1}, {"output", 1}};
    };
    EXPECT_THROW(ad::print_suggestions(*tt_test::store(), 168, out, catalog), std::runtime_error);
    catalog.price_of = [](std::string_view) -> bj::object { throw std::runtime_error("catalog down"); };
    EXPECT_THROW(ad::print_suggestions(*tt_test::store(), 168, out, catalog), std::runtime_error);
    EXPECT_EQ(out.str(), "");
}
