// Alerts delivered to a webhook: what is POSTed, the settings, retries, the
// once-a-minute warning, the queue's bound and shutdown; then the whole way
// from a recorded call through the ledger, the `alerts --test-webhook`
// command, and a real `serve` that is stopped with SIGTERM.
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "support/spend.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/guards/webhook.hpp"
#include "tokentally/ledger/ledger.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace bj = boost::json;
namespace webhook = tokentally::webhook;
using namespace std::chrono_literals;
using tt_test::MockReply;
using tt_test::Received;

namespace {

webhook::Alert daily_alert(const std::string& scope = "daily") {
    return {1712345678.25, "critical", scope, 5.03125, 5.0, "$5.0312 spent of $5.00 daily budget (101%)"};
}

// Options that never wait between tries and always deliver to `url`.
webhook::Options quick(const std::string& url, webhook::Format format = webhook::Format::json) {
    webhook::Options o;
    o.retry_delays = {0ms, 0ms};
    o.settings = [url, format] { return webhook::Target{url, format}; };
    return o;
}

std::size_t count_lines(const tt_test::LogCapture& log, const std::string& start) {
    std::size_t n = 0;
    for (const auto& line : log.lines()) n += line.rfind(start, 0) == 0;
    return n;
}

const std::string WARNED = "warning tokentally.alerts: Alert delivery failed: ";

// A receiver that holds every answer until the test opens the gate.
struct Gate {
    std::promise<void> opened;
    std::shared_future<void> wait = opened.get_future().share();
    void open() { opened.set_value(); }
    tt_test::MockServer::Script script() {
        return [this](const Received&) {
            wait.wait();
            return MockReply{};
        };
    }
};

std::string url_with_secret(std::uint16_t port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/services/T0/B0/SECRET-PATH?token=SECRET-QUERY";
}

}  // namespace

TEST(WebhookPayload, TheRecordOrAChatMessageWithoutColourCodes) {
    webhook::Alert a = daily_alert("tag:r&d");
    a.message = "\x1b[31m[r&d] $1.5000 of $1.00 daily budget (150%) <!channel>\x1b[0m";
    bj::object record = bj::parse(webhook::payload(a, webhook::Format::json)).as_object();
    EXPECT_EQ(record, (bj::object{{"ts", 1712345678.25},
                                  {"level", "critical"},
                                  {"scope", "tag:r&d"},
                                  {"spent", 5.03125},
                                  {"budget", 5.0},
                                  {"message", "[r&d] $1.5000 of $1.00 daily budget (150%) <!channel>"}}));

    EXPECT_EQ(bj::parse(webhook::payload(a, webhook::Format::slack)),
              (bj::object{{"text", "🚨 [r&amp;d] $1.5000 of $1.00 daily budget (150%) &lt;!channel&gt;"}}));
    auto text = [&a](const char* level) {
        a.level = level;
        return std::string(bj::parse(webhook::payload(a, webhook::Format::slack)).at("text").as_string());
    };
    EXPECT_EQ(text("warn").rfind("⚠️ [r&amp;d]", 0), 0u);
    EXPECT_EQ(text("info").rfind("ℹ️ [r&amp;d]", 0), 0u);
}

TEST(WebhookSettings, ReadFromTheAlertsTableWithoutRepeatingTheUrl) {
    auto cfg = [](const std::string& toml) { return tokentally::config::parse(toml, "test"); };
    EXPECT_FALSE(webhook::target(cfg("")));
    EXPECT_FALSE(webhook::target(cfg("[alerts]\nwebhook_url = \"\"\n")));
    auto t = webhook::target(cfg("[alerts]\nwebhook_url = \"https://hooks.example/x\"\n"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->url, "https://hooks.example/x");
    EXPECT_EQ(t->format, webhook::Format::json);
    EXPECT_EQ(webhook::target(cfg("[alerts]\nwebhook_url = \"http://h/x\"\nwebhook_format = \"slack\"\n"))->format,
              webhook::Format::slack);
    for (const char* bad :
         {"webhook_url = \"http://h/x\"\nwebhook_format = \"xml\"", "webhook_url = \"ftp://h/SECRET\"",
          "webhook_url = \"not a url SECRET\"", "webhook_url = 5"}) {
        try {
            webhook::target(cfg(std::string("[alerts]\n") + bad + "\n"));
            ADD_FAILURE() << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("[alerts] webhook_"), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("SECRET"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(webhook::url_name("https://hooks.slack.com/services/T/B/SECRET?x=1"), "https://hooks.slack.com");
    EXPECT_EQ(webhook::url_name("https://user:pw@[::1]:8443/SECRET"), "https://[::1]");
    EXPECT_EQ(webhook::url_name("gopher://h/SECRET"), "(an invalid URL)");
}

TEST(WebhookDelivery, ARefusedTryIsTriedAgainUntilItArrives) {
    tt_test::LogCapture log;
    std::atomic<int> tries{0};
    tt_test::MockServer receiver([&](const Received&) {
        MockReply r;
        r.status = ++tries <= 2 ? 500 : 200;
        r.body = r.status == 500 ? "no_service" : "ok";
        return r;
    });
    {
        webhook::Delivery delivery(quick(receiver.url() + "/hook"));
        webhook::send(delivery, daily_alert());
        ASSERT_TRUE(tt_test::eventually([&] { return receiver.count() == 3; }));
    }
    auto got = receiver.received();
    ASSERT_EQ(got.size(), 3u);
    for (const auto& r : got) {
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.target, "/hook");
        EXPECT_EQ(*r.header("content-type"), "application/json");
        EXPECT_EQ(r.body, webhook::payload(daily_alert(), webhook::Format::json));
    }
    EXPECT_EQ(count_lines(log, WARNED), 0u) << log.text();
    EXPECT_TRUE(
        log.contains("info tokentally.alerts: Alert delivery try 1 of 3 failed: http://127.0.0.1 answered "
                     "500: no_service; trying again in 0.0s"))
        << log.text();
}

TEST(WebhookDelivery, FailuresWarnOnceAMinuteAndNameOnlySchemeAndHost) {
    tt_test::LogCapture log;
    auto now =
        std::make_shared<std::atomic<std::chrono::steady_clock::time_point>>(std::chrono::steady_clock::time_point(1h));
    webhook::Options o = quick(url_with_secret(tt_test::free_port()));
    o.clock = [now] { return now->load(); };
    webhook::Delivery delivery(o);
    for (const char* scope : {"hourly", "daily", "monthly"}) webhook::send(delivery, daily_alert(scope));
    auto finished = [&](std::size_t n) {
        return count_lines(log, WARNED) + count_lines(log, "info tokentally.alerts: Alert not delivered") == n;
    };
    ASSERT_TRUE(tt_test::eventually([&] { return finished(3); })) << log.text();
    EXPECT_EQ(count_lines(log, WARNED), 1u) << log.text();
    EXPECT_TRUE(log.contains(WARNED + "POST http://127.0.0.1 failed: Connection refused (alert [")) << log.text();
    EXPECT_TRUE(log.contains("3 of 3 tries; it stays in alerts)")) << log.text();

    // A minute on, the next failure warns again and counts the ones held back.
    now->store(now->load() + 61s);
    webhook::send(delivery, daily_alert("tag:x"));
    ASSERT_TRUE(tt_test::eventually([&] { return finished(4); })) << log.text();
    EXPECT_EQ(count_lines(log, WARNED), 2u);
    EXPECT_TRUE(log.contains("(alert [tag:x], 3 of 3 tries; it stays in alerts) (2 more since the last warning)"))
        << log.text();
    EXPECT_FALSE(log.contains("SECRET")) << log.text();
}

TEST(WebhookDelivery, AFullQueueDropsTheAlertAndSaysSo) {
    tt_test::LogCapture log;
    Gate gate;
    tt_test::MockServer receiver(gate.script());
    webhook::Options o = quick(receiver.url());
    o.capacity = 2;
    {
        webhook::Delivery delivery(o);
        for (const char* scope : {"a", "b", "c"}) webhook::send(delivery, daily_alert(scope));
        EXPECT_TRUE(log.contains(WARNED + "2 alerts are waiting already; alert [c] dropped (it stays in alerts)"))
            << log.text();
        gate.open();
        ASSERT_TRUE(tt_test::eventually([&] { return receiver.count() == 2; }));
    }
    EXPECT_EQ(receiver.count(), 2u);
    for (const auto& r : receiver.received()) EXPECT_EQ(r.body.find("\"scope\": \"c\""), std::string::npos);
}

TEST(WebhookDelivery, ShutdownEndsRetryWaitsAndLeavesTriesUnderWayBehind) {
    tt_test::LogCapture log;
    Gate gate;
    tt_test::MockServer hanging(gate.script());
    {
        // An hour between tries: only the shutdown can end the wait.
        webhook::Options o = quick(url_with_secret(tt_test::free_port()));
        o.retry_delays = {1h, 1h};
        auto delivery = std::make_unique<webhook::Delivery>(o);
        webhook::send(*delivery, daily_alert());
        ASSERT_TRUE(tt_test::eventually([&] { return log.contains("try 1 of 3 failed"); }));
        delivery.reset();
        EXPECT_TRUE(log.contains("(alert [daily], 1 of 3 tries, the rest given up at shutdown; it stays in alerts)"))
            << log.text();
    }
    {
        // A receiver that never answers: the try under way gets the grace only.
        webhook::Options o = quick(hanging.url());
        o.shutdown_grace = 0ms;
        auto delivery = std::make_unique<webhook::Delivery>(o);
        webhook::send(*delivery, daily_alert());
        ASSERT_TRUE(tt_test::eventually([&] { return hanging.count() == 1; }));
        delivery.reset();
        EXPECT_TRUE(log.contains(WARNED + "1 alert(s) still under way at shutdown; they stay in alerts")) << log.text();
    }
    gate.open();
    EXPECT_FALSE(log.contains("SECRET"));
}

TEST(WebhookAlerts, EachAlertTheLedgerStoresIsPostedOnceAsStored) {
    tt_test::Scratch s;
    tt_test::MockServer receiver([](const Received&) { return MockReply{}; });
    s.write_config("[budgets]\ndaily = 0.01\n[alerts]\nwebhook_url = \"" + receiver.url() + "/hook\"\n");
    tt_test::insert_call(60, 0.02);
    {
        auto writer = tokentally::ledger::make_writer(tt_test::store());
        tokentally::store::CallRecord rec{.model_id = "openai/gpt-4o", .cost_usd = 0.001, .status = 200};
        tokentally::ledger::record_call(*writer, rec);
        tokentally::ledger::record_call(*writer, rec);  // within the hour: nothing new is stored or sent
        ASSERT_TRUE(tt_test::eventually([&] { return receiver.count() == 1; }));
    }
    EXPECT_EQ(receiver.count(), 1u);
    bj::array stored = tt_test::query(s.db_path(), "SELECT ts, level, scope, spent, budget, message FROM alerts");
    ASSERT_EQ(stored.size(), 1u);
    // The time to the microsecond: this Boost.JSON's parser may round a
    // double's last digit differently from the serializer that wrote it.
    bj::object posted = bj::parse(receiver.received()[0].body).as_object();
    bj::object expected = stored[0].as_object();
    EXPECT_NEAR(posted.at("ts").to_number<double>(), expected.at("ts").to_number<double>(), 1e-6);
    posted.erase("ts");
    expected.erase("ts");
    EXPECT_EQ(posted, expected);
}

TEST(WebhookCommand, TestWebhookSaysWhetherTheMessageArrived) {
    tt_test::Scratch s;
    std::string cmd = std::string(std::getenv("TOKENTALLY_BIN")) + " alerts --test-webhook 2>&1";
    auto none = tt_test::run(cmd);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("add webhook_url = \"https://...\" under [alerts]"), std::string::npos) << none.out;

    tt_test::MockServer receiver([](const Received&) { return MockReply{}; });
    s.write_config("[alerts]\nwebhook_url = \"" + receiver.url() + "/SECRET\"\nwebhook_format = \"slack\"\n");
    auto sent = tt_test::run(cmd);
    EXPECT_EQ(sent.status, 0) << sent.out;
    EXPECT_EQ(sent.out, "Test alert delivered to http://127.0.0.1\n");
    ASSERT_EQ(receiver.count(), 1u);
    EXPECT_EQ(bj::parse(receiver.received()[0].body),
              (bj::object{{"text", "ℹ️ tokentally test alert: budget alerts will arrive here"}}));

    s.write_config("[alerts]\nwebhook_url = \"" + url_with_secret(tt_test::free_port()) + "\"\n");
    auto refused = tt_test::run(cmd);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "tokentally: test alert not delivered: POST http://127.0.0.1 failed: Connection refused\n");
    EXPECT_EQ(receiver.count(), 1u);
    EXPECT_EQ(tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " alerts --test-webhook --unseen").status, 2);
}

TEST(WebhookServe, AnAlertOfTheProxyArrivesAndServeStillStopsCleanly) {
    tt_test::Scratch s;
    tt_test::MockServer provider(tt_test::chat_or_stream);
    tt_test::MockServer receiver([](const Received&) { return MockReply{}; });
    s.write_config("[budgets]\ndaily = 0.00001\n[alerts]\nwebhook_url = \"" + receiver.url() +
                   "/services/SECRET\"\nwebhook_format = \"slack\"\n");
    std::string log = s.root + "/serve.log";
    tt_test::ServeProcess serve(s.home, s.data, log);
    auto answer = tt_test::call("POST", serve.url() + "/v1/chat/completions",
                                {{"X-Tokentally-Target", provider.url()}, {"Content-Type", "application/json"}},
                                tt_test::chat_body("hi"));
    ASSERT_EQ(answer.status, 200);
    ASSERT_TRUE(tt_test::eventually([&] { return receiver.count() == 1; }));
    EXPECT_EQ(bj::parse(receiver.received()[0].body),
              (bj::object{{"text", "🚨 $0.0001 spent of $0.00 daily budget (750%)"}}));

    ASSERT_EQ(::kill(serve.pid, SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(tt_test::eventually([&] { return ::waitpid(serve.pid, &status, WNOHANG) == serve.pid; }, 30s));
    serve.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(receiver.count(), 1u);
    EXPECT_EQ(tt_test::read_file(log).find("SECRET"), std::string::npos);
}
