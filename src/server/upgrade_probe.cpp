// The old process's probe of the new build, and what every process of an upgrade is
// started with.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "server/upgrade.h"
#include "server/upgrade_process.h"

extern char** environ;

namespace server::upgrade_process {

namespace {

using Clock = std::chrono::steady_clock;

// What the probe may say, at most.
constexpr std::size_t kMaxProbeAnswer = 4096;
// The first byte of what the probe's own process writes when the exec failed, before
// the errno's bytes: no answer of a build starts with it.
constexpr char kExecFailed = '\x01';

// "exit 1", "signal 9": how a probe ended.
std::string EndOf(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// The probe's own process, copied from a threaded one: system calls only until the
// exec. It dies with the thread that started it, and leads a group of its own, so
// that whatever a hung probe started is killed with it.
[[noreturn]] void BecomeProbe(const char* executable, char* const* argv, char* const* envp, pid_t parent,
                              int stateFd, int report) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(1);
  ::fcntl(stateFd, F_SETFD, 0);  // the probe's copies lose close-on-exec; nothing else does
  ::fcntl(report, F_SETFD, 0);
  ::execve(executable, argv, envp);
  char failed[1 + sizeof(int)] = {kExecFailed};
  const int error = errno;
  std::memcpy(failed + 1, &error, sizeof error);
  [[maybe_unused]] const ssize_t n = ::write(report, failed, sizeof failed);
  ::_exit(127);
}

}  // namespace

std::string Words(int error) {
  const char* words = ::strerrordesc_np(error);
  return std::string(words != nullptr ? words : "error") + " (" + std::to_string(error) + ")";
}

int StateFile(const std::string& bytes, int& error) {
  const int fd = ::memfd_create("pelthollow-upgrade", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      ::close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return fd;
}

std::vector<std::string> Environment(const std::vector<std::pair<const char*, std::string>>& set) {
  std::vector<std::string> all;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    bool ours = false;
    for (const char* name : {kUpgradeStateVariable, kUpgradeProbeVariable, kUpgradeReadyVariable}) {
      ours = ours || text.starts_with(std::string(name) + "=");
    }
    if (!ours) all.emplace_back(text);
  }
  for (const auto& [name, value] : set) all.push_back(std::string(name) + "=" + value);
  return all;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

base::Status Probe(const std::string& executable, int stateFd, bool& reportsReady) {
  reportsReady = false;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return base::Status::Failure("Error making a pipe: " + Words(errno));
  std::vector<std::string> environment = Environment({{kUpgradeStateVariable, std::to_string(stateFd)},
                                                      {kUpgradeProbeVariable, std::to_string(pipe[1])},
                                                      {kUpgradeReadyVariable, "ask"}});
  std::vector<std::string> arguments = {executable, "server"};
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(environment);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) BecomeProbe(executable.c_str(), argv.data(), envp.data(), parent, stateFd, pipe[1]);
  const int forkError = errno;
  ::close(pipe[1]);
  if (pid < 0) {
    ::close(pipe[0]);
    return base::Status::Failure("The new server at " + executable + " cannot be started: " + Words(forkError));
  }
  // Its end is watched as well as its answer: a probe that answers and then hangs, or
  // leaves a child holding the pipe, is no probe that passed.
  const int watch = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  std::string answer;
  const Clock::time_point end = Clock::now() + kUpgradeWait;
  pollfd waits[2] = {{pipe[0], POLLIN, 0}, {watch, POLLIN, 0}};
  bool exited = false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    const int ready = ::poll(waits, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if ((waits[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[512];
      const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0 && answer.size() < kMaxProbeAnswer) answer.append(buffer, static_cast<std::size_t>(n));
      if (n <= 0) waits[0].fd = -1;
    }
    if ((waits[1].revents & POLLIN) != 0) exited = true;
    // Without a pidfd (an old kernel) the pipe's end stands for the probe's.
    if (exited || (watch < 0 && waits[0].fd < 0)) break;
  }
  if (exited && waits[0].fd >= 0) {  // what it wrote before it ended
    ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
    char buffer[512];
    for (ssize_t n; answer.size() < kMaxProbeAnswer && (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
      answer.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(pipe[0]);
  if (watch >= 0) ::close(watch);
  const bool ended = exited || (watch < 0 && waits[0].fd < 0);
  if (!exited) ::kill(pid, SIGKILL);
  ::kill(-pid, SIGKILL);  // all the probe left behind; its group lives while it is unreaped
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended) return base::Status::Failure("The new server did not answer within 10 seconds; nothing was upgraded.");
  if (answer.size() == 1 + sizeof(int) && answer[0] == kExecFailed) {
    int error = 0;
    std::memcpy(&error, answer.data() + 1, sizeof error);
    return base::Status::Failure("The new server at " + executable + " cannot be started: " + Words(error));
  }
  if ((answer == "ok\n" || answer == "ok ready\n") && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    reportsReady = answer == "ok ready\n";
    return {};
  }
  if (!answer.empty() && answer != "ok\n" && answer != "ok ready\n") {
    if (answer.back() == '\n') answer.pop_back();
    return base::Status::Failure("The new server cannot take over: " + answer);
  }
  return base::Status::Failure("The new server ended (" + EndOf(status) + ") before it could take over.");
}

}  // namespace server::upgrade_process
