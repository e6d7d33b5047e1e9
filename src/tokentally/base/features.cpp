#include "tokentally/base/features.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

namespace tokentally::features {

bool check(std::string_view name) {
    // Asked twice per cached call: the shared configuration, not a copy.
    auto cfg = config::load_shared();
    const auto* section = cfg->if_contains("features");
    return section != nullptr && json::truthy(json::member(*section, name));
}

}  // namespace tokentally::features
