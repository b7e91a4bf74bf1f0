#include "app/admin_client.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "base/number.h"
#include "net/socket.h"

namespace app {

namespace {

// Where pelthollow.service puts its console (its RuntimeDirectory).
constexpr const char* kServiceSocket = "/run/pelthollow/pelthollow.sock";

// Sends `command` to the console at `path` and sets `answer` to what the server wrote
// back. False with `error` set (errno) when it cannot be reached. A server that answers
// before it has read the whole command (one too long) is still heard.
bool SendCommand(const std::string& path, std::string_view command, std::string& answer, int& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (s >= 0) ::close(s);
    return false;
  }
  std::string line(command);
  line += '\n';
  const base::Status sent = net::SendAll(s, line);
  if (!sent.ok()) error = sent.error();
  ::shutdown(s, SHUT_WR);
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(s);
  return sent.ok() || !answer.empty();
}

// The name of the user who owns the file at `path`; empty when unknown.
std::string OwnerOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  char buffer[4096];
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(info.st_uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(info.st_uid);
}

}  // namespace

std::string AdminSocketPath() {
  if (const char* path = std::getenv("PELTHOLLOW_ADMIN_SOCKET"); path != nullptr && *path != '\0')
    return path;
  return "pelthollow.sock";
}

int RunAdminClient(int argc, const char* const* argv) {
  std::string command;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) command += ' ';
    command += argv[i];
  }
  if (command.empty()) command = "help";
  std::string path = AdminSocketPath();
  // Away from the server's folder, the packaged service's console is the one meant.
  struct stat info {};
  if (std::getenv("PELTHOLLOW_ADMIN_SOCKET") == nullptr && ::stat(path.c_str(), &info) != 0 &&
      ::stat(kServiceSocket, &info) == 0) {
    path = kServiceSocket;
  }
  std::string answer;
  int error = 0;
  if (!SendCommand(path, command, answer, error)) {
    const std::string owner = error == EACCES ? OwnerOf(path) : std::string();
    if (!owner.empty()) {
      std::cerr << "Only the server's user may use its console; try: sudo -u " << owner
                << " pelthollow admin ...\n";
      return 1;
    }
    std::cerr << "Cannot reach the server's console at " << path << ": " << std::strerror(error)
              << "\n(Is the server running? Run this in its folder as its user, or set "
                 "PELTHOLLOW_ADMIN_SOCKET.)\n";
    return 1;
  }
  // The answer's text, then a NUL and the command's exit code.
  int code = 0;
  const std::size_t end = answer.find('\0');
  if (end != std::string::npos) {
    unsigned digits = 0;
    code = base::ReadDigits(std::string_view(answer).substr(end + 1), 255u, digits) ? static_cast<int>(digits) : 1;
    answer.resize(end);
  } else {
    code = 1;  // cut short: the server ended before its answer was whole
  }
  std::cout << answer << std::flush;
  if (end == std::string::npos) {
    std::cerr << (answer.empty() || answer.back() == '\n' ? "" : "\n")
              << "The server closed the console before its answer was whole (it may have ended or "
                 "restarted); see its log.\n";
  }
  return code;
}

}  // namespace app
