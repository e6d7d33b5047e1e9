// A streamed Ollama answer as the relay receives it: arbitrary bytes cut
// into transport chunks wherever the input says. The first byte gives how
// many chunk lengths follow (0 to 7), those bytes are the lengths, used in
// turn (none, or only zeros: one chunk), and the rest is the answer. Whatever the cuts, the lines taken out
// are those of the whole answer split at its newlines (a carriage return
// before a newline dropped, blank lines skipped), what is pending is exactly
// the unfinished tail, and a line that ends the answer never yields a
// negative token count.
#include "common.hpp"
#include "tokentally/proxy/local.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace local = tokentally::local;

namespace {

// The lines of `text` cut at every newline, the last one only if `at_end`.
std::vector<std::string> _expected_lines(std::string_view text, bool at_end) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; start <= text.size(); start = nl + 1) {
        nl = text.find('\n', start);
        if (nl == std::string_view::npos && !at_end) break;
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = text.substr(start, nl - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.find_first_not_of(" \t\r\n\f\v") != std::string_view::npos) lines.emplace_back(line);
    }
    return lines;
}

void _check_counts(const std::vector<std::string>& lines, std::string_view input) {
    for (const auto& line : lines) {
        auto counts = local::done_line_counts(line);
        if (counts && (counts->prompt_tokens < 0 || counts->completion_tokens < 0))
            fuzz::fail("negative token count", input, line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto [body, cuts] = fuzz::cut_input(data, size);

    std::string pending;
    std::vector<std::string> taken;
    std::size_t fed = 0;
    std::size_t tail = 0;  // where the bytes after the last newline fed begin
    for (std::size_t i = 0; fed < body.size(); ++i) {
        std::string_view chunk = body.substr(fed, cuts[i % cuts.size()]);
        if (std::size_t nl = chunk.rfind('\n'); nl != std::string_view::npos) tail = fed + nl + 1;
        fed += chunk.size();
        for (auto& line : local::take_ndjson_lines(pending, chunk, false)) taken.push_back(std::move(line));
        if (pending != body.substr(tail, fed - tail)) fuzz::fail("pending is not the unfinished tail", body, pending);
    }
    if (taken != _expected_lines(body, false)) fuzz::fail("complete lines taken differ from the answer's", body);
    for (auto& line : local::take_ndjson_lines(pending, {}, true)) taken.push_back(std::move(line));
    if (!pending.empty()) fuzz::fail("a tail is left pending at the end", body, pending);
    if (taken != _expected_lines(body, true)) fuzz::fail("lines taken differ from the answer's", body);
    _check_counts(taken, body);
    return 0;
}
