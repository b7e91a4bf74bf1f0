#include "doors/listen.h"

namespace doors {

bool Listen(boost::asio::ip::tcp::acceptor& acceptor, std::uint16_t port,
            boost::system::error_code& error) {
  using boost::asio::ip::tcp;
  const tcp::endpoint endpoint(tcp::v4(), port);
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
  return !error;
}

}  // namespace doors
