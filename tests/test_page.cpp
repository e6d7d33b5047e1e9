// The dashboard page in Debian's headless chromium, driven over the DevTools
// protocol: it loads without a console error or a failed request, shows
// what the ledger holds, follows the tag filter and picks up a new call
// without a reload. Leaves a screenshot beside the test's data directory.
#include "support/scratch.hpp"
#include "support/spend.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

extern char** environ;

namespace beast = boost::beast;
namespace net = boost::asio;
namespace store = tokentally::store;
namespace bj = boost::json;
using namespace std::chrono_literals;

namespace {

constexpr const char* CHROMIUM = "/usr/bin/chromium";

// A headless chromium with its own profile, killed with the test.
struct Browser {
    pid_t pid = -1;
    std::string profile;

    explicit Browser(const std::string& dir) : profile(dir + "/chromium") {
        std::filesystem::create_directories(profile);
        std::vector<std::string> args{CHROMIUM,
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--no-first-run",
                                      "--remote-debugging-port=0",
                                      "--user-data-dir=" + profile,
                                      "--window-size=1280,1800",
                                      "about:blank"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        std::string log = dir + "/chromium.log";
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&pid, CHROMIUM, &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Browser() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // "port" and "/devtools/browser/..." once chromium has written them.
    std::string port() const {
        std::ifstream in(profile + "/DevToolsActivePort");
        std::string p;
        std::getline(in, p);
        return p;
    }
};

// One DevTools session on a page target: commands answered in order, the
// events that arrive meanwhile kept for the test to look at.
struct Page {
    net::io_context ioc;
    beast::websocket::stream<net::ip::tcp::socket> ws{ioc};
    int next_id = 0;
    std::vector<bj::object> events;

    Page(const std::string& port, const std::string& path) {
        net::ip::tcp::resolver resolver(ioc);
        net::connect(ws.next_layer(), resolver.resolve("127.0.0.1", port));
        ws.handshake("127.0.0.1:" + port, path);
    }

    bj::object send(const std::string& method, bj::object params = {}) {
        int id = ++next_id;
        ws.write(net::buffer(bj::serialize(bj::object{{"id", id}, {"method", method}, {"params", params}})));
        for (;;) {
            beast::flat_buffer buf;
            ws.read(buf);
            bj::object msg = bj::parse(beast::buffers_to_string(buf.data())).as_object();
            if (!msg.contains("id")) {
                events.push_back(std::move(msg));
                continue;
            }
            if (msg.at("id").to_number<int>() != id) continue;
            if (msg.contains("error")) throw std::runtime_error(method + ": " + bj::serialize(msg.at("error")));
            return msg.at("result").as_object();
        }
    }

    // The value of a JavaScript expression in the page.
    bj::value eval(const std::string& expression) {
        bj::object r = send("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
        if (r.contains("exceptionDetails")) throw std::runtime_error(expression + ": " + bj::serialize(r));
        const bj::object& result = r.at("result").as_object();
        return result.contains("value") ? result.at("value") : bj::value();
    }

    // Polls `expression` until it is true; false after `limit`.
    bool wait_for(const std::string& expression, std::chrono::milliseconds limit = 60s) {
        return tt_test::eventually([&] { return eval("Boolean(" + expression + ")").as_bool(); }, limit);
    }

    // Console errors, exceptions and failed loads seen so far.
    std::vector<std::string> problems() const {
        std::vector<std::string> out;
        for (const auto& e : events) {
            const auto& method = e.at("method").as_string();
            const auto& p = e.at("params").as_object();
            bool bad = method == "Runtime.exceptionThrown" || method == "Network.loadingFailed" ||
                       (method == "Runtime.consoleAPICalled" && p.at("type") == "error") ||
                       (method == "Log.entryAdded" && p.at("entry").at("level") == "error") ||
                       (method == "Network.responseReceived" && p.at("response").at("status").to_number<int>() >= 400);
            if (bad) out.push_back(bj::serialize(e));
        }
        return out;
    }
};

std::string base64_decode(const std::string& text) {
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

void append(const std::string& model, const std::string& tag, double cost, double age_s) {
    store::CallRecord rec{.model_id = model,
                          .tag = tag,
                          .session_id = "s-" + tag,
                          .prompt_tokens = 1200,
                          .completion_tokens = 300,
                          .cost_usd = cost,
                          .elapsed_s = 0.8,
                          .status = 200,
                          .ts = store::now() - age_s};
    const store::CallRecord* rows[] = {&rec};
    tt_test::store()->calls().append(rows);
}

double sql(const std::string& db, const std::string& query) {
    bj::array rows = tt_test::query(db, query);
    const bj::value& v = rows.at(0).as_object().begin()->value();
    return v.is_null() ? 0.0 : v.to_number<double>();
}

double number(const bj::value& v) {
    return v.is_string() ? std::stod(std::string(v.as_string())) : v.to_number<double>();
}

}  // namespace

TEST(DashboardPage, ShowsTheLedgerInChromium) {
    if (!std::filesystem::exists(CHROMIUM)) GTEST_SKIP() << "chromium is not installed";
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 10.0\nmonthly = 200.0\n[budgets.tags.web]\ndaily = 2.0\n");
    const char* models[] = {"openai/gpt-4o", "openai/gpt-4o-mini", "anthropic/claude-3-5-haiku"};
    for (int i = 0; i < 30; ++i) append(models[i % 3], i % 2 ? "web" : "batch", 0.01 * (i + 1), 600.0 * i + 30);
    tt_test::RunningApp app(tokentally::proxy::make_app(tt_test::store()));

    Browser browser(s.root);
    ASSERT_GT(browser.pid, 0);
    ASSERT_TRUE(tt_test::eventually([&] { return !browser.port().empty(); }, 60s)) << "chromium did not start";
    auto list = tt_test::call("GET", "http://127.0.0.1:" + browser.port() + "/json/list");
    std::string ws_url;
    bj::value targets = bj::parse(list.body);
    for (const auto& t : targets.as_array())
        if (t.at("type") == "page") ws_url = std::string(t.at("webSocketDebuggerUrl").as_string());
    ASSERT_FALSE(ws_url.empty()) << list.body;
    Page page(browser.port(), ws_url.substr(ws_url.find("/devtools/")));
    for (const char* domain : {"Runtime.enable", "Log.enable", "Network.enable", "Page.enable"}) page.send(domain);
    page.send("Page.navigate", {{"url", app.url() + "/dashboard"}});
    ASSERT_TRUE(page.wait_for("window.tokentallyRefreshes >= 1")) << page.eval("document.body.innerText");

    // The figures are the ledger's.
    const std::string db = s.db_path();
    const std::string day = " FROM calls WHERE ts >= strftime('%s','now') - 86400";
    EXPECT_NEAR(number(page.eval("document.getElementById('kpi-cost').dataset.value")),
                sql(db, "SELECT SUM(cost_usd)" + day), 1e-9);
    EXPECT_EQ(number(page.eval("document.getElementById('kpi-calls').dataset.value")),
              sql(db, "SELECT COUNT(*)" + day));
    EXPECT_EQ(number(page.eval("document.getElementById('kpi-in').dataset.value")),
              sql(db, "SELECT SUM(prompt_tokens)" + day));
    EXPECT_EQ(number(page.eval("document.querySelectorAll('#recent tbody tr').length")), 30);
    EXPECT_EQ(number(page.eval("document.querySelector('#recent tbody tr').dataset.id")),
              sql(db, "SELECT id FROM calls ORDER BY ts DESC LIMIT 1"));
    EXPECT_EQ(number(page.eval("document.querySelectorAll('#sessions tbody tr').length")), 2);
    // One dataset per model in the spend chart (and the budget line).
    EXPECT_EQ(number(page.eval("tokentallyCharts['chart-spend'].data.datasets.filter(d => d.type === 'bar').length")),
              3);
    EXPECT_EQ(number(page.eval("tokentallyCharts['chart-spend'].data.datasets.filter(d => d.type === 'line').length")),
              1);

    // The tag filter changes the figures.
    page.eval(
        "(() => { const t = document.getElementById('tag'); t.value = 'web'; "
        "t.dispatchEvent(new Event('change')); })()");
    const std::string web_calls =
        std::to_string(static_cast<int>(sql(db, "SELECT COUNT(*)" + day + " AND tag = 'web'")));
    ASSERT_TRUE(page.wait_for("document.getElementById('kpi-calls').dataset.value === '" + web_calls + "'"));
    EXPECT_NEAR(number(page.eval("document.getElementById('kpi-cost').dataset.value")),
                sql(db, "SELECT SUM(cost_usd)" + day + " AND tag = 'web'"), 1e-9);

    // A new call shows on the next refresh, without a reload (the marker set
    // on this document survives).
    page.eval("window.notReloaded = true");
    append("openai/gpt-4o", "web", 0.5, 0);
    const std::string newest = std::to_string(static_cast<std::int64_t>(sql(db, "SELECT MAX(id) FROM calls")));
    auto added = std::chrono::steady_clock::now();
    ASSERT_TRUE(page.wait_for("document.querySelector('#recent tbody tr').dataset.id === '" + newest + "'"));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - added).count();
    EXPECT_TRUE(page.eval("window.notReloaded === true").as_bool());
    std::cout << "new call shown after " << seconds << " s\n";

    EXPECT_EQ(page.problems(), std::vector<std::string>{});

    page.send("Emulation.setDeviceMetricsOverride",
              {{"width", 1280}, {"height", 1500}, {"deviceScaleFactor", 1}, {"mobile", false}});
    bj::object shot = page.send("Page.captureScreenshot", {{"format", "png"}});
    std::string png = base64_decode(std::string(shot.at("data").as_string()));
    std::ofstream(s.root + "/dashboard.png", std::ios::binary) << png;
    EXPECT_GT(png.size(), 10000u);
    std::cout << "screenshot: " << s.root << "/dashboard.png\n";
}
