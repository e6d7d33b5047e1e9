// The upstream HTTP client: http and https (SNI, certificates verified
// against the system store), one connection per client, a complete-answer
// mode that decodes gzip/deflate/br, and a streamed-body mode.
#pragma once

#include "tokentally/http/message.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

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

struct ClientState;

// One upstream client: owns at most one connection, closed when the client
// is closed or destroyed. Not shared between requests.
struct Client {
    explicit Client(std::chrono::seconds timeout);
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

    // Ends the exchange: its connection is kept for another request when the
    // answer left it clean, else closed. The client may then send another.
    void close();

    std::unique_ptr<ClientState> state;
};

// The URL without user information and with its query replaced by "...":
// what error messages and logs may show, since keys travel there too.
std::string redact_url(const std::string& url);

// Decodes a body by its Content-Encoding value (gzip, deflate, br,
// identity); throws for an encoding it cannot decode or a corrupt body.
std::string decode_body(const std::string& body, std::string_view content_encoding);

}  // namespace tokentally::http
