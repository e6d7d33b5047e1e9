// The exact-match cache: its key, freshness and hit count, and when the
// running proxy serves from it or stores into it.
#include "support/scratch.hpp"
#include "support/spend.hpp"
#include "tokentally/proxy.hpp"

#include <gtest/gtest.h>

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
    q.bind(1, tokentally::db::now() - age_s);
    q.bind(2, key);
    q.exec();
}

std::size_t cache_tables(const tt_test::Scratch& s) {
    return tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'exact_cache'").size();
}

}  // namespace

TEST(ExactCacheKey, OnlyModelAndConversationCount) {
    // SHA-256 of {"messages": "hi", "model": "m"}, computed with sha256sum.
    EXPECT_EQ(proxy::_exact_cache_key("m", obj(R"({"prompt": "hi", "max_tokens": 5})")),
              "3958d1bb3c40a61193f7319d9a36e268dc12f9b7629f99011df7fc949b1fa115");
    // Neither member: the empty string, {"messages": "", "model": "m"}.
    EXPECT_EQ(proxy::_exact_cache_key("m", obj(R"({"temperature": 1})")),
              "5eebb27c763b23db5a1ff63023dedad23d1d9041726f3774ab06f3afeac9f9ab");
    // Sorted keys at every level, non-ASCII as \u escapes with surrogates:
    // {"messages": [{"content": "h\u00e9llo \ud83d\ude00", "role": "user"}], "model": "openai/gpt-4o"}
    EXPECT_EQ(proxy::_exact_cache_key("openai/gpt-4o",
                                      obj(R"({"messages": [{"role": "user", "content": "héllo 😀"}]})")),
              "fb53e79dc7a6391b8f81beffc3a378cb8786b9231b4625a86c128929b2827de3");

    auto body = obj(R"({"messages": [{"role": "user", "content": "x"}], "temperature": 0.2})");
    auto warmer = obj(R"({"temperature": 0.9, "messages": [{"role": "user", "content": "x"}], "stream": false})");
    EXPECT_EQ(proxy::_exact_cache_key("m", body), proxy::_exact_cache_key("m", warmer));
    // Empty messages fall through to the prompt.
    EXPECT_EQ(proxy::_exact_cache_key("m", obj(R"({"messages": [], "prompt": "hi"})")),
              proxy::_exact_cache_key("m", obj(R"({"prompt": "hi"})")));
}

TEST(ExactCacheStore, FreshnessAndHitCount) {
    tt_test::Scratch s({&ledger::DB_PATH});
    const std::string key = proxy::_exact_cache_key("m", obj(R"({"prompt": "hi"})"));
    // No ledger file: a miss that creates nothing.
    EXPECT_EQ(proxy::_exact_cache_get(key), std::nullopt);
    EXPECT_FALSE(tokentally::db::exists(s.db_path()));

    auto first = obj(R"({"answer": "é", "n": 1})");
    proxy::_exact_cache_put(key, first);
    EXPECT_EQ(hit_count(s, key), 0);
    EXPECT_EQ(proxy::_exact_cache_get(key), first);
    EXPECT_EQ(proxy::_exact_cache_get(key), first);
    EXPECT_EQ(hit_count(s, key), 2);

    // A day-old entry is not served and not counted ...
    age_entry(s, key, 86400 + 5);
    EXPECT_EQ(proxy::_exact_cache_get(key), std::nullopt);
    EXPECT_EQ(hit_count(s, key), 2);
    // ... until a new answer replaces it; the count goes on.
    auto second = obj(R"({"answer": "new"})");
    proxy::_exact_cache_put(key, second);
    EXPECT_EQ(proxy::_exact_cache_get(key), second);
    EXPECT_EQ(hit_count(s, key), 3);
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT cache_key FROM exact_cache").size(), 1u);
}

TEST(ExactCacheStore, FailuresAreMissesOrWarnings) {
    tt_test::Scratch s({&ledger::DB_PATH});
    const std::string key = std::string(64, 'a');
    proxy::_exact_cache_put(key, obj(R"({"a": 1})"));
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE)
        .exec("UPDATE exact_cache SET response_json = '{not json'");
    EXPECT_EQ(proxy::_exact_cache_get(key), std::nullopt);

    // A store that cannot open the database logs and returns.
    ledger::DB_PATH = s.root + "/missing/dir/ledger.db";
    tt_test::LogCapture log;
    EXPECT_NO_THROW(proxy::_exact_cache_put(key, obj(R"({"a": 1})")));
    EXPECT_TRUE(log.contains("warning tokentally.proxy: Exact cache put failed: ")) << log.text();
    EXPECT_EQ(proxy::_exact_cache_get(key), std::nullopt);
}

TEST(ExactCacheProxy, RepeatedRequestIsServedOnceFromTheProvider) {
    tt_test::Scratch s({&ledger::DB_PATH});
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::RunningApp app(proxy::make_app());

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
}

TEST(ExactCacheProxy, OnlySuccessfulStandardPostsAreStored) {
    tt_test::Scratch s({&ledger::DB_PATH});
    tt_test::MockServer mock([](const tt_test::Received& r) {
        if (r.body.find("fails") != std::string::npos)
            return tt_test::reply(500, R"({"error": "boom"})");
        if (r.body.find("redirect") != std::string::npos)
            return tt_test::reply(300, tt_test::chat_answer());
        return tt_test::reply(200, tt_test::chat_answer());
    });
    tt_test::RunningApp app(proxy::make_app());

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
