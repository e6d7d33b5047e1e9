#include "tokentally/local.hpp"

namespace tokentally::local {

http::Router router() {
    http::Router r;
    r.prefix = "/ollama";
    return r;
}

}  // namespace tokentally::local
