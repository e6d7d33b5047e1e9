// Prices that depend on the call, through the running proxy with nothing
// else configured: long prompts at their tier, the service tier an answer
// says it was served in (kept beside the row), embeddings, and imported
// prices of names without a provider.
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/stream_client.hpp"
#include "tokentally/accounting/catalog.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace {

namespace bj = boost::json;
namespace http = tokentally::http;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

double m(std::int64_t tokens, double price) { return (static_cast<double>(tokens) / 1e6) * price; }

std::string bin() { return std::getenv("TOKENTALLY_BIN"); }

// A mock provider that answers each chat call with the usage and service
// tier its request names: "user" holds the prompt tokens (10 when absent),
// "service_tier" the tier it was served in.
MockReply as_asked(const Received& r) {
    bj::object body = bj::parse(r.body).as_object();
    std::string prompt = body.contains("user") ? std::string(body.at("user").as_string()) : "10";
    MockReply reply;
    if (r.target == "/v1/embeddings") {
        reply.body = R"({"object": "list", "data": [{"object": "embedding", "index": 0, "embedding": [0.1]}],
            "model": "text-embedding-3-small", "usage": {"prompt_tokens": )" +
                     prompt + R"(, "total_tokens": )" + prompt + "}}";
        return reply;
    }
    bj::object answer =
        bj::parse(tt_test::chat_answer(R"({"prompt_tokens": )" + prompt + R"(, "completion_tokens": 1000})"))
            .as_object();
    if (const bj::value* tier = body.if_contains("service_tier")) answer["service_tier"] = *tier;
    reply.body = bj::serialize(answer);
    return reply;
}

class Pricing : public ::testing::Test {
protected:
    tt_test::Scratch s;
    tt_test::ProxyServer app;
    MockServer upstream{as_asked};

    // The cost recorded for one call of `model` with `members` in its body.
    bj::value priced(const std::string& model, const std::string& members = "",
                     const std::string& path = "/v1/chat/completions") {
        tt_test::call("POST", app.url(path), {{"X-Tokentally-Target", upstream.url()}, {"X-Tokentally-Cache", "off"}},
                      R"({"model": ")" + model + R"(", "messages": [])" + members + "}");
        return tt_test::call_rows(s).back().at("cost_usd");
    }
    double cost(const std::string& model, const std::string& members = "") {
        return priced(model, members).as_double();
    }
};

TEST_F(Pricing, LongPromptsPayTheirTierAndModelsWithoutTiersPayAsBefore) {
    EXPECT_EQ(cost("gemini-2.5-pro", R"(, "user": "250000")"), m(250'000, 2.5) + m(1000, 15));
    EXPECT_EQ(cost("google/gemini-2.5-pro", R"(, "user": "150000")"), m(150'000, 1.25) + m(1000, 10));
    EXPECT_EQ(cost("gpt-5.4", R"(, "user": "300000")"), m(300'000, 5) + m(1000, 22.5));
    EXPECT_EQ(cost("gpt-4o", R"(, "user": "300000")"), m(300'000, 2.5) + m(1000, 10));

    // An imported entry with the community file's _above_200k_tokens keys.
    tokentally::catalog::import_prices(R"({"gemini/gemini-tiered": {"input_cost_per_token": 1e-06,
        "output_cost_per_token": 4e-06, "input_cost_per_token_above_200k_tokens": 2e-06,
        "output_cost_per_token_above_200k_tokens": 6e-06, "litellm_provider": "gemini", "mode": "chat"}})",
                                       "list");
    EXPECT_EQ(cost("gemini-tiered", R"(, "user": "250000")"), m(250'000, 2) + m(1000, 6));
    EXPECT_EQ(cost("gemini-tiered", R"(, "user": "150000")"), m(150'000, 1) + m(1000, 4));
}

TEST_F(Pricing, TheServiceTierAnAnswerNamesPricesItAndIsKeptBesideTheRow) {
    EXPECT_EQ(cost("gpt-4o", R"(, "service_tier": "flex")"), m(10, 1.25) + m(1000, 5)) << "half the price";
    EXPECT_EQ(cost("gpt-5.5", R"(, "service_tier": "priority")"), m(10, 12.5) + m(1000, 75)) << "its listed price";
    EXPECT_EQ(cost("gpt-4o", R"(, "service_tier": "priority")"), m(10, 2.5) + m(1000, 10)) << "none listed";
    EXPECT_EQ(cost("gpt-4o", R"(, "service_tier": "default")"), m(10, 2.5) + m(1000, 10));
    s.write_config("[pricing.\"openai/gpt-test\"]\ninput = 2.0\noutput = 8.0\nflex = { input = 0.5, output = 2.0 }\n");
    EXPECT_EQ(cost("gpt-test", R"(, "service_tier": "flex")"), m(10, 0.5) + m(1000, 2)) << "its listed flex price";

    // A stream read with stream_usage on is priced and kept the same way.
    s.write_config("[accounting]\nstream_usage = \"read\"\n");
    MockServer streams([](const Received&) {
        MockReply r;
        r.headers = {{"Content-Type", "text/event-stream"}};
        r.chunks = {"data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"hi\"}}],\"service_tier\":\"flex\"}\n\n",
                    "data: {\"choices\":[],\"service_tier\":\"flex\",\"usage\":{\"prompt_tokens\":10,"
                    "\"completion_tokens\":1000}}\n\ndata: [DONE]\n\n"};
        return r;
    });
    tt_test::stream_call("POST", app.url("/v1/chat/completions"), {{"X-Tokentally-Target", streams.url()}},
                         R"({"model": "gpt-4o", "stream": true, "messages": []})");
    ASSERT_TRUE(tt_test::eventually([&] { return tt_test::call_rows(s).size() == 6; }));
    EXPECT_EQ(tt_test::call_rows(s).back().at("cost_usd").as_double(), m(10, 1.25) + m(1000, 5));

    auto kept = tt_test::query(s.db_path(), "SELECT call_id, service_tier FROM call_service_tiers ORDER BY call_id");
    ASSERT_EQ(kept.size(), 5u) << "every call not served the standard way, and no other";
    EXPECT_EQ(kept[0].at("service_tier"), "flex");
    EXPECT_EQ(kept[1].at("service_tier"), "priority");
    auto recent = bj::parse(tt_test::run(bin() + " recent --json").out).as_array();
    ASSERT_EQ(recent.size(), 6u);
    EXPECT_EQ(recent[0].at("service_tier"), "flex") << "the streamed call";
    EXPECT_FALSE(recent[2].as_object().contains("service_tier")) << "the default call shows none";
    EXPECT_EQ(recent[5].at("service_tier"), "flex");
}

TEST_F(Pricing, EmbeddingsArePricedAtTheInputPrice) {
    EXPECT_DOUBLE_EQ(
        priced("text-embedding-3-small", R"(, "input": "hello", "user": "1000")", "/v1/embeddings").as_double(),
        0.00002);
    EXPECT_EQ(tt_test::call_rows(s).back().at("completion_tokens"), 0) << "an embedding has no output";
    EXPECT_EQ(priced("text-embedding-3-large", R"(, "user": "1000")", "/v1/embeddings").as_double(), m(1000, 0.13));
}

TEST_F(Pricing, AnImportedNameWithoutProviderPricesCallsNamedEitherWay) {
    std::string list = s.root + "/community.json";
    std::ofstream(list) << R"({"acme-chat-2": {"input_cost_per_token": 1e-06, "output_cost_per_token": 2e-06,
        "litellm_provider": "openai", "mode": "chat"},
        "text-embedding-acme": {"input_cost_per_token": 5e-08, "litellm_provider": "openai", "mode": "embedding"}})";
    auto imported = tt_test::run(bin() + " prices import " + list);
    ASSERT_EQ(imported.status, 0) << imported.out;
    EXPECT_NE(imported.out.find("Imported the prices of 2 models"), std::string::npos) << imported.out;

    EXPECT_EQ(cost("openai/acme-chat-2"), m(10, 1) + m(1000, 2));
    EXPECT_EQ(cost("acme-chat-2"), m(10, 1) + m(1000, 2));
    EXPECT_EQ(priced("text-embedding-acme", R"(, "user": "1000")", "/v1/embeddings").as_double(), m(1000, 0.05));
    EXPECT_EQ(bj::parse(tt_test::run(bin() + " prices --missing --json").out), bj::array{});
}

}  // namespace
