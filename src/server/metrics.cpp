#include "server/metrics.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "commands/allowances.h"
#include "commands/logins.h"
#include "commands/mutes.h"
#include "connection/bans.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"
#include "world/character.h"

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

  struct Reading {
    std::vector<double> bounds;
    std::vector<std::uint64_t> counts;  // cumulative, one a bound
    double sum = 0;
    std::uint64_t count = 0;  // the +Inf bucket
  };
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

// What the server has measured of itself. One per process: the server is the process.
struct Measures {
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
  std::mutex mutex;                // guards lastSnapshotSeconds
  double lastSnapshotSeconds = 0;  // the last snapshot taken for the saver
};
Measures Measured;

double SecondsSince(Clock::time_point began) {
  return std::chrono::duration<double>(Clock::now() - began).count();
}

// The kinds of metric families the two text formats write.
enum class Kind { Gauge, Counter, Histogram, Info };

// Writes metric families in one of the two text formats. They differ in the names of
// counter and info families (OpenMetrics names the family without the "_total" or
// "_info" of its sample, Prometheus' format names it as its sample) and in "# EOF".
class Exposition {
 public:
  explicit Exposition(web::MetricsFormat format)
      : openMetrics_(format == web::MetricsFormat::OpenMetrics) {}

  // Begins the family `name`: a counter's without "_total", an info's without "_info".
  void Family(std::string_view name, Kind kind, std::string_view help) {
    family_ = name;
    std::string_view type = "gauge";
    if (kind == Kind::Counter) type = "counter";
    if (kind == Kind::Histogram) type = "histogram";
    if (kind == Kind::Info && openMetrics_) type = "info";
    std::string shown(name);
    if (!openMetrics_ && kind == Kind::Counter) shown += "_total";
    if (!openMetrics_ && kind == Kind::Info) shown += "_info";
    out_.append("# HELP ").append(shown).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(shown).append(" ").append(type).append("\n");
  }

  // A sample of the family begun last, named as the family and `suffix`; `labels` is
  // empty or `{name="value",...}`.
  void Sample(std::string_view suffix, std::string_view labels, double value) {
    out_.append(family_).append(suffix).append(labels).append(" ");
    AppendNumber(value);
    out_.push_back('\n');
  }

  void Gauge(std::string_view name, std::string_view help, double value) {
    Family(name, Kind::Gauge, help);
    Sample("", "", value);
  }
  void Counter(std::string_view name, std::string_view help, double value) {
    Family(name, Kind::Counter, help);
    Sample("_total", "", value);
  }
  void Histogram(std::string_view name, std::string_view help,
                 const DurationHistogram::Reading& reading) {
    Family(name, Kind::Histogram, help);
    for (std::size_t i = 0; i < reading.bounds.size(); ++i) {
      std::string labels = "{le=\"";
      labels += Number(reading.bounds[i], true);
      Sample("_bucket", labels + "\"}", static_cast<double>(reading.counts[i]));
    }
    Sample("_bucket", "{le=\"+Inf\"}", static_cast<double>(reading.count));
    Sample("_sum", "", reading.sum);
    Sample("_count", "", static_cast<double>(reading.count));
  }

  std::string Finish() {
    if (openMetrics_) out_ += "# EOF\n";
    return std::move(out_);
  }

  // The shortest decimal that reads back as `value`, fixed when that is no longer
  // ("1234", "0.25", "1e-05"), or always fixed ("0.00001").
  static std::string Number(double value, bool fixed = false) {
    char text[400];
    const auto [end, error] =
        fixed ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
              : std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "0";
  }

 private:
  void AppendNumber(double value) { out_ += Number(value); }

  bool openMetrics_;
  std::string family_;
  std::string out_;
};

// A label value as both formats quote it.
std::string LabelValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

// A small file of /proc whole, or nothing when it cannot be read.
std::optional<std::string> ReadProcFile(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while (text.size() < 64 * 1024 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return text;
}

// What the kernel tells of this process.
struct ProcessFigures {
  double startTime = 0;  // Unix seconds
  double cpuSeconds = 0;
  double residentBytes = 0;
};

// From /proc/self/stat, whose fields after the command's name in parentheses are
// numbered from 3 (proc(5)); the start is counted from the boot time in /proc/stat.
std::optional<ProcessFigures> ReadProcessFigures() {
  const std::optional<std::string> stat = ReadProcFile("/proc/self/stat");
  const std::optional<std::string> system = ReadProcFile("/proc/stat");
  if (!stat || !system) return std::nullopt;
  const std::size_t nameEnd = stat->rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::vector<std::uint64_t> fields(3, 0);  // fields 1 and 2 are not numbers
  std::string_view rest = std::string_view(*stat).substr(nameEnd + 1);
  while (!rest.empty() && fields.size() <= 24) {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    const std::size_t end = std::min(rest.find(' '), rest.size());
    std::uint64_t value = 0;
    std::from_chars(rest.data(), rest.data() + end, value);  // the state letter reads as 0
    fields.push_back(value);
    rest.remove_prefix(end);
  }
  const std::size_t boot = system->find("\nbtime ");
  std::uint64_t bootTime = 0;
  if (fields.size() <= 24 || boot == std::string::npos) return std::nullopt;
  const char* at = system->data() + boot + 7;
  std::from_chars(at, system->data() + system->size(), bootTime);
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double pageBytes = static_cast<double>(::sysconf(_SC_PAGESIZE));
  ProcessFigures figures;
  figures.cpuSeconds = static_cast<double>(fields[14] + fields[15]) / ticks;  // utime, stime
  figures.startTime = static_cast<double>(bootTime) + static_cast<double>(fields[22]) / ticks;
  figures.residentBytes = static_cast<double>(fields[24]) * pageBytes;  // rss, in pages
  return figures;
}

// The descriptors open in this process, the one that lists them left out.
std::optional<double> OpenDescriptors() {
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return std::nullopt;
  const std::string own = std::to_string(::dirfd(listing));
  double count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && name != own) ++count;
  }
  ::closedir(listing);
  return count;
}

void RenderConnections(Exposition& out, const connection::ConnectionLayer& layer,
                       const std::vector<std::string>& doors) {
  std::map<std::string, double> connections;
  for (const std::string& door : doors) connections[door] = 0;
  double backlog = 0;
  for (const connection::ConnectionSummary& c : layer.Summaries()) {
    ++connections[c.door];
    backlog += static_cast<double>(c.backlog);
  }
  // The scrape being answered is a connection of the metrics door: it is left out.
  if (const auto scrape = connections.find("metrics");
      scrape != connections.end() && scrape->second > 0) {
    --scrape->second;
  }
  out.Family("pelthollow_connections", Kind::Gauge,
             "Live connections by door, this scrape left out.");
  for (const auto& [door, count] : connections)
    out.Sample("", "{door=\"" + LabelValue(door) + "\"}", count);
  out.Gauge("pelthollow_output_backlog_bytes", "Output waiting to be sent, all connections.",
            backlog);
  out.Counter("pelthollow_lines", "Lines handled.", static_cast<double>(layer.LinesHandled()));
  using connection::LimitKind;
  const auto& book = layer.Book();
  const std::pair<const char*, std::uint64_t> refusals[] = {
      {"connections", book.RefusalCount(LimitKind::Connections)},
      {"failed_logins", commands::AllowanceRefusals(LimitKind::FailedLogins)},
      {"new_characters", commands::AllowanceRefusals(LimitKind::NewCharacters)},
      {"lines_per_second", book.RefusalCount(LimitKind::LinesPerSecond)},
      {"banned", layer.BannedRefusals()},
  };
  out.Family("pelthollow_refusals", Kind::Counter, "Refusals by limit.");
  for (const auto& [limit, count] : refusals) {
    out.Sample("_total", std::string("{limit=\"") + limit + "\"}", static_cast<double>(count));
  }
  out.Counter("pelthollow_accept_errors", "Accepts that failed.",
              static_cast<double>(Measured.acceptErrors.load(std::memory_order_relaxed)));
}

void RenderGame(Exposition& out) {
  out.Gauge("pelthollow_players", "Characters in play.",
            static_cast<double>(world::InPlay().size()));
  using commands::LoginResult;
  const std::pair<const char*, LoginResult> logins[] = {
      {"success", LoginResult::Success},
      {"wrong_password", LoginResult::WrongPassword},
      {"unknown_name", LoginResult::UnknownName},
      {"refused", LoginResult::Refused},
      {"banned", LoginResult::Banned},
      {"busy", LoginResult::Busy},
  };
  out.Family("pelthollow_logins", Kind::Counter, "Logins by how they ended.");
  for (const auto& [name, result] : logins) {
    out.Sample("_total", std::string("{result=\"") + name + "\"}",
               static_cast<double>(commands::LoginCount(result)));
  }
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  double addressBans = 0;
  for (const connection::AddressBan& ban : connection::Bans().Addresses()) {
    if (ban.until == 0 || ban.until > now) ++addressBans;
  }
  out.Family("pelthollow_bans", Kind::Gauge, "Bans in force by kind.");
  out.Sample("", "{kind=\"address\"}", addressBans);
  out.Sample("", "{kind=\"name\"}", static_cast<double>(connection::Bans().Names().size()));
  out.Gauge("pelthollow_mutes", "Mutes in force.", static_cast<double>(commands::MutesInForce()));
  out.Counter("pelthollow_kicks", "Connections the console kicked.",
              static_cast<double>(Measured.kicks.load(std::memory_order_relaxed)));
  out.Histogram("pelthollow_tick_seconds", "Durations of the world ticks.", Measured.ticks.Read());
}

void RenderSaves(Exposition& out) {
  out.Family("pelthollow_saves", Kind::Counter, "Saves of the world by result.");
  out.Sample("_total", "{result=\"success\"}", static_cast<double>(Measured.savesDone.load()));
  out.Sample("_total", "{result=\"failure\"}", static_cast<double>(Measured.savesFailed.load()));
  out.Histogram("pelthollow_save_seconds", "Durations of the saves, from snapshot to disk.",
                Measured.saves.Read());
  out.Gauge("pelthollow_last_save_success_timestamp_seconds",
            "When the last save that worked ended; 0: none yet.",
            static_cast<double>(Measured.lastSaveDone.load()));
  double snapshot = 0;
  {
    std::lock_guard<std::mutex> guard(Measured.mutex);
    snapshot = Measured.lastSnapshotSeconds;
  }
  out.Gauge("pelthollow_save_snapshot_seconds",
            "Duration of the last snapshot handed to the background saver.", snapshot);
  out.Gauge("pelthollow_save_failed", "1 while the newest save has failed.",
            persist::SaveFailedLast() ? 1 : 0);
}

void RenderProcess(Exposition& out) {
  out.Family("pelthollow_build", Kind::Info, "The build that runs.");
  out.Sample("_info", "{version=\"" + LabelValue(PELTHOLLOW_VERSION) + "\"}", 1);
  out.Gauge("pelthollow_uptime_seconds", "Time since the server started.",
            SecondsSince(Measured.started));
  out.Gauge("pelthollow_hash_queue_length", "Passwords waiting to be hashed.",
            static_cast<double>(core::WorkerQueueLength()));
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

void SaveInBackgroundTimed(persist::SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Clock::time_point began = Clock::now();
  persist::SaveInBackground([began, done = std::move(done)](bool saved) {
    Measured.saves.Note(SecondsSince(began));
    if (saved) {
      Measured.savesDone.fetch_add(1);
      Measured.lastSaveDone.store(static_cast<std::int64_t>(std::time(nullptr)));
    } else {
      Measured.savesFailed.fetch_add(1);
    }
    if (done) done(saved);
  });
  std::lock_guard<std::mutex> guard(Measured.mutex);
  Measured.lastSnapshotSeconds = SecondsSince(began);
}

void NoteTick(std::chrono::nanoseconds took) {
  Measured.lastTickNanoseconds.store(took.count(), std::memory_order_relaxed);
  Measured.ticks.Note(std::chrono::duration<double>(took).count());
}

std::chrono::nanoseconds LastTickDuration() {
  return std::chrono::nanoseconds(Measured.lastTickNanoseconds.load(std::memory_order_relaxed));
}

void NoteKick() {
  Measured.kicks.fetch_add(1, std::memory_order_relaxed);
}

void NoteAcceptError() {
  Measured.acceptErrors.fetch_add(1, std::memory_order_relaxed);
}

Clock::time_point ServerStartTime() {
  return Measured.started;
}

std::string RenderMetrics(const connection::ConnectionLayer& layer,
                          const std::vector<std::string>& doors, web::MetricsFormat format) {
  ASSERT_CONNECTION_LOCK_HELD();
  Exposition out(format);
  RenderConnections(out, layer, doors);
  RenderGame(out);
  RenderSaves(out);
  RenderProcess(out);
  return out.Finish();
}

CarriedMeasures CarryMeasures() {
  CarriedMeasures carried;
  carried.started = connection::CarriedTime(Measured.started);
  carried.lastTickNanoseconds = Measured.lastTickNanoseconds.load();
  const DurationHistogram::Reading ticks = Measured.ticks.Read();
  carried.ticks = {ticks.counts, ticks.sum, ticks.count};
  const DurationHistogram::Reading saves = Measured.saves.Read();
  carried.saves = {saves.counts, saves.sum, saves.count};
  carried.savesDone = Measured.savesDone.load();
  carried.savesFailed = Measured.savesFailed.load();
  carried.lastSaveDone = Measured.lastSaveDone.load();
  carried.kicks = Measured.kicks.load();
  carried.acceptErrors = Measured.acceptErrors.load();
  std::lock_guard<std::mutex> guard(Measured.mutex);
  carried.lastSnapshotSeconds = Measured.lastSnapshotSeconds;
  return carried;
}

void AdoptMeasures(const CarriedMeasures& carried) {
  Measured.started = connection::FromCarriedTime(carried.started);
  Measured.lastTickNanoseconds = carried.lastTickNanoseconds;
  Measured.ticks.Restore(carried.ticks.counts, carried.ticks.sum, carried.ticks.count);
  Measured.saves.Restore(carried.saves.counts, carried.saves.sum, carried.saves.count);
  Measured.savesDone = carried.savesDone;
  Measured.savesFailed = carried.savesFailed;
  Measured.lastSaveDone = carried.lastSaveDone;
  Measured.kicks = carried.kicks;
  Measured.acceptErrors = carried.acceptErrors;
  std::lock_guard<std::mutex> guard(Measured.mutex);
  Measured.lastSnapshotSeconds = carried.lastSnapshotSeconds;
}

}  // namespace server
