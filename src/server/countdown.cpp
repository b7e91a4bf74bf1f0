#include "server/countdown.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "core/connection_lock.h"
#include "core/log.h"
#include "core/outbox.h"
#include "server/notify.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// "The server is going down in 5 minutes.", "The server is restarting now.".
std::string Warning(CountdownKind kind, const std::string& when) {
  const char* what = kind == CountdownKind::Restart ? "restarting" : "going down";
  return std::string("The server is ") + what + " " + when + ".";
}

// The time left at which a countdown is announced again, longest first.
constexpr int kSteps[] = {600, 300, 60, 30, 10};
// What the last words to the players may take to leave before the save.
constexpr auto kLastWordsTime = std::chrono::seconds(2);

}  // namespace

void TellEveryone(connection::ConnectionLayer& layer, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const connection::ConnectionSummary& c : layer.Summaries()) {
    if (c.player) {
      layer.Outbox().Queue(c.socket, text);
    }
  }
  layer.Outbox().Flush();
}

std::string TimeLeftText(int seconds) {
  if (seconds >= 60 && seconds % 60 == 0) {
    const int minutes = seconds / 60;
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
  }
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

sigset_t ShutdownSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

Countdown::Countdown(connection::ConnectionLayer& layer, Ending ending)
    : layer_(layer), ending_(std::move(ending)) {}

base::Status Countdown::Init() {
  const sigset_t signals = ShutdownSignals();
  signals_ = ::signalfd(-1, &signals, SFD_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (signals_ < 0 || wake_ < 0) return base::Status::SystemError("", errno);
  return {};
}

void Countdown::Schedule(int seconds, CountdownKind kind) {
  ASSERT_CONNECTION_LOCK_HELD();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    running_ = true;
    kind_ = kind;
    due_ = Clock::now() + std::chrono::seconds(seconds);
    nextStep_ = 0;
    while (nextStep_ < std::size(kSteps) && kSteps[nextStep_] >= seconds) ++nextStep_;
  }
  if (seconds > 0) TellEveryone(layer_, Warning(kind, "in " + TimeLeftText(seconds)));
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

std::optional<CountdownKind> Countdown::Cancel() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::lock_guard<std::mutex> guard(mutex_);
  if (!running_) return std::nullopt;
  running_ = false;
  return kind_;
}

// Milliseconds until the countdown has something to do, -1 while none runs.
int Countdown::MillisecondsToNextStep() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!running_) return -1;
  Clock::time_point next = due_;
  if (nextStep_ < std::size(kSteps)) next = due_ - std::chrono::seconds(kSteps[nextStep_]);
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
  return wait.count() < 0 ? 0 : static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
}

// Announces the steps that are due, and ends the server when its time has come.
void Countdown::Announce() {
  int step = 0;
  CountdownKind kind = CountdownKind::Shutdown;
  Clock::time_point due;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!running_) return;
    kind = kind_;
    due = due_;
    const Clock::time_point now = Clock::now();
    if (now < due_) {
      while (nextStep_ < std::size(kSteps) && now >= due_ - std::chrono::seconds(kSteps[nextStep_])) {
        step = kSteps[nextStep_++];
      }
      if (step == 0) return;
    }
  }
  if (step == 0) EndNow(kind);
  std::lock_guard<core::FairLock> guard(core::ConnectionLock);
  {
    std::lock_guard<std::mutex> cancelled(mutex_);
    // Cancelled, or replaced by a countdown that has announced itself, meanwhile.
    if (!running_ || kind_ != kind || due_ != due) return;
  }
  TellEveryone(layer_, Warning(kind, "in " + TimeLeftText(step)));
}

// Tells every player, saves and ends the process: the end of every shutdown and
// restart. The lock is never given back, so nothing changes the world after the save.
void Countdown::EndNow(CountdownKind kind) {
  // From here the service manager waits for the end (TimeoutStopSec=) and no longer
  // for the watchdog, which the tick cannot feed while the save holds the lock.
  Notify("STOPPING=1");
  core::ConnectionLock.lock();
  if (kind == CountdownKind::Restart) {
    core::Log("Restarting: the process ends with exit code " +
              std::to_string(kRestartExitCode) + "\n");
  }
  core::Log("Shutting down\n");
  TellEveryone(layer_, Warning(kind, "now"));
  layer_.SendEverything(kLastWordsTime);
  const bool saved = !ending_.save || ending_.save();
  if (saved) {
    core::Log("Final save done.\n");
  } else {
    core::Log("Final save failed; the exit code is 1.\n", core::LogPriority::Error);
  }
  if (!ending_.consolePath.empty()) ::unlink(ending_.consolePath.c_str());
  core::FlushLogBeforeExit();
  std::_Exit(!saved ? 1 : kind == CountdownKind::Restart ? kRestartExitCode : 0);
}

Countdown::Carried Countdown::Carry() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::lock_guard<std::mutex> guard(mutex_);
  return {running_, kind_, due_, nextStep_};
}

void Countdown::Adopt(const Carried& carried) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::lock_guard<std::mutex> guard(mutex_);
  running_ = carried.running;
  kind_ = carried.kind;
  due_ = carried.due;
  nextStep_ = std::min(carried.nextStep, std::size(kSteps));
}

void Countdown::Run(Standstill& standstill) {
  for (;;) {
    pollfd waits[3] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}, {standstill.Descriptor(), POLLIN, 0}};
    const int ready = ::poll(waits, 3, MillisecondsToNextStep());
    if (ready > 0 && (waits[2].revents & POLLIN) != 0) {
      standstill.Keep();  // the signal waits, pending, for this process or the next
      continue;
    }
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) EndNow(CountdownKind::Shutdown);
    if (ready > 0 && (waits[1].revents & POLLIN) != 0) {
      std::uint64_t ignored;
      [[maybe_unused]] const ssize_t n = ::read(wake_, &ignored, sizeof ignored);
    }
    Announce();
  }
}

}  // namespace server
