#include "tokentally/http/client.hpp"
#include "tokentally/http/write.hpp"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url.hpp>

#include <brotli/decode.h>
#include <zlib.h>

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace tokentally::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;

struct ClientState {
    std::chrono::seconds timeout;
    std::unique_ptr<beast::tcp_stream> tcp;
    std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls;
    beast::flat_buffer buffer;
    std::optional<bhttp::response_parser<bhttp::buffer_body>> parser;
    std::string url;                      // as asked for: redacted only when an error names it
    std::string pool_key;                 // scheme://host:port the connection belongs to
    AddressCheck check;                   // set: every new connection's addresses pass it first
    std::string resolved_for;             // host:port of `resolved`
    std::vector<tcp::endpoint> resolved;  // checked addresses kept for the next connection
    bool reusable = false;                // a complete answer left the connection clean
    bool got_some = false;                // any byte of the answer arrived
    std::array<char, 16384> chunk;        // streamed pieces; no need to clear it per call
};

namespace {

ssl::context& _tls_context() {
    // Built on first use so that SSL_CERT_FILE / SSL_CERT_DIR set by the
    // environment (or a test's throw-away CA) are honoured.
    static ssl::context ctx = [] {
        ssl::context c(ssl::context::tls_client);
        c.set_default_verify_paths();
        c.set_verify_mode(ssl::verify_peer);
        return c;
    }();
    return ctx;
}

struct Target {
    bool tls = false;
    std::string host;
    std::string port;
    std::string target;      // path and query sent on the request line
    std::string host_field;  // value of the Host header
};

// A URL split at its first "?": the query travels as the caller wrote it,
// never decoded or re-encoded, so only the part before it is parsed (a query
// Boost.URL would reject, with a raw "|" or "{", still goes out unchanged).
struct Split {
    std::string_view base;
    std::optional<std::string_view> query;
};

Split _split_query(std::string_view url) {
    std::size_t q = url.find('?');
    if (q == std::string_view::npos) return {url, std::nullopt};
    return {url.substr(0, q), url.substr(q + 1)};
}

// Bytes that would end the request line or forge a header field.
bool _fits_request_line(std::string_view query) {
    return std::none_of(query.begin(), query.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f;
    });
}

Target _parse_url(const std::string& url) {
    auto [base, query] = _split_query(url);
    auto parsed = boost::urls::parse_uri(base);
    if (!parsed) throw std::runtime_error("invalid upstream URL: " + parsed.error().message());
    if (query && !_fits_request_line(*query))
        throw std::runtime_error("invalid upstream URL: the query holds a space or a control character");
    const auto& u = *parsed;
    Target t;
    std::string scheme = lower(u.scheme());
    if (scheme != "http" && scheme != "https")
        throw std::runtime_error("unsupported upstream URL scheme '" + scheme + "' in '" + redact_url(url) + "'");
    t.tls = scheme == "https";
    t.host = std::string(u.encoded_host());
    if (u.host_type() == boost::urls::host_type::ipv6) t.host = std::string(u.host_ipv6_address().to_string());
    if (t.host.empty()) throw std::runtime_error("upstream URL without host: '" + redact_url(url) + "'");
    t.port = u.has_port() ? std::string(u.port()) : (t.tls ? "443" : "80");
    if (t.port.empty() || t.port.size() > 5 || std::stoul(t.port) > 65535)
        throw std::runtime_error("invalid port in upstream URL '" + redact_url(url) + "'");
    t.target = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
    if (query) t.target += "?" + std::string(*query);
    t.host_field = std::string(u.encoded_host_and_port());
    return t;
}

// A request as it goes on the wire: its head, and its body as the caller
// holds it, written together in one gather write (no copy of the body).
struct Wire {
    std::string head;
    const std::string* body;
    std::array<asio::const_buffer, 2> buffers() const { return {asio::buffer(head), asio::buffer(*body)}; }
};

// The body's length is always stated when there is one, and for the methods
// that carry a body even when it is empty.
Wire _wire(const ClientRequest& req, const Target& t) {
    Wire w{"", &req.body};
    w.head.append(req.method).append(" ").append(t.target).append(" HTTP/1.1\r\nHost: ").append(t.host_field);
    w.head.append("\r\n");
    append_fields(w.head, req.headers, "host");
    if (!req.body.empty() || req.method == "POST" || req.method == "PUT" || req.method == "OPTIONS")
        w.head.append("Content-Length: ").append(std::to_string(req.body.size())).append("\r\n");
    w.head.append("\r\n");
    return w;
}

template <class Stream>
void _expire(Stream& s, std::chrono::seconds timeout) {
    beast::get_lowest_layer(s).expires_after(timeout);
}

// A request goes out in one write, but TLS records or a large body can still
// leave a small last segment; do not let it wait for the server's delayed
// acknowledgement of the one before.
void _no_delay(tcp::socket& socket) {
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
}

// A literal address needs no name service; skipping the resolver also skips
// its hop to a background thread on every call to a local provider.
asio::awaitable<std::vector<tcp::endpoint>> _resolve(const Target& t) {
    boost::system::error_code ec;
    auto literal = asio::ip::make_address(t.host, ec);
    if (!ec)
        co_return std::vector<tcp::endpoint>{tcp::endpoint(literal, static_cast<unsigned short>(std::stoi(t.port)))};
    tcp::resolver resolver(co_await asio::this_coro::executor);
    auto results = co_await resolver.async_resolve(t.host, t.port, asio::use_awaitable);
    co_return std::vector<tcp::endpoint>(results.begin(), results.end());
}

std::vector<asio::ip::address> _addresses(const std::vector<tcp::endpoint>& endpoints) {
    std::vector<asio::ip::address> out;
    for (const auto& e : endpoints) out.push_back(e.address());
    return out;
}

// The addresses a new connection may use: those resolved (and checked)
// ahead of it, or resolved and checked now. Either way the connection goes
// to the very addresses the check saw.
asio::awaitable<std::vector<tcp::endpoint>> _checked_endpoints(ClientState& st, const Target& t) {
    std::string key = t.host + ":" + t.port;
    if (st.resolved_for == key) co_return st.resolved;
    auto endpoints = co_await _resolve(t);
    if (st.check) st.check(t.host, _addresses(endpoints));
    st.resolved_for = key;
    st.resolved = endpoints;
    co_return endpoints;
}

asio::awaitable<void> _connect(ClientState& st, const Target& t) {
    auto ex = co_await asio::this_coro::executor;
    auto endpoints = co_await _checked_endpoints(st, t);
    if (!t.tls) {
        st.tcp = std::make_unique<beast::tcp_stream>(ex);
        st.tcp->expires_after(st.timeout);
        co_await st.tcp->async_connect(endpoints, asio::use_awaitable);
        _no_delay(st.tcp->socket());
        co_return;
    }
    st.tls = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(ex, _tls_context());
    if (!SSL_set_tlsext_host_name(st.tls->native_handle(), t.host.c_str()))
        throw std::runtime_error("cannot set TLS server name for " + t.host);
    st.tls->set_verify_callback(ssl::host_name_verification(t.host));
    _expire(*st.tls, st.timeout);
    co_await beast::get_lowest_layer(*st.tls).async_connect(endpoints, asio::use_awaitable);
    _no_delay(beast::get_lowest_layer(*st.tls).socket());
    co_await st.tls->async_handshake(ssl::stream_base::client, asio::use_awaitable);
}

asio::awaitable<void> _write_request(beast::tcp_stream& s, const Wire& wire) {
    co_await write_all(s, wire.buffers(), [] {});
}

template <class Stream>
asio::awaitable<void> _write_request(Stream& s, const Wire& wire) {
    co_await asio::async_write(s, wire.buffers(), asio::use_awaitable);
}

// An interim answer (100 Continue, 103 Early Hints) is not the answer: its
// head is read and dropped, and the final one follows on the same
// connection. A 101 would hand the connection to another protocol, which
// no request of this client asks for.
template <class Parser>
bool _interim(const Parser& parser) {
    int status = static_cast<int>(parser.get().result_int());
    if (status == 101) throw std::runtime_error("the upstream switched protocols (101), which was not asked for");
    return status >= 100 && status < 200;
}

template <class Stream>
asio::awaitable<ClientResponse> _fetch_on(Stream& s, ClientState& st, const Wire& wire) {
    _expire(s, st.timeout);  // for the write's rest, if any, and the answer
    co_await _write_request(s, wire);
    std::optional<bhttp::response_parser<bhttp::string_body>> parser;
    st.got_some = false;
    do {
        parser.emplace();
        parser->body_limit(MAX_ANSWER_BYTES);
        auto [ec, n] = co_await bhttp::async_read(s, st.buffer, *parser, asio::as_tuple(asio::use_awaitable));
        st.got_some = st.got_some || parser->got_some();
        if (ec) throw beast::system_error(ec);
    } while (_interim(*parser));
    // Only a whole answer, framed by its length or its chunks, with nothing
    // read past it, leaves the connection fit for another caller.
    st.reusable = parser->get().keep_alive() && !parser->need_eof() && st.buffer.size() == 0;
    auto res = parser->release();
    ClientResponse out;
    out.status = static_cast<int>(res.result_int());
    for (const auto& f : res) out.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
    const std::string* enc = find_header(out.headers, "content-encoding");
    out.body = enc != nullptr ? decode_body(res.body(), *enc) : std::move(res.body());
    co_return out;
}

template <class Stream>
asio::awaitable<ClientResponse> _open_on(Stream& s, ClientState& st, const Wire& wire) {
    co_await asio::async_write(s, wire.buffers(), asio::use_awaitable);
    do {
        st.parser.emplace();
        st.parser->body_limit(boost::none);
        _expire(s, st.timeout);
        co_await bhttp::async_read_header(s, st.buffer, *st.parser, asio::use_awaitable);
    } while (_interim(*st.parser));
    ClientResponse out;
    out.status = static_cast<int>(st.parser->get().result_int());
    for (const auto& f : st.parser->get())
        out.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
    co_return out;
}

template <class Stream>
asio::awaitable<std::optional<std::string>> _chunk_on(Stream& s, ClientState& st) {
    auto& p = *st.parser;
    while (!p.is_done()) {
        p.get().body().data = st.chunk.data();
        p.get().body().size = st.chunk.size();
        _expire(s, st.timeout);
        auto [ec, n] = co_await bhttp::async_read_some(s, st.buffer, p, asio::as_tuple(asio::use_awaitable));
        if (ec == bhttp::error::need_buffer) ec = {};
        if (ec) throw beast::system_error(ec, "reading the upstream answer from " + redact_url(st.url));
        std::size_t got = st.chunk.size() - p.get().body().size;
        if (got > 0) co_return std::string(st.chunk.data(), got);
    }
    co_return std::nullopt;
}

asio::awaitable<ClientResponse> _exchange(ClientState& st, const Wire& wire) {
    if (st.tls) co_return co_await _fetch_on(*st.tls, st, wire);
    co_return co_await _fetch_on(*st.tcp, st, wire);
}

asio::awaitable<ClientResponse> _fetch(ClientState& st, Target t, const Wire& wire) {
    co_await _connect(st, t);
    co_return co_await _exchange(st, wire);
}

asio::awaitable<ClientResponse> _open(ClientState& st, Target t, const Wire& wire) {
    co_await _connect(st, t);
    if (st.tls) co_return co_await _open_on(*st.tls, st, wire);
    co_return co_await _open_on(*st.tcp, st, wire);
}

// Transport errors name the method and URL they happened on. (Kept out of
// the coroutines: rethrowing from a catch block inside one is miscompiled
// by GCC 12.)
[[noreturn]] void _rethrow_naming(const std::exception_ptr& error, const std::string& what, const std::string& url) {
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error(what + " " + redact_url(url) + " failed: " + e.code().message());
    }
}

// A small compressed body may expand a thousandfold: the decoded answer
// has the same cap as the bytes read off the wire.
void _check_decoded(std::size_t size, std::size_t limit) {
    if (size > limit)
        throw std::runtime_error("the decoded upstream answer exceeds " + std::to_string(limit) + " bytes");
}

std::string _inflate(const std::string& body, int window_bits, std::size_t limit) {
    z_stream zs{};
    if (inflateInit2(&zs, window_bits) != Z_OK) throw std::runtime_error("zlib init failed");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    zs.avail_in = static_cast<uInt>(body.size());
    std::string out;
    std::array<char, 32768> buf;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        zs.next_out = reinterpret_cast<Bytef*>(buf.data());
        zs.avail_out = buf.size();
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&zs);
            throw std::runtime_error("corrupt compressed answer body");
        }
        out.append(buf.data(), buf.size() - zs.avail_out);
        if (out.size() > limit) {
            inflateEnd(&zs);
            _check_decoded(out.size(), limit);
        }
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) break;  // truncated input
    }
    inflateEnd(&zs);
    return out;
}

std::string _unbrotli(const std::string& body, std::size_t limit) {
    BrotliDecoderState* st = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    size_t avail_in = body.size();
    const uint8_t* next_in = reinterpret_cast<const uint8_t*>(body.data());
    std::string out;
    std::array<uint8_t, 32768> buf;
    BrotliDecoderResult rc;
    do {
        size_t avail_out = buf.size();
        uint8_t* next_out = buf.data();
        rc = BrotliDecoderDecompressStream(st, &avail_in, &next_in, &avail_out, &next_out, nullptr);
        out.append(reinterpret_cast<char*>(buf.data()), buf.size() - avail_out);
        if (out.size() > limit) {
            BrotliDecoderDestroyInstance(st);
            _check_decoded(out.size(), limit);
        }
    } while (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT);
    BrotliDecoderDestroyInstance(st);
    if (rc != BROTLI_DECODER_RESULT_SUCCESS) throw std::runtime_error("corrupt brotli answer body");
    return out;
}

// Idle keep-alive connections to providers, shared by all requests: a new
// TCP connection and TLS handshake per call would add a round trip or more
// to every answer. Taken newest first, dropped after IDLE_LIMIT.
struct IdleConnection {
    std::string key;
    std::unique_ptr<beast::tcp_stream> tcp;
    std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls;
    std::chrono::steady_clock::time_point since;
};

constexpr std::size_t MAX_IDLE = 64;
constexpr std::chrono::seconds IDLE_LIMIT{20};

// The pool belongs to the event loop its sockets were opened on, and goes
// away with it.
struct PoolService : asio::execution_context::service {
    using key_type = PoolService;
    static inline asio::execution_context::id id;
    explicit PoolService(asio::execution_context& ctx) : asio::execution_context::service(ctx) {}
    void shutdown() override {
        std::lock_guard lock(mu);
        idle.clear();
    }
    std::mutex mu;
    std::vector<IdleConnection> idle;
};

PoolService& _pool_of(const asio::any_io_executor& ex) {
    return asio::use_service<PoolService>(asio::query(ex, asio::execution::context));
}

// True while the peer has neither closed nor sent anything unasked. Asked
// of every kept connection before it is taken: a byte waiting there would
// be read as the start of the next caller's answer.
bool _quiet(tcp::socket& sock) {
    char byte;
    ssize_t n = ::recv(sock.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

bool _take_idle(ClientState& st, PoolService& pool) {
    std::lock_guard lock(pool.mu);
    auto& idle = pool.idle;
    auto now = std::chrono::steady_clock::now();
    while (!idle.empty()) {
        // The newest entry sits last; older ones are checked only if it is gone.
        auto it =
            std::find_if(idle.rbegin(), idle.rend(), [&](const IdleConnection& i) { return i.key == st.pool_key; });
        if (it == idle.rend()) return false;
        IdleConnection entry = std::move(*it);
        idle.erase(std::next(it).base());
        tcp::socket& sock = entry.tls ? beast::get_lowest_layer(*entry.tls).socket() : entry.tcp->socket();
        if (now - entry.since > IDLE_LIMIT || !_quiet(sock)) continue;
        st.tcp = std::move(entry.tcp);
        st.tls = std::move(entry.tls);
        return true;
    }
    return false;
}

void _give_back(ClientState& st) {
    // No deadline while parked: the next exchange sets its own.
    if (st.tls) beast::get_lowest_layer(*st.tls).expires_never();
    if (st.tcp) st.tcp->expires_never();
    auto& pool = st.tls ? _pool_of(st.tls->get_executor()) : _pool_of(st.tcp->get_executor());
    std::lock_guard lock(pool.mu);
    auto& idle = pool.idle;
    if (idle.size() >= MAX_IDLE) idle.erase(idle.begin());
    idle.push_back(IdleConnection{st.pool_key, std::move(st.tcp), std::move(st.tls), std::chrono::steady_clock::now()});
}

// A kept connection the provider closed in the meantime fails before any
// byte of the answer; only then is the request sent again, on a new one.
bool _stale(const std::exception_ptr& error, const ClientState& st) {
    if (st.got_some) return false;
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        auto ec = e.code();
        return ec == bhttp::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
               ec == asio::error::broken_pipe || ec == asio::error::connection_aborted;
    } catch (...) {
        return false;
    }
}

}  // namespace

Origin url_origin(const std::string& url) {
    Target t = _parse_url(url);
    return Origin{t.tls ? "https" : "http", t.host, t.port};
}

std::string redact_url(const std::string& url) {
    auto [base, query] = _split_query(url);
    auto parsed = boost::urls::parse_uri(base);
    if (!parsed) return "(unparsable URL)";
    boost::urls::url u = *parsed;
    u.remove_userinfo();
    if (query) u.set_encoded_query("...");
    return std::string(u.buffer());
}

std::string decode_body(const std::string& body, std::string_view content_encoding, std::size_t limit) {
    std::string enc = lower(content_encoding);
    if (enc.empty() || enc == "identity" || body.empty()) return body;
    if (enc == "gzip" || enc == "x-gzip") return _inflate(body, 15 + 32, limit);
    if (enc == "deflate") {
        // Most servers send zlib-wrapped data; some send raw deflate.
        try {
            return _inflate(body, 15, limit);
        } catch (const std::exception&) {
            return _inflate(body, -15, limit);
        }
    }
    if (enc == "br") return _unbrotli(body, limit);
    throw std::runtime_error("unsupported Content-Encoding '" + enc + "'");
}

// `new ClientState` rather than make_unique: value-initialising would zero
// the 16 kB chunk buffer on every call, which only streamed answers use.
Client::Client(std::chrono::seconds timeout, AddressCheck check) : state(new ClientState) {
    state->timeout = timeout;
    state->check = std::move(check);
}
Client::~Client() { close(); }
Client::Client(Client&&) noexcept = default;
Client& Client::operator=(Client&&) noexcept = default;

asio::awaitable<ClientResponse> Client::fetch(const ClientRequest& req) {
    auto& st = *state;
    st.url = req.url;
    Target t = _parse_url(req.url);
    st.pool_key = std::string(t.tls ? "https://" : "http://") + t.host + ":" + t.port;
    // A connection made without the check never serves a client that has one.
    if (st.check) st.pool_key += " checked";
    const Wire wire = _wire(req, t);
    auto ex = co_await asio::this_coro::executor;
    if (_take_idle(st, _pool_of(ex))) {
        // Awaited in place rather than spawned: a spawn is a coroutine
        // frame, a post and a turn of the loop more on every call.
        std::exception_ptr error;
        try {
            co_return co_await _exchange(st, wire);
        } catch (...) {
            error = std::current_exception();
        }
        bool stale = _stale(error, st);
        st.reusable = false;
        close();
        if (!stale) _rethrow_naming(error, req.method, req.url);
    }
    auto [error, out] = co_await asio::co_spawn(ex, _fetch(st, t, wire), asio::as_tuple(asio::use_awaitable));
    if (error) {
        st.reusable = false;
        _rethrow_naming(error, req.method, req.url);
    }
    co_return out;
}

asio::awaitable<ClientResponse> Client::open_stream(const ClientRequest& req) {
    auto& st = *state;
    st.url = req.url;
    Target t = _parse_url(req.url);
    const Wire wire = _wire(req, t);
    auto [error, out] = co_await asio::co_spawn(co_await asio::this_coro::executor, _open(st, t, wire),
                                                asio::as_tuple(asio::use_awaitable));
    if (error) _rethrow_naming(error, req.method, req.url);
    co_return out;
}

asio::awaitable<void> Client::resolve(const std::string& url) {
    auto& st = *state;
    Target t = _parse_url(url);
    auto [error, endpoints] = co_await asio::co_spawn(co_await asio::this_coro::executor, _checked_endpoints(st, t),
                                                      asio::as_tuple(asio::use_awaitable));
    if (error) _rethrow_naming(error, "resolving", url);
}

bool Client::checks_addresses() const { return state && static_cast<bool>(state->check); }

asio::awaitable<std::optional<std::string>> Client::next_chunk() {
    auto& st = *state;
    if (!st.parser) co_return std::nullopt;
    if (st.tls) co_return co_await _chunk_on(*st.tls, st);
    co_return co_await _chunk_on(*st.tcp, st);
}

void Client::close() {
    if (!state) return;
    if (state->reusable && (state->tcp || state->tls) && !state->parser) {
        state->reusable = false;
        _give_back(*state);
        return;
    }
    beast::error_code ignored;
    if (state->tls) beast::get_lowest_layer(*state->tls).socket().close(ignored);
    if (state->tcp) state->tcp->socket().close(ignored);
    state->tls.reset();
    state->tcp.reset();
    state->parser.reset();
    // Bytes read past an answer belong to the connection just closed, not
    // to the next exchange of this client.
    state->buffer.clear();
}

ClientResponse fetch_now(const ClientRequest& req, std::chrono::seconds timeout) {
    asio::io_context ioc;
    auto fetched = asio::co_spawn(
        ioc,
        [req, timeout]() -> asio::awaitable<ClientResponse> {
            Client client(timeout);
            co_return co_await client.fetch(req);
        },
        asio::use_future);
    ioc.run();
    return fetched.get();
}

std::string target_name(const std::string& url) {
    Origin origin;
    try {
        origin = url_origin(url);
    } catch (const std::exception&) {
        return redact_url(url);
    }
    std::string host = lower(origin.host);
    return origin.scheme + "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
}

}  // namespace tokentally::http
