#include "server/countdown.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/connection_lock.h"
#include "core/log.h"
#include "core/outbox.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kGoingDownNow = "The server is going down now.";
// The time left at which a countdown is announced again, longest first.
constexpr int kSteps[] = {600, 300, 60, 30, 10};
// What the last words to the players may take to leave before the save.
constexpr auto kLastWordsTime = std::chrono::seconds(2);

}  // namespace

void TellEveryone(connection::ConnectionLayer& layer, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const connection::ConnectionSummary& c : layer.Summaries()) {
    if (c.player) {
      core::QueueMessage(c.socket, text);
    }
  }
  core::FlushOutbox();
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

void Countdown::Schedule(int seconds) {
  ASSERT_CONNECTION_LOCK_HELD();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    running_ = true;
    due_ = Clock::now() + std::chrono::seconds(seconds);
    nextStep_ = 0;
    while (nextStep_ < std::size(kSteps) && kSteps[nextStep_] >= seconds) ++nextStep_;
  }
  if (seconds > 0) TellEveryone(layer_, "The server is going down in " + TimeLeftText(seconds) + ".");
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

bool Countdown::Cancel() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::lock_guard<std::mutex> guard(mutex_);
  const bool was = running_;
  running_ = false;
  return was;
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
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!running_) return;
    const Clock::time_point now = Clock::now();
    if (now < due_) {
      while (nextStep_ < std::size(kSteps) && now >= due_ - std::chrono::seconds(kSteps[nextStep_])) {
        step = kSteps[nextStep_++];
      }
      if (step == 0) return;
    }
  }
  if (step == 0) EndNow();
  std::lock_guard<core::FairLock> guard(core::ConnectionLock);
  {
    std::lock_guard<std::mutex> cancelled(mutex_);
    if (!running_) return;
  }
  TellEveryone(layer_, "The server is going down in " + TimeLeftText(step) + ".");
}

// Tells every player, saves and ends the process: the end of every shutdown. The lock
// is never given back, so nothing changes the world after the save.
void Countdown::EndNow() {
  core::ConnectionLock.lock();
  core::Log("Shutting down\n");
  TellEveryone(layer_, kGoingDownNow);
  layer_.SendEverything(kLastWordsTime);
  const bool saved = !ending_.save || ending_.save();
  if (saved) {
    core::Log("Final save done.\n");
  } else {
    core::Log("Final save failed; the exit code is 1.\n", core::LogPriority::Error);
  }
  if (!ending_.consolePath.empty()) ::unlink(ending_.consolePath.c_str());
  core::FlushLogBeforeExit();
  std::_Exit(saved ? 0 : 1);
}

void Countdown::Run() {
  for (;;) {
    pollfd waits[2] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int ready = ::poll(waits, 2, MillisecondsToNextStep());
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) EndNow();
    if (ready > 0 && (waits[1].revents & POLLIN) != 0) {
      std::uint64_t ignored;
      [[maybe_unused]] const ssize_t n = ::read(wake_, &ignored, sizeof ignored);
    }
    Announce();
  }
}

}  // namespace server
