#include "tokentally/proxy/forward.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/views/metrics.hpp"

#include <utility>

namespace tokentally::proxy {

namespace asio = boost::asio;

namespace {

// A provider error this long is enough to tell whether it names the member
// the proxy added.
constexpr std::size_t REFUSAL_BYTES = 64 * 1024;

// One relayed stream: what its chunk source and the server's abandonment
// hook share. Both run on the connection's loop, one at a time.
struct _relay {
    ForwardCall call;
    bool reads = false;                // stream_usage is on: the events are read as they pass
    usage::StreamReading reading;      // drop_usage_only: the proxy asked for usage itself
    std::string client_body;           // the client's own body, when usage was asked for in it (for a retry)
    std::string unread;                // the piece relayed last, read once it went out
    std::optional<std::string> first;  // read while deciding on a retry; relayed first
    bool opened = false;
    bool ended = false;  // the provider's body has ended
    bool recorded = false;
    bool first_seen = false;  // the first chunk went out (its time observed)
};

// With stream_usage "request": the body with stream_options.include_usage
// set, for a chat-completions stream that did not say either way (an
// explicit false is respected, other stream_options members are kept).
std::optional<std::string> _asking_for_usage(const ForwardCall& call) {
    // The path decides, whatever query keep_query kept (Azure's api-version).
    if (call.method != "POST" || !url_path(call).ends_with("/chat/completions")) return std::nullopt;
    if (!call.body_json || !call.body_json->contains("messages")) return std::nullopt;
    bj::object body = *call.body_json;
    bj::value& options = body["stream_options"];
    if (options.is_null()) options = bj::object{};
    if (!options.is_object() || options.get_object().contains("include_usage")) return std::nullopt;
    options.get_object()["include_usage"] = true;
    return json::write(body);
}

// What the ledger gets for a stream: its figures as far as they were seen.
// A finished stream is priced as a standard answer is (both counts needed);
// an abandoned one as soon as any figure came, the others counting as 0.
ledger::CallRecord _stream_record(const _relay& r, int status, double elapsed, bool abandoned) {
    const ForwardCall& c = r.call;
    ledger::CallRecord rec = relay::make_record(c, elapsed, status, true);
    rec.requested_model = c.requested_model;
    if (!r.reads) return rec;
    const usage::Usage& u = r.reading.usage;
    rec.prompt_tokens = usage::prompt_tokens(u);
    rec.completion_tokens = usage::completion_tokens(u);
    rec.service_tier = r.reading.service_tier;
    if (c.accounting.cache_pricing) set_cache_tokens(rec, usage::cache_tokens(u));
    bool measurable = abandoned ? !u.empty() : rec.prompt_tokens && rec.completion_tokens;
    if (!priced(c.pricing) || !measurable) return rec;
    try {
        rec.cost_usd =
            usage::cost(u, rates(c), c.accounting.cache_pricing, prices::service_tier(rec.service_tier.value_or("")));
    } catch (const std::exception&) {
        // A price that is not a number leaves the call unpriced, as for a standard answer.
    }
    return rec;
}

void _log_stream(const _relay& r, const ledger::CallRecord& rec, bool abandoned) {
    std::string what = abandoned ? "✗ " + relay::log_text(r.call.model_id) + " (streamed, client left)"
                                 : "✓ " + relay::log_text(r.call.model_id) + " (streamed)";
    std::string prefix = relay::log_prefix(r.call.tag, r.call.session_id);
    if (rec.cost_usd)
        proxy_log()->info("{} {}  in={} out={}  cost=${:.6f}  {:.2f}s", prefix, what,
                          relay::log_text(rec.prompt_tokens), relay::log_text(rec.completion_tokens), *rec.cost_usd,
                          rec.elapsed_s);
    else
        proxy_log()->info("{} {}  {:.2f}s", prefix, what, rec.elapsed_s);
}

// The piece relayed last is read once it has gone out, so that reading
// never delays the client.
void _read_unread(_relay& r) {
    if (r.unread.empty()) return;
    usage::read(r.reading, r.unread);
    r.unread.clear();
}

// What the client gets of a piece: the piece itself (a copy is kept to read
// later), or in drop mode whole events without the usage-only chunk.
std::string _pass(_relay& r, std::string piece) {
    if (!std::exchange(r.first_seen, true)) metrics::observe_first_byte(relay::elapsed(r.call));
    if (!r.reads) return piece;
    if (r.reading.drop_usage_only) return usage::relay(r.reading, piece);
    r.unread.assign(piece);
    return piece;
}

asio::awaitable<std::string> _read_some(http::Client& client, std::size_t limit) {
    std::string out;
    while (out.size() < limit) {
        auto piece = co_await client.next_chunk();
        if (!piece) break;
        out += *piece;
    }
    co_return out;
}

// Opens the provider's stream. When the proxy added stream_options and the
// provider refuses the member (400 or 422 naming it), the call goes once more
// as the client sent it.
asio::awaitable<void> _open_upstream(_relay& r) {
    auto& c = r.call;
    const http::ClientRequest upstream_req{c.method, c.url, c.headers, c.body};
    http::ClientResponse head = co_await c.client->open_stream(upstream_req);
    if (!r.reading.drop_usage_only || (head.status != 400 && head.status != 422)) co_return;
    std::string refusal = co_await _read_some(*c.client, REFUSAL_BYTES);
    if (refusal.find("stream_options") == std::string::npos) {
        r.first = std::move(refusal);
        co_return;
    }
    proxy_log()->info("{} the provider refused stream_options ({}): sent again without it",
                      relay::log_prefix(c.tag, c.session_id), head.status);
    c.client->close();
    r.reading.drop_usage_only = false;
    const http::ClientRequest again{c.method, c.url, c.headers, r.client_body};
    co_await c.client->open_stream(again);
}

// The stream has ended: the call is recorded. The client has every piece
// but not yet the end of the stream: if the call cannot be recorded, it must
// not see a finished answer (a standard call answers 500 in the same case).
asio::awaitable<void> _record_stream(_relay& r) {
    auto& c = r.call;
    r.recorded = true;
    c.client->close();
    ledger::CallRecord rec = _stream_record(r, 200, relay::elapsed(c), false);
    metrics::observe_upstream(rec.elapsed_s);
    co_await relay::record_stream_end(c, rec, *proxy_log(), gives_back_hold(c));
    _log_stream(r, rec, false);
}

asio::awaitable<std::optional<std::string>> _relay_next(std::shared_ptr<_relay> r) {
    if (!r->opened) {
        r->opened = true;
        metrics::observe_overhead(r->call.t0 - r->call.received);
        co_await _open_upstream(*r);
    }
    if (r->first) co_return _pass(*r, *std::exchange(r->first, std::nullopt));
    if (r->reads) _read_unread(*r);
    if (!r->ended) {
        if (auto chunk = co_await r->call.client->next_chunk()) co_return _pass(*r, std::move(*chunk));
        r->ended = true;
        std::string rest = r->reads ? usage::finish(r->reading) : std::string();
        if (!rest.empty()) co_return rest;
    }
    co_await _record_stream(*r);
    co_return std::nullopt;
}

// The client left before the end. With stream usage on, the provider still
// bills what it produced: the call is recorded as 499 with the figures seen
// so far, through the ledger's writer (this runs inside the server, which
// cannot wait here).
void _record_abandoned(_relay& r) {
    if (!r.reads || !r.opened || r.recorded) return;
    r.recorded = true;
    auto& c = r.call;
    try {
        _read_unread(r);
        usage::finish(r.reading);
        ledger::CallRecord rec = _stream_record(r, CLIENT_CLOSED_REQUEST, relay::elapsed(c), true);
        std::string prefix = relay::log_prefix(c.tag, c.session_id);
        ledger::record_call_queued(*c.ledger, rec, [prefix](std::exception_ptr failed) {
            if (failed)
                proxy_log()->error("{} abandoned streamed call not recorded: {}", prefix, logging::describe(failed));
        });
        _log_stream(r, rec, true);
    } catch (const std::exception& e) {
        proxy_log()->error("{} abandoned streamed call not recorded: {}", relay::log_prefix(c.tag, c.session_id),
                           e.what());
    }
}

// How a stream carries its usage, and what the client is told it gets:
// Gemini's native stream without alt=sse is one JSON array, not events.
usage::StreamFormat _stream_format(const ForwardCall& call) {
    if (!call.native) return usage::StreamFormat::events;
    return call.native->sse ? usage::StreamFormat::gemini_events : usage::StreamFormat::gemini_array;
}

std::string _media_type(usage::StreamFormat format) {
    return format == usage::StreamFormat::gemini_array ? "application/json" : "text/event-stream";
}

}  // namespace

asio::awaitable<http::Response> handle_streaming(ForwardCall call) {
    auto r = std::make_shared<_relay>();
    r->reads = call.accounting.stream_usage != usage::StreamUsage::off;
    r->reading.format = _stream_format(call);
    if (call.accounting.stream_usage == usage::StreamUsage::request) {
        if (auto asking = _asking_for_usage(call)) {
            r->client_body = std::exchange(call.body, std::move(*asking));
            r->reading.drop_usage_only = true;
        }
    }
    r->call = std::move(call);
    // The source owns the upstream client: when the client goes away the
    // server drops the source and with it the upstream connection.
    http::Response resp = http::stream_response(
        _media_type(r->reading.format), [r] { return _relay_next(r); }, r->call.extra_headers);
    resp.abandoned = [r] { _record_abandoned(*r); };
    co_return resp;
}

}  // namespace tokentally::proxy
