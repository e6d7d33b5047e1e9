// Writing a message to a plain TCP connection, shared by the server and the
// client.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <array>

namespace tokentally::http {

// Writes `buffers` whole. What the socket takes at once (a request or an
// answer nearly always fits its send buffer) is sent in place, without the
// round of the event loop an awaited write costs even when it completes at
// once; only a rest is awaited, with the deadline `arm` sets. Errors are
// thrown as an awaited write throws them.
template <class Arm>
boost::asio::awaitable<void> write_all(boost::beast::tcp_stream& stream,
                                       const std::array<boost::asio::const_buffer, 2>& buffers, Arm arm) {
    namespace asio = boost::asio;
    auto& socket = stream.socket();
    boost::system::error_code ec;
    std::size_t sent = 0;
    // Only the caller's view of the socket: Asio keeps it non-blocking for
    // its own operations anyway.
    if (!socket.non_blocking()) socket.non_blocking(true, ec);
    if (!ec) sent = socket.write_some(buffers, ec);
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) throw boost::system::system_error(ec);
    if (sent == asio::buffer_size(buffers)) co_return;
    boost::beast::buffers_suffix<std::array<asio::const_buffer, 2>> rest(buffers);
    rest.consume(sent);
    arm();
    co_await asio::async_write(stream, rest, asio::use_awaitable);
}

}  // namespace tokentally::http
