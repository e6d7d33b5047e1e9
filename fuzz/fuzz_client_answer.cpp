// Upstream answers as the HTTP client reads them, over a real loopback
// connection: any bytes, cut into writes wherever the input says, then the
// provider's half of the connection closed. The client either throws a
// std::exception or returns a final answer (never an interim 1xx), whose
// decoded body stays within the cap; and the next call, on whatever
// connection the client keeps or makes, gets its own answer and nothing of
// the one before.
#include "common.hpp"
#include "tokentally/http/client.hpp"

#include <boost/asio.hpp>

#include <cstdint>
#include <exception>
#include <string>

namespace asio = boost::asio;
namespace http = tokentally::http;
using tcp = asio::ip::tcp;

namespace {

struct World {
    asio::io_context ioc;
    tcp::acceptor acceptor{ioc, {asio::ip::make_address("127.0.0.1"), 0}};
    std::string url = "http://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/v1/x";
};

World& _world() {
    static World w;
    return w;
}

const std::string CLEAN = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nclean";

// Reads one request: its head and the one-byte body the client sends.
asio::awaitable<bool> _read_request(tcp::socket& sock) {
    std::string got;
    char buf[4096];
    for (std::size_t end; (end = got.find("\r\n\r\n")) == std::string::npos || got.size() < end + 5;) {
        auto [ec, n] = co_await sock.async_read_some(asio::buffer(buf), asio::as_tuple(asio::use_awaitable));
        if (ec) co_return false;
        got.append(buf, n);
    }
    co_return true;
}

struct Provider {
    bool written = false;  // every piece of the first answer was sent
    bool done = false;
};

// The provider of the fuzzed answer: writes `pieces` in turn, then serves
// one more request on the same connection with CLEAN if the client sends it
// soon; otherwise closes, which ends an answer that was not whole.
asio::awaitable<void> _fuzzed_provider(std::vector<std::string> pieces, std::shared_ptr<Provider> state) {
    tcp::socket sock = co_await _world().acceptor.async_accept(asio::use_awaitable);
    bool asked = co_await _read_request(sock);
    for (const auto& piece : pieces) {
        if (!asked) break;
        auto [ec, n] = co_await asio::async_write(sock, asio::buffer(piece), asio::as_tuple(asio::use_awaitable));
        asked = !ec;
    }
    state->written = true;
    asio::steady_timer deadline(sock.get_executor(), std::chrono::milliseconds(5));
    deadline.async_wait([&sock](const boost::system::error_code& ec) {
        if (!ec) sock.cancel();
    });
    if (asked && co_await _read_request(sock)) {
        deadline.cancel();
        co_await asio::async_write(sock, asio::buffer(CLEAN), asio::as_tuple(asio::use_awaitable));
    }
    deadline.cancel();
    state->done = true;
}

// A provider on a new connection, for a call that did not reuse one.
asio::awaitable<void> _clean_provider() {
    auto [ec, sock] = co_await _world().acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
    if (ec || !co_await _read_request(sock)) co_return;
    co_await asio::async_write(sock, asio::buffer(CLEAN), asio::as_tuple(asio::use_awaitable));
}

asio::awaitable<void> _exchange(std::vector<std::string> pieces, std::string input) {
    auto ex = co_await asio::this_coro::executor;
    const http::ClientRequest req{"POST", _world().url, {}, "x"};
    auto provider = std::make_shared<Provider>();
    asio::co_spawn(ex, _fuzzed_provider(std::move(pieces), provider), asio::detached);
    {
        http::Client client(std::chrono::seconds(5));
        try {
            http::ClientResponse res = co_await client.fetch(req);
            if (res.status >= 100 && res.status < 200) fuzz::fail("an interim answer was returned", input);
            if (res.body.size() > http::MAX_ANSWER_BYTES) fuzz::fail("the body passed the cap", input);
        } catch (const std::exception&) {
            // A malformed, truncated or undecodable answer is an error the caller reports.
        }
    }
    // Whatever the provider sent past the answer is on the wire before the
    // next call looks at a kept connection.
    while (!provider->written && !provider->done) co_await asio::post(ex, asio::use_awaitable);
    asio::co_spawn(ex, _clean_provider(), asio::detached);
    http::Client next(std::chrono::seconds(5));
    http::ClientResponse res = co_await next.fetch(req);
    _world().acceptor.cancel();
    if (res.status != 200 || res.body != "clean") fuzz::fail("the next call got another answer", input, res.body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fuzz::CutInput in = fuzz::cut_input(data, size);
    std::vector<std::string> pieces;
    std::string_view rest = in.body;
    for (std::size_t i = 0; !rest.empty(); ++i) {
        std::size_t n = std::min(rest.size(), std::max<std::size_t>(in.lengths[i % in.lengths.size()], 1));
        pieces.emplace_back(rest.substr(0, n));
        rest.remove_prefix(n);
    }
    auto& w = _world();
    std::exception_ptr error;
    asio::co_spawn(w.ioc, _exchange(std::move(pieces), std::string(in.body)),
                   [&](std::exception_ptr e) { error = e; });
    w.ioc.restart();
    w.ioc.run();
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            fuzz::fail("the next call failed", in.body, e.what());
        }
    }
    return 0;
}
