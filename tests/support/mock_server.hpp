// A scriptable upstream on 127.0.0.1 for tests: a mock provider or a mock
// Ollama server. It records what it received and answers what the script
// says: a JSON or plain body, a chunked stream with pauses, or raw bytes.
#pragma once

#include "tokentally/http/message.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tt_test {

struct Received {
    std::string method;
    std::string target;  // path and query as received
    tokentally::http::Headers headers;
    std::string body;
    const std::string* header(std::string_view name) const { return tokentally::http::find_header(headers, name); }
};

struct MockReply {
    int status = 200;
    tokentally::http::Headers headers{{"Content-Type", "application/json"}};
    std::string body;
    // When not empty the body is sent chunked, one piece per chunk, with
    // `chunk_delay` before each piece after the first.
    std::vector<std::string> chunks;
    std::chrono::milliseconds chunk_delay{0};
    // When set, called before each piece after the first is written. It
    // runs on the mock's only thread and may block there, so that a test can
    // hold the next piece back until the client has the previous one.
    std::function<void(std::size_t index)> before_chunk;
    // Before anything is sent.
    std::chrono::milliseconds delay{0};
    // When set, these bytes are written as they are and the connection is
    // closed (truncated or malformed answers, resets).
    std::optional<std::string> raw;
};

struct TlsFiles {
    std::string ca_cert;      // the throw-away CA, for SSL_CERT_FILE
    std::string server_cert;  // for the name localhost only
    std::string server_key;
};

// Creates a throw-away CA and a server certificate under `dir`.
TlsFiles make_tls_files(const std::string& dir);

// An OpenAI-style chat answer with the given usage block members.
std::string chat_answer(const std::string& usage_json = R"({"prompt_tokens": 10, "completion_tokens": 5})");

struct MockServerState;

class MockServer {
public:
    using Script = std::function<MockReply(const Received&)>;
    explicit MockServer(Script script, const TlsFiles* tls = nullptr);
    ~MockServer();
    MockServer(const MockServer&) = delete;
    MockServer& operator=(const MockServer&) = delete;

    std::uint16_t port() const;
    std::string url() const;  // scheme://127.0.0.1:port
    std::vector<Received> received() const;
    std::size_t count() const;
    // Connections currently open towards this server.
    int open_connections() const;
    // Connections accepted since it started.
    int connections_accepted() const;
    // Times at which each chunk of the last streamed answer was written.
    std::vector<std::chrono::steady_clock::time_point> chunk_times() const;

private:
    std::unique_ptr<MockServerState> state_;
};

// A local port that refuses connections: bound but never listening, and
// held while this lives, so that no server of a test running alongside
// can take it (a closed server's port could be taken at once).
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string url() const;  // http://127.0.0.1:port

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace tt_test
