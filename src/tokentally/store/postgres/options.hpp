// What every session of the shared ledger is opened with.
#pragma once

#include "tokentally/store/store.hpp"

namespace tokentally::store::postgres {

// The options of a new session: when its commits return (the
// `synchronous_commit` that `durability` asks for).
const char* session_options(Durability durability);

}  // namespace tokentally::store::postgres
