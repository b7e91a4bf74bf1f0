#include <sys/socket.h>

#include <cerrno>

#include "connection/transport.h"

namespace connection {

namespace {

class PlainTransport final : public Transport {
 public:
  IoResult Receive(Socket s, std::span<char> scratch, std::string& out) override {
    ssize_t n;
    do {
      n = ::recv(s, scratch.data(), scratch.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      out.append(scratch.data(), static_cast<std::size_t>(n));
      return {IoState::Done, 0, static_cast<std::size_t>(n), {}};
    }
    if (n == 0) return {IoState::Closed, 0, 0, {}};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoState::WouldBlock, 0, 0, {}};
    if (errno == ECONNRESET) return {IoState::Reset, errno, 0, {}};
    return {IoState::Failed, errno, 0, {}};
  }

  IoResult Send(Socket s, std::string_view plain) override {
    if (plain.empty()) return {};
    for (;;) {
      const ssize_t sent = ::send(s, plain.data(), plain.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return {IoState::Done, 0, static_cast<std::size_t>(sent), {}};
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoState::WouldBlock, 0, 0, {}};
      return {errno == ECONNRESET ? IoState::Reset : IoState::Failed, errno, 0, {}};
    }
  }
};

}  // namespace

std::unique_ptr<Transport> MakePlainTransport() { return std::make_unique<PlainTransport>(); }

}  // namespace connection
