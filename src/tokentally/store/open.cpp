// The one place that knows which backend a location names.
#include "tokentally/store/store.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/store/postgres/store.hpp"
#include "tokentally/store/sqlite/db.hpp"
#include "tokentally/store/sqlite/store.hpp"

#include <chrono>

namespace tokentally::store {

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::shared_ptr<Store> open(const std::string& location) { return open(location, configured_durability()); }

std::shared_ptr<Store> open(const std::string& location, Durability durability) {
    if (postgres::is_url(location)) return std::make_shared<postgres::PgStore>(location, durability);
    sqlite::set_durability(location, durability);
    return std::make_shared<sqlite::SqliteStore>(location);
}

Durability configured_durability() {
    std::string setting;
    try {
        setting = config::ledger_synchronous();
    } catch (const std::runtime_error& e) {
        if (std::string_view(e.what()).find("[ledger] synchronous") != std::string_view::npos) throw;
        return Durability::normal;  // a file that cannot be read: the budget check reports it
    }
    return setting == "full" ? Durability::full : Durability::normal;
}

// A configuration that cannot be read does not stop the proxy: the budget
// check names the broken file on every call, and the ledger is the one
// place known without it.
std::string default_location() {
    try {
        return config::ledger_url().value_or(local_location());
    } catch (const std::exception&) {
        return local_location();
    }
}

std::string local_location() { return paths::data_file("ledger.db"); }

}  // namespace tokentally::store
