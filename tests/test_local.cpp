// The /ollama relay: complete and newline-delimited answers from a mock
// Ollama server, the rows they leave with their power cost, the headers that
// reach Ollama, the power settings, and the local model list.
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/stream_client.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/local.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

namespace bj = boost::json;
namespace http = tokentally::http;
namespace local = tokentally::local;
using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::MatchesRegex;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

const std::string GENERATED =
    R"({"model": "llama3", "response": "Hi there", "done": true, "prompt_eval_count": 26, "eval_count": 298})";
const std::string TAGS = R"({"models": [{"name": "llama3:latest"}, {"name": "mistral:7b"}]})";

// Streamed lines split across transport chunks, with a blank line, a line
// that is not JSON, a CRLF ending and a last line without its newline.
const std::vector<std::string> NDJSON_CHUNKS = {
    R"({"response": "Hel)",
    "lo\", \"done\": false}\n\n   \n",
    "not json at all\r\n{\"response\": \"!\", \"done\": false}\n",
    R"({"done": true, "prompt_eval_count": 7, "eval_count": 9})",
};
const std::string NDJSON_RELAYED =
    "{\"response\": \"Hello\", \"done\": false}\n"
    "not json at all\n"
    "{\"response\": \"!\", \"done\": false}\n"
    "{\"done\": true, \"prompt_eval_count\": 7, \"eval_count\": 9}\n";

MockReply ollama(const Received& r) {
    MockReply reply;
    auto body = tokentally::json::parse_object(r.body);
    bool stream = !body || !body->contains("stream") || tokentally::json::truthy(body->at("stream"));
    if (r.target.ends_with("/api/tags")) {
        reply.body = TAGS;
    } else if (r.target == "/api/missing") {
        reply.status = 404;
        reply.body = R"({"error": "model 'nope' not found"})";
    } else if (r.method == "DELETE") {
        reply.status = 204;
    } else if (r.target == "/api/plain") {
        reply.headers = {{"Content-Type", "text/plain"}};
        reply.body = "pong";
    } else if (!stream) {
        reply.body = GENERATED;
    } else {
        reply.headers = {{"Content-Type", "application/x-ndjson"}};
        reply.chunks = NDJSON_CHUNKS;
        reply.chunk_delay = 20ms;
    }
    return reply;
}

class Local : public ::testing::Test {
protected:
    void point_at(const MockServer& m, const std::string& suffix = "", const std::string& extra = "") {
        s.write_config("[local]\nollama_base_url = \"" + m.url() + suffix + "\"\n" + extra);
    }
    bj::object only_row() {
        auto rows = tt_test::call_rows(s);
        EXPECT_EQ(rows.size(), 1u);
        return rows.empty() ? bj::object{} : rows[0].as_object();
    }
    tt_test::Scratch s;
    tt_test::LogCapture logs;
};

// 40 W at $0.12 per watt-hour, for the elapsed time the row states.
void expect_power_cost(const bj::object& row) {
    double elapsed = row.at("elapsed_s").as_double();
    EXPECT_NEAR(row.at("cost_usd").as_double(), elapsed / 3600.0 * 40.0 * 0.12, 1e-12);
}

TEST_F(Local, PowerCostIsWattHoursTimesTheRate) {
    EXPECT_NEAR(local::_calc_power_cost(9.0), 0.012, 1e-12);

    s.write_config("[local]\ngpu_watts = 250\nelectricity_rate = 0.3\n");
    EXPECT_NEAR(local::_calc_power_cost(36.0), 0.75, 1e-12);

    s.write_config("[local]\ngpu_watts = \" 250 \"\nelectricity_rate = \"0.3\"\n");
    EXPECT_NEAR(local::_calc_power_cost(36.0), 0.75, 1e-12) << "numeric texts are read as numbers";

    for (const char* unusable : {"local = \"not a table\"\n", "[local\nbroken = \n"}) {
        s.write_config(unusable);
        EXPECT_EQ(local::_ollama_base(), "http://127.0.0.1:11434") << unusable;
        EXPECT_NEAR(local::_calc_power_cost(9.0), 0.012, 1e-12) << unusable;
    }

    s.write_config("[local]\ngpu_watts = \"lots\"\n");
    EXPECT_THROW(local::_calc_power_cost(1.0), std::runtime_error);
    s.write_config("[local]\nelectricity_rate = [1]\n");
    EXPECT_THROW(local::_calc_power_cost(1.0), std::runtime_error);
}

TEST_F(Local, CompleteAnswersAreRelayedAndRecordedWithTheirStatus) {
    MockServer upstream(ollama);
    point_at(upstream, "//");
    tt_test::ProxyServer app;
    const http::Headers who{{"X-Tokentally-Tag", "proj"}, {"X-Tokentally-Session", "s1"}};
    const std::string body = R"({"model": "llama3", "prompt": "hi", "stream": false})";

    auto ok = tt_test::stream_call("POST", app.url("/ollama/api/generate?keep=1"), who, body);
    ASSERT_TRUE(ok.complete) << ok.error;
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(bj::parse(ok.body()), bj::parse(GENERATED));
    ASSERT_EQ(upstream.count(), 1u);
    EXPECT_EQ(upstream.received()[0].target, "/api/generate") << "one slash before the path, no query";
    EXPECT_EQ(upstream.received()[0].body, body);

    auto row = only_row();
    EXPECT_EQ(row.at("model_id"), "ollama/llama3");
    EXPECT_EQ(row.at("tag"), "proj");
    EXPECT_EQ(row.at("session_id"), "s1");
    EXPECT_EQ(row.at("prompt_tokens"), 26);
    EXPECT_EQ(row.at("completion_tokens"), 298);
    EXPECT_EQ(row.at("status"), 200);
    EXPECT_EQ(row.at("streamed"), 0);
    expect_power_cost(row);
    EXPECT_THAT(logs.lines(), Contains(MatchesRegex(R"(info tokentally\.local: \[proj\|s1\] ✓ ollama/llama3  )"
                                                    R"(in=26 out=298  power=\$0\.[0-9]{6}  [0-9]+\.[0-9]{2}s)")));

    auto missing =
        tt_test::stream_call("POST", app.url("/ollama/api/missing"), who, R"({"model": "nope", "stream": false})");
    EXPECT_EQ(missing.status, 404);
    EXPECT_THAT(missing.body(), ::testing::HasSubstr("not found"));
    auto plain = tt_test::stream_call("POST", app.url("/ollama/api/plain"), who, R"({"stream": 0})");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(plain.body(), "{}") << "an answer that is not JSON becomes an empty object";

    auto deleted =
        tt_test::stream_call("DELETE", app.url("/ollama/api/delete"), who, R"({"model": "old", "stream": false})");
    EXPECT_EQ(deleted.status, 204) << deleted.error;
    EXPECT_EQ(deleted.body(), "");

    auto rows = tt_test::call_rows(s);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3].at("status"), 204);
    EXPECT_EQ(rows[1].at("status"), 404);
    EXPECT_EQ(rows[1].at("model_id"), "ollama/nope");
    EXPECT_EQ(rows[2].at("model_id"), "ollama/unknown");
    EXPECT_TRUE(rows[2].at("prompt_tokens").is_null());
    EXPECT_THAT(logs.lines(), Contains(MatchesRegex(R"(.*\] ✓ None  in=None out=None  power=.*)")));
}

TEST_F(Local, StreamedAnswersAreRelayedLineByLineAndCountedFromTheDoneLine) {
    MockServer upstream(ollama);
    point_at(upstream);
    tt_test::ProxyServer app;

    auto generate = tt_test::stream_call("POST", app.url("/ollama/api/generate"), {{"X-Tokentally-Session", "g"}},
                                         R"({"model": "llama3", "prompt": "hi"})");
    auto chat = tt_test::stream_call("POST", app.url("/ollama/api/chat"), {{"X-Tokentally-Session", "c"}},
                                     R"({"model": "llama3", "messages": [], "stream": true})");

    for (const auto* answer : {&generate, &chat}) {
        ASSERT_TRUE(answer->complete) << answer->error;
        EXPECT_EQ(answer->status, 200);
        ASSERT_NE(answer->header("content-type"), nullptr);
        EXPECT_EQ(*answer->header("content-type"), "application/x-ndjson");
        EXPECT_EQ(answer->body(), NDJSON_RELAYED);
    }
    auto rows = tt_test::call_rows(s);
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& r : rows) {
        const auto& row = r.as_object();
        EXPECT_EQ(row.at("model_id"), "ollama/llama3");
        EXPECT_EQ(row.at("prompt_tokens"), 7);
        EXPECT_EQ(row.at("completion_tokens"), 9);
        EXPECT_EQ(row.at("status"), 200);
        EXPECT_EQ(row.at("streamed"), 1);
        EXPECT_GE(row.at("elapsed_s").as_double(), 0.06) << "elapsed spans the relay";
        expect_power_cost(row);
    }
    EXPECT_THAT(logs.lines(), Contains(MatchesRegex(R"(info tokentally\.local: \[default\|g\] ✓ ollama/llama3 )"
                                                    R"(\(streamed\)  in=7 out=9  power=\$0\.[0-9]{6}  [0-9.]+s)")));
}

// As for a provider's answers: a client must not take for whole an answer
// the ledger will never show.
TEST_F(Local, AnAnswerWhoseRowCannotBeWrittenFailsAndItsStreamEndsShort) {
    MockServer upstream(ollama);
    point_at(upstream);
    tokentally::ledger::init_db(*tt_test::store());
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE)
        .exec("CREATE TRIGGER refuse BEFORE INSERT ON calls BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    tt_test::ProxyServer app;

    auto streamed = tt_test::stream_call("POST", app.url("/ollama/api/generate"), {{"X-Tokentally-Session", "g"}},
                                         R"({"model": "llama3", "prompt": "hi"})");
    EXPECT_EQ(streamed.status, 200);
    EXPECT_EQ(streamed.body(), NDJSON_RELAYED) << "every line was relayed before the end";
    EXPECT_FALSE(streamed.complete) << "the stream must stop short of its final chunk";
    EXPECT_TRUE(logs.contains("error tokentally.local: [default|g] streamed call not recorded: disk says no"))
        << logs.text();

    auto complete =
        tt_test::stream_call("POST", app.url("/ollama/api/generate"), {}, R"({"model": "llama3", "stream": false})");
    EXPECT_EQ(complete.status, 500);
    EXPECT_TRUE(tt_test::call_rows(s).empty());
}

TEST(DoneLineCounts, OnlyTheDoneLineCountsAndWhatIsNoCountIsZero) {
    EXPECT_FALSE(local::done_line_counts(R"({"done": false, "eval_count": 5})"));
    EXPECT_FALSE(local::done_line_counts(R"(["done", true])"));
    EXPECT_FALSE(local::done_line_counts("not json"));
    auto read = [](const std::string& prompt, const std::string& completion) {
        auto c = local::done_line_counts(R"({"done": true, "prompt_eval_count": )" + prompt + R"(, "eval_count": )" +
                                         completion + "}");
        return c ? std::pair(c->prompt_tokens, c->completion_tokens) : std::pair(-100L, -100L);
    };
    EXPECT_EQ(read("26", "298.9"), std::pair(26L, 298L));
    EXPECT_EQ(read("-3", "-0.5"), std::pair(0L, 0L)) << "a negative count would lower the ledger's totals";
    EXPECT_EQ(read("18446744073709551615", "1e300"), std::pair(0L, 0L));
    EXPECT_EQ(read("\"7\"", "null"), std::pair(0L, 0L));
}

TEST_F(Local, ABodilessGetStreamsAndIsRecordedWithoutCounts) {
    MockServer upstream(ollama);
    point_at(upstream);
    tt_test::ProxyServer app;

    auto tags = tt_test::stream_call("GET", app.url("/ollama/api/tags"), {}, "");

    ASSERT_TRUE(tags.complete) << tags.error;
    EXPECT_EQ(tags.body(), TAGS + "\n");
    auto row = only_row();
    EXPECT_EQ(row.at("model_id"), "ollama/unknown");
    EXPECT_TRUE(row.at("prompt_tokens").is_null());
    EXPECT_TRUE(row.at("completion_tokens").is_null());
    EXPECT_THAT(std::string(row.at("session_id").as_string()), MatchesRegex("local-[0-9]{10}"));
    EXPECT_THAT(logs.lines(), Contains(MatchesRegex(R"(.*\] ✓ None \(streamed\)  in=0 out=0  power=.*)")));
}

TEST_F(Local, ControlHostAndLengthHeadersNeverReachOllama) {
    MockServer upstream(ollama);
    point_at(upstream);
    tt_test::ProxyServer app;
    const http::Headers sent{{"X-TOKENTALLY-TAG", "proj"},
                             {"x-Tokentally-Session", "abc"},
                             {"X-Tokentally-Anything", "1"},
                             {"X-Custom", "kept"},
                             {"Authorization", "Bearer local"}};

    auto answer =
        tt_test::stream_call("POST", app.url("/ollama/api/generate"), sent, R"({"model": "llama3", "stream": false})");

    ASSERT_EQ(answer.status, 200) << answer.error;
    ASSERT_EQ(upstream.count(), 1u);
    const auto got = upstream.received()[0];
    for (const auto& [name, value] : got.headers) EXPECT_FALSE(http::lower(name).starts_with("x-tokentally")) << name;
    ASSERT_NE(got.header("Host"), nullptr);
    EXPECT_EQ(*got.header("Host"), "127.0.0.1:" + std::to_string(upstream.port()))
        << "the proxy's own Host stays behind";
    ASSERT_NE(got.header("Content-Length"), nullptr);
    EXPECT_EQ(*got.header("Content-Length"), std::to_string(got.body.size()));
    ASSERT_NE(got.header("X-Custom"), nullptr);
    EXPECT_EQ(*got.header("X-Custom"), "kept");
    ASSERT_NE(got.header("Authorization"), nullptr);
    EXPECT_EQ(*got.header("Authorization"), "Bearer local");
    auto row = only_row();
    EXPECT_EQ(row.at("tag"), "proj");
    EXPECT_EQ(row.at("session_id"), "abc");
}

TEST_F(Local, UnusablePowerSettingsFailTheCallBeforeOllamaIsAsked) {
    MockServer upstream(ollama);
    point_at(upstream, "", "gpu_watts = \"lots\"\n");
    tt_test::ProxyServer app;

    auto standard =
        tt_test::stream_call("POST", app.url("/ollama/api/generate"), {}, R"({"model": "llama3", "stream": false})");
    auto streamed = tt_test::stream_call("POST", app.url("/ollama/api/generate"), {}, R"({"model": "llama3"})");

    for (const auto* answer : {&standard, &streamed}) {
        EXPECT_EQ(answer->status, 500);
        EXPECT_EQ(answer->body(), "Internal Server Error");
    }
    EXPECT_EQ(upstream.count(), 0u);
    EXPECT_TRUE(tt_test::call_rows(s).empty());
}

TEST_F(Local, AnOllamaThatIsDownOrLeavesRecordsNothing) {
    std::string nowhere;
    {
        MockServer closed(ollama);
        nowhere = closed.url();
    }
    s.write_config("[local]\nollama_base_url = \"" + nowhere + "\"\n");
    tt_test::ProxyServer app;

    auto standard =
        tt_test::stream_call("POST", app.url("/ollama/api/generate"), {}, R"({"model": "llama3", "stream": false})");
    auto streamed = tt_test::stream_call("POST", app.url("/ollama/api/generate"), {}, R"({"model": "llama3"})");
    EXPECT_EQ(standard.status, 500);
    EXPECT_EQ(streamed.status, 200);
    EXPECT_TRUE(streamed.complete) << streamed.error;
    EXPECT_EQ(streamed.body(), "");

    MockServer slow([](const Received&) {
        MockReply r;
        r.chunks = {"{\"response\": \"a\"}\n", "{\"done\": true}\n"};
        r.chunk_delay = 60000ms;
        return r;
    });
    s.write_config("[local]\nollama_base_url = \"" + slow.url() + "\"\n");
    auto left = tt_test::stream_call("POST", app.url("/ollama/api/generate"), {}, R"({"model": "llama3"})", 1);
    EXPECT_EQ(left.pieces.size(), 1u) << left.error;
    EXPECT_TRUE(tt_test::eventually([&] { return slow.open_connections() == 0; }))
        << "the Ollama connection outlived its client";
    EXPECT_TRUE(tt_test::call_rows(s).empty());
}

std::vector<std::string> models_now() {
    boost::asio::io_context ioc;
    auto names = boost::asio::co_spawn(ioc, local::list_local_models(), boost::asio::use_future);
    ioc.run();
    return names.get();
}

TEST_F(Local, TheModelListIsEmptyOnAnyFailure) {
    MockServer upstream(ollama);
    point_at(upstream, "/");
    EXPECT_EQ(models_now(), (std::vector<std::string>{"llama3:latest", "mistral:7b"}));
    EXPECT_EQ(upstream.received().back().target, "//api/tags") << "the base is used as configured";

    MockServer odd([](const Received& r) {
        MockReply reply;
        reply.body = r.target == "/bad/api/tags" ? "not json" : R"({"models": [{"name": "a"}, {"size": 1}]})";
        return reply;
    });
    for (const std::string& base : {odd.url() + "/bad", odd.url() + "/noname"}) {
        s.write_config("[local]\nollama_base_url = \"" + base + "\"\n");
        EXPECT_TRUE(models_now().empty()) << base;
    }
    std::string nowhere;
    {
        MockServer closed(ollama);
        nowhere = closed.url();
    }
    s.write_config("[local]\nollama_base_url = \"" + nowhere + "\"\n");
    EXPECT_TRUE(models_now().empty());
}

TEST_F(Local, TheModelsCommandPrintsOneNamePerLine) {
    const char* bin = std::getenv("TOKENTALLY_BIN");
    ASSERT_NE(bin, nullptr);
    MockServer upstream(ollama);
    point_at(upstream);

    auto listed = tt_test::run(std::string(bin) + " models");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, "llama3:latest\nmistral:7b\n");
    EXPECT_EQ(tt_test::run(std::string(bin) + " models --json").out, "[\"llama3:latest\", \"mistral:7b\"]\n");

    std::string nowhere;
    {
        MockServer closed(ollama);
        nowhere = closed.url();
    }
    s.write_config("[local]\nollama_base_url = \"" + nowhere + "\"\n");
    auto down = tt_test::run(std::string(bin) + " models");
    EXPECT_EQ(down.status, 0);
    EXPECT_EQ(down.out, "");
}

}  // namespace
