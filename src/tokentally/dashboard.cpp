#include "tokentally/dashboard.hpp"

namespace tokentally::dashboard {

http::Router router() { return {}; }

}  // namespace tokentally::dashboard
