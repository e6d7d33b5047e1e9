// A relayed stream as the usage reader receives it: arbitrary bytes cut into
// transport chunks wherever the input says (fuzz::cut_input), read as events
// (with usage objects, or with Gemini's usageMetadata) and as Gemini's JSON
// array. Whatever the cuts, the figures read and what drop mode relays are
// those of the whole stream in one piece, and no buffer holds more than one
// event's limit.
#include "common.hpp"
#include "tokentally/accounting/usage.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usage = tokentally::usage;

namespace {

struct Outcome {
    usage::Usage read;
    usage::Usage dropped;
    usage::Usage gemini_events;
    usage::Usage gemini_array;
    std::string relayed;
};

Outcome _feed(std::string_view body, const std::vector<std::size_t>& cuts) {
    Outcome o;
    usage::StreamReading reading, dropping, events, array;
    dropping.drop_usage_only = true;
    events.format = usage::StreamFormat::gemini_events;
    array.format = usage::StreamFormat::gemini_array;
    for (std::size_t fed = 0, i = 0; fed < body.size(); ++i) {
        std::string_view chunk = body.substr(fed, cuts[i % cuts.size()]);
        fed += chunk.size();
        usage::read(reading, chunk);
        o.relayed += usage::relay(dropping, chunk);
        usage::read(events, chunk);
        usage::read(array, chunk);
        for (const auto* s : {&reading, &dropping, &events, &array})
            if (std::max({s->sse.data.size(), s->sse.line.size(), s->held.size(), s->json.element.size()}) >
                usage::MAX_EVENT_BYTES)
                fuzz::fail("a buffer holds more than one event's limit", body);
    }
    usage::finish(reading);
    o.relayed += usage::finish(dropping);
    usage::finish(events);
    usage::finish(array);
    o.read = reading.usage;
    o.dropped = dropping.usage;
    o.gemini_events = events.usage;
    o.gemini_array = array.usage;
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto [body, cuts] = fuzz::cut_input(data, size);
    std::vector<std::size_t> whole = {std::max<std::size_t>(body.size(), 1)};

    Outcome cut = _feed(body, cuts);
    Outcome once = _feed(body, whole);
    if (cut.read.figures != once.read.figures) fuzz::fail("figures depend on where the stream was cut", body);
    if (cut.dropped.figures != once.read.figures) fuzz::fail("drop mode reads other figures", body);
    if (cut.gemini_events.figures != once.gemini_events.figures)
        fuzz::fail("Gemini's figures depend on where the event stream was cut", body);
    if (cut.gemini_array.figures != once.gemini_array.figures)
        fuzz::fail("Gemini's figures depend on where the JSON array was cut", body);
    if (cut.relayed != once.relayed) fuzz::fail("drop mode relays other bytes where the stream was cut", body, cut.relayed);
    if (cut.relayed.size() > body.size()) fuzz::fail("drop mode relays more than it got", body, cut.relayed);
    return 0;
}
