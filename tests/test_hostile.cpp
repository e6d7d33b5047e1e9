// Hostile callers and hostile upstreams: what one of them sends must never
// reach another caller, exhaust the process, or be run by whoever reads
// what the proxy wrote (its log, its CSV, the terminal).
#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "support/serve_process.hpp"
#include "tokentally/accounting/prices.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/proxy/call.hpp"
#include "tokentally/proxy/exact_cache.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/proxy/stages.hpp"
#include "tokentally/views/metrics.hpp"

#include <brotli/encode.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace bhttp = boost::beast::http;
namespace bj = boost::json;
namespace http = tokentally::http;
namespace proxy = tokentally::proxy;
using ::testing::HasSubstr;
using ::testing::Not;
using tcp = asio::ip::tcp;
using tt_test::MockReply;
using tt_test::Received;

const std::string CHAT = R"({"model": "gpt-4o", "messages": [{"role": "user", "content": "hi"}]})";

MockReply chat(const Received&) {
    MockReply r;
    r.body = tt_test::chat_answer();
    return r;
}

// A provider that answers every request of a kept connection with
// "100 Continue" first, in a segment of its own, then the answer, whose id
// counts the requests it has seen. A thread per connection, so that a kept
// connection does not hold back a new one.
class InterimUpstream {
public:
    InterimUpstream() : acceptor_(ioc_, {asio::ip::make_address("127.0.0.1"), 0}) {
        thread_ = std::thread([this] {
            for (;;) {
                auto sock = std::make_shared<tcp::socket>(ioc_);
                boost::system::error_code ec;
                acceptor_.accept(*sock, ec);
                if (ec || stopping_) return;
                workers_.emplace_back([this, sock] { _serve(*sock); });
            }
        });
    }
    ~InterimUpstream() {
        stopping_ = true;
        boost::system::error_code ec;
        tcp::socket poke(ioc_);
        poke.connect(acceptor_.local_endpoint(), ec);
        thread_.join();
        for (auto& w : workers_) w.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()); }
    std::vector<std::string> expect_headers() {
        std::lock_guard lock(mu_);
        return expects_;
    }

private:
    void _serve(tcp::socket& sock) {
        boost::beast::flat_buffer buffer;
        for (;;) {
            bhttp::request<bhttp::string_body> req;
            boost::system::error_code ec;
            bhttp::read(sock, buffer, req, ec);
            if (ec || stopping_) return;
            int n = ++served_;
            {
                std::lock_guard lock(mu_);
                if (auto e = req.find(bhttp::field::expect); e != req.end()) expects_.emplace_back(e->value());
            }
            asio::write(sock, asio::buffer(std::string("HTTP/1.1 100 Continue\r\n\r\n")), ec);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::string body = R"({"id": "answer-)" + std::to_string(n) +
                               R"(", "usage": {"prompt_tokens": 10, "completion_tokens": 5}})";
            std::string answer =
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body;
            asio::write(sock, asio::buffer(answer), ec);
            if (ec) return;
        }
    }

    asio::io_context ioc_;
    tcp::acceptor acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> served_{0};
    std::thread thread_;
    std::vector<std::thread> workers_;
    std::mutex mu_;
    std::vector<std::string> expects_;
};

// Bytes written on a connection of the test's own, and what came back
// within `wait` (the connection may stay open).
std::string exchange_for(std::uint16_t port, const std::string& bytes, std::chrono::milliseconds wait) {
    asio::io_context ioc;
    tcp::socket sock(ioc);
    sock.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(sock, asio::buffer(bytes));
    std::string out;
    char buf[4096];
    auto until = std::chrono::steady_clock::now() + wait;
    sock.non_blocking(true);
    while (std::chrono::steady_clock::now() < until) {
        boost::system::error_code ec;
        std::size_t n = sock.read_some(asio::buffer(buf), ec);
        if (ec == asio::error::would_block) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (ec) break;
        out.append(buf, n);
    }
    return out;
}

std::uint16_t port_of(const tt_test::RunningApp& app) { return http::port(*app.server); }

// `text` deflated: zlib-wrapped (15), raw (-15) or as gzip (15 + 16).
std::string deflated(const std::string& text, int window_bits) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, text.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string gzip(const std::string& text) { return deflated(text, 15 + 16); }

std::string brotli(const std::string& text) {
    std::string out(BrotliEncoderMaxCompressedSize(text.size()), '\0');
    std::size_t size = out.size();
    BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
                          reinterpret_cast<const std::uint8_t*>(text.data()), &size,
                          reinterpret_cast<std::uint8_t*>(out.data()));
    out.resize(size);
    return out;
}

class Hostile : public ::testing::Test {
protected:
    tt_test::Scratch scratch;
    tt_test::LogCapture logs;

    bj::array rows() { return tt_test::query(scratch.db_path(), "SELECT * FROM calls ORDER BY id"); }
};

TEST_F(Hostile, InterimAnswersNeverStandForTheAnswerNorLeaveItForTheNextCaller) {
    InterimUpstream upstream;
    http::ServerOptions one_loop;
    one_loop.workers = 1;  // both calls on one loop: the second takes the first's kept connection
    tt_test::RunningApp app(proxy::make_app(tt_test::store()), one_loop);
    http::Headers h{{"X-Tokentally-Target", upstream.url()}, {"X-Tokentally-Cache", "off"}, {"Expect", "100-continue"}};
    for (int i = 1; i <= 3; ++i) {
        auto resp = tt_test::call("POST", app.url() + "/v1/chat/completions", h, CHAT);
        EXPECT_EQ(resp.status, 200);
        EXPECT_THAT(resp.body, HasSubstr("answer-" + std::to_string(i)));
    }
    EXPECT_TRUE(upstream.expect_headers().empty()) << "Expect was forwarded";
    bj::array recorded = rows();
    ASSERT_EQ(recorded.size(), 3u);
    for (const auto& r : recorded) EXPECT_EQ(r.at("status"), 200);

    // The client's own 100-continue is answered by the proxy, which then
    // reads the body and answers as usual.
    std::string request =
        "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Tokentally-Target: " + upstream.url() +
        "\r\nX-Tokentally-Cache: off\r\nExpect: 100-continue\r\n" + "Content-Length: " + std::to_string(CHAT.size()) +
        "\r\nConnection: close\r\n\r\n";
    std::string got = tt_test::raw_exchange(port_of(app), request + CHAT);
    EXPECT_EQ(got.rfind("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK", 0), 0u) << got;
}

TEST_F(Hostile, CallsWithoutAConversationShareAnAnswerOnlyWhenTheyAskTheSame) {
    tt_test::MockServer upstream([](const Received& r) {
        MockReply reply;
        reply.body = R"({"echo": )" + bj::serialize(bj::value(r.body)) + R"(, "usage": {"prompt_tokens": 3}})";
        return reply;
    });
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    auto post = [&](const std::string& path, const std::string& body) {
        return tt_test::call("POST", app.url() + path, {{"X-Tokentally-Target", upstream.url()}}, body);
    };
    auto first = post("/v1/responses", R"({"model": "gpt-4o", "input": "alice's question"})");
    auto second = post("/v1/responses", R"({"model": "gpt-4o", "input": "bob's question"})");
    EXPECT_THAT(second.body, HasSubstr("bob"));
    EXPECT_EQ(http::find_header(second.headers, "X-Tokentally-Cache"), nullptr);
    // Instructions and the path take part too.
    post("/v1/responses", R"({"model": "gpt-4o", "input": "alice's question", "instructions": "be brief"})");
    auto embedded = post("/v1/embeddings", R"({"model": "gpt-4o", "input": "alice's question"})");
    EXPECT_EQ(http::find_header(embedded.headers, "X-Tokentally-Cache"), nullptr);
    EXPECT_EQ(upstream.count(), 4u);
    // The same question again is a hit.
    auto again = post("/v1/responses", R"({"model": "gpt-4o", "input": "alice's question"})");
    EXPECT_EQ(*http::find_header(again.headers, "X-Tokentally-Cache"), "exact-hit");
    EXPECT_EQ(again.body, first.body);
    // With nothing to tell requests apart, nothing is cached.
    post("/v1/anything", R"({"model": "gpt-4o", "temperature": 1})");
    post("/v1/anything", R"({"model": "gpt-4o", "temperature": 1})");
    EXPECT_EQ(upstream.count(), 6u);
    // A conversation keys as it always did.
    EXPECT_EQ(proxy::exact_cache_key("m", bj::parse(R"({"prompt": "hi", "input": "x"})").as_object(), "/a"),
              "3958d1bb3c40a61193f7319d9a36e268dc12f9b7629f99011df7fc949b1fa115");
}

TEST(HostileMetrics, ModelLabelsAreCutAndCapped) {
    tt_test::Scratch scratch;
    auto store = tt_test::store();
    auto count = tokentally::metrics::listener();
    const std::string tag = "t";
    auto record = [&](const std::string& model) {
        tokentally::store::CallRecord rec;
        rec.model_id = model;
        rec.tag = tag;
        rec.status = 200;
        rec.prompt_tokens = 1;
        tokentally::ledger::Committed c{&rec, {}};
        count(*store, std::span(&c, 1));
    };
    for (int i = 0; i < 3; ++i) record(std::string(2'000'000, static_cast<char>('a' + i)));
    for (int i = 0; i < 150; ++i) record(fmt::format("model-{}", i));
    std::string text = tokentally::metrics::render(*store, "test", nullptr);
    EXPECT_LT(text.size(), 200'000u);
    EXPECT_THAT(text, HasSubstr("model=\"" + std::string(128, 'a') + "\""));
    EXPECT_THAT(text, Not(HasSubstr(std::string(129, 'a'))));
    EXPECT_THAT(text, HasSubstr("model=\"other\""));
    EXPECT_THAT(text, Not(HasSubstr("model=\"model-149\"")));
}

TEST_F(Hostile, CallersAreCheckedBeforeTheirBodiesAndBodiesInMemoryAreCapped) {
    std::string keys = scratch.home + "/.tokentally-keys";
    std::ofstream(keys) << "alice:alice-0123456789abcdefghijklmn\n";
    ::chmod(keys.c_str(), 0600);
    scratch.write_config("[proxy]\nclient_keys_file = \"~/.tokentally-keys\"\n");
    tt_test::MockServer upstream(chat);
    http::ServerOptions small;
    small.bodies_limit = 1'000'000;
    tt_test::RunningApp app(proxy::make_app(tt_test::store(), proxy::load_access(true)), small);

    // A head without a key, announcing 60 MiB that never come: refused at once.
    std::string head =
        "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Tokentally-Target: " + upstream.url() +
        "\r\nContent-Length: 62914560\r\n\r\n";
    std::string got = exchange_for(port_of(app), head, std::chrono::milliseconds(3000));
    EXPECT_EQ(got.rfind("HTTP/1.1 401", 0), 0u) << got;
    EXPECT_THAT(got, HasSubstr("Missing header: X-Tokentally-Key"));

    // With the key, a body being sent keeps its share (the proxy's 100
    // Continue says it holds it); a second body that would pass the cap is
    // refused from its head, and taken once the first is done.
    std::string keyed =
        "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Tokentally-Target: " + upstream.url() +
        "\r\nX-Tokentally-Key: alice-0123456789abcdefghijklmn\r\n" + "X-Tokentally-Cache: off\r\nConnection: close\r\n";
    std::string padded = R"({"model": "gpt-4o", "messages": [], "pad": ")" + std::string(600'000, 'x') + "\"}";
    std::string head_of_padded = keyed + "Content-Length: " + std::to_string(padded.size()) + "\r\n";
    asio::io_context ioc;
    tcp::socket held(ioc);
    held.connect({asio::ip::make_address("127.0.0.1"), port_of(app)});
    asio::write(held, asio::buffer(head_of_padded + "Expect: 100-continue\r\n\r\n"));
    std::string interim;
    asio::read_until(held, asio::dynamic_buffer(interim), "\r\n\r\n");
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    std::string busy = exchange_for(port_of(app), head_of_padded + "\r\n", std::chrono::milliseconds(3000));
    EXPECT_EQ(busy.rfind("HTTP/1.1 503", 0), 0u) << busy;
    EXPECT_THAT(busy, HasSubstr(R"({"detail": "Server busy"})"));
    asio::write(held, asio::buffer(padded));
    std::string rest;
    boost::system::error_code ec;
    asio::read(held, asio::dynamic_buffer(rest), ec);
    EXPECT_EQ(rest.rfind("HTTP/1.1 200", 0), 0u) << rest.substr(0, 200);
    EXPECT_EQ(tt_test::raw_exchange(port_of(app), head_of_padded + "\r\n" + padded).rfind("HTTP/1.1 200", 0), 0u);
}

TEST_F(Hostile, OnlyLoopbackHostsReachALoopbackServer) {
    http::ServerOptions opts;
    opts.allowed_hosts = {"tokentally.internal"};
    tt_test::RunningApp app(proxy::make_app(tt_test::store()), opts);
    auto health_with = [&](const std::string& host) {
        return tt_test::raw_exchange(port_of(app),
                                     "GET /health HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    };
    for (std::string host : {"127.0.0.1:8082", "localhost", "LOCALHOST:1", "[::1]:8082", "127.1.2.3", "app.localhost:9",
                             "tokentally.internal:8082", "my-laptop:8082"})
        EXPECT_EQ(health_with(host).rfind("HTTP/1.1 200", 0), 0u) << host;
    std::string refused = health_with("rebound.example:8082");
    EXPECT_EQ(refused.rfind("HTTP/1.1 421", 0), 0u) << refused;
    EXPECT_THAT(refused, HasSubstr(R"({"detail": "Misdirected request: rebound.example:8082"})"));
    EXPECT_EQ(health_with("127.0.0.1.rebound.example").rfind("HTTP/1.1 421", 0), 0u);
    EXPECT_EQ(health_with("192.168.1.20:8082").rfind("HTTP/1.1 421", 0), 0u);
}

TEST_F(Hostile, OnlyChunkedAloneFramesABody) {
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    for (std::string coding : {"chunked, identity", "gzip", "identity", "chunked, chunked", "gzip, chunked"}) {
        std::string got = tt_test::raw_exchange(
            port_of(app), "POST /v1/x HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: " + coding +
                              "\r\nContent-Length: 5\r\n\r\n0\r\n\r\nGET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(got.rfind("HTTP/1.1 400", 0), 0u) << coding << ": " << got;
        EXPECT_THAT(got, HasSubstr(R"({"detail": "Bad request"})")) << coding;
        EXPECT_THAT(got, Not(HasSubstr("\"ok\""))) << "the body was read as a request: " << coding;
    }
}

TEST_F(Hostile, ControlCharactersReachNeitherTheLogNorTheTerminal) {
    tt_test::MockServer upstream(chat);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    std::string model = "gpt-4o\n2026-01-01 error tokentally.http: FORGED\x1b[31m";
    bj::object body{{"model", model}, {"messages", bj::array{}}};
    tt_test::call("POST", app.url() + "/v1/chat/completions",
                  {{"X-Tokentally-Target", upstream.url()}, {"X-Tokentally-Session", "s\tx"}}, bj::serialize(body));
    for (const auto& line : logs.lines()) {
        EXPECT_THAT(line, Not(HasSubstr("\x1b"))) << line;
        EXPECT_THAT(line, Not(HasSubstr("\nFORGED")));
    }
    EXPECT_TRUE(logs.contains(R"([default|s\tx] -> gpt-4o\n2026-01-01 error tokentally.http: FORGED\u001b[31m)"))
        << logs.text();
    EXPECT_EQ(rows().at(0).at("model_id"), bj::value(model));  // the ledger keeps what was sent

    auto recent = tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " recent");
    EXPECT_EQ(recent.status, 0);
    EXPECT_THAT(recent.out, Not(HasSubstr("\x1b")));
    EXPECT_THAT(recent.out, HasSubstr(R"(FORGED\u001b[31m)"));
    EXPECT_EQ(tokentally::logging::printable("a\tb\r\xc2\x9b"
                                             "c\x7f"),
              R"(a\tb\r\u009bc\u007f)");
    EXPECT_EQ(tokentally::logging::printable("héllo 😀"), "héllo 😀");
}

TEST_F(Hostile, SpreadsheetFormulasInTheCsvStayText) {
    tt_test::MockServer upstream(chat);
    tt_test::RunningApp app(proxy::make_app(tt_test::store()));
    bj::object body{{"model", "=HYPERLINK(\"http://x\")"}, {"messages", bj::array{}}};
    tt_test::call("POST", app.url() + "/v1/chat/completions",
                  {{"X-Tokentally-Target", upstream.url()},
                   {"X-Tokentally-Tag", "=cmd|' /C calc'!A0"},
                   {"X-Tokentally-Session", "@SUM(1+1)"}},
                  bj::serialize(body));
    std::string csv = tt_test::call("GET", app.url() + "/dashboard/calls.csv").body;
    EXPECT_THAT(csv, HasSubstr(R"csv(,"'=HYPERLINK(""http://x"")",'=cmd|' /C calc'!A0,'@SUM(1+1),10,5,)csv")) << csv;
}

TEST(HostileDecoding, TheDecodedSizeHasTheRawSizesCap) {
    std::string bomb = gzip(std::string(4'000'000, '\0'));
    EXPECT_LT(bomb.size(), 10'000u);
    EXPECT_EQ(http::decode_body(bomb, "gzip", 4'000'000).size(), 4'000'000u);
    EXPECT_THROW(http::decode_body(bomb, "gzip", 1'000'000), std::runtime_error);
}

// Every coding a provider may answer in, under the same cap; a body that is
// not what its coding says fails, and an unknown coding is named.
TEST(HostileDecoding, EveryCodingIsDecodedUnderTheSameCap) {
    std::string text = std::string(1'000'000, 'a') + "end";
    for (int bits : {15, -15}) {
        std::string packed = deflated(text, bits);
        EXPECT_EQ(http::decode_body(packed, "deflate", 2'000'000), text) << bits;
        EXPECT_THROW(http::decode_body(packed, "deflate", 500'000), std::runtime_error) << bits;
    }
    std::string packed = brotli(text);
    EXPECT_EQ(http::decode_body(packed, "BR", 2'000'000), text);
    EXPECT_THROW(http::decode_body(packed, "br", 500'000), std::runtime_error);
    EXPECT_THROW(http::decode_body(packed.substr(0, packed.size() / 2), "br", 2'000'000), std::runtime_error);
    EXPECT_THROW(http::decode_body("not brotli", "br", 1000), std::runtime_error);
    EXPECT_THROW(http::decode_body("not gzip", "gzip", 1000), std::runtime_error);
    try {
        http::decode_body("x", "zstd", 1000);
        ADD_FAILURE() << "zstd decoded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unsupported Content-Encoding 'zstd'");
    }
}

TEST_F(Hostile, WhatTheProgramCreatesIsItsUsersAlone) {
    std::string data = scratch.root + "/fresh-data";
    ::setenv("TOKENTALLY_DATA_DIR", data.c_str(), 1);
    tt_test::MockServer upstream(chat);
    auto mode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
    };
    {
        tt_test::RunningApp app(proxy::make_app(tt_test::store()));
        tt_test::call("POST", app.url() + "/v1/chat/completions", {{"X-Tokentally-Target", upstream.url()}}, CHAT);
        for (std::string file : {"ledger.db", "ledger.db-wal", "ledger.db-shm"})
            EXPECT_EQ(mode(data + "/" + file), 0600) << file;
    }
    tokentally::prices::store({}, data + "/prices.json");
    EXPECT_EQ(mode(data), 0700);
    EXPECT_EQ(mode(data + "/prices.json"), 0600);
    // A file the user opened up keeps its mode when it is written again.
    ::chmod((data + "/prices.json").c_str(), 0644);
    tokentally::prices::store({}, data + "/prices.json");
    EXPECT_EQ(mode(data + "/prices.json"), 0644);
    ::setenv("TOKENTALLY_DATA_DIR", scratch.data.c_str(), 1);
}

// The process's open-file limit below its connection cap: the cap is lowered
// so that callers beyond it get 503, and the accept loop neither spins nor
// floods the log.
TEST(HostileServe, FewDescriptorsLowerTheConnectionCapInsteadOfSpinning) {
    tt_test::Scratch scratch;
    std::string log = scratch.root + "/serve.log";
    // prlimit sets both limits before serve starts; serve cannot raise them.
    std::string bin = std::getenv("TOKENTALLY_BIN");
    std::string wrapper = scratch.root + "/limited-serve";
    std::ofstream(wrapper) << "#!/bin/sh\nexec prlimit --nofile=128:128 " << bin << " \"$@\"\n";
    ::chmod(wrapper.c_str(), 0755);
    ::setenv("TOKENTALLY_BIN", wrapper.c_str(), 1);
    tt_test::ServeProcess serve(scratch.home, scratch.data, log, 1);
    ::setenv("TOKENTALLY_BIN", bin.c_str(), 1);

    asio::io_context ioc;
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 150; ++i) {
        idle.emplace_back(ioc);
        idle.back().connect({asio::ip::make_address("127.0.0.1"), serve.port});
    }
    std::string answer =
        exchange_for(serve.port, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", std::chrono::milliseconds(3000));
    EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
    std::string text = tt_test::read_file(log);
    EXPECT_THAT(text, HasSubstr("max connections lowered to"));
    std::size_t failures = 0;
    for (std::size_t at = 0; (at = text.find("accept failed", at)) != std::string::npos; ++at) ++failures;
    EXPECT_LE(failures, 5u);
    idle.clear();
    EXPECT_TRUE(tt_test::eventually([&] {
        return exchange_for(serve.port, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                            std::chrono::milliseconds(500))
                   .rfind("HTTP/1.1 200", 0) == 0;
    }));
}

}  // namespace
