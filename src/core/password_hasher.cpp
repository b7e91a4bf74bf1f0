#include "core/password_hasher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "base/password.h"
#include "core/log.h"

extern char** environ;

namespace core {

namespace {

using Clock = std::chrono::steady_clock;

std::string Words(int error) {
  const char* words = ::strerrordesc_np(error);
  return std::string(words != nullptr ? words : "error") + " (" + std::to_string(error) + ")";
}

// "exit 1", "signal 9": how a helper ended.
std::string EndOf(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Waits until `fd` is ready for `events` (or hung up); false when `deadline` passes first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// Writes all of `bytes` to the non-blocking `fd`; false when the peer has gone or
// `deadline` passes first.
bool SendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno != EAGAIN || !WaitFor(fd, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

PasswordVerdict VerdictOf(bool matches) { return matches ? PasswordVerdict::Matches : PasswordVerdict::Differs; }

// How long `pid` has waited on a run queue for a core, all told (the second figure of
// /proc/PID/schedstat); zero where the kernel does not say.
std::chrono::nanoseconds TimeQueued(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char text[128];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return {};
  const char* at = std::find(text, text + n, ' ');
  std::uint64_t queued = 0;
  if (at == text + n || std::from_chars(at + 1, text + n, queued).ec != std::errc()) return {};
  return std::chrono::nanoseconds(queued);
}

}  // namespace

PasswordHasher::~PasswordHasher() { StopHelper(); }

void PasswordHasher::UseHelper(std::vector<std::string> command, std::chrono::milliseconds wait) {
  std::lock_guard<std::mutex> guard(mutex_);
  command_ = std::move(command);
  wait_ = wait;
  Start();
}

void PasswordHasher::StopHelper() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (pid_ < 0) return;
  ::close(socket_);
  socket_ = -1;
  ::kill(-pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

bool PasswordHasher::Start() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    Log("Error starting the password helper: " + Words(errno) + "\n", LogPriority::Error);
    return false;
  }
  if (pair[1] == kHelperDescriptor) {  // a dup2 onto itself would keep close-on-exec
    const int moved = ::fcntl(pair[1], F_DUPFD_CLOEXEC, kHelperDescriptor + 1);
    const int error = errno;
    ::close(pair[1]);
    if (moved < 0) {
      ::close(pair[0]);
      Log("Error starting the password helper: " + Words(error) + "\n", LogPriority::Error);
      return false;
    }
    pair[1] = moved;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, pair[1], kHelperDescriptor);
  ::posix_spawn_file_actions_addclosefrom_np(&actions, kHelperDescriptor + 1);
  // Its own process group, so that whatever it might start is killed with it; signals
  // as a fresh process has them (the server blocks some and ignores SIGPIPE).
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (std::string& word : command_) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  // A spawn rather than a fork: nothing of the server's memory is copied, and only an
  // exec follows in the new process, as it must in one with threads.
  const int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  ::close(pair[1]);
  if (error != 0) {
    ::close(pair[0]);
    Log("Error starting the password helper: " + Words(error) + "\n", LogPriority::Error);
    return false;
  }
  ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  pid_ = pid;
  socket_ = pair[0];
  // The first is the server's own business; another follows a line about the last.
  if (started_) {
    restarts_.fetch_add(1, std::memory_order_relaxed);
    Log("Password helper " + std::to_string(pid) + " started.\n");
  }
  started_ = true;
  return true;
}

void PasswordHasher::End(const std::string& why) {
  ::close(socket_);
  socket_ = -1;
  ::kill(-pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  Log("Password helper " + std::to_string(pid_) + " " + why + " (" + EndOf(status) + "); another starts.\n",
      LogPriority::Warning);
  pid_ = -1;
  Start();
}

bool PasswordHasher::HelperGone() const {
  pollfd p{socket_, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}

std::optional<PasswordMessage> PasswordHasher::Ask(PasswordMessage request, std::string_view expected) {
  // One that ended while idle is replaced before it is asked: no request is lost to it.
  if (pid_ >= 0 && HelperGone()) End("ended");
  if (pid_ < 0 && !Start()) return std::nullopt;
  request.id = ++lastId_;
  std::string bytes;
  AppendPasswordMessage(bytes, request);
  const Clock::time_point asked = Clock::now();
  const std::chrono::nanoseconds queuedBefore = TimeQueued(pid_);
  Clock::time_point deadline = asked + wait_;
  if (!SendAll(socket_, bytes, deadline)) {
    End("ended");
    return std::nullopt;
  }
  PasswordFrameReader reader;
  std::vector<PasswordMessage> answers;
  char buffer[4096];
  while (answers.empty()) {
    if (!WaitFor(socket_, POLLIN, deadline)) {
      // A helper that waited for a core meanwhile gets that time again: on a machine
      // busy with other work it is slow, not hung.
      const Clock::time_point later = std::min(
          asked + wait_ + std::chrono::duration_cast<Clock::duration>(TimeQueued(pid_) - queuedBefore),
          asked + std::max(wait_, std::chrono::milliseconds(kHelperLongestWait)));
      if (later > deadline) {
        deadline = later;
        continue;
      }
      End("did not answer within " + std::to_string(wait_.count()) + " ms and was killed");
      return std::nullopt;
    }
    const ssize_t n = ::read(socket_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      End("ended");
      return std::nullopt;
    }
    if (!reader.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), answers)) break;
  }
  // One answer, to this request, of a kind it may have, and nothing more.
  if (answers.size() != 1 || reader.Buffered() != 0 || answers[0].id != request.id ||
      expected.find(static_cast<char>(answers[0].kind)) == std::string_view::npos) {
    End("answered what it was not asked and was killed");
    return std::nullopt;
  }
  return std::move(answers[0]);
}

std::optional<std::string> PasswordHasher::Hash(std::string_view plain) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (command_.empty()) return base::HashPassword(plain);
  if (plain.size() > kMaxPasswordText) return std::nullopt;
  std::optional<PasswordMessage> answer =
      Ask({PasswordKind::Hash, 0, std::string(plain), {}}, "h");
  // Taken only if it reads as a hash: an empty one says it could not be made.
  if (!answer || !base::IsPasswordHash(answer->first)) return std::nullopt;
  return std::move(answer->first);
}

PasswordVerdict PasswordHasher::Check(std::string_view stored, std::string_view typed) {
  if (!base::IsPasswordHash(stored)) return VerdictOf(base::PasswordMatches(stored, typed));  // cheap
  std::lock_guard<std::mutex> guard(mutex_);
  if (command_.empty()) return VerdictOf(base::PasswordMatches(stored, typed));
  // No password the server took is as long: it cannot be this one.
  if (stored.size() > kMaxPasswordText || typed.size() > kMaxPasswordText) return PasswordVerdict::Differs;
  const std::optional<PasswordMessage> answer =
      Ask({PasswordKind::Check, 0, std::string(stored), std::string(typed)}, "yn");
  if (!answer) return PasswordVerdict::Unknown;
  return VerdictOf(answer->kind == PasswordKind::Matches);
}

PasswordVerdict PasswordHasher::CheckDummy(std::string_view typed) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (command_.empty()) return VerdictOf(base::PasswordMatches(base::DummyPasswordHash(), typed));
  if (typed.size() > kMaxPasswordText) return PasswordVerdict::Differs;
  const std::optional<PasswordMessage> answer = Ask({PasswordKind::CheckDummy, 0, std::string(typed), {}}, "yn");
  if (!answer) return PasswordVerdict::Unknown;
  return VerdictOf(answer->kind == PasswordKind::Matches);
}

}  // namespace core
