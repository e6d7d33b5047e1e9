// Token usage as providers report it, in complete answers and in event
// streams, and what a call costs from it. All knowledge of the wire formats
// sits here: the server-sent-events splitter, one reader per format (where
// the usage object sits in an answer or an event and what its figures are
// called), and the cost formula of each provider style. Another format is one
// more reader in usage.cpp.
#pragma once

#include "tokentally/accounting/prices.hpp"

#include <boost/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tokentally::usage {

namespace bj = boost::json;

// --- settings ------------------------------------------------------------------

enum class StreamUsage { off, read, request };

// The [accounting] table of the configuration.
struct Accounting {
    StreamUsage stream_usage = StreamUsage::off;  // read the usage carried by streamed answers
    bool cache_pricing = false;                   // price cached prompt tokens at their own rates
    bool any() const { return stream_usage != StreamUsage::off || cache_pricing; }
};

// Reads [accounting] of `config`; both switches off when it is absent.
// Throws naming the key for a value it does not know.
Accounting accounting(const bj::object& config);

// [accounting] of the user's configuration. A file that cannot be read
// leaves both switches off (the budget check and the dashboard report it);
// a value it does not know throws as above.
Accounting configured();

// --- the counts of a complete answer ----------------------------------------------

enum class Kind { prompt, completion };

// The prompt or completion tokens of a complete answer's top-level usage
// block: prompt_tokens (completion_tokens), or input_tokens (output_tokens)
// when the first is missing or 0. A number too large for a 64-bit count is
// absent. Throws for an answer that is not an object and for a count that is
// not a number.
std::optional<std::int64_t> answer_tokens(const bj::value& answer, Kind kind);

// --- figures -------------------------------------------------------------------

// The figures a usage block may carry, under the names the providers give
// them; each reader maps its format's names onto these.
enum Figure : std::size_t {
    PROMPT_TOKENS,      // OpenAI chat: the whole prompt, cache tokens included
    COMPLETION_TOKENS,  // OpenAI chat: the whole output, reasoning included
    INPUT_TOKENS,       // OpenAI responses (whole prompt); Anthropic (uncached part only)
    OUTPUT_TOKENS,
    TOTAL_TOKENS,
    CACHED_TOKENS,         // OpenAI: cached part of the prompt (*_tokens_details.cached_tokens)
    CACHE_WRITE_TOKENS,    // OpenAI: part of the prompt written to the cache
    REASONING_TOKENS,      // *_tokens_details.reasoning_tokens
    CACHE_READ_INPUT,      // Anthropic: cache reads, outside input_tokens
    CACHE_CREATION_INPUT,  // Anthropic: cache writes of any lifetime, outside input_tokens
    CACHE_WRITE_5M,        // Anthropic: cache_creation.ephemeral_5m_input_tokens
    CACHE_WRITE_1H,        // Anthropic: cache_creation.ephemeral_1h_input_tokens
    CACHE_HIT,             // DeepSeek: prompt_cache_hit_tokens
    CACHE_MISS,            // DeepSeek: prompt_cache_miss_tokens
    // Gemini's native usageMetadata, under its own names:
    PROMPT_TOKEN_COUNT,           // the whole prompt, cached content included
    CANDIDATES_TOKEN_COUNT,       // the answer, thinking not included
    CACHED_CONTENT_TOKEN_COUNT,   // cached part of the prompt
    THOUGHTS_TOKEN_COUNT,         // thinking, billed as output
    TOOL_USE_PROMPT_TOKEN_COUNT,  // prompts of the tools the model ran (kept, not priced)
    TOTAL_TOKEN_COUNT,
    FIGURE_COUNT
};

// The figures of one call as far as they were seen; each absent until then.
struct Usage {
    std::array<std::optional<std::int64_t>, FIGURE_COUNT> figures{};
    const std::optional<std::int64_t>& operator[](Figure f) const { return figures[f]; }
    std::optional<std::int64_t>& operator[](Figure f) { return figures[f]; }
    bool empty() const;
};

// Figure by figure, a figure `latest` holds replaces the one in `into`.
// Figures are never added: streams repeat running totals.
void merge(Usage& into, const Usage& latest);

// A token count as the ledger stores it: integers as they are, other
// numbers truncated, booleans as 1 and 0, null as absent; a number no 64-bit
// count holds is absent. Throws for any other type.
std::optional<std::int64_t> count(const bj::value& v);

// The figures of a complete answer (chat completion, response, Anthropic
// message): what its readers find. Figures that are not numbers are left out.
Usage from_answer(const bj::value& answer);

// The figures one event of a stream carries, in whichever format.
Usage from_event(const bj::value& event);

// Gemini's native API: the figures of the usageMetadata of an answer, or of
// one piece of a stream.
Usage from_gemini(const bj::value& answer);

// The prompt and completion counts of the ledger row: the first name when
// its figure is truthy, else the second (prompt_tokens, then input_tokens;
// completion_tokens, then output_tokens). Gemini's native figures give
// promptTokenCount, and candidatesTokenCount plus thoughtsTokenCount (the
// API leaves out a count that is 0, so once it has reported any, a count
// it left out is 0).
std::optional<std::int64_t> prompt_tokens(const Usage& u);
std::optional<std::int64_t> completion_tokens(const Usage& u);

// Cached prompt tokens read and written (all lifetimes; and the 1-hour
// share), in any provider's naming; absent when the answer did not say.
struct CacheTokens {
    std::optional<std::int64_t> read;
    std::optional<std::int64_t> write;
    std::optional<std::int64_t> write_1h;
    bool any() const { return read || write || write_1h; }
};
CacheTokens cache_tokens(const Usage& u);

// Tokens of one call by the price each is billed at. Reals, so that an
// estimate (a budget's worst case, an average call) is priced by the same
// formula as a measured call.
struct Billed {
    double input = 0.0;  // prompt tokens at the input price
    double cache_read = 0.0;
    double cache_write = 0.0;  // 5-minute (or only) lifetime
    double cache_write_1h = 0.0;
    double output = 0.0;
    // The prompt as a long-context threshold counts it.
    double prompt() const { return input + cache_read + cache_write + cache_write_1h; }
};

// The one cost formula: US dollars for `b` at the prices `price` takes for
// this prompt and service tier (prices::rates), each part's tokens ÷ one
// million × its price, added in the order of Billed's members. A missing
// cache price is the input price.
double cost(const Billed& b, const prices::Price& price, prices::ServiceTier tier = prices::ServiceTier::standard);

// What a call's figures bill: without cache pricing, prompt as input and
// completion as output. With it, by the style the figures show:
// Anthropic's cache tokens lie outside input_tokens and are billed beside
// them; OpenAI's, DeepSeek's and Gemini's lie inside the prompt and are
// billed instead of input; output includes reasoning tokens the completion
// count leaves out. Figures not seen count as 0.
Billed billed(const Usage& u, bool cache_pricing);

// cost(billed(u, cache_pricing), price, tier).
double cost(const Usage& u, const prices::Price& price, bool cache_pricing,
            prices::ServiceTier tier = prices::ServiceTier::standard);

// How an answer or a stream event says the call was served: its
// "service_tier" (OpenAI chat and responses), that of its "response"
// (responses events), or that of its "usage" (Anthropic); nullopt when it
// names none or the standard one ("default", "standard").
std::optional<std::string> service_tier(const bj::value& answer);

// --- server-sent events ----------------------------------------------------------

// An event whose data passes this many bytes is skipped, and nothing more of
// it is kept.
inline constexpr std::size_t MAX_EVENT_BYTES = 1 << 20;

// Splits a byte stream into events, whatever the chunk boundaries (lines end
// with LF, CRLF or CR; an empty line ends an event; data lines are joined
// with LF; other fields and comments are ignored).
struct SseSplitter {
    std::string line;         // the line in progress, when a chunk ended inside it
    std::string data;         // data lines of the event in progress, each ended by LF
    bool partial = false;     // a chunk ended inside a line (kept in `line` unless oversized)
    bool after_cr = false;    // the last chunk ended with CR: a leading LF belongs to it
    bool oversized = false;   // the event in progress passed MAX_EVENT_BYTES
    bool dispatched = false;  // `data` belongs to the event handed out last
};

struct SseEvent {
    std::string_view data;  // valid until the next call on the splitter
    bool oversized = false;
    std::size_t end = 0;  // offset in the chunk just past the empty line
};

// Appends `piece` to a buffer kept under MAX_EVENT_BYTES without letting
// its growth pass that limit (doubling a buffer just under it would hold
// twice what is kept).
void append_capped(std::string& buffer, std::string_view piece);

// The next event that ends in `chunk` from offset `pos` on, moving `pos`
// past it; nullopt when the rest of the chunk only starts one.
std::optional<SseEvent> next_event(SseSplitter& s, std::string_view chunk, std::size_t& pos);

// The event left unfinished when the stream ended, if any.
std::optional<SseEvent> last_event(SseSplitter& s);

// Splits a streamed JSON text into its top-level values, or into the
// elements of its top-level array (Gemini's stream without alt=sse),
// whatever the chunk boundaries. Only objects and arrays are handed out;
// one above MAX_EVENT_BYTES is skipped, and nothing more of it is kept.
struct JsonSplitter {
    std::string element;  // bytes of the element in progress
    int depth = 0;        // nesting depth outside strings, the top-level array included
    int base = -1;        // depth between elements: 1 inside a top-level array, else 0; -1 before the first byte
    bool in_string = false;
    bool escaped = false;     // the last byte in a string was a backslash
    bool oversized = false;   // the element in progress passed MAX_EVENT_BYTES
    bool dispatched = false;  // `element` belongs to the element handed out last
};

struct JsonElement {
    std::string_view data;  // valid until the next call on the splitter
    bool oversized = false;
};

// The next element that ends in `chunk` from offset `pos` on, moving `pos`
// past it; nullopt when the rest of the chunk holds none that ends.
std::optional<JsonElement> next_element(JsonSplitter& s, std::string_view chunk, std::size_t& pos);

// How a stream carries its usage: events with a usage object (OpenAI,
// Anthropic), or Gemini's native usageMetadata in events (alt=sse) or in
// the elements of one JSON array.
enum class StreamFormat { events, gemini_events, gemini_array };

// The usage of one streamed answer, read from the events as they pass.
struct StreamReading {
    StreamFormat format = StreamFormat::events;
    SseSplitter sse;
    JsonSplitter json;  // gemini_array
    Usage usage;
    std::size_t events = 0;
    std::size_t skipped = 0;                  // not JSON, not an object, or oversized
    std::optional<std::string> service_tier;  // as the events that carry usage name it
    // Drop mode (the proxy itself asked for usage): the usage-only chunk is
    // left out of what the client gets, and so is the "usage": null member
    // that asking put on the other chunks, so whole events are relayed.
    bool drop_usage_only = false;
    std::string held;           // bytes of the event in progress, not yet relayed
    bool passing = false;       // the event in progress is oversized: relayed as it comes
    bool dropped_last = false;  // the last event that ended was left out
    bool ended_on_cr = false;   // ... and it ended on a CR that closed the last piece
};

// Reads the events of a piece that has been relayed as it is.
void read(StreamReading& r, std::string_view chunk);

// Drop mode: reads a piece and returns what the client gets of it: whole
// events, without the usage-only one and without "usage": null members.
std::string relay(StreamReading& r, std::string_view chunk);

// At the end of the stream: reads an unfinished last event and returns what
// is still to be relayed (drop mode; empty otherwise).
std::string finish(StreamReading& r);

// True for a chat-completions chunk with empty `choices` and a `usage`
// object: the chunk clients get only when they ask for usage.
bool is_usage_only(const bj::value& event);

}  // namespace tokentally::usage
