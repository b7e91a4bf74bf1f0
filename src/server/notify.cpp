#include "server/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace server {

namespace {

// Written once by OpenNotify before any other thread exists, only read afterwards.
int notifySocket = -1;  // a datagram socket, -1 when there is nowhere to send
sockaddr_un notifyAddress{};
socklen_t notifyAddressLength = 0;

}  // namespace

base::Status OpenNotify() {
  const char* value = std::getenv("NOTIFY_SOCKET");
  if (value == nullptr || *value == '\0') return {};
  const std::string_view name(value);
  if ((name.front() != '/' && name.front() != '@') ||
      name.size() >= sizeof notifyAddress.sun_path) {
    return base::Status::Failure("NOTIFY_SOCKET names no Unix socket: " + std::string(name));
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, name.data(), name.size());
  if (name.front() == '@') address.sun_path[0] = '\0';  // an abstract name: no NUL after it
  const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return base::Status::SystemError("Error opening the notify socket: ", errno);
  notifySocket = s;
  notifyAddress = address;
  notifyAddressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  return {};
}

base::Status Notify(std::string_view state) {
  if (notifySocket < 0) return {};
  const ssize_t sent =
      ::sendto(notifySocket, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&notifyAddress), notifyAddressLength);
  if (sent < 0) return base::Status::SystemError("Error notifying the service manager: ", errno);
  return {};
}

}  // namespace server
