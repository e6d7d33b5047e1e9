// Accounting through the running proxy with [accounting] switched on: usage
// read from streams without changing what the client gets, usage asked for
// and its chunk hidden, abandoned streams recorded as 499, cached tokens
// priced at their rates for budgets and alerts, and imported prices.
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/recorded_streams.hpp"
#include "support/scratch.hpp"
#include "support/stream_client.hpp"
#include "tokentally/guards/alerts.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>

namespace {

namespace bj = boost::json;
namespace http = tokentally::http;
namespace ledger = tokentally::ledger;
using namespace std::chrono_literals;
using namespace tt_test::recorded;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

const std::string PRICES = R"(
[pricing."openai/gpt-test"]
input = 2.0
output = 8.0
cache_read = 0.5
cache_write = 2.5

[pricing."anthropic/claude-test"]
input = 3.0
output = 15.0
cache_read = 0.3
cache_write = 3.75
cache_write_1h = 6.0
)";

const std::string READ = "[accounting]\nstream_usage = \"read\"\ncache_pricing = true\n" + PRICES;
const std::string REQUEST = "[accounting]\nstream_usage = \"request\"\ncache_pricing = true\n" + PRICES;

const std::string CHAT_BODY =
    R"({"model": "gpt-test", "stream": true, "messages": [{"role": "user", "content": "hi"}]})";
const std::string CLAUDE_BODY =
    R"({"model": "claude-test", "stream": true, "max_tokens": 64, "messages": [{"role": "user", "content": "hi"}]})";

double m(std::int64_t tokens, double price) { return (static_cast<double>(tokens) / 1e6) * price; }

// The recorded chat stream's cost at gpt-test's prices, and the Anthropic
// one's at claude-test's.
const double CHAT_COST = m(9657 - 1024 - 512, 2.0) + m(1024, 0.5) + m(512, 2.5) + m(78, 8.0);
const double CLAUDE_COST = m(12, 3.0) + m(40000, 0.3) + m(1000, 3.75) + m(2000, 6.0) + m(25, 15.0);

// The stream cut at odd places, as a transport might deliver it.
std::vector<std::string> cut(const std::string& stream, std::vector<std::size_t> at) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    for (std::size_t to : at) {
        pieces.push_back(stream.substr(from, to - from));
        from = to;
    }
    pieces.push_back(stream.substr(from));
    return pieces;
}

MockReply sse(std::vector<std::string> chunks, std::chrono::milliseconds delay = 0ms) {
    MockReply r;
    r.headers = {{"Content-Type", "text/event-stream"}};
    r.chunks = std::move(chunks);
    r.chunk_delay = delay;
    return r;
}

class Accounting : public ::testing::Test {
protected:
    // The alerts library is linked, so that its database follows the test's.
    tt_test::Scratch s;
    tt_test::LogCapture logs;
    tt_test::ProxyServer app;

    http::Headers to(const MockServer& upstream, http::Headers extra = {}) {
        extra.emplace_back("X-Tokentally-Target", upstream.url());
        extra.emplace_back("X-Tokentally-Cache", "off");
        return extra;
    }
    bj::array rows() { return tt_test::call_rows(s); }
    // Waits for `n` rows; a read that meets the writer creating the ledger
    // is simply tried again.
    bool rows_reach(std::size_t n) {
        return tt_test::eventually(
            [&] {
                try {
                    return rows().size() >= n;
                } catch (const std::exception&) {
                    return false;
                }
            },
            5000ms);
    }
    bj::array cache_rows() { return tt_test::query(s.db_path(), "SELECT * FROM call_cache_tokens ORDER BY call_id"); }
    bool has_cache_table() {
        return !tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'call_cache_tokens'").empty();
    }
    // Every row queued before this call is committed once it returns.
    void drain_writer() {
        std::promise<void> done;
        ledger::CallRecord marker;
        marker.model_id = "marker";
        marker.status = 200;
        ledger::record_call_queued(*tokentally::ledger::make_writer(tt_test::store()), marker,
                                   [&](std::exception_ptr) { done.set_value(); });
        done.get_future().wait();
    }
};

TEST_F(Accounting, StreamedUsageIsReadWhileTheClientGetsExactlyWhatTheProviderSent) {
    s.write_config(READ);
    MockServer upstream([](const Received& r) {
        if (r.target == "/v1/messages") return sse(cut(ANTHROPIC_STREAM, {7, 300, 301, 640}));
        return sse(cut(CHAT_STREAM, {50, 51, 420}));
    });

    auto chat = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), CHAT_BODY);
    auto claude = tt_test::stream_call("POST", app.url("/v1/messages"), to(upstream), CLAUDE_BODY);

    ASSERT_TRUE(chat.complete) << chat.error;
    EXPECT_EQ(chat.body(), CHAT_STREAM);
    EXPECT_EQ(upstream.received()[0].body, CHAT_BODY) << "\"read\" never changes the request";
    ASSERT_TRUE(claude.complete) << claude.error;
    EXPECT_EQ(claude.body(), ANTHROPIC_STREAM);

    auto calls = rows();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].at("prompt_tokens"), 9657);
    EXPECT_EQ(calls[0].at("completion_tokens"), 78);
    EXPECT_DOUBLE_EQ(calls[0].at("cost_usd").as_double(), CHAT_COST);
    EXPECT_EQ(calls[1].at("prompt_tokens"), 12);
    EXPECT_EQ(calls[1].at("completion_tokens"), 25);
    EXPECT_DOUBLE_EQ(calls[1].at("cost_usd").as_double(), CLAUDE_COST);
    for (const auto& row : calls) {
        EXPECT_EQ(row.at("streamed"), 1);
        EXPECT_EQ(row.at("status"), 200);
    }
    auto cached = cache_rows();
    ASSERT_EQ(cached.size(), 2u);
    EXPECT_EQ(cached[0].at("cache_read_tokens"), 1024);
    EXPECT_EQ(cached[0].at("cache_write_tokens"), 512);
    EXPECT_EQ(cached[1].at("cache_read_tokens"), 40000);
    EXPECT_EQ(cached[1].at("cache_write_tokens"), 3000);
    EXPECT_EQ(cached[1].at("cache_write_1h_tokens"), 2000);
    EXPECT_TRUE(logs.contains("✓ gpt-test (streamed)  in=9657 out=78  cost=$")) << logs.text();
}

TEST_F(Accounting, MalformedAndOversizedEventsLeaveTheRelayIntact) {
    s.write_config(READ);
    const std::string big = "data: {\"choices\":[{\"delta\":{\"content\":\"" + std::string(1536 * 1024, 'x') +
                            "\"}}],\"usage\":{\"prompt_tokens\":999}}\n\n";
    const std::string stream = "data: {\"usage\": oops\n\n" + big + "data: \xff\xfe\n\n" +
                               "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":7,\"completion_tokens\":2}}\n\n"
                               "data: [DONE]\n\n";
    MockServer upstream([&](const Received&) { return sse(cut(stream, {10, 100000, 1000000, stream.size() - 20})); });

    auto answer = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), CHAT_BODY);

    ASSERT_TRUE(answer.complete) << answer.error;
    EXPECT_TRUE(answer.body() == stream) << "the relayed bytes differ from the provider's";
    auto calls = rows();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at("prompt_tokens"), 7);
    EXPECT_EQ(calls[0].at("completion_tokens"), 2);
}

TEST_F(Accounting, RequestModeAsksForUsageAndGivesTheClientTheStreamItAskedFor) {
    s.write_config(REQUEST);
    // Like the provider: the usage-only chunk only for those who ask for it.
    MockServer upstream([](const Received& r) {
        bool asked = r.body.find("\"include_usage\": true") != std::string::npos ||
                     r.body.find("\"include_usage\":true") != std::string::npos;
        return sse(cut(asked ? CHAT_STREAM : unasked(CHAT_STREAM), {60}));
    });
    const std::string explicit_no =
        R"({"model": "gpt-test", "stream": true, "stream_options": {"include_usage": false}, "messages": []})";
    const std::string other_option =
        R"({"model": "gpt-test", "stream": true, "stream_options": {"continuous": 1}, "messages": []})";
    const std::string asks_itself =
        R"({"model": "gpt-test", "stream": true, "stream_options": {"include_usage": true}, "messages": []})";

    auto plain = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), CHAT_BODY);
    auto declined = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), explicit_no);
    auto kept = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), other_option);
    auto own = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), asks_itself);

    auto sent = upstream.received();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(bj::parse(sent[0].body).at("stream_options"), bj::parse(R"({"include_usage": true})"));
    EXPECT_EQ(sent[1].body, explicit_no) << "an explicit false is respected";
    EXPECT_EQ(bj::parse(sent[2].body).at("stream_options"), bj::parse(R"({"continuous": 1, "include_usage": true})"));
    EXPECT_EQ(sent[3].body, asks_itself);

    EXPECT_EQ(plain.body(), unasked(CHAT_STREAM)) << "the client did not ask for the usage chunk";
    EXPECT_EQ(declined.body(), unasked(CHAT_STREAM));
    EXPECT_EQ(kept.body(), unasked(CHAT_STREAM));
    EXPECT_EQ(own.body(), CHAT_STREAM) << "a client that asked keeps its chunk";

    auto calls = rows();
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i : {0u, 2u, 3u}) {
        EXPECT_EQ(calls[i].at("prompt_tokens"), 9657) << i;
        EXPECT_DOUBLE_EQ(calls[i].at("cost_usd").as_double(), CHAT_COST) << i;
    }
    EXPECT_TRUE(calls[1].at("prompt_tokens").is_null());
    EXPECT_TRUE(calls[1].at("cost_usd").is_null());
}

TEST_F(Accounting, AServerRefusingTheOptionGetsTheCallAgainWithoutIt) {
    s.write_config(REQUEST);
    // Mistral: 422 for the unknown member, usage on the last chunk anyway.
    const std::string stream =
        "data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"}}]}\n\n"
        "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"stop\"}],\"usage\":{\"prompt_tokens\":11,"
        "\"completion_tokens\":3}}\n\n"
        "data: [DONE]\n\n";
    MockServer upstream([&](const Received& r) {
        if (r.body.find("stream_options") == std::string::npos) return sse({stream});
        MockReply refused;
        refused.status = 422;
        refused.body = R"({"detail": [{"type": "extra_forbidden", "loc": ["body", "stream_options"],
                          "msg": "Extra inputs are not permitted"}]})";
        return refused;
    });

    auto answer = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), CHAT_BODY);

    ASSERT_TRUE(answer.complete) << answer.error;
    EXPECT_EQ(answer.body(), stream);
    auto sent = upstream.received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].body, CHAT_BODY) << "the second attempt is the client's own body";
    auto calls = rows();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at("prompt_tokens"), 11);
    EXPECT_DOUBLE_EQ(calls[0].at("cost_usd").as_double(), m(11, 2.0) + m(3, 8.0));
}

TEST_F(Accounting, AnAbandonedStreamIsRecordedWithWhatItUsedAndOnlyWithTheSwitchOn) {
    MockServer upstream(
        [](const Received&) { return sse(cut(ANTHROPIC_STREAM, {ANTHROPIC_STREAM.find("event: ping")}), 5000ms); });
    const std::size_t after_message_start = 1;

    s.write_config(READ);
    auto left = tt_test::stream_call("POST", app.url("/v1/messages"), to(upstream), CLAUDE_BODY, after_message_start);
    ASSERT_EQ(left.pieces.size(), after_message_start) << left.error;
    ASSERT_TRUE(rows_reach(1)) << "no row for the abandoned stream";
    auto row = rows()[0];
    EXPECT_EQ(row.at("status"), 499);
    EXPECT_EQ(row.at("streamed"), 1);
    EXPECT_EQ(row.at("prompt_tokens"), 12);
    EXPECT_EQ(row.at("completion_tokens"), 1) << "message_start's provisional count is all that came";
    EXPECT_DOUBLE_EQ(row.at("cost_usd").as_double(),
                     m(12, 3.0) + m(40000, 0.3) + m(1000, 3.75) + m(2000, 6.0) + m(1, 15.0));
    EXPECT_TRUE(logs.contains("✗ claude-test (streamed, client left)")) << logs.text();

    // With the switch off, an abandoned stream leaves no row.
    s.write_config(PRICES);
    auto off = tt_test::stream_call("POST", app.url("/v1/messages"), to(upstream), CLAUDE_BODY, after_message_start);
    ASSERT_EQ(off.pieces.size(), after_message_start) << off.error;
    ASSERT_TRUE(tt_test::eventually([&] { return upstream.open_connections() == 0; }, 5000ms));
    drain_writer();
    auto after = rows();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].at("model_id"), "marker");
}

// --- standard answers ----------------------------------------------------------

const std::string OPENAI_CACHED = tt_test::chat_answer(
    R"({"prompt_tokens": 2000, "completion_tokens": 100, "prompt_tokens_details": {"cached_tokens": 1500}})");
const double OPENAI_CACHED_COST = m(500, 2.0) + m(1500, 0.5) + m(100, 8.0);
const std::string ANTHROPIC_CACHED = R"({"id": "msg_1", "type": "message", "role": "assistant", "content": [],
    "usage": {"input_tokens": 12, "cache_read_input_tokens": 40000, "cache_creation_input_tokens": 3000,
              "output_tokens": 25}})";

MockReply json_reply(const std::string& body) {
    MockReply r;
    r.body = body;
    return r;
}

TEST_F(Accounting, CachedTokensOfStandardAnswersArePricedAtTheirRates) {
    MockServer upstream(
        [](const Received& r) { return json_reply(r.target == "/v1/messages" ? ANTHROPIC_CACHED : OPENAI_CACHED); });
    const std::string chat = R"({"model": "gpt-test", "messages": [{"role": "user", "content": "hi"}]})";
    const std::string claude = R"({"model": "claude-test", "max_tokens": 9, "messages": []})";

    // Switched off: priced as before, and no side table.
    s.write_config(PRICES);
    tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat);
    EXPECT_DOUBLE_EQ(rows()[0].at("cost_usd").as_double(), m(2000, 2.0) + m(100, 8.0));
    EXPECT_FALSE(has_cache_table());

    s.write_config(READ);
    auto answer = tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat);
    tt_test::call("POST", app.url("/v1/messages"), to(upstream), claude);

    EXPECT_EQ(bj::parse(answer.body), bj::parse(OPENAI_CACHED));
    auto calls = rows();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].at("prompt_tokens"), 2000) << "prompt_tokens keeps its meaning";
    EXPECT_DOUBLE_EQ(calls[1].at("cost_usd").as_double(), OPENAI_CACHED_COST);
    EXPECT_EQ(calls[2].at("prompt_tokens"), 12);
    EXPECT_DOUBLE_EQ(calls[2].at("cost_usd").as_double(), m(12, 3.0) + m(40000, 0.3) + m(3000, 3.75) + m(25, 15.0));
    auto cached = cache_rows();
    ASSERT_EQ(cached.size(), 2u);
    EXPECT_EQ(cached[0].at("call_id"), calls[1].at("id"));
    EXPECT_EQ(cached[0].at("cache_read_tokens"), 1500);
    EXPECT_TRUE(cached[0].at("cache_write_tokens").is_null());
    EXPECT_EQ(cached[1].at("cache_read_tokens"), 40000);
    EXPECT_EQ(cached[1].at("cache_write_tokens"), 3000);
}

// A configured cache price that is not a number: without cache pricing the
// call is priced at the entry's input and output as ever; with it, the call
// is still answered and recorded, without a cost.
TEST_F(Accounting, ACachePriceThatIsNotANumberCostsOnlyTheCachePricedCallItsCost) {
    MockServer upstream([](const Received&) { return json_reply(OPENAI_CACHED); });
    const std::string chat = R"({"model": "gpt-test", "messages": [{"role": "user", "content": "hi"}]})";
    const std::string bad = "[pricing.\"openai/gpt-test\"]\ninput = 2.0\noutput = 8.0\ncache_read = \"half\"\n";
    s.write_config(bad);
    EXPECT_EQ(tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat).status, 200);
    s.write_config("[accounting]\ncache_pricing = true\n" + bad);
    EXPECT_EQ(tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat).status, 200);
    auto calls = rows();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_DOUBLE_EQ(calls[0].at("cost_usd").as_double(), m(2000, 2.0) + m(100, 8.0));
    EXPECT_TRUE(calls[1].at("cost_usd").is_null());
    EXPECT_EQ(calls[1].at("prompt_tokens"), 2000);
}

TEST_F(Accounting, BudgetsAndAlertsSeeTheCachePricedCosts) {
    // Priced in full, one call would spend the whole budget; with its cached
    // tokens at their rate it spends a little over half.
    s.write_config(READ + "[budgets]\nhourly = 0.003\ndaily = 0.003\n");
    MockServer upstream([](const Received&) { return json_reply(OPENAI_CACHED); });
    const std::string chat = R"({"model": "gpt-test", "messages": [{"role": "user", "content": "hi"}]})";

    EXPECT_EQ(tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat).status, 200);
    EXPECT_EQ(tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat).status, 200);
    auto refused = tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), chat);

    EXPECT_EQ(refused.status, 429);
    EXPECT_THAT(refused.body, ::testing::HasSubstr("$0.0051 spent of $0.00 limit")) << refused.body;
    auto alerts = tt_test::query(s.db_path(), "SELECT scope, spent FROM alerts WHERE scope = 'hourly'");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_NEAR(alerts[0].at("spent").as_double(), 2 * OPENAI_CACHED_COST, 1e-12);
}

// --- the command line ------------------------------------------------------------

std::string bin() { return std::getenv("TOKENTALLY_BIN"); }

const std::string COMMUNITY = R"({
  "sample_spec": {"input_cost_per_token": 0.0, "output_cost_per_token": 0.0, "litellm_provider": "one of",
                  "mode": "one of chat, embedding, ..."},
  "gpt-import-1": {"input_cost_per_token": 1e-06, "output_cost_per_token": 4e-06,
                   "cache_read_input_token_cost": 1e-07, "litellm_provider": "openai", "mode": "chat"},
  "claude-import-1": {"input_cost_per_token": 3e-06, "output_cost_per_token": 1.5e-05,
                      "cache_read_input_token_cost": 3e-07, "cache_creation_input_token_cost": 3.75e-06,
                      "cache_creation_input_token_cost_above_1hr": 6e-06, "litellm_provider": "anthropic",
                      "mode": "chat"},
  "gemini/gemini-import-1": {"input_cost_per_token": 3e-07, "output_cost_per_token": 2.5e-06,
                             "litellm_provider": "gemini", "mode": "chat"},
  "text-embedding-import": {"input_cost_per_token": 2e-08, "output_cost_per_token": 0.0,
                            "litellm_provider": "openai", "mode": "embedding"}
})";

TEST_F(Accounting, ImportedPricesPriceTheNextCallAndABrokenListChangesNothing) {
    std::string list = s.root + "/community.json";
    std::ofstream(list) << COMMUNITY;
    auto imported = tt_test::run(bin() + " prices import " + list);
    ASSERT_EQ(imported.status, 0) << imported.out;
    EXPECT_THAT(imported.out, ::testing::HasSubstr("Imported the prices of 4 models"));

    auto listed = bj::parse(tt_test::run(bin() + " prices --json").out).as_array();
    auto find = [&](const std::string& id) {
        for (const auto& p : listed)
            if (p.at("model_id").as_string() == id) return p.as_object();
        return bj::object{};
    };
    EXPECT_EQ(find("openai/gpt-import-1"),
              bj::parse(R"({"model_id": "openai/gpt-import-1", "input": 1.0, "output": 4.0, "cache_read": 0.1,
                           "cache_write": null, "cache_write_1h": null, "source": "imported"})"));
    EXPECT_EQ(find("google/gemini-import-1").at("input"), 0.3);
    EXPECT_EQ(find("openai/gpt-4o").at("source"), "built-in");
    EXPECT_EQ(find("openai/text-embedding-import").at("input"), 0.02) << "embedding models are kept";
    // The same list as a table: a price not listed is a dash; the dearer
    // tiers of the built-in prices follow it.
    auto table = tt_test::run(bin() + " prices");
    ASSERT_EQ(table.status, 0) << table.out;
    EXPECT_THAT(table.out, ::testing::ContainsRegex("openai/gpt-import-1 +1 +4 +0.1 +— +— +imported"));
    EXPECT_THAT(table.out, ::testing::HasSubstr(" prompt tokens, "));
    EXPECT_THAT(table.out, ::testing::HasSubstr(": priority, "));
    EXPECT_THAT(table.out, ::testing::HasSubstr("; imported prices from " + s.data + "/prices.json."));

    MockServer upstream([](const Received&) { return json_reply(tt_test::chat_answer()); });
    tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream),
                  R"({"model": "gpt-import-1", "messages": []})");
    EXPECT_DOUBLE_EQ(rows()[0].at("cost_usd").as_double(), m(10, 1.0) + m(5, 4.0));

    // A read price above the input price: refused, entry named, file kept.
    std::string stored = tt_test::read_file(s.data + "/prices.json");
    std::string broken = s.root + "/broken.json";
    std::ofstream(broken) << R"({"gpt-fine": {"input_cost_per_token": 1e-06, "output_cost_per_token": 2e-06},
        "gpt-wrong": {"input_cost_per_token": 1e-06, "output_cost_per_token": 2e-06,
                      "cache_read_input_token_cost": 5e-06, "mode": "chat"}})";
    auto refused = tt_test::run(bin() + " prices import " + broken + " 2>&1");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.out,
                ::testing::HasSubstr("entry \"gpt-wrong\": cache read price 5 is above the input price 1"));
    EXPECT_EQ(tt_test::read_file(s.data + "/prices.json"), stored);
    EXPECT_EQ(tt_test::run(bin() + " prices import " + s.root + "/missing.json 2>/dev/null").status, 1);

    // The models called without a price, with their calls.
    tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream),
                  R"({"model": "acme-nothing", "messages": []})");
    EXPECT_EQ(bj::parse(tt_test::run(bin() + " prices --missing --json").out),
              bj::parse(R"([{"model_id": "acme-nothing", "calls": 1}])"));
}

TEST_F(Accounting, ReadCommandsShowCachedTokensAndSayWhenTotalsArePartial) {
    MockServer upstream([](const Received& r) {
        if (r.body.find("\"stream\"") != std::string::npos) return sse({"data: {\"choices\":[]}\n\n"});
        return json_reply(OPENAI_CACHED);
    });
    s.write_config(READ);
    tt_test::call("POST", app.url("/v1/chat/completions"), to(upstream), R"({"model": "gpt-test", "messages": []})");
    tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), CHAT_BODY);

    auto recent = bj::parse(tt_test::run(bin() + " recent --json").out).as_array();
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_TRUE(recent[0].at("cache_read_tokens").is_null()) << "the stream said nothing about its cache";
    EXPECT_EQ(recent[1].at("cache_read_tokens"), 1500);
    auto summary = tt_test::run(bin() + " summary");
    EXPECT_THAT(summary.out, ::testing::HasSubstr("Cache Rd"));
    EXPECT_THAT(summary.out, ::testing::HasSubstr("1,500"));
    EXPECT_THAT(summary.out, ::testing::HasSubstr("1 call of this window without a cost"));

    s.write_config(PRICES);
    auto plain = bj::parse(tt_test::run(bin() + " recent --json").out).as_array();
    EXPECT_FALSE(plain[1].as_object().contains("cache_read_tokens"));
    EXPECT_THAT(tt_test::run(bin() + " summary").out, ::testing::Not(::testing::HasSubstr("without a cost")));
}

}  // namespace
