// Helpers for the tests of the spend guards (budget block, exact cache,
// alerts): ledger rows at chosen times, and priced chat calls through a
// running proxy towards a mock provider.
#pragma once

#include "support/client.hpp"
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "tokentally/ledger/ledger.hpp"

#include <optional>
#include <string>

namespace tt_test {

// 1000 prompt and 500 completion tokens of openai/gpt-4o (2.5 and 10 dollars
// per million) cost $0.0075.
inline constexpr const char* PRICED_USAGE = R"({"prompt_tokens": 1000, "completion_tokens": 500})";
inline constexpr double PRICED_COST = 0.0075;

// Appends one row to the calls of the test's store, `age_s` seconds old.
inline void insert_call(double age_s, std::optional<double> cost, const std::string& tag = "default") {
    tokentally::store::CallRecord rec{.model_id = "openai/gpt-4o",
                                      .tag = tag,
                                      .cost_usd = cost,
                                      .elapsed_s = 0.1,
                                      .status = 200,
                                      .ts = tokentally::store::now() - age_s};
    const tokentally::store::CallRecord* rows[] = {&rec};
    store()->calls().append(rows);
}

// A chat request body for openai/gpt-4o asking `content`.
inline std::string chat_body(const std::string& content, const std::string& extra_members = "") {
    return R"({"model": "openai/gpt-4o", "messages": [{"role": "user", "content": ")" + content + "\"}]" +
           extra_members + "}";
}

// POSTs `body` to /v1/chat/completions of `app`, targeting `mock`.
inline tokentally::http::ClientResponse post_chat(const RunningApp& app, const MockServer& mock,
                                                  const std::string& body, tokentally::http::Headers headers = {},
                                                  const std::string& method = "POST") {
    headers.emplace_back("X-Tokentally-Target", mock.url());
    headers.emplace_back("Content-Type", "application/json");
    return call(method, app.url() + "/v1/chat/completions", headers, body);
}

// A JSON answer of the mock provider.
inline MockReply reply(int status, std::string body) {
    MockReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

// A mock provider answering every call 200 with a priced chat answer.
inline MockReply priced_answer(const Received&) { return reply(200, chat_answer(PRICED_USAGE)); }

}  // namespace tt_test
