// Usage read from recorded streams of each wire format, whatever the chunk
// boundaries; the usage-only chunk left out in drop mode; malformed and
// oversized events and array elements; the cost formula of each provider
// style; long-context and service-tier prices, and price lists that carry
// them.
#include "support/recorded_streams.hpp"
#include "support/scratch.hpp"
#include "tokentally/accounting/usage.hpp"

#include <gtest/gtest.h>

#include <fstream>
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

const std::vector<std::pair<usage::Figure, std::int64_t>> GEMINI_FIGURES = {{usage::PROMPT_TOKEN_COUNT, 1200},
                                                                            {usage::CANDIDATES_TOKEN_COUNT, 17},
                                                                            {usage::TOTAL_TOKEN_COUNT, 1265},
                                                                            {usage::CACHED_CONTENT_TOKEN_COUNT, 1024},
                                                                            {usage::THOUGHTS_TOKEN_COUNT, 48}};

const std::vector<Recorded> RECORDED = {
    {"chat completions",
     &CHAT_STREAM,
     {{usage::PROMPT_TOKENS, 9657},
      {usage::COMPLETION_TOKENS, 78},
      {usage::CACHED_TOKENS, 1024},
      {usage::CACHE_WRITE_TOKENS, 512},
      {usage::REASONING_TOKENS, 37},
      {usage::TOTAL_TOKENS, 9735}}},
    {"responses",
     &RESPONSES_STREAM,
     {{usage::INPUT_TOKENS, 2000},
      {usage::OUTPUT_TOKENS, 40},
      {usage::CACHED_TOKENS, 1500},
      {usage::REASONING_TOKENS, 10},
      {usage::TOTAL_TOKENS, 2040}}},
    {"anthropic messages",
     &ANTHROPIC_STREAM,
     {{usage::INPUT_TOKENS, 12},
      {usage::OUTPUT_TOKENS, 25},
      {usage::CACHE_READ_INPUT, 40000},
      {usage::CACHE_CREATION_INPUT, 3000},
      {usage::CACHE_WRITE_5M, 1000},
      {usage::CACHE_WRITE_1H, 2000}}},
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
    for (const auto& [stream, expected] :
         {std::pair{CHAT_STREAM, unasked(CHAT_STREAM)}, std::pair{crlf(CHAT_STREAM), crlf(unasked(CHAT_STREAM))}}) {
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
    const std::string kept =
        "data: {\"choices\":[{\"delta\":{}}],\"usage\":{\"prompt_tokens\":3}}\n\n"
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
    // Big enough that in drop mode the part held passes the cap pieces
    // before the event ends, and the rest of it flows through.
    const std::string big = "data: {\"choices\":[{\"delta\":{\"content\":\"" +
                            std::string(usage::MAX_EVENT_BYTES + 100'000, 'x') +
                            "\"}}],\"usage\":{\"prompt_tokens\":1}}\n\n";
    // Past the cap in many data lines, none of them big.
    std::string many_lines;
    for (std::size_t n = 0; n <= usage::MAX_EVENT_BYTES / 60'000; ++n)
        many_lines += "data: \"usage\" " + std::string(60'000, 'y') + "\n";
    const std::string stream =
        "data: {\"usage\": {not json\n\n"
        "data: [\"usage\"]\n\n" +
        big + many_lines + "\ndata: [DONE]\n\n" +
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
        EXPECT_EQ(r.skipped, 4u) << "drop " << drop;
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
    EXPECT_DOUBLE_EQ(usage::cost(anthropic, p, true),
                     m(12, 3) + m(40000, 0.3) + m(1000, 3.75) + m(2000, 6) + m(25, 15));
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
    auto a = usage::accounting(
        bj::parse(R"({"accounting": {"stream_usage": "request", "cache_pricing": true}})").as_object());
    EXPECT_EQ(a.stream_usage, usage::StreamUsage::request);
    EXPECT_TRUE(a.cache_pricing);
    try {
        usage::accounting(bj::parse(R"({"accounting": {"stream_usage": "yes"}})").as_object());
        FAIL() << "an unknown stream_usage must be refused";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("\"yes\""), std::string::npos) << e.what();
    }
}

// --- tiers ------------------------------------------------------------------------

namespace prices = tokentally::prices;
using prices::ServiceTier;

// Gemini 2.5 Pro's prices: 1.25 / 10 (cache read 0.125), above 200k prompt
// tokens 2.50 / 15 (0.25).
prices::Price gemini_pro() {
    prices::Price p{1.25, 10, 0.125, std::nullopt, std::nullopt, ""};
    p.long_context = {{200'000, {2.5, 15, 0.25}}};
    return p;
}

usage::Billed prompt_and_output(double prompt, double output) { return {.input = prompt, .output = output}; }

TEST(Tiers, ALongPromptPricesTheWholeCallAtItsTierCountingCacheTokens) {
    prices::Price p = gemini_pro();
    EXPECT_EQ(usage::cost(prompt_and_output(250'000, 1000), p), m(250'000, 2.5) + m(1000, 15));
    EXPECT_EQ(usage::cost(prompt_and_output(150'000, 1000), p), m(150'000, 1.25) + m(1000, 10));
    EXPECT_EQ(usage::cost(prompt_and_output(200'000, 1000), p), m(200'000, 1.25) + m(1000, 10)) << "above, not at";
    // Cached tokens count towards the threshold and pay the tier's read price.
    usage::Billed cached{.input = 150'000, .cache_read = 60'000, .output = 10};
    EXPECT_EQ(usage::cost(cached, p), m(150'000, 2.5) + m(60'000, 0.25) + m(10, 15));
    // A tier that lists no cache price: the read follows the input price.
    p.long_context[0].rates.cache_read.reset();
    EXPECT_DOUBLE_EQ(usage::cost(cached, p), m(150'000, 2.5) + m(60'000, 0.25) + m(10, 15));
    // The highest threshold below the prompt picks.
    p.long_context.push_back({400'000, {5, 20}});
    EXPECT_EQ(usage::cost(prompt_and_output(500'000, 0), p), m(500'000, 5));
}

TEST(Tiers, WithoutTiersTheCostIsTheFormulaAlwaysUsedToTheLastBit) {
    prices::Price plain{2.5, 10, std::nullopt, std::nullopt, std::nullopt, ""};
    for (auto [prompt, completion] :
         std::vector<std::pair<int, int>>{{10, 5}, {1000, 500}, {123'457, 9'876}, {0, 7}, {3, 0}}) {
        double before =
            (static_cast<double>(prompt) / 1'000'000.0) * 2.5 + (static_cast<double>(completion) / 1'000'000.0) * 10;
        EXPECT_EQ(usage::cost(prompt_and_output(prompt, completion), plain), before) << prompt << " " << completion;
        EXPECT_EQ(usage::cost(prompt_and_output(prompt, completion), plain, ServiceTier::priority), before);
    }
}

TEST(Tiers, FlexIsHalfOrItsListedPricePriorityItsListedPriceAfterTheLongContextTier) {
    prices::Price p{2, 8, 0.5, std::nullopt, std::nullopt, ""};
    usage::Billed b{.input = 1000, .cache_read = 1000, .output = 100};
    double standard = usage::cost(b, p);
    EXPECT_EQ(usage::cost(b, p, ServiceTier::flex), m(1000, 1) + m(1000, 0.25) + m(100, 4)) << "batch rates, cache too";
    EXPECT_EQ(usage::cost(b, p, ServiceTier::priority), standard) << "no priority price listed";
    p.flex = prices::Rates{0.8, 3};
    p.priority = prices::Rates{5, 20, 1};
    EXPECT_EQ(usage::cost(b, p, ServiceTier::priority), m(1000, 5) + m(1000, 1) + m(100, 20));
    EXPECT_DOUBLE_EQ(usage::cost(b, p, ServiceTier::flex), m(1000, 0.8) + m(1000, 0.2) + m(100, 3))
        << "the read price the flex list leaves out follows its input price";
    EXPECT_EQ(usage::cost(b, p, prices::service_tier("default")), standard);

    // Long context and a service tier: the tier picks, the service applies.
    prices::Price g = gemini_pro();
    usage::Billed big = prompt_and_output(250'000, 1000);
    EXPECT_EQ(usage::cost(big, g, ServiceTier::flex), m(250'000, 1.25) + m(1000, 7.5));
    g.priority = prices::Rates{2.5, 15};  // twice the input, 1.5 times the output
    EXPECT_DOUBLE_EQ(usage::cost(big, g, ServiceTier::priority), m(250'000, 5) + m(1000, 22.5));
}

TEST(Tiers, AnswersNameTheirServiceTierAndTheStandardOneIsNone) {
    EXPECT_EQ(usage::service_tier(bj::parse(R"({"service_tier": "flex", "usage": {}})")), "flex");
    EXPECT_EQ(
        usage::service_tier(bj::parse(R"({"type": "response.completed", "response": {"service_tier": "priority"}})")),
        "priority");
    EXPECT_EQ(usage::service_tier(bj::parse(R"({"usage": {"service_tier": "priority"}})")), "priority");
    for (const char* standard : {R"({"service_tier": "default"})", R"({"usage": {"service_tier": "standard"}})",
                                 R"({"service_tier": null})", R"({"usage": {"prompt_tokens": 3}})", "[]"})
        EXPECT_FALSE(usage::service_tier(bj::parse(standard))) << standard;
    // A stream keeps the tier of the events it reads.
    usage::StreamReading r;
    usage::read(r,
                "data: {\"service_tier\": \"flex\", \"choices\": [], \"usage\": {\"prompt_tokens\": 4, "
                "\"completion_tokens\": 2}}\n\ndata: [DONE]\n\n");
    EXPECT_EQ(r.service_tier, "flex");
}

// --- price lists with tiers --------------------------------------------------------

const std::string COMMUNITY_TIERS = R"({
  "sample_spec": {"input_cost_per_token": 0},
  "gemini/gemini-tiered": {"input_cost_per_token": 1.25e-06, "output_cost_per_token": 1e-05,
      "cache_read_input_token_cost": 1.25e-07, "input_cost_per_token_above_200k_tokens": 2.5e-06,
      "output_cost_per_token_above_200k_tokens": 1.5e-05, "cache_read_input_token_cost_above_200k_tokens": 2.5e-07,
      "litellm_provider": "gemini", "mode": "chat"},
  "gpt-served": {"input_cost_per_token": 2e-06, "output_cost_per_token": 8e-06, "input_cost_per_token_flex": 1e-06,
      "output_cost_per_token_flex": 4e-06, "input_cost_per_token_priority": 3.5e-06,
      "output_cost_per_token_priority": 1.4e-05, "input_cost_per_token_batches": 1e-06,
      "litellm_provider": "openai", "mode": "chat"},
  "text-embedding-x": {"input_cost_per_token": 2e-08, "litellm_provider": "openai", "mode": "embedding"},
  "dall-e-x": {"input_cost_per_token": 1e-06, "output_cost_per_token": 1e-06, "mode": "image_generation"}
})";

TEST(PriceLists, CommunityTierKeysAndEmbeddingsAreReadAndOurShapeKeepsThem) {
    tt_test::Scratch s;
    std::vector<prices::Entry> entries = prices::entries(COMMUNITY_TIERS, "community");
    ASSERT_EQ(entries.size(), 3u) << "images are left out";
    const prices::Price& tiered = entries[0].price;
    EXPECT_EQ(entries[0].provider, "gemini");
    ASSERT_EQ(tiered.long_context.size(), 1u);
    EXPECT_EQ(tiered.long_context[0].above, 200'000);
    EXPECT_EQ(tiered.long_context[0].rates.input, 2.5);
    EXPECT_EQ(tiered.long_context[0].rates.output, 15);
    EXPECT_EQ(tiered.long_context[0].rates.cache_read, 0.25);
    const prices::Price& served = entries[1].price;
    EXPECT_EQ(served.flex->input, 1);
    EXPECT_EQ(served.priority->output, 14);
    EXPECT_TRUE(served.long_context.empty()) << "batch prices are not a tier";
    EXPECT_EQ(entries[2].price.input, 0.02);
    EXPECT_EQ(entries[2].price.output, 0) << "an embedding model has no output price";

    // Our own shape keeps every tier through a store and a load.
    prices::List list = prices::parse(COMMUNITY_TIERS, "community");
    std::string file = s.data + "/tiers.json";
    prices::store(list, file);
    auto loaded = prices::load_shared(file);
    const prices::Price& back = loaded->at("gemini/gemini-tiered");
    EXPECT_EQ(back.long_context[0].rates.cache_read, 0.25);
    EXPECT_EQ(loaded->at("gpt-served").flex->output, 4);
    EXPECT_EQ(loaded->at("gpt-served").priority->input, 3.5);
}

TEST(PriceLists, TiersInOurShapeAreSortedDefaultedAndChecked) {
    auto one = [](const std::string& entry) { return prices::parse(R"({"m": )" + entry + "}", "list").at("m"); };
    prices::Price p = one(R"({"input": 2, "output": 8, "long_context": [{"above": 400000, "input": 5},
        {"above": 200000, "input": 3, "output": 9}], "flex": {"output": 3}})");
    ASSERT_EQ(p.long_context.size(), 2u);
    EXPECT_EQ(p.long_context[0].above, 200'000);
    EXPECT_EQ(p.long_context[1].rates.output, 8) << "a price a tier leaves out is the standard one";
    EXPECT_EQ(p.flex->input, 1) << "flex leaves out half the standard price";
    auto refused = [&](const std::string& entry, const std::string& says) {
        try {
            one(entry);
            ADD_FAILURE() << entry << " was taken";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    };
    refused(R"({"input": 2, "output": 8, "long_context": [{"above": 0, "input": 3}]})", "not a whole number");
    refused(R"({"input": 2, "output": 8, "long_context": [{"input": 3}]})", "needs \"above\"");
    refused(R"({"input": 2, "output": 8, "long_context": [{"above": 9, "input": 3}, {"above": 9, "input": 4}]})",
            "given twice");
    refused(R"({"input": 2, "output": 8, "long_context": [{"above": 9, "input": "x"}]})",
            "long_context[0].input is not a number");
    refused(R"({"input": 2, "output": 8, "priority": {"input": 3, "cache_read": 4}})",
            "priority: cache read price 4 is above the input price 3");
}

}  // namespace
