// The support modules every deliverable leans on: the JSON writer and its
// truth test, the configuration loader and the pricing catalog.
#include "support/scratch.hpp"
#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <filesystem>

namespace bj = boost::json;
namespace json = tokentally::json;
namespace catalog = tokentally::catalog;
namespace config = tokentally::config;
namespace paths = tokentally::paths;

TEST(JsonWriter, SeparatorsEscapesAndKeyOrder) {
    bj::value v = bj::parse(R"({"b": [1, 2.5, true, null], "a": {"z": "é", "y": "\ud83d\ude00"}, "c": "q\"\n"})");
    EXPECT_EQ(json::write(v),
              R"({"b": [1, 2.5, true, null], "a": {"z": "\u00e9", "y": "\ud83d\ude00"}, "c": "q\"\n"})");
    EXPECT_EQ(json::write(v, {.sort_keys = true}),
              R"({"a": {"y": "\ud83d\ude00", "z": "\u00e9"}, "b": [1, 2.5, true, null], "c": "q\"\n"})");
    // Equal values give equal text, and the text reads back to the same value.
    EXPECT_EQ(bj::parse(json::write(v)), v);
    // Every control character escaped, the short forms where JSON has them;
    // integers beyond int64 as they are.
    bj::value odd = bj::parse(R"(["\\ \r\t\b\f\u0001\u001f", 18446744073709551615])");
    EXPECT_EQ(json::write(odd), R"(["\\ \r\t\b\f\u0001\u001f", 18446744073709551615])");
    EXPECT_EQ(json::write(bj::value("del \x7f, then \xc3\xa9")), "\"del \x7f, then \\u00e9\"") << "DEL is ASCII";
}

TEST(JsonWriter, RealsRoundTripWithOneDecimalAtLeast) {
    EXPECT_EQ(json::format_real(2.5), "2.5");
    EXPECT_EQ(json::format_real(10.0), "10.0");
    EXPECT_EQ(json::format_real(0.15), "0.15");
    EXPECT_EQ(json::format_real(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(json::format_real(1e-05), "1e-05");
    EXPECT_EQ(json::format_real(0.0001), "0.0001");
    EXPECT_EQ(json::format_real(1e16), "1e+16");
    EXPECT_EQ(json::format_real(-3.0), "-3.0");
    for (double d : {1.0 / 3, 123456.789, 6.02e23, -1e-300, 0.000075})
        EXPECT_EQ(std::stod(json::format_real(d)), d) << json::format_real(d);
}

TEST(JsonWriter, PlainDecimalsNeverUseAnExponent) {
    EXPECT_EQ(json::plain_decimal(0.0000475, 10), "0.0000475");
    EXPECT_EQ(json::plain_decimal(1e-12, 10), "0.000000000001");
    EXPECT_EQ(json::plain_decimal(0.1 + 0.2, 10), "0.3");
    EXPECT_EQ(json::plain_decimal(1234.5678901234, 10), "1234.56789");
    EXPECT_EQ(json::plain_decimal(0.0, 10), "0");
    EXPECT_EQ(json::plain_decimal(-0.0, 10), "0");
    EXPECT_EQ(json::plain_decimal(1e20, 10), "100000000000000000000");
    EXPECT_EQ(json::plain_decimal(9.99999999996, 10), "10");  // rounding carries into a new digit
    EXPECT_EQ(json::plain_decimal(-2.5, 10), "-2.5");
    EXPECT_EQ(json::plain_decimal(123.456, 2), "120");
    EXPECT_EQ(json::plain_decimal(1.0 / 3, 15), "0.333333333333333");
    EXPECT_THROW(json::plain_decimal(std::nan(""), 10), std::invalid_argument);
    EXPECT_THROW(json::plain_decimal(1.0 / 0.0, 10), std::invalid_argument);
}

TEST(JsonTruth, FalsyAndTruthyValues) {
    for (const char* falsy : {"null", "false", "0", "0.0", "\"\"", "[]", "{}"})
        EXPECT_FALSE(json::truthy(bj::parse(falsy))) << falsy;
    for (const char* truthy : {"true", "1", "-1", "0.5", "\"0\"", "[0]", "{\"a\": null}"})
        EXPECT_TRUE(json::truthy(bj::parse(truthy))) << truthy;
    EXPECT_FALSE(json::truthy(nullptr));
}

TEST(JsonParseObject, OnlyObjectsCount) {
    EXPECT_TRUE(json::parse_object(R"({"model": "m"})"));
    EXPECT_FALSE(json::parse_object(""));
    EXPECT_FALSE(json::parse_object("[1, 2]"));
    EXPECT_FALSE(json::parse_object("42"));
    EXPECT_FALSE(json::parse_object("{not json"));
}

TEST(Config, MissingFileIsEmptyAndTablesBecomeObjects) {
    tt_test::Scratch s;
    EXPECT_TRUE(config::load().empty());
    s.write_config(R"(
[budgets]
daily = 5
monthly = 100.5
[budgets.tags.research]
daily = 1.0
[local]
ollama_base_url = "http://127.0.0.1:11434"
[pricing."acme/model-x"]
input = 1
output = 2.5
)");
    bj::object cfg = config::load();
    EXPECT_EQ(json::write(cfg.at("budgets")),
              R"({"daily": 5, "monthly": 100.5, "tags": {"research": {"daily": 1.0}}})");
    EXPECT_EQ(cfg.at("local").at("ollama_base_url"), "http://127.0.0.1:11434");
}

// A settled file's stamp is kept while nothing happens to it or to its
// name; whatever happens is seen by the next look.
TEST(Paths, KeptStampsFollowEveryChangeToTheFileOrItsName) {
    tt_test::Scratch s;
    auto file = [&](const char* name) { return s.root + "/" + name; };
    auto create = [](const std::string& path, const char* text) { std::ofstream(path) << text; };
    for (const char* name : {"edited", "replaced", "replacement", "moved", "removed"}) create(file(name), name);
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));  // until they are settled and may be kept
    auto stamp = [](const std::string& path, bool absent_kept = false) { return paths::stamp_once(path, absent_kept); };
    auto identity = [](const std::string& path) { return paths::identity_once(path); };
    for (const char* name : {"edited", "replaced", "removed"}) ASSERT_TRUE(stamp(file(name)));
    ASSERT_TRUE(identity(file("moved")));
    ASSERT_FALSE(stamp(file("absent"), true));
    auto replacement = stamp(file("replacement"));

    std::ofstream(file("edited"), std::ios::app) << " more";
    std::filesystem::rename(file("replacement"), file("replaced"));
    std::filesystem::rename(file("moved"), file("elsewhere"));
    std::filesystem::remove(file("removed"));
    create(file("absent"), "now here");

    EXPECT_EQ(stamp(file("edited"))->size, 11);
    EXPECT_EQ(stamp(file("replaced"))->ino, replacement->ino);
    EXPECT_FALSE(identity(file("moved")));
    EXPECT_FALSE(stamp(file("removed")));
    EXPECT_TRUE(stamp(file("absent"), true));
}

TEST(Config, RemovedIsEmpty) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 5\n");
    EXPECT_FALSE(config::load().empty());
    std::filesystem::remove(s.home + "/.tokentally.toml");
    EXPECT_TRUE(config::load().empty());
}

TEST(Config, SyntaxErrorNamesFileLineAndColumn) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = = 3\n");
    try {
        config::load();
        FAIL() << "expected a parse error";
    } catch (const std::runtime_error& e) {
        std::string msg = e.what();
        EXPECT_NE(msg.find(s.home + "/.tokentally.toml:2:"), std::string::npos) << msg;
    }
}

TEST(Catalog, NormalisesProviderSpellings) {
    EXPECT_EQ(catalog::normalize_model_id("gpt-4o-2024-08-06"), "openai/gpt-4o");
    EXPECT_EQ(catalog::normalize_model_id("gpt-4o-mini"), "openai/gpt-4o-mini");
    EXPECT_EQ(catalog::normalize_model_id("claude-3-5-sonnet-20241022"), "anthropic/claude-3.5-sonnet");
    EXPECT_EQ(catalog::normalize_model_id("claude-3-haiku-20240307"), "anthropic/claude-3-haiku");
    EXPECT_EQ(catalog::normalize_model_id("claude-3-5-sonnet"), "anthropic/claude-3.5-sonnet");
    EXPECT_EQ(catalog::normalize_model_id("claude-sonnet-4-20250514"), "anthropic/claude-sonnet-4");
    EXPECT_EQ(catalog::normalize_model_id("claude-sonnet-4-5"), "anthropic/claude-sonnet-4.5");
    EXPECT_EQ(catalog::normalize_model_id("models/gemini-1.5-pro-002"), "google/gemini-1.5-pro");
    EXPECT_EQ(catalog::normalize_model_id("mistral-large-2411"), "mistral/mistral-large");
    EXPECT_EQ(catalog::normalize_model_id("x-ai/grok-3"), "xai/grok-3");
    // Canonical and unknown ids come back as they are.
    for (const auto& id : catalog::known_models()) EXPECT_EQ(catalog::normalize_model_id(id), id);
    EXPECT_EQ(catalog::normalize_model_id("ollama/llama3"), "ollama/llama3");
    EXPECT_EQ(catalog::normalize_model_id("my-own-model"), "my-own-model");
}

TEST(Catalog, PricesEveryAdvisorModelAndDefaultsUnknownToZero) {
    tt_test::Scratch s;
    for (const char* id : {"anthropic/claude-opus-4", "anthropic/claude-sonnet-4", "anthropic/claude-3.5-sonnet",
                           "anthropic/claude-3-haiku", "openai/o3", "openai/gpt-4o", "openai/gpt-4o-mini",
                           "google/gemini-2.5-pro", "google/gemini-2.0-flash", "xai/grok-3", "cohere/command-r-plus",
                           "mistral/mistral-large", "mistral/mistral-small", "deepseek/deepseek-chat"}) {
        bj::object p = catalog::get_model_price(id);
        EXPECT_GT(json::as_number(p.at("input"), "input"), 0) << id;
        EXPECT_GT(json::as_number(p.at("output"), "output"), 0) << id;
    }
    EXPECT_EQ(json::write(catalog::get_model_price("gpt-4o")), R"({"input": 2.5, "output": 10})");
    EXPECT_EQ(json::write(catalog::get_model_price("nobody/nothing")), R"({"input": 0, "output": 0})");
}

TEST(Catalog, ConfiguredPricesWin) {
    tt_test::Scratch s;
    s.write_config(
        "[pricing.\"acme/model-x\"]\ninput = 1\noutput = 2.5\n[pricing.\"openai/gpt-4o\"]\ninput = 3.0\noutput = "
        "12.0\n");
    EXPECT_EQ(json::write(catalog::get_model_price("acme/model-x")), R"({"input": 1, "output": 2.5})");
    EXPECT_EQ(json::write(catalog::get_model_price("gpt-4o-2024-08-06")), R"({"input": 3.0, "output": 12.0})");
    // A broken configuration leaves the built-in prices in force.
    s.write_config("[pricing\n");
    EXPECT_EQ(json::write(catalog::get_model_price("gpt-4o")), R"({"input": 2.5, "output": 10})");
}

// acme-chat-2 (openai) only in the imported list; acme-dual at two
// providers; a dated snapshot whose name the catalog already places.
const std::string IMPORTED_BARE = R"({
  "acme-chat-2": {"input_cost_per_token": 1e-06, "output_cost_per_token": 2e-06, "litellm_provider": "openai",
                  "mode": "chat"},
  "acme-dual": {"input_cost_per_token": 3e-06, "output_cost_per_token": 3e-06, "litellm_provider": "openai"},
  "mistral/acme-dual": {"input_cost_per_token": 5e-06, "output_cost_per_token": 5e-06, "litellm_provider": "mistral"},
  "gpt-4o-2024-08-06": {"input_cost_per_token": 2.5e-06, "output_cost_per_token": 1e-05, "litellm_provider": "azure"}
})";

TEST(Catalog, ImportedBareNamesArePlacedByTheirProviderAndFoundByProviderTargetOrAlone) {
    tt_test::Scratch s;
    EXPECT_EQ(catalog::import_prices(IMPORTED_BARE, "list"), 4u);
    EXPECT_EQ(json::write(catalog::get_model_price("openai/acme-chat-2")), R"({"input": 1, "output": 2})");
    EXPECT_EQ(json::write(catalog::get_model_price("acme-chat-2")), R"({"input": 1, "output": 2})")
        << "one provider has the name";
    EXPECT_EQ(catalog::placed_provider("acme-chat-2"), "openai");
    EXPECT_EQ(json::write(catalog::get_model_price("openai/gpt-4o")), R"({"input": 2.5, "output": 10})")
        << "a name the catalog places stays where it places it";
    // Two providers have acme-dual: alone it is unpriced, the target decides.
    EXPECT_EQ(json::write(catalog::get_model_price("acme-dual")), R"({"input": 0, "output": 0})");
    EXPECT_FALSE(catalog::find_price("acme-dual"));
    EXPECT_EQ(catalog::priced_id("acme-dual", "https://api.openai.com/v1/chat/completions"), "openai/acme-dual");
    EXPECT_EQ(catalog::priced_id("acme-dual", "https://api.mistral.ai"), "mistral/acme-dual");
    EXPECT_EQ(catalog::priced_id("acme-dual", "http://127.0.0.1:9"), "acme-dual");
    // Ids that price themselves come back as named.
    EXPECT_EQ(catalog::priced_id("gpt-4o", "https://api.openai.com/v1/chat/completions"), "gpt-4o");
    EXPECT_EQ(catalog::priced_id("gpt-4o", "https://api.anthropic.com"), "gpt-4o");
    EXPECT_EQ(catalog::priced_id("mistral/acme-dual", "https://api.openai.com"), "mistral/acme-dual");
    // A configured price under a provider counts as that provider's list.
    s.write_config("[pricing.\"anthropic/acme-chat-2\"]\ninput = 9\noutput = 9\n");
    EXPECT_EQ(json::write(catalog::get_model_price("acme-chat-2")), R"({"input": 0, "output": 0})");
}

TEST(Catalog, ConfiguredAndBuiltInTiers) {
    tt_test::Scratch s;
    auto pro = catalog::find_price("gemini-2.5-pro");
    ASSERT_TRUE(pro);
    ASSERT_EQ(pro->long_context.size(), 1u);
    EXPECT_EQ(pro->long_context[0].above, 200'000);
    EXPECT_EQ(pro->long_context[0].rates.input, 2.5);
    EXPECT_EQ(catalog::find_price("gpt-5.4-2026-03-05")->long_context[0].rates.output, 22.5);
    EXPECT_EQ(catalog::find_price("gpt-5.5")->priority->input, 12.5);
    EXPECT_EQ(catalog::find_price("text-embedding-3-small")->input, 0.02);
    s.write_config(R"([pricing."google/gemini-2.5-pro"]
input = 1.0
output = 8.0
long_context = [{ above = 100000, input = 2.0, output = 12.0, cache_read = 0.2 }]
flex = { input = 0.4 }
)");
    auto configured = catalog::find_price("google/gemini-2.5-pro");
    EXPECT_EQ(configured->source, "configuration");
    EXPECT_EQ(configured->long_context[0].above, 100'000);
    EXPECT_EQ(configured->long_context[0].rates.cache_read, 0.2);
    EXPECT_EQ(configured->flex->input, 0.4);
    EXPECT_EQ(configured->flex->output, 4.0);
    // An entry with tiers only amends the listed price rather than zeroing it.
    s.write_config("[pricing.\"google/gemini-2.5-pro\"]\nlong_context = [{ above = 100000, input = 2.0 }]\n");
    EXPECT_EQ(json::write(catalog::get_model_price("gemini-2.5-pro")), R"({"input": 1.25, "output": 10})");
    auto amended = catalog::find_price("gemini-2.5-pro");
    EXPECT_EQ(amended->cache_read, 0.125);
    EXPECT_EQ(amended->long_context[0].above, 100'000);
    EXPECT_EQ(amended->long_context[0].rates.output, 10) << "the tier's output left out is the standard one";
}

// A server's console lines are gathered and written a few at a time: none
// may be lost or reordered, and a warning must not wait behind the info
// lines gathered before it.
TEST(Logging, GatheredConsoleLinesKeepTheirOrderAndWarningsGoOutAtOnce) {
    tt_test::Scratch s;
    std::string path = s.root + "/stderr.txt";
    int saved = dup(STDERR_FILENO);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(dup2(file, STDERR_FILENO), 0);
    tokentally::logging::gather_console_lines();
    auto log = tokentally::logging::get("tokentally.test");
    for (int i = 0; i < 300; ++i) log->info("line {}", i);
    log->warn("the warning");
    std::string written = tt_test::read_file(path);  // no wait: the warning took the rest along
    log->info("after the warning");
    bool after =
        tt_test::eventually([&] { return tt_test::read_file(path).find("after the warning") != std::string::npos; });
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);

    size_t at = 0;
    for (int i = 0; i < 300; ++i) {
        at = written.find("tokentally.test: line " + std::to_string(i) + "\n", at);
        ASSERT_NE(at, std::string::npos) << "line " << i << " missing or out of order";
    }
    EXPECT_NE(written.find("the warning", at), std::string::npos);
    EXPECT_TRUE(after) << "a gathered line was never written";
}
