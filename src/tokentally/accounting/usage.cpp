#include "tokentally/accounting/usage.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace tokentally::usage {

namespace {

// --- settings ------------------------------------------------------------------

StreamUsage _stream_usage(const bj::value* v) {
    if (v == nullptr) return StreamUsage::off;
    if (v->is_string()) {
        std::string_view s = v->get_string();
        if (s == "off") return StreamUsage::off;
        if (s == "read") return StreamUsage::read;
        if (s == "request") return StreamUsage::request;
    }
    throw std::runtime_error("accounting.stream_usage must be \"off\", \"read\" or \"request\", not " +
                             json::write(*v));
}

// --- figures -------------------------------------------------------------------

// How answers name the standard service tier: OpenAI's "default" (and
// "auto", which only requests should carry), Anthropic's "standard".
constexpr std::array<std::string_view, 3> DEFAULT_TIERS = {"default", "auto", "standard"};

// Where a figure sits inside a usage object: a member, or a member of a
// member (the *_details objects, Anthropic's cache_creation split).
struct Path {
    Figure figure;
    std::string_view outer;
    std::string_view inner;  // empty: `outer` itself holds the count
};

// One table serves OpenAI chat completions and responses, Anthropic messages
// and DeepSeek: their usage objects name each figure differently.
constexpr Path USAGE_PATHS[] = {
    {PROMPT_TOKENS, "prompt_tokens", {}},
    {COMPLETION_TOKENS, "completion_tokens", {}},
    {INPUT_TOKENS, "input_tokens", {}},
    {OUTPUT_TOKENS, "output_tokens", {}},
    {TOTAL_TOKENS, "total_tokens", {}},
    {CACHED_TOKENS, "prompt_tokens_details", "cached_tokens"},
    {CACHED_TOKENS, "input_tokens_details", "cached_tokens"},
    {CACHE_WRITE_TOKENS, "prompt_tokens_details", "cache_write_tokens"},
    {CACHE_WRITE_TOKENS, "input_tokens_details", "cache_write_tokens"},
    {REASONING_TOKENS, "completion_tokens_details", "reasoning_tokens"},
    {REASONING_TOKENS, "output_tokens_details", "reasoning_tokens"},
    {CACHE_READ_INPUT, "cache_read_input_tokens", {}},
    {CACHE_CREATION_INPUT, "cache_creation_input_tokens", {}},
    {CACHE_WRITE_5M, "cache_creation", "ephemeral_5m_input_tokens"},
    {CACHE_WRITE_1H, "cache_creation", "ephemeral_1h_input_tokens"},
    {CACHE_HIT, "prompt_cache_hit_tokens", {}},
    {CACHE_MISS, "prompt_cache_miss_tokens", {}},
};

// Gemini's native usageMetadata.
constexpr Path GEMINI_PATHS[] = {
    {PROMPT_TOKEN_COUNT, "promptTokenCount", {}},
    {CANDIDATES_TOKEN_COUNT, "candidatesTokenCount", {}},
    {CACHED_CONTENT_TOKEN_COUNT, "cachedContentTokenCount", {}},
    {THOUGHTS_TOKEN_COUNT, "thoughtsTokenCount", {}},
    {TOOL_USE_PROMPT_TOKEN_COUNT, "toolUsePromptTokenCount", {}},
    {TOTAL_TOKEN_COUNT, "totalTokenCount", {}},
};

// A figure that is not a count (text, an object) is left out rather than
// failing the whole block: the other figures still price the call.
std::optional<std::int64_t> _figure(const bj::value* v) {
    if (v == nullptr) return std::nullopt;
    if (v->is_int64()) return v->get_int64();  // the common case, without the conversions below
    if (!v->is_number() && !v->is_bool() && !v->is_null()) return std::nullopt;
    return count(*v);
}

template <std::size_t N>
Usage _from_usage_object(const bj::value* usage_v, const Path (&paths)[N]) {
    Usage u;
    if (usage_v == nullptr || !usage_v->is_object()) return u;
    const bj::object& usage = usage_v->get_object();
    for (const Path& p : paths) {
        const bj::value* v = usage.if_contains(p.outer);
        if (!p.inner.empty()) v = v != nullptr ? json::member(*v, p.inner) : nullptr;
        if (auto n = _figure(v)) u[p.figure] = n;
    }
    return u;
}

// --- readers: where each format puts its usage object --------------------------

const bj::value* _type(const bj::object& e) { return e.if_contains("type"); }

// Anthropic messages: message_start carries message.usage (the prompt and
// cache figures, a provisional output count); each message_delta a top-level
// usage with running totals.
const bj::value* _anthropic_usage(const bj::object& e) {
    const bj::value* type = _type(e);
    if (type == nullptr || *type != "message_start") return nullptr;
    const bj::value* message = e.if_contains("message");
    return message != nullptr ? json::member(*message, "usage") : nullptr;
}

// OpenAI responses: response.completed (or .incomplete, .failed) carries
// response.usage; the events before it have a null one.
const bj::value* _responses_usage(const bj::object& e) {
    const bj::value* type = _type(e);
    if (type == nullptr || !type->is_string() || !type->get_string().starts_with("response.")) return nullptr;
    const bj::value* response = e.if_contains("response");
    return response != nullptr ? json::member(*response, "usage") : nullptr;
}

// OpenAI chat completions chunks, Anthropic's message_delta and every
// complete answer: a top-level usage object.
const bj::value* _top_level_usage(const bj::object& e) { return e.if_contains("usage"); }

using Reader = const bj::value* (*)(const bj::object&);

// Tried in order; the first that finds a usage object reads the event.
constexpr Reader READERS[] = {_anthropic_usage, _responses_usage, _top_level_usage};

Usage _read(const bj::value& v) {
    if (!v.is_object()) return {};
    for (Reader reader : READERS)
        if (const bj::value* usage = reader(v.get_object())) return _from_usage_object(usage, USAGE_PATHS);
    return {};
}

bool _gemini(const Usage& u) {
    return u[PROMPT_TOKEN_COUNT] || u[CANDIDATES_TOKEN_COUNT] || u[CACHED_CONTENT_TOKEN_COUNT] ||
           u[THOUGHTS_TOKEN_COUNT] || u[TOOL_USE_PROMPT_TOKEN_COUNT] || u[TOTAL_TOKEN_COUNT];
}

std::int64_t _or0(const std::optional<std::int64_t>& v) { return v.value_or(0); }

// A part without tokens adds nothing, whatever its price.
double _per_million(double tokens, double price) { return tokens == 0 ? 0.0 : (tokens / 1'000'000.0) * price; }

double _real(std::int64_t n) { return static_cast<double>(n); }

// Anthropic: every cache figure lies outside input_tokens; without the
// lifetime split every write is a 5-minute write.
Billed _billed_outside(const Usage& u) {
    std::int64_t w1h = _or0(u[CACHE_WRITE_1H]);
    std::int64_t w5m = u[CACHE_WRITE_5M] || u[CACHE_WRITE_1H] ? _or0(u[CACHE_WRITE_5M]) : _or0(u[CACHE_CREATION_INPUT]);
    return {_real(_or0(prompt_tokens(u))), _real(_or0(u[CACHE_READ_INPUT])), _real(w5m), _real(w1h),
            _real(_or0(completion_tokens(u)))};
}

// The output tokens billed: the completion count, plus reasoning tokens it
// leaves out (Gemini's OpenAI-compatible answers count thinking beside the
// completion, which the total then shows).
std::int64_t _billed_output(const Usage& u, std::int64_t prompt) {
    std::int64_t completion = _or0(completion_tokens(u));
    std::int64_t reasoning = _or0(u[REASONING_TOKENS]);
    if (reasoning > 0 && u[TOTAL_TOKENS] && *u[TOTAL_TOKENS] == prompt + completion + reasoning)
        return completion + reasoning;
    return completion;
}

// OpenAI, xAI, DeepSeek and Gemini: cache reads and writes are part of the
// prompt, so they are billed instead of input, not on top of it. DeepSeek
// names its uncached part itself.
Billed _billed_inside(const Usage& u) {
    std::int64_t prompt = _or0(prompt_tokens(u));
    std::int64_t cached =
        u[CACHED_TOKENS] ? *u[CACHED_TOKENS] : _or0(u[CACHE_HIT]) + _or0(u[CACHED_CONTENT_TOKEN_COUNT]);
    std::int64_t written = _or0(u[CACHE_WRITE_TOKENS]);
    std::int64_t uncached = u[CACHE_MISS] ? *u[CACHE_MISS] : std::max<std::int64_t>(prompt - cached - written, 0);
    return {_real(uncached), _real(cached), _real(written), 0.0, _real(_billed_output(u, prompt))};
}

bool _anthropic_style(const Usage& u) {
    return u[CACHE_READ_INPUT] || u[CACHE_CREATION_INPUT] || u[CACHE_WRITE_5M] || u[CACHE_WRITE_1H];
}

}  // namespace

Accounting accounting(const bj::object& config) {
    Accounting a;
    const bj::object& table = json::table(config, "accounting");
    a.stream_usage = _stream_usage(table.if_contains("stream_usage"));
    a.cache_pricing = json::truthy(table.if_contains("cache_pricing"));
    return a;
}

Accounting configured() {
    std::shared_ptr<const bj::object> cfg;
    try {
        cfg = config::load_shared();
    } catch (const std::exception&) {
        return {};
    }
    return accounting(*cfg);
}

bool Usage::empty() const {
    return std::none_of(figures.begin(), figures.end(), [](const auto& f) { return f.has_value(); });
}

void merge(Usage& into, const Usage& latest) {
    for (std::size_t i = 0; i < FIGURE_COUNT; ++i)
        if (latest.figures[i]) into.figures[i] = latest.figures[i];
}

std::optional<std::int64_t> count(const bj::value& v) {
    if (v.is_null()) return std::nullopt;
    if (v.is_int64()) return v.get_int64();
    // A count no 64-bit integer holds (2^64 - 1, 1e300, 1e400 read as
    // infinity) is taken as absent: converting it would wrap to a negative
    // count or be undefined, and the answer has already been delivered.
    if (v.is_uint64()) {
        if (v.get_uint64() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(v.get_uint64());
    }
    if (v.is_double()) {
        double d = v.get_double();
        if (!(d >= -0x1p63 && d < 0x1p63)) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    if (v.is_bool()) return v.get_bool() ? 1 : 0;
    throw std::runtime_error("token count is not a number: " + json::write(v));
}

std::optional<std::int64_t> answer_tokens(const bj::value& answer, Kind kind) {
    static const bj::object EMPTY;
    const bj::value* block = answer.as_object().if_contains("usage");
    const bj::object& usage = block ? block->as_object() : EMPTY;
    bool prompt = kind == Kind::prompt;
    const bj::value* first = usage.if_contains(prompt ? "prompt_tokens" : "completion_tokens");
    const bj::value* chosen =
        json::truthy(first) ? first : usage.if_contains(prompt ? "input_tokens" : "output_tokens");
    if (chosen == nullptr) return std::nullopt;
    return count(*chosen);
}

Usage from_answer(const bj::value& answer) { return _read(answer); }

Usage from_event(const bj::value& event) { return _read(event); }

Usage from_gemini(const bj::value& answer) {
    const bj::value* metadata = json::member(answer, "usageMetadata");
    return _from_usage_object(metadata, GEMINI_PATHS);
}

std::optional<std::int64_t> prompt_tokens(const Usage& u) {
    if (_gemini(u)) return _or0(u[PROMPT_TOKEN_COUNT]);
    const auto& first = u[PROMPT_TOKENS];
    return first && *first != 0 ? first : u[INPUT_TOKENS];
}

std::optional<std::int64_t> completion_tokens(const Usage& u) {
    if (_gemini(u)) return _or0(u[CANDIDATES_TOKEN_COUNT]) + _or0(u[THOUGHTS_TOKEN_COUNT]);
    const auto& first = u[COMPLETION_TOKENS];
    return first && *first != 0 ? first : u[OUTPUT_TOKENS];
}

CacheTokens cache_tokens(const Usage& u) {
    CacheTokens c;
    for (Figure f : {CACHED_TOKENS, CACHE_READ_INPUT, CACHE_HIT, CACHED_CONTENT_TOKEN_COUNT})
        if (!c.read) c.read = u[f];
    if (!c.read && _gemini(u)) c.read = 0;  // Gemini leaves out a count of 0
    if (u[CACHE_WRITE_TOKENS])
        c.write = u[CACHE_WRITE_TOKENS];
    else if (u[CACHE_WRITE_5M] || u[CACHE_WRITE_1H])
        c.write = _or0(u[CACHE_WRITE_5M]) + _or0(u[CACHE_WRITE_1H]);
    else
        c.write = u[CACHE_CREATION_INPUT];
    c.write_1h = u[CACHE_WRITE_1H];
    return c;
}

double cost(const Billed& b, const prices::Price& price, prices::ServiceTier tier) {
    prices::Rates r = prices::rates(price, b.prompt(), tier);
    return _per_million(b.input, r.input) + _per_million(b.cache_read, r.cache_read.value_or(r.input)) +
           _per_million(b.cache_write, r.cache_write.value_or(r.input)) +
           _per_million(b.cache_write_1h, r.cache_write_1h.value_or(r.input)) + _per_million(b.output, r.output);
}

Billed billed(const Usage& u, bool cache_pricing) {
    if (!cache_pricing) return {_real(_or0(prompt_tokens(u))), 0.0, 0.0, 0.0, _real(_or0(completion_tokens(u)))};
    return _anthropic_style(u) ? _billed_outside(u) : _billed_inside(u);
}

double cost(const Usage& u, const prices::Price& price, bool cache_pricing, prices::ServiceTier tier) {
    return cost(billed(u, cache_pricing), price, tier);
}

std::optional<std::string> service_tier(const bj::value& answer) {
    for (const bj::value* holder : {&answer, json::member(answer, "response"), json::member(answer, "usage")}) {
        const bj::value* tier = holder != nullptr ? json::member(*holder, "service_tier") : nullptr;
        if (tier == nullptr || !tier->is_string()) continue;
        std::string_view name = tier->get_string();
        if (std::find(DEFAULT_TIERS.begin(), DEFAULT_TIERS.end(), name) != DEFAULT_TIERS.end()) return std::nullopt;
        return std::string(name);
    }
    return std::nullopt;
}

bool is_usage_only(const bj::value& event) {
    const bj::value* choices = json::member(event, "choices");
    const bj::value* usage = json::member(event, "usage");
    return choices != nullptr && choices->is_array() && choices->get_array().empty() && usage != nullptr &&
           usage->is_object();
}

namespace {

// What an event is to drop mode.
enum class PieceKind {
    other,
    usage_only,  // the chunk the client did not ask for: dropped
    null_usage,  // "usage": null, which asking for usage put there: removed
};

std::size_t _skip_blanks(std::string_view text, std::size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    return at;
}

// Nesting depth of objects and arrays at `pos` of a JSON text, outside its
// strings.
int _depth_at(std::string_view text, std::size_t pos) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < pos; ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return depth;
}

// Where `"usage": null` lies in an event, [first, second): only when the
// event names "usage" once, as a member of its top-level object, and its
// value is null. Such an event carries no figures: it need not be parsed.
std::optional<std::pair<std::size_t, std::size_t>> _null_usage_member(std::string_view text) {
    constexpr std::string_view KEY = "\"usage\"";
    std::size_t at = text.find(KEY);
    if (at == std::string_view::npos || text.find(KEY, at + 1) != std::string_view::npos) return std::nullopt;
    std::size_t colon = _skip_blanks(text, at + KEY.size());
    if (colon >= text.size() || text[colon] != ':') return std::nullopt;
    std::size_t value = _skip_blanks(text, colon + 1);
    if (text.substr(value, 4) != "null" || _depth_at(text, at) != 1) return std::nullopt;
    return std::pair{at, value + 4};
}

// Parses the data of an event (or an array element) that may carry usage,
// into a stack buffer, and merges its figures into the stream's; data that
// is not a JSON object is counted as skipped.
PieceKind _parse_piece(StreamReading& r, std::string_view data) {
    unsigned char scratch[4096];
    bj::monotonic_resource memory(scratch, sizeof scratch);
    boost::system::error_code ec;
    bj::value v = bj::parse(data, ec, &memory);
    if (ec || !v.is_object()) {
        ++r.skipped;
        return PieceKind::other;
    }
    if (r.format != StreamFormat::events) {
        merge(r.usage, from_gemini(v));
        return PieceKind::other;
    }
    merge(r.usage, from_event(v));
    if (auto tier = service_tier(v)) r.service_tier = std::move(tier);
    return is_usage_only(v) ? PieceKind::usage_only : PieceKind::other;
}

// Gemini's native pieces: only those that name usageMetadata are parsed.
void _take_gemini(StreamReading& r, std::string_view data, bool oversized) {
    ++r.events;
    if (oversized || data.find("\"usageMetadata\"") == std::string_view::npos) {
        r.skipped += oversized;
        return;
    }
    _parse_piece(r, data);
}

// What the reader makes of one event's data: its figures go into the
// stream's usage.
PieceKind _take_event(StreamReading& r, const SseEvent& event) {
    if (event.data.empty() && !event.oversized) return PieceKind::other;
    if (r.format == StreamFormat::gemini_events) {
        _take_gemini(r, event.data, event.oversized);
        return PieceKind::other;
    }
    ++r.events;
    // Most events carry no usage at all (content deltas) or a null one: they
    // are not parsed.
    if (event.oversized || event.data.find("\"usage\"") == std::string_view::npos) {
        r.skipped += event.oversized;
        return PieceKind::other;
    }
    if (_null_usage_member(event.data)) return PieceKind::null_usage;
    return _parse_piece(r, event.data);
}

// Removes the "usage": null member from an event's bytes, with the comma
// that joins it to its neighbours; every other byte stays as the provider
// wrote it.
void _strip_null_usage(std::string& bytes) {
    auto member = _null_usage_member(bytes);
    if (!member) return;
    auto [at, end] = *member;
    std::size_t before = at;
    while (before > 0 && (bytes[before - 1] == ' ' || bytes[before - 1] == '\t')) --before;
    if (before > 0 && bytes[before - 1] == ',') {
        bytes.erase(before - 1, end - (before - 1));
        return;
    }
    std::size_t after = _skip_blanks(bytes, end);
    if (after < bytes.size() && bytes[after] == ',') bytes.erase(at, _skip_blanks(bytes, after + 1) - at);
}

// Drop mode: what of the event that just ended the client gets.
void _relay_event(StreamReading& r, std::string& out, std::string_view rest_of_event, PieceKind kind) {
    r.dropped_last = kind == PieceKind::usage_only && !r.passing;
    if (kind == PieceKind::null_usage && !r.passing) {
        std::string event = std::move(r.held);
        event.append(rest_of_event);
        _strip_null_usage(event);
        out.append(event);
    } else if (kind != PieceKind::usage_only || r.passing) {
        out.append(r.held);
        out.append(rest_of_event);
    }
    r.held.clear();
    r.passing = false;
}

}  // namespace

void read(StreamReading& r, std::string_view chunk) {
    std::size_t pos = 0;
    if (r.format == StreamFormat::gemini_array) {
        while (auto element = next_element(r.json, chunk, pos)) _take_gemini(r, element->data, element->oversized);
        return;
    }
    while (auto event = next_event(r.sse, chunk, pos)) _take_event(r, *event);
}

std::string relay(StreamReading& r, std::string_view chunk) {
    std::string out;
    std::size_t pos = 0, start = 0;
    // An event that ended on a CR at the end of the last piece owns the LF
    // that may open this one: it goes (or stays out) with that event.
    if (r.ended_on_cr && !chunk.empty()) {
        r.ended_on_cr = false;
        if (chunk.front() == '\n') {
            if (!r.dropped_last) out += '\n';
            start = 1;
        }
    }
    while (auto event = next_event(r.sse, chunk, pos)) {
        PieceKind kind = _take_event(r, *event);
        _relay_event(r, out, chunk.substr(start, event->end - start), kind);
        start = event->end;
        r.ended_on_cr = start == chunk.size() && chunk.back() == '\r';
    }
    // The event in progress: held until it is whole, unless it is already
    // too big to be the small chunk that is dropped; then it flows through.
    std::string_view rest = chunk.substr(start);
    if (!r.passing && r.held.size() + rest.size() > MAX_EVENT_BYTES) {
        r.passing = true;
        out.append(r.held);
        std::string().swap(r.held);
    }
    if (r.passing)
        out.append(rest);
    else
        append_capped(r.held, rest);
    return out;
}

std::string finish(StreamReading& r) {
    std::string out;
    if (r.format == StreamFormat::gemini_array) {
        // An element cut off by the end of the stream cannot be read.
        std::string().swap(r.json.element);
        return out;
    }
    if (auto event = last_event(r.sse)) {
        PieceKind kind = _take_event(r, *event);
        if (r.drop_usage_only) _relay_event(r, out, {}, kind);
    }
    if (r.drop_usage_only) out.append(std::exchange(r.held, {}));
    return out;
}

}  // namespace tokentally::usage
