#include "tokentally/proxy/relay.hpp"

#include "tokentally/base/logging.hpp"
#include "tokentally/http/server.hpp"

#include <chrono>

namespace tokentally::relay {

double monotonic() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string log_prefix(const std::string& tag, const std::string& session_id) {
    return "[" + logging::printable(tag) + "|" + logging::printable(session_id) + "]";
}

std::string log_text(const std::string& text) { return logging::printable(text); }

std::string log_text(const std::optional<std::string>& model_id) {
    return model_id ? logging::printable(*model_id) : "None";
}

std::string log_text(const std::optional<std::int64_t>& count) { return count ? std::to_string(*count) : "None"; }

http::Headers forward_headers(const http::Headers& headers) {
    return http::filter_headers(headers, {"host"}, {"x-tokentally"});
}

double elapsed(const Call& call) { return monotonic() - call.t0; }

ledger::CallRecord make_record(const Call& call, double elapsed_s, int status, bool streamed) {
    ledger::CallRecord rec;
    rec.model_id = call.model_id;
    rec.tag = call.tag;
    rec.session_id = call.session_id;
    rec.key = call.key;
    rec.elapsed_s = elapsed_s;
    rec.status = status;
    rec.streamed = streamed;
    return rec;
}

// Not coroutines of their own: the caller awaits the ledger's directly.
boost::asio::awaitable<void> record(const Call& call, const ledger::CallRecord& rec, std::function<void()> committed) {
    return record(*call.ledger, rec, call.in_flight, std::move(committed));
}

int requests_in_flight(const std::atomic<int>* in_flight) {
    return in_flight != nullptr ? in_flight->load(std::memory_order_relaxed) : 1;
}

boost::asio::awaitable<void> record(ledger::Writer& ledger, const ledger::CallRecord& rec,
                                    const std::atomic<int>* in_flight, std::function<void()> committed) {
    // The writer batches only when there is something to batch with.
    return ledger::record_call_async(ledger, rec, requests_in_flight(in_flight), std::move(committed));
}

boost::asio::awaitable<void> record_stream_end(const Call& call, const ledger::CallRecord& rec, spdlog::logger& log,
                                               std::function<void()> committed) {
    std::optional<std::string> not_recorded;
    try {
        co_await record(call, rec, std::move(committed));
    } catch (const std::exception& e) {
        not_recorded = e.what();
    }
    if (!not_recorded) co_return;
    log.error("{} streamed call not recorded: {}", log_prefix(call.tag, call.session_id), *not_recorded);
    throw http::StreamAborted(*not_recorded);
}

}  // namespace tokentally::relay
