// The upstream HTTP client: http and https (SNI, certificates verified
// against the system store), one connection per client, a complete-answer
// mode that decodes gzip/deflate/br, and a streamed-body mode. It never
// follows a redirect: a 3xx is an answer like any other.
#pragma once

#include "tokentally/http/message.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tokentally::http {

struct ClientRequest {
    std::string method;
    std::string url;  // absolute http:// or https:// URL
    Headers headers;  // framing and hop-by-hop fields are dropped and rebuilt
    std::string body;
};

struct ClientResponse {
    int status = 0;
    Headers headers;
    std::string body;  // decoded according to Content-Encoding
};

// What a URL connects to: "http" or "https", the host as it is resolved
// (an IPv6 address without brackets) and the port (the scheme's default
// when none is given). Throws for a URL the client cannot use.
struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
};
Origin url_origin(const std::string& url);

// Decides whether a client may connect to `host` at the addresses the name
// resolved to; throws to refuse. The connection is then made to exactly
// these addresses, so the name cannot change between check and connection.
using AddressCheck =
    std::function<void(const std::string& host, const std::vector<boost::asio::ip::address>& addresses)>;

struct ClientState;

// One upstream client: owns at most one connection, closed when the client
// is closed or destroyed. Not shared between requests. With an address
// check, every connection it makes is checked, and it reuses only kept
// connections that a client with a check made.
struct Client {
    explicit Client(std::chrono::seconds timeout, AddressCheck check = {});
    ~Client();
    Client(Client&&) noexcept;
    Client& operator=(Client&&) noexcept;

    // Sends the request and reads the complete answer. The timeout bounds the
    // whole exchange. Throws on transport errors, naming the URL.
    boost::asio::awaitable<ClientResponse> fetch(const ClientRequest& req);

    // Sends the request and reads the answer's status line and headers; the
    // body is then read with next_chunk(). The timeout bounds each wait.
    boost::asio::awaitable<ClientResponse> open_stream(const ClientRequest& req);

    // The next piece of the streamed body as it arrived from the transport;
    // nullopt at its end. Throws on transport errors.
    boost::asio::awaitable<std::optional<std::string>> next_chunk();

    // Resolves the URL's host and runs the address check now, before any
    // answer has started; the next connection to that host uses these
    // addresses. Throws what the check throws, or on resolution errors.
    boost::asio::awaitable<void> resolve(const std::string& url);

    bool checks_addresses() const;

    // Ends the exchange: its connection is kept for another request when the
    // answer left it clean, else closed. The client may then send another.
    void close();

    std::unique_ptr<ClientState> state;
};

// Sends one request on an event loop of its own and waits for the complete
// answer: for the command line, which runs no loop. Throws as fetch does.
ClientResponse fetch_now(const ClientRequest& req, std::chrono::seconds timeout);

// The URL without user information and with its query replaced by "...":
// what error messages and logs may show, since keys travel there too.
std::string redact_url(const std::string& url);

// Largest answer the client reads into memory, before and after decoding.
inline constexpr std::size_t MAX_ANSWER_BYTES = 512ull * 1024 * 1024;

// Decodes a body by its Content-Encoding value (gzip, deflate, br,
// identity); throws for an encoding it cannot decode, a corrupt body, or a
// decoded body above `limit` bytes.
std::string decode_body(const std::string& body, std::string_view content_encoding,
                        std::size_t limit = MAX_ANSWER_BYTES);

// "scheme://host" of a URL, as refusals and failed deliveries name it (IPv6
// hosts in brackets); the redacted URL when it is not one a client can use.
std::string target_name(const std::string& url);

}  // namespace tokentally::http
