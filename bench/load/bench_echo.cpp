#include "bench_echo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_server.h"
#include "net/frame.h"

namespace bench {

namespace {

// One echo connection: the unfinished frame and what a send did not take.
struct EchoConnection {
  net::FrameSplitter frames{64u << 20};  // as long a frame as a player takes in
  std::string unsent;
  bool writable = true;  // false while EPOLLOUT is asked for
};

void Want(int waitSet, int fd, bool out) {
  epoll_event event{};
  event.events = EPOLLIN | (out ? EPOLLOUT : 0u);
  event.data.fd = fd;
  ::epoll_ctl(waitSet, EPOLL_CTL_MOD, fd, &event);
}

// Sends what is waiting; false when the peer is gone.
bool Drain(int waitSet, int fd, EchoConnection& c) {
  while (!c.unsent.empty()) {
    const ssize_t n = ::send(fd, c.unsent.data(), c.unsent.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (c.writable) Want(waitSet, fd, true);
      c.writable = false;
      return true;
    }
    if (n < 0) return false;
    c.unsent.erase(0, static_cast<std::size_t>(n));
  }
  if (!c.writable) Want(waitSet, fd, false);
  c.writable = true;
  // Assigning an empty string would keep the capacity; swapping gives it back.
  if (c.unsent.capacity() > 4096) std::string().swap(c.unsent);
  return true;
}

}  // namespace

int ServeEcho(int listening, int stop, std::string_view welcome, std::string& error) {
  const int waitSet = ::epoll_create1(EPOLL_CLOEXEC);
  if (waitSet < 0) {
    error = std::string("epoll_create1: ") + std::strerror(errno);
    return 1;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listening;
  ::epoll_ctl(waitSet, EPOLL_CTL_ADD, listening, &event);
  event.data.fd = stop;
  ::epoll_ctl(waitSet, EPOLL_CTL_ADD, stop, &event);

  std::string greeting;
  net::AppendFrame(greeting, welcome);
  std::vector<std::unique_ptr<EchoConnection>> byFd;
  std::vector<epoll_event> events(1024);
  static char buffer[64 * 1024];
  for (;;) {
    const int count = ::epoll_wait(waitSet, events.data(), static_cast<int>(events.size()), -1);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = std::string("epoll_wait: ") + std::strerror(errno);
      return 1;
    }
    for (int i = 0; i < count; ++i) {
      const int fd = events[static_cast<std::size_t>(i)].data.fd;
      const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
      if (fd == stop) return 0;
      if (fd == listening) {
        for (;;) {
          const int s = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (s < 0) break;  // nothing more waiting, or out of descriptors: try at the next wake-up
          const int one = 1;
          ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          const auto index = static_cast<std::size_t>(s);
          if (index >= byFd.size()) byFd.resize(index + 1);
          byFd[index] = std::make_unique<EchoConnection>();
          epoll_event add{};
          add.events = EPOLLIN;
          add.data.fd = s;
          ::epoll_ctl(waitSet, EPOLL_CTL_ADD, s, &add);
          byFd[index]->unsent = greeting;
          if (!Drain(waitSet, s, *byFd[index])) {
            ::close(s);
            byFd[index].reset();
          }
        }
        continue;
      }
      EchoConnection* c = byFd[static_cast<std::size_t>(fd)].get();
      if (c == nullptr) continue;
      bool gone = false;
      if ((what & EPOLLOUT) != 0) gone = !Drain(waitSet, fd, *c);
      if (!gone && (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          gone = true;
        } else if (n > 0) {
          // Every complete frame goes back as it came; the unfinished rest waits.
          c->frames.Feed(
              std::string_view(buffer, static_cast<std::size_t>(n)),
              [c](std::string_view text) { net::AppendFrame(c->unsent, text); }, [] {});
          gone = !Drain(waitSet, fd, *c);
        }
      }
      if (gone) {
        ::close(fd);
        byFd[static_cast<std::size_t>(fd)].reset();
      }
    }
  }
}

bool StartEcho(std::string_view welcome, EchoProcess& out, std::string& error) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, 4096) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = std::string("echo listen: ") + std::strerror(errno);
    ::close(s);
    return false;
  }
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(s);
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    ::close(s);
    ::close(stop[0]);
    ::close(stop[1]);
    return false;
  }
  if (pid == 0) {
    RunOnServerCpus();
    ::close(stop[1]);
    std::string failure;
    const int code = ServeEcho(s, stop[0], welcome, failure);
    if (code != 0) {
      const std::string line = "echo server: " + failure + "\n";
      [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
    }
    ::_exit(code);
  }
  ::close(s);
  ::close(stop[0]);
  out.pid = pid;
  out.port = ntohs(address.sin_port);
  out.stopWrite = stop[1];
  return true;
}

void StopEcho(EchoProcess& echo) {
  if (echo.pid <= 0) return;
  ::close(echo.stopWrite);
  int status = 0;
  // The child leaves at its next wake-up; a child stuck elsewhere is killed after 2 s.
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(echo.pid, &status, WNOHANG) == echo.pid) {
      echo = EchoProcess{};
      return;
    }
    ::usleep(10000);
  }
  ::kill(echo.pid, SIGKILL);
  ::waitpid(echo.pid, &status, 0);
  echo = EchoProcess{};
}

}  // namespace bench
