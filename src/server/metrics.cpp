#include "server/metrics.h"

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/connection_lock.h"
#include "core/log.h"
#include "server/exposition.h"
#include "server/process_figures.h"
#include "telnet/client_query.h"

// The build's version; the build sets it from its one version value.
#ifndef PELTHOLLOW_VERSION
#define PELTHOLLOW_VERSION "0.1.0"
#endif

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Counts of observations at most each bound, as Prometheus' histograms keep them.
class DurationHistogram {
 public:
  explicit DurationHistogram(std::vector<double> bounds)
      : bounds_(std::move(bounds)), counts_(bounds_.size(), 0) {}

  // Any thread.
  void Note(double value) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
      if (value <= bounds_[i]) ++counts_[i];  // each bucket holds the ones below it
    }
    sum_ += value;
    ++count_;
  }

  using Reading = HistogramReading;
  Reading Read() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return {bounds_, counts_, sum_, count_};
  }
  // Counts carried from an older process; ones of other bounds are left.
  void Restore(const std::vector<std::uint64_t>& counts, double sum, std::uint64_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (counts.size() != counts_.size()) return;
    counts_ = counts;
    sum_ = sum;
    count_ = count;
  }

 private:
  const std::vector<double> bounds_;  // ascending, in seconds
  // State below is guarded by mutex_.
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> counts_;
  double sum_ = 0;
  std::uint64_t count_ = 0;
};

}  // namespace

// What the server has measured of itself.
struct Metrics::Measures {
  Clock::time_point started = Clock::now();  // changed only before the threads run
  std::atomic<std::int64_t> lastTickNanoseconds{0};
  DurationHistogram ticks{
      {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1}};
  DurationHistogram saves{{0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}};
  std::atomic<std::uint64_t> savesDone{0};
  std::atomic<std::uint64_t> savesFailed{0};
  std::atomic<std::int64_t> lastSaveDone{0};  // Unix seconds; 0: none yet
  std::atomic<std::uint64_t> kicks{0};
  std::atomic<std::uint64_t> acceptErrors{0};
  mutable std::mutex mutex;        // guards lastSnapshotSeconds
  double lastSnapshotSeconds = 0;  // the last snapshot taken for the saver
};

namespace {

using Measures = Metrics::Measures;

double SecondsSince(Clock::time_point began) {
  return std::chrono::duration<double>(Clock::now() - began).count();
}

void RenderConnections(Exposition& out, const Measures& measured, const MetricsSources& from,
                       const std::vector<std::string>& doors) {
  const connection::ConnectionLayer& layer = from.layer;
  const commands::Interpreter& game = from.game;
  std::map<std::string, double> connections;
  for (const std::string& door : doors) connections[door] = 0;
  std::map<std::string_view, double> clients;
  for (const std::string_view client : telnet::kKnownClients) clients[client] = 0;
  clients[telnet::kOtherClient] = 0;
  double backlog = 0;
  for (const connection::ConnectionSummary& c : layer.Summaries()) {
    ++connections[c.door];
    if (!c.client.empty()) ++clients[telnet::ClientLabel(c.client)];
    backlog += static_cast<double>(c.backlog);
  }
  // The scrape being answered is a connection of the metrics door: it is left out.
  if (const auto scrape = connections.find("metrics");
      scrape != connections.end() && scrape->second > 0) {
    --scrape->second;
  }
  out.Family("pelthollow_connections", MetricKind::Gauge,
             "Live connections by door, this scrape left out.");
  for (const auto& [door, count] : connections)
    out.Sample("", "{door=\"" + LabelValue(door) + "\"}", count);
  out.Family("pelthollow_clients", MetricKind::Gauge,
             "Live connections by the client program they named (telnet's TTYPE).");
  for (const auto& [client, count] : clients)
    out.Sample("", "{client=\"" + LabelValue(client) + "\"}", count);
  out.Gauge("pelthollow_output_backlog_bytes", "Output waiting to be sent, all connections.",
            backlog);
  out.Counter("pelthollow_lines", "Lines handled.", static_cast<double>(layer.LinesHandled()));
  using connection::LimitKind;
  const auto& book = layer.Book();
  const std::pair<const char*, std::uint64_t> refusals[] = {
      {"connections", book.RefusalCount(LimitKind::Connections)},
      {"failed_logins", game.allowances.Refusals(LimitKind::FailedLogins)},
      {"new_characters", game.allowances.Refusals(LimitKind::NewCharacters)},
      {"lines_per_second", book.RefusalCount(LimitKind::LinesPerSecond)},
      {"speech_heard", game.allowances.SpeechHeardRefusals()},
      {"cell_speech", game.allowances.CellSpeechRefusals()},
      {"handshakes_per_second", book.RefusalCount(LimitKind::Handshakes)},
      {"banned", layer.BannedRefusals()},
  };
  out.Family("pelthollow_refusals", MetricKind::Counter, "Refusals by limit.");
  for (const auto& [limit, count] : refusals) {
    out.Sample("_total", std::string("{limit=\"") + limit + "\"}", static_cast<double>(count));
  }
  out.Counter("pelthollow_accept_errors", "Accepts that failed.",
              static_cast<double>(measured.acceptErrors.load(std::memory_order_relaxed)));
}

void RenderGame(Exposition& out, const Measures& measured, const MetricsSources& from) {
  const commands::Interpreter& game = from.game;
  out.Gauge("pelthollow_players", "Characters in play.",
            static_cast<double>(from.world.characters.InPlay().size()));
  using commands::LoginResult;
  const std::pair<const char*, LoginResult> logins[] = {
      {"success", LoginResult::Success},
      {"wrong_password", LoginResult::WrongPassword},
      {"unknown_name", LoginResult::UnknownName},
      {"refused", LoginResult::Refused},
      {"banned", LoginResult::Banned},
      {"busy", LoginResult::Busy},
  };
  out.Family("pelthollow_logins", MetricKind::Counter, "Logins by how they ended.");
  for (const auto& [name, result] : logins) {
    out.Sample("_total", std::string("{result=\"") + name + "\"}",
               static_cast<double>(game.logins.Of(result)));
  }
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  double addressBans = 0;
  for (const connection::AddressBan& ban : from.layer.Bans().Addresses()) {
    if (ban.until == 0 || ban.until > now) ++addressBans;
  }
  out.Family("pelthollow_bans", MetricKind::Gauge, "Bans in force by kind.");
  out.Sample("", "{kind=\"address\"}", addressBans);
  out.Sample("", "{kind=\"name\"}", static_cast<double>(from.layer.Bans().Names().size()));
  out.Gauge("pelthollow_mutes", "Mutes in force.", static_cast<double>(game.mutes.InForce()));
  out.Counter("pelthollow_kicks", "Connections the console kicked.",
              static_cast<double>(measured.kicks.load(std::memory_order_relaxed)));
  out.Histogram("pelthollow_tick_seconds", "Durations of the world ticks.", measured.ticks.Read());
}

void RenderSaves(Exposition& out, const Measures& measured, const MetricsSources& from) {
  out.Family("pelthollow_saves", MetricKind::Counter, "Saves of the world by result.");
  out.Sample("_total", "{result=\"success\"}", static_cast<double>(measured.savesDone.load()));
  out.Sample("_total", "{result=\"failure\"}", static_cast<double>(measured.savesFailed.load()));
  out.Histogram("pelthollow_save_seconds", "Durations of the saves, from snapshot to disk.",
                measured.saves.Read());
  out.Gauge("pelthollow_last_save_success_timestamp_seconds",
            "When the last save that worked ended; 0: none yet.",
            static_cast<double>(measured.lastSaveDone.load()));
  double snapshot = 0;
  {
    std::lock_guard<std::mutex> guard(measured.mutex);
    snapshot = measured.lastSnapshotSeconds;
  }
  out.Gauge("pelthollow_save_snapshot_seconds",
            "Duration of the last snapshot handed to the background saver.", snapshot);
  out.Gauge("pelthollow_save_failed", "1 while the newest save has failed.",
            from.saver.FailedLast() ? 1 : 0);
}

void RenderProcess(Exposition& out, const Measures& measured, const MetricsSources& from) {
  out.Family("pelthollow_build", MetricKind::Info, "The build that runs.");
  out.Sample("_info", "{version=\"" + LabelValue(PELTHOLLOW_VERSION) + "\"}", 1);
  out.Gauge("pelthollow_uptime_seconds", "Time since the server started.",
            SecondsSince(measured.started));
  out.Gauge("pelthollow_hash_queue_length", "Passwords waiting to be hashed.",
            static_cast<double>(from.worker.QueueLength()));
  out.Counter("pelthollow_password_helper_restarts", "Password helpers started again after one ended or hung.",
              static_cast<double>(from.worker.Hasher().Restarts()));
  out.Counter("pelthollow_log_lines_left_out",
              "Log lines left out over a budget or while the output was full.",
              static_cast<double>(core::LogLinesLeftOut()));
  // Left out when /proc cannot be read.
  if (const std::optional<ProcessFigures> figures = ReadProcessFigures()) {
    out.Gauge("process_start_time_seconds", "Start time of the process since the Unix epoch.",
              figures->startTime);
    out.Gauge("process_resident_memory_bytes", "Resident memory size.", figures->residentBytes);
    out.Counter("process_cpu_seconds", "User and system CPU time spent.", figures->cpuSeconds);
  }
  if (const std::optional<double> descriptors = OpenDescriptors()) {
    out.Gauge("process_open_fds", "Open file descriptors.", *descriptors);
  }
}

}  // namespace

Metrics::Metrics() : measured_(std::make_unique<Measures>()) {}

Metrics::~Metrics() = default;

void Metrics::SaveTimed(persist::Saver& saver, persist::SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Clock::time_point began = Clock::now();
  Measures& measured = *measured_;
  saver.SaveInBackground([&measured, began, done = std::move(done)](bool saved) {
    measured.saves.Note(SecondsSince(began));
    if (saved) {
      measured.savesDone.fetch_add(1);
      measured.lastSaveDone.store(static_cast<std::int64_t>(std::time(nullptr)));
    } else {
      measured.savesFailed.fetch_add(1);
    }
    if (done) done(saved);
  });
  std::lock_guard<std::mutex> guard(measured.mutex);
  measured.lastSnapshotSeconds = SecondsSince(began);
}

void Metrics::NoteTick(std::chrono::nanoseconds took) {
  Measures& measured = *measured_;
  measured.lastTickNanoseconds.store(took.count(), std::memory_order_relaxed);
  measured.ticks.Note(std::chrono::duration<double>(took).count());
}

std::chrono::nanoseconds Metrics::LastTickDuration() const {
  const Measures& measured = *measured_;
  return std::chrono::nanoseconds(measured.lastTickNanoseconds.load(std::memory_order_relaxed));
}

void Metrics::NoteKick() {
  Measures& measured = *measured_;
  measured.kicks.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::NoteAcceptError() {
  Measures& measured = *measured_;
  measured.acceptErrors.fetch_add(1, std::memory_order_relaxed);
}

Clock::time_point Metrics::StartTime() const {
  return measured_->started;
}

std::string Metrics::Render(const MetricsSources& from, const std::vector<std::string>& doors,
                            web::MetricsFormat format) const {
  ASSERT_CONNECTION_LOCK_HELD();
  Exposition out(format);
  RenderConnections(out, *measured_, from, doors);
  RenderGame(out, *measured_, from);
  RenderSaves(out, *measured_, from);
  RenderProcess(out, *measured_, from);
  return out.Finish();
}

CarriedMeasures Metrics::Carry() const {
  const Measures& measured = *measured_;
  CarriedMeasures carried;
  carried.started = connection::CarriedTime(measured.started);
  carried.lastTickNanoseconds = measured.lastTickNanoseconds.load();
  const DurationHistogram::Reading ticks = measured.ticks.Read();
  carried.ticks = {ticks.counts, ticks.sum, ticks.count};
  const DurationHistogram::Reading saves = measured.saves.Read();
  carried.saves = {saves.counts, saves.sum, saves.count};
  carried.savesDone = measured.savesDone.load();
  carried.savesFailed = measured.savesFailed.load();
  carried.lastSaveDone = measured.lastSaveDone.load();
  carried.kicks = measured.kicks.load();
  carried.acceptErrors = measured.acceptErrors.load();
  std::lock_guard<std::mutex> guard(measured.mutex);
  carried.lastSnapshotSeconds = measured.lastSnapshotSeconds;
  return carried;
}

void Metrics::Adopt(const CarriedMeasures& carried) {
  Measures& measured = *measured_;
  measured.started = connection::FromCarriedTime(carried.started);
  measured.lastTickNanoseconds = carried.lastTickNanoseconds;
  measured.ticks.Restore(carried.ticks.counts, carried.ticks.sum, carried.ticks.count);
  measured.saves.Restore(carried.saves.counts, carried.saves.sum, carried.saves.count);
  measured.savesDone = carried.savesDone;
  measured.savesFailed = carried.savesFailed;
  measured.lastSaveDone = carried.lastSaveDone;
  measured.kicks = carried.kicks;
  measured.acceptErrors = carried.acceptErrors;
  std::lock_guard<std::mutex> guard(measured.mutex);
  measured.lastSnapshotSeconds = carried.lastSnapshotSeconds;
}

}  // namespace server
