// Opening a door's listening socket: the same for every door. Called on the main thread
// while the server starts, before the door's thread runs.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>

namespace doors {

// Opens `acceptor` on every IPv4 address at `port`, with address reuse, and listens.
// On failure returns false with `error` set, and the acceptor is not listening.
bool Listen(boost::asio::ip::tcp::acceptor& acceptor, std::uint16_t port,
            boost::system::error_code& error);

}  // namespace doors
