// The model router: its rules on their own, then end to end through the
// proxy (headers, the body the provider gets, the row and the reports).
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/guards/router.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdlib>

namespace bj = boost::json;
namespace http = tokentally::http;
namespace ledger = tokentally::ledger;
namespace proxy = tokentally::proxy;
namespace router = tokentally::router;
using ::testing::HasSubstr;
using tt_test::MockReply;
using tt_test::Received;

namespace {

const char* GPT4O_RULE = R"(
[[router.rules]]
from = "openai/gpt-4o"
to = "openai/gpt-4o-mini"
)";

bj::object body(const std::string& json) { return bj::parse(json).as_object(); }

bj::object chat(const std::string& model, const std::string& text = "hi", const std::string& extra = "") {
    return body(
        fmt::format(R"({{"model": "{}", "messages": [{{"role": "user", "content": "{}"}}]{}}})", model, text, extra));
}

struct Router : ::testing::Test {
    tt_test::Scratch scratch;

    bj::object check(const std::string& toml, const bj::object& request, const std::string& tag = "default") {
        scratch.write_config(toml);
        return router::check_routing(std::string(request.at("model").as_string()), request, tag);
    }
};

}  // namespace

TEST_F(Router, ModesDecideWhatAMatchingRuleDoes) {
    EXPECT_EQ(check(GPT4O_RULE, chat("gpt-4o")).at("action"), "none") << "no mode is off";
    EXPECT_EQ(check(std::string("[router]\nmode = \"off\"\n") + GPT4O_RULE, chat("gpt-4o")).at("action"), "none");

    auto warned = check(std::string("[router]\nmode = \"warn\"\n") + GPT4O_RULE, chat("gpt-4o"));
    EXPECT_EQ(warned.at("action"), "warn");
    EXPECT_EQ(warned.at("suggested"), "gpt-4o-mini");
    EXPECT_EQ(warned.at("reason"),
              "router rule 1 (openai/gpt-4o → openai/gpt-4o-mini): openai/gpt-4o $2.5/$10 → openai/gpt-4o-mini "
              "$0.15/$0.6 per M tokens in/out, ~94% cheaper on this request");

    auto swapped = check(std::string("[router]\nmode = \"swap\"\n") + GPT4O_RULE, chat("gpt-4o-2024-08-06"));
    EXPECT_EQ(swapped.at("action"), "swap");
    EXPECT_EQ(swapped.at("suggested"), "gpt-4o-mini");
    EXPECT_EQ(swapped.at("savings_pct"), 94);

    EXPECT_THROW(check("[router]\nmode = \"always\"\n", chat("gpt-4o")), std::runtime_error);
}

TEST_F(Router, TagsPromptLengthAndToolsEachStopARule) {
    std::string swap = std::string("[router]\nmode = \"swap\"\n") + GPT4O_RULE;
    std::string tagged = swap + "tags = [\"batch\", \"eval\"]\n";
    EXPECT_EQ(check(tagged, chat("gpt-4o"), "web").at("action"), "none");
    EXPECT_EQ(check(tagged, chat("gpt-4o"), "eval").at("action"), "swap");

    std::string short_only = swap + "max_prompt_chars = 5\n";
    EXPECT_EQ(check(short_only, chat("gpt-4o", "héllo")).at("action"), "swap") << "five characters, six bytes";
    EXPECT_EQ(check(short_only, chat("gpt-4o", "hello!")).at("action"), "none");

    for (const char* extra :
         {R"(, "tools": [{"type": "function"}])", R"(, "response_format": {"type": "json_object"})"}) {
        auto held = check(swap, chat("gpt-4o", "hi", extra));
        EXPECT_EQ(held.at("action"), "warn") << extra;
        EXPECT_EQ(held.at("suggested"), "gpt-4o-mini");
        EXPECT_THAT(std::string(held.at("reason").as_string()),
                    HasSubstr("router rule 1 (openai/gpt-4o → openai/gpt-4o-mini) not applied: the request has"));
    }
    auto image = body(R"({"model": "gpt-4o", "messages": [{"role": "user", "content": [
        {"type": "text", "text": "what is this"}, {"type": "image_url", "image_url": {"url": "data:x"}}]}]})");
    EXPECT_THAT(std::string(check(swap, image).at("reason").as_string()), HasSubstr("the request has images"));
    EXPECT_EQ(
        check(swap + "allow_tools = true\n", chat("gpt-4o", "hi", R"(, "tools": [{"type": "function"}])")).at("action"),
        "swap");
    EXPECT_EQ(check(swap, chat("gpt-4o", "hi", R"(, "response_format": {"type": "text"})")).at("action"), "swap");
}

TEST_F(Router, ATargetThatCannotHoldTheRequestIsOnlyAWarning) {
    std::string swap = std::string("[router]\nmode = \"swap\"\n") + GPT4O_RULE;
    auto fits = check(swap, chat("gpt-4o", "hi", R"(, "max_tokens": 127000)"));
    EXPECT_EQ(fits.at("action"), "swap");
    auto too_big = check(swap, chat("gpt-4o", "hi", R"(, "max_completion_tokens": 128000)"));
    EXPECT_EQ(too_big.at("action"), "warn");
    EXPECT_TRUE(too_big.at("suggested").is_null());
    EXPECT_THAT(std::string(too_big.at("reason").as_string()),
                HasSubstr("not applied: the prompt (~1 tokens) and max_tokens 128000 exceed the context window of "
                          "openai/gpt-4o-mini (128000 tokens)"));
    // A model the catalog has no window for is not checked.
    std::string custom = "[router]\nmode = \"swap\"\n[[router.rules]]\nfrom = \"acme/big\"\nto = \"acme/small\"\n";
    EXPECT_EQ(check(custom, chat("acme/big", "hi", R"(, "max_tokens": 99000000)")).at("action"), "swap");
}

TEST_F(Router, RulesAreCheckedAsConfiguration) {
    auto error_of = [&](const std::string& rules) -> std::string {
        try {
            check("[router]\nmode = \"swap\"\n" + rules, chat("gpt-4o"));
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(error_of("[[router.rules]]\nfrom = \"openai/gpt-4o\"\nto = \"anthropic/claude-3-haiku\"\n"),
              "router rule 1 (openai/gpt-4o → anthropic/claude-3-haiku): from and to are of different providers "
              "(openai, anthropic); a request cannot be sent in another provider's format");
    EXPECT_THAT(error_of(std::string(GPT4O_RULE) + "[[router.rules]]\nfrom = \"gpt-4o\"\nto = \"gpt-4o-mini\"\n"
                                                   "max_prompt_char = 10\n"),
                HasSubstr("router rule 2: unknown key 'max_prompt_char'"));
    EXPECT_THAT(error_of("[[router.rules]]\nfrom = \"openai/gpt-4o\"\n"), HasSubstr("router rule 1: 'to' must be"));
    EXPECT_THAT(error_of(std::string(GPT4O_RULE) + "tags = \"batch\"\nallow_tools = \"yes\"\n"),
                HasSubstr("'allow_tools' must be true or false"));
    EXPECT_THAT(error_of("[[router.rules]]\nfrom = \"gpt-4o\"\nto = \"openai/gpt-4o\"\n"),
                HasSubstr("from and to name the same model"));
}

TEST_F(Router, WarnModeSuggestsTheAdvisorsAlternativesOfTheSameProvider) {
    std::string warn = "[router]\nmode = \"warn\"\n";
    auto advice = check(warn, chat("gpt-4o"));
    EXPECT_EQ(advice.at("action"), "warn");
    EXPECT_EQ(advice.at("suggested"), "gpt-4o-mini");
    EXPECT_THAT(std::string(advice.at("reason").as_string()), HasSubstr("cheaper alternative: openai/gpt-4o $2.5/$10"));
    // Claude 3 Haiku's alternatives are all of other providers.
    EXPECT_EQ(check(warn, chat("claude-3-haiku-20240307")).at("action"), "none");
    // Below the advisor's threshold nothing is said; swap mode never acts on an alternative.
    EXPECT_EQ(check(warn + "[advisor]\nmin_saving_pct = 95\n", chat("gpt-4o")).at("action"), "none");
    EXPECT_EQ(check("[router]\nmode = \"swap\"\n", chat("gpt-4o")).at("action"), "none");
}

TEST_F(Router, ProviderWideRulesAndSpellingsOfTheTarget) {
    std::string wide =
        "[router]\nmode = \"swap\"\n[[router.rules]]\nfrom = \"anthropic/*\"\nto = \"anthropic/claude-3-haiku\"\n";
    auto dated = check(wide, chat("claude-3-5-sonnet-20241022"));
    EXPECT_EQ(dated.at("suggested"), "claude-3-haiku-20240307") << "the id Anthropic's API takes";
    EXPECT_EQ(check(wide, chat("anthropic/claude-3.5-sonnet")).at("suggested"), "anthropic/claude-3-haiku");
    // A cheaper model than the target is never sent up to it.
    std::string openai = "[router]\nmode = \"swap\"\n[[router.rules]]\nfrom = \"openai/*\"\nto = \"gpt-4o-mini\"\n";
    EXPECT_EQ(check(openai, chat("gpt-4.1-nano")).at("action"), "none");
    EXPECT_EQ(check(openai, chat("gpt-4.1")).at("suggested"), "gpt-4o-mini");

    EXPECT_EQ(router::apply_routing(chat("openai/gpt-4o"), "gpt-4o-mini").at("model"), "openai/gpt-4o-mini");
    EXPECT_EQ(router::apply_routing(chat("gpt-4o"), "openai/gpt-4o-mini").at("model"), "gpt-4o-mini");
    EXPECT_EQ(router::apply_routing(chat("gpt-4o"), "gpt-4o-mini").at("messages"), chat("gpt-4o").at("messages"));
    EXPECT_EQ(router::_prompt_chars(body(R"({"system": [{"type": "text", "text": "abc"}], "messages": [
        {"role": "user", "content": [{"type": "text", "text": "de"}, {"type": "image", "source": {}}]}]})")),
              5);
}

// --- through the proxy ---------------------------------------------------------

namespace {

struct RoutedProxy : ::testing::Test {
    tt_test::Scratch scratch;
    tt_test::LogCapture logs;
    tt_test::MockServer provider{[](const Received&) {
        MockReply r;
        r.body = tt_test::chat_answer();
        return r;
    }};
    tt_test::RunningApp app{proxy::make_app(tt_test::store())};

    http::ClientResponse post(const bj::object& b, const std::string& tag = "default") {
        return tt_test::call(
            "POST", app.url() + "/v1/chat/completions",
            {{"X-Tokentally-Target", provider.url()}, {"X-Tokentally-Tag", tag}, {"X-Tokentally-Session", "s-route"}},
            bj::serialize(b));
    }
    static std::string header(const http::ClientResponse& r, const std::string& name) {
        const std::string* h = http::find_header(r.headers, name);
        return h ? *h : "<none>";
    }
    tt_test::CommandResult cli(const std::string& args) {
        return tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " " + args + " 2>&1");
    }
};

}  // namespace

TEST_F(RoutedProxy, WarnAddsTheSuggestionAndLeavesTheRequestAlone) {
    scratch.write_config(std::string("[router]\nmode = \"warn\"\n") + GPT4O_RULE);
    auto res = post(chat("gpt-4o"));
    EXPECT_EQ(header(res, "x-tokentally-suggest"), "gpt-4o-mini");
    EXPECT_EQ(header(res, "x-tokentally-routed"), "<none>");
    EXPECT_EQ(bj::parse(provider.received().at(0).body).at("model"), "gpt-4o");
    EXPECT_TRUE(
        logs.contains("warning tokentally.proxy: [default|s-route] ⚠ ROUTING WARN  router rule 1 "
                      "(openai/gpt-4o → openai/gpt-4o-mini): openai/gpt-4o $2.5/$10"))
        << logs.text();
}

TEST_F(RoutedProxy, SwapSendsTheCheaperModelAndTheReportsShowWhatWasAskedFor) {
    scratch.write_config(std::string("[router]\nmode = \"swap\"\n") + GPT4O_RULE);
    auto res = post(chat("gpt-4o", "hi", R"(, "temperature": 0.5)"));
    ASSERT_EQ(res.status, 200);
    EXPECT_EQ(header(res, "x-tokentally-routed"), "gpt-4o-mini");
    auto sent = bj::parse(provider.received().at(0).body);
    EXPECT_EQ(sent, bj::value(chat("gpt-4o-mini", "hi", R"(, "temperature": 0.5)")));
    EXPECT_TRUE(logs.contains("[default|s-route] 🔀 ROUTED  gpt-4o → gpt-4o-mini  saves 94%"));

    auto rows = tt_test::query(scratch.db_path(), "SELECT * FROM calls");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("model_id"), "gpt-4o-mini");
    EXPECT_DOUBLE_EQ(rows[0].at("cost_usd").as_double(), 10 / 1e6 * 0.15 + 5 / 1e6 * 0.6);

    auto recent = bj::parse(cli("recent --json").out).as_array();
    ASSERT_EQ(recent.size(), 1u);
    EXPECT_EQ(recent[0].at("requested_model"), "gpt-4o");
    EXPECT_EQ(bj::parse(cli("session s-route --json").out).at(0).at("requested_model"), "gpt-4o");
    EXPECT_THAT(cli("recent").out, HasSubstr("gpt-4o-mini (from gpt-4o)"));

    auto summary = bj::parse(cli("summary --json").out).as_array();
    EXPECT_EQ(summary[0].at("routed_calls"), 1);
    // 10 prompt and 5 completion tokens at gpt-4o's price, less what they cost.
    double saving = summary[0].at("routing_saving_usd").as_double();
    EXPECT_NEAR(saving, (10 * 2.5 + 5 * 10 - 10 * 0.15 - 5 * 0.6) / 1e6, 1e-12);
    EXPECT_THAT(cli("summary").out,
                HasSubstr(fmt::format("Router: 1 swapped calls, estimated saving ${:.6f}", saving)));

    // With the router off the reports are what they were.
    scratch.write_config("[router]\nmode = \"off\"\n");
    std::string plain = cli("recent --json").out;
    EXPECT_THAT(plain, ::testing::Not(HasSubstr("requested_model")));
    EXPECT_EQ(plain, tokentally::json::write(ledger::recent(*tt_test::store(), 20)) + "\n");
    EXPECT_THAT(cli("summary").out, ::testing::Not(HasSubstr("Router:")));
}

TEST_F(RoutedProxy, ACrossProviderRuleIsLoggedAndTheCallGoesOnUnchanged) {
    scratch.write_config(
        "[router]\nmode = \"swap\"\n[[router.rules]]\nfrom = \"openai/gpt-4o\"\nto = \"anthropic/claude-3-haiku\"\n");
    auto res = post(chat("gpt-4o"));
    EXPECT_EQ(res.status, 200);
    EXPECT_EQ(header(res, "x-tokentally-routed"), "<none>");
    EXPECT_EQ(bj::parse(provider.received().at(0).body).at("model"), "gpt-4o");
    EXPECT_TRUE(
        logs.contains("warning tokentally.proxy: Routing check failed: router rule 1 (openai/gpt-4o → "
                      "anthropic/claude-3-haiku): from and to are of different providers"));
    EXPECT_EQ(tt_test::query(scratch.db_path(), "SELECT model_id FROM calls")[0].at("model_id"), "gpt-4o");
}

TEST_F(RoutedProxy, WarnWithoutRulesSuggestsFromTheAlternatives) {
    scratch.write_config("[router]\nmode = \"warn\"\n");
    auto res = post(chat("gpt-4o"));
    EXPECT_EQ(header(res, "x-tokentally-suggest"), "gpt-4o-mini");
    EXPECT_TRUE(logs.contains(" ⚠ ROUTING WARN  cheaper alternative: openai/gpt-4o $2.5/$10 → openai/gpt-4o-mini"));
}
