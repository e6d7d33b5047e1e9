// Who may call the proxy and where it may forward: the target rules and
// address classes decided on their own, the proxy in-process with keys and
// lists, the upstream client's address check on a real name, and
// `tokentally serve` on an address treated as reachable from elsewhere.
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/access.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio.hpp>

#include <sys/stat.h>

#include <fstream>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace bj = boost::json;
namespace http = tokentally::http;
namespace access = tokentally::access;
namespace ledger = tokentally::ledger;
namespace proxy = tokentally::proxy;
using ::testing::HasSubstr;
using tt_test::MockReply;
using tt_test::Received;

const std::string ALICE_KEY = "alice-0123456789abcdefghijklmn";
const std::string BOB_KEY = "bob-0123456789abcdefghijklmnopq";
const char* CHAT_BODY = R"({"model": "gpt-4o", "messages": [{"role": "user", "content": "hi"}]})";

MockReply chat(const Received&) {
    MockReply r;
    r.body = tt_test::chat_answer();
    return r;
}

access::Access with_targets(std::vector<std::string> entries, bool loopback = true) {
    access::Access a;
    a.loopback = loopback;
    a.targets.emplace();
    for (const auto& e : entries) a.targets->push_back(access::parse_rule(e));
    return a;
}

bool allowed(const access::Access& a, const std::string& url) { return !access::target_refusal(a, url); }

// Writes a keys file with the given mode and points the configuration at it.
std::string write_keys(const tt_test::Scratch& s, const std::string& text, mode_t mode = 0600,
                       const std::string& more_config = "") {
    std::string path = s.home + "/.tokentally-keys";
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    s.write_config("[proxy]\nclient_keys_file = \"~/.tokentally-keys\"\n" + more_config);
    return path;
}

// True when the server has accepted no connection before one of our own:
// connections are accepted in order, so one made earlier would be counted.
bool no_connection_before_ours(const tt_test::MockServer& server) {
    asio::io_context ioc;
    asio::ip::tcp::socket ours(ioc);
    ours.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    for (int i = 0; i < 1000 && server.connections_accepted() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server.connections_accepted() == 1;
}

}  // namespace

TEST(AccessRules, WildcardStandsForOneOrMoreLabelsButNotTheBareDomain) {
    auto a = with_targets({"https://*.openai.azure.com", "http://127.0.0.1:8080", "https://API.Example.com/"});
    EXPECT_TRUE(allowed(a, "https://team.openai.azure.com/openai/deployments/x"));
    EXPECT_TRUE(allowed(a, "https://a.b.OPENAI.azure.com/v1"));
    EXPECT_FALSE(allowed(a, "https://openai.azure.com/v1"));
    EXPECT_FALSE(allowed(a, "https://evilopenai.azure.com/v1"));
    EXPECT_FALSE(allowed(a, "https://a.openai.azure.com.evil.example/v1"));
    EXPECT_FALSE(allowed(a, "http://team.openai.azure.com/v1"));        // scheme
    EXPECT_FALSE(allowed(a, "https://team.openai.azure.com:8443/v1"));  // port
    EXPECT_TRUE(allowed(a, "http://127.0.0.1:8080/v1"));
    EXPECT_FALSE(allowed(a, "http://127.0.0.1/v1"));
    EXPECT_TRUE(allowed(a, "https://api.example.com:443/v1"));  // the default port, spelled out
    // The host is what the client connects to, whatever precedes an "@".
    EXPECT_FALSE(allowed(a, "https://api.example.com@evil.example/v1"));
    EXPECT_FALSE(allowed(a, "not a url"));
    // "*." never stands for the octets of an address.
    EXPECT_FALSE(allowed(with_targets({"http://*.0.0.1"}), "http://10.0.0.1/"));

    for (const char* bad : {"https://api.example.com/v1", "ftp://files.example", "https://a.*.example", "https://*",
                            "https://user@api.example.com", "https://api.example.com?x=1"})
        EXPECT_THROW(access::parse_rule(bad), std::runtime_error) << bad;
}

TEST(AccessRules, NetworkServerWithoutAListReachesOnlyKnownProvidersAndTheOllamaBase) {
    access::Access network;
    network.loopback = false;
    network.targets = access::built_in_targets("http://127.0.0.1:11434");
    network.built_in_targets = true;
    EXPECT_TRUE(allowed(network, "https://api.openai.com/v1/chat/completions"));
    EXPECT_TRUE(allowed(network, "https://api.anthropic.com/v1/messages"));
    EXPECT_TRUE(allowed(network, "http://127.0.0.1:11434/v1/chat/completions"));
    for (const char* url : {"http://169.254.169.254/latest/meta-data/", "http://10.0.0.1/admin",
                            "http://api.openai.com/v1/chat/completions", "http://127.0.0.1:5432/"}) {
        auto reason = access::target_refusal(network, url);
        ASSERT_TRUE(reason) << url;
        EXPECT_THAT(*reason, HasSubstr("allowed_targets")) << url;
    }
    EXPECT_EQ(http::target_name("http://169.254.169.254/latest"), "http://169.254.169.254");
    EXPECT_EQ(http::target_name("http://[FD00::1]:8080/x"), "http://[fd00::1]");

    // On loopback without the setting, anything goes, as it always did.
    EXPECT_TRUE(allowed(access::Access{}, "http://10.0.0.1/admin"));
}

TEST(AccessRules, InternalAddressesInEveryForm) {
    for (const char* a : {"127.0.0.1", "127.255.0.9", "10.0.0.1", "172.16.0.1", "172.31.255.255", "192.168.1.1",
                          "169.254.169.254", "100.64.0.1", "0.0.0.0", "224.0.0.1", "::1", "::", "fe80::1",
                          "fd00:ec2::254", "::ffff:10.0.0.1", "::ffff:127.0.0.1", "64:ff9b::a9fe:a9fe"})
        EXPECT_TRUE(access::internal_address(asio::ip::make_address(a))) << a;
    for (const char* a : {"172.32.0.1", "100.128.0.1", "192.169.0.1", "11.0.0.1", "2606:4700::1", "::ffff:11.0.0.1"})
        EXPECT_FALSE(access::internal_address(asio::ip::make_address(a))) << a;
}

TEST(AccessSettings, KeysFileIsCheckedBeforeTheServerStarts) {
    tt_test::Scratch s;
    auto no_ollama = [] { return std::string("http://127.0.0.1:11434"); };
    auto error_of = [&] {
        try {
            access::load(true, no_ollama);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("(started)");
    };
    std::string path = write_keys(s, "alice:" + ALICE_KEY + "\n", 0644);
    EXPECT_THAT(error_of(), HasSubstr("may be read or changed by other users (mode 0644); run: chmod 600 " + path));
    write_keys(s, "alice:" + ALICE_KEY + "\n", 0620);
    EXPECT_THAT(error_of(), HasSubstr("mode 0620"));
    write_keys(s, "alice:short-key\n");
    EXPECT_THAT(error_of(), HasSubstr("line 1: the key of alice is shorter than 24 characters"));
    write_keys(s, "# team keys\n\nalice " + ALICE_KEY + "\n");
    EXPECT_THAT(error_of(), HasSubstr("line 3: expected name:key"));
    write_keys(s, "alice:" + ALICE_KEY + "\nbob:" + ALICE_KEY + "\n");
    EXPECT_THAT(error_of(), HasSubstr("line 2: the same key is listed for alice already"));
    write_keys(s, "# nobody yet\n");
    EXPECT_THAT(error_of(), HasSubstr("lists no key"));
    s.write_config("[proxy]\nclient_keys_file = \"~/missing\"\n");
    EXPECT_THAT(error_of(), HasSubstr("cannot read client keys file " + s.home + "/missing"));
    s.write_config("[proxy]\nallowed_targets = []\n");
    EXPECT_THAT(error_of(), HasSubstr("allowed_targets is empty"));
    s.write_config("[proxy]\nallowed_targets = \"https://api.openai.com\"\n");
    EXPECT_THAT(error_of(), HasSubstr("allowed_targets is not a list"));
    s.write_config("[proxy]\nallowed_hosts = \"tokentally.lan\"\n");
    EXPECT_THAT(error_of(), HasSubstr("[proxy] allowed_hosts is not a list: \"tokentally.lan\""));
    s.write_config("[proxy]\nallowed_hosts = [\"tokentally.lan\", \"\"]\n");
    EXPECT_THAT(error_of(), HasSubstr("allowed_hosts holds a value that is not a host name: \"\""));
    s.write_config("[proxy]\nallowed_hosts = [\"tokentally.lan\", \"build.example\"]\n");
    EXPECT_EQ(access::load(true, no_ollama).allowed_hosts,
              (std::vector<std::string>{"tokentally.lan", "build.example"}));
    // No key text ever appears in what is said about the file.
    write_keys(s, "alice:" + ALICE_KEY + "\nbob:" + ALICE_KEY + "\n");
    EXPECT_THAT(error_of(), ::testing::Not(HasSubstr(ALICE_KEY)));

    // A key may hold colons and a name may have two keys (while one is replaced).
    write_keys(s, "alice:" + ALICE_KEY + ":x\r\nalice:" + BOB_KEY + "\n");
    auto a = access::load(true, no_ollama);
    EXPECT_EQ(access::key_name(a, ALICE_KEY + ":x"), "alice");
    EXPECT_EQ(access::key_name(a, BOB_KEY), "alice");
    EXPECT_EQ(access::key_name(a, ALICE_KEY), std::nullopt);
    EXPECT_EQ(access::key_name(a, ""), std::nullopt);
}

// The address check runs where the connection is made, on the addresses
// the name resolved to: "localhost" is refused unless listed by name.
TEST(AccessClient, NameResolvingToLoopbackIsRefusedUnlessListedByName) {
    tt_test::MockServer provider(chat);
    std::string by_name = "http://localhost:" + std::to_string(provider.port());
    // A streamed call resolves ahead, before its answer starts; then it
    // connects to what was resolved.
    auto fetch = [&](access::Access a, bool ahead = false) {
        a.loopback = false;
        asio::io_context ioc;
        std::exception_ptr error;
        http::ClientResponse out;
        asio::co_spawn(
            ioc,
            [&]() -> asio::awaitable<void> {
                http::Client client(std::chrono::seconds(10),
                                    access::address_check(std::make_shared<const access::Access>(a)));
                const http::ClientRequest req{"POST", by_name + "/v1/chat/completions", {}, CHAT_BODY};
                if (ahead) co_await client.resolve(req.url);
                out = co_await client.fetch(req);
            },
            [&](std::exception_ptr e) { error = e; });
        ioc.run();
        if (error) std::rethrow_exception(error);
        return out.status;
    };
    for (bool ahead : {false, true}) {
        try {
            fetch(with_targets({"https://*.localhost", "https://api.openai.com"}), ahead);
            ADD_FAILURE() << "a name resolving to 127.0.0.1 was reached";
        } catch (const access::TargetRefused& e) {
            EXPECT_THAT(e.what(), HasSubstr("resolves to the internal address 127.0.0.1"));
        }
    }
    EXPECT_TRUE(no_connection_before_ours(provider));
    EXPECT_EQ(fetch(with_targets({by_name})), 200);
    EXPECT_EQ(fetch(with_targets({by_name}), true), 200);
    EXPECT_EQ(provider.count(), 2u);
}

namespace {

struct AccessProxyTest : ::testing::Test {
    tt_test::Scratch scratch;
    tt_test::LogCapture logs;
    tt_test::MockServer provider{chat};
    std::unique_ptr<tt_test::RunningApp> app;

    void serve(bool loopback) {
        app = std::make_unique<tt_test::RunningApp>(proxy::make_app(tt_test::store(), proxy::load_access(loopback)));
    }
    http::ClientResponse post(const std::string& path, http::Headers headers, const std::string& body = CHAT_BODY) {
        return tt_test::call("POST", app->url() + path, headers, body);
    }
    bj::array rows() { return tt_test::query(scratch.db_path(), "SELECT * FROM calls ORDER BY id"); }
};

}  // namespace

TEST_F(AccessProxyTest, TargetOutsideTheListIsRefusedBeforeAnythingElse) {
    tt_test::MockServer other(chat);
    scratch.write_config("[proxy]\nallowed_targets = [\"" + provider.url() + "\"]\n[budgets]\ndaily = 0.0000001\n");
    serve(true);
    auto ok = post("/v1/chat/completions", {{"X-Tokentally-Target", provider.url()}});
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(provider.count(), 1u);
    for (const std::string& body : {std::string(CHAT_BODY), std::string(R"({"model": "gpt-4o", "stream": true})")}) {
        // Refused ahead of the budget that the first call spent.
        auto refused = post("/v1/chat/completions", {{"X-Tokentally-Target", other.url() + "/v1"}}, body);
        EXPECT_EQ(refused.status, 403);
        EXPECT_EQ(refused.body, R"({"detail": "Target not allowed: http://127.0.0.1"})");
    }
    EXPECT_TRUE(no_connection_before_ours(other));
    EXPECT_EQ(rows().size(), 1u);
    auto lines = logs.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l ==
                                       "warning tokentally.proxy: Target not allowed: http://127.0.0.1 "
                                       "(not in [proxy] allowed_targets)";
                            }),
              1)
        << logs.text();
}

TEST_F(AccessProxyTest, NetworkServerRefusesInternalTargetsWithoutConnecting) {
    serve(false);  // the Ollama base is left at its default: the provider is not it
    for (const std::string& target :
         {std::string("http://169.254.169.254"), std::string("http://10.0.0.1"), provider.url() + "/v1/"}) {
        for (const std::string& body : {std::string(CHAT_BODY), std::string(R"({"model": "m", "stream": true})")}) {
            auto res = post("/v1/chat/completions", {{"X-Tokentally-Target", target}}, body);
            EXPECT_EQ(res.status, 403) << target;
            EXPECT_THAT(res.body, HasSubstr("Target not allowed: http://")) << target;
        }
    }
    EXPECT_TRUE(no_connection_before_ours(provider));
    EXPECT_TRUE(rows().empty());
    // The Ollama base is the operator's own setting: reachable by name and address.
    tt_test::MockServer ollama(chat);
    scratch.write_config("[local]\nollama_base_url = \"" + ollama.url() + "\"\n");
    serve(false);
    EXPECT_EQ(post("/v1/chat/completions", {{"X-Tokentally-Target", ollama.url()}}).status, 200);
    EXPECT_EQ(ollama.count(), 1u);
    // So is a host listed by name, though it resolves to 127.0.0.1, streamed or not.
    std::string by_name = "http://localhost:" + std::to_string(provider.port());
    scratch.write_config("[proxy]\nallowed_targets = [\"" + by_name + "\"]\n");
    serve(false);
    EXPECT_EQ(post("/v1/chat/completions", {{"X-Tokentally-Target", by_name}, {"X-Tokentally-Cache", "off"}}).status,
              200);
    auto streamed =
        post("/v1/chat/completions", {{"X-Tokentally-Target", by_name}}, R"({"model": "m", "stream": true})");
    EXPECT_EQ(streamed.status, 200);
    EXPECT_EQ(streamed.body, tt_test::chat_answer());
    EXPECT_EQ(provider.count(), 2u);
}

TEST_F(AccessProxyTest, RedirectIsRelayedNotFollowed) {
    tt_test::MockServer elsewhere(chat);
    tt_test::MockServer redirecting([&](const Received&) {
        MockReply r;
        r.status = 307;
        r.headers = {{"Location", elsewhere.url() + "/v1/chat/completions"}};
        return r;
    });
    serve(true);
    auto res = post("/v1/chat/completions", {{"X-Tokentally-Target", redirecting.url()}});
    EXPECT_EQ(res.status, 307);
    EXPECT_EQ(res.body, "{}");
    EXPECT_TRUE(no_connection_before_ours(elsewhere));
    auto r = rows();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].at("status"), 307);
}

TEST_F(AccessProxyTest, ClientKeysGuardEveryRouteButHealth) {
    write_keys(scratch, "alice:" + ALICE_KEY + "\nbob:" + BOB_KEY + "\n", 0600,
               "[local]\nollama_base_url = \"" + provider.url() + "\"\n");
    serve(true);
    const std::pair<std::string, std::string> target{"X-Tokentally-Target", provider.url()};
    auto missing = post("/v1/chat/completions", {target});
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(missing.body, R"({"detail": "Missing header: X-Tokentally-Key"})");
    auto wrong = post("/v1/chat/completions", {target, {"X-Tokentally-Key", ALICE_KEY + "x"}});
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.body, R"({"detail": "Unknown X-Tokentally-Key"})");
    EXPECT_EQ(post("/ollama/api/chat", {}, R"({"model": "llama3", "stream": false})").status, 401);
    EXPECT_EQ(provider.count(), 0u);
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(tt_test::call("GET", app->url() + "/health").status, 200);

    EXPECT_EQ(post("/v1/chat/completions", {target, {"x-tokentally-key", ALICE_KEY}}).status, 200);
    EXPECT_EQ(
        post("/v1/chat/completions",
             {target, {"X-Tokentally-Key", BOB_KEY}, {"X-Tokentally-Tag", "research"}, {"X-Tokentally-Cache", "off"}})
            .status,
        200);
    EXPECT_EQ(
        post("/ollama/api/chat", {{"X-Tokentally-Key", BOB_KEY}}, R"({"model": "llama3", "stream": false})").status,
        200);
    for (const auto& got : provider.received()) EXPECT_EQ(got.header("x-tokentally-key"), nullptr);
    auto r = rows();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].at("tag"), "alice");
    EXPECT_EQ(r[1].at("tag"), "research");
    EXPECT_EQ(r[2].at("tag"), "bob");
    EXPECT_THAT(logs.text(), HasSubstr("Refused calls: Missing header: X-Tokentally-Key"));
    EXPECT_THAT(logs.text(), ::testing::Not(HasSubstr(ALICE_KEY.substr(6))));
    EXPECT_THAT(logs.text(), ::testing::Not(HasSubstr(BOB_KEY.substr(4))));
}

// The whole path through `tokentally serve`: 127.0.0.2 served as an address
// other machines reach (the test-only switch), with client keys.
TEST(AccessServe, ExposedServerChecksKeysAndTargetsAndNeverLogsAKey) {
    tt_test::Scratch s;
    tt_test::MockServer ollama(chat), internal(chat);
    write_keys(s, "alice:" + ALICE_KEY + "\n", 0600, "[local]\nollama_base_url = \"" + ollama.url() + "\"\n");
    ::setenv("TOKENTALLY_TEST_TREAT_AS_NETWORK", "1", 1);
    {
        tt_test::ServeProcess proc(s.home, s.data, s.root + "/serve.log", 1, {}, "127.0.0.2");
        ::unsetenv("TOKENTALLY_TEST_TREAT_AS_NETWORK");
        auto post = [&](const std::string& target, const std::string& key) {
            http::Headers h{{"X-Tokentally-Target", target}};
            if (!key.empty()) h.emplace_back("X-Tokentally-Key", key);
            return tt_test::call("POST", proc.url() + "/v1/chat/completions", h, CHAT_BODY);
        };
        EXPECT_EQ(post(ollama.url(), "").status, 401);
        EXPECT_EQ(post(ollama.url(), BOB_KEY).status, 401);
        auto metadata = post("http://169.254.169.254", ALICE_KEY);
        EXPECT_EQ(metadata.status, 403);
        EXPECT_EQ(metadata.body, R"({"detail": "Target not allowed: http://169.254.169.254"})");
        EXPECT_EQ(post("http://10.0.0.1:8080", ALICE_KEY).status, 403);
        EXPECT_EQ(post(internal.url(), ALICE_KEY).status, 403);
        EXPECT_TRUE(no_connection_before_ours(internal));
        EXPECT_EQ(ollama.count(), 0u);
        EXPECT_EQ(post(ollama.url(), ALICE_KEY).status, 200);
        EXPECT_EQ(ollama.received().at(0).header("x-tokentally-key"), nullptr);
        auto r = tt_test::query(s.db_path(), "SELECT tag FROM calls");
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].at("tag"), "alice");
    }
    ::unsetenv("TOKENTALLY_TEST_TREAT_AS_NETWORK");
    std::string log = tt_test::read_file(s.root + "/serve.log");
    EXPECT_THAT(log, HasSubstr("Listening on 127.0.0.2: calls may go only to the known provider hosts and the "
                               "Ollama base (https://api.openai.com, "));
    EXPECT_THAT(log, HasSubstr("every call but /health needs an X-Tokentally-Key"));
    EXPECT_THAT(log, HasSubstr("Target not allowed: http://169.254.169.254"));
    EXPECT_THAT(log, ::testing::Not(HasSubstr(ALICE_KEY.substr(6))));
    EXPECT_THAT(log, ::testing::Not(HasSubstr(BOB_KEY.substr(4))));
}

TEST(AccessServe, KeysFileOthersCanReadStopsTheStart) {
    tt_test::Scratch s;
    std::string path = write_keys(s, "alice:" + ALICE_KEY + "\n", 0644);
    std::string bin = std::getenv("TOKENTALLY_BIN");
    auto res = tt_test::run("HOME='" + s.home + "' timeout 20 " + bin + " serve --port " +
                            std::to_string(tt_test::free_port()) + " 2>&1");
    EXPECT_EQ(res.status, 1) << res.out;
    EXPECT_THAT(res.out, HasSubstr("tokentally: client keys file " + path + " may be read or changed by other users"));
    EXPECT_THAT(res.out, HasSubstr("chmod 600"));
}
