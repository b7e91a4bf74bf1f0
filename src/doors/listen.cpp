#include "doors/listen.h"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "server/log.h"

namespace doors {

namespace {

using boost::asio::ip::tcp;

struct Accepting {
  Accepting(tcp::acceptor& a, std::string w, TakeClient t)
      : acceptor(a), pause(a.get_executor()), what(std::move(w)), take(std::move(t)) {}
  tcp::acceptor& acceptor;
  boost::asio::steady_timer pause;
  std::string what;
  TakeClient take;
};

void AcceptNext(const std::shared_ptr<Accepting>& state) {
  state->acceptor.async_accept([state](const boost::system::error_code& error, tcp::socket socket) {
    if (!error) {
      boost::system::error_code ignored;
      const tcp::endpoint remote = socket.remote_endpoint(ignored);
      if (!ignored && remote.address().is_v4()) {
        socket.set_option(tcp::no_delay(true), ignored);
        sockaddr_in peer{};
        std::memcpy(&peer, remote.data(), sizeof peer);
        state->take(std::move(socket), peer);
      }
      return AcceptNext(state);
    }
    server::Log("Error accepting " + state->what + " connection: " + std::to_string(error.value()) + "\n");
    state->pause.expires_after(std::chrono::milliseconds(100));
    state->pause.async_wait([state](const boost::system::error_code&) { AcceptNext(state); });
  });
}

}  // namespace

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

void AcceptForever(tcp::acceptor& acceptor, std::string what, TakeClient take) {
  AcceptNext(std::make_shared<Accepting>(acceptor, std::move(what), std::move(take)));
}

}  // namespace doors
