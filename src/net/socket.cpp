#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace net {

bool PortFromEnvironment(const char* name, std::uint16_t& port, std::string& bad) {
  const char* value = std::getenv(name);
  if (value == nullptr) return true;
  const std::string_view text(value);
  unsigned number = 0;
  const bool digitsOnly =
      !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  if (digitsOnly) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec == std::errc() && end == text.data() + text.size() && number >= 1 &&
        number <= 65535) {
      port = static_cast<std::uint16_t>(number);
      return true;
    }
  }
  bad = text;
  return false;
}

bool CreateTcpSocket(Socket& out, int& error) {
  out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (out < 0) {
    error = errno;
    return false;
  }
  return true;
}

bool SetReuseAddress(Socket s, int& error) {
  const int on = 1;
  if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool BindAnyAddress(Socket s, std::uint16_t port, int& error) {
  return BindAddress(s, INADDR_ANY, port, error);
}

bool BindAddress(Socket s, std::uint32_t host, std::uint16_t port, int& error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool SetNonBlocking(Socket s, int& error) {
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool Listen(Socket s, int& error) {
  if (::listen(s, 0x7FFFFFFF) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool SetNoDelay(Socket s, int& error) {
  const int on = 1;
  if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    error = errno;
    return false;
  }
  return true;
}

long SendSome(Socket s, std::string_view bytes, int& error) {
  for (;;) {
    const ssize_t sent = ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    error = errno;
    return -1;
  }
}

namespace {

// The one loop behind SendAll and WriteAll.
bool PutAll(int fd, std::string_view bytes, int& error, bool socket) {
  while (!bytes.empty()) {
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, POLLOUT, 0};
      ::poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      error = errno;
      return false;
    }
  }
  return true;
}

}  // namespace

bool SendAll(Socket s, std::string_view bytes, int& error) { return PutAll(s, bytes, error, true); }

bool WriteAll(int fd, std::string_view bytes, int& error) { return PutAll(fd, bytes, error, false); }

void CloseSocket(Socket s) {
  if (s >= 0) ::close(s);
}

}  // namespace net
