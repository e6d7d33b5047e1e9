#include "tokentally/store/postgres/store.hpp"

namespace tokentally::store::postgres {

bool is_url(const std::string& location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

PgStore::PgStore(const std::string& url, Durability durability)
    : db_(std::make_unique<Shared>(url, durability)), calls_(*db_), alerts_(*db_), exact_(*db_), semantic_(*db_) {
    db_->pool.run([](Session&) {});
}

}  // namespace tokentally::store::postgres
