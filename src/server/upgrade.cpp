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
UpgradeState Collect(Running& running, core::Socket console, const std::string& announcement,
                     std::vector<core::Socket>& uncarried) {
  UpgradeState state;
  state.writer = std::string(base::Version());
  state.folderLock = running.folderLock;
  for (const Listener& listener : running.listeners) state.listeners.push_back({listener.doorName, listener.socket});
  state.layer = running.layer.Carry(uncarried);
  running.game.Carry(state);
  state.measures = running.metrics.Carry();
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
  all.insert(all.end(), state.layer.connections.begin(), state.layer.connections.end());
  all.insert(all.end(), state.layer.drains.begin(), state.layer.drains.end());
  for (const int fd : all) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, keep ? 0 : FD_CLOEXEC);
  }
}

// The upgrade is over, changing nothing: the console is told why. REQUIRES:
// ConnectionLock held, no quiet.
void Refuse(UpgradeProgress& upgrade, const std::string& why) {
  core::Log("Upgrade failed: " + why + "\n", core::LogPriority::Error);
  upgrade.active = false;
  upgrade.step = UpgradeStep::Over;
  upgrade.stepChanged.notify_all();
  upgrade.answer({why + "\n", 1});
}

// As Refuse, from inside the last quiet, which ends.
void Fail(Running& running, const std::string& why) {
  running.layer.EndQuiet();
  running.standstill.Lift();
  Refuse(running.upgrade, why);
}

// The last quiet's work: the save, the state, the guard and the exec, which does not
// return when it works. REQUIRES: ConnectionLock held, inside the quiet.
void HandOver(Running& running) {
  UpgradeProgress& upgrade = running.upgrade;
  if (!upgrade.settled) {  // play goes on a while, and the quiet is tried again
    running.layer.EndQuiet();
    running.standstill.Lift();
    upgrade.step = UpgradeStep::Unsettled;
    upgrade.stepChanged.notify_all();
    return;
  }
  if (!running.saver.BeforeExit()) {
    return Fail(running, "The world could not be saved (see the log); nothing was upgraded.");
  }
  // The operator's connection is held for its answer, but the server may have ended it
  // meanwhile (its memory's cap): its number may be another's by now.
  bool console = false;
  for (const connection::ConnectionSummary& c : running.layer.Summaries()) {
    console = console || (c.socket == upgrade.console && std::string_view(c.door) == "console");
  }
  if (!console) upgrade.console = core::kNoSocket;
  std::vector<core::Socket> uncarried;
  UpgradeState state = Collect(running, upgrade.console, upgrade.announcement, uncarried);
  if (!uncarried.empty()) {
    // The TLS players are let go, and the state taken again without them.
    running.layer.EndUncarried(uncarried, kRestartingText);
    uncarried.clear();
    state = Collect(running, upgrade.console, upgrade.announcement, uncarried);
  }
  int error = 0;
  const int stateFile = StateFile(WriteUpgradeState(state), error);
  if (stateFile < 0) return Fail(running, "Error writing the upgrade's state: " + Words(error));
  int report = -1;
  if (std::getenv("NOTIFY_SOCKET") == nullptr) {  // under systemd its watchdog covers the exec
    std::string failure = "the new build does not say when it serves.";
    if (upgrade.reportsReady)
      report = StartUpgradeGuard(running.executable, upgrade.console, failure);
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
  // The new process starts a helper of its own; this one must not be left to it unreaped.
  running.worker.Hasher().StopHelper();
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
  UpgradeProgress& upgrade = running.upgrade;
  bool reportsReady = false;
  const base::Status probed = upgrade_process::Probe(running.executable, probeFile, reportsReady);
  ::close(probeFile);
  std::unique_lock<core::FairLock> lock(core::ConnectionLock);
  if (!probed.ok()) return Refuse(upgrade, probed.Text());
  upgrade.reportsReady = reportsReady;
  core::Log("The new build can take over: play stops while the world is saved and handed over.\n");
  const Clock::time_point giveUpAt = Clock::now() + kUpgradeWait;
  for (;;) {
    upgrade.step = UpgradeStep::Quiet;
    upgrade.settled = false;
    upgrade.quietEnds = std::min(giveUpAt, Clock::now() + kQuietLimit);
    running.standstill.Ask();
    running.layer.BeginQuiet(
        upgrade.console,
        [&running, &upgrade](bool settled) {
          upgrade.settled = settled && running.worker.QueueLength() == 0 &&
                            running.standstill.Still() == kStandingThreads;
          return upgrade.settled || Clock::now() >= upgrade.quietEnds;
        },
        [&running] { HandOver(running); });
    upgrade.stepChanged.wait(lock, [&upgrade] { return upgrade.step != UpgradeStep::Quiet; });
    if (upgrade.step == UpgradeStep::Over) return;
    if (Clock::now() >= giveUpAt) {
      return Refuse(upgrade,
                    "What was in flight did not finish within 10 seconds; nothing was upgraded.");
    }
    lock.unlock();
    std::this_thread::sleep_for(kQuietLimit);
    lock.lock();
  }
}

}  // namespace

std::optional<ConsoleAnswer> BeginUpgrade(Running& running, core::Socket console,
                                          std::string announcement) {
  ASSERT_CONNECTION_LOCK_HELD();
  UpgradeProgress& upgrade = running.upgrade;
  if (upgrade.active) return ConsoleAnswer{"An upgrade is under way.\n", 1};
  if (running.executable.empty()) return ConsoleAnswer{"The server cannot tell where its executable is.\n", 1};
  // The state as it is now, for the probe alone: what it proves is that the new build
  // reads this build's state.
  std::vector<core::Socket> uncarried;
  int error = 0;
  const int probeFile = StateFile(WriteUpgradeState(Collect(running, console, announcement, uncarried)), error);
  if (probeFile < 0) return ConsoleAnswer{"Error writing the upgrade's state: " + Words(error) + "\n", 1};
  upgrade.active = true;
  upgrade.step = UpgradeStep::Probing;
  upgrade.console = console;
  upgrade.announcement = std::move(announcement);
  upgrade.reportsReady = false;
  upgrade.answer = running.console.Later(console);
  core::Log("Upgrade asked for: the new build at " + running.executable + " reads the state while play goes on.\n");
  std::thread([&running, probeFile] { RunUpgrade(running, probeFile); }).detach();
  return std::nullopt;
}

}  // namespace server
