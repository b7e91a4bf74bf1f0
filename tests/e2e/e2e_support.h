// Support for end-to-end tests: the real pelthollow binary started in a temporary
// folder on a free port, and raw TCP clients that speak NUL-terminated frames. Every
// wait has a timeout; nothing sleeps a fixed time and hopes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
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

#include "net/frame.h"

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr auto kTimeout = 10s;

// A folder that is removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelthollow-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TCP port nobody listens on right now.
inline int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// The pelthollow binary run as a child process in `dir`, its standard output collected.
class Process {
 public:
  struct Options {
    std::vector<std::string> args{"server"};
    std::map<std::string, std::string> env;  // added to the environment
    std::string stdinText;                   // written to its standard input, then closed
    long fileLimit = 0;                      // RLIMIT_NOFILE for the child, 0 = unchanged
  };

  Process(const std::string& dir, int port, Options options) : port_(port) {
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      ::setenv("PELTHOLLOW_PORT", std::to_string(port).c_str(), 1);
      for (const auto& [k, v] : options.env) ::setenv(k.c_str(), v.c_str(), 1);
      if (options.fileLimit > 0) {
        rlimit limit{static_cast<rlim_t>(options.fileLimit), static_cast<rlim_t>(options.fileLimit)};
        ::setrlimit(RLIMIT_NOFILE, &limit);
      }
      std::vector<char*> argv;
      static std::string binary = PELTHOLLOW_BINARY;
      argv.push_back(binary.data());
      for (auto& a : options.args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    if (!options.stdinText.empty()) {
      [[maybe_unused]] auto n = ::write(in[1], options.stdinText.data(), options.stdinText.size());
    }
    ::close(in[1]);
    readFd_ = out[0];
    reader_ = std::thread([this] { ReadOutput(); });
  }

  ~Process() {
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      Wait(kTimeout);
    }
    if (reader_.joinable()) reader_.join();
    ::close(readFd_);
  }

  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

  // Everything the process has written so far.
  std::string Output() {
    std::lock_guard<std::mutex> guard(mutex_);
    return output_;
  }

  // Waits until the output holds `text` (after byte `from`); returns false on timeout.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = kTimeout,
                     std::size_t from = 0) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] {
      return output_.size() >= from && output_.find(text, from) != std::string::npos;
    });
  }

  // Waits until standard output closed (the process ended or closed it).
  bool WaitForEndOfOutput(std::chrono::milliseconds timeout = kTimeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return outputClosed_; });
  }

  // Sends a signal to the process.
  void Signal(int signal) { ::kill(pid_, signal); }

  // Waits for the process to end; its exit status as waitpid reports it, or nullopt on
  // timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        WaitForEndOfOutput(std::chrono::milliseconds(2000));  // so Output() is complete
        return status;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      // Most processes close their output as they end: wait for that first, then give
      // the kernel a moment to report the exit.
      bool closed = false;
      {
        std::unique_lock<std::mutex> guard(mutex_);
        closed = changed_.wait_until(guard, std::min(deadline, Clock::now() + 20ms),
                                     [&] { return outputClosed_; });
      }
      if (closed) std::this_thread::sleep_for(1ms);
    }
  }

  // The exit code when the process ended normally, -1 otherwise.
  static int ExitCode(std::optional<int> status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }

 private:
  void ReadOutput() {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> guard(mutex_);
      if (n <= 0) {
        outputClosed_ = true;
        changed_.notify_all();
        return;
      }
      output_.append(buffer, static_cast<std::size_t>(n));
      changed_.notify_all();
    }
  }

  int port_;
  pid_t pid_ = -1;
  int readFd_ = -1;
  bool exited_ = false;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;        // guarded by mutex_
  bool outputClosed_ = false;  // guarded by mutex_
};

// A server started in its own temporary folder (or in `dir`), ready when it returns.
class Server {
 public:
  explicit Server(Process::Options options = {}) : Server(nullptr, std::move(options)) {}
  Server(const TempDir* dir, Process::Options options = {})
      : ownDir_(dir == nullptr ? std::make_unique<TempDir>() : nullptr),
        dir_(dir == nullptr ? *ownDir_ : *dir),
        process_(std::make_unique<Process>(dir_.Path(), FreePort(), std::move(options))) {
    ready_ = process_->WaitForOutput("Listening on port ");
  }

  // A sanitizer report in the server's output fails the test that ran it.
  ~Server() {
    const std::string log = process_->Output();
    for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
      if (log.find(report) != std::string::npos) ADD_FAILURE() << "server output:\n" << log;
    }
  }
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

// A raw TCP client of the server: sends frames and waits for frames.
class Client {
 public:
  // From `from` (a loopback address such as "127.0.0.2", or empty for the default),
  // with a receive buffer of `receiveBuffer` bytes when it is not 0.
  explicit Client(int port, const std::string& from = "", int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer != 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
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
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }

  // Sends `text` as one frame (text and NUL).
  bool Send(const std::string& text) { return SendRaw(text + std::string(1, '\0')); }

  // Sends bytes as they are.
  bool SendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // The next frame's text, or nullopt when none arrives in time or the server closed.
  std::optional<std::string> NextFrame(std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    while (frames_.empty()) {
      if (closed_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !ReadOnce(left)) return std::nullopt;
    }
    std::string frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
  }

  // Skips frames until one holds `text`; returns that frame, or nullopt on timeout.
  std::optional<std::string> WaitForFrame(const std::string& text,
                                          std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto frame = NextFrame(left);
      if (!frame) return std::nullopt;
      if (frame->find(text) != std::string::npos) return frame;
    }
  }

  // Sends a line and returns the next frame (the answer).
  std::optional<std::string> Ask(const std::string& line,
                                 std::chrono::milliseconds timeout = kTimeout) {
    if (!Send(line)) return std::nullopt;
    return NextFrame(timeout);
  }

  // Reads the welcome frame; true when it is the welcome line.
  bool ReadWelcome() {
    auto frame = NextFrame();
    return frame && *frame == "Welcome to Pelthollow! Type \"help\" for a list of commands.";
  }

  // Waits until the server closes the connection (frames before that are dropped).
  bool WaitForClose(std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !ReadOnce(left)) return closed_;
    }
    return true;
  }

  // Frames that have arrived and not been taken.
  std::size_t Pending() const { return frames_.size(); }

  // Takes in whatever the server has sent by now, without waiting; returns the number of
  // frames waiting to be taken.
  std::size_t Drain() {
    while (!closed_ && ReadOnce(std::chrono::milliseconds(0))) {
    }
    return frames_.size();
  }

  // Reads and drops whatever the server has sent by now, without waiting.
  void Discard() {
    char buffer[65536];
    while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // One read, waiting at most `timeout`; false on timeout.
  bool ReadOnce(std::chrono::milliseconds timeout) {
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

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  net::FrameSplitter splitter_{1u << 30};
  std::deque<std::string> frames_;
};

// Reads a whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] auto n = ::write(fd, bytes.data(), bytes.size());
  ::close(fd);
}

}  // namespace e2e
