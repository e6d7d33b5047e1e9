#include "tokentally/insight/predictor.hpp"

#include "support/scratch.hpp"
#include "tokentally/base/json.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace pr = tokentally::predictor;
namespace bj = boost::json;

namespace {

struct Call {
    std::optional<std::string> model_id;
    std::optional<std::string> tag;
    double ts;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    std::optional<double> cost_usd;
};

// The columns of the ledger's `calls` table that training reads.
void insert_calls(const std::string& db_path, const std::vector<Call>& calls) {
    std::filesystem::create_directories(std::filesystem::path(db_path).parent_path());
    SQLite::Database conn(db_path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    conn.exec(
        "CREATE TABLE IF NOT EXISTS calls (id INTEGER PRIMARY KEY AUTOINCREMENT, ts REAL NOT NULL, model_id TEXT, "
        "tag TEXT DEFAULT 'default', prompt_tokens INTEGER, completion_tokens INTEGER, cost_usd REAL)");
    SQLite::Transaction tx(conn);
    SQLite::Statement ins(conn,
                          "INSERT INTO calls (ts, model_id, tag, prompt_tokens, completion_tokens, cost_usd) "
                          "VALUES (?, ?, ?, ?, ?, ?)");
    for (const auto& c : calls) {
        ins.reset();
        ins.clearBindings();
        ins.bind(1, c.ts);
        if (c.model_id) ins.bind(2, *c.model_id);
        if (c.tag) ins.bind(3, *c.tag);
        if (c.prompt_tokens) ins.bind(4, *c.prompt_tokens);
        if (c.completion_tokens) ins.bind(5, *c.completion_tokens);
        if (c.cost_usd) ins.bind(6, *c.cost_usd);
        ins.exec();
    }
    tx.commit();
}

// Priced calls over four models whose cost is exactly the list price of
// their tokens, spread over the last 30 days and three tags.
std::vector<Call> synthetic_calls(std::size_t n, unsigned seed = 7) {
    struct Price {
        const char* id;
        double in, out;
    };
    const Price models[] = {{"openai/gpt-4o", 2.5, 10},
                            {"anthropic/claude-sonnet-4", 3, 15},
                            {"openai/gpt-4o-mini", 0.15, 0.6},
                            {"google/gemini-2.0-flash", 0.1, 0.4}};
    const char* tags[] = {"default", "search", "agent"};
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> prompt(50, 4000), model(0, 3), tag(0, 2);
    std::uniform_real_distribution<double> ratio(0.05, 1.0), age(0, 30 * 86400.0);
    // A fixed clock: the hour and weekday are features, so rows stamped from
    // the wall clock would train a different model on every run.
    const double now = 1.7e9;
    std::vector<Call> calls;
    for (std::size_t i = 0; i < n; ++i) {
        const Price& m = models[model(rng)];
        std::int64_t p = prompt(rng);
        auto c = static_cast<std::int64_t>(std::max(1.0, p * ratio(rng)));
        calls.push_back({m.id, tags[tag(rng)], now - age(rng), p, c, p / 1e6 * m.in + c / 1e6 * m.out});
    }
    return calls;
}

std::string write_text(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string report_text() {
    std::ostringstream out;
    pr::prediction_report(out);
    return out.str();
}

const std::string NO_MODEL = "\n  No trained model found. Run: tokentally train\n\n";

// Sets TZ for the life of the holder. The model learns from the local hour
// and weekday, so a test that trains must not depend on the machine's zone.
struct Zone {
    explicit Zone(const char* tz) {
        const char* old = std::getenv("TZ");
        saved = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (saved)
            setenv("TZ", saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved;
};

// A zone 5.5 hours east of UTC, so that local time differs from UTC by a
// non-whole number of hours.
struct IndiaTime : Zone {
    IndiaTime() : Zone("IST-05:30") {}
};

struct Predictor : ::testing::Test {
    tt_test::Scratch s;
    Zone utc{"UTC0"};
    void SetUp() override {
        pr::MODEL_PATH = s.data + "/cost_predictor.pkl";
        pr::MODEL_INDEX = {};
        pr::TAG_INDEX = {};
    }
};

}  // namespace

TEST_F(Predictor, FeaturizeUsesLocalTimeIndexesAndTokenCounts) {
    IndiaTime zone;
    pr::MODEL_INDEX = {{"anthropic/x", 0}, {"openai/y", 1}};
    pr::TAG_INDEX = {{"search", 0}};
    // Sunday 2025-03-02 23:30 in UTC+5:30 is 18:00 UTC.
    std::tm utc{};
    utc.tm_year = 125, utc.tm_mon = 2, utc.tm_mday = 2, utc.tm_hour = 18;
    auto ts = static_cast<double>(timegm(&utc)) + 0.25;

    pr::Features f = pr::_featurize("openai/y", 400, "search", ts, 50, 100);
    EXPECT_EQ(f[0], 1);
    EXPECT_EQ(f[1], 400);
    EXPECT_EQ(f[2], 0);
    EXPECT_EQ(f[3], 23);
    EXPECT_EQ(f[4], 6);
    EXPECT_EQ(f[5], 0.5);
    EXPECT_NEAR(f[6], 5.994, 0.0005);
    EXPECT_EQ(f[6], std::log1p(400.0));

    pr::Features unseen = pr::_featurize("mistral/z", 0, "default", ts);
    EXPECT_EQ(unseen[0], -1);
    EXPECT_EQ(unseen[2], -1);
    EXPECT_EQ(unseen[5], 0.0);
    EXPECT_EQ(unseen[6], 0.0);
    EXPECT_EQ(pr::_featurize("openai/y", 4, "x", ts, 0, 100)[5], 0.0);
    EXPECT_EQ(pr::_featurize("openai/y", 4, "x", ts, 50, std::nullopt)[5], 0.0);
    EXPECT_EQ(pr::_featurize("openai/y", 4, "x", ts, std::nullopt, 100)[5], 0.0);
    // Monday 00:10 local is still Sunday in UTC.
    EXPECT_EQ(pr::_featurize("x", 1, "x", ts + 40 * 60)[4], 0);

    EXPECT_THROW(pr::_featurize("x", 1, "x", std::nan("")), std::invalid_argument);
    EXPECT_THROW(pr::_featurize("x", 1, "x", 1e300), std::invalid_argument);
}

TEST(PredictorSplit, HoldsOutCeilOfAFifthTheSameWayEveryTime) {
    for (std::size_t n : {20u, 21u, 24u, 25u, 2000u}) {
        auto [test, train] = pr::_split(n);
        EXPECT_EQ(test.size(), (n + 4) / 5) << n;
        std::set<std::size_t> all(test.begin(), test.end());
        all.insert(train.begin(), train.end());
        EXPECT_EQ(all.size(), n);
        EXPECT_EQ(*all.rbegin(), n - 1);
        EXPECT_EQ(pr::_split(n), std::make_pair(test, train));
    }
    auto [test, train] = pr::_split(20);
    EXPECT_EQ(test.size(), 4u);
    EXPECT_EQ(train.size(), 16u);
}

TEST_F(Predictor, TrainingNeedsALedgerAndTwentyUsableRows) {
    tt_test::LogCapture log;
    EXPECT_FALSE(pr::train(*tt_test::store()));
    EXPECT_TRUE(
        log.contains("warning tokentally.predictor: No ledger.db found — call the proxy first to generate data"));

    auto calls = synthetic_calls(19);
    // Rows without cost or tokens are filtered out by the query, not counted.
    calls.push_back({"openai/gpt-4o", "x", 1e9, 100, 10, 0.0});
    calls.push_back({"openai/gpt-4o", "x", 1e9, 100, std::nullopt, 0.1});
    calls.push_back({"openai/gpt-4o", "x", 1e9, 0, 10, 0.1});
    calls.push_back({"openai/gpt-4o", "x", 1e9, 100, 10, std::nullopt});
    insert_calls(s.db_path(), calls);
    EXPECT_FALSE(pr::train(*tt_test::store()));
    EXPECT_TRUE(log.contains("warning tokentally.predictor: Only 19 usable rows — need 20 to train"));
    EXPECT_FALSE(std::filesystem::exists(pr::MODEL_PATH));

    insert_calls(s.db_path(), synthetic_calls(1, 99));
    EXPECT_TRUE(pr::train(*tt_test::store(), true));
    auto info = pr::model_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("n_rows").as_int64(), 20);
    EXPECT_EQ(info->at("n_models").as_uint64(), 4u);
    EXPECT_EQ(info->at("n_tags").as_uint64(), 3u);
}

TEST_F(Predictor, TrainingFailureIsLoggedAndGivesFalse) {
    write_text(s.db_path(), "");  // an empty database: no calls table
    tt_test::LogCapture log;
    EXPECT_FALSE(pr::train(*tt_test::store()));
    EXPECT_TRUE(log.contains("error tokentally.predictor: Training failed: no such table: calls"));
}

TEST_F(Predictor, IndexesSortByCodePointAndSkipNullAndEmpty) {
    auto calls = synthetic_calls(20);
    calls.push_back({"openai/y", "beta", 1e9, 10, 5, 0.1});
    calls.push_back({"Zeta/z", std::nullopt, 1e9, 10, 5, 0.1});
    calls.push_back({std::nullopt, "", 1e9, 10, 5, 0.1});
    calls.push_back({"", "Alpha", 1e9, 10, 5, 0.1});
    insert_calls(s.db_path(), calls);
    ASSERT_TRUE(pr::train(*tt_test::store()));
    auto doc = bj::parse(tt_test::read_file(pr::MODEL_PATH)).as_object();
    EXPECT_EQ(tokentally::json::write(doc.at("model_index")),
              R"({"Zeta/z": 0, "anthropic/claude-sonnet-4": 1, "google/gemini-2.0-flash": 2, )"
              R"("openai/gpt-4o": 3, "openai/gpt-4o-mini": 4, "openai/y": 5})");
    EXPECT_EQ(tokentally::json::write(doc.at("tag_index")),
              R"({"Alpha": 0, "agent": 1, "beta": 2, "default": 3, "search": 4})");
    EXPECT_EQ(doc.at("n_rows").as_int64(), 24);
    std::vector<std::string> keys;
    for (const auto& kv : doc) keys.emplace_back(kv.key());
    EXPECT_THAT(keys, ::testing::ElementsAre("model", "model_index", "tag_index", "trained_at", "n_rows", "mae", "r2"));
}

TEST_F(Predictor, LearnsCostsThatFollowPricesAndReportsIt) {
    insert_calls(s.db_path(), synthetic_calls(2000));
    tt_test::LogCapture log;
    ASSERT_TRUE(pr::train(*tt_test::store()));
    std::smatch m;
    std::string text = log.text();
    ASSERT_TRUE(std::regex_search(
        text, m, std::regex(R"(info tokentally\.predictor: Trained on 2000 rows  MAE=\$\d\.\d{8}  R²=(-?\d\.\d{3}))")))
        << text;
    EXPECT_GE(std::stod(m[1]), 0.9);
    auto info = pr::model_info();
    ASSERT_TRUE(info);
    EXPECT_GE(info->at("r2").as_double(), 0.9);

    std::string report = report_text();
    EXPECT_THAT(report, ::testing::StartsWith("\ntokentally predictor\n\n  trained:   "));
    EXPECT_THAT(report, ::testing::HasSubstr("\n  rows:      2000\n  MAE:       $0.0"));
    EXPECT_THAT(report, ::testing::HasSubstr("\n  models:    4  tags: 3\n\n  Feature importances:\n"));
    EXPECT_THAT(report, ::testing::EndsWith("\n\n"));
    auto imps = pr::_feature_importances(pr::_load_model()->model);
    double sum = 0;
    for (double v : imps) sum += v;
    EXPECT_NEAR(sum, 1.0, 1e-6);
    EXPECT_GT(imps[0], 0.0);  // the model decides the price

    // A dearer model costs more for the same prompt; unseen ids still predict.
    std::string prompt(2000, 'x');
    auto dear = pr::predict("anthropic/claude-sonnet-4", prompt, "default", 1.7e9);
    auto cheap = pr::predict("google/gemini-2.0-flash", prompt, "default", 1.7e9);
    auto unseen = pr::predict("someone/else", prompt, "never-seen", 1.7e9);
    ASSERT_TRUE(dear && cheap && unseen);
    EXPECT_GT(*dear, *cheap * 5);
    EXPECT_GE(*unseen, 0.0);
    EXPECT_EQ(pr::MODEL_INDEX.size(), 4u);  // set from the bundle by predict
}

TEST_F(Predictor, BundleRoundTripIsExactAndPredictionsDependOnLengthOnly) {
    insert_calls(s.db_path(), synthetic_calls(300));
    ASSERT_TRUE(pr::train(*tt_test::store()));
    std::string text = tt_test::read_file(pr::MODEL_PATH);
    auto bundle = pr::_decode_bundle(text);
    ASSERT_TRUE(bundle);
    // The booster survives our JSON layer unchanged. (The reals after it may
    // move by one unit in the last place: Boost.JSON 1.81 parses doubles
    // to within one ulp.)
    std::string again = pr::_encode_bundle(*bundle);
    EXPECT_EQ(again.substr(0, again.find("\"model_index\"")), text.substr(0, text.find("\"model_index\"")));
    EXPECT_NEAR(bundle->mae, bj::parse(text).at("mae").as_double(), 1e-18);

    write_text(pr::MODEL_PATH, pr::_encode_bundle(*bundle));
    std::vector<std::optional<double>> before;
    for (int len : {1, 100, 900, 5000, 20000})
        before.push_back(pr::predict("openai/gpt-4o", std::string(len, 'a'), "search", 1.7e9 + len));
    write_text(pr::MODEL_PATH, pr::_encode_bundle(*pr::_decode_bundle(pr::_encode_bundle(*bundle))));
    for (std::size_t i = 0; i < before.size(); ++i) {
        int len = std::vector<int>{1, 100, 900, 5000, 20000}[i];
        ASSERT_TRUE(before[i]);
        EXPECT_EQ(pr::predict("openai/gpt-4o", std::string(len, 'a'), "search", 1.7e9 + len), before[i]);
    }
    // Length in code points counts, not content or bytes.
    EXPECT_EQ(pr::predict("openai/gpt-4o", "héllo wörld", "search", 1.7e9),
              pr::predict("openai/gpt-4o", "hello world", "search", 1.7e9));
    EXPECT_TRUE(pr::predict("openai/gpt-4o", std::string("\xff\xfe\xc3(\xe2\x82", 6) + std::string(1 << 20, '\0')));
}

TEST(PredictorText, CodePointsCountInvalidBytesOneEach) {
    EXPECT_EQ(pr::_code_points(""), 0);
    EXPECT_EQ(pr::_code_points("héllo"), 5);
    EXPECT_EQ(pr::_code_points("€𝄞"), 2);
    EXPECT_EQ(pr::_code_points("\xff\xfe"), 2);
    EXPECT_EQ(pr::_code_points("\xe2\x82"), 2);  // truncated sequence
    EXPECT_EQ(pr::_code_points("\x80x"), 2);     // stray continuation byte
}

TEST_F(Predictor, NegativePredictionsAreClampedToZero) {
    insert_calls(s.db_path(), synthetic_calls(40));
    ASSERT_TRUE(pr::train(*tt_test::store()));
    auto doc = bj::parse(tt_test::read_file(pr::MODEL_PATH)).as_object();
    doc["model"].as_object()["learner"].as_object()["learner_model_param"].as_object()["base_score"] = "-5E0";
    write_text(pr::MODEL_PATH, tokentally::json::write(doc));
    auto cost = pr::predict("openai/gpt-4o", "hello", "default", 1.7e9);
    ASSERT_TRUE(cost);
    EXPECT_EQ(*cost, 0.0);
}

TEST_F(Predictor, AnythingButABundleActsAsNoBundleAndTrainingReplacesIt) {
    EXPECT_FALSE(pr::predict("openai/gpt-4o", "hi"));
    EXPECT_FALSE(pr::model_info());
    EXPECT_EQ(report_text(), NO_MODEL);

    insert_calls(s.db_path(), synthetic_calls(30));
    ASSERT_TRUE(pr::train(*tt_test::store()));
    std::string good = tt_test::read_file(pr::MODEL_PATH);
    auto doc = bj::parse(good).as_object();
    bj::object foreign_model = doc;
    foreign_model["model"] = bj::object{{"learner", 1}};
    bj::object no_index = doc;
    no_index.erase("tag_index");
    const std::string not_bundles[] = {good.substr(0, good.size() / 2),
                                       R"({"a": 1})",
                                       "[1, 2, 3]",
                                       std::string("\x00\x01\xff\xfe garbage", 12),
                                       "",
                                       tokentally::json::write(foreign_model),
                                       tokentally::json::write(no_index)};
    tt_test::LogCapture log;
    for (const auto& text : not_bundles) {
        write_text(pr::MODEL_PATH, text);
        EXPECT_FALSE(pr::predict("openai/gpt-4o", "hi")) << text.substr(0, 40);
        EXPECT_FALSE(pr::model_info());
        EXPECT_EQ(report_text(), NO_MODEL);
    }
    EXPECT_EQ(log.text(), "");  // nothing is logged for a missing or foreign bundle
    EXPECT_TRUE(pr::train(*tt_test::store()));
    EXPECT_TRUE(pr::model_info());
}

TEST(PredictorReport, ImportanceLinesSortStablyWithFortyBlockBars) {
    auto lines = pr::_importance_lines({0.02499, 0.0, 0.5, 0.0, 1.0, 0.5, 0.025});
    std::string forty;
    for (int i = 0; i < 40; ++i) forty += "█";
    std::string twenty;
    for (int i = 0; i < 20; ++i) twenty += "█";
    EXPECT_THAT(lines, ::testing::ElementsAre(
                           "    day_of_week          1.0000  " + forty, "    tag                  0.5000  " + twenty,
                           "    token_ratio          0.5000  " + twenty, "    log_prompt_len       0.0250  █",
                           "    model_id             0.0250  ", "    prompt_length        0.0000  ",
                           "    hour_of_day          0.0000  "));
}
