// What the server measures of itself, for the console's status and the metrics door
// (PELTHOLLOW_METRICS_PORT). The server owns one Metrics (server/running.h); its Note
// functions and readings say which thread may call them; Render requires
// ConnectionLock.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "commands/interpreter.h"
#include "connection/connection_layer.h"
#include "core/worker.h"
#include "persist/saver.h"
#include "web/web_rules.h"
#include "world/world.h"

namespace server {

// Everything measured so far, as an upgrade carries it to the next process, which goes
// on counting from it. Times on the monotonic clock in nanoseconds.
struct CarriedMeasures {
  struct Histogram {
    std::vector<std::uint64_t> counts;
    double sum = 0;
    std::uint64_t count = 0;
  };
  std::int64_t started = 0;
  std::int64_t lastTickNanoseconds = 0;
  Histogram ticks;
  Histogram saves;
  std::uint64_t savesDone = 0;
  std::uint64_t savesFailed = 0;
  std::int64_t lastSaveDone = 0;
  std::uint64_t kicks = 0;
  std::uint64_t acceptErrors = 0;
  double lastSnapshotSeconds = 0;
};

// What a scrape reads besides the measures: the connections, the game and the server's
// own parts.
struct MetricsSources {
  const connection::ConnectionLayer& layer;
  const world::World& world;
  const commands::Interpreter& game;
  const persist::Saver& saver;
  const core::Worker& worker;
};

class Metrics {
 public:
  Metrics();
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // The tick's save, or the console's: its snapshot handed to `saver` and timed until
  // the write that holds it ends, which counts it a success or a failure (two saves
  // whose snapshots one write holds count twice). `done` as
  // persist::Saver::SaveInBackground's. REQUIRES: ConnectionLock held.
  void SaveTimed(persist::Saver& saver, persist::SaveDone done = nullptr);

  // Notes how long one world tick took. Any thread.
  void NoteTick(std::chrono::nanoseconds took);
  std::chrono::nanoseconds LastTickDuration() const;

  // Counts a connection the console kicked, and an accept that failed. Any thread.
  void NoteKick();
  void NoteAcceptError();

  // When the server started (the monotonic clock). Any thread.
  std::chrono::steady_clock::time_point StartTime() const;

  CarriedMeasures Carry() const;
  // Before any thread but the caller's runs.
  void Adopt(const CarriedMeasures& carried);

  // Everything measured, in `format` (OpenMetrics ends with "# EOF"), for a scrape on a
  // connection of the metrics door: that connection is not counted among the metrics
  // door's. `doors` names the doors that are open; each has its connections' series,
  // 0 when it has none. REQUIRES: ConnectionLock held.
  std::string Render(const MetricsSources& from, const std::vector<std::string>& doors,
                     web::MetricsFormat format) const;

  struct Measures;  // metrics.cpp

 private:
  // Made once and kept: every thread counts into the one set of figures a scrape reads.
  std::unique_ptr<Measures> measured_;
};

}  // namespace server
