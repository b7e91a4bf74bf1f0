#include "bench_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

// Waits up to `timeoutMs` for the child to end; true when it has (and was reaped).
bool WaitForExit(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    ::usleep(10000);
  }
  return false;
}

}  // namespace

long RaiseFileLimit(long wanted) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
  if (files.rlim_cur < static_cast<rlim_t>(wanted)) {
    files.rlim_cur = files.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted)
                                                     : std::min(static_cast<rlim_t>(wanted), files.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
  }
  return static_cast<long>(files.rlim_cur);
}

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(s);
  return port;
}

bool StartGame(const std::string& binary, GameProcess& out, std::string& error, bool web) {
  if (::access(binary.c_str(), X_OK) != 0) {
    error = "cannot run " + binary + ": " + std::strerror(errno) + " (build it, or name it with --server)";
    return false;
  }
  std::error_code ignored;
  std::string pattern = (std::filesystem::temp_directory_path(ignored) / "pelthollow-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  GameProcess game;
  game.folder = pattern;
  game.log = game.folder + "/server.log";
  game.port = FreePort();
  if (web) {
    do {
      game.webPort = FreePort();
    } while (game.webPort == game.port);
  }
  const int log = ::open(game.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0 || game.port == 0) {
    error = "cannot prepare " + game.folder;
    if (log >= 0) ::close(log);
    std::filesystem::remove_all(game.folder, ignored);
    return false;
  }
  const std::string port = std::to_string(game.port);
  const std::string webPort = std::to_string(game.webPort);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    if (::chdir(game.folder.c_str()) != 0) ::_exit(127);
    ::setenv("PELTHOLLOW_PORT", port.c_str(), 1);
    if (game.webPort > 0) ::setenv("PELTHOLLOW_WEB_PORT", webPort.c_str(), 1);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
      files.rlim_cur = files.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &files);
    }
    // A child of a process that blocked signals would not hear SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execl(binary.c_str(), binary.c_str(), "server", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(log);
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    std::filesystem::remove_all(game.folder, ignored);
    return false;
  }
  game.pid = pid;
  for (int waited = 0; waited < 10000; waited += 10) {
    if (ReadAll(game.log).find(web ? "Web client on port " : "Listening on port ") != std::string::npos) {
      out = game;
      return true;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      game.pid = -1;
      break;
    }
    ::usleep(10000);
  }
  error = "the server did not start; its output:\n" + Tail(game.log, 2000);
  StopGame(game, false);
  return false;
}

void StopGame(GameProcess& game, bool keep) {
  if (game.pid > 0) {
    ::kill(game.pid, SIGTERM);
    if (!WaitForExit(game.pid, 5000)) {
      ::kill(game.pid, SIGKILL);
      WaitForExit(game.pid, 5000);
    }
  }
  if (!keep && !game.folder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(game.folder, ignored);
  }
  game = GameProcess{};
}

std::string Tail(const std::string& path, std::size_t bytes) {
  const std::string all = ReadAll(path);
  return all.size() <= bytes ? all : all.substr(all.size() - bytes);
}

}  // namespace bench
