// Splitting a relayed body into its pieces as the chunks arrive: the events
// of a server-sent event stream, and the elements of a streamed JSON array
// (Gemini's). Nothing here parses JSON; the stream readers of usage.cpp do.
#include "tokentally/accounting/usage.hpp"

#include <algorithm>
#include <cstring>

namespace tokentally::usage {

// --- server-sent events ----------------------------------------------------------

namespace {

// The end of the line starting at `from`: the first CR or LF.
std::size_t _line_end(std::string_view chunk, std::size_t from) {
    const char* begin = chunk.data() + from;
    std::size_t n = chunk.size() - from;
    const void* lf = std::memchr(begin, '\n', n);
    std::size_t until = lf != nullptr ? static_cast<const char*>(lf) - begin : n;
    const void* cr = std::memchr(begin, '\r', until);
    if (cr != nullptr) return from + (static_cast<const char*>(cr) - begin);
    return lf != nullptr ? from + until : std::string_view::npos;
}

void _mark_oversized(SseSplitter& s) {
    s.oversized = true;
    std::string().swap(s.data);  // give the memory back, not just the length
    std::string().swap(s.line);
}

// One complete line of the event in progress. Only "data" lines matter:
// each adds its value and a line feed.
void _take_line(SseSplitter& s, std::string_view line) {
    if (s.oversized || line.empty() || line.front() == ':') return;
    std::size_t colon = line.find(':');
    if (line.substr(0, colon) != "data") return;
    std::string_view value = colon == std::string_view::npos ? std::string_view{} : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (s.data.size() + value.size() + 1 > MAX_EVENT_BYTES) {
        _mark_oversized(s);
        return;
    }
    append_capped(s.data, value);
    append_capped(s.data, "\n");
}

// Clears what the event handed out last held, before the next one starts.
void _start_next(SseSplitter& s) {
    if (!s.dispatched) return;
    s.dispatched = false;
    s.data.clear();
    s.oversized = false;
}

// The event in progress, without the line feed after its last data line.
SseEvent _dispatch(SseSplitter& s, std::size_t end) {
    s.dispatched = true;
    std::string_view data = s.data;
    if (!data.empty()) data.remove_suffix(1);
    return SseEvent{data, s.oversized, end};
}

// The rest of `chunk` from `pos` holds no line end: keep it for the next
// chunk, unless the line is already past the limit (its event is skipped).
void _hold_partial_line(SseSplitter& s, std::string_view rest) {
    s.partial = true;
    if (s.oversized) return;
    if (s.line.size() + rest.size() > MAX_EVENT_BYTES)
        _mark_oversized(s);
    else
        append_capped(s.line, rest);
}

}  // namespace

// Appends without letting the buffer's growth pass the limit: doubling a
// buffer just under it would hold twice what is kept. (A string's own
// reserve doubles as well; a fresh one takes the size it is given.)
void append_capped(std::string& buffer, std::string_view piece) {
    std::size_t needed = buffer.size() + piece.size();
    if (needed > buffer.capacity()) {
        std::string grown;
        grown.reserve(std::min(std::max(buffer.capacity() * 2, needed), MAX_EVENT_BYTES));
        grown.append(buffer);
        buffer.swap(grown);
    }
    buffer.append(piece);
}

std::optional<SseEvent> next_event(SseSplitter& s, std::string_view chunk, std::size_t& pos) {
    _start_next(s);
    if (s.after_cr && pos < chunk.size()) {
        s.after_cr = false;
        if (chunk[pos] == '\n') ++pos;
    }
    while (pos < chunk.size()) {
        std::size_t end = _line_end(chunk, pos);
        if (end == std::string_view::npos) {
            _hold_partial_line(s, chunk.substr(pos));
            pos = chunk.size();
            return std::nullopt;
        }
        std::string_view piece = chunk.substr(pos, end - pos);
        pos = end + 1;
        if (chunk[end] == '\r') {
            if (pos < chunk.size())
                pos += chunk[pos] == '\n';
            else
                s.after_cr = true;
        }
        if (s.partial) {
            s.partial = false;
            if (!s.oversized && s.line.size() + piece.size() > MAX_EVENT_BYTES) _mark_oversized(s);
            if (!s.oversized) {
                append_capped(s.line, piece);
                _take_line(s, s.line);
            }
            s.line.clear();
        } else if (piece.empty()) {
            return _dispatch(s, pos);
        } else {
            _take_line(s, piece);
        }
    }
    return std::nullopt;
}

std::optional<SseEvent> last_event(SseSplitter& s) {
    _start_next(s);
    if (s.partial) {
        s.partial = false;
        _take_line(s, s.line);
        s.line.clear();
    }
    if (s.data.empty() && !s.oversized) return std::nullopt;
    return _dispatch(s, 0);
}

// --- streamed JSON ---------------------------------------------------------------

namespace {

// Keeps more bytes of the element in progress, unless that takes it past
// the limit: then it is skipped and nothing of it is held.
void _keep_element_bytes(JsonSplitter& s, std::string_view bytes) {
    if (s.oversized || bytes.empty()) return;
    if (s.element.size() + bytes.size() > MAX_EVENT_BYTES) {
        s.oversized = true;
        std::string().swap(s.element);
        return;
    }
    append_capped(s.element, bytes);
}

// The first byte of the text decides: a top-level array hands out its
// elements, anything else its own top-level values.
bool _start_text(JsonSplitter& s, std::string_view chunk, std::size_t& pos) {
    std::size_t at = chunk.find_first_not_of(" \t\r\n", pos);
    if (at == std::string_view::npos) {
        pos = chunk.size();
        return false;
    }
    s.base = chunk[at] == '[' ? 1 : 0;
    s.depth = s.base;
    pos = at + (s.base == 1);
    return true;
}

// Inside a string: up to its closing quote, past escaped bytes.
void _skip_string(JsonSplitter& s, std::string_view chunk, std::size_t& pos) {
    if (s.escaped) {
        s.escaped = false;
        ++pos;
        return;
    }
    std::size_t at = chunk.find_first_of("\"\\", pos);
    if (at == std::string_view::npos) {
        pos = chunk.size();
        return;
    }
    pos = at + 1;
    if (chunk[at] == '\\')
        s.escaped = true;
    else
        s.in_string = false;
}

}  // namespace

std::optional<JsonElement> next_element(JsonSplitter& s, std::string_view chunk, std::size_t& pos) {
    if (s.dispatched) {
        s.dispatched = false;
        s.element.clear();
        s.oversized = false;
    }
    // Where the element in progress starts in this chunk, when there is one.
    std::size_t start = s.base >= 0 && s.depth > s.base ? pos : std::string_view::npos;
    while (pos < chunk.size()) {
        if (s.base < 0 && !_start_text(s, chunk, pos)) break;
        if (s.in_string) {
            _skip_string(s, chunk, pos);
            continue;
        }
        std::size_t at = chunk.find_first_of("\"{}[]", pos);
        if (at == std::string_view::npos) {
            pos = chunk.size();
            break;
        }
        pos = at + 1;
        char c = chunk[at];
        if (c == '"') {
            s.in_string = true;
        } else if (c == '{' || c == '[') {
            if (s.depth == s.base) start = at;
            ++s.depth;
        } else if (s.depth > 0 && --s.depth == s.base && start != std::string_view::npos) {
            s.dispatched = true;
            std::string_view bytes = chunk.substr(start, pos - start);
            if (s.element.empty() && !s.oversized) return JsonElement{bytes, false};  // whole in this chunk
            _keep_element_bytes(s, bytes);
            return JsonElement{s.element, s.oversized};
        } else if (s.depth < s.base) {
            s.base = -1;  // the top-level array has closed: whatever follows is a new text
        }
    }
    if (start != std::string_view::npos && s.depth > s.base) _keep_element_bytes(s, chunk.substr(start));
    return std::nullopt;
}

}  // namespace tokentally::usage
