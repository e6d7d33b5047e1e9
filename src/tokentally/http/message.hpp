// Plain records for HTTP messages as the modules see them, independent of
// the wire library: ordered header lists with case-insensitive lookup.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tokentally::http {

// Header fields in arrival order; names keep the sender's letter case.
using Headers = std::vector<std::pair<std::string, std::string>>;

bool iequals(std::string_view a, std::string_view b);
std::string lower(std::string_view s);

// Value of the first field named `name` (any letter case), or nullptr.
const std::string* find_header(const Headers& headers, std::string_view name);

// Replaces every field named `name` (any letter case) with one field.
void set_header(Headers& headers, std::string_view name, std::string value);

// Fields that belong to one hop and are never copied across a proxy:
// framing (Content-Length, Transfer-Encoding), the hop-by-hop set and Expect.
bool is_hop_header(std::string_view name);

// Appends each field as "Name: value\r\n" in order, leaving out the
// hop-by-hop ones (the writer adds its own framing) and any named `skip`.
// Throws for a name or value holding CR, LF or NUL, which would forge further
// fields or end the head early.
void append_fields(std::string& out, const Headers& headers, std::string_view skip = {});

// Headers without the fields whose lower-cased name starts with one of
// `prefixes` or equals one of `names`: the one filter every relay uses.
Headers filter_headers(const Headers& headers, const std::vector<std::string_view>& drop_names,
                       const std::vector<std::string_view>& drop_prefixes);

struct Request {
    std::string method;  // "GET", "POST", ... as received
    std::string path;    // without the query string
    std::string query;   // without the "?"
    Headers headers;
    std::string body;
    std::string path_param;  // what a catch-all route captured
    std::string peer;        // the client's IP address, as the socket saw it
    // Requests its server is answering right now, this one included; none
    // for a request no server handed over.
    const std::atomic<int>* in_flight = nullptr;
    // The name of the client key the caller presented, set by the route's
    // key check once the key is found in the list; never read from a header.
    std::optional<std::string> client_key = std::nullopt;

    const std::string* header(std::string_view name) const { return find_header(headers, name); }
};

// Produces the next chunk of a streamed answer; nullopt when it has ended.
// The function object owns whatever the stream needs (an upstream
// connection) and releases it when destroyed, also when the client left.
using ChunkSource = std::function<boost::asio::awaitable<std::optional<std::string>>()>;

// Thrown by a ChunkSource whose stream must not look finished to the client
// (its call could not be recorded): the connection is then closed without
// the final chunk. Any other error of a source ends the body cleanly.
struct StreamAborted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Response {
    int status = 200;
    Headers headers;
    std::string body;
    ChunkSource stream;  // set: the body is sent chunked, chunk by chunk
    // Called once, on the connection's loop, when the client goes away
    // before the streamed body has ended (the source is dropped after it).
    std::function<void()> abandoned;

    bool streamed() const { return static_cast<bool>(stream); }
};

// A JSON answer written by the one JSON writer, with optional extra headers.
Response json_response(int status, const boost::json::value& body, Headers extra = {});

// A streamed answer of status 200 with the given media type.
Response stream_response(std::string content_type, ChunkSource source, Headers extra = {});

}  // namespace tokentally::http
