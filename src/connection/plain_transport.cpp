#include <sys/socket.h>

#include <cassert>
#include <cerrno>
#include <mutex>

#include "connection/node_pool.h"
#include "connection/transport.h"

namespace connection {

IoResult ReadSocket(core::Socket s, std::span<char> scratch, std::string_view& bytes) {
  ssize_t n;
  do {
    n = ::recv(s, scratch.data(), scratch.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    bytes = std::string_view(scratch.data(), static_cast<std::size_t>(n));
    return {IoState::Done, 0, static_cast<std::size_t>(n), {}};
  }
  if (n == 0) return {IoState::Closed, 0, 0, {}};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoState::WouldBlock, 0, 0, {}};
  if (errno == ECONNRESET) return {IoState::Reset, errno, 0, {}};
  return {IoState::Failed, errno, 0, {}};
}

IoResult WriteSocket(core::Socket s, std::string_view bytes) {
  if (bytes.empty()) return {};
  for (;;) {
    const ssize_t sent = ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return {IoState::Done, 0, static_cast<std::size_t>(sent), {}};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoState::WouldBlock, 0, 0, {}};
    return {errno == ECONNRESET ? IoState::Reset : IoState::Failed, errno, 0, {}};
  }
}

IoResult Transport::Receive(core::Socket s, std::span<char> scratch, std::string& out) {
  std::string_view bytes;
  const IoResult read = ReadSocket(s, scratch, bytes);
  if (read.state == IoState::Closed) return TakeEnd(s);
  if (read.state != IoState::Done) return read;
  return Take(s, bytes, out);
}

namespace {

class PlainTransport final : public Transport {
 public:
  // Every connection but a TLS one holds one: they come from a pool of their own size,
  // 8 bytes, rather than the heap's least chunk of 32.
  static void* operator new(std::size_t bytes);
  static void operator delete(void* transport);

  IoResult Take(core::Socket, std::string_view bytes, std::string& out) override {
    out.append(bytes);
    return {IoState::Done, 0, bytes.size(), {}};
  }

  IoResult Send(core::Socket s, std::string_view plain) override { return WriteSocket(s, plain); }
};

// Made and let go on whichever thread makes or ends a connection's record, and never
// destroyed, as a record may outlive the statics (a thread still running at the exit).
struct PlainTransports {
  std::mutex mutex;
  NodePool pool{sizeof(PlainTransport)};
};
PlainTransports& Pool() {
  static PlainTransports& transports = *new PlainTransports;
  return transports;
}

void* PlainTransport::operator new(std::size_t bytes) {
  assert(bytes == sizeof(PlainTransport));
  (void)bytes;
  std::lock_guard<std::mutex> guard(Pool().mutex);
  return Pool().pool.Take();
}

void PlainTransport::operator delete(void* transport) {
  std::lock_guard<std::mutex> guard(Pool().mutex);
  Pool().pool.Give(transport);
}

}  // namespace

std::unique_ptr<Transport> MakePlainTransport() { return std::make_unique<PlainTransport>(); }

}  // namespace connection
