#include "app/metrics.h"

#include <chrono>
#include <cstdio>
#include <map>

#include "persist/saver.h"
#include "server/address_limits.h"
#include "server/bans.h"
#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/server.h"
#include "world/character.h"

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds the last save of each kind took. Guarded by ConnectionLock.
double LastSaveSeconds = 0;
double LastSnapshotSeconds = 0;

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

bool TimedSave() {
  ASSERT_CONNECTION_LOCK_HELD();
  const Clock::time_point began = Clock::now();
  const bool saved = persist::SaveBeforeExit();
  LastSaveSeconds = SecondsSince(began);
  return saved;
}

void TimedSaveInBackground() {
  ASSERT_CONNECTION_LOCK_HELD();
  const Clock::time_point began = Clock::now();
  persist::SaveInBackground();
  LastSnapshotSeconds = SecondsSince(began);
}

std::size_t HashQueueLength() { return 0; }

std::string RenderMetrics() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::map<std::string, int> doors{{"game", 0}};
  double backlog = 0;
  for (const server::ConnectionSummary& c : server::Connections().Summaries()) {
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
  Value(out, "pelthollow_lines_total", static_cast<double>(server::Connections().LinesHandled()));
  Metric(out, "pelthollow_refusals", "counter", "Refusals by limit.");
  const std::pair<const char*, server::LimitKind> kinds[] = {
      {"connections", server::LimitKind::Connections},
      {"failed_logins", server::LimitKind::FailedLogins},
      {"new_characters", server::LimitKind::NewCharacters},
      {"lines_per_second", server::LimitKind::LinesPerSecond}};
  for (const auto& [name, kind] : kinds) {
    Value(out, std::string("pelthollow_refusals_total{limit=\"") + name + "\"}",
          static_cast<double>(server::RefusalCount(kind)));
  }
  Value(out, "pelthollow_refusals_total{limit=\"banned\"}", static_cast<double>(server::BannedRefusals()));
  Metric(out, "pelthollow_tick_seconds", "gauge", "Duration of the last world tick.");
  Value(out, "pelthollow_tick_seconds",
        std::chrono::duration<double>(server::LastTickDuration()).count());
  Metric(out, "pelthollow_save_snapshot_seconds", "gauge",
         "Duration of the last snapshot handed to the background saver.");
  Value(out, "pelthollow_save_snapshot_seconds", LastSnapshotSeconds);
  Metric(out, "pelthollow_save_seconds", "gauge", "Duration of the last save asked for by the console.");
  Value(out, "pelthollow_save_seconds", LastSaveSeconds);
  Metric(out, "pelthollow_save_failed", "gauge", "1 while the newest save has failed.");
  Value(out, "pelthollow_save_failed", persist::SaveFailedLast() ? 1 : 0);
  Metric(out, "pelthollow_output_backlog_bytes", "gauge", "Output waiting to be sent, all connections.");
  Value(out, "pelthollow_output_backlog_bytes", backlog);
  Metric(out, "pelthollow_hash_queue_length", "gauge", "Passwords waiting to be hashed.");
  Value(out, "pelthollow_hash_queue_length", static_cast<double>(HashQueueLength()));
  Metric(out, "pelthollow_uptime_seconds", "gauge", "Time since the server started.");
  Value(out, "pelthollow_uptime_seconds",
        std::chrono::duration<double>(Clock::now() - server::ServerStartTime()).count());
  out += "# EOF\n";
  return out;
}

}  // namespace app
