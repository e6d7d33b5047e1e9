// Providers that need more than the path: query strings kept for Azure
// OpenAI (and the Ollama router) with keep_query, and Gemini's native API
// with gemini_native (the model and the stream from the path, usage from
// usageMetadata, a cache key on its conversation); with both switches off,
// what the proxy did before.
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/recorded_streams.hpp"
#include "support/scratch.hpp"
#include "support/stream_client.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/gemini.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/proxy/upstream.hpp"

#include <gtest/gtest.h>

namespace {

namespace bj = boost::json;
namespace gemini = tokentally::gemini;
namespace http = tokentally::http;
namespace proxy = tokentally::proxy;
namespace upstream = tokentally::upstream;
using namespace std::chrono_literals;
using namespace tt_test::recorded;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

const std::string NATIVE = "[proxy]\ngemini_native = true\n";
const std::string KEEP = "[proxy]\nkeep_query = true\n";
const std::string NATIVE_READ = NATIVE + "[accounting]\nstream_usage = \"read\"\n";

const std::string GENERATE = "/v1beta/models/gemini-3.5-flash:generateContent";
const std::string STREAM = "/v1beta/models/gemini-3.5-flash:streamGenerateContent";
const std::string CONTENTS_BODY = R"({"contents": [{"role": "user", "parts": [{"text": "hi"}]}]})";

// A native answer as Gemini writes it: the usage of the recorded streams.
const std::string GEMINI_ANSWER = R"({"candidates": [{"content": {"parts": [{"text": "Hello"}], "role": "model"},
    "finishReason": "STOP", "index": 0}], "usageMetadata": {"promptTokenCount": 1200, "candidatesTokenCount": 17,
    "totalTokenCount": 1265, "cachedContentTokenCount": 1024, "thoughtsTokenCount": 48},
    "modelVersion": "gemini-3.5-flash"})";

double m(std::int64_t tokens, double price) { return (static_cast<double>(tokens) / 1e6) * price; }

// Gemini 3.5 Flash at its built-in prices: 1.50 in, 9.00 out, 0.15 cached.
const double FLASH_COST = m(1200, 1.5) + m(65, 9.0);
const double FLASH_CACHE_PRICED = m(1200 - 1024, 1.5) + m(1024, 0.15) + m(65, 9.0);

MockReply json_reply(std::string body) {
    MockReply r;
    r.body = std::move(body);
    return r;
}

MockReply pieces(const std::string& stream, std::size_t size, std::string content_type) {
    MockReply r;
    r.headers = {{"Content-Type", std::move(content_type)}};
    for (std::size_t at = 0; at < stream.size(); at += size) r.chunks.push_back(stream.substr(at, size));
    return r;
}

class Providers : public ::testing::Test {
protected:
    tt_test::Scratch s;
    tt_test::LogCapture logs;
    tt_test::ProxyServer app;

    http::Headers to(const MockServer& provider, http::Headers extra = {}) {
        extra.emplace_back("X-Tokentally-Target", provider.url());
        return extra;
    }
    http::ClientResponse post(const std::string& path, const std::string& body, const http::Headers& headers) {
        return tt_test::call("POST", app.url(path), headers, body);
    }
    bj::array rows() { return tt_test::call_rows(s); }
    bj::object last_row() {
        auto all = rows();
        return all.empty() ? bj::object{} : all.back().as_object();
    }
};

// --- the request path and the switches ----------------------------------------

TEST(NativePaths, ModelMethodAndStreamFormatComeFromThePathAndQuery) {
    auto call = gemini::native_call("v1beta/models/gemini-3.5-flash:streamGenerateContent", "key=k&alt=sse");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->model, "gemini-3.5-flash");
    EXPECT_EQ(call->method, "streamGenerateContent");
    EXPECT_TRUE(call->sse);
    EXPECT_TRUE(gemini::streams(*call));
    EXPECT_EQ(gemini::model_id(*call), "google/gemini-3.5-flash");
    EXPECT_FALSE(gemini::native_call("v1beta/models/gemini-3.5-flash:streamGenerateContent", "salt=sse")->sse);

    auto vertex =
        gemini::native_call("v1/projects/p/locations/us/publishers/google/models/gemini-2.5-pro:generateContent", "");
    ASSERT_TRUE(vertex);
    EXPECT_EQ(vertex->model, "gemini-2.5-pro");
    EXPECT_FALSE(gemini::streams(*vertex));
    for (const char* other :
         {"v1/projects/p/locations/us/publishers/anthropic/models/claude-x:streamRawPredict",
          "v1beta/models/gemini-3.5-flash", "v1beta/models/:generateContent", "v1beta/tunedModels/mine:generateContent",
          "v1/chat/completions", "v1beta/models/gemini-3.5-flash:generate/Content"})
        EXPECT_FALSE(gemini::native_call(other, "")) << other;
    EXPECT_EQ(gemini::with_model("v1beta/models/gemini-2.5-pro:generateContent", "gemini-2.5-flash"),
              "v1beta/models/gemini-2.5-flash:generateContent");
}

TEST(NativePaths, TheCacheIdentityIsTheConversationAndWhatShapesTheAnswerUnderEitherSpelling) {
    auto id = [](const char* body) { return gemini::cache_identity(bj::parse(body).as_object()); };
    EXPECT_EQ(id(R"({"contents": [{"parts": [{"text": "hi"}]}], "generationConfig": {"temperature": 0.2}})"),
              id(R"({"contents": [{"parts": [{"text": "hi"}]}], "generation_config": {"temperature": 0.9}})"))
        << "sampling settings share the entry";
    EXPECT_EQ(id(R"({"contents": [], "systemInstruction": {"parts": [{"text": "be brief"}]}})"),
              id(R"({"contents": [], "system_instruction": {"parts": [{"text": "be brief"}]}})"));
    EXPECT_NE(id(R"({"contents": [], "system_instruction": {"parts": [{"text": "be brief"}]}})"),
              id(R"({"contents": [], "system_instruction": {"parts": [{"text": "be long"}]}})"));
    EXPECT_NE(id(R"({"contents": [], "generationConfig": {"responseMimeType": "application/json"}})"),
              id(R"({"contents": []})"));
    EXPECT_NE(id(R"({"contents": [], "cached_content": "cachedContents/a"})"),
              id(R"({"contents": [], "cached_content": "cachedContents/b"})"));
}

TEST(UpstreamSwitches, OffUnlessConfiguredAndTheQueryGoesAsItCame) {
    auto sw = upstream::switches(bj::object{});
    EXPECT_FALSE(sw.keep_query);
    EXPECT_FALSE(sw.gemini_native);
    sw = upstream::switches(bj::parse(R"({"proxy": {"keep_query": true, "gemini_native": 1}})").as_object());
    EXPECT_TRUE(sw.keep_query);
    EXPECT_TRUE(sw.gemini_native);
    EXPECT_EQ(upstream::url("https://h/v1//", "chat/completions"), "https://h/v1/chat/completions");
    EXPECT_EQ(upstream::url("https://h", "x", "a=%2F&b=c+d"), "https://h/x?a=%2F&b=c+d");
    // What logs and errors show of a URL: neither user information nor query.
    EXPECT_EQ(http::redact_url("https://u:p@h/x?key=secret|{}"), "https://h/x?...");
}

// --- keep_query -----------------------------------------------------------------

TEST_F(Providers, TheQueryStringTravelsByteForByteOnlyWithKeepQuery) {
    MockServer azure([](const Received&) { return json_reply(tt_test::chat_answer()); });
    const std::string path = "/openai/deployments/gpt-4o/chat/completions";
    const std::string query = "api-version=2024-10-21&x=%2Fa%20b+c&y=|{}";
    const std::string body = R"({"model": "gpt-4o", "messages": [{"role": "user", "content": "hi"}]})";

    EXPECT_EQ(post(path + "?" + query, body, to(azure)).status, 200);
    s.write_config(KEEP);
    EXPECT_EQ(post(path + "?" + query, body, to(azure, {{"X-Tokentally-Cache", "off"}})).status, 200);

    ASSERT_EQ(azure.count(), 2u);
    EXPECT_EQ(azure.received()[0].target, path) << "dropped with the switch off";
    EXPECT_EQ(azure.received()[1].target, path + "?" + query);
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(Providers, AnAzureStreamWithAKeptQueryIsStillAskedForItsUsage) {
    s.write_config(KEEP + "[accounting]\nstream_usage = \"request\"\n");
    MockServer azure([](const Received&) { return pieces(CHAT_STREAM, 64, "text/event-stream"); });
    const std::string path = "/openai/deployments/gpt-4o/chat/completions?api-version=2024-10-21";
    const std::string body = R"({"model": "gpt-4o", "stream": true, "messages": [{"role": "user", "content": "hi"}]})";

    auto answer = tt_test::stream_call("POST", app.url(path), to(azure), body);

    ASSERT_TRUE(answer.complete) << answer.error;
    EXPECT_EQ(answer.body(), unasked(CHAT_STREAM)) << "the stream the client asked for";
    ASSERT_EQ(azure.count(), 1u);
    EXPECT_EQ(azure.received()[0].target, path);
    EXPECT_NE(azure.received()[0].body.find(R"("stream_options": {"include_usage": true})"), std::string::npos)
        << azure.received()[0].body;
    auto row = last_row();
    EXPECT_EQ(row.at("prompt_tokens"), 9657);
    EXPECT_DOUBLE_EQ(row.at("cost_usd").as_double(), m(9657, 2.5) + m(78, 10.0));
}

TEST_F(Providers, TheOllamaRouterKeepsItsQueryOnlyWithKeepQuery) {
    MockServer ollama([](const Received&) { return json_reply(R"({"done": true, "eval_count": 3})"); });
    const std::string local = "[local]\nollama_base_url = \"" + ollama.url() + "\"\n";
    const std::string body = R"({"model": "llama3", "prompt": "hi", "stream": false})";
    s.write_config(local);
    EXPECT_EQ(post("/ollama/api/generate?keep_alive=5m&x=%20", body, {}).status, 200);
    s.write_config(local + KEEP);
    EXPECT_EQ(post("/ollama/api/generate?keep_alive=5m&x=%20", body, {}).status, 200);

    ASSERT_EQ(ollama.count(), 2u);
    EXPECT_EQ(ollama.received()[0].target, "/api/generate");
    EXPECT_EQ(ollama.received()[1].target, "/api/generate?keep_alive=5m&x=%20");
}

TEST_F(Providers, AKeyInTheQueryNeverReachesTheLog) {
    const std::string secret = "AIzaSy-secret-key-123";
    s.write_config(NATIVE + "keep_query = true\n[accounting]\nstream_usage = \"read\"\n");
    tokentally::logging::set_level(spdlog::level::trace);
    MockServer provider([&](const Received& r) {
        if (r.target.find("streamGenerateContent") != std::string::npos)
            return pieces(GEMINI_SSE_STREAM, 40, "text/event-stream");
        return json_reply(GEMINI_ANSWER);
    });
    const http::Headers dead{{"X-Tokentally-Target", "http://127.0.0.1:1"}, {"X-Tokentally-Cache", "off"}};

    EXPECT_EQ(post(GENERATE + "?key=" + secret, CONTENTS_BODY, to(provider)).status, 200);
    EXPECT_EQ(post(GENERATE + "?key=" + secret, CONTENTS_BODY, to(provider)).status, 200) << "an exact hit";
    auto streamed =
        tt_test::stream_call("POST", app.url(STREAM + "?alt=sse&key=" + secret), to(provider), CONTENTS_BODY);
    EXPECT_TRUE(streamed.complete) << streamed.error;
    EXPECT_EQ(post(GENERATE + "?key=" + secret, CONTENTS_BODY, dead).status, 500);
    auto cut = tt_test::stream_call("POST", app.url(STREAM + "?alt=sse&key=" + secret), dead, CONTENTS_BODY);
    EXPECT_EQ(post("/v1/chat/completions?key=" + secret, "{\"model\": \"gpt-4o\"}", dead).status, 500);
    EXPECT_EQ(post("/v1/chat/completions?key=" + secret, "{", {{"X-Tokentally-Target", "bogus://x"}}).status, 500);
    tokentally::logging::set_level(spdlog::level::info);

    ASSERT_EQ(provider.count(), 2u);
    EXPECT_NE(provider.received()[0].target.find("key=" + secret), std::string::npos) << "the provider gets the key";
    EXPECT_TRUE(logs.contains("Connection refused")) << logs.text();
    EXPECT_TRUE(logs.contains("?...")) << "the errors name the URL, query left out: " << logs.text();
    EXPECT_EQ(logs.text().find(secret), std::string::npos) << logs.text();
}

// --- gemini_native --------------------------------------------------------------

TEST_F(Providers, WithGeminiNativeOffNativeCallsBehaveAsBefore) {
    MockServer provider([](const Received& r) {
        if (r.target.find("streamGenerateContent") != std::string::npos)
            return pieces(GEMINI_SSE_STREAM, 100, "text/event-stream");
        return json_reply(GEMINI_ANSWER);
    });
    s.write_config("[accounting]\nstream_usage = \"read\"\n");

    auto standard = post(GENERATE + "?key=k", CONTENTS_BODY, to(provider));
    auto stream = post(STREAM + "?alt=sse", CONTENTS_BODY, to(provider));

    EXPECT_EQ(bj::parse(standard.body), bj::parse(GEMINI_ANSWER));
    EXPECT_EQ(stream.status, 200);
    EXPECT_EQ(stream.body, "{}") << "the event stream was waited for as one JSON answer";
    ASSERT_EQ(provider.count(), 2u);
    EXPECT_EQ(provider.received()[0].target, GENERATE) << "no query";
    EXPECT_EQ(provider.received()[1].target, STREAM);
    for (const auto& row : rows()) {
        EXPECT_TRUE(row.at("model_id").is_null());
        EXPECT_TRUE(row.at("prompt_tokens").is_null());
        EXPECT_TRUE(row.at("cost_usd").is_null());
        EXPECT_EQ(row.at("streamed"), 0);
    }
    EXPECT_TRUE(logs.contains("-> unknown  (no pricing data)"));
}

TEST_F(Providers, ANativeAnswerIsRecordedUnderItsModelWithTheUsageItsMetadataGives) {
    MockServer provider([](const Received&) { return json_reply(GEMINI_ANSWER); });
    s.write_config(NATIVE);
    auto plain = post(GENERATE, CONTENTS_BODY, to(provider, {{"X-Tokentally-Cache", "off"}}));
    s.write_config(NATIVE + "[accounting]\ncache_pricing = true\n");
    auto cached = post(GENERATE, CONTENTS_BODY, to(provider, {{"X-Tokentally-Cache", "off"}}));

    EXPECT_EQ(bj::parse(plain.body), bj::parse(GEMINI_ANSWER));
    auto calls = rows();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& row : calls) {
        EXPECT_EQ(row.at("model_id"), "google/gemini-3.5-flash");
        EXPECT_EQ(row.at("prompt_tokens"), 1200);
        EXPECT_EQ(row.at("completion_tokens"), 17 + 48) << "thinking is billed as output";
        EXPECT_EQ(row.at("streamed"), 0);
    }
    EXPECT_DOUBLE_EQ(calls[0].at("cost_usd").as_double(), FLASH_COST);
    EXPECT_DOUBLE_EQ(calls[1].at("cost_usd").as_double(), FLASH_CACHE_PRICED);
    EXPECT_TRUE(logs.contains("-> google/gemini-3.5-flash  input=$1.5/M  output=$9/M")) << logs.text();
}

TEST_F(Providers, ANativeStreamIsRelayedAsItComesInEitherFormAndRecordedWithItsUsage) {
    struct Case {
        std::string query;
        const std::string* stream;
        std::string content_type;
    };
    const std::vector<Case> cases = {{"?alt=sse", &GEMINI_SSE_STREAM, "text/event-stream"},
                                     {"", &GEMINI_ARRAY_STREAM, "application/json"}};
    s.write_config(NATIVE_READ);
    for (const auto& c : cases) {
        // Each piece goes out only once the client holds the ones before it:
        // a proxy that waited for the whole answer would stall here.
        const MockReply reply = pieces(*c.stream, 97, c.content_type);
        std::atomic<std::size_t> received{0};
        std::atomic<int> held_back{0};
        MockServer provider([&](const Received&) {
            MockReply r = reply;
            r.before_chunk = [&](std::size_t i) {
                if (!tt_test::eventually([&] { return received.load() >= i * 97; })) ++held_back;
            };
            return r;
        });
        // The body asks for no stream: the path does.
        auto answer = tt_test::stream_call("POST", app.url(STREAM + c.query), to(provider), CONTENTS_BODY,
                                           tt_test::READ_ALL, &received);

        ASSERT_TRUE(answer.complete) << answer.error;
        EXPECT_EQ(answer.body(), *c.stream);
        EXPECT_EQ(held_back.load(), 0) << c.content_type;
        ASSERT_NE(answer.header("content-type"), nullptr);
        EXPECT_EQ(*answer.header("content-type"), c.content_type);
        EXPECT_EQ(provider.received().at(0).target, STREAM + c.query);
        auto row = last_row();
        EXPECT_EQ(row.at("model_id"), "google/gemini-3.5-flash");
        EXPECT_EQ(row.at("streamed"), 1);
        EXPECT_EQ(row.at("status"), 200);
        EXPECT_EQ(row.at("prompt_tokens"), 1200);
        EXPECT_EQ(row.at("completion_tokens"), 65);
        EXPECT_DOUBLE_EQ(row.at("cost_usd").as_double(), FLASH_COST);
    }
    // With stream_usage off the stream is relayed the same and recorded without usage.
    s.write_config(NATIVE);
    MockServer provider([&](const Received&) { return pieces(GEMINI_SSE_STREAM, 97, "text/event-stream"); });
    auto answer = tt_test::stream_call("POST", app.url(STREAM + "?alt=sse"), to(provider), CONTENTS_BODY);
    EXPECT_EQ(answer.body(), GEMINI_SSE_STREAM);
    auto row = last_row();
    EXPECT_EQ(row.at("streamed"), 1);
    EXPECT_TRUE(row.at("prompt_tokens").is_null());
    EXPECT_TRUE(row.at("cost_usd").is_null());
    EXPECT_EQ(provider.count(), 1u) << "streams are never cached";
}

TEST_F(Providers, NativeCallsWithOtherConversationsNeverShareACacheEntry) {
    std::atomic<int> n{0};
    MockServer provider([&](const Received& r) {
        bj::object answer = bj::parse(GEMINI_ANSWER).as_object();
        answer["responseId"] = "answer to " + r.target + " " + r.body + " #" + std::to_string(++n);
        return json_reply(bj::serialize(answer));
    });
    s.write_config(NATIVE);
    const std::string other = R"({"contents": [{"role": "user", "parts": [{"text": "bye"}]}]})";
    const std::string with_system =
        R"({"contents": [{"role": "user", "parts": [{"text": "hi"}]}], "system_instruction": {"parts": [{"text": "be brief"}]}})";
    const std::string count = "/v1beta/models/gemini-3.5-flash:countTokens";

    std::vector<std::string> answers;
    for (const auto& [path, body] : {std::pair{GENERATE, CONTENTS_BODY}, std::pair{GENERATE, other},
                                     std::pair{GENERATE, with_system}, std::pair{count, CONTENTS_BODY}})
        answers.push_back(post(path, body, to(provider)).body);
    EXPECT_EQ(provider.count(), 4u) << "none answered from another's entry";

    auto again = post(GENERATE, CONTENTS_BODY, to(provider));
    EXPECT_EQ(provider.count(), 4u);
    ASSERT_NE(http::find_header(again.headers, "X-Tokentally-Cache"), nullptr);
    EXPECT_EQ(*http::find_header(again.headers, "X-Tokentally-Cache"), "exact-hit");
    EXPECT_EQ(bj::parse(again.body), bj::parse(answers[0]));
    auto hit = last_row();
    EXPECT_EQ(hit.at("model_id"), "google/gemini-3.5-flash");
    EXPECT_EQ(hit.at("cost_usd").as_double(), 0.0);
    EXPECT_EQ(hit.at("prompt_tokens"), 1200) << "counted from the cached answer's usageMetadata";
    EXPECT_EQ(hit.at("completion_tokens"), 65);
}

TEST_F(Providers, ARoutingSwapOfANativeCallChangesThePathAndNotTheBody) {
    s.write_config(NATIVE);
    app.services->bindings.check_routing = [](const std::string&, const bj::object&, const std::string&) {
        return bj::object{{"action", "swap"}, {"suggested", "google/gemini-3.5-flash-lite"}, {"savings_pct", 80}};
    };
    MockServer provider([](const Received&) { return json_reply(GEMINI_ANSWER); });

    auto res = post("/v1beta/models/gemini-3.1-pro-preview:generateContent?key=k", CONTENTS_BODY, to(provider));

    ASSERT_NE(http::find_header(res.headers, "X-Tokentally-Routed"), nullptr);
    ASSERT_EQ(provider.count(), 1u);
    EXPECT_EQ(provider.received()[0].target, "/v1beta/models/gemini-3.5-flash-lite:generateContent?key=k");
    EXPECT_EQ(provider.received()[0].body, CONTENTS_BODY);
    EXPECT_EQ(last_row().at("model_id"), "google/gemini-3.5-flash-lite");
}

}  // namespace
