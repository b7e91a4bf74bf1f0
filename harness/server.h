// The game server under test or under load: the pelthollow binary started in a
// temporary folder on a free port, ready once it logs that it listens. One thread
// drives a Server.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "folder.h"
#include "process.h"

namespace harness {

// What the server logs once its game port takes connections.
inline constexpr std::string_view kReadyLine = "Listening on port ";

// A TCP port on the loopback that nobody listens on right now; 0 when none was found.
int FreePort();

// Where a sanitizer's report begins in a server's output, or npos when there is none.
std::size_t FindSanitizerReport(std::string_view output);

class Server {
 public:
  // Starts `binary` in `dir` (a new temporary folder when null) on a free port and
  // waits for kReadyLine, at most kTimeout. Ready() tells whether it came.
  Server(const std::string& binary, const TempDir* dir, ProcessOptions options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool Ready() const { return ready_; }
  Process& Proc() { return *process_; }
  int Port() const { return process_->Port(); }
  const TempDir& Dir() const { return dir_; }
  std::string Log() { return process_->Output(); }
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = kTimeout) {
    return process_->WaitForOutput(text, timeout);
  }

 private:
  std::unique_ptr<TempDir> ownDir_;
  const TempDir& dir_;
  std::unique_ptr<Process> process_;
  bool ready_ = false;
};

}  // namespace harness
