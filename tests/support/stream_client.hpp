// Streamed calls for tests: a client that reads an answer piece by piece as
// it arrives, noting when each piece came, and may hang up part-way; the
// proxy application served in-process; and the ledger rows and open sockets
// a test checks afterwards. Header-only: each test executable that includes
// it links the proxy library itself.
#pragma once

#include "support/scratch.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace tt_test {

struct StreamedAnswer {
    int status = 0;
    tokentally::http::Headers headers;
    std::vector<std::string> pieces;
    std::vector<std::chrono::steady_clock::time_point> times;  // arrival of each piece
    bool complete = false;                                     // the body ended properly
    std::string error;                                         // what went wrong reading it, if anything

    std::string body() const {
        std::string all;
        for (const auto& p : pieces) all += p;
        return all;
    }
    const std::string* header(std::string_view name) const { return tokentally::http::find_header(headers, name); }
};

inline constexpr std::size_t READ_ALL = std::numeric_limits<std::size_t>::max();

// Reads until the end, or hangs up after `stop_after` pieces. Adds the size
// of each piece to `received` as it arrives, for a test watching from
// another thread.
inline boost::asio::awaitable<void> _read_stream(const tokentally::http::ClientRequest& req, std::size_t stop_after,
                                                 StreamedAnswer& out, std::atomic<std::size_t>* received = nullptr) {
    tokentally::http::Client client(std::chrono::seconds(30));
    auto head = co_await client.open_stream(req);
    out.status = head.status;
    out.headers = head.headers;
    while (out.pieces.size() < stop_after) {
        auto piece = co_await client.next_chunk();
        if (!piece) {
            out.complete = true;
            co_return;
        }
        out.times.push_back(std::chrono::steady_clock::now());
        if (received) *received += piece->size();
        out.pieces.push_back(std::move(*piece));
    }
    client.close();
}

// `n` identical calls made at the same time.
inline std::vector<StreamedAnswer> stream_calls(std::size_t n, const tokentally::http::ClientRequest& req,
                                                std::size_t stop_after = READ_ALL,
                                                std::atomic<std::size_t>* received = nullptr) {
    std::vector<StreamedAnswer> out(n);
    boost::asio::io_context ioc;
    std::vector<std::future<void>> done;
    for (auto& answer : out)
        done.push_back(
            boost::asio::co_spawn(ioc, _read_stream(req, stop_after, answer, received), boost::asio::use_future));
    ioc.run();
    for (std::size_t i = 0; i < n; ++i) {
        try {
            done[i].get();
        } catch (const std::exception& e) {
            out[i].error = e.what();
        }
    }
    return out;
}

inline StreamedAnswer stream_call(const std::string& method, const std::string& url,
                                  const tokentally::http::Headers& headers, const std::string& body,
                                  std::size_t stop_after = READ_ALL, std::atomic<std::size_t>* received = nullptr) {
    const tokentally::http::ClientRequest req{method, url, headers, body};
    return stream_calls(1, req, stop_after, received).front();
}

// The proxy application on 127.0.0.1 and a free port while alive.
struct ProxyServer {
    ProxyServer() {
        tokentally::http::ServerOptions opts;
        opts.port = 0;
        opts.workers = 2;
        server = tokentally::http::start(tokentally::proxy::make_app(services), opts);
    }
    // What the app works with; a test puts its stand-ins here.
    std::shared_ptr<tokentally::proxy::Services> services =
        tokentally::proxy::make_services(tt_test::store(), tokentally::proxy::load_access(true));
    ~ProxyServer() { tokentally::http::stop(*server); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(tokentally::http::port(*server)) + path;
    }
    std::shared_ptr<tokentally::http::RunningServer> server;
};

// Rows of the calls table; none when nothing was ever recorded.
inline boost::json::array call_rows(const Scratch& s) {
    if (!std::filesystem::exists(s.db_path())) return {};
    if (query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'calls'").empty()) return {};
    return query(s.db_path(), "SELECT * FROM calls ORDER BY id");
}

// Sockets this process holds open.
inline int open_sockets() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string().rfind("socket:", 0) == 0) ++n;
    }
    return n;
}

}  // namespace tt_test
