// The old process's half of the upgrade: the state, the probe on a thread of its own,
// the last quiet, the save and the exec.
#include "server/upgrade.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/version.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"
#include "persist/folder_lock.h"
#include "persist/saver.h"
#include "server/notify.h"
#include "server/upgrade_guard.h"
#include "server/upgrade_process.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;
using upgrade_process::Environment;
using upgrade_process::Pointers;
using upgrade_process::StateFile;
using upgrade_process::Words;

// Threads that stand still for an upgrade: the accept thread and the signal thread.
constexpr std::size_t kStandingThreads = 2;

// The state of this process as the next one takes it up. REQUIRES: ConnectionLock held,
// and the layer's I/O at rest (a quiet's work, or a line handler).
UpgradeState Collect(Running& running, connection::Socket console, const std::string& announcement,
                     std::vector<connection::Socket>& uncarried) {
  UpgradeState state;
  state.writer = std::string(base::Version());
  state.folderLock = persist::SaveFolderLockDescriptor();
  for (const Listener& listener : running.listeners) state.listeners.push_back({listener.doorName, listener.socket});
  state.layer = running.layer.Carry(uncarried);
  running.game.Carry(state);
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

// Every descriptor the new process takes over: kept open across the exec, or (when the
// exec fails) closed on any later one again.
void KeepAcrossExec(const UpgradeState& state, std::vector<int> all, bool keep) {
  all.push_back(state.folderLock);
  for (const CarriedListener& l : state.listeners) all.push_back(l.socket);
  for (const connection::CarriedConnection& c : state.layer.connections) all.push_back(c.socket);
  for (const connection::CarriedDrain& d : state.layer.drains) all.push_back(d.socket);
  for (const int fd : all) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, keep ? 0 : FD_CLOEXEC);
  }
}

// Where the upgrade stands, as the thread that runs it waits for the last quiet.
enum class Step {
  Probing,    // the new build reads the state; play goes on
  Quiet,      // the last quiet waits for what is in flight
  Unsettled,  // it did not settle in time: play went on, and it is tried again
  Over,       // answered (the exec failed, or something before it)
};

// One upgrade in progress, or none. Guarded by ConnectionLock.
struct Upgrade {
  bool active = false;
  Step step = Step::Over;
  connection::Socket console = connection::kNoSocket;
  std::string announcement;
  bool reportsReady = false;       // the new build tells a guard when it serves
  Clock::time_point quietEnds{};   // when this quiet gives up
  bool settled = false;
  std::function<void(ConsoleAnswer)> answer;
};
// One per process: a process hands itself over once at a time.
Upgrade Current;
// Current.step left Quiet. Waited on with ConnectionLock.
std::condition_variable_any StepChanged;

// The upgrade is over, changing nothing: the console is told why. REQUIRES:
// ConnectionLock held, no quiet.
void Refuse(const std::string& why) {
  core::Log("Upgrade failed: " + why + "\n", core::LogPriority::Error);
  Current.active = false;
  Current.step = Step::Over;
  StepChanged.notify_all();
  Current.answer({why + "\n", 1});
}

// As Refuse, from inside the last quiet, which ends.
void Fail(Running& running, const std::string& why) {
  running.layer.EndQuiet();
  running.standstill.Lift();
  Refuse(why);
}

// The last quiet's work: the save, the state, the guard and the exec, which does not
// return when it works. REQUIRES: ConnectionLock held, inside the quiet.
void HandOver(Running& running) {
  if (!Current.settled) {  // play goes on a while, and the quiet is tried again
    running.layer.EndQuiet();
    running.standstill.Lift();
    Current.step = Step::Unsettled;
    StepChanged.notify_all();
    return;
  }
  if (!persist::SaveBeforeExit()) {
    return Fail(running, "The world could not be saved (see the log); nothing was upgraded.");
  }
  // The operator's connection is held for its answer, but the server may have ended it
  // meanwhile (its memory's cap): its number may be another's by now.
  bool console = false;
  for (const connection::ConnectionSummary& c : running.layer.Summaries()) {
    console = console || (c.socket == Current.console && std::string_view(c.door) == "console");
  }
  if (!console) Current.console = connection::kNoSocket;
  std::vector<connection::Socket> uncarried;
  UpgradeState state = Collect(running, Current.console, Current.announcement, uncarried);
  if (!uncarried.empty()) {
    // The TLS players are let go, and the state taken again without them.
    running.layer.EndUncarried(uncarried, kRestartingText);
    uncarried.clear();
    state = Collect(running, Current.console, Current.announcement, uncarried);
  }
  int error = 0;
  const int stateFile = StateFile(WriteUpgradeState(state), error);
  if (stateFile < 0) return Fail(running, "Error writing the upgrade's state: " + Words(error));
  int report = -1;
  if (std::getenv("NOTIFY_SOCKET") == nullptr) {  // under systemd its watchdog covers the exec
    std::string failure = "the new build does not say when it serves.";
    if (Current.reportsReady) report = StartUpgradeGuard(running.executable, Current.console, failure);
    if (report < 0) core::Log("Nothing starts the server again should the new build hang: " + failure + "\n",
                              core::LogPriority::Warning);
  }
  KeepAcrossExec(state, {stateFile, report}, true);
  std::vector<std::pair<const char*, std::string>> set = {{kUpgradeStateVariable, std::to_string(stateFile)}};
  if (report >= 0) set.emplace_back(kUpgradeReadyVariable, std::to_string(report));
  std::vector<std::string> environment = Environment(set);
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
  KeepAcrossExec(state, {stateFile, report}, false);
  ::close(stateFile);
  if (report >= 0) StandDownUpgradeGuard(report);
  Notify("READY=1");
  Fail(running, "Error starting the new server: " + Words(failed));
}

// The upgrade's own thread: the probe while play goes on, then the last quiet, tried
// again while what is in flight does not settle.
void RunUpgrade(Running& running, int probeFile) {
  bool reportsReady = false;
  const base::Status probed = upgrade_process::Probe(running.executable, probeFile, reportsReady);
  ::close(probeFile);
  std::unique_lock<core::FairLock> lock(core::ConnectionLock);
  if (!probed.ok()) return Refuse(probed.Text());
  Current.reportsReady = reportsReady;
  core::Log("The new build can take over: play stops while the world is saved and handed over.\n");
  const Clock::time_point giveUpAt = Clock::now() + kUpgradeWait;
  for (;;) {
    Current.step = Step::Quiet;
    Current.settled = false;
    Current.quietEnds = std::min(giveUpAt, Clock::now() + kQuietLimit);
    running.standstill.Ask();
    running.layer.BeginQuiet(
        Current.console,
        [&running](bool settled) {
          Current.settled = settled && core::WorkerQueueLength() == 0 &&
                            running.standstill.Still() == kStandingThreads;
          return Current.settled || Clock::now() >= Current.quietEnds;
        },
        [&running] { HandOver(running); });
    StepChanged.wait(lock, [] { return Current.step != Step::Quiet; });
    if (Current.step == Step::Over) return;
    if (Clock::now() >= giveUpAt) {
      return Refuse("What was in flight did not finish within 10 seconds; nothing was upgraded.");
    }
    lock.unlock();
    std::this_thread::sleep_for(kQuietLimit);
    lock.lock();
  }
}

}  // namespace

std::optional<ConsoleAnswer> BeginUpgrade(Running& running, connection::Socket console, std::string announcement) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Current.active) return ConsoleAnswer{"An upgrade is under way.\n", 1};
  if (running.executable.empty()) return ConsoleAnswer{"The server cannot tell where its executable is.\n", 1};
  // The state as it is now, for the probe alone: what it proves is that the new build
  // reads this build's state.
  std::vector<connection::Socket> uncarried;
  int error = 0;
  const int probeFile = StateFile(WriteUpgradeState(Collect(running, console, announcement, uncarried)), error);
  if (probeFile < 0) return ConsoleAnswer{"Error writing the upgrade's state: " + Words(error) + "\n", 1};
  Current.active = true;
  Current.step = Step::Probing;
  Current.console = console;
  Current.announcement = std::move(announcement);
  Current.reportsReady = false;
  Current.answer = running.console.Later(console);
  core::Log("Upgrade asked for: the new build at " + running.executable + " reads the state while play goes on.\n");
  std::thread([&running, probeFile] { RunUpgrade(running, probeFile); }).detach();
  return std::nullopt;
}

}  // namespace server
