// What every relay of a call does, whoever it relays to (a provider through
// the proxy, or the local Ollama server): the headers it forwards, its
// timing, the row it leaves, and how it ends when that row cannot be
// written. Each relay keeps what is its own (paths, prices, body formats).
#pragma once

#include "tokentally/http/message.hpp"
#include "tokentally/ledger/ledger.hpp"

#include <spdlog/logger.h>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tokentally::relay {

// Monotonic clock in seconds.
double monotonic();

// "[tag|session]", both made printable: how every per-call log line begins.
std::string log_prefix(const std::string& tag, const std::string& session_id);

// A model id (or another text a caller chose) or a count inside a log line,
// made printable; "None" when there is none.
std::string log_text(const std::string& text);
std::string log_text(const std::optional<std::string>& model_id);
std::string log_text(const std::optional<std::int64_t>& count);

// Request headers to forward: all but Host and the x-tokentally* controls.
// (Framing headers are set by the client from the body it sends.)
http::Headers forward_headers(const http::Headers& headers);

// Who a relayed call is for, where it is recorded, and when it started.
struct Call {
    std::shared_ptr<ledger::Writer> ledger;
    std::optional<std::string> model_id;
    std::string tag;
    std::string session_id;
    std::optional<std::string> key;               // the client key it came with, when client keys are on
    double t0 = 0.0;                              // monotonic(), when the call started
    const std::atomic<int>* in_flight = nullptr;  // the requests its server answers right now
};

// Seconds since the call started.
double elapsed(const Call& call);

// The call's row as far as every relay knows it: model, tag, session, client
// key, how long it took, its status and whether it was streamed. Tokens and cost are
// the relay's to add.
ledger::CallRecord make_record(const Call& call, double elapsed_s, int status, bool streamed);

// How many requests a server answers right now (1 when it does not count).
int requests_in_flight(const std::atomic<int>* in_flight);

// Records the row, grouped with the rows of other calls in flight. Throws
// what recording threw. `committed` as for ledger::record_call_async.
boost::asio::awaitable<void> record(const Call& call, const ledger::CallRecord& rec,
                                    std::function<void()> committed = {});
boost::asio::awaitable<void> record(ledger::Writer& ledger, const ledger::CallRecord& rec,
                                    const std::atomic<int>* in_flight, std::function<void()> committed = {});

// Records the row of a stream whose every piece the client already has, but
// not yet its end. When the row cannot be written, logs "<prefix> streamed
// call not recorded: <reason>" on `log` and throws http::StreamAborted: the
// client's stream then stops short of its final chunk, so that it does not
// take an answer the ledger will never show for a whole one (a complete
// answer is a 500 in the same case).
boost::asio::awaitable<void> record_stream_end(const Call& call, const ledger::CallRecord& rec, spdlog::logger& log,
                                               std::function<void()> committed = {});

}  // namespace tokentally::relay
