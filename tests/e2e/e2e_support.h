// Support for end-to-end tests: the real pelthollow binary started in a temporary
// folder on a free port, and raw TCP clients that speak NUL-terminated frames. Every
// wait has a timeout; nothing sleeps a fixed time and hopes. The work is done by the
// shared process harness (harness/); this adds the binary under test and the checks.
#pragma once

// The system and library headers the tests have always had from here.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness/folder.h"
#include "harness/frame_client.h"
#include "harness/process.h"
#include "harness/server.h"
#include "net/frame.h"

namespace e2e {

using namespace std::chrono_literals;
using harness::Clock;
using harness::kTimeout;
using harness::ReadFile;
using harness::TempDir;
using harness::WriteFile;

inline int FreePort() { return harness::FreePort(); }

// How many times `part` occurs in `text`, overlaps included.
inline std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The pelthollow binary run as a child process in `dir`, its output collected.
class Process : public harness::Process {
 public:
  using Options = harness::ProcessOptions;
  Process(const std::string& dir, int port, Options options)
      : harness::Process(PELTHOLLOW_BINARY, dir, port, std::move(options)) {}
};

// A server started in its own temporary folder (or in `dir`), ready when it returns.
class Server : public harness::Server {
 public:
  explicit Server(Process::Options options = {}) : Server(nullptr, std::move(options)) {}
  Server(const TempDir* dir, Process::Options options = {})
      : harness::Server(PELTHOLLOW_BINARY, dir, std::move(options)) {}

  // A sanitizer report in the server's output fails the test that ran it.
  ~Server() {
    const std::string log = Log();
    if (harness::FindSanitizerReport(log) != std::string::npos) ADD_FAILURE() << "server output:\n" << log;
  }
};

// A raw TCP client of the server: sends frames and waits for frames.
class Client : public harness::FrameClient {
 public:
  using harness::FrameClient::FrameClient;

  // Reads the welcome frame; true when it is the welcome line.
  bool ReadWelcome(std::chrono::milliseconds timeout = kTimeout) {
    auto frame = NextFrame(timeout);
    return frame && *frame == "Welcome to Pelthollow! Type \"help\" for a list of commands.";
  }
};

// Reads raw bytes from `fd` into `received` until the bytes after `from` hold `text`,
// then moves `from` past it; false when it does not come in time or the stream ends.
inline bool ReadUntil(int fd, std::string& received, std::size_t& from, const std::string& text,
                      std::chrono::milliseconds timeout = kTimeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t at = received.find(text, from);
    if (at != std::string::npos) {
      from = at + text.size();
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace e2e
