// Shared by the fuzz targets: a broken property aborts with the input shown,
// so libFuzzer keeps the crashing case and reports it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view input, std::string_view detail = {}) {
    std::fprintf(stderr, "property broken: %s\ninput:  %.*s\ndetail: %.*s\n", what, static_cast<int>(input.size()),
                 input.data(), static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// An answer as a relay receives it, cut into transport chunks wherever the
// input says: the first byte gives how many chunk lengths follow (0 to 7),
// those bytes are the lengths, used in turn (none, or only zeros: one
// chunk), and the rest is the answer.
struct CutInput {
    std::string_view body;
    std::vector<std::size_t> lengths;
};

inline CutInput cut_input(const std::uint8_t* data, std::size_t size) {
    std::size_t n_cuts = std::min<std::size_t>(data[0] % 8, size - 1);
    CutInput in{std::string_view(reinterpret_cast<const char*>(data) + 1 + n_cuts, size - 1 - n_cuts),
                std::vector<std::size_t>(data + 1, data + 1 + n_cuts)};
    if (std::none_of(in.lengths.begin(), in.lengths.end(), [](std::size_t c) { return c > 0; }))
        in.lengths = {std::max<std::size_t>(in.body.size(), 1)};
    return in;
}

}  // namespace fuzz
