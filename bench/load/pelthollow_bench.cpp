// pelthollow-bench: the load generator. It starts a pelthollow server (or uses a
// running one), drives simulated players against it from one epoll thread, and runs
// the same players against a NUL-framed echo server of its own as the baseline; every
// figure of the game server is printed with its ratio to the echo's.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <sys/utsname.h>
#include <vector>

#include "bench_client.h"
#include "bench_echo.h"
#include "bench_server.h"
#include "bench_stats.h"
#include "bench_world.h"

namespace {

using namespace bench;

constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";
constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kTickNs = 5 * kSecond;  // the server's world tick

// Web: the chat mix from players on the game's web client (WebSocket), with the same
// players over TCP to the same server as the baseline instead of the echo. Run by name;
// "all" is the other four.
enum class Scenario { Idle, Chat, Flood, Crowd, Web };
constexpr std::array<Scenario, 4> kScenarios{Scenario::Idle, Scenario::Chat, Scenario::Flood, Scenario::Crowd};

std::string_view ScenarioName(Scenario s) {
  switch (s) {
    case Scenario::Idle: return "idle";
    case Scenario::Chat: return "chat";
    case Scenario::Flood: return "flood";
    case Scenario::Crowd: return "crowd";
    case Scenario::Web: return "web";
  }
  return "?";
}

struct Options {
  std::vector<Scenario> scenarios;
  std::string server;  // the pelthollow binary
  int port = 0;        // a running server, instead of starting one
  pid_t pid = 0;       // that server's process, for /proc figures
  int runs = 1;
  bool keep = false;      // keep the server folders (logs)
  bool markdown = false;  // print the summary as a Markdown table
  std::uint64_t seed = 1;
  std::size_t inflight = 512;
  std::size_t idlePlayers = 100;
  double idleSeconds = 30;
  std::size_t chatPlayers = 1000;
  double chatSeconds = 20;
  int spreadTicks = 6;
  std::size_t floodClients = 64;
  double floodSeconds = 10;
  std::size_t crowdConnections = 10000;
  double crowdSeconds = 10;
  std::size_t speakers = 20;
  int walkTicks = 2;  // crowd: ticks the speakers walk out of the dens (0: they stay)
  std::size_t webPlayers = 100;
  double webSeconds = 20;
};

// The figures of one side (game or echo) of one scenario run.
struct Figures {
  bool ok = false;
  std::string problem;
  Summary latency;
  std::array<Summary, kCommandKinds> byKind{};
  double commandsPerSecond = 0;
  double cpuPercent = -1;  // of one core over the measured stretch; -1 unknown
  double cpuSeconds = -1;  // utime + stime over the measured stretch; -1 unknown
  double clientCpuPercent = -1;  // the load generator's own CPU over the stretch
  double rssKiB = -1;      // at the end of the measured stretch
  double greetSeconds = -1;
  double setupSeconds = -1;
  double rssPerGreetedKiB = -1;  // (after greeting - before) / connections
  double rssPerPlayerKiB = -1;   // (after setup - before) / connections
  std::uint64_t unanswered = 0;
  std::string placement;
  Summary openLatency;        // crowd: say from speakers who walked out of the dens
  std::string openPlacement;  // crowd: where those speakers stood
};

void Usage() {
  std::puts(
      "usage: pelthollow-bench [idle|chat|flood|crowd|web|all ...] [options]\n"
      "  --server PATH       pelthollow binary (default: pelthollow beside this program)\n"
      "  --port N            use a server already running on 127.0.0.1:N\n"
      "  --pid N             that server's process id, for its CPU and memory figures\n"
      "  --runs N            run each scenario N times and print the medians (default 1)\n"
      "  --quick             short durations and small counts, for a smoke run\n"
      "  --idle-players N    (100)    --idle-seconds S  (30)\n"
      "  --chat-players N    (1000)   --chat-seconds S  (20)   --spread-ticks T (6)\n"
      "  --flood-clients N   (64)     --flood-seconds S (10)\n"
      "  --crowd N           (10000)  --crowd-seconds S (10)   --speakers N (20)\n"
      "  --walk-ticks T      crowd: ticks the speakers walk out of the dens to speak again (2)\n"
      "  --web-players N     (100)    --web-seconds S   (20)   web: WebSocket against TCP\n"
      "  --inflight N        connections or setups outstanding at once (512)\n"
      "  --seed N            random seed (1)\n"
      "  --keep              keep the servers' temporary folders and logs\n"
      "  --markdown          end with the figures as a Markdown table");
}

template <class Number>
bool ParseNumber(std::string_view text, Number& out) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&](auto& out) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], out)) {
        std::fprintf(stderr, "%s needs a number\n", argv[i]);
        return false;
      }
      ++i;
      return true;
    };
    if (a == "all") {
      o.scenarios.assign(kScenarios.begin(), kScenarios.end());
    } else if (a == "idle") {
      o.scenarios.push_back(Scenario::Idle);
    } else if (a == "chat") {
      o.scenarios.push_back(Scenario::Chat);
    } else if (a == "flood") {
      o.scenarios.push_back(Scenario::Flood);
    } else if (a == "crowd") {
      o.scenarios.push_back(Scenario::Crowd);
    } else if (a == "web") {
      o.scenarios.push_back(Scenario::Web);
    } else if (a == "--web-players") {
      if (!value(o.webPlayers)) return false;
    } else if (a == "--web-seconds") {
      if (!value(o.webSeconds)) return false;
    } else if (a == "--server" && i + 1 < argc) {
      o.server = argv[++i];
    } else if (a == "--port") {
      if (!value(o.port)) return false;
    } else if (a == "--pid") {
      if (!value(o.pid)) return false;
    } else if (a == "--runs") {
      if (!value(o.runs) || o.runs < 1) return false;
    } else if (a == "--seed") {
      if (!value(o.seed)) return false;
    } else if (a == "--inflight") {
      if (!value(o.inflight) || o.inflight == 0) return false;
    } else if (a == "--idle-players") {
      if (!value(o.idlePlayers)) return false;
    } else if (a == "--idle-seconds") {
      if (!value(o.idleSeconds)) return false;
    } else if (a == "--chat-players") {
      if (!value(o.chatPlayers)) return false;
    } else if (a == "--chat-seconds") {
      if (!value(o.chatSeconds)) return false;
    } else if (a == "--spread-ticks") {
      if (!value(o.spreadTicks) || o.spreadTicks < 0 || o.spreadTicks > 40) return false;
    } else if (a == "--flood-clients") {
      if (!value(o.floodClients)) return false;
    } else if (a == "--flood-seconds") {
      if (!value(o.floodSeconds)) return false;
    } else if (a == "--crowd") {
      if (!value(o.crowdConnections)) return false;
    } else if (a == "--crowd-seconds") {
      if (!value(o.crowdSeconds)) return false;
    } else if (a == "--speakers") {
      if (!value(o.speakers)) return false;
    } else if (a == "--walk-ticks") {
      if (!value(o.walkTicks) || o.walkTicks < 0 || o.walkTicks > 40) return false;
    } else if (a == "--quick") {
      o.idleSeconds = 5;
      o.chatPlayers = 200;
      o.chatSeconds = 5;
      o.spreadTicks = 2;
      o.floodSeconds = 3;
      o.crowdConnections = 2000;
      o.crowdSeconds = 3;
      o.speakers = 10;
      o.walkTicks = 1;
      o.webPlayers = 50;
      o.webSeconds = 5;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--markdown") {
      o.markdown = true;
    } else {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return false;
    }
  }
  if (o.scenarios.empty()) o.scenarios.assign(kScenarios.begin(), kScenarios.end());
  if (o.server.empty()) {
    // Beside this program, as the build folder has them.
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    self.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::size_t slash = self.rfind('/');
    o.server = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/pelthollow";
  }
  // The server starts in a folder of its own: a relative path would not reach it there.
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(o.server, ignored);
  if (!absolute.empty()) o.server = absolute.string();
  return true;
}

std::int64_t Ns(double seconds) { return static_cast<std::int64_t>(seconds * 1e9); }

std::string Base36(std::uint64_t v) {
  std::string s;
  do {
    s.insert(s.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36]);
    v /= 36;
  } while (v != 0);
  return s;
}

// One peer to drive: the game server or the echo baseline.
struct Peer {
  bool echo = false;
  int port = 0;
  pid_t pid = 0;
  bool web = false;  // port is the game's web client port
};

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

// Runs one scenario against one peer.
Figures RunOnce(Scenario scenario, const Peer& peer, const Options& o, const std::string& prefix) {
  Figures f;
  std::size_t count = 0;
  DrivePlan drive;
  int ticks = 0;
  switch (scenario) {
    case Scenario::Idle:
      count = o.idlePlayers;
      drive.drive = Drive::Quiet;
      drive.durationNs = Ns(o.idleSeconds);
      break;
    case Scenario::Chat:
      count = o.chatPlayers;
      drive.drive = Drive::Paced;
      drive.active = count;
      drive.durationNs = Ns(o.chatSeconds);
      ticks = o.spreadTicks;
      break;
    case Scenario::Flood:
      count = o.floodClients;
      drive.drive = Drive::Flood;
      drive.active = count;
      drive.durationNs = Ns(o.floodSeconds);
      break;
    case Scenario::Crowd:
      count = o.crowdConnections;
      drive.drive = Drive::Paced;
      drive.active = std::min(o.speakers, count);
      drive.sayOnly = true;
      drive.durationNs = Ns(o.crowdSeconds);
      break;
    case Scenario::Web:
      count = o.webPlayers;
      drive.drive = Drive::Paced;
      drive.active = count;
      drive.durationNs = Ns(o.webSeconds);
      ticks = o.spreadTicks;
      break;
  }
  Fleet fleet;
  MakeFleet(fleet, peer.echo, peer.port, count, prefix, o.seed);
  fleet.web = peer.web;
  const ProcReading before = ReadProcess(peer.pid);
  const std::int64_t greet = ConnectAll(fleet, o.inflight, 60 * kSecond);
  const ProcReading greeted = ReadProcess(peer.pid);
  bool ok = greet >= 0;
  if (ok) f.greetSeconds = static_cast<double>(greet) / 1e9;
  const std::int64_t setupStart = NowNs();
  ok = ok && SetUpAll(fleet, o.inflight, 120 * kSecond);
  if (ok) f.setupSeconds = static_cast<double>(NowNs() - setupStart) / 1e9;
  const ProcReading playing = ReadProcess(peer.pid);
  if (before.ok && greeted.ok && playing.ok && count > 0) {
    f.rssPerGreetedKiB = static_cast<double>(greeted.rssKiB - before.rssKiB) / static_cast<double>(count);
    f.rssPerPlayerKiB = static_cast<double>(playing.rssKiB - before.rssKiB) / static_cast<double>(count);
  }
  if (ok && ticks > 0) {
    std::vector<int> origins;
    for (const Player& p : fleet.players) origins.push_back(p.origin);
    ok = Spread(fleet, PlanSpread(origins, ticks, o.seed), (ticks + 3) * kTickNs);
  }
  f.placement = Placed(fleet, 0, count, ticks);
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0;
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The figure-by-figure median of several runs.
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
  m.commandsPerSecond = of([](const Figures& f) { return f.commandsPerSecond; });
  m.cpuPercent = of([](const Figures& f) { return f.cpuPercent; });
  m.cpuSeconds = of([](const Figures& f) { return f.cpuSeconds; });
  m.clientCpuPercent = of([](const Figures& f) { return f.clientCpuPercent; });
  m.rssKiB = of([](const Figures& f) { return f.rssKiB; });
  m.greetSeconds = of([](const Figures& f) { return f.greetSeconds; });
  m.setupSeconds = of([](const Figures& f) { return f.setupSeconds; });
  m.rssPerGreetedKiB = of([](const Figures& f) { return f.rssPerGreetedKiB; });
  m.rssPerPlayerKiB = of([](const Figures& f) { return f.rssPerPlayerKiB; });
  std::uint64_t lost = 0;
  for (const Figures& f : runs) lost += f.unanswered;
  m.unanswered = lost;
  return m;
}

// --- Printing -------------------------------------------------------------------------

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Ms(double ns) { return Fixed(ns / 1e6, 3) + " ms"; }

std::string Ratio(double game, double echo) {
  if (game < 0 || echo <= 0) return "-";
  return Fixed(game / echo, 2) + "x";
}

struct Row {
  std::string figure;
  std::string game;
  std::string echo;
  std::string ratio;
};

struct Target {
  std::string what;
  bool met = false;
  std::string measured;
};

struct Report {
  Scenario scenario;
  std::string setting;
  Figures game;
  Figures echo;  // the baseline: the echo server, or for `web` the game over TCP
  std::vector<Row> rows;
  std::vector<Target> targets;
};

Row Latency(const std::string& name, double game, double echo) { return {name, Ms(game), Ms(echo), Ratio(game, echo)}; }

Row Value(const std::string& name, double game, double echo, int decimals, const std::string& unit) {
  auto show = [&](double v) { return v < 0 ? std::string("n/a") : Fixed(v, decimals) + unit; };
  return {name, show(game), show(echo), Ratio(game, echo)};
}

std::string Describe(Scenario s, const Options& o) {
  switch (s) {
    case Scenario::Idle:
      return std::to_string(o.idlePlayers) + " players in play, nothing typed, " + Fixed(o.idleSeconds, 0) + " s";
    case Scenario::Chat:
      return std::to_string(o.chatPlayers) +
             " players in play, each typing one command a second (look 25%, say 25%, status 15%, "
             "move 15%, whisper 20%), " + Fixed(o.chatSeconds, 0) + " s";
    case Scenario::Flood:
      return std::to_string(o.floodClients) +
             " clients, each sending its next command (chat mix) as soon as the last is answered, " +
             Fixed(o.floodSeconds, 0) + " s";
    case Scenario::Crowd:
      return std::to_string(o.crowdConnections) + " connections in play; " + std::to_string(o.speakers) +
             " of them say one line a second for " + Fixed(o.crowdSeconds, 0) + " s" +
             (o.walkTicks > 0 ? " in their dens, then as long out in the open" : "");
    case Scenario::Web:
      return std::to_string(o.webPlayers) +
             " players in play on the web client (WebSocket), typing the chat mix one command a second, " +
             Fixed(o.webSeconds, 0) + " s; baseline: the same players over TCP to the same server";
  }
  return {};
}

void BuildRows(Report& r, const Options& o) {
  const Figures& g = r.game;
  const Figures& e = r.echo;
  const bool typing = r.scenario != Scenario::Idle;
  if (r.scenario == Scenario::Crowd) {
    r.rows.push_back(Value("time until all are greeted", g.greetSeconds, e.greetSeconds, 3, " s"));
    r.rows.push_back(Value("time to set all up", g.setupSeconds, e.setupSeconds, 3, " s"));
    r.rows.push_back(Value("RSS per greeted connection", g.rssPerGreetedKiB, e.rssPerGreetedKiB, 2, " KiB"));
    r.rows.push_back(Value("RSS per connection in play", g.rssPerPlayerKiB, e.rssPerPlayerKiB, 2, " KiB"));
  }
  if (typing) {
    const std::string what = r.scenario == Scenario::Crowd ? "say in a den, " : "round trip ";
    r.rows.push_back(Latency(what + "median", g.latency.median, e.latency.median));
    r.rows.push_back(Latency(what + "p99", g.latency.p99, e.latency.p99));
    r.rows.push_back(Latency(what + "max", g.latency.max, e.latency.max));
    if (r.scenario == Scenario::Crowd && o.walkTicks > 0) {
      r.rows.push_back(Latency("say in the open, median", g.openLatency.median, e.openLatency.median));
      r.rows.push_back(Latency("say in the open, p99", g.openLatency.p99, e.openLatency.p99));
      r.rows.push_back(Latency("say in the open, max", g.openLatency.max, e.openLatency.max));
    }
    r.rows.push_back(Value("commands per second", g.commandsPerSecond, e.commandsPerSecond, 0, ""));
  }
  r.rows.push_back(Value("server CPU time (utime+stime)", g.cpuSeconds, e.cpuSeconds, 2, " s"));
  r.rows.push_back(Value("server CPU, % of one core", g.cpuPercent, e.cpuPercent, 2, " %"));
  r.rows.push_back(Value("load generator CPU, % of one core", g.clientCpuPercent, e.clientCpuPercent, 2, " %"));
  r.rows.push_back(Value("server RSS", g.rssKiB < 0 ? -1 : g.rssKiB / 1024, e.rssKiB < 0 ? -1 : e.rssKiB / 1024, 1, " MiB"));

  auto target = [&](const std::string& what, bool met, const std::string& measured) {
    r.targets.push_back({what, met && g.ok, measured});
  };
  switch (r.scenario) {
    case Scenario::Idle:
      target("idle CPU under 0.5% of one core", g.cpuPercent >= 0 && g.cpuPercent < 0.5, Fixed(g.cpuPercent, 3) + " %");
      break;
    case Scenario::Chat:
      target("chat p99 under 5 ms", g.latency.p99 < 5e6, Ms(g.latency.p99));
      target("chat median within 2x the echo median", e.latency.median > 0 && g.latency.median <= 2 * e.latency.median,
             Ratio(g.latency.median, e.latency.median));
      break;
    case Scenario::Flood:
      target("flood at least half the echo throughput",
             e.commandsPerSecond > 0 && g.commandsPerSecond >= 0.5 * e.commandsPerSecond,
             Ratio(g.commandsPerSecond, e.commandsPerSecond));
      break;
    case Scenario::Crowd:
      target("crowd greeted within 5 s", g.greetSeconds >= 0 && g.greetSeconds <= 5, Fixed(g.greetSeconds, 3) + " s");
      target("crowd under 8 KiB RSS per idle connection in play", g.rssPerPlayerKiB >= 0 && g.rssPerPlayerKiB < 8,
             Fixed(g.rssPerPlayerKiB, 2) + " KiB");
      target("crowd say p99 under 10 ms, speakers in a den", g.latency.p99 < 10e6, Ms(g.latency.p99));
      if (o.walkTicks > 0) {
        target("crowd say p99 under 10 ms, speakers in the open", g.openLatency.p99 < 10e6, Ms(g.openLatency.p99));
      }
      break;
    case Scenario::Web:
      target("web median within 1.5x the TCP median", e.latency.median > 0 && g.latency.median <= 1.5 * e.latency.median,
             Ratio(g.latency.median, e.latency.median));
      break;
  }
}

void PrintReport(const Report& r, const Options& o) {
  std::printf("\n== %s: %s%s\n", std::string(ScenarioName(r.scenario)).c_str(), r.setting.c_str(),
              o.runs > 1 ? (" (median of " + std::to_string(o.runs) + " runs)").c_str() : "");
  const bool web = r.scenario == Scenario::Web;
  std::printf("   players %s (%s)\n", r.game.placement.c_str(),
              web ? "pelthollow = over WebSocket, echo = the same over TCP" : "the echo gets the same lines");
  if (!r.game.openPlacement.empty()) {
    std::printf("   speakers then walk out: %s\n", r.game.openPlacement.c_str());
  }
  std::printf("   %-32s %14s %14s %8s\n", "", "pelthollow", "echo", "ratio");
  for (const Row& row : r.rows) {
    std::printf("   %-32s %14s %14s %8s\n", row.figure.c_str(), row.game.c_str(), row.echo.c_str(), row.ratio.c_str());
  }
  if (r.scenario == Scenario::Chat || r.scenario == Scenario::Flood || web) {
    std::printf("   by command (pelthollow, median / p99):");
    for (const Command k : {Command::Look, Command::Say, Command::Status, Command::Move, Command::Whisper}) {
      const Summary& s = r.game.byKind[static_cast<std::size_t>(k)];
      std::printf(" %s %s / %s;", std::string(CommandName(k)).c_str(), Fixed(s.median / 1e6, 3).c_str(),
                  Fixed(s.p99 / 1e6, 3).c_str());
    }
    std::printf(" ms\n");
  }
  if (r.game.unanswered + r.echo.unanswered > 0) {
    std::printf("   commands left unanswered: pelthollow %llu, echo %llu\n",
                static_cast<unsigned long long>(r.game.unanswered), static_cast<unsigned long long>(r.echo.unanswered));
  }
  if (!r.game.problem.empty()) std::printf("   pelthollow: %s\n", r.game.problem.c_str());
  if (!r.echo.problem.empty()) std::printf("   echo: %s\n", r.echo.problem.c_str());
  for (const Target& t : r.targets) {
    std::printf("   target %-52s %-6s (%s)\n", t.what.c_str(), t.met ? "MET" : "MISSED", t.measured.c_str());
  }
  std::fflush(stdout);
}

void PrintMarkdown(const std::vector<Report>& reports) {
  std::printf("\n| Scenario | Figure | pelthollow | echo baseline | ratio |\n|---|---|---:|---:|---:|\n");
  for (const Report& r : reports) {
    for (const Row& row : r.rows) {
      std::printf("| %s | %s | %s | %s | %s |\n", std::string(ScenarioName(r.scenario)).c_str(), row.figure.c_str(),
                  row.game.c_str(), row.echo.c_str(), row.ratio.c_str());
    }
  }
  std::printf("\n| Target | Measured | Met |\n|---|---:|:---:|\n");
  for (const Report& r : reports) {
    for (const Target& t : r.targets) {
      std::printf("| %s | %s | %s |\n", t.what.c_str(), t.measured.c_str(), t.met ? "yes" : "**no**");
    }
  }
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

// The load average, since other work on the machine shifts every figure.
std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void PrintMachine() {
  utsname u{};
  ::uname(&u);
  std::printf("machine: %ld CPUs online, %s, Linux %s, load average %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
              CpuModel().c_str(), u.release, LoadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    Usage();
    return 2;
  }
  // One descriptor per connection, for this process and for the server it starts.
  const std::size_t most = std::max({o.idlePlayers, o.chatPlayers, o.floodClients, o.crowdConnections});
  const long limit = RaiseFileLimit(static_cast<long>(most) + 256);
  if (limit < static_cast<long>(most) + 64) {
    std::fprintf(stderr, "the descriptor limit (%ld) is too small for %zu connections; use smaller counts\n", limit,
                 most);
    return 2;
  }
  PrintMachine();
  std::printf("server: %s\n", o.port > 0 ? ("running on port " + std::to_string(o.port)).c_str() : o.server.c_str());
  std::fflush(stdout);

  std::vector<Report> reports;
  bool allRan = true;
  for (const Scenario scenario : o.scenarios) {
    std::vector<Figures> games;
    std::vector<Figures> echoes;
    for (int run = 0; run < o.runs; ++run) {
      // Names are unique per run, also against a server that keeps its characters.
      const std::string prefix = std::string(1, static_cast<char>(std::toupper(ScenarioName(scenario)[0]))) +
                                 Base36((static_cast<std::uint64_t>(::getpid()) << 8) + static_cast<std::uint64_t>(run)) + "-";
      std::string error;
      if (scenario == Scenario::Web) {
        // Both fleets on one server: first over TCP (the baseline), then over WebSocket.
        GameProcess game;
        if (!StartGame(o.server, game, error, true)) {
          std::fprintf(stderr, "pelthollow: %s\n", error.c_str());
          return 1;
        }
        echoes.push_back(RunOnce(scenario, Peer{false, game.port, game.pid, false}, o, prefix + "t"));
        games.push_back(RunOnce(scenario, Peer{false, game.webPort, game.pid, true}, o, prefix + "w"));
        StopGame(game, o.keep);
        if (o.keep) std::printf("   server folder kept: %s\n", game.folder.c_str());
        continue;
      }
      EchoProcess echo;
      if (!StartEcho(kWelcome, echo, error)) {
        std::fprintf(stderr, "echo server: %s\n", error.c_str());
        return 1;
      }
      echoes.push_back(RunOnce(scenario, Peer{true, echo.port, echo.pid}, o, prefix));
      StopEcho(echo);

      GameProcess game;
      Peer peer{false, o.port, o.pid};
      if (o.port == 0) {
        if (!StartGame(o.server, game, error)) {
          std::fprintf(stderr, "pelthollow: %s\n", error.c_str());
          return 1;
        }
        peer.port = game.port;
        peer.pid = game.pid;
      }
      games.push_back(RunOnce(scenario, peer, o, prefix));
      if (o.port == 0) {
        const std::string folder = game.folder;
        const std::string logPath = game.log;
        StopGame(game, true);
        // A server built with sanitizers reports into its log; such a run is not clean.
        const std::string log = Tail(logPath, 1 << 20);
        const std::size_t report = std::min(log.find("Sanitizer"), log.find("runtime error:"));
        if (report != std::string::npos) {
          std::printf("   pelthollow log holds a sanitizer report:\n%s\n",
                      log.substr(report > 200 ? report - 200 : 0, 2000).c_str());
          games.back().ok = false;
        }
        if (o.keep) {
          std::printf("   server folder kept: %s\n", folder.c_str());
        } else {
          std::error_code ignored;
          std::filesystem::remove_all(folder, ignored);
        }
      }
    }
    Report r{scenario, Describe(scenario, o), MedianOf(games), MedianOf(echoes), {}, {}};
    allRan = allRan && r.game.ok && r.echo.ok;
    BuildRows(r, o);
    PrintReport(r, o);
    reports.push_back(std::move(r));
  }
  if (o.markdown) PrintMarkdown(reports);
  std::printf("\nload average at the end: %s\n", LoadAverage().c_str());
  std::printf("\nsummary:");
  int missed = 0;
  for (const Report& r : reports) {
    for (const Target& t : r.targets) missed += t.met ? 0 : 1;
  }
  std::printf(" %d target%s missed%s\n", missed, missed == 1 ? "" : "s", allRan ? "" : "; some runs did not complete");
  return allRan ? 0 : 1;
}
