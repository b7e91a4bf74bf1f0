#include "client/connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "net/frame.h"

namespace client {

// One per process: the client is one connection to one server.
std::mutex IncomingLock;
std::deque<std::string> IncomingTexts;
ReceiveEnd IncomingEnd;

base::Status OpenWakePipe(WakePipe& pipe) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return base::Status::SystemError("Error starting client: ", errno);
  pipe.readFd = ends[0];
  pipe.writeFd = ends[1];
  return {};
}

void CloseWakePipe(WakePipe& pipe) {
  if (pipe.readFd >= 0) ::close(pipe.readFd);
  if (pipe.writeFd >= 0) ::close(pipe.writeFd);
  pipe = WakePipe{};
}

void Wake(int writeFd) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(writeFd, &byte, 1);
  errno = saved;
}

void DrainWake(int readFd) {
  char bytes[256];
  for (;;) {
    const ssize_t got = ::read(readFd, bytes, sizeof bytes);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    return;  // empty (EAGAIN) or closed
  }
}

void ReceiveLoop(Link& server, int wakeFd) {
  net::FrameSplitter splitter(kMaxTextBytes);
  std::string plain;
  for (;;) {
    plain.clear();
    const ReceiveEnd end = server.Receive(plain);
    bool added = false;
    {
      std::lock_guard<std::mutex> guard(IncomingLock);
      splitter.Feed(
          plain,
          [&](std::string_view text) {
            IncomingTexts.emplace_back(text);
            added = true;
          },
          [&] {
            IncomingTexts.emplace_back(kTextTooLong);
            added = true;
          });
      if (end.ended) IncomingEnd = end;
    }
    if (end.ended) {
      Wake(wakeFd);
      return;
    }
    if (added) Wake(wakeFd);
  }
}

void TakeIncoming(std::deque<std::string>& texts, ReceiveEnd& end) {
  std::lock_guard<std::mutex> guard(IncomingLock);
  while (!IncomingTexts.empty()) {
    texts.push_back(std::move(IncomingTexts.front()));
    IncomingTexts.pop_front();
  }
  end = IncomingEnd;
}

void ResetIncoming() {
  std::lock_guard<std::mutex> guard(IncomingLock);
  IncomingTexts.clear();
  IncomingEnd = ReceiveEnd{};
}

}  // namespace client
