// Rate limits: their windows and Retry-After on a clock the test moves, the
// settings and their overrides, what memory keeps of many tags, and the
// 429 through the running proxy (not forwarded, not recorded, counted in
// /metrics, the dashboard and `summary`), with calls in flight held by a
// provider that answers only when the test lets it.
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/spend.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace bj = boost::json;
namespace http = tokentally::http;
namespace limits = tokentally::limits;
namespace proxy = tokentally::proxy;
namespace store = tokentally::store;
using ::testing::HasSubstr;

namespace {

// A clock that moves only when the test says.
struct TestClock {
    std::shared_ptr<std::atomic<double>> at = std::make_shared<std::atomic<double>>(1000.25);
    limits::Clock clock() const {
        return [at = at] { return at->load(); };
    }
    void advance(double seconds) const { at->store(at->load() + seconds); }
};

// A limits state on `clock`, counting refusals in the test's store.
std::shared_ptr<limits::State> state(const TestClock& clock) { return limits::make(tt_test::store(), clock.clock()); }

// Admits a call of `tag` (and `key`): the slot when it passed, else the refusal.
struct Outcome {
    std::shared_ptr<limits::Slot> slot;
    std::optional<limits::Refusal> refusal;
};
Outcome try_call(const std::shared_ptr<limits::State>& s, const std::string& tag,
                 const std::optional<std::string>& key = std::nullopt) {
    auto a = limits::admit(s, tag, key);
    return {a.slot, a.refusal};
}

// Tells the state that a call of `tag` and `key` was recorded with `tokens`.
void recorded(limits::State& s, const std::string& tag, std::int64_t tokens,
              const std::optional<std::string>& key = std::nullopt) {
    store::CallRecord rec{.tag = tag, .prompt_tokens = tokens, .completion_tokens = 0, .key = key};
    const store::Committed batch[] = {{&rec, {1, 0.0}}};
    limits::committed(s, batch);
}

}  // namespace

TEST(Limits, RequestsPerMinuteSlideOverTheLastMinuteAndSayWhenToRetry) {
    tt_test::Scratch s;
    s.write_config("[limits]\nrpm = 3\n");
    TestClock clock;
    auto st = state(clock);
    for (double gap : {0.0, 10.0, 10.0}) {  // calls at 1000.25, 1010.25, 1020.25
        clock.advance(gap);
        EXPECT_TRUE(try_call(st, "a").slot);
    }
    clock.advance(9.5);  // 1029.75
    auto refused = try_call(st, "a").refusal;
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->limit, "rpm");
    EXPECT_EQ(refused->scope, "tag:a");
    EXPECT_EQ(refused->retry_after, 31) << "the first call's second leaves the window at 1060";
    EXPECT_EQ(refused->message, "Tag [a] rpm limit reached: 3 requests in the last 60 s (limit 3). Retry after 31 s.");
    EXPECT_TRUE(try_call(st, "b").slot) << "each tag has its own window";

    clock.advance(30.25);  // 1060.0: one call has left
    EXPECT_TRUE(try_call(st, "a").slot);
    auto again = try_call(st, "a").refusal;
    ASSERT_TRUE(again);
    EXPECT_EQ(again->retry_after, 10) << "refused calls do not count; the next to leave is the one of 1010";
    clock.advance(120);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(try_call(st, "a").slot);
    EXPECT_EQ(try_call(st, "a").refusal->retry_after, 60) << "all in the current second: at most a minute";
}

TEST(Limits, TokensOfRecordedCallsAndCallsInFlightAndCancelledCalls) {
    tt_test::Scratch s;
    s.write_config("[limits]\ntpm = 1000\nmax_parallel = 2\n");
    TestClock clock;
    auto st = state(clock);
    recorded(*st, "a", 600);
    clock.advance(5);
    EXPECT_TRUE(try_call(st, "a").slot) << "600 of 1000 tokens";
    recorded(*st, "a", 400);
    auto refused = try_call(st, "a").refusal;
    ASSERT_TRUE(refused) << "the count has reached the limit";
    EXPECT_EQ(refused->limit, "tpm");
    EXPECT_EQ(refused->retry_after, 55) << "once the 600 tokens have left, 400 remain";
    clock.advance(55);
    EXPECT_TRUE(try_call(st, "a").slot);

    auto first = try_call(st, "b").slot, second = try_call(st, "b").slot;
    ASSERT_TRUE(first && second);
    auto busy = try_call(st, "b").refusal;
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->limit, "max_parallel");
    EXPECT_EQ(busy->retry_after, 1);
    EXPECT_EQ(busy->message, "Tag [b] max_parallel limit reached: 2 calls in flight (limit 2). Retry after 1 s.");
    first->release();
    EXPECT_TRUE(try_call(st, "b").slot) << "a slot that goes is released too";

    s.write_config("[limits]\nrpm = 1\n");
    auto cancelled = try_call(st, "c").slot;
    ASSERT_TRUE(cancelled);
    cancelled->cancel();  // refused by a budget after all: not one of the minute's requests
    EXPECT_TRUE(try_call(st, "c").slot);
    EXPECT_TRUE(try_call(st, "c").refusal);
}

TEST(Limits, TagAndKeyTablesOverrideOnlyWhatTheyNameAndZeroIsNoLimit) {
    tt_test::Scratch s;
    s.write_config(
        "[limits]\nrpm = 2\ntpm = 50\n[limits.tags.batch]\nrpm = 4\n[limits.keys.ci]\nrpm = 1\n"
        "[limits.tags.free]\nrpm = 0\ntpm = 0\n");
    TestClock clock;
    auto st = state(clock);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(try_call(st, "batch").slot);
    EXPECT_TRUE(try_call(st, "batch").refusal);
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(try_call(st, "other").slot);
    EXPECT_EQ(try_call(st, "other").refusal->limit, "rpm");
    recorded(*st, "fresh", 50);
    EXPECT_EQ(try_call(st, "fresh").refusal->limit, "tpm") << "the tag's table leaves tpm to [limits]";
    auto free = limits::admit(st, "free", std::nullopt);
    EXPECT_FALSE(free.refusal);
    EXPECT_FALSE(free.slot) << "no limit applies: nothing is tracked";

    // A key's limits come on top of its call's tag limits, whatever tag it sends.
    EXPECT_TRUE(try_call(st, "x", "ci").slot);
    auto by_key = try_call(st, "y", "ci").refusal;
    ASSERT_TRUE(by_key);
    EXPECT_EQ(by_key->scope, "key:ci");
    EXPECT_EQ(by_key->key, "ci");
    EXPECT_THAT(by_key->message, HasSubstr("Key [ci] rpm limit reached"));
    EXPECT_TRUE(try_call(st, "y", "alice").slot) << "a key without a table has only its tag's limits";

    for (const auto& [toml, named] :
         std::vector<std::pair<std::string, std::string>>{{"[limits]\nrpm = -1\n", "limits.rpm"},
                                                          {"[limits]\nrmp = 3\n", "limits.rmp"},
                                                          {"[limits.tags.t]\ntpm = \"lots\"\n", "limits.tags.t.tpm"},
                                                          {"[limits]\ntags = 3\n", "tags"}}) {
        s.write_config(toml);
        try {
            limits::admit(st, "t", std::nullopt);
            ADD_FAILURE() << toml;
        } catch (const std::exception& e) {
            EXPECT_THAT(e.what(), HasSubstr(named)) << toml;
        }
    }
}

TEST(Limits, TagsBeyondTheTrackedOnesShareAWindowUntilIdleOnesGo) {
    tt_test::Scratch s;
    s.write_config("[limits]\nrpm = 1\n[limits.tags.own]\nrpm = 1\n");
    TestClock clock;
    auto st = state(clock);
    for (std::size_t i = 0; i < limits::MAX_TRACKED_TAGS; ++i) ASSERT_TRUE(try_call(st, "t" + std::to_string(i)).slot);
    EXPECT_TRUE(try_call(st, "invented-1").slot);
    auto shared = try_call(st, "invented-2").refusal;
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->scope, limits::OTHER_TAGS);
    EXPECT_TRUE(try_call(st, "own").slot) << "a tag with a table of its own always has its window";

    clock.advance(61);  // every window is empty now: they go, and new tags get their own again
    EXPECT_TRUE(try_call(st, "invented-2").slot);
    EXPECT_EQ(try_call(st, "invented-2").refusal->scope, "tag:invented-2");
}

namespace {

struct LimitsProxyTest : ::testing::Test {
    tt_test::Scratch scratch;
    tt_test::LogCapture logs;
    TestClock clock;
    std::shared_ptr<limits::State> st = state(clock);
    tt_test::MockServer mock{tt_test::priced_answer};
    std::unique_ptr<tt_test::RunningApp> app;

    void serve(const std::string& toml) {
        scratch.write_config(toml);
        app = std::make_unique<tt_test::RunningApp>(
            proxy::make_app(proxy::make_services(tt_test::store(), proxy::load_access(true), st)));
    }
    http::ClientResponse post(const std::string& content, http::Headers headers = {}) {
        return tt_test::post_chat(*app, mock, tt_test::chat_body(content), std::move(headers));
    }
    std::size_t rows() { return tt_test::query(scratch.db_path(), "SELECT id FROM calls").size(); }
};

}  // namespace

TEST_F(LimitsProxyTest, TheCallOverALimitIs429WithRetryAfterNeitherForwardedNorRecordedAndCounted) {
    serve("[limits]\nrpm = 3\n[limits.tags.batch]\nrpm = 5\n");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(post("hello").status, 200) << "the second and third are cache hits";
    auto refused = post("other", {{"X-Tokentally-Tag", "proj"}});
    EXPECT_EQ(refused.status, 200) << "another tag";
    refused = post("hello again");
    ASSERT_EQ(refused.status, 429);
    ASSERT_NE(http::find_header(refused.headers, "Retry-After"), nullptr);
    EXPECT_EQ(*http::find_header(refused.headers, "Retry-After"), "60");
    std::string message = "Tag [default] rpm limit reached: 3 requests in the last 60 s (limit 3). Retry after 60 s.";
    EXPECT_EQ(bj::parse(refused.body), bj::parse(R"({"error": {"type": "rate_limited", "message": ")" + message +
                                                 R"(", "tag": "default", "limit": "rpm"}})"));
    EXPECT_TRUE(logs.contains("warning tokentally.proxy: [default|")) << logs.text();
    EXPECT_TRUE(logs.contains(" ✗ RATE LIMITED  openai/gpt-4o  " + message)) << logs.text();
    EXPECT_EQ(mock.count(), 2u);
    EXPECT_EQ(rows(), 4u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(post("batch", {{"X-Tokentally-Tag", "batch"}}).status, 200);
    EXPECT_EQ(post("batch", {{"X-Tokentally-Tag", "batch"}}).status, 429);
    // Only POST counts.
    EXPECT_EQ(tt_test::call("GET", app->url() + "/v1/models", {{"X-Tokentally-Target", mock.url()}}).status, 200);

    clock.advance(60);
    EXPECT_EQ(post("hello again").status, 200) << "the window has moved";

    auto metrics = tt_test::call("GET", app->url() + "/metrics");
    EXPECT_THAT(metrics.body, HasSubstr(R"(tokentally_rate_limited_total{limit="rpm",scope="tag:default"} 1)"));
    EXPECT_THAT(metrics.body, HasSubstr(R"(tokentally_rate_limited_total{limit="rpm",scope="tag:batch"} 1)"));
    auto summary = bj::parse(tt_test::call("GET", app->url() + "/dashboard/api/summary").body);
    EXPECT_EQ(summary.at("rate_limited"), 2) << "written to the ledger before it is counted";
    auto cli = tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " summary");
    EXPECT_THAT(cli.out, HasSubstr("Rate limits: 2 calls refused in this window (tag:batch rpm 1, tag:default rpm 1)"));
}

TEST_F(LimitsProxyTest, ACallRefusedByABudgetDoesNotCountAndNothingChangesWithoutLimits) {
    serve("[budgets]\ndaily = 0.0001\n");
    EXPECT_EQ(post("one").status, 200);
    auto summary = bj::parse(tt_test::call("GET", app->url() + "/dashboard/api/summary").body).as_object();
    EXPECT_FALSE(summary.contains("rate_limited")) << "no limit configured";
    EXPECT_THAT(tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " summary").out,
                ::testing::Not(HasSubstr("Rate limits")));

    scratch.write_config("[limits]\nrpm = 2\n[budgets]\ndaily = 0.0001\n");
    for (int i = 0; i < 4; ++i) {
        auto refused = post("two");
        EXPECT_EQ(refused.status, 429);
        EXPECT_THAT(refused.body, HasSubstr("budget_exceeded"))
            << "rate limits come first, but count passed calls only";
    }
}

TEST_F(LimitsProxyTest, MaxParallelRefusesWhileTheFirstCallIsInFlightAndPassesOnceItEnds) {
    // The provider answers when the test lets it (at the latest when the test ends).
    struct Gate {
        std::promise<void> open;
        std::shared_future<void> opened = open.get_future().share();
        void let_through() {
            if (opened.wait_for(std::chrono::seconds(0)) != std::future_status::ready) open.set_value();
        }
    } gate;
    tt_test::MockServer slow([opened = gate.opened](const tt_test::Received&) {
        opened.wait();
        return tt_test::priced_answer({});
    });
    serve("[limits]\nmax_parallel = 1\n");
    auto first = std::async(std::launch::async, [&] {
        return tt_test::post_chat(*app, slow, tt_test::chat_body("first"), {{"X-Tokentally-Cache", "off"}}).status;
    });
    struct OpenOnExit {  // before `first` waits for its call, whatever failed
        Gate& gate;
        ~OpenOnExit() { gate.let_through(); }
    } open_on_exit{gate};
    ASSERT_TRUE(tt_test::eventually([&] { return slow.count() == 1; }));
    auto second = tt_test::post_chat(*app, slow, tt_test::chat_body("second"), {{"X-Tokentally-Cache", "off"}});
    EXPECT_EQ(second.status, 429);
    EXPECT_EQ(*http::find_header(second.headers, "Retry-After"), "1");
    EXPECT_THAT(second.body, HasSubstr(R"("limit": "max_parallel")"));
    gate.let_through();
    EXPECT_EQ(first.get(), 200);
    EXPECT_EQ(tt_test::post_chat(*app, slow, tt_test::chat_body("third"), {{"X-Tokentally-Cache", "off"}}).status, 200);
    EXPECT_EQ(slow.count(), 2u);
}

TEST_F(LimitsProxyTest, TokensPerMinuteCountWhatTheLedgerRecorded) {
    serve("[limits]\ntpm = 3000\n");  // each call records 1500 tokens
    EXPECT_EQ(post("a").status, 200);
    EXPECT_EQ(post("b").status, 200);
    auto refused = post("c");
    EXPECT_EQ(refused.status, 429);
    EXPECT_THAT(refused.body, HasSubstr(R"("limit": "tpm")"));
    EXPECT_EQ(mock.count(), 2u);
}
