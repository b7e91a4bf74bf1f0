// Other programs as the server's peers in the end-to-end tests: finding them, skipping
// a test without them (or failing it, where CI requires them), the operator's console,
// and Python's ssl module as a TLS client that the tests' plain clients talk through.
// One thread drives each.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {

// The program `name` on the PATH or in /usr/sbin or /usr/games; empty when none is.
inline std::string FindProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/usr/games";
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const std::filesystem::path candidate =
        std::filesystem::path(path.substr(start, end - start)) / name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return {};
}

// True when the environment variable `variable` is "1": CI's way of saying that a
// missing tool is a failure, not a reason to skip.
inline bool Required(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::string(value) == "1";
}

// In a test's body: skips it when `program` (a FindProgram result) is empty, or fails
// it when the environment variable `variable` requires the tool.
#define SKIP_WITHOUT(program, what, variable)                             \
  do {                                                                    \
    if ((program).empty()) {                                              \
      if (e2e::Required(variable)) FAIL() << what << " is not installed"; \
      GTEST_SKIP() << what << " is not installed";                        \
    }                                                                     \
  } while (0)

// `pelthollow admin <words>` run in the server's folder: its output, or "exit N: output"
// when it did not end with 0.
inline std::string Admin(Server& server, const std::vector<std::string>& words) {
  Process::Options options;
  options.args = {"admin"};
  options.args.insert(options.args.end(), words.begin(), words.end());
  Process admin(server.Dir().Path(), server.Port(), options);
  const int code = Process::ExitCode(admin.Wait());
  admin.WaitForEndOfOutput();
  return code == 0 ? admin.Output() : "exit " + std::to_string(code) + ": " + admin.Output();
}

// The doors `admin who` lists for `address`, in its order.
inline std::vector<std::string> DoorsOf(const std::string& who, const std::string& address) {
  std::vector<std::string> doors;
  std::istringstream lines(who);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string handle, from, door;
    if (words >> handle >> from >> door && from == address) doors.push_back(door);
  }
  return doors;
}

// python3 for TlsTunnel; CI sets PELTHOLLOW_REQUIRE_PYTHON=1.
inline std::string Python() {
  return FindProgram("python3");
}

// Python's TLS client (tls_tunnel.py beside this file) in front of a TLS door: every
// plain connection made to Port() becomes a TLS connection to the door, made from the
// same 127.x address, its certificate verified against `caFile` for `name`.
class TlsTunnel {
 public:
  TlsTunnel(const std::string& python, const std::string& caFile, int port,
            const std::string& host = "127.0.0.1", const std::string& name = "localhost",
            const std::string& alpn = "")
      : process_(python, dir_.Path(), 0, Options(caFile, port, host, name, alpn)) {
    const std::string ready = "tunnel on port ";
    if (!process_.WaitForOutput(ready)) return;
    const std::string output = process_.Output();
    const std::size_t at = output.find(ready) + ready.size();
    const std::size_t end = output.find('\n', at);
    if (end == std::string::npos && !process_.WaitForOutput("\n", kTimeout, at)) return;
    port_ = std::atoi(process_.Output().c_str() + at);
    seen_ = process_.Output().find('\n', at) + 1;
  }

  // The plain port; 0 when the tunnel did not start.
  int Port() const { return port_; }
  // The line the tunnel printed for the next connection's handshake, in turn:
  // "connected TLSv1.3 CIPHER alpn=... cn=NAME sha256=HEX" or "failed: WHY"; empty
  // when none comes in time.
  std::string NextHandshake(std::chrono::milliseconds timeout = kTimeout) {
    if (!process_.WaitForOutput("\n", timeout, seen_)) return {};
    const std::string output = process_.Output();
    const std::size_t end = output.find('\n', seen_);
    std::string line = output.substr(seen_, end - seen_);
    seen_ = end + 1;
    return line;
  }
  std::string Output() { return process_.Output(); }

 private:
  static harness::ProcessOptions Options(const std::string& caFile, int port,
                                         const std::string& host, const std::string& name,
                                         const std::string& alpn) {
    harness::ProcessOptions options;
    options.args = {
        PELTHOLLOW_E2E_DIR "/tls_tunnel.py", caFile, host, std::to_string(port), "--name", name};
    if (!alpn.empty()) options.args.insert(options.args.end(), {"--alpn", alpn});
    return options;
  }

  TempDir dir_;
  harness::Process process_;
  int port_ = 0;
  std::size_t seen_ = 0;
};

}  // namespace e2e
