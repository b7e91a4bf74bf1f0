#include "frame_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harness {

namespace {

std::chrono::milliseconds Left(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

}  // namespace

FrameClient::FrameClient(int port, const std::string& from, int receiveBuffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer != 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (!from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool FrameClient::Send(const std::string& text) {
  return SendRaw(text + std::string(1, net::kFrameEnd));
}

bool FrameClient::SendRaw(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> FrameClient::NextFrame(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (frames_.empty()) {
    if (closed_) return std::nullopt;
    const auto left = Left(deadline);
    if (left.count() <= 0 || !ReadOnce(left)) return std::nullopt;
  }
  std::string frame = std::move(frames_.front());
  frames_.pop_front();
  return frame;
}

std::optional<std::string> FrameClient::WaitForFrame(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = Left(deadline);
    if (left.count() <= 0) return std::nullopt;
    auto frame = NextFrame(left);
    if (!frame) return std::nullopt;
    if (frame->find(text) != std::string::npos) return frame;
  }
}

std::optional<std::string> FrameClient::Ask(const std::string& line, std::chrono::milliseconds timeout) {
  if (!Send(line)) return std::nullopt;
  return NextFrame(timeout);
}

bool FrameClient::WaitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!closed_) {
    const auto left = Left(deadline);
    if (left.count() <= 0 || !ReadOnce(left)) return closed_;
  }
  return true;
}

std::size_t FrameClient::Drain() {
  while (!closed_ && ReadOnce(std::chrono::milliseconds(0))) {
  }
  return frames_.size();
}

void FrameClient::Discard() {
  char buffer[65536];
  while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

void FrameClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FrameClient::ReadOnce(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) {
    closed_ = true;
    return true;
  }
  splitter_.Feed(
      std::string_view(buffer, static_cast<std::size_t>(n)),
      [&](std::string_view text) { frames_.emplace_back(text); }, [] {});
  return true;
}

}  // namespace harness
