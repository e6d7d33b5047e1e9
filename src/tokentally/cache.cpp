#include "tokentally/cache.hpp"

namespace tokentally::cache {

void init_cache_tables() {}

std::optional<boost::json::object> lookup(const boost::json::object&, const std::string&) { return std::nullopt; }

void store(const boost::json::object&, const std::string&, const boost::json::value&, double) {}

}  // namespace tokentally::cache
