// The local Ollama proxy: the /ollama router, which relays calls to a local
// Ollama server and records them with the estimated cost of the GPU's
// electricity, and the local model list.
#pragma once

#include "tokentally/http/client.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/relay.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::local {

namespace bj = boost::json;

inline constexpr std::string_view DEFAULT_OLLAMA_BASE = "http://127.0.0.1:11434";
inline constexpr double DEFAULT_GPU_WATTS = 40.0;
inline constexpr double DEFAULT_ELECTRICITY_RATE = 0.12;
inline constexpr std::chrono::seconds OLLAMA_TIMEOUT{300};
inline constexpr std::chrono::seconds MODEL_LIST_TIMEOUT{5};

// Router with the prefix /ollama holding the one route `ollama_proxy`
// (GET, POST, PUT and DELETE on every path below the prefix), recording
// through `ledger`.
http::Router router(std::shared_ptr<ledger::Writer> ledger);

// The `local` section of the configuration, read afresh; empty when the
// configuration cannot be read or the section is not a table.
bj::object _local_config();

// ollama_base_url as configured (DEFAULT_OLLAMA_BASE when absent). Throws
// when it is not a text.
std::string _ollama_base();

// gpu_watts and electricity_rate as numbers (a numeric text is parsed).
// Throw, naming the key and value, when they cannot be read as numbers.
double _gpu_watts();
double _electricity_rate();

// Watt-hours of the call times the rate: elapsed_s / 3600 x watts x rate.
double _calc_power_cost(double elapsed_s);

// A streamed answer from Ollama is newline-delimited JSON whose lines may be
// split across transport reads. Appends `chunk` to `pending` and takes out
// the complete lines it then holds, without their newline or a carriage
// return before it; blank lines are dropped. The unfinished tail stays in
// `pending` until its newline arrives, or, `at_end`, is the last line.
std::vector<std::string> take_ndjson_lines(std::string& pending, std::string_view chunk, bool at_end);

struct TokenCounts {
    std::int64_t prompt_tokens = 0;
    std::int64_t completion_tokens = 0;
};

// The counts of the line that ends a streamed answer (a JSON object whose
// "done" is truthy), a count missing or unreadable as 0; none for any other
// line.
std::optional<TokenCounts> done_line_counts(std::string_view line);

// Everything the two answer paths need about one call, beyond who it is for
// and where it is recorded.
struct LocalCall : relay::Call {
    std::shared_ptr<http::Client> client;
    http::ClientRequest upstream;  // method, target URL, forwarded headers, raw body
    std::optional<bj::object> body_json;
};

boost::asio::awaitable<http::Response> _handle_ollama_standard(LocalCall call);
boost::asio::awaitable<http::Response> _handle_ollama_streaming(LocalCall call);

// Names of the models installed on the Ollama server, in its order; empty
// when the server is down, slow (5 s) or answers something unreadable.
boost::asio::awaitable<std::vector<std::string>> list_local_models();

}  // namespace tokentally::local
