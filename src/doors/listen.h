// Opening a door's listening socket and accepting its clients: the same for every door.
#pragma once

#include <netinet/in.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace doors {

// Opens `acceptor` on every IPv4 address at `port`, with address reuse, and listens.
// On failure returns false with `error` set, and the acceptor is not listening.
// Called on the main thread while the server starts, before the door's thread runs.
bool Listen(boost::asio::ip::tcp::acceptor& acceptor, std::uint16_t port,
            boost::system::error_code& error);

// What a door does with an accepted client: its socket, with TCP_NODELAY set, and its
// IPv4 address. A socket the door does not keep is closed when it goes.
using TakeClient = std::function<void(boost::asio::ip::tcp::socket, const sockaddr_in&)>;

// Accepts on `acceptor` for as long as its io_context runs, handing each IPv4 client to
// `take` and closing any other. An accept error (a full descriptor table and the like)
// is logged as "Error accepting <what> connection: N" and accepting goes on after a
// pause, so that the error cannot spin the door's thread. Call on the door's thread or
// before it runs.
void AcceptForever(boost::asio::ip::tcp::acceptor& acceptor, std::string what, TakeClient take);

}  // namespace doors
