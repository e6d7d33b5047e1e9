// Durability: `tokentally serve` killed with SIGKILL in the middle of a
// load. Every answer a client received must have its row in the ledger
// afterwards, and the ledger must open cleanly.
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "support/stream_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace {

namespace http = tokentally::http;
using namespace std::chrono_literals;

constexpr int CLIENTS = 16;
// Clients call until the proxy is gone; the cap only stops a run whose kill never lands.
constexpr int MAX_REQUESTS_PER_CLIENT = 100000;
constexpr int KILL_AFTER_ANSWERS = 1000;

std::string body(const std::string& session, bool streamed) {
    return R"({"model": "gpt-4o", )" + std::string(streamed ? R"("stream": true, )" : "") +
           R"("messages": [{"role": "user", "content": ")" + session + "\"}]}";
}

// With either `[ledger] synchronous` setting.
class Durability : public ::testing::TestWithParam<const char*> {};

TEST_P(Durability, EveryAnswerReceivedBeforeAKillHasItsRow) {
    tt_test::Scratch s;
    s.write_config(std::string("[ledger]\nsynchronous = \"") + GetParam() + "\"\n");
    tt_test::MockServer upstream(tt_test::chat_or_stream);
    tt_test::ServeProcess proc(s.home, s.data, s.root + "/serve.log");

    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::mutex mu;
    std::set<std::string> answered_sessions;
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < MAX_REQUESTS_PER_CLIENT; ++i) {
                std::string session = "d-" + std::to_string(c) + "-" + std::to_string(i);
                bool streamed = i % 2 == 1;
                http::Headers headers{{"X-Tokentally-Target", upstream.url()}, {"X-Tokentally-Session", session}};
                bool ok = false;
                try {
                    if (streamed) {
                        auto a = tt_test::stream_call("POST", proc.url() + "/v1/chat/completions", headers,
                                                      body(session, true));
                        ok = a.status == 200 && a.complete && a.body().find("[DONE]") != std::string::npos;
                    } else {
                        ok = tt_test::call("POST", proc.url() + "/v1/chat/completions", headers, body(session, false))
                                 .status == 200;
                    }
                } catch (const std::exception&) {}
                if (!ok) {
                    ++failed;
                    return;  // the proxy is gone: this client stops
                }
                {
                    std::lock_guard lock(mu);
                    answered_sessions.insert(session);
                }
                ++answered;
            }
        });
    }
    while (answered.load() < KILL_AFTER_ANSWERS && failed.load() == 0) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(failed.load(), 0) << "a call failed before the kill; see " << proc.log_path;
    proc.kill_hard();
    for (auto& t : clients) t.join();
    EXPECT_GT(failed.load(), 0) << "the kill should have landed while clients were still calling";

    SQLite::Database conn(s.db_path(), SQLite::OPEN_READWRITE);
    EXPECT_EQ(conn.execAndGet("PRAGMA integrity_check").getString(), "ok");
    std::set<std::string> recorded;
    SQLite::Statement q(conn, "SELECT session_id FROM calls");
    while (q.executeStep()) recorded.insert(q.getColumn(0).getString());
    std::size_t rows = static_cast<std::size_t>(conn.execAndGet("SELECT COUNT(*) FROM calls").getInt64());

    std::cout << "answers received: " << answered_sessions.size() << ", rows after kill -9: " << rows << "\n";
    ::testing::Test::RecordProperty("answers_received", static_cast<int>(answered_sessions.size()));
    ::testing::Test::RecordProperty("rows_after_kill", static_cast<int>(rows));
    EXPECT_GE(rows, answered_sessions.size());
    EXPECT_EQ(rows, recorded.size()) << "a call was recorded twice";
    for (const auto& session : answered_sessions) EXPECT_TRUE(recorded.count(session)) << session << " has no row";
}

INSTANTIATE_TEST_SUITE_P(Synchronous, Durability, ::testing::Values("normal", "full"));

}  // namespace
