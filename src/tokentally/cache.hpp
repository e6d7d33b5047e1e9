// The semantic cache. This build keeps nothing: lookups miss and stores are
// dropped, behind the "semantic_cache" feature flag.
#pragma once

#include <boost/json.hpp>

#include <optional>
#include <string>

namespace tokentally::cache {

void init_cache_tables();

// A cached provider answer for a similar request, or nullopt on a miss.
std::optional<boost::json::object> lookup(const boost::json::object& body, const std::string& model_id);

void store(const boost::json::object& body, const std::string& model_id, const boost::json::value& response,
           double cost_usd);

}  // namespace tokentally::cache
