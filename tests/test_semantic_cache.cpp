// The semantic cache behind the proxy: a real server in front of a mock
// provider, with a mock embedding server whose vectors fix how similar two
// texts are.
#include "support/client.hpp"
#include "support/mock_embeddings.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/caches/cache.hpp"
#include "tokentally/caches/embeddings.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <optional>
#include <thread>

namespace bj = boost::json;
namespace cache = tokentally::cache;
namespace embeddings = tokentally::embeddings;
namespace http = tokentally::http;
namespace ledger = tokentally::ledger;
namespace proxy = tokentally::proxy;
using tt_test::MockReply;
using tt_test::Received;

namespace {

const std::string QUESTION = "What is the capital of France?";
const std::string PARAPHRASE = "Which city is the capital of France?";  // cosine 0.97 with QUESTION
const std::string NEAR_MISS = "What is the largest city of France?";    // cosine 0.90 with QUESTION
const std::string SAME_MEANING = "What's the capital of France?";       // cosine 1.0 with QUESTION

std::map<std::string, std::vector<float>> vectors() {
    return {{QUESTION, tt_test::axis(0)},
            {PARAPHRASE, tt_test::at_cosine(0, 1, 0.97)},
            {NEAR_MISS, tt_test::at_cosine(0, 2, 0.90)},
            {SAME_MEANING, tt_test::axis(0)}};
}

// An OpenAI-style chat body; `system`, `earlier` and `tools` left empty are left out.
std::string chat(const std::string& text, const std::string& model = "gpt-4o", const std::string& system = "Be brief.",
                 const std::string& earlier = "", const std::string& tools = "") {
    bj::array messages;
    if (!system.empty()) messages.push_back({{"role", "system"}, {"content", system}});
    if (!earlier.empty()) {
        messages.push_back({{"role", "user"}, {"content", earlier}});
        messages.push_back({{"role", "assistant"}, {"content", "Noted."}});
    }
    messages.push_back({{"role", "user"}, {"content", text}});
    bj::object body{{"model", model}, {"messages", messages}};
    if (!tools.empty()) body["tools"] = bj::array{{{"type", "function"}, {"function", {{"name", tools}}}}};
    return bj::serialize(body);
}

MockReply answer_with(const std::string& finish_reason, const std::string& message_extra = "") {
    MockReply r;
    r.body = fmt::format(
        R"({{"choices": [{{"index": 0, "message": {{"role": "assistant", "content": "Paris."{}}}, "finish_reason": "{}"}}], "usage": {{"prompt_tokens": 12, "completion_tokens": 3}}}})",
        message_extra, finish_reason);
    return r;
}

struct SemanticCache : ::testing::Test {
    tt_test::Scratch scratch;
    tt_test::LogCapture logs;
    std::function<MockReply(const Received&)> provider_script = [](const Received&) { return answer_with("stop"); };
    tt_test::MockServer provider{[this](const Received& r) { return provider_script(r); }};
    tt_test::MockServer embedder{tt_test::embedding_script(vectors())};
    std::optional<tt_test::RunningApp> app;

    std::string config(const std::string& api, const std::string& url, const std::string& extra = "") {
        return fmt::format(
            "[features]\nsemantic_cache = true\n\n[semantic_cache]\nembeddings_api = \"{}\"\n"
            "embeddings_url = \"{}\"\n{}",
            api, url, extra);
    }
    void start(const std::string& toml) {
        scratch.write_config(toml);
        app.emplace(proxy::make_app(tt_test::store()));
    }
    http::ClientResponse post(const std::string& body, const std::string& path = "/v1/chat/completions") {
        return tt_test::call("POST", app->url() + path, {{"X-Tokentally-Target", provider.url()}}, body);
    }
    static std::string cache_header(const http::ClientResponse& r) {
        const std::string* h = http::find_header(r.headers, "x-tokentally-cache");
        return h ? *h : "";
    }
    bj::array rows() { return tt_test::query(scratch.db_path(), "SELECT * FROM calls ORDER BY id"); }
    bj::array entries() { return tt_test::query(scratch.db_path(), "SELECT id, ts FROM semantic_cache"); }
};

}  // namespace

TEST_F(SemanticCache, ParaphraseAboveTheThresholdIsAHitAtZeroCostAndBelowItAMiss) {
    start(config("ollama", embedder.url()));
    EXPECT_EQ(cache_header(post(chat(QUESTION))), "");
    ASSERT_EQ(entries().size(), 1u);

    auto hit = post(chat(PARAPHRASE));
    EXPECT_EQ(hit.status, 200);
    EXPECT_EQ(cache_header(hit), "semantic-hit");
    EXPECT_EQ(bj::parse(hit.body).at("choices").at(0).at("message").at("content"), "Paris.");
    EXPECT_EQ(provider.count(), 1u);
    auto r = rows();
    ASSERT_EQ(r.size(), 2u);  // the embedding calls leave no row
    EXPECT_EQ(r[1].at("cost_usd"), 0.0);
    EXPECT_EQ(r[1].at("prompt_tokens"), 12);
    EXPECT_EQ(r[1].at("model_id"), "gpt-4o");
    EXPECT_TRUE(
        logs.contains("info tokentally.cache: semantic cache hit: entry 1 at similarity 0.9700 (threshold 0.95)"))
        << logs.text();
    EXPECT_TRUE(logs.contains(" 🧠 SEMANTIC HIT  gpt-4o  $0.000000"));

    EXPECT_EQ(cache_header(post(chat(NEAR_MISS))), "");
    EXPECT_EQ(provider.count(), 2u);
    EXPECT_TRUE(logs.contains("semantic cache miss: nearest entry 1 at similarity 0.9000, below the threshold 0.95"));

    // nomic-embed-text gets its task prefix on every text, stored or looked up.
    for (const auto& got : embedder.received()) {
        EXPECT_EQ(got.target, "/api/embed");
        EXPECT_THAT(std::string(bj::parse(got.body).at("input").as_string()), ::testing::StartsWith("search_query: "));
        EXPECT_EQ(bj::parse(got.body).at("model"), "nomic-embed-text");
    }
}

TEST_F(SemanticCache, OnlyTheLastUserMessageMayDifferWhateverTheSimilarity) {
    setenv("TT_TEST_EMBEDDINGS_KEY", "sk-embed-secret", 1);
    tt_test::MockServer openai(tt_test::embedding_script(vectors(), ""));
    start(config("openai", openai.url(),
                 "embeddings_model = \"text-embedding-3-small\"\nembeddings_key_env = \"TT_TEST_EMBEDDINGS_KEY\"\n"));
    post(chat(QUESTION, "gpt-4o", "Be brief.", "I am planning a trip.", "lookup"));
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(cache_header(post(chat(PARAPHRASE, "gpt-4o", "Be brief.", "I am planning a trip.", "lookup"))),
              "semantic-hit");

    EXPECT_EQ(cache_header(post(chat(SAME_MEANING, "gpt-4o", "Be verbose.", "I am planning a trip.", "lookup"))), "")
        << "another system prompt";
    EXPECT_EQ(cache_header(post(chat(SAME_MEANING, "gpt-4o", "Be brief.", "I am moving house.", "lookup"))), "")
        << "another earlier message";
    EXPECT_EQ(cache_header(post(chat(SAME_MEANING, "gpt-4o", "Be brief.", "I am planning a trip.", "search"))), "")
        << "another tool list";
    EXPECT_EQ(cache_header(post(chat(SAME_MEANING, "gpt-4o-mini", "Be brief.", "I am planning a trip.", "lookup"))), "")
        << "another model";
    EXPECT_EQ(provider.count(), 5u);

    auto got = openai.received().at(0);
    EXPECT_EQ(got.target, "/v1/embeddings");
    EXPECT_EQ(bj::parse(got.body).at("input").as_string(), QUESTION);  // no prefix for this model
    EXPECT_EQ(*got.header("authorization"), "Bearer sk-embed-secret");
    EXPECT_FALSE(logs.contains("sk-embed-secret"));
}

TEST_F(SemanticCache, OnlyAnswersThatFinishedWithoutToolCallsAreStored) {
    start(config("ollama", embedder.url()));
    provider_script = [](const Received&) { return answer_with("length"); };
    post(chat(QUESTION));
    provider_script = [](const Received&) {
        return answer_with("tool_calls", R"(, "tool_calls": [{"id": "c1", "type": "function"}])");
    };
    post(chat(QUESTION, "gpt-4o", "Be terse."));
    provider_script = [](const Received&) {
        MockReply r = answer_with("stop");
        r.status = 500;
        return r;
    };
    post(chat(QUESTION, "gpt-4o", "Be kind."));
    EXPECT_TRUE(entries().empty());

    EXPECT_TRUE(cache::_storable(bj::parse(R"({"stop_reason": "end_turn", "content": [{"type": "text"}]})")));
    EXPECT_FALSE(cache::_storable(bj::parse(R"({"stop_reason": "tool_use", "content": [{"type": "tool_use"}]})")));
    EXPECT_FALSE(cache::_storable(bj::parse(R"({"stop_reason": "max_tokens", "content": []})")));
    EXPECT_TRUE(cache::_storable(bj::parse(R"({"done": true, "done_reason": "stop", "message": {"content": "x"}})")));
    EXPECT_TRUE(cache::_storable(bj::parse(R"({"status": "completed", "output": [{"type": "message"}]})")));
    EXPECT_FALSE(cache::_storable(bj::parse(R"({"status": "completed", "output": [{"type": "function_call"}]})")));
    EXPECT_FALSE(cache::_storable(bj::parse(R"({"answer": "no sign of how it finished"})")));
}

TEST_F(SemanticCache, AnExpiredEntryIsAMissAndIsRemoved) {
    start(config("ollama", embedder.url(), "ttl_hours = 1\n"));
    post(chat(QUESTION));
    ASSERT_EQ(entries().size(), 1u);
    {
        SQLite::Database conn(scratch.db_path(), SQLite::OPEN_READWRITE);
        conn.exec("UPDATE semantic_cache SET ts = ts - 3601");
    }
    EXPECT_EQ(cache_header(post(chat(PARAPHRASE))), "");
    EXPECT_EQ(provider.count(), 2u);
    // The paraphrase's own answer is stored in its place.
    auto left = entries();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].at("id"), 2);
    EXPECT_EQ(cache::_size(), 1u);

    // Nor is one loaded again after a restart.
    {
        SQLite::Database conn(scratch.db_path(), SQLite::OPEN_READWRITE);
        conn.exec("UPDATE semantic_cache SET ts = ts - 3601");
    }
    app.reset();
    start(config("ollama", embedder.url(), "ttl_hours = 1\n"));
    EXPECT_EQ(cache::_size(), 0u);
    EXPECT_TRUE(entries().empty());
}

TEST_F(SemanticCache, EmbeddingServerDownOrSlowIsAMissWithAWarningAndTheCallGoesThrough) {
    start(config("ollama", embedder.url(), "timeout_seconds = 0.5\n"));
    post(chat(QUESTION));
    ASSERT_EQ(entries().size(), 1u);

    std::uint16_t dead = tt_test::free_port();
    scratch.write_config(config("ollama", "http://127.0.0.1:" + std::to_string(dead), "timeout_seconds = 0.5\n"));
    auto down = post(chat(PARAPHRASE));
    EXPECT_EQ(down.status, 200);
    EXPECT_EQ(cache_header(down), "");
    EXPECT_TRUE(logs.contains("warning tokentally.proxy: Semantic cache lookup failed: POST http://127.0.0.1:" +
                              std::to_string(dead) + "/api/embed failed"))
        << logs.text();
    // The store does not wait on the server a second time.
    EXPECT_TRUE(logs.contains("Semantic cache store failed: no embedding for this request"));

    tt_test::MockServer slow([](const Received&) {
        MockReply r;
        r.delay = std::chrono::seconds(30);
        return r;
    });
    scratch.write_config(config("ollama", slow.url(), "timeout_seconds = 0.5\n"));
    auto late = post(chat(NEAR_MISS));
    EXPECT_EQ(late.status, 200);
    EXPECT_EQ(cache_header(late), "");
    EXPECT_TRUE(logs.contains("Semantic cache lookup failed: embedding server " + slow.url() +
                              "/api/embed did not answer within 0.5 s"));
    EXPECT_EQ(provider.count(), 3u);
    EXPECT_EQ(rows().size(), 3u);
}

TEST_F(SemanticCache, ExactOnlyOrStreamedRequestsNeverEmbed) {
    start(config("ollama", embedder.url()));
    post(chat(QUESTION));
    std::size_t embedded = embedder.count();
    tt_test::call("POST", app->url() + "/v1/chat/completions",
                  {{"X-Tokentally-Target", provider.url()}, {"X-Tokentally-Cache", "exact"}}, chat(PARAPHRASE));
    EXPECT_EQ(embedder.count(), embedded);
    EXPECT_EQ(provider.count(), 2u);
}

TEST_F(SemanticCache, ConcurrentLookupsAndStoresEachGetTheirAnswer) {
    start(config("ollama", embedder.url()));
    post(chat(QUESTION));
    std::vector<std::thread> clients;
    std::atomic<int> hits{0}, ok{0};
    for (int i = 0; i < 12; ++i)
        clients.emplace_back([&, i] {
            // Even: a paraphrase of the stored question; odd: a context of its own.
            auto res = post(i % 2 == 0 ? chat(PARAPHRASE) : chat(QUESTION, "gpt-4o", "Context " + std::to_string(i)));
            ok += res.status == 200;
            hits += cache_header(res) == "semantic-hit";
        });
    for (auto& c : clients) c.join();
    EXPECT_EQ(ok.load(), 12);
    EXPECT_EQ(hits.load(), 6);
    EXPECT_EQ(rows().size(), 13u);
    EXPECT_EQ(entries().size(), 7u);
    EXPECT_EQ(cache::_size(), 7u);
}

TEST(SemanticCacheServe, EntriesSurviveARestartOfServe) {
    tt_test::Scratch scratch;
    tt_test::MockServer provider([](const Received&) { return answer_with("stop"); });
    tt_test::MockServer embedder(tt_test::embedding_script(vectors()));
    scratch.write_config(fmt::format("[features]\nsemantic_cache = true\n\n[semantic_cache]\nembeddings_url = \"{}\"\n",
                                     embedder.url()));
    auto send = [&](const tt_test::ServeProcess& serve, const std::string& text) {
        return tt_test::call("POST", serve.url() + "/v1/chat/completions", {{"X-Tokentally-Target", provider.url()}},
                             chat(text));
    };
    {
        tt_test::ServeProcess serve(scratch.home, scratch.data, scratch.root + "/serve1.log");
        EXPECT_EQ(send(serve, QUESTION).status, 200);
    }
    tt_test::ServeProcess again(scratch.home, scratch.data, scratch.root + "/serve2.log");
    auto hit = send(again, PARAPHRASE);
    const std::string* header = http::find_header(hit.headers, "x-tokentally-cache");
    ASSERT_NE(header, nullptr) << tt_test::read_file(scratch.root + "/serve2.log");
    EXPECT_EQ(*header, "semantic-hit");
    EXPECT_EQ(provider.count(), 1u);
    // serve writes its INFO lines a few milliseconds late, gathered.
    EXPECT_TRUE(tt_test::eventually([&] {
        return tt_test::read_file(scratch.root + "/serve2.log").find("semantic cache: 1 entries") != std::string::npos;
    })) << tt_test::read_file(scratch.root + "/serve2.log");
}

TEST(SemanticCacheParts, TheRequestSplitsIntoItsLastUserTextAndEverythingElse) {
    auto body = bj::parse(R"({"model": "m", "stream": false, "user": "u1", "temperature": 0.2,
        "messages": [{"role": "system", "content": "S"}, {"role": "user", "content": "first"},
                     {"role": "user", "content": [{"type": "text", "text": "look at"},
                                                  {"type": "image_url", "image_url": {"url": "data:x"}},
                                                  {"type": "text", "text": "this"}]},
                     {"role": "assistant", "content": "Sure:"}]})")
                    .as_object();
    auto split = cache::_split_request(body);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->text, "look at\nthis");
    EXPECT_FALSE(split->context.contains("model"));
    EXPECT_FALSE(split->context.contains("user"));
    EXPECT_DOUBLE_EQ(split->context.at("temperature").as_double(), 0.2);
    // The image stays part of the context; the prefill after it too.
    EXPECT_EQ(split->context.at("messages").at(2).at("content").at(1).at("type"), "image_url");
    EXPECT_EQ(split->context.at("messages").at(3).at("content"), "Sure:");
    EXPECT_EQ(split->context.at("messages").at(1).at("content"), "first");

    auto prompt =
        cache::_split_request(bj::parse(R"({"model": "m", "prompt": "complete me", "system": "S"})").as_object());
    ASSERT_TRUE(prompt);
    EXPECT_EQ(prompt->text, "complete me");
    EXPECT_EQ(prompt->context, bj::parse(R"({"system": "S"})"));
    EXPECT_EQ(cache::_split_request(bj::parse(R"({"input": "responses api"})").as_object())->text, "responses api");
    EXPECT_FALSE(cache::_split_request(bj::parse(R"({"messages": [{"role": "user", "content": ""}]})").as_object()));
    EXPECT_FALSE(cache::_split_request(bj::parse(R"({"messages": [{"role": "system", "content": "x"}]})").as_object()));

    // Bookkeeping members do not change the key; anything else does.
    auto key = [](const char* text) {
        return cache::_context_key("m", cache::_split_request(bj::parse(text).as_object())->context, "space");
    };
    EXPECT_EQ(key(R"({"messages": [{"role": "user", "content": "a"}], "metadata": {"x": 1}})"),
              key(R"({"messages": [{"role": "user", "content": "b"}]})"));
    EXPECT_NE(key(R"({"messages": [{"role": "user", "content": "a"}], "response_format": {"type": "json_object"}})"),
              key(R"({"messages": [{"role": "user", "content": "a"}]})"));
}

TEST(SemanticCacheParts, EmbeddingRequestsAndAnswersOfBothShapes) {
    auto ollama = embeddings::settings(bj::object{});
    EXPECT_EQ(embeddings::request_url(ollama), "http://127.0.0.1:11434/api/embed");
    EXPECT_EQ(embeddings::request_body(ollama, "hi"), R"({"model": "nomic-embed-text", "input": "search_query: hi"})");
    auto openai = embeddings::settings(
        bj::parse(R"({"embeddings_api": "openai", "embeddings_url": "https://h/v1/"})").as_object());
    EXPECT_EQ(embeddings::request_url(openai), "https://h/v1/embeddings");
    EXPECT_EQ(openai.prefix, "");
    EXPECT_EQ(embeddings::parse_answer("openai", R"({"data": [{"embedding": [0.5, 1]}]})"),
              (std::vector<float>{0.5f, 1.0f}));
    EXPECT_EQ(embeddings::parse_answer("ollama", R"({"embeddings": [[3, 4]]})"), (std::vector<float>{3.0f, 4.0f}));
    EXPECT_THROW(embeddings::parse_answer("ollama", R"({"embeddings": []})"), std::runtime_error);
    EXPECT_THROW(embeddings::parse_answer("openai", "<html>"), std::runtime_error);
    EXPECT_THROW(embeddings::parse_answer("openai", R"({"data": [{"embedding": ["x"]}]})"), std::runtime_error);
    EXPECT_THROW(embeddings::settings(bj::parse(R"({"embeddings_api": "cohere"})").as_object()), std::runtime_error);
    EXPECT_THROW(embeddings::settings(bj::parse(R"({"timeout_seconds": 0})").as_object()), std::runtime_error);
}
