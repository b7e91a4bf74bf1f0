// Support for the client's end-to-end tests: the client on a pseudo-terminal, and a
// small stand-in server that a test drives frame by frame.
#pragma once

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "e2e_support.h"

extern char** environ;

namespace e2e {

using namespace std::string_literals;
using namespace std::chrono_literals;

constexpr char kWelcome[] = "Welcome to Pelthollow! Type \"help\" for a list of commands.";
constexpr char kScreenStart[] = "\x1b[2J\x1b[1;1H\x1b[1;23r";  // 24 rows
constexpr char kLoginHelp[] = "login\ttakes control of an existing character on the server";

// A server that accepts one client on the loopback and speaks frames under the
// test's control.
class StandInServer {
 public:
  StandInServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~StandInServer() {
    Close();
    ::close(listener_);
  }
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  int Port() const { return port_; }

  bool Accept(std::chrono::milliseconds timeout = kTimeout) {
    pollfd wait{listener_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(timeout.count())) != 1) return false;
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }

  bool SendRaw(const std::string& bytes) {
    return ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool Send(const std::string& text) { return SendRaw(text + "\0"s); }

  // The next frame from the client; nullopt on timeout or when the client stopped
  // sending (then PeerClosed() is true).
  std::optional<std::string> NextFrame(std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    while (frames_.empty() && !peerClosed_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd wait{connection_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) != 1) {
        return std::nullopt;
      }
      char buffer[4096];
      const ssize_t got = ::recv(connection_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        peerClosed_ = true;
        break;
      }
      splitter_.Feed(
          std::string_view(buffer, static_cast<std::size_t>(got)),
          [&](std::string_view text) { frames_.emplace_back(text); }, [] {});
    }
    if (frames_.empty()) return std::nullopt;
    std::string frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
  }
  bool PeerClosed() const { return peerClosed_; }

  void Close() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    const linger abort{1, 0};
    ::setsockopt(connection_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close();
  }

 private:
  int listener_ = -1;
  int connection_ = -1;
  int port_ = 0;
  bool peerClosed_ = false;
  net::FrameSplitter splitter_{1u << 24};
  std::deque<std::string> frames_;
};

// The client run on a pseudo-terminal of 24 rows by 80 columns; `extraEnv` holds more
// NAME=value entries for its environment, `extraArgs` words after "client".
class PtyClient {
 public:
  explicit PtyClient(int port, const std::string& term = "xterm",
                     const std::vector<std::string>& extraEnv = {},
                     const std::vector<std::string>& extraArgs = {}) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view variable(*entry);
      if (variable.rfind("PELTHOLLOW_PORT=", 0) == 0 || variable.rfind("TERM=", 0) == 0) continue;
      env.emplace_back(variable);
    }
    env.push_back("PELTHOLLOW_PORT=" + std::to_string(port));
    env.push_back("TERM=" + term);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{PELTHOLLOW_BINARY, "client"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    reader_.Start(master_);
  }
  ~PtyClient() {
    if (!exited_ && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    reader_.Join();
    ::close(master_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  void Type(const std::string& keys) {
    [[maybe_unused]] const ssize_t written = ::write(master_, keys.data(), keys.size());
  }
  void Signal(int signal) { ::kill(pid_, signal); }

  // Changes the terminal's size; the kernel tells the client with SIGWINCH.
  void Resize(int rows, int columns) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    ::ioctl(master_, TIOCSWINSZ, &size);
  }

  std::string Output() { return reader_.Text(); }
  // Waits until the output after byte `from` holds `text`.
  bool WaitForOutput(const std::string& text, std::size_t from = 0) {
    return reader_.WaitFor(text, kTimeout, from);
  }

  // The terminal's settings as the client left them (read through the master side).
  termios Settings() const {
    termios settings{};
    ::tcgetattr(master_, &settings);
    return settings;
  }

  // Waits for the client to end and all its output to be read; its status as waitpid
  // gives it, or nullopt.
  std::optional<int> Wait() {
    const auto deadline = Clock::now() + kTimeout;
    reader_.WaitForEnd(kTimeout);
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return status;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      reader_.WaitForEnd(20ms);
    }
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  harness::OutputReader reader_;  // reads the master side until EIO
};

inline bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// A client on a pseudo-terminal at the host prompt, with the terminal's settings from
// before the client touched them.
struct Prompted {
  explicit Prompted(int port, const std::string& term = "xterm",
                    const std::vector<std::string>& extraEnv = {},
                    const std::vector<std::string>& extraArgs = {})
      : client(port, term, extraEnv, extraArgs) {
    ready = client.WaitForOutput("Enter a server to connect to: ");
    before = client.Settings();
  }
  PtyClient client;
  termios before{};
  bool ready = false;
};

}  // namespace e2e
