// Usage read from recorded streams of each wire format, whatever the chunk
// boundaries; the usage-only chunk left out in drop mode; malformed and
// oversized events and array elements; and the cost formula of each
// provider style.
#include "support/recorded_streams.hpp"
#include "tokentally/usage.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace bj = boost::json;
namespace usage = tokentally::usage;
using usage::Usage;

using namespace tt_test::recorded;

struct Recorded {
    const char* name;
    const std::string* stream;
    std::vector<std::pair<usage::Figure, std::int64_t>> expected;
    usage::StreamFormat format = usage::StreamFormat::events;
};

const std::vector<std::pair<usage::Figure, std::int64_t>> GEMINI_FIGURES = {
    {usage::PROMPT_TOKEN_COUNT, 1200}, {usage::CANDIDATES_TOKEN_COUNT, 17}, {usage::TOTAL_TOKEN_COUNT, 1265},
    {usage::CACHED_CONTENT_TOKEN_COUNT, 1024}, {usage::THOUGHTS_TOKEN_COUNT, 48}};

const std::vector<Recorded> RECORDED = {
    {"chat completions", &CHAT_STREAM,
     {{usage::PROMPT_TOKENS, 9657}, {usage::COMPLETION_TOKENS, 78}, {usage::CACHED_TOKENS, 1024},
      {usage::CACHE_WRITE_TOKENS, 512}, {usage::REASONING_TOKENS, 37}, {usage::TOTAL_TOKENS, 9735}}},
    {"responses", &RESPONSES_STREAM,
     {{usage::INPUT_TOKENS, 2000}, {usage::OUTPUT_TOKENS, 40}, {usage::CACHED_TOKENS, 1500},
      {usage::REASONING_TOKENS, 10}, {usage::TOTAL_TOKENS, 2040}}},
    {"anthropic messages", &ANTHROPIC_STREAM,
     {{usage::INPUT_TOKENS, 12}, {usage::OUTPUT_TOKENS, 25}, {usage::CACHE_READ_INPUT, 40000},
      {usage::CACHE_CREATION_INPUT, 3000}, {usage::CACHE_WRITE_5M, 1000}, {usage::CACHE_WRITE_1H, 2000}}},
    {"gemini events", &GEMINI_SSE_STREAM, GEMINI_FIGURES, usage::StreamFormat::gemini_events},
    {"gemini array", &GEMINI_ARRAY_STREAM, GEMINI_FIGURES, usage::StreamFormat::gemini_array},
};

Usage expected_usage(const Recorded& rec) {
    Usage u;
    for (auto [figure, value] : rec.expected) u[figure] = value;
    return u;
}

Usage read_in_pieces(const std::string& stream, const std::vector<std::size_t>& cuts,
                     usage::StreamFormat format = usage::StreamFormat::events) {
    usage::StreamReading r;
    r.format = format;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        usage::read(r, std::string_view(stream).substr(from, cut - from));
        from = cut;
    }
    usage::read(r, std::string_view(stream).substr(from));
    usage::finish(r);
    return r.usage;
}

TEST(StreamUsage, EachFormatGivesTheSameUsageWhereverTheStreamIsSplit) {
    for (const auto& rec : RECORDED) {
        const Usage want = expected_usage(rec);
        EXPECT_EQ(read_in_pieces(*rec.stream, {}, rec.format).figures, want.figures) << rec.name << " in one piece";
        for (std::size_t at = 1; at < rec.stream->size(); ++at)
            ASSERT_EQ(read_in_pieces(*rec.stream, {at}, rec.format).figures, want.figures)
                << rec.name << " split at " << at;
        std::vector<std::size_t> every_byte;
        for (std::size_t at = 1; at < rec.stream->size(); ++at) every_byte.push_back(at);
        EXPECT_EQ(read_in_pieces(*rec.stream, every_byte, rec.format).figures, want.figures)
            << rec.name << " byte by byte";
    }
}

TEST(StreamUsage, LatestFigureWinsAndFiguresAreNeverAdded) {
    // Usage repeated on two chunks, then a chunk whose usage is null (xAI),
    // and a stream that ends without the blank line after its last event.
    const std::string stream =
        "data: {\"choices\":[{\"delta\":{}}],\"usage\":{\"prompt_tokens\":10,\"completion_tokens\":4}}\n\n"
        "data: {\"choices\":[{\"delta\":{}}],\"usage\":{\"prompt_tokens\":10,\"completion_tokens\":5}}\n\n"
        "data: {\"choices\":[],\"usage\":null}\n\n"
        "data: {\"choices\":[],\"usage\":{\"completion_tokens\":6}}";
    Usage u = read_in_pieces(stream, {});
    EXPECT_EQ(usage::prompt_tokens(u), 10);
    EXPECT_EQ(usage::completion_tokens(u), 6);
}

std::string crlf(const std::string& lf) {
    std::string out;
    for (char c : lf) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(StreamUsage, DropModeGivesTheStreamOfAClientThatDidNotAskWhereverItIsSplit) {
    for (const auto& [stream, expected] : {std::pair{CHAT_STREAM, unasked(CHAT_STREAM)},
                                           std::pair{crlf(CHAT_STREAM), crlf(unasked(CHAT_STREAM))}}) {
        for (std::size_t at = 0; at < stream.size(); ++at) {
            usage::StreamReading r;
            r.drop_usage_only = true;
            std::string out = usage::relay(r, std::string_view(stream).substr(0, at));
            out += usage::relay(r, std::string_view(stream).substr(at));
            out += usage::finish(r);
            ASSERT_EQ(out, expected) << "split at " << at;
            ASSERT_EQ(usage::prompt_tokens(r.usage), 9657) << "split at " << at;
        }
    }
    // Chunks with choices keep their usage (llama.cpp puts it on the last
    // one), and a null usage named twice is left as it is.
    const std::string kept = "data: {\"choices\":[{\"delta\":{}}],\"usage\":{\"prompt_tokens\":3}}\n\n"
                             "data: {\"usage\": null, \"choices\":[{\"delta\":{\"usage\":null}}]}\n\n";
    usage::StreamReading r;
    r.drop_usage_only = true;
    EXPECT_EQ(usage::relay(r, kept) + usage::finish(r), kept);
    const std::string first_member = "data: {\"usage\": null, \"choices\":[]}\n\n";
    usage::StreamReading first;
    first.drop_usage_only = true;
    EXPECT_EQ(usage::relay(first, first_member) + usage::finish(first), "data: {\"choices\":[]}\n\n");
}

TEST(StreamUsage, MalformedAndOversizedEventsAreSkippedWithoutHoldingThem) {
    const std::string big = "data: {\"choices\":[{\"delta\":{\"content\":\"" +
                            std::string(usage::MAX_EVENT_BYTES + 1000, 'x') + "\"}}],\"usage\":{\"prompt_tokens\":1}}\n\n";
    const std::string stream = "data: {\"usage\": {not json\n\n" "data: [\"usage\"]\n\n" + big + "data: [DONE]\n\n" +
                               "data: {\"choices\":[{\"delta\":{}}],\"usage\":{\"prompt_tokens\":7,"
                               "\"completion_tokens\":2}}\n\n";
    for (bool drop : {false, true}) {
        usage::StreamReading r;
        r.drop_usage_only = drop;
        std::string relayed;
        std::size_t most_held = 0;
        for (std::size_t at = 0; at < stream.size(); at += 64 * 1024) {
            auto piece = std::string_view(stream).substr(at, 64 * 1024);
            if (drop) {
                relayed += usage::relay(r, piece);
            } else {
                usage::read(r, piece);
            }
            most_held = std::max({most_held, r.sse.data.capacity(), r.sse.line.capacity(), r.held.capacity()});
        }
        relayed += usage::finish(r);
        EXPECT_EQ(usage::prompt_tokens(r.usage), 7) << "drop " << drop;
        EXPECT_EQ(usage::completion_tokens(r.usage), 2) << "drop " << drop;
        EXPECT_EQ(r.skipped, 3u) << "drop " << drop;
        EXPECT_LE(most_held, usage::MAX_EVENT_BYTES) << "drop " << drop;
        if (drop) {
            EXPECT_EQ(relayed, stream) << "nothing but the usage-only chunk may go missing";
        }
    }
}

TEST(StreamUsage, GeminiArrayElementsThatAreOversizedOrMalformedAreSkippedWithoutHoldingThem) {
    const std::string big = "{\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"" +
                            std::string(usage::MAX_EVENT_BYTES + 1000, '{') +
                            "\"}]}}], \"usageMetadata\": {\"promptTokenCount\": 999}}";
    const std::string stream = "[{\"usageMetadata\": {oops}}, 17, \"]}\", " + big +
                               ",\n{\"usageMetadata\": {\"promptTokenCount\": 7, \"candidatesTokenCount\": 2}}]";
    usage::StreamReading r;
    r.format = usage::StreamFormat::gemini_array;
    std::size_t most_held = 0;
    for (std::size_t at = 0; at < stream.size(); at += 64 * 1024) {
        usage::read(r, std::string_view(stream).substr(at, 64 * 1024));
        most_held = std::max(most_held, r.json.element.capacity());
    }
    usage::finish(r);
    EXPECT_EQ(usage::prompt_tokens(r.usage), 7);
    EXPECT_EQ(usage::completion_tokens(r.usage), 2);
    EXPECT_EQ(r.skipped, 2u) << "the malformed element and the oversized one";
    EXPECT_LE(most_held, usage::MAX_EVENT_BYTES);

    // An error answers with one object instead of an array; closers without
    // openers and bytes that are no JSON at all are passed over.
    for (const std::string& text : {std::string("{\"usageMetadata\": {\"promptTokenCount\": 5}}"),
                                   std::string("]]}} junk \\ {\"usageMetadata\": {\"promptTokenCount\": 5}} ]")}) {
        usage::StreamReading one;
        one.format = usage::StreamFormat::gemini_array;
        usage::read(one, text);
        usage::finish(one);
        EXPECT_EQ(usage::prompt_tokens(one.usage), 5) << text;
    }
    // An element cut off by the end of the stream is not read.
    usage::StreamReading cut;
    cut.format = usage::StreamFormat::gemini_array;
    usage::read(cut, "[{\"usageMetadata\": {\"promptTokenCount\": 5}");
    usage::finish(cut);
    EXPECT_TRUE(cut.usage.empty());
}

// --- cost ---------------------------------------------------------------------

double m(std::int64_t tokens, double price) { return (static_cast<double>(tokens) / 1e6) * price; }

Usage answer_usage(const std::string& json) { return usage::from_answer(bj::parse(json)); }

TEST(Cost, EachProviderStylePricesItsCacheTokens) {
    tokentally::prices::Price p{3, 15, 0.3, 3.75, 6, ""};

    // OpenAI: cached and written tokens are parts of prompt_tokens.
    Usage openai = answer_usage(R"({"usage": {"prompt_tokens": 9657, "completion_tokens": 78,
        "prompt_tokens_details": {"cached_tokens": 1024, "cache_write_tokens": 512}}})");
    EXPECT_DOUBLE_EQ(usage::cost(openai, p, true), m(9657 - 1024 - 512, 3) + m(1024, 0.3) + m(512, 3.75) + m(78, 15));
    EXPECT_DOUBLE_EQ(usage::cost(openai, p, false), m(9657, 3) + m(78, 15));

    // Anthropic: cache tokens lie outside input_tokens, split by lifetime.
    Usage anthropic = answer_usage(R"({"type": "message", "usage": {"input_tokens": 12, "output_tokens": 25,
        "cache_read_input_tokens": 40000, "cache_creation_input_tokens": 3000,
        "cache_creation": {"ephemeral_5m_input_tokens": 1000, "ephemeral_1h_input_tokens": 2000}}})");
    EXPECT_DOUBLE_EQ(usage::cost(anthropic, p, true), m(12, 3) + m(40000, 0.3) + m(1000, 3.75) + m(2000, 6) + m(25, 15));
    EXPECT_DOUBLE_EQ(usage::cost(anthropic, p, false), m(12, 3) + m(25, 15));
    // Without the split every write is a 5-minute write.
    Usage unsplit = answer_usage(R"({"usage": {"input_tokens": 12, "output_tokens": 25,
        "cache_read_input_tokens": 40000, "cache_creation_input_tokens": 3000}})");
    EXPECT_DOUBLE_EQ(usage::cost(unsplit, p, true), m(12, 3) + m(40000, 0.3) + m(3000, 3.75) + m(25, 15));

    // DeepSeek: hits at the read price, misses at the input price.
    Usage deepseek = answer_usage(R"({"usage": {"prompt_tokens": 100, "completion_tokens": 10,
        "prompt_cache_hit_tokens": 80, "prompt_cache_miss_tokens": 20}})");
    EXPECT_DOUBLE_EQ(usage::cost(deepseek, p, true), m(20, 3) + m(80, 0.3) + m(10, 15));

    // Gemini's OpenAI-compatible answers count thinking beside the completion.
    Usage gemini = answer_usage(R"({"usage": {"prompt_tokens": 100, "completion_tokens": 10, "total_tokens": 170,
        "prompt_tokens_details": {"cached_tokens": 40}, "completion_tokens_details": {"reasoning_tokens": 60}}})");
    EXPECT_DOUBLE_EQ(usage::cost(gemini, p, true), m(60, 3) + m(40, 0.3) + m(70, 15));
    // OpenAI counts reasoning inside the completion: nothing is added.
    Usage reasoning = answer_usage(R"({"usage": {"prompt_tokens": 100, "completion_tokens": 70, "total_tokens": 170,
        "completion_tokens_details": {"reasoning_tokens": 60}}})");
    EXPECT_DOUBLE_EQ(usage::cost(reasoning, p, true), m(100, 3) + m(70, 15));

    // Gemini's native usageMetadata: the cached content lies inside the
    // prompt, thinking outside the candidates, and a count of 0 is left out.
    Usage native = usage::from_gemini(bj::parse(R"({"usageMetadata": {"promptTokenCount": 1200,
        "candidatesTokenCount": 17, "cachedContentTokenCount": 1024, "thoughtsTokenCount": 48,
        "totalTokenCount": 1265}})"));
    EXPECT_EQ(usage::prompt_tokens(native), 1200);
    EXPECT_EQ(usage::completion_tokens(native), 17 + 48);
    EXPECT_DOUBLE_EQ(usage::cost(native, p, true), m(1200 - 1024, 3) + m(1024, 0.3) + m(65, 15));
    EXPECT_DOUBLE_EQ(usage::cost(native, p, false), m(1200, 3) + m(65, 15));
    EXPECT_EQ(usage::cache_tokens(native).read, 1024);
    Usage terse = usage::from_gemini(bj::parse(R"({"usageMetadata": {"promptTokenCount": 9, "totalTokenCount": 9}})"));
    EXPECT_EQ(usage::completion_tokens(terse), 0);
    EXPECT_EQ(usage::cache_tokens(terse).read, 0);
    EXPECT_TRUE(usage::from_gemini(bj::parse(R"({"usage": {"prompt_tokens": 3}})")).empty());
    EXPECT_TRUE(usage::from_answer(bj::parse(R"({"usageMetadata": {"promptTokenCount": 3}})")).empty())
        << "usageMetadata is read only for Gemini's native API";

    // A model without cache prices pays its input price for cache tokens.
    tokentally::prices::Price plain{3, 15, std::nullopt, std::nullopt, std::nullopt, ""};
    EXPECT_DOUBLE_EQ(usage::cost(openai, plain, true), m(9657, 3) + m(78, 15));
    EXPECT_DOUBLE_EQ(usage::cost(anthropic, plain, true), m(12 + 40000 + 3000, 3) + m(25, 15));
}

TEST(Accounting, SwitchesAreOffUnlessConfiguredAndUnknownValuesAreRefused) {
    EXPECT_FALSE(usage::accounting(bj::object{}).any());
    auto a = usage::accounting(bj::parse(R"({"accounting": {"stream_usage": "request", "cache_pricing": true}})").as_object());
    EXPECT_EQ(a.stream_usage, usage::StreamUsage::request);
    EXPECT_TRUE(a.cache_pricing);
    try {
        usage::accounting(bj::parse(R"({"accounting": {"stream_usage": "yes"}})").as_object());
        FAIL() << "an unknown stream_usage must be refused";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("\"yes\""), std::string::npos) << e.what();
    }
}

}  // namespace
