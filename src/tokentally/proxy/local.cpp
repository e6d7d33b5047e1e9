#include "tokentally/proxy/local.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/proxy/upstream.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace tokentally::local {

namespace asio = boost::asio;

namespace {

auto _log() {
    static auto logger = logging::get("tokentally.local");
    return logger;
}

// A numeric text as a hand-edited file may hold it ("250", " 0.3 ").
std::optional<double> _parse_number(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    double d = std::strtod(begin, &end);
    if (end == begin) return std::nullopt;
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    return *end == '\0' ? std::optional<double>(d) : std::nullopt;
}

double _setting_number(std::string_view key, double fallback) {
    bj::object cfg = _local_config();
    const bj::value* v = cfg.if_contains(key);
    if (v == nullptr) return fallback;
    std::string what = "local." + std::string(key);
    if (!v->is_string()) return json::as_number(*v, what);
    if (auto d = _parse_number(std::string(v->get_string()))) return *d;
    throw std::runtime_error(what + " is not a number: " + json::write(*v));
}

// A token count reported by Ollama; anything but a number that fits a count
// (a negative one included, which would lower the ledger's token totals) is
// taken as absent rather than failing a call that has already run.
std::optional<std::int64_t> _count(const bj::value* v) {
    if (v == nullptr) return std::nullopt;
    if (v->is_int64() && v->get_int64() >= 0) return v->get_int64();
    if (v->is_uint64() && v->get_uint64() <= static_cast<std::uint64_t>(INT64_MAX))
        return static_cast<std::int64_t>(v->get_uint64());
    if (v->is_double() && v->get_double() >= 0.0 && v->get_double() < 9.0e18)
        return static_cast<std::int64_t>(v->get_double());
    return std::nullopt;
}

std::optional<std::string> _body_model(const std::optional<bj::object>& body_json) {
    if (!body_json || body_json->empty()) return std::nullopt;
    const bj::value* m = body_json->if_contains("model");
    if (!json::truthy(m)) return std::nullopt;
    return "ollama/" + json::display(m);
}

// Only an explicitly falsy "stream" asks for a complete answer: Ollama
// streams by default, and so does a call without a JSON body.
bool _is_streaming(const std::optional<bj::object>& body_json) {
    if (!body_json || body_json->empty()) return true;
    const bj::value* s = body_json->if_contains("stream");
    return s == nullptr || json::truthy(s);
}

// A call without a model in its body is still recorded, as an unknown one.
ledger::CallRecord _record(const LocalCall& call, std::optional<std::int64_t> prompt_tokens,
                           std::optional<std::int64_t> completion_tokens, double cost, double elapsed, int status,
                           bool streamed) {
    ledger::CallRecord rec = relay::make_record(call, elapsed, status, streamed);
    if (!rec.model_id) rec.model_id = "ollama/unknown";
    rec.prompt_tokens = prompt_tokens;
    rec.completion_tokens = completion_tokens;
    rec.cost_usd = cost;
    return rec;
}

// What a complete answer says; what cannot be read stays absent.
struct Answer {
    std::optional<bj::value> json;
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
};

Answer _read_answer(const std::string& body) {
    Answer a;
    try {
        a.json = bj::parse(body);
    } catch (const std::exception&) {
        return a;  // not JSON: answered as an empty object, still recorded
    }
    if (const bj::object* obj = a.json->if_object()) {
        a.prompt_tokens = _count(obj->if_contains("prompt_eval_count"));
        a.completion_tokens = _count(obj->if_contains("eval_count"));
    }
    return a;
}

// One streamed call, relayed line by line.
struct NdjsonRelay {
    LocalCall call;
    bool opened = false;
    bool upstream_done = false;
    std::string pending;
    TokenCounts counts;
};

bool _blank(std::string_view line) { return line.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos; }

void _keep_line(std::vector<std::string>& lines, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!_blank(line)) lines.emplace_back(line);
}

// The complete lines of `data` (with what was pending before it), each
// relayed with its newline, the counts taken from the line that ends the answer.
std::string _relay_lines(NdjsonRelay& r, std::string_view data, bool at_end) {
    std::string out;
    for (const std::string& line : take_ndjson_lines(r.pending, data, at_end)) {
        out.append(line);
        out.push_back('\n');
        if (auto counts = done_line_counts(line)) r.counts = *counts;
    }
    return out;
}

// The stream has ended: the call is recorded, and cut short if it cannot be.
asio::awaitable<void> _finish_relay(NdjsonRelay& r) {
    r.call.client->close();
    double elapsed = relay::elapsed(r.call);
    double power_cost = _calc_power_cost(elapsed);
    auto nonzero = [](std::int64_t n) { return n != 0 ? std::optional<std::int64_t>(n) : std::nullopt; };
    ledger::CallRecord rec = _record(r.call, nonzero(r.counts.prompt_tokens), nonzero(r.counts.completion_tokens),
                                     power_cost, elapsed, 200, true);
    co_await relay::record_stream_end(r.call, rec, *_log());
    _log()->info("{} ✓ {} (streamed)  in={} out={}  power=${:.6f}  {:.2f}s",
                 relay::log_prefix(r.call.tag, r.call.session_id), relay::log_text(r.call.model_id),
                 r.counts.prompt_tokens, r.counts.completion_tokens, power_cost, elapsed);
}

asio::awaitable<std::optional<std::string>> _next_relay_chunk(std::shared_ptr<NdjsonRelay> r) {
    auto& call = r->call;
    if (!r->opened) {
        r->opened = true;
        co_await call.client->open_stream(call.upstream);
    }
    while (!r->upstream_done) {
        std::optional<std::string> piece = co_await call.client->next_chunk();
        r->upstream_done = !piece;
        std::string out = _relay_lines(*r, piece ? *piece : std::string_view{}, r->upstream_done);
        if (!out.empty()) co_return out;
    }
    co_await _finish_relay(*r);
    co_return std::nullopt;
}

std::vector<std::string> _model_names(const std::string& body) {
    bj::value answer = bj::parse(body);
    std::vector<std::string> names;
    const bj::value* models = answer.as_object().if_contains("models");
    if (models == nullptr) return names;
    for (const bj::value& m : models->as_array()) names.emplace_back(m.as_object().at("name").as_string());
    return names;
}

asio::awaitable<http::Response> _ollama_proxy(http::Request& req, std::shared_ptr<ledger::Writer> ledger) {
    const std::string* tag_h = req.header("X-Tokentally-Tag");
    const std::string* session_h = req.header("X-Tokentally-Session");
    LocalCall call;
    call.ledger = std::move(ledger);
    call.in_flight = req.in_flight;
    call.tag = tag_h ? *tag_h : "default";
    call.session_id = session_h ? *session_h : fmt::format("local-{}", static_cast<std::int64_t>(store::now()));
    call.key = req.client_key;
    call.upstream.method = req.method;
    // The query string is dropped unless [proxy] keep_query says to forward it.
    std::string_view query = upstream::configured().keep_query ? std::string_view(req.query) : std::string_view();
    call.upstream.url = upstream::url(_ollama_base(), req.path_param, query);
    call.upstream.headers = relay::forward_headers(req.headers);
    call.upstream.body = req.body;
    call.body_json = json::parse_object(req.body);
    call.model_id = _body_model(call.body_json);
    // Unusable power settings fail the call here, before Ollama spends GPU
    // time on an answer that could then be neither priced nor recorded, and
    // before a streamed answer would start with a 200 it cannot keep.
    _calc_power_cost(0.0);
    bool streaming = _is_streaming(call.body_json);
    call.t0 = relay::monotonic();
    call.client = std::make_shared<http::Client>(OLLAMA_TIMEOUT);
    if (streaming) co_return co_await _handle_ollama_streaming(std::move(call));
    co_return co_await _handle_ollama_standard(std::move(call));
}

}  // namespace

http::Router router(std::shared_ptr<ledger::Writer> ledger) {
    http::Router r;
    r.prefix = "/ollama";
    http::add_route(r, {"GET", "POST", "PUT", "DELETE"}, std::string(http::CATCH_ALL),
                    [ledger](http::Request& req) { return _ollama_proxy(req, ledger); });
    return r;
}

bj::object _local_config() {
    try {
        bj::object cfg = config::load();
        const bj::value* section = cfg.if_contains("local");
        if (section != nullptr && section->is_object()) return section->get_object();
    } catch (const std::exception&) {
        // An unreadable configuration leaves every setting at its default.
    }
    return {};
}

std::string _ollama_base() {
    bj::object cfg = _local_config();
    const bj::value* v = cfg.if_contains("ollama_base_url");
    if (v == nullptr) return std::string(DEFAULT_OLLAMA_BASE);
    if (!v->is_string()) throw std::runtime_error("local.ollama_base_url is not a text: " + json::write(*v));
    return std::string(v->get_string());
}

double _gpu_watts() { return _setting_number("gpu_watts", DEFAULT_GPU_WATTS); }

double _electricity_rate() { return _setting_number("electricity_rate", DEFAULT_ELECTRICITY_RATE); }

double _calc_power_cost(double elapsed_s) {
    double hours = elapsed_s / 3600.0;
    return hours * _gpu_watts() * _electricity_rate();
}

std::vector<std::string> take_ndjson_lines(std::string& pending, std::string_view chunk, bool at_end) {
    // What was held back holds no newline: only the new bytes are searched,
    // so a long line arriving in many pieces is not rescanned each time.
    std::size_t from = pending.size();
    pending.append(chunk);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', from)) != std::string::npos; start = from = nl + 1)
        _keep_line(lines, std::string_view(pending).substr(start, nl - start));
    pending.erase(0, start);
    if (at_end) {
        _keep_line(lines, pending);
        pending.clear();
    }
    return lines;
}

std::optional<TokenCounts> done_line_counts(std::string_view line) {
    std::optional<bj::object> obj = json::parse_object(line);
    if (!obj || !json::truthy(obj->if_contains("done"))) return std::nullopt;
    return TokenCounts{_count(obj->if_contains("prompt_eval_count")).value_or(0),
                       _count(obj->if_contains("eval_count")).value_or(0)};
}

asio::awaitable<http::Response> _handle_ollama_standard(LocalCall call) {
    http::ClientResponse upstream = co_await call.client->fetch(call.upstream);
    call.client->close();
    double elapsed = relay::elapsed(call);
    double power_cost = _calc_power_cost(elapsed);
    Answer answer = _read_answer(upstream.body);

    ledger::CallRecord rec =
        _record(call, answer.prompt_tokens, answer.completion_tokens, power_cost, elapsed, upstream.status, false);
    co_await relay::record(call, rec);
    _log()->info("{} ✓ {}  in={} out={}  power=${:.6f}  {:.2f}s", relay::log_prefix(call.tag, call.session_id),
                 relay::log_text(call.model_id), relay::log_text(answer.prompt_tokens),
                 relay::log_text(answer.completion_tokens), power_cost, elapsed);

    bool has_json = answer.json && json::truthy(*answer.json);
    co_return http::json_response(upstream.status, has_json ? *answer.json : bj::value(bj::object{}));
}

asio::awaitable<http::Response> _handle_ollama_streaming(LocalCall call) {
    auto relay = std::make_shared<NdjsonRelay>();
    relay->call = std::move(call);
    // The source owns the relay and with it the upstream client: when the
    // client goes away the server drops the source and the connection closes.
    http::ChunkSource source = [relay]() { return _next_relay_chunk(relay); };
    co_return http::stream_response("application/x-ndjson", std::move(source));
}

asio::awaitable<std::vector<std::string>> list_local_models() {
    std::vector<std::string> names;
    try {
        http::Client client(MODEL_LIST_TIMEOUT);
        const http::ClientRequest req{"GET", _ollama_base() + "/api/tags", {}, ""};
        http::ClientResponse resp = co_await client.fetch(req);
        names = _model_names(resp.body);
    } catch (const std::exception&) {
        names.clear();  // the list is advisory: any failure means "none known"
    }
    co_return names;
}

}  // namespace tokentally::local
