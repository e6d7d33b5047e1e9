#include "support/mock_server.hpp"

#include "support/scratch.hpp"

#include <boost/asio.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace tt_test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

struct MockServerState {
    MockServer::Script script;
    asio::io_context ioc;
    tcp::acceptor acceptor{ioc};
    std::unique_ptr<asio::ssl::context> tls;
    std::thread thread;
    mutable std::mutex mu;
    std::vector<Received> received;
    std::vector<std::chrono::steady_clock::time_point> chunk_times;
    std::atomic<int> open{0};
    std::atomic<int> accepted{0};
    std::uint16_t port = 0;
};

namespace {

struct OpenServer {
    std::atomic<int>& n;
    explicit OpenServer(std::atomic<int>& c) : n(c) { ++n; }
    ~OpenServer() { --n; }
};

bool _peer_closed(tcp::socket& sock) {
    char byte;
    ssize_t n = ::recv(sock.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Sleeps `delay` before an answer or between chunks, or less when the peer closes the connection
// meanwhile (then false): open_connections() drops as soon as the proxy lets
// go of the connection, not only at the next write.
asio::awaitable<bool> _pause(tcp::socket& sock, std::chrono::milliseconds delay) {
    asio::steady_timer t(co_await asio::this_coro::executor, delay);
    auto [order, timer_ec, wait_ec] =
        co_await asio::experimental::make_parallel_group(t.async_wait(asio::deferred),
                                                         sock.async_wait(tcp::socket::wait_read, asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] == 0) co_return true;
    if (_peer_closed(sock)) co_return false;
    co_await t.async_wait(asio::as_tuple(asio::use_awaitable));
    co_return true;
}

template <class Stream>
asio::awaitable<void> _reply(Stream& s, MockServerState& st, const MockReply& r, bool& keep_alive) {
    if (r.delay.count() > 0 && !co_await _pause(beast::get_lowest_layer(s), r.delay)) {
        keep_alive = false;
        co_return;
    }
    if (r.raw) {
        co_await asio::async_write(s, asio::buffer(*r.raw), asio::use_awaitable);
        keep_alive = false;
        co_return;
    }
    if (r.chunks.empty()) {
        bhttp::response<bhttp::string_body> res{static_cast<bhttp::status>(r.status), 11};
        for (const auto& [k, v] : r.headers) res.insert(k, v);
        res.body() = r.body;
        res.keep_alive(keep_alive);
        res.prepare_payload();
        co_await bhttp::async_write(s, res, asio::use_awaitable);
        co_return;
    }
    bhttp::response<bhttp::empty_body> head{static_cast<bhttp::status>(r.status), 11};
    for (const auto& [k, v] : r.headers) head.insert(k, v);
    head.chunked(true);
    head.keep_alive(keep_alive);
    bhttp::response_serializer<bhttp::empty_body> sr{head};
    co_await bhttp::async_write_header(s, sr, asio::use_awaitable);
    {
        std::lock_guard lock(st.mu);
        st.chunk_times.clear();
    }
    for (std::size_t i = 0; i < r.chunks.size(); ++i) {
        if (i > 0 && r.chunk_delay.count() > 0 && !co_await _pause(beast::get_lowest_layer(s), r.chunk_delay)) {
            keep_alive = false;
            co_return;
        }
        if (i > 0 && r.before_chunk) r.before_chunk(i);
        {
            std::lock_guard lock(st.mu);
            st.chunk_times.push_back(std::chrono::steady_clock::now());
        }
        co_await asio::async_write(s, bhttp::make_chunk(asio::buffer(r.chunks[i])), asio::use_awaitable);
    }
    co_await asio::async_write(s, bhttp::make_chunk_last(), asio::use_awaitable);
}

template <class Stream>
asio::awaitable<void> _serve(Stream& s, MockServerState& st) {
    beast::flat_buffer buf;
    for (;;) {
        bhttp::request<bhttp::string_body> req;
        auto [ec, n] = co_await bhttp::async_read(s, buf, req, asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        Received rec;
        rec.method = std::string(req.method_string());
        rec.target = std::string(req.target());
        for (const auto& f : req) rec.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
        rec.body = req.body();
        {
            std::lock_guard lock(st.mu);
            st.received.push_back(rec);
        }
        MockReply reply = st.script(rec);
        bool keep_alive = req.keep_alive();
        co_await _reply(s, st, reply, keep_alive);
        if (!keep_alive) co_return;
    }
}

asio::awaitable<void> _connection(MockServerState& st, tcp::socket sock) {
    OpenServer counted(st.open);
    // Chunk timings measure the proxy, not Nagle's algorithm on this side.
    beast::error_code nodelay_ignored;
    sock.set_option(tcp::no_delay(true), nodelay_ignored);
    try {
        if (st.tls) {
            beast::ssl_stream<tcp::socket> s(std::move(sock), *st.tls);
            co_await s.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
            co_await _serve(s, st);
        } else {
            co_await _serve(sock, st);
        }
    } catch (const std::exception&) {
        // The proxy went away mid-answer; that is what some tests do.
    }
}

asio::awaitable<void> _accept(MockServerState& st) {
    for (;;) {
        auto [ec, sock] = co_await st.acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        ++st.accepted;
        asio::co_spawn(st.ioc, _connection(st, std::move(sock)), asio::detached);
    }
}

}  // namespace

TlsFiles make_tls_files(const std::string& dir) {
    std::filesystem::create_directories(dir);
    TlsFiles f{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
    std::string cmd =
        "cd '" + dir +
        "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=tt-test-ca' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign >/dev/null 2>&1 && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=localhost' >/dev/null 2>&1 "
        "&& "
        "printf 'subjectAltName=DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext.cnf && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile ext.cnf >/dev/null 2>&1";
    if (run(cmd).status != 0) throw std::runtime_error("openssl could not make the test certificates");
    return f;
}

std::string chat_answer(const std::string& usage_json) {
    return R"({"id": "chatcmpl-1", "object": "chat.completion", "model": "gpt-4o", "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hello!"}, "finish_reason": "stop"}], "usage": )" +
           usage_json + "}";
}

MockServer::MockServer(Script script, const TlsFiles* tls) : state_(std::make_unique<MockServerState>()) {
    auto& st = *state_;
    st.script = std::move(script);
    if (tls) {
        st.tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        st.tls->use_certificate_chain_file(tls->server_cert);
        st.tls->use_private_key_file(tls->server_key, asio::ssl::context::pem);
    }
    tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
    st.acceptor.open(ep.protocol());
    st.acceptor.bind(ep);
    st.acceptor.listen();
    st.port = st.acceptor.local_endpoint().port();
    asio::co_spawn(st.ioc, _accept(st), asio::detached);
    st.thread = std::thread([&st] { st.ioc.run(); });
}

MockServer::~MockServer() {
    state_->ioc.stop();
    if (state_->thread.joinable()) state_->thread.join();
}

std::uint16_t MockServer::port() const { return state_->port; }

std::string MockServer::url() const {
    return std::string(state_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(state_->port);
}

std::vector<Received> MockServer::received() const {
    std::lock_guard lock(state_->mu);
    return state_->received;
}

std::size_t MockServer::count() const {
    std::lock_guard lock(state_->mu);
    return state_->received.size();
}

int MockServer::open_connections() const { return state_->open.load(); }

int MockServer::connections_accepted() const { return state_->accepted.load(); }

std::vector<std::chrono::steady_clock::time_point> MockServer::chunk_times() const {
    std::lock_guard lock(state_->mu);
    return state_->chunk_times;
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), len) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot bind a local port to refuse connections");
    }
    port_ = ntohs(at.sin_port);
}

RefusingPort::~RefusingPort() { ::close(fd_); }

std::string RefusingPort::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

}  // namespace tt_test
