// The local Ollama proxy: the /ollama router and the local model list.
#pragma once

#include "tokentally/http/server.hpp"

#include <boost/asio/awaitable.hpp>

#include <string>
#include <vector>

namespace tokentally::local {

// Router with the prefix /ollama.
http::Router router();

}  // namespace tokentally::local
