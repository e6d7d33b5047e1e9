#include "tokentally/store/sqlite/store.hpp"

#include "tokentally/store/sqlite/db.hpp"

namespace tokentally::store::sqlite {

bool SqliteStore::exists() const { return sqlite::exists(path_); }

}  // namespace tokentally::store::sqlite
