// Shared by the fuzz targets: a broken property aborts with the input shown,
// so libFuzzer keeps the crashing case and reports it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view input, std::string_view detail = {}) {
    std::fprintf(stderr, "property broken: %s\ninput:  %.*s\ndetail: %.*s\n", what, static_cast<int>(input.size()),
                 input.data(), static_cast<int>(detail.size()), detail.data());
    std::abort();
}

}  // namespace fuzz
