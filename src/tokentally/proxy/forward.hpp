// Forwarding a call to its provider: a complete answer (standard.cpp) or a
// relayed stream (stream.cpp), after the check of where the connection goes.
#pragma once

#include "tokentally/http/message.hpp"
#include "tokentally/proxy/call.hpp"

#include <boost/asio/awaitable.hpp>

namespace tokentally::proxy {

// The call forwarded, streamed or not. On a network server a target's
// addresses are checked where its connection is made (a kept connection was
// checked when it was made); a refusal there answers 403 like the target
// list's. A streamed answer starts with 200 before it connects, so its
// addresses are checked first.
boost::asio::awaitable<http::Response> forward(ForwardCall call, bool streaming);

// 403 for a target the proxy may not reach, logged once per target and minute.
http::Response target_refused(const Services& services, const std::string& url, const std::string& reason);

// Sends the call and answers with the provider's complete answer, once its
// row is committed; stores it in the caches.
boost::asio::awaitable<http::Response> handle_standard(ForwardCall call);

// Answers with the provider's stream, relayed piece by piece; records the
// call when the stream ends (or the client leaves, with stream usage on).
boost::asio::awaitable<http::Response> handle_streaming(ForwardCall call);

}  // namespace tokentally::proxy
