// The old process's half of the upgrade: the quiet, the state, the probe and the exec.
#include "server/upgrade.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "base/version.h"
#include "commands/allowances.h"
#include "commands/mutes.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"
#include "persist/folder_lock.h"
#include "persist/saver.h"
#include "server/notify.h"
#include "world/screen_reader.h"

extern char** environ;

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Threads that stand still for an upgrade: the accept thread and the signal thread.
constexpr std::size_t kStandingThreads = 2;
// What the probe may say, at most.
constexpr std::size_t kMaxProbeAnswer = 4096;

std::string Words(int error) {
  const char* words = ::strerrordesc_np(error);
  return std::string(words != nullptr ? words : "error") + " (" + std::to_string(error) + ")";
}

// The state of this process as the next one takes it up. REQUIRES: ConnectionLock held,
// inside the layer's quiet.
UpgradeState Collect(Running& running, connection::Socket console, const std::string& announcement,
                     std::vector<connection::Socket>& uncarried) {
  UpgradeState state;
  state.writer = std::string(base::Version());
  state.folderLock = persist::SaveFolderLockDescriptor();
  for (const Listener& listener : running.listeners) state.listeners.push_back({listener.doorName, listener.socket});
  state.layer = running.layer.Carry(uncarried);
  state.world = world::CarryWorld();
  state.sessions = commands::CarrySessions();
  state.screenReaders = world::ScreenReaders();
  for (const auto& [name, until] : commands::CarryMutes()) state.mutes.emplace_back(name, connection::CarriedTime(until));
  state.allowances = commands::CarryAllowances();
  for (std::size_t i = 0; i < commands::kLoginResults; ++i) {
    state.logins[i] = commands::LoginCount(static_cast<commands::LoginResult>(i));
  }
  state.measures = CarryMeasures();
  state.tick = running.ticks;
  state.nextTick = connection::CarriedTime(running.nextTick);
  const Countdown::Carried countdown = running.countdown.Carry();
  state.countdown = {countdown.running, countdown.kind == CountdownKind::Restart,
                     connection::CarriedTime(countdown.due), countdown.nextStep};
  state.console = console;
  state.announcement = announcement;
  return state;
}

// A memfd holding `bytes`, sealed against change; -1 with `error` set on failure.
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

// The environment of the new process: this one's, with the upgrade's own variables set.
std::vector<std::string> Environment(int stateFd, int probeFd) {
  std::vector<std::string> all;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with(std::string(kUpgradeStateVariable) + "=") ||
        text.starts_with(std::string(kUpgradeProbeVariable) + "="))
      continue;
    all.emplace_back(text);
  }
  all.push_back(std::string(kUpgradeStateVariable) + "=" + std::to_string(stateFd));
  if (probeFd >= 0) all.push_back(std::string(kUpgradeProbeVariable) + "=" + std::to_string(probeFd));
  return all;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// "exit 1", "signal 9": how a probe ended.
std::string EndOf(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Starts `executable` as a probe of the state in `stateFd` and waits at most
// kUpgradeWait for its answer. Ok when it says it can take the state over.
base::Status Probe(const std::string& executable, int stateFd) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return base::Status::Failure("Error making a pipe: " + Words(errno));
  // The probe's own copies, without close-on-exec; nothing else of this process's.
  const int stateCopy = ::fcntl(stateFd, F_DUPFD, 3);
  const int reportCopy = ::fcntl(pipe[1], F_DUPFD, 3);
  std::vector<std::string> environment = Environment(stateCopy, reportCopy);
  std::vector<std::string> arguments = {executable, "server"};
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(environment);
  pid_t pid = -1;
  const int spawned = stateCopy < 0 || reportCopy < 0
                          ? EMFILE
                          : ::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), envp.data());
  for (const int fd : {stateCopy, reportCopy, pipe[1]}) {
    if (fd >= 0) ::close(fd);
  }
  if (spawned != 0) {
    ::close(pipe[0]);
    return base::Status::Failure("The new server at " + executable + " cannot be started: " + Words(spawned));
  }
  std::string answer;
  const Clock::time_point end = Clock::now() + kUpgradeWait;
  bool ended = false;
  while (!ended && answer.size() < kMaxProbeAnswer) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd wait{pipe[0], POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ended = true;
    if (n > 0) answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe[0]);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended) return base::Status::Failure("The new server did not answer within 10 seconds.");
  if (answer == "ok\n" && WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  if (!answer.empty() && answer != "ok\n") {
    if (answer.back() == '\n') answer.pop_back();
    return base::Status::Failure("The new server cannot take over: " + answer);
  }
  return base::Status::Failure("The new server ended (" + EndOf(status) + ") before it could take over.");
}

// Every descriptor the new process takes over: kept open across the exec, or (when the
// exec fails) closed on any later one again.
void KeepAcrossExec(const UpgradeState& state, int stateFd, bool keep) {
  std::vector<int> all = {stateFd, state.folderLock};
  for (const CarriedListener& l : state.listeners) all.push_back(l.socket);
  for (const connection::CarriedConnection& c : state.layer.connections) all.push_back(c.socket);
  for (const connection::CarriedDrain& d : state.layer.drains) all.push_back(d.socket);
  for (const int fd : all) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, keep ? 0 : FD_CLOEXEC);
  }
}

// One upgrade in progress, or none. Guarded by ConnectionLock.
struct Upgrade {
  bool active = false;
  connection::Socket console = connection::kNoSocket;
  std::string announcement;
  Clock::time_point giveUpAt{};
  bool settled = false;
  std::function<void(ConsoleAnswer)> answer;
};
// One per process: a process hands itself over once at a time.
Upgrade Current;

void Fail(Running& running, const std::string& why) {
  core::Log("Upgrade failed: " + why + "\n", core::LogPriority::Error);
  running.layer.EndQuiet();
  running.standstill.Lift();
  Current.active = false;
  Current.answer({why + "\n", 1});
}

// The quiet's work, once nothing is in flight. REQUIRES: ConnectionLock held.
void HandOver(Running& running) {
  if (!Current.settled) {
    return Fail(running, "What was in flight did not finish within 10 seconds; nothing was upgraded.");
  }
  if (!persist::SaveBeforeExit()) {
    return Fail(running, "The world could not be saved (see the log); nothing was upgraded.");
  }
  std::vector<connection::Socket> uncarried;
  int error = 0;
  const int probeFile =
      StateFile(WriteUpgradeState(Collect(running, Current.console, Current.announcement, uncarried)), error);
  if (probeFile < 0) return Fail(running, "Error writing the upgrade's state: " + Words(error));
  const base::Status probed = Probe(running.executable, probeFile);
  ::close(probeFile);
  if (!probed.ok()) return Fail(running, probed.Text());

  // From here on the new build takes over: the TLS players are let go, and the state is
  // taken again without them.
  running.layer.EndUncarried(uncarried, kRestartingText);
  uncarried.clear();
  const UpgradeState state = Collect(running, Current.console, Current.announcement, uncarried);
  const int stateFile = StateFile(WriteUpgradeState(state), error);
  if (stateFile < 0) return Fail(running, "Error writing the upgrade's state: " + Words(error));
  KeepAcrossExec(state, stateFile, true);
  std::vector<std::string> environment = Environment(stateFile, -1);
  std::vector<std::string> arguments = {running.executable, "server"};
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(environment);
  core::Log("Upgrading: " + std::to_string(state.layer.connections.size()) + " connections go to " +
            running.executable + ".\n");
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
  Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(now.count()));
  core::FlushLogBeforeExit();
  ::execve(running.executable.c_str(), argv.data(), envp.data());
  const int failed = errno;
  KeepAcrossExec(state, stateFile, false);
  ::close(stateFile);
  Notify("READY=1");
  Fail(running, "Error starting the new server: " + Words(failed));
}

}  // namespace

std::optional<ConsoleAnswer> BeginUpgrade(Running& running, connection::Socket console, std::string announcement) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Current.active) return ConsoleAnswer{"An upgrade is under way.\n", 1};
  if (running.executable.empty()) return ConsoleAnswer{"The server cannot tell where its executable is.\n", 1};
  Current.active = true;
  Current.console = console;
  Current.announcement = std::move(announcement);
  Current.giveUpAt = Clock::now() + kUpgradeWait;
  Current.settled = false;
  Current.answer = running.console.Later(console);
  core::Log("Upgrade asked for: new lines wait while what is in flight finishes.\n");
  running.standstill.Ask();
  running.layer.BeginQuiet(
      console,
      [&running](bool settled) {
        Current.settled = settled && core::WorkerQueueLength() == 0 &&
                          running.standstill.Still() == kStandingThreads;
        return Current.settled || Clock::now() >= Current.giveUpAt;
      },
      [&running] { HandOver(running); });
  return std::nullopt;
}

}  // namespace server
