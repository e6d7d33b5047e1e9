// Budget blocking: the refusal texts, the limits and windows they compare,
// the 429 answer through the running proxy, and the budgets of client keys
// (across a restart of serve, and in strict mode).
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "support/spend.hpp"
#include "tokentally/guards/budget.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace proxy = tokentally::proxy;
namespace ledger = tokentally::ledger;
namespace bj = boost::json;
using tt_test::insert_call;

namespace {

const std::string HINT = " Update ~/.tokentally.toml to increase budget.";

// The block's refusal for a call of `tag`, as the proxy's budget stage asks
// it (over a spend state of its own, loaded from the ledger).
std::pair<bool, std::string> blocked(const std::string& tag) {
    auto refusal =
        tokentally::budget::admit(tokentally::spend_state::make(tt_test::store()), tag, std::nullopt, {}, std::nullopt)
            .refusal;
    return {refusal.has_value(), refusal.value_or("")};
}

}  // namespace

TEST(BudgetBlock, LimitsAndTheirOrder) {
    tt_test::Scratch s;
    insert_call(60, 0.5, "demo");
    insert_call(60, 0.25, "other");
    insert_call(60, std::nullopt, "demo");  // unpriced calls never count

    // Spending exactly the limit refuses the next call.
    s.write_config("[budgets]\ndaily = 0.75\n");
    EXPECT_TRUE(blocked("x").first);
    s.write_config("[budgets]\ndaily = 0.76\n");
    EXPECT_EQ(blocked("x"), std::make_pair(false, std::string()));

    // The overall limit wins when both are reached.
    s.write_config("[budgets]\ndaily = 0.5\n[budgets.tags.demo]\ndaily = 0.1\n");
    EXPECT_EQ(blocked("demo").second, "Daily budget exceeded: $0.7500 spent of $0.50 limit." + HINT);

    // A tag limit concerns that tag's own spend only.
    s.write_config("[budgets.tags.demo]\ndaily = 0.5\n");
    EXPECT_EQ(blocked("demo").second, "Tag [demo] daily budget exceeded: $0.5000 of $0.50." + HINT);
    EXPECT_FALSE(blocked("other").first);

    // Zero is "no limit", not "block everything".
    s.write_config("[budgets]\ndaily = 0\n[budgets.tags.demo]\ndaily = 0.0\n");
    EXPECT_FALSE(blocked("demo").first);
}

TEST(BudgetBlock, RollingWindowOfOneDay) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 4.5\n[budgets.tags.a]\ndaily = 0.5\n");
    // Without a ledger the spend is nothing and no file appears.
    EXPECT_FALSE(blocked("a").first);
    EXPECT_FALSE(std::filesystem::exists(s.db_path()));

    insert_call(86400 - 120, 1.0, "a");
    insert_call(86400 + 120, 2.0, "a");
    insert_call(10, 4.0, "b");
    EXPECT_EQ(blocked("b").second, "Daily budget exceeded: $5.0000 spent of $4.50 limit." + HINT);
    s.write_config("[budgets.tags.a]\ndaily = 0.5\n");
    EXPECT_EQ(blocked("a").second, "Tag [a] daily budget exceeded: $1.0000 of $0.50." + HINT);
    EXPECT_FALSE(blocked("nobody").first);
}

TEST(BudgetBlock, BrokenSettingsLetTheCallThrough) {
    tt_test::Scratch s;
    insert_call(60, 1.0);
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    const char* broken[] = {
        "[budgets]\ndaily = \"ten\"\n",
        "[budgets.tags]\ndefault = 5\n",
        "[budgets\ndaily = 1\n",
    };
    for (const char* toml : broken) {
        s.write_config(toml);
        tt_test::LogCapture log;
        EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("hi"), {{"X-Tokentally-Cache", "off"}}).status, 200)
            << toml;
        std::vector<std::string> errors;
        for (const auto& line : log.lines())
            if (line.find("Budget check error") != std::string::npos) errors.push_back(line);
        ASSERT_EQ(errors.size(), 1u) << toml << log.text();
        EXPECT_EQ(errors[0].rfind("warning tokentally.proxy: Budget check error: ", 0), 0u) << errors[0];
    }
}

TEST(BudgetBlock, SecondPricedCallThroughTheProxyIsRefused) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 0.0001\n");
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    const std::string body = tt_test::chat_body("hello");

    EXPECT_EQ(tt_test::post_chat(app, mock, body).status, 200);
    tt_test::LogCapture log;
    // The same body again: the refusal wins over the cached answer.
    auto refused = tt_test::post_chat(app, mock, body, {{"X-Tokentally-Tag", "proj"}});
    EXPECT_EQ(refused.status, 429);
    std::string message = "Daily budget exceeded: $0.0075 spent of $0.00 limit." + HINT;
    EXPECT_EQ(bj::parse(refused.body),
              bj::parse(R"({"error": {"type": "budget_exceeded", "message": ")" + message + R"(", "tag": "proj"}})"));
    EXPECT_EQ(tokentally::http::find_header(refused.headers, "X-Tokentally-Cache"), nullptr);
    EXPECT_TRUE(log.contains("warning tokentally.proxy: [proj|")) << log.text();
    EXPECT_TRUE(log.contains(" ✗ BLOCKED  openai/gpt-4o  " + message)) << log.text();

    EXPECT_EQ(mock.count(), 1u);
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT id FROM calls").size(), 1u);
}

namespace {

const std::string CI_KEY = "ci-0123456789abcdef0123456789";
const std::string ALICE_KEY = "alice-0123456789abcdef01234567";

// Client keys for `ci` and `alice`, with `more` configuration.
void with_keys(const tt_test::Scratch& s, const std::string& more) {
    std::string path = s.home + "/.tokentally-keys";
    std::ofstream(path) << "ci:" << CI_KEY << "\nalice:" << ALICE_KEY << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    s.write_config("[proxy]\nclient_keys_file = \"~/.tokentally-keys\"\n" + more);
}

tokentally::http::ClientResponse post_as(const std::string& url, const tt_test::MockServer& mock,
                                         const std::string& key, const std::string& tag, const std::string& content) {
    return tt_test::call("POST", url + "/v1/chat/completions",
                         {{"X-Tokentally-Target", mock.url()},
                          {"X-Tokentally-Key", key},
                          {"X-Tokentally-Tag", tag},
                          {"Content-Type", "application/json"}},
                         tt_test::chat_body(content));
}

}  // namespace

TEST(BudgetBlock, AKeyOverItsBudgetIsRefusedWhateverTagItSendsAcrossARestart) {
    tt_test::Scratch s;
    with_keys(s, "[budgets.keys.ci]\ndaily = 0.005\n");
    tt_test::MockServer mock(tt_test::priced_answer);
    std::string message = "Key [ci] daily budget exceeded: $0.0075 of $0.01." + HINT;
    for (int run = 0; run < 2; ++run) {
        tt_test::ServeProcess serve(s.home, s.data, s.root + "/serve.log");
        if (run == 0) {
            EXPECT_EQ(post_as(serve.url(), mock, CI_KEY, "ci", "first").status, 200);
        }
        for (const std::string tag : {"ci", "something-else"}) {
            auto refused = post_as(serve.url(), mock, CI_KEY, tag, "more " + tag);
            EXPECT_EQ(refused.status, 429) << "run " << run << ", tag " << tag;
            EXPECT_EQ(bj::parse(refused.body), bj::parse(R"({"error": {"type": "budget_exceeded", "message": ")" +
                                                         message + R"(", "tag": ")" + tag + R"(", "key": "ci"}})"));
        }
        EXPECT_EQ(post_as(serve.url(), mock, ALICE_KEY, "ci", "alice " + std::to_string(run)).status, 200)
            << "another key, even under the same tag";
    }
    EXPECT_EQ(mock.count(), 3u);

    auto recent = bj::parse(tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " recent --json").out).as_array();
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(recent[0].at("key"), "alice");
    EXPECT_EQ(recent[2].at("key"), "ci");
    EXPECT_EQ(recent[2].at("tag"), "ci");
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT key FROM call_keys ORDER BY call_id").size(), 3u);
}

TEST(BudgetBlock, StrictKeyBudgetsHoldWhatTheirCallsInFlightMayCost) {
    tt_test::Scratch s;
    s.write_config("[budgets]\nstrict = true\n[budgets.keys.ci]\ndaily = 0.0125\n");
    auto spend = tokentally::spend_state::make(tt_test::store());
    bj::object body = bj::parse(tt_test::chat_body("hi", R"(, "max_tokens": 1000)")).as_object();
    bj::object price{{"input", 2.5}, {"output", 10.0}};  // at most $0.010002 for this body
    auto first = tokentally::budget::admit(spend, "a", std::string("ci"), body, price);
    ASSERT_FALSE(first.refusal);
    auto second = tokentally::budget::admit(spend, "b", std::string("ci"), body, price);
    ASSERT_TRUE(second.refusal);
    EXPECT_EQ(second.key, "ci");
    EXPECT_EQ(*second.refusal,
              "Key [ci] daily budget exceeded: $0.0000 of $0.01; calls in flight hold the rest ($0.0100)." + HINT);
    EXPECT_FALSE(tokentally::budget::admit(spend, "a", std::string("alice"), body, price).refusal);
    first.hold.reset();
    EXPECT_FALSE(tokentally::budget::admit(spend, "b", std::string("ci"), body, price).refusal);
}
