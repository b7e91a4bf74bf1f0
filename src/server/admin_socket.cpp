#include "server/admin_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "server/log.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// How long a console client may take to send its command or to read the answer; the
// accept thread serves no one else meanwhile.
constexpr auto kAdminTimeLimit = std::chrono::seconds(3);
constexpr const char* kBusy = "Another console command is running.\n";

bool FillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

int MillisecondsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Turns away a console connection that arrives while one is being served.
void RefuseWaiting(net::Socket listening) {
  for (;;) {
    const int other = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (other < 0) return;
    int ignored = 0;
    net::SendSome(other, kBusy, ignored);
    net::CloseSocket(other);
  }
}

// Waits for `events` on `socket` until `end`, refusing other console connections
// meanwhile; false on timeout or error.
bool WaitFor(net::Socket socket, net::Socket listening, short events, Clock::time_point end) {
  for (;;) {
    const int left = MillisecondsLeft(end);
    if (left == 0) return false;
    pollfd waits[2] = {{socket, events, 0}, {listening, POLLIN, 0}};
    const int n = ::poll(waits, 2, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if ((waits[1].revents & POLLIN) != 0) RefuseWaiting(listening);
    if (waits[0].revents != 0) return true;
  }
}

bool PeerIsOurUser(net::Socket socket) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
  return peer.uid == ::geteuid();
}

// Reads one command line: up to a line feed or the end of the peer's sending side.
// Returns false when the client gave up, took too long or sent too much (`tooLong`).
bool ReadCommand(net::Socket socket, net::Socket listening, std::string& command, bool& tooLong) {
  const Clock::time_point end = Clock::now() + kAdminTimeLimit;
  char buffer[1024];
  for (;;) {
    if (!WaitFor(socket, listening, POLLIN, end)) return false;
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0) return false;
    command.append(buffer, static_cast<std::size_t>(n));
    const std::size_t feed = command.find('\n');
    if (feed != std::string::npos) command.resize(feed);
    if (command.size() > kMaxAdminCommandBytes) {
      tooLong = true;
      return false;
    }
    if (n == 0 || feed != std::string::npos) return true;
  }
}

void WriteAnswer(net::Socket socket, net::Socket listening, std::string_view answer) {
  const Clock::time_point end = Clock::now() + kAdminTimeLimit;
  while (!answer.empty()) {
    int error = 0;
    const long sent = net::SendSome(socket, answer, error);
    if (sent < 0) return;
    answer.remove_prefix(static_cast<std::size_t>(sent));
    if (!answer.empty() && !WaitFor(socket, listening, POLLOUT, end)) return;
  }
}

}  // namespace

bool OpenAdminSocket(const std::string& path, net::Socket& listening, int& error) {
  sockaddr_un address{};
  if (!FillAddress(path, address)) {
    error = ENAMETOOLONG;
    return false;
  }
  const auto* generic = reinterpret_cast<const sockaddr*>(&address);
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    error = errno;
    return false;
  }
  // A socket file whose server is gone refuses a connect: it is stale.
  struct stat info{};
  if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, generic, sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      ::close(s);
      error = EADDRINUSE;
      return false;
    }
    ::unlink(path.c_str());
  }
  // Made with mode 0600 from the start: no moment in which another user may connect.
  const mode_t before = ::umask(0177);
  const bool bound = ::bind(s, generic, sizeof address) == 0;
  ::umask(before);
  if (!bound || ::listen(s, 4) != 0) {
    error = errno;
    ::close(s);
    return false;
  }
  listening = s;
  return true;
}

void ServeAdminConnection(net::Socket listening,
                          const std::function<std::string(std::string_view)>& run) {
  const int s = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return;
  if (!PeerIsOurUser(s)) {
    Log("Console connection of another user refused\n");
    int ignored = 0;
    net::SendSome(s, "Only the server's own user may use its console.\n", ignored);
    net::CloseSocket(s);
    return;
  }
  std::string command;
  bool tooLong = false;
  std::string answer;
  if (ReadCommand(s, listening, command, tooLong)) {
    answer = run(command);
  } else if (tooLong) {
    answer = "Command too long.\n";
  }
  WriteAnswer(s, listening, answer);
  net::CloseSocket(s);
}

bool SendAdminCommand(const std::string& path, std::string_view command, std::string& answer,
                      int& error) {
  sockaddr_un address{};
  if (!FillAddress(path, address)) {
    error = ENAMETOOLONG;
    return false;
  }
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (s >= 0) ::close(s);
    return false;
  }
  std::string line(command);
  line += '\n';
  if (!net::SendAll(s, line, error)) {
    ::close(s);
    return false;
  }
  ::shutdown(s, SHUT_WR);
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(s);
  return true;
}

}  // namespace server
