// pelthollow-bench: the load generator. It starts a pelthollow server (or uses a
// running one), drives simulated players against it from one epoll thread, and runs
// the same players against a NUL-framed echo server of its own as the baseline; every
// figure of the game server is printed with its ratio to the echo's. The web and
// telnet scenarios compare the game's WebSocket or telnet players with its TCP players
// instead, idle-doors what idle connections through each door cost the server, and
// upgrade the pause the players see while the server upgrades in place. The siege
// measures a victim beside each attack against none, and tls the game port's TLS twin
// against plain TCP. Every figure that is recorded (bench/recorded_figures.txt) is
// printed beside the recorded one.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench_echo.h"
#include "bench_options.h"
#include "bench_recorded.h"
#include "bench_report.h"
#include "bench_scenario.h"
#include "bench_server.h"
#include "bench_siege.h"
#include "bench_tls.h"
#include "bench_upgrade.h"
#include "server/doors.h"

namespace {

using namespace bench;

// Stops a server the bench started. False when its log holds a sanitizer report (a
// server built with sanitizers reports there): such a run is not clean.
bool Finish(GameProcess& game, bool keep) {
  const std::string folder = game.folder->Path();
  const std::string report = StopGame(game, keep);
  if (!report.empty()) std::printf("   pelthollow log holds a sanitizer report:\n%s\n", report.c_str());
  if (keep) std::printf("   server folder kept: %s\n", folder.c_str());
  return report.empty();
}

// Idle-doors, one run: the same number of idle connections through each door, each on
// a fresh server with every door open, so one door's freed memory does not make the
// next one's look cheap. False when a server did not start.
bool RunDoors(const Options& o, const std::string& prefix, std::array<std::vector<Figures>, 3>& byDoor) {
  for (const Door door : {Door::Tcp, Door::Web, Door::Telnet}) {
    GameProcess game;
    std::string error;
    if (!StartGame(o.server, game, error, true, true)) {
      std::fprintf(stderr, "pelthollow: %s\n", error.c_str());
      return false;
    }
    const int port = door == Door::Web ? game.webPort : door == Door::Telnet ? game.telnetPort : game.Port();
    auto& runs = byDoor[static_cast<std::size_t>(door)];
    runs.push_back(RunOnce(Scenario::IdleDoors, Peer{false, port, game.Pid(), door}, o, prefix));
    if (!Finish(game, o.keep)) runs.back().ok = false;
  }
  return true;
}

// The recorded figures at `o.recorded`, their problems printed; none when there are none.
RecordedFigures LoadRecorded(const Options& o) {
  RecordedFigures figures;
  if (o.recorded.empty()) return figures;
  std::vector<std::string> problems;
  if (!ReadRecorded(o.recorded, figures, problems)) {
    std::printf("recorded figures: %s cannot be read; none are compared\n", o.recorded.c_str());
    return figures;
  }
  std::printf("recorded figures: %s, %zu kept%s\n", o.recorded.c_str(), figures.size(),
              o.quick ? " (from full-length runs: --quick has fewer players for less time, so read its marks "
                        "loosely)"
                      : "");
  for (const std::string& problem : problems) std::printf("   recorded figures, left out: %s\n", problem.c_str());
  return figures;
}

// Writes the figures of `reports` to `o.record`, keeping the file's figures that they
// did not measure. False after saying why.
bool Record(const std::vector<Report>& reports, const Options& o, int argc, char** argv) {
  RecordedFigures old;
  std::vector<std::string> problems;
  if (ReadRecorded(o.record, old, problems)) {
    for (const std::string& problem : problems) std::printf("   %s, left out: %s\n", o.record.c_str(), problem.c_str());
  }
  std::string how = "`";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--record" || a == "--recorded" || a == "--server") && i + 1 < argc) {
      ++i;
      continue;
    }
    how += (how.size() > 1 ? " " : "") + a;
  }
  how += o.runs > 1 ? "`, medians of " + std::to_string(o.runs) + " runs" : "`, one run";
  char date[16] = "";
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d", &utc);
  const std::string temporary = o.record + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << RecordedText(reports, old, how, date);
    out.close();
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), o.record.c_str()) != 0) {
    std::fprintf(stderr, "cannot replace %s\n", o.record.c_str());
    return false;
  }
  std::printf("figures recorded in %s\n", o.record.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    Usage();
    return 2;
  }
  // A TLS session writes to its socket itself: a server that has gone must not end the
  // load generator.
  ::signal(SIGPIPE, SIG_IGN);
  // One descriptor per connection, for this process and for the server it starts (the
  // siege's login storm holds 575, a handshake storm up to 1,000 at once).
  std::size_t most = std::max({o.idlePlayers, o.chatPlayers, o.floodClients, o.crowdConnections, o.webPlayers,
                               o.telnetPlayers, o.doorConnections});
  for (const Scenario scenario : o.scenarios) {
    if (scenario == Scenario::Siege) most = std::max<std::size_t>(most, 1024);
    if (scenario == Scenario::Tls) most = std::max({most, o.tlsIdle, 2 * o.tlsPlayers, o.stormPlayers + 1024});
  }
  const long limit = RaiseFileLimit(static_cast<long>(most) + 256);
  if (limit < static_cast<long>(most) + 64) {
    std::fprintf(stderr, "the descriptor limit (%ld) is too small for %zu connections; use smaller counts\n", limit,
                 most);
    return 2;
  }
  PrintMachine();
  std::printf("server: %s\n", o.port > 0 ? ("running on port " + std::to_string(o.port)).c_str() : o.server.c_str());
  const RecordedFigures recorded = LoadRecorded(o);
  std::fflush(stdout);

  std::vector<Report> reports;
  auto show = [&](Report r) {
    Compare(r, recorded);
    PrintReport(r, o);
    reports.push_back(std::move(r));
  };
  bool allRan = true;
  for (const Scenario scenario : o.scenarios) {
    if (scenario == Scenario::Siege || scenario == Scenario::Tls) {
      std::vector<Report> these;
      if (scenario == Scenario::Siege) {
        std::vector<SiegeRun> runs;
        for (int run = 0; run < o.runs; ++run) {
          std::printf("\n== siege, run %d of %d\n", run + 1, o.runs);
          std::fflush(stdout);
          runs.push_back(RunSiege(o));
          if (!runs.back().ok) {
            allRan = false;
            std::printf("   siege run %d: %s\n", run + 1, runs.back().problem.c_str());
          }
        }
        these = SiegeReports(runs, o);
      } else {
        these = RunTls(o, allRan);
      }
      for (Report& r : these) show(std::move(r));
      continue;
    }
    std::vector<Figures> games;
    std::vector<Figures> echoes;
    const CpuSplit split(scenario == Scenario::Crowd && !o.sharedCpus);
    std::array<std::vector<Figures>, 3> byDoor;  // idle-doors, indexed by Door
    const Door door = scenario == Scenario::Web ? Door::Web : scenario == Scenario::Telnet ? Door::Telnet : Door::Tcp;
    if (scenario == Scenario::Upgrade) {
      Report r = RunUpgrade(o);
      allRan = allRan && r.game.ok;
      show(std::move(r));
      continue;
    }
    for (int run = 0; run < o.runs; ++run) {
      const std::string prefix = NamePrefix(scenario, run);
      std::string error;
      if (scenario == Scenario::IdleDoors) {
        if (!RunDoors(o, prefix, byDoor)) return 1;
        continue;
      }
      if (door != Door::Tcp) {
        // Both sides on one server of its own, one after the other: over TCP (the
        // baseline) and the same number of new players through the door. Runs take
        // turns at which side goes first, so a machine that grows busier or quieter
        // during a run does not favour one side.
        GameProcess game;
        if (!StartGame(o.server, game, error, door == Door::Web, door == Door::Telnet)) {
          std::fprintf(stderr, "pelthollow: %s\n", error.c_str());
          return 1;
        }
        const Peer tcp{false, game.Port(), game.Pid()};
        const Peer other{false, door == Door::Web ? game.webPort : game.telnetPort, game.Pid(), door};
        const std::string tag = door == Door::Web ? "w" : "n";
        if (run % 2 == 0) {
          echoes.push_back(RunOnce(scenario, tcp, o, prefix + "t"));
          games.push_back(RunOnce(scenario, other, o, prefix + tag));
        } else {
          games.push_back(RunOnce(scenario, other, o, prefix + tag));
          echoes.push_back(RunOnce(scenario, tcp, o, prefix + "t"));
        }
        if (!Finish(game, o.keep)) games.back().ok = false;
        continue;
      }
      EchoProcess echo;
      if (!StartEcho(server::kWelcome, echo, error)) {
        std::fprintf(stderr, "echo server: %s\n", error.c_str());
        return 1;
      }
      echoes.push_back(RunOnce(scenario, Peer{true, echo.port, echo.pid}, o, prefix));
      StopEcho(echo);

      GameProcess game;
      Peer peer{false, o.port, o.pid};
      if (o.port == 0) {
        // Logins beside the chat cost what they cost a real server. The flood talks flat
        // out in a dozen dens: without the bound on a cell's speech it measures the speech
        // the server delivers, not its refusals.
        std::map<std::string, std::string> env;
        if (scenario == Scenario::Flood) env["PELTHOLLOW_MAX_CELL_SPEECH"] = "0";
        if (!StartGame(o.server, game, error, false, false, o.logins > 0, env)) {
          std::fprintf(stderr, "pelthollow: %s\n", error.c_str());
          return 1;
        }
        peer.port = game.Port();
        peer.pid = game.Pid();
      }
      games.push_back(RunOnce(scenario, peer, o, prefix));
      if (o.port == 0 && !Finish(game, o.keep)) games.back().ok = false;
    }
    if (scenario == Scenario::IdleDoors) {
      // One report per door, each against the same TCP runs.
      for (const Door d : {Door::Web, Door::Telnet}) {
        Report r = NewReport(scenario, Describe(scenario, o), d, MedianOf(byDoor[static_cast<std::size_t>(d)]),
                             MedianOf(byDoor[static_cast<std::size_t>(Door::Tcp)]));
        allRan = allRan && r.game.ok && r.echo.ok;
        BuildRows(r, o);
        show(std::move(r));
      }
      continue;
    }
    Report r = NewReport(scenario, Describe(scenario, o), door, MedianOf(games), MedianOf(echoes));
    if (!split.Line().empty()) {
      r.setting += "\n   ";
      r.setting += split.Line();
    }
    if (o.runs > 1 && (scenario == Scenario::Chat || door != Door::Tcp)) {
      for (std::size_t i = 0; i < games.size() && i < echoes.size(); ++i) {
        r.medianRatios.push_back(echoes[i].latency.median > 0 ? games[i].latency.median / echoes[i].latency.median : 0);
      }
    }
    allRan = allRan && r.game.ok && r.echo.ok;
    BuildRows(r, o);
    show(std::move(r));
  }
  if (o.markdown) PrintMarkdown(reports);
  std::printf("\nload average at the end: %s\n", LoadAverage().c_str());
  if (!recorded.empty()) PrintComparison(reports, o.recorded, recorded.size());
  std::printf("\nsummary:");
  int missed = 0;
  for (const Report& r : reports) {
    for (const Target& t : r.targets) missed += t.met ? 0 : 1;
  }
  std::printf(" %d target%s missed%s\n", missed, missed == 1 ? "" : "s", allRan ? "" : "; some runs did not complete");
  if (!o.record.empty()) {
    // Figures of runs that did not complete would stand for the code's until the next record.
    if (!allRan) {
      std::printf("figures not recorded: some runs did not complete\n");
    } else if (!Record(reports, o, argc, argv)) {
      return 1;
    }
  }
  return allRan ? 0 : 1;
}

