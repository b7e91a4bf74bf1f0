#include "bench_upgrade.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_client.h"
#include "bench_pump.h"
#include "bench_server.h"
#include "bench_world.h"
#include "server/server.h"

namespace bench {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kTickNs = std::chrono::nanoseconds(server::kTickPeriod).count();
// The players chat this long before the console's upgrade (the baseline), and this
// long in all.
constexpr std::int64_t kBeforeNs = 5 * kSecond;
constexpr std::int64_t kDriveNs = 12 * kSecond;
// Commands sent from this long before the upgrade until this long after the new
// process's first answer count as sent around it.
constexpr std::int64_t kMarginNs = kSecond;
// The server waits at most 10 s for its probe: the console answers well within this.
constexpr std::int64_t kConsoleWaitNs = 30 * kSecond;

// The steps of an upgrade as the server's log tells them, in the order they come.
enum Stage : std::size_t { kProbed, kExec, kStarting, kAdopted, kFailed, kStages };
constexpr std::array<std::string_view, kStages> kStageLines = {"The new build can take over", "Upgrading: ",
                                                               "Starting server...", "Upgraded from version ",
                                                               "Upgrade failed: "};

// The console's side of one upgrade and the moments the log told its steps, as the
// watching thread saw them. The thread owns it until joined.
struct Watch {
  std::string socketPath;
  std::string logPath;
  std::int64_t atNs = 0;  // when to send the command
  std::int64_t sentNs = -1;
  std::int64_t answeredNs = -1;  // the console's whole answer had come
  std::string answer;
  int code = -1;
  std::array<std::int64_t, kStages> seenNs{-1, -1, -1, -1, -1};
  std::string problem;
};

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int ConnectConsole(const std::string& path, std::string& problem) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    problem = "the console's path is too long: " + path;
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    problem = Errno("the console");
    if (s >= 0) ::close(s);
    return -1;
  }
  return s;
}

// Appends what the log gained since `offset` to `text` and notes the steps it tells
// for the first time as seen at `at`.
void ReadLog(int log, off_t& offset, std::string& text, Watch& w, std::int64_t at) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::pread(log, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    offset += n;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  for (std::size_t s = 0; s < kStages; ++s) {
    if (w.seenNs[s] < 0 && text.find(kStageLines[s]) != std::string::npos) w.seenNs[s] = at;
  }
}

// At w.atNs, sends "upgrade" to the console the way `pelthollow admin` does, and
// follows the log (through inotify) and the console until the console has answered
// and the log told the upgrade's end.
void WatchUpgrade(Watch& w) {
  const int log = ::open(w.logPath.c_str(), O_RDONLY | O_CLOEXEC);
  const int notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (log < 0 || notify < 0 || ::inotify_add_watch(notify, w.logPath.c_str(), IN_MODIFY) < 0) {
    w.problem = Errno("watching the server's log");
    if (log >= 0) ::close(log);
    if (notify >= 0) ::close(notify);
    return;
  }
  struct stat info {};
  off_t offset = ::fstat(log, &info) == 0 ? info.st_size : 0;
  // The players chat undisturbed until then.
  std::this_thread::sleep_for(std::chrono::nanoseconds(std::max<std::int64_t>(0, w.atNs - NowNs())));
  int console = ConnectConsole(w.socketPath, w.problem);
  std::string text;
  std::string reply;
  if (console >= 0) {
    const std::string_view line = "upgrade\n";
    w.sentNs = NowNs();
    if (::send(console, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      w.problem = Errno("sending to the console");
    }
    ::shutdown(console, SHUT_WR);
  }
  const std::int64_t deadline = w.sentNs + kConsoleWaitNs;
  std::int64_t stopAt = deadline;
  while (console >= 0 || (w.seenNs[kAdopted] < 0 && w.seenNs[kFailed] < 0)) {
    const std::int64_t left = stopAt - NowNs();
    if (left <= 0) break;
    pollfd wait[2] = {{console, POLLIN, 0}, {notify, POLLIN, 0}};
    const int ready = ::poll(wait, 2, static_cast<int>((left + 999'999) / 1'000'000));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    const std::int64_t at = NowNs();
    if ((wait[1].revents & POLLIN) != 0) {
      char events[4096];
      while (::read(notify, events, sizeof events) > 0) {
      }
      ReadLog(log, offset, text, w, at);
    }
    if (console >= 0 && (wait[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[4096];
      const ssize_t n = ::recv(console, buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
      // The answer's text, a NUL and the exit code; then the console closes.
      if (w.answeredNs < 0 && reply.find('\0') != std::string::npos) w.answeredNs = at;
      if (n <= 0) {
        ::close(console);
        console = -1;
        if (w.answeredNs < 0) w.answeredNs = at;
        // The log's last line may come a moment later, or not at all.
        stopAt = std::min(deadline, at + kSecond);
      }
    }
  }
  if (console >= 0) {
    ::close(console);
    if (w.problem.empty()) w.problem = "the console did not answer within 30 s";
  }
  ReadLog(log, offset, text, w, NowNs());
  ::close(notify);
  ::close(log);
  const std::size_t end = reply.find('\0');
  w.answer = reply.substr(0, end);
  if (end != std::string::npos && end + 1 < reply.size()) w.code = reply[end + 1] - '0';
  while (!w.answer.empty() && w.answer.back() == '\n') w.answer.pop_back();
}

// What one run measured. Durations in nanoseconds; -1 where the step was not seen.
struct RunFigures {
  bool ok = false;
  std::string problem;
  std::string placement;
  WindowFigures around;
  WindowFigures before;
  double untilProbed = -1;     // the command until the probe passed (play goes on meanwhile)
  double probedToExec = -1;    // then until the exec: the last quiet, the save, the state
  double untilExec = -1;       // the command until the exec
  double execToStart = -1;     // the exec until the new process has read the state
  double startToAdopted = -1;  // then until every connection is taken up
  double untilConsole = -1;    // the command until the console's answer
  double untilServed = -1;     // the command until a player's first answer from the new process
  double answered = 0;
  std::uint64_t lost = 0;
  std::uint64_t disconnected = 0;
};

double Between(std::int64_t from, std::int64_t to) {
  return from >= 0 && to >= from ? static_cast<double>(to - from) : -1;
}

void DriveThroughUpgrade(Fleet& fleet, GameProcess& game, RunFigures& r) {
  Watch w;
  w.socketPath = game.folder->File("pelthollow.sock");
  w.logPath = game.LogPath();
  w.atNs = NowNs() + kBeforeNs;
  const std::uint64_t failedBefore = fleet.failedConnections;
  std::thread watcher(WatchUpgrade, std::ref(w));
  DrivePlan plan;
  plan.drive = Drive::Paced;
  plan.active = fleet.players.size();
  plan.durationNs = kDriveNs;
  RunDrive(fleet, plan);
  watcher.join();

  const Tally& t = fleet.tally;
  r.answered = static_cast<double>(t.answered);
  r.lost = t.unanswered;
  r.disconnected = fleet.failedConnections - failedBefore;
  r.untilProbed = Between(w.sentNs, w.seenNs[kProbed]);
  r.probedToExec = Between(w.seenNs[kProbed], w.seenNs[kExec]);
  r.untilExec = Between(w.sentNs, w.seenNs[kExec]);
  r.execToStart = Between(w.seenNs[kExec], w.seenNs[kStarting]);
  r.startToAdopted = Between(w.seenNs[kStarting], w.seenNs[kAdopted]);
  r.untilConsole = Between(w.sentNs, w.answeredNs);
  // The old process answers nobody once it logged its exec: every later answer is the
  // new process's.
  std::int64_t served = -1;
  if (w.seenNs[kExec] >= 0) {
    for (std::size_t i = 0; i < t.all.size(); ++i) {
      const std::int64_t at = t.sentNs[i] + t.all[i];
      if (at > w.seenNs[kExec] && (served < 0 || at < served)) served = at;
    }
  }
  r.untilServed = Between(w.sentNs, served);
  const std::int64_t windowEnd = (served >= 0 ? served : std::max(w.answeredNs, w.sentNs)) + kMarginNs;
  r.around = MeasureWindow(t.sentNs, t.all, w.sentNs - kMarginNs, windowEnd);
  r.before = MeasureWindow(t.sentNs, t.all, std::numeric_limits<std::int64_t>::min(), w.sentNs - kMarginNs);
  r.ok = w.code == 0 && w.answer.starts_with("Upgraded to version") && w.seenNs[kExec] >= 0;
  if (!w.problem.empty()) {
    Note(fleet, w.problem);
  } else if (!r.ok) {
    Note(fleet, "the console answered (exit " + std::to_string(w.code) + "): " + w.answer);
  }
}

RunFigures RunOne(const Options& o, int run) {
  RunFigures r;
  GameProcess game;
  if (!StartGame(o.server, game, r.problem)) return r;
  if (!game.server->WaitForLog("Console at ")) {
    r.problem = "the server opened no console";
    StopGame(game, o.keep);
    return r;
  }
  const std::string prefix = NamePrefix(Scenario::Upgrade, run);
  Fleet fleet;
  MakeFleet(fleet, false, game.Port(), o.chatPlayers, prefix, o.seed);
  bool ok = ConnectAll(fleet, o.inflight, 60 * kSecond) >= 0 && SetUpAll(fleet, o.inflight, 120 * kSecond);
  if (ok && o.spreadTicks > 0) {
    std::vector<int> origins;
    for (const Player& p : fleet.players) origins.push_back(p.origin);
    ok = Spread(fleet, PlanSpread(origins, o.spreadTicks, o.seed), (o.spreadTicks + 3) * kTickNs);
  }
  std::vector<Cell> cells;
  for (const Player& p : fleet.players) cells.push_back(p.at);
  const Occupancy where = CountOccupancy(cells);
  r.placement = "spread by " + std::to_string(o.spreadTicks) + " ticks of queued moves over " +
                std::to_string(where.cells) + " cells, at most " + std::to_string(where.most) + " on one";
  if (ok) DriveThroughUpgrade(fleet, game, r);
  r.problem = fleet.problem;
  CloseFleet(fleet);
  const std::string folder = game.folder->Path();
  const std::string report = StopGame(game, o.keep);
  if (!report.empty()) {
    r.ok = false;
    r.problem = "the server's log holds a sanitizer report:\n" + report;
  }
  if (o.keep) std::printf("   server folder kept: %s\n", folder.c_str());
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0;
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

WindowFigures MeasureWindow(std::span<const std::int64_t> sentNs, std::span<const std::int64_t> tookNs,
                            std::int64_t fromNs, std::int64_t toNs) {
  std::vector<std::int64_t> trips;
  std::vector<std::int64_t> answers;
  for (std::size_t i = 0; i < sentNs.size() && i < tookNs.size(); ++i) {
    if (sentNs[i] >= fromNs && sentNs[i] < toNs) trips.push_back(tookNs[i]);
    const std::int64_t at = sentNs[i] + tookNs[i];
    if (at >= fromNs && at < toNs) answers.push_back(at);
  }
  WindowFigures f;
  f.roundTrip = Summarise(trips);
  std::sort(answers.begin(), answers.end());
  for (std::size_t i = 1; i < answers.size(); ++i) {
    f.longestGapNs = std::max(f.longestGapNs, static_cast<double>(answers[i] - answers[i - 1]));
  }
  return f;
}

std::string DescribeUpgrade(const Options& o) {
  return std::to_string(o.chatPlayers) + " players in play, each typing one command a second as in chat; after " +
         Fixed(static_cast<double>(kBeforeNs) / 1e9, 0) + " s the console's upgrade, " +
         Fixed(static_cast<double>(kDriveNs) / 1e9, 0) +
         " s in all; around it: the commands sent from 1 s before the upgrade until 1 s after the new "
         "process's first answer; baseline: those sent before";
}

Report RunUpgrade(const Options& o) {
  std::vector<RunFigures> runs;
  for (int run = 0; run < o.runs; ++run) runs.push_back(RunOne(o, run));
  auto of = [&](auto field) {
    std::vector<double> v;
    for (const RunFigures& f : runs) v.push_back(field(f));
    return Median(v);
  };
  Report r = NewReport(Scenario::Upgrade, DescribeUpgrade(o), Door::Tcp);
  r.game.ok = std::all_of(runs.begin(), runs.end(), [](const RunFigures& f) { return f.ok; });
  r.echo.ok = true;
  for (const RunFigures& f : runs) {
    if (r.game.problem.empty()) r.game.problem = f.problem;
    r.game.unanswered += f.lost;
  }
  r.game.placement = runs.empty() ? std::string() : runs[0].placement;
  auto both = [&](const std::string& name, auto field) {
    const double around = of([&](const RunFigures& f) { return field(f.around); });
    const double before = of([&](const RunFigures& f) { return field(f.before); });
    r.rows.push_back({name, Ms(around), Ms(before), before > 0 ? Fixed(around / before, 2) + "x" : "-"});
  };
  both("round trip median", [](const WindowFigures& w) { return w.roundTrip.median; });
  both("round trip p99", [](const WindowFigures& w) { return w.roundTrip.p99; });
  both("round trip max: the longest pause", [](const WindowFigures& w) { return w.roundTrip.max; });
  both("longest stretch with no answer", [](const WindowFigures& w) { return w.longestGapNs; });
  auto step = [&](const std::string& name, double RunFigures::*field) {
    r.rows.push_back({name, Ms(of([&](const RunFigures& f) { return f.*field; })), "", ""});
  };
  step("command until the probe has passed", &RunFigures::untilProbed);  // play goes on meanwhile
  step("then until the exec: quiet and save", &RunFigures::probedToExec);
  step("command until the exec", &RunFigures::untilExec);
  step("exec until the state is read", &RunFigures::execToStart);
  step("then until all are taken up", &RunFigures::startToAdopted);
  step("command until the console answers", &RunFigures::untilConsole);
  step("command until the new one answers", &RunFigures::untilServed);
  std::uint64_t lost = 0;
  std::uint64_t disconnected = 0;
  for (const RunFigures& f : runs) {
    lost += f.lost;
    disconnected += f.disconnected;
  }
  r.rows.push_back({"commands answered", Fixed(of([](const RunFigures& f) { return f.answered; }), 0), "", ""});
  r.rows.push_back({"answers lost, all runs", std::to_string(lost), "", ""});
  r.rows.push_back({"players disconnected, all runs", std::to_string(disconnected), "", ""});
  const double pause = of([](const RunFigures& f) { return f.around.roundTrip.max; });
  r.targets.push_back({"upgrade: longest pause a player sees under 250 ms", r.game.ok && pause < 250e6, Ms(pause)});
  r.targets.push_back({"upgrade: no answer lost, nobody disconnected", r.game.ok && lost == 0 && disconnected == 0,
                       std::to_string(lost) + " lost, " + std::to_string(disconnected) + " disconnected"});
  return r;
}

}  // namespace bench
