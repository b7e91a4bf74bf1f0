// The end of the server: the countdown the console starts ("The server is going down
// in 5 minutes.", or "The server is restarting in 5 minutes."), the signals that end it
// at once (SIGINT, SIGTERM, SIGHUP), the last words to the players and the last save.
// The signal thread runs Countdown::Run; the console's commands call the rest with
// ConnectionLock held.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "connection/connection_layer.h"
#include "server/standstill.h"

namespace server {

// Queues `text` for every admitted game player and flushes. REQUIRES: ConnectionLock held.
void TellEveryone(connection::ConnectionLayer& layer, std::string_view text);

// "5 minutes", "1 minute", "90 seconds": how the countdown names the time left.
std::string TimeLeftText(int seconds);

// The signals that end the server: blocked in every thread before any starts, taken
// by the signal thread alone.
sigset_t ShutdownSignals();

// The exit code of a restart (EX_TEMPFAIL): pelthollow.service starts the server again
// on it (RestartForceExitStatus=75), and on no other code it ends with by choice.
inline constexpr int kRestartExitCode = 75;

// What a countdown ends in: a stop (exit code 0) or a restart (kRestartExitCode).
enum class CountdownKind { Shutdown, Restart };

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
  // already running, of either kind, is replaced. When it is due, every player is told
  // "The server is going down now.", the world is saved and the process ends with 0 (1
  // when the save failed), as at SIGTERM. A Restart says "The server is restarting in
  // 5 minutes." and "The server is restarting now." instead, and ends with
  // kRestartExitCode (1 when the save failed). REQUIRES: ConnectionLock held.
  void Schedule(int seconds, CountdownKind kind = CountdownKind::Shutdown);
  // Stops the countdown and returns its kind; nullopt when none was running.
  // REQUIRES: ConnectionLock held.
  std::optional<CountdownKind> Cancel();

  // The signal thread: waits for a shutdown signal or the countdown's next step, and
  // ends the process when either is due; a signal is a shutdown, whatever countdown
  // runs. Signals that arrive during the end are ignored. Stands still while
  // `standstill` asks (an upgrade), leaving signals pending. Never returns.
  [[noreturn]] void Run(Standstill& standstill);

  // The countdown as an upgrade carries it, and the countdown taken up again in the new
  // process before its threads start. REQUIRES: ConnectionLock held.
  struct Carried {
    bool running = false;
    CountdownKind kind = CountdownKind::Shutdown;
    std::chrono::steady_clock::time_point due{};
    std::size_t nextStep = 0;
  };
  Carried Carry();
  void Adopt(const Carried& carried);

 private:
  int MillisecondsToNextStep();
  void Announce();
  [[noreturn]] void EndNow(CountdownKind kind);

  connection::ConnectionLayer& layer_;
  Ending ending_;
  int signals_ = -1;  // signalfd of ShutdownSignals
  int wake_ = -1;     // eventfd: the countdown changed
  // State below is guarded by mutex_.
  std::mutex mutex_;
  bool running_ = false;
  CountdownKind kind_ = CountdownKind::Shutdown;
  std::chrono::steady_clock::time_point due_{};
  std::size_t nextStep_ = 0;  // index into the steps of the next announcement
};

}  // namespace server
