// Faults end to end: a provider that refuses, resets, truncates, stalls or
// never stops; a client that leaves; a ledger that is locked, read-only or
// not a database; a configuration that is not TOML. Each case checks what the
// client gets, what the log says and what is recorded, then that the proxy
// still serves.
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/stream_client.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gtest/gtest.h>
#include <boost/asio.hpp>

#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace bj = boost::json;
namespace fs = std::filesystem;
namespace http = tokentally::http;
namespace ledger = tokentally::ledger;
namespace proxy = tokentally::proxy;
using namespace std::chrono_literals;
using tcp = asio::ip::tcp;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

// The lock holder runs in a process of its own: this same executable,
// started with TT_HOLD_EXCLUSIVE=<db path>. It takes an exclusive lock,
// says "locked" on standard output and keeps the lock until its standard
// input closes.
[[maybe_unused]] const bool lock_holder_mode = [] {
    const char* path = std::getenv("TT_HOLD_EXCLUSIVE");
    if (path == nullptr) return false;
    {
        SQLite::Database conn(path, SQLite::OPEN_READWRITE);
        conn.exec("BEGIN EXCLUSIVE");
        std::fputs("locked\n", stdout);
        std::fflush(stdout);
        char c;
        while (::read(0, &c, 1) > 0) {}
        conn.exec("COMMIT");
    }
    std::_Exit(0);
}();

struct LockHolder {
    pid_t pid = -1;
    int to_child = -1;

    explicit LockHolder(const std::string& db_path) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::vector<std::string> env_text{"TT_HOLD_EXCLUSIVE=" + db_path};
        for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env_text) envp.push_back(e.data());
        envp.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        int rc = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        to_child = in[1];
        if (rc != 0) throw std::runtime_error("could not start the lock holder");
        std::string said;
        char c;
        while (said.find("locked") == std::string::npos && ::read(out[0], &c, 1) == 1) said += c;
        ::close(out[0]);
        if (said.find("locked") == std::string::npos) throw std::runtime_error("the lock holder did not lock");
    }
    void release() {
        if (to_child < 0) return;
        ::close(to_child);
        to_child = -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    ~LockHolder() { release(); }
};

// A provider written at the socket level, for what a well-behaved HTTP
// server never does: resets (RST) and answers that stop part-way. Each
// connection reads one request head and body, then `act` takes over.
class RawUpstream {
public:
    using Act = std::function<void(tcp::socket&)>;
    explicit RawUpstream(Act act) : act_(std::move(act)), acceptor_(ioc_, {asio::ip::make_address("127.0.0.1"), 0}) {
        thread_ = std::thread([this] {
            for (;;) {
                boost::system::error_code ec;
                tcp::socket sock(ioc_);
                acceptor_.accept(sock, ec);
                if (ec || stopping_) return;
                if (_read_request(sock)) act_(sock);
            }
        });
    }
    ~RawUpstream() {
        stopping_ = true;
        boost::system::error_code ec;
        tcp::socket poke(ioc_);
        poke.connect(acceptor_.local_endpoint(), ec);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()); }

    static void reset(tcp::socket& sock) {
        sock.set_option(asio::socket_base::linger(true, 0));
        sock.close();
    }
    static void send(tcp::socket& sock, const std::string& bytes) {
        boost::system::error_code ec;
        asio::write(sock, asio::buffer(bytes), ec);
    }

private:
    static bool _read_request(tcp::socket& sock) {
        std::string got;
        char buf[4096];
        boost::system::error_code ec;
        std::size_t head_end = std::string::npos;
        std::size_t need = 0;
        for (;;) {
            if (head_end == std::string::npos && (head_end = got.find("\r\n\r\n")) != std::string::npos) {
                auto at = http::lower(got.substr(0, head_end)).find("content-length:");
                need = head_end + 4 + (at == std::string::npos ? 0 : std::stoul(got.substr(at + 15)));
            }
            if (head_end != std::string::npos && got.size() >= need) return true;
            std::size_t n = sock.read_some(asio::buffer(buf), ec);
            if (ec) return false;
            got.append(buf, n);
        }
    }

    Act act_;
    asio::io_context ioc_;
    tcp::acceptor acceptor_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

const std::string CHAT = R"({"model": "gpt-4o", "messages": [{"role": "user", "content": "hi"}]})";
const std::string STREAM = R"({"model": "gpt-4o", "stream": true, "messages": []})";
const std::string INTERNAL_ERROR(http::INTERNAL_ERROR_BODY);

MockReply priced(const Received&) {
    MockReply r;
    r.body = tt_test::chat_answer();
    return r;
}

class Faults : public ::testing::Test {
protected:
    tt_test::Scratch scratch;
    tt_test::LogCapture logs;
    std::optional<tt_test::RunningApp> app;
    MockServer good{priced};

    std::chrono::seconds upstream_timeout = proxy::UPSTREAM_TIMEOUT;

    void serve() {
        auto services = proxy::make_services(tt_test::store(), proxy::load_access(true));
        services->upstream_timeout = upstream_timeout;
        app.emplace(proxy::make_app(services));
    }

    // The exact cache is off so that every call reaches the provider.
    http::ClientResponse post(const std::string& target, const std::string& body = CHAT) {
        return tt_test::call("POST", app->url() + "/v1/chat/completions",
                             {{"X-Tokentally-Target", target}, {"X-Tokentally-Cache", "off"}}, body);
    }
    tt_test::StreamedAnswer stream(const std::string& target, std::size_t stop_after = tt_test::READ_ALL,
                                   std::atomic<std::size_t>* received = nullptr) {
        return tt_test::stream_call("POST", app->url() + "/v1/chat/completions", {{"X-Tokentally-Target", target}},
                                    STREAM, stop_after, received);
    }
    // Read on a connection of its own that waits for the proxy's writes.
    std::size_t rows() {
        if (!fs::exists(scratch.db_path())) return 0;
        SQLite::Database conn(scratch.db_path(), SQLite::OPEN_READONLY);
        conn.setBusyTimeout(5000);
        if (!conn.tableExists("calls")) return 0;
        return static_cast<std::size_t>(conn.execAndGet("SELECT COUNT(*) FROM calls").getInt64());
    }

    // The proxy still answers /health and still forwards and records.
    void still_serving(std::size_t rows_before) {
        EXPECT_EQ(tt_test::call("GET", app->url() + "/health").status, 200);
        auto ok = post(good.url());
        EXPECT_EQ(ok.status, 200) << ok.body;
        EXPECT_EQ(rows(), rows_before + 1);
    }
};

TEST_F(Faults, AProviderThatRefusesResetsOrTruncatesGets500AndNoRow) {
    serve();
    tt_test::RefusingPort gone;
    std::string refusing = gone.url();
    RawUpstream reset_at_once([](tcp::socket& s) { RawUpstream::reset(s); });
    RawUpstream reset_mid_answer([](tcp::socket& s) {
        RawUpstream::send(s,
                          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 200\r\n\r\n"
                          R"({"id": "chatcmpl-1", "usage": )");
        std::this_thread::sleep_for(50ms);
        RawUpstream::reset(s);
    });
    RawUpstream truncated_chunks([](tcp::socket& s) {
        RawUpstream::send(s,
                          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "e\r\n{\"id\": \"chat-1\r\n");
        s.close();  // a clean FIN before the last chunk
    });

    struct Case {
        std::string name, target, cause;
    };
    for (const Case& c : {Case{"refusing", refusing, "Connection refused"},
                          Case{"reset before answering", reset_at_once.url(), "Connection reset by peer"},
                          Case{"reset mid-answer", reset_mid_answer.url(), "Connection reset by peer"},
                          Case{"truncated chunked body", truncated_chunks.url(), "partial message"}}) {
        auto res = post(c.target);
        EXPECT_EQ(res.status, 500) << c.name;
        EXPECT_EQ(res.body, INTERNAL_ERROR) << c.name;
        std::string expected_log = "error tokentally.http: POST /v1/chat/completions failed: POST " + c.target +
                                   "/v1/chat/completions failed: " + c.cause;
        EXPECT_TRUE(logs.contains(expected_log)) << c.name << ": " << logs.text();
    }
    EXPECT_EQ(rows(), 0u);
    still_serving(0);
}

TEST_F(Faults, ASilentOrEndlessProviderEndsAtTheTimeoutWith500AndNoRow) {
    upstream_timeout = 1s;
    serve();
    MockServer silent([](const Received&) {
        MockReply r = priced(Received{});
        r.delay = 60000ms;
        return r;
    });
    // A standard answer that trickles forever: every read gets bytes, but
    // the whole exchange is bounded.
    MockServer endless([](const Received&) {
        MockReply r;
        r.chunks = std::vector<std::string>(1000, " ");
        r.chunk_delay = 100ms;
        return r;
    });

    for (const MockServer* upstream : {&silent, &endless}) {
        auto t0 = std::chrono::steady_clock::now();
        auto res = post(upstream->url());
        auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(res.status, 500);
        EXPECT_EQ(res.body, INTERNAL_ERROR);
        EXPECT_GE(took, 900ms);
        // Without the timeout the silent provider answers after 60 s and the
        // endless one after 100 s.
        EXPECT_LT(took, 30s) << "the timeout did not end the exchange";
        EXPECT_TRUE(tt_test::eventually([&] { return upstream->open_connections() == 0; }))
            << "the timed-out provider connection was left open";
        EXPECT_TRUE(logs.contains("error tokentally.http: POST /v1/chat/completions failed: POST " + upstream->url() +
                                  "/v1/chat/completions failed: The socket was closed due to a timeout"))
            << logs.text();
    }

    // A stream whose provider never answers ends, empty, at the same timeout.
    auto quiet = stream(silent.url());
    EXPECT_EQ(quiet.status, 200);
    EXPECT_TRUE(quiet.complete) << quiet.error;
    EXPECT_EQ(quiet.body(), "");
    EXPECT_EQ(rows(), 0u);
    still_serving(0);
}

TEST_F(Faults, AProviderResettingMidStreamEndsTheStreamCleanlyWithNoRow) {
    serve();
    // The reset comes once the client holds the first event: a reset that
    // overtook it could discard it unread.
    std::atomic<std::size_t> received{0};
    RawUpstream reset_mid_stream([&](tcp::socket& s) {
        RawUpstream::send(s,
                          "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "9\r\ndata: 1\n\n\r\n");
        tt_test::eventually([&] { return received.load() > 0; });
        RawUpstream::reset(s);
    });
    auto answer = stream(reset_mid_stream.url(), tt_test::READ_ALL, &received);
    EXPECT_EQ(answer.status, 200);
    EXPECT_TRUE(answer.complete) << answer.error;
    EXPECT_EQ(answer.body(), "data: 1\n\n");
    EXPECT_EQ(rows(), 0u);
    EXPECT_FALSE(logs.contains("(streamed)"));
    still_serving(0);
}

TEST_F(Faults, AClientLeavingMidAnswerStillGetsItsCallRecordedAndMidStreamNot) {
    serve();
    // The provider does the work (and bills it) whether or not the client
    // waits for the answer, so the call is recorded.
    MockServer slow([](const Received&) {
        MockReply r = priced(Received{});
        r.delay = 500ms;
        return r;
    });
    {
        asio::io_context ioc;
        tcp::socket sock(ioc);
        sock.connect({asio::ip::make_address("127.0.0.1"), http::port(*app->server)});
        std::string req = "POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nX-Tokentally-Target: " + slow.url() +
                          "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(CHAT.size()) +
                          "\r\n\r\n" + CHAT;
        asio::write(sock, asio::buffer(req));
        // Gone once the call is on its way to the provider.
        ASSERT_TRUE(tt_test::eventually([&] { return slow.count() == 1; }));
        RawUpstream::reset(sock);
    }
    EXPECT_TRUE(tt_test::eventually([&] { return rows() == 1; })) << "the answered call was not recorded";

    // A streamed client that resets after the first piece: the provider
    // connection goes at once and nothing is recorded, since no usage ever
    // arrives for a stream cut short.
    MockServer streaming([](const Received&) {
        MockReply r;
        r.headers = {{"Content-Type", "text/event-stream"}};
        r.chunks = {"data: 1\n\n", "data: 2\n\n", "data: 3\n\n"};
        r.chunk_delay = 60000ms;
        return r;
    });
    {
        asio::io_context ioc;
        tcp::socket sock(ioc);
        sock.connect({asio::ip::make_address("127.0.0.1"), http::port(*app->server)});
        std::string req = "POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nX-Tokentally-Target: " + streaming.url() +
                          "\r\nContent-Length: " + std::to_string(STREAM.size()) + "\r\n\r\n" + STREAM;
        asio::write(sock, asio::buffer(req));
        std::string got;
        char buf[1024];
        while (got.find("data: 1") == std::string::npos) got.append(buf, sock.read_some(asio::buffer(buf)));
        RawUpstream::reset(sock);
    }
    EXPECT_TRUE(tt_test::eventually([&] { return streaming.open_connections() == 0; }))
        << "the provider connection outlived its client";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rows(), 1u);
    EXPECT_FALSE(logs.contains("error")) << logs.text();
    still_serving(1);
}

TEST_F(Faults, ALedgerLockedByAnotherProcessAnswers500AfterFiveSecondsAndRecoversAfter) {
    scratch.write_config("[budgets]\ndaily = 100.0\n");
    serve();
    ASSERT_EQ(post(good.url()).status, 200);
    {
        LockHolder lock(scratch.db_path());
        EXPECT_EQ(tt_test::call("GET", app->url() + "/health").status, 200);
        auto t0 = std::chrono::steady_clock::now();
        auto res = post(good.url());
        auto took = std::chrono::steady_clock::now() - t0;
        // The answer was paid for but cannot be recorded: the client is told
        // it failed rather than handed an answer the ledger will never show.
        EXPECT_EQ(res.status, 500);
        EXPECT_EQ(res.body, INTERNAL_ERROR);
        EXPECT_GE(took, 4900ms);
        EXPECT_LT(took, 30s);
        EXPECT_TRUE(logs.contains("error tokentally.http: POST /v1/chat/completions failed: database is locked"))
            << logs.text();
    }
    EXPECT_EQ(rows(), 1u);
    still_serving(1);
}

// Where the data directory cannot be written: as root, permissions do not
// stop writes, so a read-only file system is mounted over it instead.
TEST_F(Faults, AReadOnlyDataDirectoryAnswers500AndNothingIsWritten) {
    fs::create_directories(scratch.data);
    bool mounted = false;
    if (::geteuid() == 0) {
        if (::mount("tokentally-test", scratch.data.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a read-only file system here";
        mounted = true;
    } else {
        fs::permissions(scratch.data, fs::perms::owner_read | fs::perms::owner_exec);
    }
    struct Undo {
        std::string dir;
        bool mounted;
        ~Undo() {
            if (mounted)
                ::umount(dir.c_str());
            else
                fs::permissions(dir, fs::perms::owner_all);
        }
    } undo{scratch.data, mounted};

    serve();
    auto res = post(good.url());
    EXPECT_EQ(res.status, 500);
    EXPECT_EQ(res.body, INTERNAL_ERROR);
    EXPECT_TRUE(logs.contains("error tokentally.http: POST /v1/chat/completions failed: ")) << logs.text();
    EXPECT_TRUE(fs::is_empty(scratch.data));
    // A stream has been relayed by the time its recording fails: it is cut
    // off before its end, so the client does not take it for a whole answer.
    auto streamed = stream(good.url());
    EXPECT_EQ(streamed.status, 200);
    EXPECT_EQ(streamed.body(), tt_test::chat_answer());
    EXPECT_FALSE(streamed.complete);
    EXPECT_TRUE(logs.contains("error tokentally.proxy: [default|")) << logs.text();
    EXPECT_TRUE(logs.contains("] streamed call not recorded: unable to open database file")) << logs.text();
    EXPECT_TRUE(fs::is_empty(scratch.data));
    EXPECT_EQ(tt_test::call("GET", app->url() + "/health").status, 200);
}

// A full disk is a small file system filled up after the first call; only
// root can mount one.
TEST_F(Faults, AFullDiskAnswers500UntilThereIsRoomAgain) {
    fs::create_directories(scratch.data);
    if (::geteuid() != 0 || ::mount("tokentally-test", scratch.data.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    struct Undo {
        std::string dir;
        ~Undo() { ::umount2(dir.c_str(), MNT_DETACH); }
    } undo{scratch.data};

    serve();
    ASSERT_EQ(post(good.url()).status, 200);
    const std::string filler = scratch.data + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        std::string block(4096, 'x');
        while (out.write(block.data(), block.size())) {}
    }
    auto res = post(good.url());
    EXPECT_EQ(res.status, 500);
    EXPECT_EQ(res.body, INTERNAL_ERROR);
    EXPECT_TRUE(logs.contains("error tokentally.http: POST /v1/chat/completions failed: database or disk is full"))
        << logs.text();
    EXPECT_EQ(rows(), 1u);

    fs::remove(filler);
    still_serving(1);
}

TEST_F(Faults, ACorruptLedgerIsLeftAloneAndEveryCallAnswers500) {
    scratch.write_config("[budgets]\ndaily = 100.0\n");
    fs::create_directories(scratch.data);
    std::string garbage;
    for (int i = 0; i < 8192; ++i) garbage += static_cast<char>((i * 7919) % 251);
    std::ofstream(scratch.db_path(), std::ios::binary) << garbage;

    serve();
    auto res = post(good.url());
    EXPECT_EQ(res.status, 500);
    EXPECT_EQ(res.body, INTERNAL_ERROR);
    EXPECT_TRUE(logs.contains("warning tokentally.proxy: Budget check error: file is not a database")) << logs.text();
    EXPECT_TRUE(logs.contains("error tokentally.http: POST /v1/chat/completions failed: file is not a database"))
        << logs.text();
    EXPECT_EQ(tt_test::read_file(scratch.db_path()), garbage) << "the damaged file must stay as it was";
    EXPECT_EQ(tt_test::call("GET", app->url() + "/health").status, 200);

    // Once the user moves the file away, recording resumes in a fresh ledger.
    fs::rename(scratch.db_path(), scratch.db_path() + ".damaged");
    still_serving(0);
}

TEST_F(Faults, AConfigurationThatIsNotTomlLetsCallsThroughAndSaysWhere) {
    scratch.write_config("[budgets\ndaily = = 5\n");
    serve();
    auto res = post(good.url());
    EXPECT_EQ(res.status, 200);
    EXPECT_EQ(rows(), 1u);
    EXPECT_TRUE(logs.contains("warning tokentally.proxy: Budget check error: ")) << logs.text();
    EXPECT_TRUE(logs.contains("/home/.tokentally.toml:1:9: ")) << logs.text();
    still_serving(1);
}

}  // namespace
