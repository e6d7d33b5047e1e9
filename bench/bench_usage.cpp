// What reading usage from a relayed stream costs per MB of events, against
// copying the same bytes (what relaying a piece costs at least): a chat
// stream asked for usage (every chunk names "usage", so every one is
// parsed: the dearest case), the same stream relayed in drop mode, an
// Anthropic stream (content deltas carry no usage and are not parsed), and
// Gemini's native stream as events and as one JSON array (every piece
// carries running totals, so every one is parsed).
#include "tokentally/accounting/usage.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace usage = tokentally::usage;

namespace {

constexpr std::size_t STREAM_BYTES = 1 << 20;
constexpr std::size_t PIECE_BYTES = 4096;  // about what one upstream read brings

std::string _chat_stream() {
    const std::string chunk =
        "data: {\"id\":\"chatcmpl-bench\",\"object\":\"chat.completion.chunk\",\"created\":1765000000,\"model\":"
        "\"gpt-4o-mini\",\"system_fingerprint\":\"fp_1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\" token\"},"
        "\"logprobs\":null,\"finish_reason\":null}],\"usage\":null}\n\n";
    std::string s;
    while (s.size() < STREAM_BYTES) s += chunk;
    s += "data: {\"id\":\"chatcmpl-bench\",\"choices\":[],\"usage\":{\"prompt_tokens\":9657,\"completion_tokens\":78,"
         "\"prompt_tokens_details\":{\"cached_tokens\":1024}}}\n\ndata: [DONE]\n\n";
    return s;
}

std::string _anthropic_stream() {
    std::string s =
        "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"id\":\"msg_1\",\"usage\":"
        "{\"input_tokens\":12,\"cache_read_input_tokens\":40000,\"output_tokens\":1}}}\n\n";
    const std::string delta =
        "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":"
        "\"text_delta\",\"text\":\" token\"}}\n\n";
    while (s.size() < STREAM_BYTES) s += delta;
    s += "event: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"},"
         "\"usage\":{\"output_tokens\":4000}}\n\nevent: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
    return s;
}

// One piece of Gemini's answer, as an event or as an array element.
std::string _gemini_piece() {
    return "{\"candidates\": [{\"content\": {\"parts\": [{\"text\": \" token\"}],\"role\": \"model\"},"
           "\"index\": 0}],\"usageMetadata\": {\"promptTokenCount\": 1200,\"candidatesTokenCount\": 11,"
           "\"totalTokenCount\": 1259,\"thoughtsTokenCount\": 48},\"modelVersion\": \"gemini-3.5-flash\","
           "\"responseId\": \"r1\"}";
}

std::string _gemini_events() {
    const std::string event = "data: " + _gemini_piece() + "\r\n\r\n";
    std::string s;
    while (s.size() < STREAM_BYTES) s += event;
    return s;
}

std::string _gemini_array() {
    std::string s = "[" + _gemini_piece();
    while (s.size() < STREAM_BYTES) s += ",\r\n" + _gemini_piece();
    return s + "]";
}

std::vector<std::string_view> _pieces(const std::string& stream) {
    std::vector<std::string_view> out;
    for (std::size_t at = 0; at < stream.size(); at += PIECE_BYTES)
        out.push_back(std::string_view(stream).substr(at, PIECE_BYTES));
    return out;
}

void _per_mb(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// The floor: the copy of each piece that reading keeps until it went out.
void BM_CopyPieces(benchmark::State& state) {
    const std::string stream = _chat_stream();
    const auto pieces = _pieces(stream);
    std::string copy;
    for (auto _ : state)
        for (auto piece : pieces) {
            copy.assign(piece);
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        }
    _per_mb(state, stream.size());
}
BENCHMARK(BM_CopyPieces);

void BM_ReadChatStream(benchmark::State& state) {
    const std::string stream = _chat_stream();
    const auto pieces = _pieces(stream);
    for (auto _ : state) {
        usage::StreamReading r;
        for (auto piece : pieces) usage::read(r, piece);
        usage::finish(r);
        benchmark::DoNotOptimize(r.usage);
    }
    _per_mb(state, stream.size());
}
BENCHMARK(BM_ReadChatStream);

void BM_RelayChatStreamDroppingUsage(benchmark::State& state) {
    const std::string stream = _chat_stream();
    const auto pieces = _pieces(stream);
    for (auto _ : state) {
        usage::StreamReading r;
        r.drop_usage_only = true;
        for (auto piece : pieces) benchmark::DoNotOptimize(usage::relay(r, piece));
        benchmark::DoNotOptimize(usage::finish(r));
    }
    _per_mb(state, stream.size());
}
BENCHMARK(BM_RelayChatStreamDroppingUsage);

void BM_ReadAnthropicStream(benchmark::State& state) {
    const std::string stream = _anthropic_stream();
    const auto pieces = _pieces(stream);
    for (auto _ : state) {
        usage::StreamReading r;
        for (auto piece : pieces) usage::read(r, piece);
        usage::finish(r);
        benchmark::DoNotOptimize(r.usage);
    }
    _per_mb(state, stream.size());
}
BENCHMARK(BM_ReadAnthropicStream);

void _read_gemini(benchmark::State& state, const std::string& stream, usage::StreamFormat format) {
    const auto pieces = _pieces(stream);
    for (auto _ : state) {
        usage::StreamReading r;
        r.format = format;
        for (auto piece : pieces) usage::read(r, piece);
        usage::finish(r);
        benchmark::DoNotOptimize(r.usage);
    }
    _per_mb(state, stream.size());
}

void BM_ReadGeminiEvents(benchmark::State& state) {
    _read_gemini(state, _gemini_events(), usage::StreamFormat::gemini_events);
}
BENCHMARK(BM_ReadGeminiEvents);

void BM_ReadGeminiArray(benchmark::State& state) {
    _read_gemini(state, _gemini_array(), usage::StreamFormat::gemini_array);
}
BENCHMARK(BM_ReadGeminiArray);

}  // namespace

BENCHMARK_MAIN();
