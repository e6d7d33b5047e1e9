// A blocking HTTP call for tests, and a proxy application running on a
// free port for the life of a test.
#pragma once

#include "tokentally/http/client.hpp"
#include "tokentally/http/server.hpp"

#include <memory>
#include <string>

namespace tt_test {

// One request through tokentally's own upstream client, run to completion.
tokentally::http::ClientResponse call(const std::string& method, const std::string& url,
                                      const tokentally::http::Headers& headers = {}, const std::string& body = "");

// Sends raw bytes and returns whatever comes back until the peer closes.
std::string raw_exchange(std::uint16_t port, const std::string& bytes);

// Serves `app` on 127.0.0.1 and a free port until destroyed.
struct RunningApp {
    explicit RunningApp(const tokentally::http::Router& app, tokentally::http::ServerOptions opts = {});
    ~RunningApp();
    std::string url() const;
    std::shared_ptr<tokentally::http::RunningServer> server;
};

}  // namespace tt_test
