// Feature flags: [features] in the configuration.
#pragma once

#include <string_view>

namespace tokentally::features {

// Truthiness of [features].<name>; false when absent.
bool check(std::string_view name);

}  // namespace tokentally::features
