#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <set>

namespace harness {

namespace {

// Ports below the kernel's range for the local ends of outgoing connections (32768 and
// up here): a port picked from that range can be taken, between the pick and the
// server's bind, as the local port of any client the tests connect. Test processes run
// side by side, so each starts at a place of its own.
constexpr int kFirstPort = 20000;
constexpr int kPorts = 12000;

bool Bindable(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return free;
}

int AnyFreePort() {
  static int next = static_cast<int>((static_cast<unsigned>(::getpid()) * 7919u) % kPorts);
  for (int tries = 0; tries < kPorts; ++tries) {
    const int port = kFirstPort + next;
    next = (next + 1) % kPorts;
    if (Bindable(port)) return port;
  }
  return 0;
}

}  // namespace

int FreePort() {
  // The kernel may hand out a port it just handed out; a server given two doors must
  // not get the same port twice from one process.
  static std::mutex mutex;
  static std::set<int> given;
  std::lock_guard<std::mutex> guard(mutex);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int port = AnyFreePort();
    if (port != 0 && given.insert(port).second) return port;
  }
  return 0;
}

std::size_t FindSanitizerReport(std::string_view output) {
  return std::min(output.find("Sanitizer"), output.find("runtime error:"));
}

Server::Server(const std::string& binary, const TempDir* dir, ProcessOptions options)
    : ownDir_(dir == nullptr ? std::make_unique<TempDir>() : nullptr),
      dir_(dir == nullptr ? *ownDir_ : *dir),
      process_(std::make_unique<Process>(binary, dir_.Path(), FreePort(), options)) {
  ready_ = process_->WaitForOutput(std::string(kReadyLine));
  // A port that was free a moment ago may have been taken since, by another test's
  // server or as the local port of some client: start again on another.
  for (int retry = 0; retry < 5 && !ready_; ++retry) {
    if (process_->Output().find("Error binding server socket: 98") == std::string::npos) break;
    process_->Wait();
    process_ = std::make_unique<Process>(binary, dir_.Path(), FreePort(), options);
    ready_ = process_->WaitForOutput(std::string(kReadyLine));
  }
}

}  // namespace harness
