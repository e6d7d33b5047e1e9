// A fast stand-in for an LLM provider on 127.0.0.1, for load tests: every
// request gets an OpenAI-style chat answer with a usage block, or, when the
// body asks for "stream": true, a short event stream. A stream requested
// under /timed/ is paced instead (TIMED_EVENTS chunks, TIMED_GAP apart, each
// stamped with the monotonic time it left, then a usage chunk), for the relay
// lag measured by stream_lag. Keep-alive, one thread per core, no logging.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

const std::string ANSWER =
    R"({"id": "chatcmpl-bench", "object": "chat.completion", "model": "gpt-4o-mini", "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hello from the bench."}, "finish_reason": "stop"}], "usage": {"prompt_tokens": 12, "completion_tokens": 7, "total_tokens": 19}})";

const std::vector<std::string> EVENTS = {
    "data: {\"choices\": [{\"delta\": {\"content\": \"Hel\"}}]}\n\n",
    "data: {\"choices\": [{\"delta\": {\"content\": \"lo\"}}]}\n\n",
    "data: [DONE]\n\n",
};

constexpr int TIMED_EVENTS = 40;
constexpr std::chrono::milliseconds TIMED_GAP{5};

std::string _timed_event() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
    return "data: {\"id\":\"chatcmpl-bench\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,"
           "\"delta\":{\"content\":\" tok\"},\"finish_reason\":null}],\"usage\":null,\"t\":" +
           std::to_string(ns.count()) + "}\n\n";
}

const std::string TIMED_USAGE =
    "data: {\"id\":\"chatcmpl-bench\",\"choices\":[],\"usage\":{\"prompt_tokens\":12,\"completion_tokens\":40}}\n\n"
    "data: [DONE]\n\n";

asio::awaitable<void> _timed_stream(beast::tcp_stream& s, bool keep_alive) {
    bhttp::response<bhttp::empty_body> head{bhttp::status::ok, 11};
    head.set(bhttp::field::content_type, "text/event-stream");
    head.chunked(true);
    head.keep_alive(keep_alive);
    bhttp::response_serializer<bhttp::empty_body> sr{head};
    co_await bhttp::async_write_header(s, sr, asio::use_awaitable);
    asio::steady_timer gap(s.get_executor());
    for (int i = 0; i < TIMED_EVENTS; ++i) {
        if (i > 0) {
            gap.expires_after(TIMED_GAP);
            co_await gap.async_wait(asio::use_awaitable);
        }
        std::string e = _timed_event();
        co_await asio::async_write(s, bhttp::make_chunk(asio::buffer(e)), asio::use_awaitable);
    }
    co_await asio::async_write(s, bhttp::make_chunk(asio::buffer(TIMED_USAGE)), asio::use_awaitable);
    co_await asio::async_write(s, bhttp::make_chunk_last(), asio::use_awaitable);
}

asio::awaitable<void> _stream(beast::tcp_stream& s, bool keep_alive) {
    bhttp::response<bhttp::empty_body> head{bhttp::status::ok, 11};
    head.set(bhttp::field::content_type, "text/event-stream");
    head.chunked(true);
    head.keep_alive(keep_alive);
    bhttp::response_serializer<bhttp::empty_body> sr{head};
    co_await bhttp::async_write_header(s, sr, asio::use_awaitable);
    for (const auto& e : EVENTS) co_await asio::async_write(s, bhttp::make_chunk(asio::buffer(e)), asio::use_awaitable);
    co_await asio::async_write(s, bhttp::make_chunk_last(), asio::use_awaitable);
}

asio::awaitable<void> _session(tcp::socket sock) {
    sock.set_option(tcp::no_delay(true));
    beast::tcp_stream s(std::move(sock));
    beast::flat_buffer buf;
    for (;;) {
        bhttp::request<bhttp::string_body> req;
        auto [ec, n] = co_await bhttp::async_read(s, buf, req, asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        bool keep_alive = req.keep_alive();
        if (req.body().find("\"stream\": true") != std::string::npos ||
            req.body().find("\"stream\":true") != std::string::npos) {
            if (req.target().starts_with("/timed/")) co_await _timed_stream(s, keep_alive);
            else co_await _stream(s, keep_alive);
        } else {
            bhttp::response<bhttp::string_body> res{bhttp::status::ok, 11};
            res.set(bhttp::field::content_type, "application/json");
            res.set("x-request-id", "req-bench");
            res.body() = ANSWER;
            res.keep_alive(keep_alive);
            res.prepare_payload();
            co_await bhttp::async_write(s, res, asio::use_awaitable);
        }
        if (!keep_alive) co_return;
    }
}

asio::awaitable<void> _accept(tcp::acceptor& acceptor) {
    for (;;) {
        auto sock = co_await acceptor.async_accept(asio::make_strand(acceptor.get_executor()), asio::use_awaitable);
        auto ex = sock.get_executor();
        asio::co_spawn(ex, [s = std::move(sock)]() mutable { return _session(std::move(s)); }, asio::detached);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: mock_provider PORT [THREADS]\n";
        return 2;
    }
    int threads = argc > 2 ? std::atoi(argv[2]) : 1;
    asio::io_context ioc;
    tcp::acceptor acceptor(ioc, {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::atoi(argv[1]))});
    asio::co_spawn(ioc, _accept(acceptor), asio::detached);
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back([&] { ioc.run(); });
    ioc.run();
}
