#include "bench_scenario.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "bench_client.h"
#include "harness/frame_client.h"
#include "server/server.h"

namespace bench {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kTickNs = std::chrono::nanoseconds(server::kTickPeriod).count();

std::int64_t Ns(double seconds) { return static_cast<std::int64_t>(seconds * 1e9); }

// The first `active` players drive as `how` for `seconds`.
DrivePlan Plan(Drive how, std::size_t active, double seconds) {
  DrivePlan plan;
  plan.drive = how;
  plan.active = active;
  plan.durationNs = Ns(seconds);
  return plan;
}

// What one measured stretch gave.
struct Stretch {
  Summary latency;
  std::array<Summary, kCommandKinds> byKind{};
  double commandsPerSecond = 0;
  double cpuPercent = -1;
  double cpuSeconds = -1;
  double clientCpuPercent = -1;
  double rssKiB = -1;
  std::uint64_t unanswered = 0;
};

// Logins beside the players, on a thread of their own (the players' pump never waits
// for them): `perSecond` times a second, a new connection from the loopback logs into
// one character made for it, is answered, and leaves. Collects the time from each
// login line to its answer until `stop` is set.
void LoginLoop(int port, double perSecond, const std::string& name, const std::atomic<bool>& stop,
               std::vector<std::int64_t>& answers) {
  {
    harness::FrameClient maker(port);
    if (!maker.NextFrame() || !maker.Ask("setup " + name + " pw they 12 warrior moss \" \" x y")) return;
  }
  const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / perSecond));
  auto next = std::chrono::steady_clock::now();
  while (!stop.load()) {
    next += period;
    harness::FrameClient player(port);
    if (player.NextFrame()) {
      const std::int64_t t0 = NowNs();
      if (player.Ask("login " + name + " pw")) answers.push_back(NowNs() - t0);
    }
    player.Close();
    std::this_thread::sleep_until(next);
  }
}

Stretch Measure(Fleet& fleet, const DrivePlan& drive, pid_t pid) {
  Stretch s;
  const ProcReading start = ReadProcess(pid);
  const ProcReading selfStart = ReadProcess(::getpid());
  const std::int64_t t0 = NowNs();
  RunDrive(fleet, drive);
  const double elapsed = static_cast<double>(NowNs() - t0) / 1e9;
  const ProcReading end = ReadProcess(pid);
  const ProcReading selfEnd = ReadProcess(::getpid());
  if (selfStart.ok && selfEnd.ok) s.clientCpuPercent = 100.0 * (selfEnd.cpuSeconds - selfStart.cpuSeconds) / elapsed;
  if (start.ok && end.ok) {
    s.cpuSeconds = end.cpuSeconds - start.cpuSeconds;
    s.cpuPercent = 100.0 * s.cpuSeconds / elapsed;
    s.rssKiB = static_cast<double>(end.rssKiB);
  }
  Tally& t = fleet.tally;
  s.commandsPerSecond = static_cast<double>(t.answered) / (static_cast<double>(drive.durationNs) / 1e9);
  s.unanswered = t.unanswered;
  s.latency = Summarise(t.all);
  for (std::size_t k = 0; k < t.byKind.size(); ++k) s.byKind[k] = Summarise(t.byKind[k]);
  return s;
}

std::string Placed(const Fleet& fleet, std::size_t first, std::size_t count, int ticks) {
  std::vector<Cell> cells;
  for (std::size_t i = first; i < first + count && i < fleet.players.size(); ++i) cells.push_back(fleet.players[i].at);
  const Occupancy where = CountOccupancy(cells);
  std::string text = ticks > 0 ? "spread by " + std::to_string(ticks) + " ticks of queued moves over "
                               : "left in their start dens: ";
  return text + std::to_string(where.cells) + " cells, at most " + std::to_string(where.most) + " on one";
}

}  // namespace

Figures RunOnce(Scenario scenario, const Peer& peer, const Options& o, const std::string& prefix) {
  Figures f;
  std::size_t count = 0;
  DrivePlan drive;
  int ticks = 0;
  switch (scenario) {
    case Scenario::Idle:
      count = o.idlePlayers;
      drive = Plan(Drive::Quiet, 0, o.idleSeconds);
      break;
    case Scenario::Chat:
      count = o.chatPlayers;
      drive = Plan(Drive::Paced, count, o.chatSeconds);
      ticks = o.spreadTicks;
      break;
    case Scenario::Flood:
      count = o.floodClients;
      drive = Plan(Drive::Flood, count, o.floodSeconds);
      break;
    case Scenario::Crowd:
      count = o.crowdConnections;
      drive = Plan(Drive::Paced, std::min(o.speakers, count), o.crowdSeconds);
      drive.sayOnly = true;
      break;
    case Scenario::Web:
      count = o.webPlayers;
      drive = Plan(Drive::Paced, count, o.webSeconds);
      ticks = o.spreadTicks;
      break;
    case Scenario::Telnet:
      count = o.telnetPlayers;
      drive = Plan(Drive::Paced, count, o.telnetSeconds);
      ticks = o.spreadTicks;
      break;
    case Scenario::IdleDoors:
      count = o.doorConnections;
      break;
    case Scenario::Siege:
    case Scenario::Tls:
    case Scenario::Upgrade:
      break;  // each runs on its own (bench_siege, bench_tls, bench_upgrade)
  }
  Fleet fleet;
  MakeFleet(fleet, peer.echo, peer.port, count, prefix, o.seed);
  fleet.door = peer.door;
  if (scenario == Scenario::Crowd) LeadFirst(fleet, drive.active);
  fleet.gmcp = peer.door == Door::Web && o.webGmcp;
  // The web client closes connections at once while 256 others have not become a
  // WebSocket yet: open fewer at a time there.
  const std::size_t inflight = peer.door == Door::Web ? std::min<std::size_t>(o.inflight, 200) : o.inflight;
  const ProcReading before = ReadProcess(peer.pid);
  const std::int64_t greet = ConnectAll(fleet, inflight, 60 * kSecond);
  const ProcReading greeted = ReadProcess(peer.pid);
  bool ok = greet >= 0;
  if (ok) f.greetSeconds = static_cast<double>(greet) / 1e9;
  const std::int64_t setupStart = NowNs();
  ok = ok && SetUpAll(fleet, inflight, 120 * kSecond);
  if (ok) f.setupSeconds = static_cast<double>(NowNs() - setupStart) / 1e9;
  const ProcReading playing = ReadProcess(peer.pid);
  if (before.ok && greeted.ok && playing.ok && count > 0) {
    f.rssPerGreetedKiB = static_cast<double>(greeted.rssKiB - before.rssKiB) / static_cast<double>(count);
    f.rssPerPlayerKiB = static_cast<double>(playing.rssKiB - before.rssKiB) / static_cast<double>(count);
    if (before.anonKiB >= 0 && playing.anonKiB >= 0) {
      f.anonPerPlayerKiB = static_cast<double>(playing.anonKiB - before.anonKiB) / static_cast<double>(count);
    }
    if (before.fds >= 0 && greeted.fds >= 0) {
      f.fdsPerGreeted = static_cast<double>(greeted.fds - before.fds) / static_cast<double>(count);
    }
    f.threadsBefore = static_cast<double>(before.threads);
    f.threadsGreeted = static_cast<double>(greeted.threads);
  }
  if (scenario == Scenario::IdleDoors) {
    // Nothing is typed: the connections' cost is the figure.
    if (playing.ok) f.rssKiB = static_cast<double>(playing.rssKiB);
    f.ok = ok;
    f.problem = fleet.problem;
    CloseFleet(fleet);
    return f;
  }
  if (ok && ticks > 0) {
    std::vector<int> origins;
    for (const Player& p : fleet.players) origins.push_back(p.origin);
    ok = Spread(fleet, PlanSpread(origins, ticks, o.seed), (ticks + 3) * kTickNs);
  }
  f.placement = Placed(fleet, 0, count, ticks);
  std::atomic<bool> stopLogins{false};
  std::vector<std::int64_t> logins;
  std::thread loginThread;
  if (ok && scenario == Scenario::Chat && o.logins > 0 && !peer.echo) {
    loginThread = std::thread(LoginLoop, peer.port, o.logins, prefix + "Login", std::cref(stopLogins),
                              std::ref(logins));
  }
  if (ok) {
    const Stretch s = Measure(fleet, drive, peer.pid);
    f.latency = s.latency;
    f.byKind = s.byKind;
    f.commandsPerSecond = s.commandsPerSecond;
    f.cpuPercent = s.cpuPercent;
    f.cpuSeconds = s.cpuSeconds;
    f.clientCpuPercent = s.clientCpuPercent;
    f.rssKiB = s.rssKiB;
    f.unanswered = s.unanswered;
    f.ok = true;
  }
  if (loginThread.joinable()) {
    stopLogins = true;
    loginThread.join();
    f.loginLatency = Summarise(logins);
  }
  if (ok && scenario == Scenario::Crowd && o.walkTicks > 0) {
    // The speakers walk out of the dens to cells of their own, where a few hear them,
    // and speak again while the crowd stays connected.
    const std::size_t speakers = drive.active;
    std::vector<int> origins;
    std::vector<Cell> staying;
    for (std::size_t i = 0; i < fleet.players.size(); ++i) {
      if (i < speakers) {
        origins.push_back(fleet.players[i].origin);
      } else {
        staying.push_back(fleet.players[i].at);
      }
    }
    ok = Spread(fleet, PlanSpread(origins, o.walkTicks, o.seed, staying), (o.walkTicks + 3) * kTickNs);
    f.openPlacement = Placed(fleet, 0, speakers, o.walkTicks);
    if (ok) {
      const Stretch s = Measure(fleet, drive, peer.pid);
      f.openLatency = s.latency;
      f.unanswered += s.unanswered;
    }
    f.ok = ok;
  }
  f.problem = fleet.problem;
  CloseFleet(fleet);
  return f;
}

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0;
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

Figures MedianOf(const std::vector<Figures>& runs) {
  if (runs.size() == 1) return runs[0];
  Figures m = runs[0];
  auto of = [&](auto field) {
    std::vector<double> v;
    for (const Figures& f : runs) v.push_back(field(f));
    return Median(v);
  };
  m.ok = std::all_of(runs.begin(), runs.end(), [](const Figures& f) { return f.ok; });
  for (const Figures& f : runs) {
    if (m.problem.empty()) m.problem = f.problem;
  }
  m.latency.median = of([](const Figures& f) { return f.latency.median; });
  m.latency.p99 = of([](const Figures& f) { return f.latency.p99; });
  m.latency.max = of([](const Figures& f) { return f.latency.max; });
  for (std::size_t k = 0; k < m.byKind.size(); ++k) {
    m.byKind[k].median = of([k](const Figures& f) { return f.byKind[k].median; });
    m.byKind[k].p99 = of([k](const Figures& f) { return f.byKind[k].p99; });
  }
  m.openLatency.median = of([](const Figures& f) { return f.openLatency.median; });
  m.openLatency.p99 = of([](const Figures& f) { return f.openLatency.p99; });
  m.openLatency.max = of([](const Figures& f) { return f.openLatency.max; });
  m.loginLatency.median = of([](const Figures& f) { return f.loginLatency.median; });
  m.loginLatency.p99 = of([](const Figures& f) { return f.loginLatency.p99; });
  m.commandsPerSecond = of([](const Figures& f) { return f.commandsPerSecond; });
  m.cpuPercent = of([](const Figures& f) { return f.cpuPercent; });
  m.cpuSeconds = of([](const Figures& f) { return f.cpuSeconds; });
  m.clientCpuPercent = of([](const Figures& f) { return f.clientCpuPercent; });
  m.rssKiB = of([](const Figures& f) { return f.rssKiB; });
  m.greetSeconds = of([](const Figures& f) { return f.greetSeconds; });
  m.setupSeconds = of([](const Figures& f) { return f.setupSeconds; });
  m.rssPerGreetedKiB = of([](const Figures& f) { return f.rssPerGreetedKiB; });
  m.rssPerPlayerKiB = of([](const Figures& f) { return f.rssPerPlayerKiB; });
  m.anonPerPlayerKiB = of([](const Figures& f) { return f.anonPerPlayerKiB; });
  m.fdsPerGreeted = of([](const Figures& f) { return f.fdsPerGreeted; });
  m.threadsBefore = of([](const Figures& f) { return f.threadsBefore; });
  m.threadsGreeted = of([](const Figures& f) { return f.threadsGreeted; });
  std::uint64_t lost = 0;
  for (const Figures& f : runs) lost += f.unanswered;
  m.unanswered = lost;
  return m;
}

}  // namespace bench
