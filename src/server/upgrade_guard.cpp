#include "server/upgrade_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <vector>

#include "codecs/console_codec.h"
#include "core/log.h"
#include "server/upgrade_process.h"

namespace server {

namespace {

using upgrade_process::Words;

// Everything the guard works with, made before it is copied from the server: once it
// runs it only makes system calls, as a copy of a threaded process must.
struct Plan {
  int watch = -1;    // a pidfd of the server: readable once it has ended
  int reports = -1;  // the read end of the pipe the new process reports on
  int console = -1;
  int highest = 0;  // the highest descriptor the server may hold, without close_range
  const char* executable = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  std::string hungLog, endedLog, failedLog;
  std::string hungAnswer, endedAnswer;  // what the console is told: text, NUL, exit code
};

void Write(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = fd == STDOUT_FILENO ? ::write(fd, bytes.data() + done, bytes.size() - done)
                                          : ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) {  // a full pipe or socket: wait for room, a moment at most
        pollfd room{fd, POLLOUT, 0};
        if (::poll(&room, 1, 1000) > 0) continue;
      }
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

// Closes every descriptor from 3 up but the three of `keep` (-1: none), without
// allocating.
void CloseAllBut(std::array<int, 3> keep, int highest) {
  std::sort(keep.begin(), keep.end());
  int from = 3;
  for (int i = 0; i <= 3; ++i) {
    const int fd = i < 3 ? keep[static_cast<std::size_t>(i)] : -1;
    if (i < 3 && fd < from) {
      if (fd >= 0) from = fd + 1;
      continue;
    }
    const unsigned last = fd < 0 ? ~0u : static_cast<unsigned>(fd - 1);
    if (static_cast<unsigned>(from) <= last && ::syscall(SYS_close_range, from, last, 0) != 0) {
      for (int each = from; each <= highest && static_cast<unsigned>(each) <= last; ++each) ::close(each);
    }
    from = fd + 1;
  }
}

long MillisecondsLeft(const timespec& until) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (until.tv_sec - now.tv_sec) * 1000 + (until.tv_nsec - now.tv_nsec) / 1'000'000;
}

// Waits until the server has ended or `ms` have passed; true when it has ended.
bool Ended(int watch, long ms) {
  timespec until{};
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  for (long left = ms; left > 0; left = MillisecondsLeft(until)) {
    pollfd wait{watch, POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

[[noreturn]] void Guard(const Plan& plan) {
  CloseAllBut({plan.watch, plan.reports, plan.console}, plan.highest);
  timespec until{};
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += std::chrono::seconds(kReadyWait).count();
  pollfd waits[2] = {{plan.reports, POLLIN, 0}, {plan.watch, POLLIN, 0}};
  char said[64];
  std::size_t got = 0;
  bool ended = false;
  for (long left = MillisecondsLeft(until); left > 0 && !ended; left = MillisecondsLeft(until)) {
    const int ready = ::poll(waits, 2, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if ((waits[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::read(plan.reports, said + got, sizeof said - got);
      if (n > 0) got += static_cast<std::size_t>(n);
      if (n == 0 || got == sizeof said) waits[0].fd = -1;  // closed, or no report of ours
      // "ready": the new build serves; "stay": the exec failed and the old one serves on.
      for (std::size_t i = 0; i < got; ++i) {
        if (said[i] == '\n') ::_exit(0);
      }
    }
    ended = (waits[1].revents & POLLIN) != 0;
  }
  if (!ended) {
    ::syscall(SYS_pidfd_send_signal, plan.watch, SIGKILL, nullptr, 0);
    Ended(plan.watch, 10'000);  // its listeners and its folder's lock are let go as it ends
  }
  Write(STDOUT_FILENO, ended ? plan.endedLog : plan.hungLog);
  if (plan.console >= 0) {
    Write(plan.console, ended ? plan.endedAnswer : plan.hungAnswer);
    ::close(plan.console);
  }
  ::close(plan.reports);
  ::close(plan.watch);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(plan.executable, plan.argv, plan.envp);
  Write(STDOUT_FILENO, plan.failedLog);
  ::_exit(1);
}

std::string Answer(const std::string& text) {
  std::string out;
  codecs::ConsoleCodec().Refuse(text, out);  // the text, a NUL and exit code 1
  return out;
}

}  // namespace

int StartUpgradeGuard(const std::string& executable, core::Socket console, std::string& failure) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    failure = "Error making a pipe: " + Words(errno);
    return -1;
  }
  Plan plan;
  plan.reports = pipe[0];
  plan.console = console;
  plan.watch = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
  if (plan.watch < 0) {
    failure = "Error watching the server's process: " + Words(errno);
    ::close(pipe[0]);
    ::close(pipe[1]);
    return -1;
  }
  const long highest = ::sysconf(_SC_OPEN_MAX);
  plan.highest = highest > 0 && highest < (1 << 24) ? static_cast<int>(highest) : 1 << 16;
  std::vector<std::string> arguments = {executable, "server"};
  std::vector<std::string> environment = upgrade_process::Environment({});
  std::vector<char*> argv = upgrade_process::Pointers(arguments);
  std::vector<char*> envp = upgrade_process::Pointers(environment);
  plan.executable = arguments[0].c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  const std::string seconds = std::to_string(std::chrono::seconds(kReadyWait).count());
  const std::string hung = "The new server did not serve within " + seconds +
                           " seconds of the exec: it was ended, and the server starts again from the save.";
  const std::string ended = "The new server ended after the exec before it served: the server starts again "
                            "from the save.";
  plan.hungLog = core::LogLine(hung + "\n", core::LogPriority::Error);
  plan.endedLog = core::LogLine(ended + "\n", core::LogPriority::Error);
  plan.failedLog = core::LogLine("The server could not be started again after the upgrade.\n", core::LogPriority::Error);
  plan.hungAnswer = Answer(hung);
  plan.endedAnswer = Answer(ended);
  // Twice over, so that the guard is nobody's child: the new process need not reap it,
  // and it outlives the server it watches.
  const pid_t middle = ::fork();
  if (middle == 0) {
    const pid_t guard = ::fork();
    if (guard == 0) Guard(plan);
    ::_exit(guard < 0 ? 1 : 0);
  }
  const int forkError = errno;
  ::close(pipe[0]);
  ::close(plan.watch);
  int status = 0;
  while (middle > 0 && ::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (middle < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    failure = "Error starting the guard: " + Words(middle < 0 ? forkError : EAGAIN);
    ::close(pipe[1]);
    return -1;
  }
  return pipe[1];
}

void StandDownUpgradeGuard(int report) {
  const std::string stay = "stay\n";
  [[maybe_unused]] const ssize_t n = ::write(report, stay.data(), stay.size());
  ::close(report);
}

}  // namespace server
