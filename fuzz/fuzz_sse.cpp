// A relayed event stream as the usage reader receives it: arbitrary bytes cut
// into transport chunks wherever the input says (fuzz::cut_input). Whatever
// the cuts, the figures read and what drop mode relays are those of the whole
// stream in one piece, and no buffer holds more than one event's limit.
#include "common.hpp"
#include "tokentally/usage.hpp"

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
    std::string relayed;
};

Outcome _feed(std::string_view body, const std::vector<std::size_t>& cuts) {
    Outcome o;
    usage::StreamReading reading, dropping;
    dropping.drop_usage_only = true;
    for (std::size_t fed = 0, i = 0; fed < body.size(); ++i) {
        std::string_view chunk = body.substr(fed, cuts[i % cuts.size()]);
        fed += chunk.size();
        usage::read(reading, chunk);
        o.relayed += usage::relay(dropping, chunk);
        for (const auto* s : {&reading, &dropping})
            if (std::max({s->sse.data.size(), s->sse.line.size(), s->held.size()}) > usage::MAX_EVENT_BYTES)
                fuzz::fail("a buffer holds more than one event's limit", body);
    }
    usage::finish(reading);
    o.relayed += usage::finish(dropping);
    o.read = reading.usage;
    o.dropped = dropping.usage;
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
    if (cut.relayed != once.relayed) fuzz::fail("drop mode relays other bytes where the stream was cut", body, cut.relayed);
    if (cut.relayed.size() > body.size()) fuzz::fail("drop mode relays more than it got", body, cut.relayed);
    return 0;
}
