// Streamed provider calls relayed through the proxy: pieces reach the client
// as the provider sends them, the call is recorded once the stream has ended,
// and a stream that fails or is abandoned leaves neither a row nor an open
// connection behind.
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/stream_client.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

namespace {

namespace bj = boost::json;
namespace http = tokentally::http;
namespace proxy = tokentally::proxy;
using namespace std::chrono_literals;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

const std::string STREAM_BODY = R"({"model": "gpt-4o", "stream": true, "messages": []})";

std::vector<std::string> sse_events(int n) {
    std::vector<std::string> events;
    for (int i = 1; i <= n; ++i) events.push_back("data: {\"delta\": \"part " + std::to_string(i) + "\"}\n\n");
    return events;
}

MockReply sse_reply(std::vector<std::string> chunks, std::chrono::milliseconds delay) {
    MockReply r;
    r.headers = {{"Content-Type", "text/event-stream"}, {"X-Request-Id", "req-1"}};
    r.chunks = std::move(chunks);
    r.chunk_delay = delay;
    return r;
}

http::Headers to(const MockServer& upstream, http::Headers extra = {}) {
    extra.emplace_back("X-Tokentally-Target", upstream.url());
    return extra;
}

class Streaming : public ::testing::Test {
protected:
    tt_test::Scratch s;
    tt_test::LogCapture logs;
};

TEST_F(Streaming, EachChunkReachesTheClientAsItIsSentAndTheCallIsRecordedAfterTheLast) {
    const auto events = sse_events(5);
    // The provider sends each event only once the client holds every earlier
    // one: a relay that held an event back until more arrived would stall
    // here until the wait gives up, and the answer would come out late.
    std::atomic<std::size_t> received{0};
    std::atomic<int> held_back{0};
    MockServer upstream([&](const Received&) {
        MockReply reply = sse_reply(events, 0ms);
        reply.before_chunk = [&](std::size_t i) {
            std::size_t before = 0;
            for (std::size_t k = 0; k < i; ++k) before += events[k].size();
            if (!tt_test::eventually([&] { return received.load() >= before; }, 10000ms)) ++held_back;
            // A pause before the last event, which the elapsed time must include.
            if (i + 1 == events.size()) std::this_thread::sleep_for(300ms);
        };
        return reply;
    });
    tt_test::ProxyServer app;

    auto answer = tt_test::stream_call("POST", app.url("/v1/chat/completions"),
                                       to(upstream, {{"X-Tokentally-Tag", "proj"}, {"X-Tokentally-Session", "s1"}}),
                                       STREAM_BODY, tt_test::READ_ALL, &received);

    ASSERT_TRUE(answer.complete) << answer.error;
    EXPECT_EQ(answer.status, 200);
    ASSERT_NE(answer.header("content-type"), nullptr);
    EXPECT_EQ(*answer.header("content-type"), "text/event-stream");
    EXPECT_EQ(answer.header("x-request-id"), nullptr) << "no provider header is passed back on a stream";
    std::string all;
    for (const auto& e : events) all += e;
    ASSERT_EQ(answer.body(), all);
    EXPECT_EQ(held_back.load(), 0) << "an event reached the client only after the next one was sent";

    auto rows = tt_test::call_rows(s);
    ASSERT_EQ(rows.size(), 1u);
    const auto& row = rows[0].as_object();
    EXPECT_EQ(row.at("model_id"), "gpt-4o");
    EXPECT_EQ(row.at("tag"), "proj");
    EXPECT_EQ(row.at("session_id"), "s1");
    EXPECT_TRUE(row.at("prompt_tokens").is_null());
    EXPECT_TRUE(row.at("completion_tokens").is_null());
    EXPECT_TRUE(row.at("cost_usd").is_null());
    EXPECT_EQ(row.at("status"), 200);
    EXPECT_EQ(row.at("streamed"), 1);
    EXPECT_GE(row.at("elapsed_s").as_double(), 0.3) << "elapsed spans the whole stream";
    EXPECT_THAT(logs.lines(),
                ::testing::Contains(::testing::MatchesRegex(
                    R"(info tokentally\.proxy: \[proj\|s1\] ✓ gpt-4o \(streamed\)  [0-9]+\.[0-9][0-9]s)")));
}

TEST_F(Streaming, ProviderErrorsAndEmptyBodiesAreRelayedAsTwoHundredStreams) {
    MockServer upstream([](const Received& r) {
        MockReply reply;
        if (r.target == "/v1/denied") {
            reply.status = 401;
            reply.body = R"({"error": {"message": "Incorrect API key", "type": "invalid_request_error"}})";
        } else {
            reply = sse_reply({}, 0ms);
        }
        return reply;
    });
    tt_test::ProxyServer app;
    app.services->bindings.check_routing = [](const std::string&, const bj::object&, const std::string&) {
        return bj::object{{"action", "warn"}, {"reason", "a cheaper model fits"}, {"suggested", "gpt-4o-mini"}};
    };

    auto denied = tt_test::stream_call("POST", app.url("/v1/denied"), to(upstream), STREAM_BODY);
    auto empty = tt_test::stream_call("POST", app.url("/v1/empty"), to(upstream), STREAM_BODY);

    ASSERT_TRUE(denied.complete) << denied.error;
    EXPECT_EQ(denied.status, 200);
    EXPECT_THAT(denied.body(), ::testing::HasSubstr("Incorrect API key"));
    ASSERT_NE(denied.header("X-Tokentally-Suggest"), nullptr);
    EXPECT_EQ(*denied.header("X-Tokentally-Suggest"), "gpt-4o-mini");
    EXPECT_EQ(denied.header("X-Tokentally-Cache"), nullptr);

    ASSERT_TRUE(empty.complete) << empty.error;
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body(), "");

    auto rows = tt_test::call_rows(s);
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.at("status"), 200);
        EXPECT_EQ(row.at("streamed"), 1);
    }
}

TEST_F(Streaming, StreamedRequestsNeitherReadNorWriteTheCaches) {
    s.write_config("[features]\nsemantic_cache = true\n");
    std::atomic<int> semantic_uses{0};
    tt_test::ProxyServer app;
    app.services->bindings.semantic_lookup = [&](tokentally::store::Store&, const bj::object&, const std::string&) {
        ++semantic_uses;
        return std::optional<bj::object>(bj::object{{"cached", true}});
    };
    app.services->bindings.semantic_store = [&](tokentally::store::Store&, const bj::object&, const std::string&,
                                                const bj::value&, double) { ++semantic_uses; };
    MockServer upstream([](const Received&) { return sse_reply(sse_events(2), 0ms); });

    for (int i = 0; i < 2; ++i) {
        auto answer = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), STREAM_BODY);
        ASSERT_TRUE(answer.complete) << answer.error;
        EXPECT_EQ(answer.header("X-Tokentally-Cache"), nullptr);
    }

    EXPECT_EQ(upstream.count(), 2u) << "the repeated stream must be forwarded again";
    EXPECT_EQ(semantic_uses.load(), 0);
    auto cached = tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'exact_cache'");
    if (!cached.empty()) {
        EXPECT_TRUE(tt_test::query(s.db_path(), "SELECT * FROM exact_cache").empty());
    }
}

TEST_F(Streaming, AnUpstreamThatFailsEndsTheClientsBodyCleanlyAndRecordsNothing) {
    MockServer upstream([](const Received&) {
        MockReply r;
        r.raw =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
            "9\r\ndata: 1\n\n\r\n";  // then the connection drops before the last chunk
        return r;
    });
    tt_test::ProxyServer app;
    std::string nowhere;
    {
        MockServer closed([](const Received&) { return MockReply{}; });
        nowhere = closed.url();
    }

    auto reset = tt_test::stream_call("POST", app.url("/v1/chat/completions"), to(upstream), STREAM_BODY);
    auto unreachable =
        tt_test::stream_call("POST", app.url("/v1/chat/completions"), {{"X-Tokentally-Target", nowhere}}, STREAM_BODY);

    EXPECT_TRUE(reset.complete) << reset.error;
    EXPECT_EQ(reset.status, 200);
    EXPECT_EQ(reset.body(), "data: 1\n\n");
    EXPECT_TRUE(unreachable.complete) << unreachable.error;
    EXPECT_EQ(unreachable.status, 200);
    EXPECT_EQ(unreachable.body(), "");
    EXPECT_TRUE(tt_test::call_rows(s).empty());
    EXPECT_FALSE(logs.contains("(streamed)"));
}

TEST_F(Streaming, AClientLeavingWhileTheProviderIsQuietClosesTheUpstreamAtOnce) {
    MockServer upstream([](const Received& r) {
        MockReply reply = sse_reply(sse_events(3), 60000ms);
        if (r.target == "/v1/thinking") reply.delay = 60000ms;  // not even a status line yet
        return reply;
    });
    tt_test::ProxyServer app;

    // The provider's next bytes are seconds away: only watching the client
    // socket can notice the hang-up before then.
    for (auto [path, pieces] : {std::pair{"/v1/chat/completions", 1u}, std::pair{"/v1/thinking", 0u}}) {
        auto answer = tt_test::stream_call("POST", app.url(path), to(upstream), STREAM_BODY, pieces);
        ASSERT_EQ(answer.status, 200) << answer.error;
        ASSERT_EQ(answer.pieces.size(), pieces) << answer.error;
        EXPECT_TRUE(tt_test::eventually([&] { return upstream.open_connections() == 0; }))
            << path << ": the upstream connection outlived its client";
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(tt_test::call_rows(s).empty());
}

TEST_F(Streaming, ManyClientsLeavingHalfwayLeaveNoSocketsBehind) {
    // Each client leaves after two events, 20 ms in; the stream runs on for
    // seconds so that a client slowed down by a loaded machine still leaves
    // before its end. (A stream that ends first is a whole call, recorded,
    // and no longer a client leaving halfway.) The provider stops sending
    // as soon as the proxy lets go of its connection, so the length costs
    // no time.
    MockServer upstream([](const Received&) { return sse_reply(sse_events(500), 20ms); });
    tt_test::ProxyServer app;
    const int before = tt_test::open_sockets();

    const http::ClientRequest req{"POST", app.url("/v1/chat/completions"), to(upstream), STREAM_BODY};
    std::size_t halfway = 0;
    for (int batch = 0; batch < 8; ++batch)
        for (const auto& answer : tt_test::stream_calls(25, req, 2)) halfway += answer.pieces.size() == 2;
    EXPECT_EQ(halfway, 200u) << "every client should have read part of its stream";

    EXPECT_TRUE(tt_test::eventually([&] { return upstream.open_connections() == 0; }))
        << upstream.open_connections() << " upstream connections still open";
    EXPECT_TRUE(tt_test::eventually([&] { return tt_test::open_sockets() <= before; }))
        << tt_test::open_sockets() << " sockets open, " << before << " before";
    EXPECT_TRUE(tt_test::call_rows(s).empty());
}

}  // namespace
