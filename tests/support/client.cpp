#include "support/client.hpp"

#include <boost/asio.hpp>

namespace tt_test {

namespace asio = boost::asio;
namespace http = tokentally::http;

http::ClientResponse call(const std::string& method, const std::string& url, const http::Headers& headers,
                          const std::string& body) {
    asio::io_context ioc;
    const http::ClientRequest req{method, url, headers, body};
    http::ClientResponse out;
    std::exception_ptr error;
    asio::co_spawn(
        ioc,
        [&]() -> asio::awaitable<void> {
            http::Client client(std::chrono::seconds(30));
            out = co_await client.fetch(req);
        },
        [&](std::exception_ptr e) { error = e; });
    ioc.run();
    if (error) std::rethrow_exception(error);
    return out;
}

std::string raw_exchange(std::uint16_t port, const std::string& bytes) {
    asio::io_context ioc;
    asio::ip::tcp::socket sock(ioc);
    sock.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(sock, asio::buffer(bytes));
    std::string out;
    boost::system::error_code ec;
    char buf[4096];
    for (;;) {
        std::size_t n = sock.read_some(asio::buffer(buf), ec);
        if (ec) break;
        out.append(buf, n);
    }
    return out;
}

RunningApp::RunningApp(const http::Router& app, http::ServerOptions opts) {
    opts.host = "127.0.0.1";
    opts.port = 0;
    if (opts.workers == 0) opts.workers = 2;
    server = http::start(app, opts);
}

RunningApp::~RunningApp() { http::stop(*server); }

std::string RunningApp::url() const { return "http://127.0.0.1:" + std::to_string(http::port(*server)); }

}  // namespace tt_test
