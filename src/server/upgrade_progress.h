// Where an upgrade of the running server stands (server/upgrade.h): the one in
// progress, or none, as the running server keeps it (server/running.h). Guarded by
// ConnectionLock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>

#include "connection/connection.h"
#include "server/console.h"

namespace server {

enum class UpgradeStep {
  Probing,    // the new build reads the state; play goes on
  Quiet,      // the last quiet waits for what is in flight
  Unsettled,  // it did not settle in time: play went on, and it is tried again
  Over,       // answered (the exec failed, or something before it)
};

struct UpgradeProgress {
  bool active = false;
  UpgradeStep step = UpgradeStep::Over;
  core::Socket console = core::kNoSocket;
  std::string announcement;
  bool reportsReady = false;                          // the new build tells a guard when it serves
  std::chrono::steady_clock::time_point quietEnds{};  // when this quiet gives up
  bool settled = false;
  std::function<void(ConsoleAnswer)> answer;
  std::condition_variable_any stepChanged;  // `step` left Quiet; waited on with ConnectionLock
  // The pipe to the guard the old process left, until this process serves; -1: none.
  // Set before the threads start, used once on the main thread.
  int readyReport = -1;
};

}  // namespace server
