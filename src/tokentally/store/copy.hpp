// Copying the calls of one ledger into another (a machine's ledger.db into
// the team's shared database), with the backend of each left to open().
#pragma once

#include "tokentally/store/store.hpp"

#include <cstdint>
#include <functional>

namespace tokentally::store {

struct CopyCounts {
    std::int64_t read = 0;     // calls of the source
    std::int64_t copied = 0;   // appended to the destination
    std::int64_t present = 0;  // found there already, left alone
};

// Rows per transaction of a copy.
inline constexpr std::int64_t COPY_BATCH = 2000;

// Copies every call of `from`, with what is kept beside it, into `to` in
// batches of COPY_BATCH, each committed on its own; a call `to` already
// holds (same time and figures) is skipped, so a second run, or a run after
// one that was broken off, copies nothing twice. `progress` is told the
// counts after each batch. Throws what either store throws.
CopyCounts copy_calls(Store& from, Store& to, const std::function<void(const CopyCounts&)>& progress = {});

}  // namespace tokentally::store
