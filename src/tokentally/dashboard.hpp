// The web dashboard's routes; this build serves none.
#pragma once

#include "tokentally/http/server.hpp"

namespace tokentally::dashboard {

http::Router router();

}  // namespace tokentally::dashboard
