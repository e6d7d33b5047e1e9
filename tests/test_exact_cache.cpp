// The exact-match cache: its key, freshness and hit count, and when the
// running proxy serves from it or stores into it.
#include "support/scratch.hpp"
#include "support/spend.hpp"
#include "tokentally/proxy/call.hpp"
#include "tokentally/proxy/exact_cache.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/proxy/stages.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace proxy = tokentally::proxy;
namespace ledger = tokentally::ledger;
namespace bj = boost::json;

namespace {

bj::object obj(std::string_view text) { return bj::parse(text).as_object(); }

std::int64_t hit_count(const tt_test::Scratch& s, const std::string& key) {
    auto rows = tt_test::query(s.db_path(), "SELECT hit_count FROM exact_cache WHERE cache_key = '" + key + "'");
    return rows.at(0).at("hit_count").as_int64();
}

void age_entry(const tt_test::Scratch& s, const std::string& key, double age_s) {
    SQLite::Database conn(s.db_path(), SQLite::OPEN_READWRITE);
    SQLite::Statement q(conn, "UPDATE exact_cache SET ts = ? WHERE cache_key = ?");
    q.bind(1, tokentally::store::now() - age_s);
    q.bind(2, key);
    q.exec();
}

std::size_t cache_tables(const tt_test::Scratch& s) {
    return tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'exact_cache'").size();
}

}  // namespace

TEST(ExactCacheKey, OnlyModelAndConversationCount) {
    // SHA-256 of {"messages": "hi", "model": "m"}, computed with sha256sum.
    EXPECT_EQ(proxy::exact_cache_key("m", obj(R"({"prompt": "hi", "max_tokens": 5})")),
              "3958d1bb3c40a61193f7319d9a36e268dc12f9b7629f99011df7fc949b1fa115");
    // Neither member: the empty string, {"messages": "", "model": "m"}.
    EXPECT_EQ(proxy::exact_cache_key("m", obj(R"({"temperature": 1})")),
              "5eebb27c763b23db5a1ff63023dedad23d1d9041726f3774ab06f3afeac9f9ab");
    // Sorted keys at every level, non-ASCII as \u escapes with surrogates:
    // {"messages": [{"content": "h\u00e9llo \ud83d\ude00", "role": "user"}], "model": "openai/gpt-4o"}
    EXPECT_EQ(proxy::exact_cache_key("openai/gpt-4o", obj(R"({"messages": [{"role": "user", "content": "héllo 😀"}]})")),
              "fb53e79dc7a6391b8f81beffc3a378cb8786b9231b4625a86c128929b2827de3");

    auto body = obj(R"({"messages": [{"role": "user", "content": "x"}], "temperature": 0.2})");
    auto warmer = obj(R"({"temperature": 0.9, "messages": [{"role": "user", "content": "x"}], "stream": false})");
    EXPECT_EQ(proxy::exact_cache_key("m", body), proxy::exact_cache_key("m", warmer));
    // Empty messages fall through to the prompt.
    EXPECT_EQ(proxy::exact_cache_key("m", obj(R"({"messages": [], "prompt": "hi"})")),
              proxy::exact_cache_key("m", obj(R"({"prompt": "hi"})")));
}

TEST(ExactCacheStore, FreshnessAndHitCount) {
    tt_test::Scratch s;
    const std::string key = proxy::exact_cache_key("m", obj(R"({"prompt": "hi"})"));
    // No ledger file: a miss that creates nothing.
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(s.db_path()));

    auto first = obj(R"({"answer": "é", "n": 1})");
    proxy::exact_cache_put(*tt_test::store(), key, first);
    EXPECT_EQ(hit_count(s, key), 0);
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key), first);
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key), first);
    EXPECT_EQ(hit_count(s, key), 2);

    // A day-old entry is not served and not counted ...
    age_entry(s, key, 86400 + 5);
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key), std::nullopt);
    EXPECT_EQ(hit_count(s, key), 2);
    // ... until a new answer replaces it; the count goes on.
    auto second = obj(R"({"answer": "new"})");
    proxy::exact_cache_put(*tt_test::store(), key, second);
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key), second);
    EXPECT_EQ(hit_count(s, key), 3);
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT cache_key FROM exact_cache").size(), 1u);

    // The proxy's way: read without counting, then count with the call's row.
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key, false), second);
    EXPECT_EQ(hit_count(s, key), 3);
    auto st = tt_test::store();
    tokentally::store::CallRecord hit{.status = 200, .exact_cache_hit = key};
    tokentally::store::CallRecord other{.status = 200, .exact_cache_hit = "no such entry"};
    const tokentally::store::CallRecord* rows[] = {&hit, &other};
    st->calls().append(rows);
    EXPECT_EQ(hit_count(s, key), 4);
    // A cleared cache costs the count, never the row.
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec("DROP TABLE exact_cache");
    EXPECT_EQ(st->calls().append(std::span(rows, 1)).size(), 1u);
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT id FROM calls").size(), 3u);
}

TEST(ExactCacheStore, FailuresAreMissesOrWarnings) {
    tt_test::Scratch s;
    const std::string key = std::string(64, 'a');
    proxy::exact_cache_put(*tt_test::store(), key, obj(R"({"a": 1})"));
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec("UPDATE exact_cache SET response_json = '{not json'");
    EXPECT_EQ(proxy::exact_cache_get(*tt_test::store(), key), std::nullopt);

    // A store that cannot open the database logs and returns.
    auto unreachable = tokentally::store::open(s.root + "/missing/dir/ledger.db");
    tt_test::LogCapture log;
    EXPECT_NO_THROW(proxy::exact_cache_put(*unreachable, key, obj(R"({"a": 1})")));
    EXPECT_TRUE(log.contains("warning tokentally.proxy: Exact cache put failed: ")) << log.text();
    EXPECT_EQ(proxy::exact_cache_get(*unreachable, key), std::nullopt);
}

TEST(ExactCacheProxy, RepeatedRequestIsServedOnceFromTheProvider) {
    tt_test::Scratch s;
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));

    auto first = tt_test::post_chat(app, mock, tt_test::chat_body("hi", R"(, "temperature": 0.1)"));
    tt_test::LogCapture log;
    auto second = tt_test::post_chat(app, mock, tt_test::chat_body("hi", R"(, "temperature": 0.7)"),
                                     {{"X-Tokentally-Session", "s1"}});
    EXPECT_EQ(mock.count(), 1u);
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(bj::parse(second.body), bj::parse(first.body));
    const std::string* cache = tokentally::http::find_header(second.headers, "X-Tokentally-Cache");
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(*cache, "exact-hit");
    EXPECT_TRUE(log.contains("info tokentally.proxy: [default|s1] ⚡ EXACT HIT  openai/gpt-4o  $0.000000"))
        << log.text();

    auto rows = tt_test::query(s.db_path(), "SELECT * FROM calls ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_DOUBLE_EQ(rows[0].at("cost_usd").as_double(), tt_test::PRICED_COST);
    EXPECT_EQ(rows[1].at("cost_usd").as_double(), 0.0);
    EXPECT_EQ(rows[1].at("prompt_tokens").as_int64(), 1000);
    EXPECT_EQ(rows[1].at("completion_tokens").as_int64(), 500);
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT hit_count FROM exact_cache").at(0).at("hit_count").as_int64(), 1);
}

TEST(ExactCacheProxy, OnlySuccessfulStandardPostsAreStored) {
    tt_test::Scratch s;
    tt_test::MockServer mock([](const tt_test::Received& r) {
        if (r.body.find("fails") != std::string::npos) return tt_test::reply(500, R"({"error": "boom"})");
        if (r.body.find("redirect") != std::string::npos) return tt_test::reply(300, tt_test::chat_answer());
        return tt_test::reply(200, tt_test::chat_answer());
    });
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));

    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("fails")).status, 500);
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("redirect")).status, 300);
    tt_test::post_chat(app, mock, tt_test::chat_body("streamed", R"(, "stream": true)"));
    tt_test::post_chat(app, mock, tt_test::chat_body("off"), {{"X-Tokentally-Cache", "Off"}});
    tt_test::post_chat(app, mock, tt_test::chat_body("put"), {}, "PUT");
    EXPECT_EQ(mock.count(), 5u);
    EXPECT_EQ(cache_tables(s), 0u);

    // The control case: a plain 200 POST does store.
    tt_test::post_chat(app, mock, tt_test::chat_body("ok"));
    EXPECT_EQ(cache_tables(s), 1u);
}

// What the answer depends on beside the conversation: the system prompt
// (Anthropic's sits beside the messages), the tools offered and the output
// format asked for. Sampling settings only vary the wording.
TEST(ExactCacheKey, MembersThatChangeTheAnswerJoinTheKeyAndOnlyThey) {
    const std::string plain = R"({"model": "gpt-4o", "messages": [{"role": "user", "content": "What is 2+2?"}])";
    // Stored by the version without these members: still the same key.
    EXPECT_EQ(proxy::exact_cache_key("gpt-4o", obj(plain + "}")),
              "294ddbbf64fbd10caafc60a9b35a82271040b4d83cbf4548882266002a6c1791");
    // Empty or null members ask nothing more.
    EXPECT_EQ(proxy::exact_cache_key("gpt-4o", obj(plain + R"(, "tools": [], "system": "", "response_format": null})")),
              proxy::exact_cache_key("gpt-4o", obj(plain + "}")));
    // {"messages": [{"content": "Hi", "role": "user"}], "model": "claude-sonnet-4-5", "system": "You are terse."}
    EXPECT_EQ(
        proxy::exact_cache_key(
            "claude-sonnet-4-5",
            obj(R"({"system": "You are terse.", "messages": [{"role": "user", "content": "Hi"}], "max_tokens": 9})")),
        "0b6baa66a11e8120e5dd164d3369bdab73252a7794de6bf2ea240e64d1cd3b38");

    const std::string base = proxy::exact_cache_key("gpt-4o", obj(plain + "}"));
    std::vector<std::string> keys;
    for (const char* member :
         {R"("system": "Answer in French.")", R"("system": [{"type": "text", "text": "Answer in French."}])",
          R"("tools": [{"type": "function", "function": {"name": "add"}}])", R"("tool_choice": "required")",
          R"("functions": [{"name": "add"}])", R"("function_call": {"name": "add"})",
          R"("response_format": {"type": "json_object"})",
          R"("output_format": {"type": "json_schema", "schema": {"type": "object"}})"}) {
        std::string key = proxy::exact_cache_key("gpt-4o", obj(plain + ", " + member + "}"));
        EXPECT_NE(key, base) << member;
        EXPECT_EQ(std::count(keys.begin(), keys.end(), key), 0) << member;
        keys.push_back(key);
    }
    for (const char* member : {R"("temperature": 0.9)", R"("top_p": 0.5)", R"("max_tokens": 10)", R"("stream": false)",
                               R"("seed": 7)", R"("user": "u1")", R"("metadata": {"user_id": "u1"})"})
        EXPECT_EQ(proxy::exact_cache_key("gpt-4o", obj(plain + ", " + member + "}")), base) << member;
}

TEST(ExactCacheProxy, RequestsDifferingInWhatShapesTheAnswerAreNeverServedEachOthersAnswer) {
    tt_test::Scratch s;
    // The provider's answer names what it was asked, so that a wrong hit shows.
    tt_test::MockServer mock([](const tt_test::Received& r) {
        bj::object answer = bj::parse(tt_test::chat_answer()).as_object();
        answer["id"] = r.body;
        return tt_test::reply(200, bj::serialize(answer));
    });
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    auto ask = [&](const std::string& extra) { return tt_test::post_chat(app, mock, tt_test::chat_body("hi", extra)); };

    std::size_t calls = 0;
    for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
             {R"(, "system": "Be brief.")", R"(, "system": "Be thorough.")"},
             {R"(, "tools": [{"type": "function", "function": {"name": "a"}}])",
              R"(, "tools": [{"type": "function", "function": {"name": "b"}}])"},
             {R"(, "tool_choice": "auto")", R"(, "tool_choice": "none")"},
             {R"(, "response_format": {"type": "json_object"})", R"(, "response_format": {"type": "text"})"}}) {
        auto a = ask(first), b = ask(second);
        calls += 2;
        EXPECT_EQ(mock.count(), calls) << second << " was answered from " << first << "'s entry";
        EXPECT_NE(bj::parse(a.body), bj::parse(b.body)) << second;
        EXPECT_EQ(tokentally::http::find_header(b.headers, "X-Tokentally-Cache"), nullptr) << second;
        // The same request again is a hit on its own entry.
        auto again = ask(second);
        EXPECT_EQ(mock.count(), calls) << second;
        EXPECT_EQ(bj::parse(again.body), bj::parse(b.body)) << second;
    }
    // Sampling settings still share one entry.
    ask(R"(, "temperature": 0.1, "max_tokens": 5)");
    ask(R"(, "temperature": 0.8, "max_tokens": 500)");
    EXPECT_EQ(mock.count(), calls + 1);
}
