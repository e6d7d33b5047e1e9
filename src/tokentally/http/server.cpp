#include "tokentally/http/server.hpp"
#include "tokentally/http/trust.hpp"
#include "tokentally/http/write.hpp"

#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"

#include <boost/asio.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace tokentally::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

// One event loop per worker thread, each running alone: a connection (and
// the upstream connections it opens) lives on one loop from accept to close,
// so its handlers never hop threads and need no strand. The accept loop runs
// on the first loop and deals connections out in turn.
struct RunningServer {
    std::vector<std::unique_ptr<asio::io_context>> loops;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> keep_running;
    std::vector<std::unique_ptr<asio::steady_timer>> pacemakers;  // one per loop
    tcp::acceptor acceptor;
    std::size_t next_loop = 0;
    std::vector<std::thread> threads;
    std::shared_ptr<const Router> app;
    ServerOptions opts;
    std::atomic<int> in_flight{0};
    std::atomic<int> connections{0};
    std::atomic<std::size_t> body_bytes{0};  // request bodies held right now
    bool check_host = false;                 // bound to loopback: Host must name it
    std::mutex mu;
    std::condition_variable idle;
    bool stopped = false;
    std::uint16_t port = 0;

    explicit RunningServer(int n) : loops(_make_loops(n)), acceptor(*loops.front()) {
        for (auto& loop : loops) keep_running.push_back(asio::make_work_guard(*loop));
    }
    ~RunningServer() { stop(*this); }

    static std::vector<std::unique_ptr<asio::io_context>> _make_loops(int n) {
        std::vector<std::unique_ptr<asio::io_context>> out;
        for (int i = 0; i < n; ++i) out.push_back(std::make_unique<asio::io_context>(1));
        return out;
    }
};

namespace {

auto _log() {
    static auto logger = logging::get("tokentally.http");
    return logger;
}

// Counts a request as in flight for the drain at shutdown.
struct InFlight {
    RunningServer& srv;
    explicit InFlight(RunningServer& s) : srv(s) { ++srv.in_flight; }
    ~InFlight() {
        if (--srv.in_flight == 0) {
            std::lock_guard lock(srv.mu);
            srv.idle.notify_all();
        }
    }
};

// Counts an open client connection for the cap on connections.
struct Connected {
    std::atomic<int>& n;
    explicit Connected(std::atomic<int>& c) : n(c) { ++n; }
    ~Connected() { --n; }
};

bool _match(const std::string& pattern, const std::string& path, std::string& captured) {
    if (pattern.size() >= CATCH_ALL.size() &&
        pattern.compare(pattern.size() - CATCH_ALL.size(), CATCH_ALL.size(), CATCH_ALL) == 0) {
        std::string prefix = pattern.substr(0, pattern.size() - CATCH_ALL.size()) + "/";
        if (path.rfind(prefix, 0) != 0) return false;
        captured = path.substr(prefix.size());
        return true;
    }
    return path == pattern;
}

// The route that takes a request, its path parameter set; nullptr when none
// does. A route whose path matches but whose methods do not is remembered:
// when no later route takes the request, the answer is 405 rather than 404.
const Route* _route(const Router& app, Request& req, bool& path_known) {
    path_known = false;
    for (const auto& route : app.routes) {
        std::string captured;
        if (!_match(route.pattern, req.path, captured)) continue;
        if (std::find(route.methods.begin(), route.methods.end(), req.method) != route.methods.end()) {
            req.path_param = std::move(captured);
            return &route;
        }
        path_known = true;
    }
    return nullptr;
}

asio::awaitable<Response> _dispatch(const Route* route, bool path_known, Request& req) {
    if (route != nullptr) co_return co_await route->handler(req);
    if (path_known) co_return json_response(405, boost::json::object{{"detail", "Method Not Allowed"}});
    co_return json_response(404, boost::json::object{{"detail", "Not Found"}});
}

// The request as far as its head tells: the body is read later, if at all.
Request _head_request(const bhttp::request<bhttp::string_body>& msg) {
    Request req;
    req.method = std::string(msg.method_string());
    std::string_view target(msg.target());
    auto q = target.find('?');
    req.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos) req.query = std::string(target.substr(q + 1));
    for (const auto& field : msg)
        req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return req;
}

// Only "chunked" alone is a transfer coding this server reads. With any
// other (or another after it) the body's end is not where a front-end that
// framed it differently thinks it is, and the rest would be read as a
// request of its own.
bool _framing_refused(const bhttp::request<bhttp::string_body>& msg) {
    std::string codings;
    for (const auto& field : msg)
        if (field.name() == bhttp::field::transfer_encoding) codings.append(field.value()).append(",");
    if (codings.empty()) return false;
    int chunked = 0;
    for (std::size_t at = 0; at < codings.size();) {
        std::size_t comma = codings.find(',', at);
        std::string_view token = std::string_view(codings).substr(at, comma - at);
        at = comma + 1;
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t')) token.remove_prefix(1);
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.remove_suffix(1);
        if (token.empty()) continue;
        if (!iequals(token, "chunked") || chunked++ > 0) return true;
    }
    return chunked != 1;
}

// The name a Host field gives, lower case, without port or brackets.
std::string _host_name(std::string_view value) {
    while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (value.starts_with('[')) return lower(value.substr(1, value.find(']') - 1));
    std::size_t colon = value.rfind(':');
    if (colon != std::string_view::npos && value.find(':') == colon) value = value.substr(0, colon);
    if (value.ends_with('.')) value.remove_suffix(1);
    return lower(value);
}

// Loopback addresses, localhost and its subdomains, and names without a
// dot: a page that rebinds a name needs one in public DNS, and those have
// dots; a bare name is this machine's or its network's own.
bool _local_name(const std::string& name) {
    if (name == "localhost" || name.ends_with(".localhost")) return true;
    if (name.find('.') == std::string::npos && name.find(':') == std::string::npos) return true;
    return loopback_address(name);
}

// A request without Host (HTTP/1.0) passes: browsers always send one.
std::optional<std::string> _misdirected(const RunningServer& srv, const bhttp::request<bhttp::string_body>& msg) {
    if (!srv.check_host) return std::nullopt;
    auto host = msg.find(bhttp::field::host);
    if (host == msg.end()) return std::nullopt;
    std::string name = _host_name(host->value());
    if (_local_name(name)) return std::nullopt;
    for (const auto& allowed : srv.opts.allowed_hosts)
        if (_host_name(allowed) == name) return std::nullopt;
    return std::string(host->value());
}

Response _plain(int status, std::string_view body) {
    Response r;
    r.status = status;
    r.headers.emplace_back("content-type", "text/plain; charset=utf-8");
    r.body = std::string(body);
    return r;
}

// Completes once the client has closed its side of the connection or the
// connection failed. A client that is merely quiet keeps it waiting; so does
// one that already sent more bytes (a pipelined request), because readiness
// then says nothing about the peer having gone. Completes early when cancelled.
asio::awaitable<void> _client_gone(tcp::socket& socket) {
    auto [ec] = co_await socket.async_wait(tcp::socket::wait_read, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    char byte;
    ssize_t n = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    bool still_there = n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
    if (!still_there) co_return;
    asio::steady_timer forever(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
    co_await forever.async_wait(asio::as_tuple(asio::use_awaitable));
}

enum class Next { chunk, end, client_gone, abort };

[[noreturn]] void _throw_aborted() {
    throw beast::system_error(asio::error::connection_aborted, "streamed answer aborted by its source");
}

bool _aborts(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const StreamAborted&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The client left (or stopped reading) before the stream's end: whoever
// produced the answer is told, then the connection is given up.
[[noreturn]] void _abandon(Response& resp, const beast::error_code& ec) {
    if (resp.abandoned) resp.abandoned();
    if (ec) throw beast::system_error(ec, "writing a streamed answer");
    throw beast::system_error(asio::error::connection_aborted, "client went away during a streamed answer");
}

// Waits for the source's next chunk while watching the client. A client that
// leaves while the source is still waiting on its upstream cancels that wait,
// so the caller can drop the source (and the upstream connection) at once
// instead of at the next write, which may never come.
asio::awaitable<Next> _next_chunk(ChunkSource& source, tcp::socket& socket, std::string& chunk) {
    auto ex = co_await asio::this_coro::executor;
    auto [order, source_error, produced, watch_error] =
        co_await asio::experimental::make_parallel_group(asio::co_spawn(ex, source(), asio::deferred),
                                                         asio::co_spawn(ex, _client_gone(socket), asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1) co_return Next::client_gone;
    if (source_error) {
        if (_aborts(source_error)) {
            _log()->debug("stream aborted: {}", logging::describe(source_error));
            co_return Next::abort;
        }
        // The answer has started: end the body cleanly, the source failed.
        _log()->debug("stream source ended with an error: {}", logging::describe(source_error));
        co_return Next::end;
    }
    if (!produced) co_return Next::end;
    chunk = std::move(*produced);
    co_return Next::chunk;
}

// What a request the parser refused gets: 413 for the body's size, 431 for
// the head's size or field count, 400 for anything malformed.
Response _refusal(const beast::error_code& ec) {
    if (ec == bhttp::error::body_limit)
        return json_response(413, boost::json::object{{"detail", "Request body too large"}});
    if (ec == bhttp::error::header_limit)
        return json_response(431, boost::json::object{{"detail", "Request header fields too large"}});
    // A body whose end the head leaves in doubt (transfer codings, lengths
    // that disagree): a front-end that framed it otherwise would see a
    // smuggled request behind it.
    if (ec == bhttp::error::bad_transfer_encoding || ec == bhttp::error::bad_content_length ||
        ec == bhttp::error::multiple_content_length)
        return json_response(400, boost::json::object{{"detail", "Bad request"}});
    return _plain(400, "Bad Request");
}

bool _may_have_body(int status) { return status >= 200 && status != 204 && status != 304; }

// The status line and fields of an answer, without its framing fields and
// the blank line that ends the head.
std::string _head(const Response& resp, bool keep_alive) {
    auto reason = bhttp::obsolete_reason(static_cast<bhttp::status>(resp.status));
    std::string head = "HTTP/1.1 " + std::to_string(resp.status) + " " + std::string(reason) + "\r\n";
    append_fields(head, resp.headers);
    if (!keep_alive) head += "Connection: close\r\n";
    return head;
}

asio::awaitable<void> _write_stream(beast::tcp_stream& stream, Response& resp, bool keep_alive,
                                    const ServerOptions& opts) {
    std::string head = _head(resp, keep_alive) + "Transfer-Encoding: chunked\r\n\r\n";
    stream.expires_after(opts.write_timeout);
    co_await asio::async_write(stream, asio::buffer(head), asio::use_awaitable);
    for (std::string chunk;;) {
        Next next = co_await _next_chunk(resp.stream, stream.socket(), chunk);
        if (next == Next::client_gone) _abandon(resp, {});
        // Closing without the final chunk tells the client the answer is not whole.
        if (next == Next::abort) _throw_aborted();
        if (next == Next::end) break;
        if (chunk.empty()) continue;
        stream.expires_after(opts.write_timeout);
        auto [ec, n] = co_await asio::async_write(stream, bhttp::make_chunk(asio::buffer(chunk)),
                                                  asio::as_tuple(asio::use_awaitable));
        if (ec) _abandon(resp, ec);
    }
    stream.expires_after(opts.write_timeout);
    co_await asio::async_write(stream, bhttp::make_chunk_last(), asio::use_awaitable);
}

asio::awaitable<void> _write(beast::tcp_stream& stream, Response& resp, bool keep_alive, const ServerOptions& opts) {
    if (resp.streamed()) {
        co_await _write_stream(stream, resp, keep_alive, opts);
        co_return;
    }
    // Head and body in one gather write: Beast's serializer walks a buffer
    // sequence per field and costs more than the rest of the answer.
    std::string head = _head(resp, keep_alive);
    // A relayed 204 or 304 still carries the JSON text its handler built;
    // HTTP forbids a body (and its length) there.
    if (!_may_have_body(resp.status))
        resp.body.clear();
    else
        head += "Content-Length: " + std::to_string(resp.body.size()) + "\r\n";
    head += "\r\n";
    std::array<asio::const_buffer, 2> wire{asio::buffer(head), asio::buffer(resp.body)};
    co_await write_all(stream, wire, [&] { stream.expires_after(opts.write_timeout); });
}

asio::awaitable<Response> _answer(const Route* route, bool path_known, Request& req) {
    try {
        co_return co_await _dispatch(route, path_known, req);
    } catch (const std::exception& e) {
        if (!logging::is_logged_outage(e)) _log()->error("{} {} failed: {}", req.method, req.path, e.what());
    }
    co_return _plain(500, INTERNAL_ERROR_BODY);
}

// Reads one request's head, refusing one with more fields than the options
// allow. The field count is a header limit like the head's size, so the
// parser's own error code carries it to the 431 answer.
asio::awaitable<beast::error_code> _read_head(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                              bhttp::request_parser<bhttp::string_body>& parser,
                                              const ServerOptions& opts) {
    auto [head_ec, head_n] =
        co_await bhttp::async_read_header(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
    if (head_ec) co_return head_ec;
    const auto& head = parser.get();
    if (static_cast<std::size_t>(std::distance(head.begin(), head.end())) > opts.header_count_limit)
        co_return bhttp::error::header_limit;
    co_return beast::error_code{};
}

// The bytes of request bodies one request holds against the server's cap,
// given back when it is done.
struct BodyHold {
    RunningServer& srv;
    std::size_t held = 0;
    explicit BodyHold(RunningServer& s) : srv(s) {}
    ~BodyHold() { srv.body_bytes -= held; }
    BodyHold(const BodyHold&) = delete;
    BodyHold& operator=(const BodyHold&) = delete;
    // Holds `total` bytes in all; false (holding what it held) beyond the cap.
    bool grow(std::size_t total) {
        if (total <= held) return true;
        std::size_t more = total - held;
        if (srv.body_bytes.fetch_add(more) + more > srv.opts.bodies_limit) {
            srv.body_bytes -= more;
            return false;
        }
        held = total;
        return true;
    }
};

// What reading a body can end in besides the parser's own errors.
enum class Body { read, busy, failed };

// Reads the body a piece at a time, each piece held against the cap. A body
// of known length is held whole before its first byte is read.
asio::awaitable<Body> _read_body(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                 bhttp::request_parser<bhttp::string_body>& parser, BodyHold& hold,
                                 beast::error_code& ec) {
    if (auto length = parser.content_length(); length && !hold.grow(*length)) co_return Body::busy;
    while (!parser.is_done()) {
        auto [read_ec, n] =
            co_await bhttp::async_read_some(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
        if (read_ec) {
            ec = read_ec;
            co_return Body::failed;
        }
        if (!hold.grow(parser.get().body().size())) co_return Body::busy;
    }
    co_return Body::read;
}

bool _expects_continue(const bhttp::request<bhttp::string_body>& msg) {
    auto expect = msg.find(bhttp::field::expect);
    return expect != msg.end() && iequals(expect->value(), "100-continue");
}

// After an answer that left the body unread: the client may still be
// sending it. Closing at once would reset the connection, and a reset can
// destroy the answer before the client reads it; so the sending side is
// shut, and what still arrives is read and dropped for a short while.
asio::awaitable<void> _linger(beast::tcp_stream& stream) {
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.expires_after(std::chrono::seconds(1));
    std::array<char, 16384> sink;
    for (std::size_t dropped = 0; dropped < 4 * 1024 * 1024;) {
        auto [ec, n] = co_await stream.async_read_some(asio::buffer(sink), asio::as_tuple(asio::use_awaitable));
        if (ec) break;
        dropped += n;
    }
}

Response _json_refusal(int status, std::string detail) {
    return json_response(status, boost::json::object{{"detail", std::move(detail)}});
}

// An answer given before the body is read: the framing, the Host, the
// route's own check, in that order.
std::optional<Response> _before_body(RunningServer& srv, const bhttp::request<bhttp::string_body>& msg,
                                     const Route* route, Request& req) {
    if (_framing_refused(msg)) return _json_refusal(400, "Bad request");
    if (auto host = _misdirected(srv, msg)) return _json_refusal(421, "Misdirected request: " + *host);
    if (route == nullptr || !route->head_check) return std::nullopt;
    try {
        return route->head_check(req);
    } catch (const std::exception& e) {
        _log()->error("{} {} failed: {}", req.method, req.path, e.what());
        return _plain(500, INTERNAL_ERROR_BODY);
    }
}

asio::awaitable<void> _session(RunningServer& srv, tcp::socket socket) {
    Connected connected(srv.connections);
    // Streamed answers are many small writes; without this a chunk can wait
    // for the client's delayed acknowledgement of the previous one.
    beast::error_code nodelay_ignored;
    socket.set_option(tcp::no_delay(true), nodelay_ignored);
    beast::error_code peer_unknown;
    std::string peer = socket.remote_endpoint(peer_unknown).address().to_string();
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;
    const auto& opts = srv.opts;
    auto gone = [](const beast::error_code& ec) {
        return ec == bhttp::error::end_of_stream || ec == asio::error::eof || ec == beast::error::timeout ||
               ec == asio::error::connection_reset || ec == asio::error::operation_aborted;
    };
    try {
        for (;;) {
            bhttp::request_parser<bhttp::string_body> parser;
            parser.body_limit(opts.body_limit);
            parser.header_limit(static_cast<std::uint32_t>(opts.header_limit));
            stream.expires_after(opts.idle_timeout);
            beast::error_code ec = co_await _read_head(stream, buffer, parser, opts);
            if (gone(ec)) break;
            InFlight counted(srv);
            if (ec) {
                Response err = _refusal(ec);
                co_await _write(stream, err, false, opts);
                break;
            }
            paths::look_again();  // a file edited before the request was sent is seen by it
            Request req = _head_request(parser.get());
            req.peer = peer;
            req.in_flight = &srv.in_flight;
            bool path_known = false;
            const Route* route = _route(*srv.app, req, path_known);
            if (auto early = _before_body(srv, parser.get(), route, req)) {
                co_await _write(stream, *early, false, opts);
                co_await _linger(stream);
                break;
            }
            BodyHold hold(srv);
            if (_expects_continue(parser.get()) && !parser.is_done() &&
                (!parser.content_length() || hold.grow(*parser.content_length()))) {
                static const std::string CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
                stream.expires_after(opts.write_timeout);
                co_await asio::async_write(stream, asio::buffer(CONTINUE), asio::use_awaitable);
            }
            stream.expires_after(opts.idle_timeout);
            Body body = co_await _read_body(stream, buffer, parser, hold, ec);
            if (body == Body::failed && gone(ec)) break;
            if (body != Body::read) {
                Response err = body == Body::busy ? _json_refusal(503, "Server busy") : _refusal(ec);
                co_await _write(stream, err, false, opts);
                co_await _linger(stream);
                break;
            }
            bool keep_alive = parser.get().keep_alive();
            req.body = std::move(parser.get().body());
            Response resp = co_await _answer(route, path_known, req);
            co_await _write(stream, resp, keep_alive, opts);
            if (!keep_alive) break;
        }
    } catch (const std::exception& e) {
        // The client went away or stopped reading; nothing more to send.
        _log()->debug("connection closed: {}", e.what());
    }
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

// Beyond the cap a connection gets one plain 503 and is closed, so a flood
// of clients cannot exhaust the process's descriptors or memory.
asio::awaitable<void> _refuse_busy(tcp::socket socket) {
    static const std::string BODY = R"({"detail": "Too many connections"})";
    static const std::string BUSY =
        "HTTP/1.1 503 Service Unavailable\r\ncontent-type: application/json\r\nconnection: close\r\n"
        "content-length: " +
        std::to_string(BODY.size()) + "\r\n\r\n" + BODY;
    // A client that is already gone needs no answer: the error is not kept.
    co_await asio::async_write(socket, asio::buffer(BUSY), asio::as_tuple(asio::use_awaitable));
    beast::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
}

// Asio sets the kernel's timer (a system call) whenever a new wait is the
// earliest of its loop. Every read and write of a connection has a deadline,
// and with one busy connection each new one is the earliest, its predecessor
// having just been cancelled: two system calls per exchange. A pacemaker
// wait that comes due within the second keeps connection deadlines (a second
// or more away) from ever being the earliest; the kernel's timer is then set
// about once a second per loop.
constexpr auto PACE = std::chrono::seconds(1);

void _pace(asio::steady_timer& pacemaker) {
    pacemaker.expires_after(PACE);
    pacemaker.async_wait([&pacemaker](const beast::error_code& ec) {
        if (!ec) _pace(pacemaker);
    });
}

// Out of descriptors (or kernel memory), accepting again at once fails
// again at once: the loop would spin and flood the log. It waits a little,
// and says so at most once a second.
bool _starved(const beast::error_code& ec) {
    namespace errc = boost::system::errc;
    return ec == errc::too_many_files_open || ec == errc::too_many_files_open_in_system ||
           ec == errc::no_buffer_space || ec == errc::not_enough_memory;
}

constexpr auto ACCEPT_BACKOFF = std::chrono::milliseconds(100);

asio::awaitable<void> _accept_loop(RunningServer& srv) {
    auto last_logged = std::chrono::steady_clock::time_point{};
    for (;;) {
        asio::io_context& loop = *srv.loops[srv.next_loop++ % srv.loops.size()];
        auto [ec, socket] = co_await srv.acceptor.async_accept(loop, asio::as_tuple(asio::use_awaitable));
        if (ec == asio::error::operation_aborted || !srv.acceptor.is_open()) co_return;
        if (ec) {
            auto now = std::chrono::steady_clock::now();
            if (now - last_logged >= std::chrono::seconds(1)) {
                last_logged = now;
                _log()->warn("accept failed: {}", ec.message());
            }
            if (_starved(ec)) {
                asio::steady_timer pause(co_await asio::this_coro::executor, ACCEPT_BACKOFF);
                co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
            }
            continue;
        }
        auto ex = socket.get_executor();
        if (srv.connections.load() >= srv.opts.max_connections) {
            asio::co_spawn(ex, _refuse_busy(std::move(socket)), asio::detached);
            continue;
        }
        asio::co_spawn(ex, _session(srv, std::move(socket)), asio::detached);
    }
}

// Descriptors kept free for what is not a client connection: the ledger's
// files, the loops' own, kept upstream connections, a log file.
constexpr long SPARE_DESCRIPTORS = 32;

// Each client connection may hold an upstream one: at most half the
// descriptors the process may still open serve clients. The soft limit is
// raised to the hard one first; a cap above what remains is lowered, once,
// with a line in the log.
int _connection_cap(int wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY) return wanted;
    long open = 0;
    std::error_code unreadable;
    for (std::filesystem::directory_iterator it("/proc/self/fd", unreadable), end; !unreadable && it != end;
         it.increment(unreadable))
        ++open;
    long room = (static_cast<long>(limit.rlim_cur) - open - SPARE_DESCRIPTORS) / 2;
    if (room >= wanted) return wanted;
    int cap = static_cast<int>(std::max(1L, room));
    static std::once_flag said;
    std::call_once(
        said, [&] { _log()->warn("max connections lowered to {}: the open-file limit is {}", cap, limit.rlim_cur); });
    return cap;
}

}  // namespace

void add_route(Router& router, std::vector<std::string> methods, std::string pattern, Handler handler) {
    router.routes.push_back(Route{std::move(methods), router.prefix + pattern, std::move(handler), {}});
}

void include_router(Router& router, const Router& other) {
    for (const auto& r : other.routes)
        router.routes.push_back(Route{r.methods, router.prefix + r.pattern, r.handler, r.head_check});
    for (const auto& hook : other.startup) router.startup.push_back(hook);
}

std::shared_ptr<RunningServer> start(const Router& app, const ServerOptions& opts) {
    for (const auto& hook : app.startup) hook();
    int n = opts.workers > 0 ? opts.workers : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    auto srv = std::make_shared<RunningServer>(n);
    srv->app = std::make_shared<const Router>(app);
    srv->opts = opts;
    srv->opts.max_connections = _connection_cap(opts.max_connections);
    srv->check_host = loopback_address(lower(opts.host));
    tcp::endpoint ep(asio::ip::make_address(opts.host), opts.port);
    srv->acceptor.open(ep.protocol());
    srv->acceptor.set_option(asio::socket_base::reuse_address(true));
    srv->acceptor.bind(ep);
    srv->acceptor.listen(asio::socket_base::max_listen_connections);
    srv->port = srv->acceptor.local_endpoint().port();
    asio::co_spawn(*srv->loops.front(), _accept_loop(*srv), asio::detached);
    for (auto& loop : srv->loops) {
        auto& pacemaker = *srv->pacemakers.emplace_back(std::make_unique<asio::steady_timer>(*loop));
        _pace(pacemaker);
    }
    for (auto& loop : srv->loops) srv->threads.emplace_back([l = loop.get()] { l->run(); });
    return srv;
}

std::uint16_t port(const RunningServer& server) { return server.port; }

int requests_in_flight(const RunningServer& server) { return server.in_flight.load(); }

void stop(RunningServer& srv) {
    {
        std::lock_guard lock(srv.mu);
        if (srv.stopped) return;
        srv.stopped = true;
    }
    asio::post(*srv.loops.front(), [&srv] {
        beast::error_code ignored;
        srv.acceptor.close(ignored);
    });
    {
        std::unique_lock lock(srv.mu);
        srv.idle.wait_for(lock, srv.opts.drain_timeout, [&] { return srv.in_flight.load() == 0; });
    }
    for (auto& loop : srv.loops) loop->stop();
    for (auto& t : srv.threads)
        if (t.joinable()) t.join();
}

void serve_until_signal(const Router& app, const ServerOptions& opts) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Block the signals before the worker threads exist so that they inherit
    // the mask and only sigwait below receives them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    auto srv = start(app, opts);
    _log()->info("serving on http://{}:{}", opts.host, port(*srv));
    int sig = 0;
    sigwait(&set, &sig);
    _log()->info("stopping: finishing requests in flight");
    stop(*srv);
}

}  // namespace tokentally::http
