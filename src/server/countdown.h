// The end of the server: the countdown the console starts ("The server is going down
// in 5 minutes."), the signals that end it at once (SIGINT, SIGTERM, SIGHUP), the last
// words to the players and the last save. The signal thread runs Countdown::Run; the
// console's commands call the rest with ConnectionLock held.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "base/status.h"
#include "connection/connection_layer.h"

namespace server {

// Queues `text` for every admitted game player and flushes. REQUIRES: ConnectionLock held.
void TellEveryone(connection::ConnectionLayer& layer, std::string_view text);

// "5 minutes", "1 minute", "90 seconds": how the countdown names the time left.
std::string TimeLeftText(int seconds);

// The signals that end the server: blocked in every thread before any starts, taken
// by the signal thread alone.
sigset_t ShutdownSignals();

class Countdown {
 public:
  // What the end does after the last words: the save (false: the process ends with
  // 1), and what to remove (the console's socket).
  struct Ending {
    std::function<bool()> save;
    std::string consolePath;
  };

  Countdown(connection::ConnectionLayer& layer, Ending ending);

  // Readies the signal thread's wait. Before any thread but the caller exists.
  base::Status Init();

  // A shutdown `seconds` from now, announced at once ("The server is going down in 5
  // minutes.") and again at 10, 5 and 1 minutes, 30 and 10 seconds; a countdown
  // already running is replaced. When it is due, every player is told "The server is
  // going down now.", the world is saved and the process ends with 0 (1 when the save
  // failed), as at SIGTERM. REQUIRES: ConnectionLock held.
  void Schedule(int seconds);
  // Stops the countdown; false when none was running. REQUIRES: ConnectionLock held.
  bool Cancel();

  // The signal thread: waits for a shutdown signal or the countdown's next step, and
  // ends the process when either is due. Signals that arrive during the end are
  // ignored. Never returns.
  [[noreturn]] void Run();

 private:
  int MillisecondsToNextStep();
  void Announce();
  [[noreturn]] void EndNow();

  connection::ConnectionLayer& layer_;
  Ending ending_;
  int signals_ = -1;  // signalfd of ShutdownSignals
  int wake_ = -1;     // eventfd: the countdown changed
  // State below is guarded by mutex_.
  std::mutex mutex_;
  bool running_ = false;
  std::chrono::steady_clock::time_point due_{};
  std::size_t nextStep_ = 0;  // index into the steps of the next announcement
};

}  // namespace server
