#include "server/metrics.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "commands/allowances.h"
#include "core/connection_lock.h"
#include "core/worker.h"
#include "world/character.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// What the server has measured of itself. One per process: the server is the process.
struct Measures {
  const Clock::time_point started = Clock::now();
  std::atomic<std::int64_t> lastTickNanoseconds{0};
  std::mutex mutex;  // guards the save figures, which the saver's thread writes too
  double lastSaveSeconds = 0;      // the last write of a snapshot, on the saver's thread
  double lastSnapshotSeconds = 0;  // the last snapshot taken for the saver
};
Measures Measured;

double SecondsSince(Clock::time_point began) {
  return std::chrono::duration<double>(Clock::now() - began).count();
}

void Metric(std::string& out, const char* name, const char* type, const char* help) {
  out += "# TYPE ";
  out += name;
  out += " ";
  out += type;
  out += "\n# HELP ";
  out += name;
  out += " ";
  out += help;
  out += "\n";
}

void Value(std::string& out, const std::string& sample, double value) {
  char number[64];
  std::snprintf(number, sizeof number, " %.9g\n", value);
  out += sample;
  out += number;
}

}  // namespace

void SaveInBackgroundTimed(persist::SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Clock::time_point began = Clock::now();
  persist::SaveInBackground([began, done = std::move(done)](bool saved) {
    {
      std::lock_guard<std::mutex> guard(Measured.mutex);
      Measured.lastSaveSeconds = SecondsSince(began);
    }
    if (done) done(saved);
  });
  std::lock_guard<std::mutex> guard(Measured.mutex);
  Measured.lastSnapshotSeconds = SecondsSince(began);
}

void NoteTick(std::chrono::nanoseconds took) {
  Measured.lastTickNanoseconds.store(took.count(), std::memory_order_relaxed);
}

std::chrono::nanoseconds LastTickDuration() {
  return std::chrono::nanoseconds(Measured.lastTickNanoseconds.load(std::memory_order_relaxed));
}

Clock::time_point ServerStartTime() { return Measured.started; }

std::string RenderMetrics(const connection::ConnectionLayer& layer) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::map<std::string, int> doors{{"game", 0}};
  double backlog = 0;
  for (const connection::ConnectionSummary& c : layer.Summaries()) {
    ++doors[c.door];
    backlog += static_cast<double>(c.backlog);
  }
  std::string out;
  Metric(out, "pelthollow_players", "gauge", "Characters in play.");
  Value(out, "pelthollow_players", static_cast<double>(world::InPlay().size()));
  Metric(out, "pelthollow_connections", "gauge", "Live connections by door.");
  for (const auto& [door, count] : doors) {
    Value(out, "pelthollow_connections{door=\"" + door + "\"}", count);
  }
  Metric(out, "pelthollow_lines", "counter", "Lines handled.");
  Value(out, "pelthollow_lines_total", static_cast<double>(layer.LinesHandled()));
  Metric(out, "pelthollow_refusals", "counter", "Refusals by limit.");
  using connection::LimitKind;
  const auto& book = layer.Book();
  Value(out, "pelthollow_refusals_total{limit=\"connections\"}",
        static_cast<double>(book.RefusalCount(LimitKind::Connections)));
  Value(out, "pelthollow_refusals_total{limit=\"failed_logins\"}",
        static_cast<double>(commands::AllowanceRefusals(LimitKind::FailedLogins)));
  Value(out, "pelthollow_refusals_total{limit=\"new_characters\"}",
        static_cast<double>(commands::AllowanceRefusals(LimitKind::NewCharacters)));
  Value(out, "pelthollow_refusals_total{limit=\"lines_per_second\"}",
        static_cast<double>(book.RefusalCount(LimitKind::LinesPerSecond)));
  Value(out, "pelthollow_refusals_total{limit=\"banned\"}", static_cast<double>(layer.BannedRefusals()));
  Metric(out, "pelthollow_tick_seconds", "gauge", "Duration of the last world tick.");
  Value(out, "pelthollow_tick_seconds", std::chrono::duration<double>(LastTickDuration()).count());
  double snapshot = 0;
  double save = 0;
  {
    std::lock_guard<std::mutex> guard(Measured.mutex);
    snapshot = Measured.lastSnapshotSeconds;
    save = Measured.lastSaveSeconds;
  }
  Metric(out, "pelthollow_save_snapshot_seconds", "gauge",
         "Duration of the last snapshot handed to the background saver.");
  Value(out, "pelthollow_save_snapshot_seconds", snapshot);
  Metric(out, "pelthollow_save_seconds", "gauge", "Duration of the last write of the save file.");
  Value(out, "pelthollow_save_seconds", save);
  Metric(out, "pelthollow_save_failed", "gauge", "1 while the newest save has failed.");
  Value(out, "pelthollow_save_failed", persist::SaveFailedLast() ? 1 : 0);
  Metric(out, "pelthollow_output_backlog_bytes", "gauge", "Output waiting to be sent, all connections.");
  Value(out, "pelthollow_output_backlog_bytes", backlog);
  Metric(out, "pelthollow_hash_queue_length", "gauge", "Passwords waiting to be hashed.");
  Value(out, "pelthollow_hash_queue_length", static_cast<double>(core::WorkerQueueLength()));
  Metric(out, "pelthollow_uptime_seconds", "gauge", "Time since the server started.");
  Value(out, "pelthollow_uptime_seconds", SecondsSince(Measured.started));
  out += "# EOF\n";
  return out;
}

}  // namespace server
