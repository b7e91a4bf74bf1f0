#include "bench_report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bench_recorded.h"
#include "bench_upgrade.h"

namespace bench {

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Ms(double ns) { return ns < 0 ? std::string("n/a") : Fixed(ns / 1e6, 3) + " ms"; }

std::string Ratio(double game, double echo) {
  if (game < 0 || echo <= 0) return "-";
  return Fixed(game / echo, 2) + "x";
}

Row Kept(Row row, std::string key, double game, double base, Better better) {
  const std::string_view unit = std::string_view(key).substr(key.rfind('.') + 1);
  row.value = -1;
  if (unit == "ratio") {
    if (game >= 0 && base > 0) row.value = game / base;
  } else if (unit == "ms") {
    if (game > 0) row.value = game / 1e6;
  } else if (game >= 0) {
    row.value = game;
  }
  row.key = std::move(key);
  row.better = better;
  return row;
}

namespace {

Row Latency(const std::string& name, double game, double echo) { return {name, Ms(game), Ms(echo), Ratio(game, echo)}; }

Row Value(const std::string& name, double game, double echo, int decimals, const std::string& unit) {
  auto show = [&](double v) { return v < 0 ? std::string("n/a") : Fixed(v, decimals) + unit; };
  return {name, show(game), show(echo), Ratio(game, echo)};
}

}  // namespace

Report NewReport(Scenario s, std::string setting, Door door, Figures game, Figures echo) {
  Report r;
  r.scenario = s;
  r.setting = std::move(setting);
  r.door = door;
  r.game = std::move(game);
  r.echo = std::move(echo);
  return r;
}

std::string GameSide(const Report& r) {
  if (!r.gameSide.empty()) return r.gameSide;
  if (r.scenario == Scenario::Upgrade) return "upgrade";
  switch (r.door) {
    case Door::Web: return "WebSocket";
    case Door::Telnet: return "telnet";
    case Door::Tls: return "TLS";
    case Door::Tcp: break;
  }
  return "pelthollow";
}

std::string BaseSide(const Report& r) {
  if (!r.baseSide.empty()) return r.baseSide;
  if (r.scenario == Scenario::Upgrade) return "before it";
  return r.door == Door::Tcp ? "echo" : "TCP";
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
      return std::to_string(o.webPlayers) + " players in play on the web client (WebSocket), typing as in chat, " +
             Fixed(o.webSeconds, 0) + " s; baseline: as many players over TCP to the same server, before or after in turn";
    case Scenario::Telnet:
      return std::to_string(o.telnetPlayers) + " players in play on the telnet port, typing as in chat, " +
             Fixed(o.telnetSeconds, 0) +
             " s (a round trip ends at the answer's first line); baseline: as many players over TCP to the "
             "same server, before or after in turn";
    case Scenario::IdleDoors:
      return std::to_string(o.doorConnections) +
             " idle connections through the door, greeted, then set up; each door on a fresh server with "
             "every door open; baseline: as many over TCP";
    case Scenario::Upgrade:
      return DescribeUpgrade(o);
    case Scenario::Siege:
    case Scenario::Tls:
      break;  // each of their reports says what it measured
  }
  return {};
}

void BuildRows(Report& r, const Options& o) {
  const Figures& g = r.game;
  const Figures& e = r.echo;
  if (r.scenario == Scenario::IdleDoors) {
    r.rows.push_back(Value("time until all are greeted", g.greetSeconds, e.greetSeconds, 3, " s"));
    r.rows.push_back(Value("time to set all up", g.setupSeconds, e.setupSeconds, 3, " s"));
    r.rows.push_back(Value("RSS per greeted connection", g.rssPerGreetedKiB, e.rssPerGreetedKiB, 2, " KiB"));
    r.rows.push_back(Value("RSS per connection in play", g.rssPerPlayerKiB, e.rssPerPlayerKiB, 2, " KiB"));
    r.rows.push_back(Value("server descriptors per connection", g.fdsPerGreeted, e.fdsPerGreeted, 2, ""));
    r.rows.push_back(Value("server threads, none connected", g.threadsBefore, e.threadsBefore, 0, ""));
    r.rows.push_back(Value("server threads, all connected", g.threadsGreeted, e.threadsGreeted, 0, ""));
    r.rows.push_back(Value("server RSS, all in play", g.rssKiB < 0 ? -1 : g.rssKiB / 1024,
                           e.rssKiB < 0 ? -1 : e.rssKiB / 1024, 1, " MiB"));
    return;
  }
  // The rows whose figures are recorded, under the scenario's name ("chat.") and the
  // row's.
  const std::string scenario(ScenarioName(r.scenario));
  auto ratio = [&](Row row, const std::string& name, double game, double base, Better better = Better::Lower) {
    r.rows.push_back(Kept(std::move(row), scenario + "." + name + ".ratio", game, base, better));
  };
  const bool typing = r.scenario != Scenario::Idle;
  if (r.scenario == Scenario::Crowd) {
    ratio(Value("time until all are greeted", g.greetSeconds, e.greetSeconds, 3, " s"), "greet_time", g.greetSeconds,
          e.greetSeconds);
    ratio(Value("time to set all up", g.setupSeconds, e.setupSeconds, 3, " s"), "setup_time", g.setupSeconds,
          e.setupSeconds);
    r.rows.push_back(Kept(Value("RSS per greeted connection", g.rssPerGreetedKiB, e.rssPerGreetedKiB, 2, " KiB"),
                          "crowd.rss_per_greeted.kib", g.rssPerGreetedKiB, e.rssPerGreetedKiB));
    r.rows.push_back(Kept(Value("RSS per connection in play", g.rssPerPlayerKiB, e.rssPerPlayerKiB, 2, " KiB"),
                          "crowd.rss_per_player.kib", g.rssPerPlayerKiB, e.rssPerPlayerKiB));
    // Its heaps alone: RSS also counts the pages of libraries first read while they set up.
    r.rows.push_back(Value("anonymous RSS per connection in play", g.anonPerPlayerKiB, e.anonPerPlayerKiB, 2, " KiB"));
  }
  if (typing) {
    const bool crowd = r.scenario == Scenario::Crowd;
    const std::string what = crowd ? "say in a den, " : "round trip ";
    const std::string name = crowd ? "den_say_" : "round_trip_";
    ratio(Latency(what + "median", g.latency.median, e.latency.median), name + "median", g.latency.median,
          e.latency.median);
    ratio(Latency(what + "p99", g.latency.p99, e.latency.p99), name + "p99", g.latency.p99, e.latency.p99);
    ratio(Latency(what + "max", g.latency.max, e.latency.max), name + "max", g.latency.max, e.latency.max);
    if (crowd && o.walkTicks > 0) {
      ratio(Latency("say in the open, median", g.openLatency.median, e.openLatency.median), "open_say_median",
            g.openLatency.median, e.openLatency.median);
      ratio(Latency("say in the open, p99", g.openLatency.p99, e.openLatency.p99), "open_say_p99",
            g.openLatency.p99, e.openLatency.p99);
      r.rows.push_back(Latency("say in the open, max", g.openLatency.max, e.openLatency.max));
    }
    if (g.loginLatency.count > 0) {
      r.rows.push_back(Latency("login answer, median", g.loginLatency.median, e.loginLatency.median));
      r.rows.push_back(Latency("login answer, p99", g.loginLatency.p99, e.loginLatency.p99));
    }
    // Elsewhere the players keep a pace, which the figure only repeats.
    Row rate = Value("commands per second", g.commandsPerSecond, e.commandsPerSecond, 0, "");
    if (r.scenario == Scenario::Flood) {
      ratio(std::move(rate), "commands_per_second", g.commandsPerSecond, e.commandsPerSecond, Better::Higher);
    } else {
      r.rows.push_back(std::move(rate));
    }
  }
  r.rows.push_back(Value("server CPU time (utime+stime)", g.cpuSeconds, e.cpuSeconds, 2, " s"));
  ratio(Value("server CPU, % of one core", g.cpuPercent, e.cpuPercent, 2, " %"), "server_cpu", g.cpuPercent,
        e.cpuPercent);
  r.rows.push_back(Value("load generator CPU, % of one core", g.clientCpuPercent, e.clientCpuPercent, 2, " %"));
  ratio(Value("server RSS", g.rssKiB < 0 ? -1 : g.rssKiB / 1024, e.rssKiB < 0 ? -1 : e.rssKiB / 1024, 1, " MiB"),
        "server_rss", g.rssKiB, e.rssKiB);
  AddTargets(r, o);
}

void AddTargets(Report& r, const Options& o) {
  const Figures& g = r.game;
  const Figures& e = r.echo;
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
    case Scenario::Telnet:
    case Scenario::IdleDoors:
    case Scenario::Siege:
    case Scenario::Tls:
    case Scenario::Upgrade:  // its figures are its own (bench_upgrade.cpp)
      break;
  }
}

void PrintReport(const Report& r, const Options& o) {
  std::printf("\n== %s: %s%s\n", std::string(ScenarioName(r.scenario)).c_str(), r.setting.c_str(),
              o.runs > 1 ? (" (median of " + std::to_string(o.runs) + " runs)").c_str() : "");
  const bool doors = r.door != Door::Tcp;
  const std::string gameText = GameSide(r);
  const std::string baseText = BaseSide(r);
  const char* game = gameText.c_str();
  const char* base = baseText.c_str();
  if (!r.game.placement.empty()) {
    std::printf("   players %s (%s)\n", r.game.placement.c_str(),
                r.scenario == Scenario::Upgrade ? "the same players, the same mix"
                : doors                         ? "the TCP players typed the same mix"
                                                : "the echo gets the same lines");
  }
  if (!r.game.openPlacement.empty()) {
    std::printf("   speakers then walk out: %s\n", r.game.openPlacement.c_str());
  }
  // Beside each figure that is recorded: the recorded one, marked when this run's is
  // more than a quarter worse.
  const bool recorded = std::any_of(r.rows.begin(), r.rows.end(), [](const Row& row) { return row.recorded > 0; });
  std::printf("   %-34s %14s %14s %8s%s\n", "", game, base, "ratio", recorded ? "   recorded" : "");
  for (const Row& row : r.rows) {
    std::printf("   %-34s %14s %14s %8s", row.figure.c_str(), row.game.c_str(), row.echo.c_str(), row.ratio.c_str());
    if (row.recorded > 0) {
      std::printf(" %10s", ShowFigure(row.key, row.recorded).c_str());
      const double worse = row.value < 0 ? 0 : Worse(row.value, row.recorded, row.better);
      if (worse > kMarkedWorse) std::printf("  << %.0f%% worse", 100 * worse);
    }
    std::printf("\n");
  }
  if (!r.medianRatios.empty()) {
    std::printf("   %-34s", "median ratio, run by run");
    for (const double ratio : r.medianRatios) std::printf(" %.2fx", ratio);
    std::printf("\n");
  }
  if (r.scenario == Scenario::Chat || r.scenario == Scenario::Flood || r.scenario == Scenario::Web ||
      r.scenario == Scenario::Telnet) {
    std::printf("   by command (%s, median / p99):", game);
    for (const Command k : {Command::Look, Command::Say, Command::Status, Command::Move, Command::Whisper}) {
      const Summary& s = r.game.byKind[static_cast<std::size_t>(k)];
      std::printf(" %s %s / %s;", std::string(CommandName(k)).c_str(), Fixed(s.median / 1e6, 3).c_str(),
                  Fixed(s.p99 / 1e6, 3).c_str());
    }
    std::printf(" ms\n");
  }
  if (r.game.unanswered + r.echo.unanswered > 0) {
    std::printf("   commands left unanswered: %s %llu, %s %llu\n", game,
                static_cast<unsigned long long>(r.game.unanswered), base,
                static_cast<unsigned long long>(r.echo.unanswered));
  }
  if (!r.game.problem.empty()) std::printf("   %s: %s\n", game, r.game.problem.c_str());
  if (!r.echo.problem.empty()) std::printf("   %s: %s\n", base, r.echo.problem.c_str());
  for (const Target& t : r.targets) {
    std::printf("   target %-52s %-6s (%s)\n", t.what.c_str(), t.met ? "MET" : "MISSED", t.measured.c_str());
  }
  std::fflush(stdout);
}

void PrintMarkdown(const std::vector<Report>& reports) {
  // Each pair of columns (a door against its baseline, an attack against none) has a
  // table of its own, in the order they first come; the upgrade's come after.
  std::vector<std::pair<std::string, std::string>> tables;
  for (const Report& r : reports) {
    if (r.scenario == Scenario::Upgrade) continue;
    const std::pair<std::string, std::string> sides{GameSide(r), BaseSide(r)};
    if (std::find(tables.begin(), tables.end(), sides) == tables.end()) tables.push_back(sides);
  }
  for (const auto& [gameSide, baseSide] : tables) {
    const std::string base = baseSide == "echo" ? "echo baseline" : baseSide == "TCP" ? "TCP, same server" : baseSide;
    std::printf("\n| Scenario | Figure | %s | %s | ratio |\n|---|---|---:|---:|---:|\n", gameSide.c_str(),
                base.c_str());
    for (const Report& r : reports) {
      if (r.scenario == Scenario::Upgrade || GameSide(r) != gameSide || BaseSide(r) != baseSide) continue;
      const std::string scenario = r.scenario == Scenario::Siege ? r.setting.substr(0, r.setting.find(':'))
                                                                  : std::string(ScenarioName(r.scenario));
      for (const Row& row : r.rows) {
        std::printf("| %s | %s | %s | %s | %s |\n", scenario.c_str(), row.figure.c_str(), row.game.c_str(),
                    row.echo.c_str(), row.ratio.c_str());
      }
    }
  }
  for (const Report& r : reports) {
    if (r.scenario != Scenario::Upgrade) continue;
    std::printf("\n| Figure | %s | %s | ratio |\n|---|---:|---:|---:|\n", GameSide(r).c_str(), BaseSide(r).c_str());
    for (const Row& row : r.rows) {
      std::printf("| %s | %s | %s | %s |\n", row.figure.c_str(), row.game.c_str(), row.echo.c_str(), row.ratio.c_str());
    }
  }
  std::printf("\n| Target | Measured | Met |\n|---|---:|:---:|\n");
  for (const Report& r : reports) {
    for (const Target& t : r.targets) {
      std::printf("| %s | %s | %s |\n", t.what.c_str(), t.measured.c_str(), t.met ? "yes" : "**no**");
    }
  }
}

namespace {

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

}  // namespace

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

}  // namespace bench
