#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/number.h"

namespace net {

namespace {

base::Status Failed(const char* what, int error, core::Socket s) {
  if (s >= 0) ::close(s);
  return base::Status::SystemError(what, error);
}

base::Address FromSockaddr(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
    return base::Address::V4(ntohl(in.sin_addr.s_addr));
  }
  if (storage.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
    std::uint8_t bytes[16];
    std::memcpy(bytes, in6.sin6_addr.s6_addr, 16);
    return base::Address::V6(bytes);
  }
  return {};
}

std::uint16_t PortOf(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
  if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port);
  return 0;
}

bool FillUnixAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

base::Status PortFromEnvironment(const char* name, std::uint16_t& port) {
  const char* value = std::getenv(name);
  if (value == nullptr) return {};
  std::uint16_t number = 0;
  if (base::ReadDigits(std::string_view(value), std::uint16_t{65535}, number) && number >= 1) {
    port = number;
    return {};
  }
  return base::Status::Failure(std::string("Invalid ") + name + ": " + value);
}

base::Status ListenTcp(const base::Address* address, std::uint16_t port, core::Socket& out) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET6;
  if (address != nullptr && address->IsV4()) family = AF_INET;
  core::Socket s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0 && address == nullptr && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
    family = AF_INET;  // a system without IPv6
    s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  if (s < 0) return Failed("Error creating server socket: ", errno, s);
  const int on = 1;
  if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return Failed("Error binding server socket: ", errno, s);
  if (family == AF_INET6) {
    // Both families on the unspecified address; the one address alone otherwise.
    const int v6only = address != nullptr ? 1 : 0;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_addr = in6addr_any;
    if (address != nullptr) std::memcpy(in6.sin6_addr.s6_addr, address->bytes.data(), 16);
    length = sizeof in6;
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(storage);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address != nullptr ? address->V4Host() : INADDR_ANY);
    length = sizeof in;
  }
  if (::bind(s, reinterpret_cast<const sockaddr*>(&storage), length) != 0)
    return Failed("Error binding server socket: ", errno, s);
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0)
    return Failed("Error setting async mode: ", errno, s);
  if (::listen(s, 0x7FFFFFFF) != 0) return Failed("Error listening: ", errno, s);
  out = s;
  return {};
}

base::Status ListenUnix(const std::string& path, core::Socket& out) {
  sockaddr_un address{};
  if (!FillUnixAddress(path, address)) return base::Status::SystemError("", ENAMETOOLONG);
  const auto* generic = reinterpret_cast<const sockaddr*>(&address);
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return base::Status::SystemError("", errno);
  // A socket file whose server is gone refuses a connect: it is stale.
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, generic, sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (live) return Failed("", EADDRINUSE, s);
    ::unlink(path.c_str());
  }
  // Made with mode 0600 from the start: no moment in which another user may connect.
  const mode_t before = ::umask(0177);
  const bool bound = ::bind(s, generic, sizeof address) == 0;
  ::umask(before);
  if (!bound || ::listen(s, 64) != 0) return Failed("", errno, s);
  out = s;
  return {};
}

base::Status AcceptOne(core::Socket listening, Accepted& out) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  out = {};
  for (;;) {
    const core::Socket s = ::accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
      out.socket = s;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return base::Status::SystemError("", errno);
  }
  if (peer.ss_family == AF_UNIX) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(out.socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
      out.uid = static_cast<int>(credentials.uid);
    }
    return {};
  }
  out.peer = FromSockaddr(peer);
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  if (::getsockname(out.socket, reinterpret_cast<sockaddr*>(&local), &localLength) == 0) {
    out.local = FromSockaddr(local);
    out.localPort = PortOf(local);
  }
  return {};
}

void TuneAccepted(core::Socket s, int sendBuffer) {
  const int on = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
}

namespace {

// The one loop behind SendAll and WriteAll.
base::Status PutAll(int fd, std::string_view bytes, bool socket) {
  while (!bytes.empty()) {
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, POLLOUT, 0};
      ::poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      return base::Status::SystemError(socket ? "Error sending: " : "Error writing: ", errno);
    }
  }
  return {};
}

}  // namespace

base::Status SendAll(core::Socket s, std::string_view bytes) {
  return PutAll(s, bytes, true);
}

base::Status WriteAll(int fd, std::string_view bytes) { return PutAll(fd, bytes, false); }

void CloseSocket(core::Socket s) {
  if (s >= 0) ::close(s);
}

}  // namespace net
