#include "tokentally/store/copy.hpp"

namespace tokentally::store {

namespace {

// The calls of `batch` that `to` does not hold yet.
std::vector<const CallRecord*> _missing(Calls& to, const std::vector<StoredCall>& batch) {
    std::vector<const CallRecord*> rows;
    for (const StoredCall& s : batch) rows.push_back(&s.record);
    std::vector<bool> present = to.contains(rows);
    std::vector<const CallRecord*> missing;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (!present[i]) missing.push_back(rows[i]);
    return missing;
}

}  // namespace

CopyCounts copy_calls(Store& from, Store& to, const std::function<void(const CopyCounts&)>& progress) {
    CopyCounts counts;
    std::int64_t after = 0;
    for (;;) {
        std::vector<StoredCall> batch = from.calls().records(after, COPY_BATCH);
        if (batch.empty()) return counts;
        after = batch.back().id;
        std::vector<const CallRecord*> missing = _missing(to.calls(), batch);
        if (!missing.empty()) to.calls().append(missing);
        counts.read += static_cast<std::int64_t>(batch.size());
        counts.copied += static_cast<std::int64_t>(missing.size());
        counts.present += static_cast<std::int64_t>(batch.size() - missing.size());
        if (progress) progress(counts);
    }
}

}  // namespace tokentally::store
