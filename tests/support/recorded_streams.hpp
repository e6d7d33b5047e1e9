// Streams recorded from each wire format (ids shortened), for the tests that
// read usage from them: OpenAI chat completions with include_usage, OpenAI
// responses (with Windows line ends), Anthropic messages with cache
// reads and writes of both lifetimes, and Gemini's native stream in both its
// forms.
#pragma once

#include <string>
#include <string_view>

namespace tt_test::recorded {

inline const std::string CHAT_USAGE_ONLY =
    "data: "
    "{\"id\":\"chatcmpl-1\",\"object\":\"chat.completion.chunk\",\"choices\":[],\"usage\":{\"prompt_tokens\":9657,"
    "\"completion_tokens\":78,\"total_tokens\":9735,\"prompt_tokens_details\":{\"cached_tokens\":1024,"
    "\"cache_write_tokens\":512},\"completion_tokens_details\":{\"reasoning_tokens\":37}}}\n\n";

inline const std::string CHAT_STREAM =
    "data: {\"id\":\"chatcmpl-1\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":{\"role\":"
    "\"assistant\",\"content\":\"\"},\"finish_reason\":null}],\"usage\":null}\n\n"
    "data: "
    "{\"id\":\"chatcmpl-1\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":{\"content\":"
    "\"Hello\"},\"finish_reason\":null}],\"usage\":null}\n\n"
    ": keep-alive\n\n"
    "data: {\"id\":\"chatcmpl-1\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":{},"
    "\"finish_reason\":\"stop\"}],\"usage\":null}\n\n" +
    CHAT_USAGE_ONLY + "data: [DONE]\n\n";

// Windows line ends, so that splits fall between CR and LF too.
inline const std::string RESPONSES_STREAM =
    "event: response.created\r\n"
    "data: {\"type\":\"response.created\",\"response\":{\"id\":\"resp_1\",\"object\":\"response\",\"status\":"
    "\"in_progress\",\"usage\":null}}\r\n\r\n"
    "event: response.output_text.delta\r\n"
    "data: {\"type\":\"response.output_text.delta\",\"item_id\":\"msg_1\",\"delta\":\"Hi\"}\r\n\r\n"
    "event: response.completed\r\n"
    "data: {\"type\":\"response.completed\",\"response\":{\"id\":\"resp_1\",\"object\":\"response\",\"status\":"
    "\"completed\",\"usage\":{\"input_tokens\":2000,\"input_tokens_details\":{\"cached_tokens\":1500},"
    "\"output_tokens\":40,\"output_tokens_details\":{\"reasoning_tokens\":10},\"total_tokens\":2040}}}\r\n\r\n";

inline const std::string ANTHROPIC_STREAM =
    "event: message_start\n"
    "data: {\"type\":\"message_start\",\"message\":{\"id\":\"msg_1\",\"type\":\"message\",\"role\":\"assistant\","
    "\"content\":[],\"usage\":{\"input_tokens\":12,\"cache_creation_input_tokens\":3000,\"cache_read_input_tokens\":"
    "40000,\"cache_creation\":{\"ephemeral_5m_input_tokens\":1000,\"ephemeral_1h_input_tokens\":2000},"
    "\"output_tokens\":1}}}\n\n"
    "event: ping\ndata: {\"type\": \"ping\"}\n\n"
    "event: content_block_delta\n"
    "data: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\"Hello\"}}\n\n"
    "event: message_delta\n"
    "data: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"tool_use\"},\"usage\":{\"output_tokens\":15}}\n\n"
    "event: message_delta\n"
    "data: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"},\"usage\":{\"input_tokens\":12,"
    "\"cache_read_input_tokens\":40000,\"output_tokens\":25}}\n\n"
    "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";

// Gemini's native stream, with alt=sse (CRLF line ends, running totals on
// every event, the last on a chunk without text) and without it (one JSON
// array written as it is generated). The text holds brackets, braces,
// quotes and backslashes inside strings.
inline const std::string GEMINI_SSE_STREAM =
    "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"He wrote \\\"}]\\\" and {\"}],\"role\": "
    "\"model\"},"
    "\"index\": 0}],\"usageMetadata\": {\"promptTokenCount\": 1200,\"candidatesTokenCount\": 4,\"totalTokenCount\": "
    "1252,"
    "\"cachedContentTokenCount\": 1024,\"thoughtsTokenCount\": 48},\"modelVersion\": \"gemini-3.5-flash\","
    "\"responseId\": \"r1\"}\r\n\r\n"
    "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \" a \\\\ path [x] \"}],\"role\": \"model\"},"
    "\"index\": 0}],\"usageMetadata\": {\"promptTokenCount\": 1200,\"candidatesTokenCount\": 11,\"totalTokenCount\": "
    "1259,"
    "\"cachedContentTokenCount\": 1024,\"thoughtsTokenCount\": 48},\"modelVersion\": \"gemini-3.5-flash\","
    "\"responseId\": \"r1\"}\r\n\r\n"
    "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"\"}],\"role\": \"model\"},\"finishReason\": "
    "\"STOP\","
    "\"index\": 0}],\"usageMetadata\": {\"promptTokenCount\": 1200,\"candidatesTokenCount\": 17,\"totalTokenCount\": "
    "1265,"
    "\"cachedContentTokenCount\": 1024,\"promptTokensDetails\": [{\"modality\": \"TEXT\",\"tokenCount\": 1200}],"
    "\"thoughtsTokenCount\": 48},\"modelVersion\": \"gemini-3.5-flash\",\"responseId\": \"r1\"}\r\n\r\n";

inline const std::string GEMINI_ARRAY_STREAM =
    "[{\n  \"candidates\": [\n    {\n      \"content\": {\n        \"parts\": [\n          {\n"
    "            \"text\": \"He wrote \\\"}]\\\" and {\"\n          }\n        ],\n        \"role\": \"model\"\n      "
    "},\n"
    "      \"index\": 0\n    }\n  ],\n  \"usageMetadata\": {\n    \"promptTokenCount\": 1200,\n"
    "    \"candidatesTokenCount\": 4,\n    \"totalTokenCount\": 1252,\n    \"cachedContentTokenCount\": 1024,\n"
    "    \"thoughtsTokenCount\": 48\n  },\n  \"modelVersion\": \"gemini-3.5-flash\"\n}\n,\r\n"
    "{\n  \"candidates\": [\n    {\n      \"content\": {\n        \"parts\": [\n          {\n"
    "            \"text\": \" a \\\\ path [x] \"\n          }\n        ],\n        \"role\": \"model\"\n      },\n"
    "      \"finishReason\": \"STOP\",\n      \"index\": 0\n    }\n  ],\n  \"usageMetadata\": {\n"
    "    \"promptTokenCount\": 1200,\n    \"candidatesTokenCount\": 17,\n    \"totalTokenCount\": 1265,\n"
    "    \"cachedContentTokenCount\": 1024,\n    \"thoughtsTokenCount\": 48\n  },\n"
    "  \"modelVersion\": \"gemini-3.5-flash\"\n}\n]";

// A chat stream as the provider sends it to a client that did not ask for
// usage: no usage-only chunk, and no "usage": null on the others.
inline std::string unasked(std::string stream) {
    stream.erase(stream.find(CHAT_USAGE_ONLY), CHAT_USAGE_ONLY.size());
    for (std::string_view member = ",\"usage\":null"; stream.find(member) != std::string::npos;)
        stream.erase(stream.find(member), member.size());
    return stream;
}

}  // namespace tt_test::recorded
