#include "bench_tls.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "bench_attack.h"
#include "bench_client.h"
#include "bench_server.h"
#include "bench_stats.h"
#include "harness/server.h"

namespace bench {

std::map<std::string, std::string> TlsDoor(const TlsCertificates& c) {
  return {{"PELTHOLLOW_TLS_PORT", std::to_string(harness::FreePort())},
          {"PELTHOLLOW_TLS_CERT", c.server.certificateFile},
          {"PELTHOLLOW_TLS_KEY", c.server.keyFile}};
}

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::size_t kHandshakesAtOnce = 32;  // the handshake rate: connections under way at once
constexpr std::uint32_t kStormFirstSource = 0x7f060001;  // 127.6.0.1

// The figures of one run.
struct TlsRun {
  bool ok = true;
  std::string problem;
  Summary tlsTrip;  // asked in turn with the TCP players
  Summary tcpTrip;
  double tlsKiB = -1;  // RSS per idle connection, greeted
  double tcpKiB = -1;
  double tlsFds = -1;  // the server's descriptors per idle connection
  double tcpFds = -1;
  double tlsGreet = -1;  // seconds to greet them all
  double tcpGreet = -1;
  // Connections greeted (and closed) a second of the server's CPU time, a second of
  // the clock, the server's and the load generator's CPU meanwhile.
  double tlsPerCpuSecond = -1;
  double tcpPerCpuSecond = -1;
  double tlsPerSecond = -1;
  double tcpPerSecond = -1;
  double tlsServerCpu = -1;
  double tcpServerCpu = -1;
  double tlsClientCpu = -1;
  double tcpClientCpu = -1;
  Summary quietChat;  // the storm's players' chat without the storm
  Summary stormChat;  // and with it
  double quietCpu = -1;
  double stormCpu = -1;
  double stormPerSecond = -1;  // handshakes done a second during the storm
  double stormFailed = 0;      // sessions that failed or ended before their welcome
};

void Keep(TlsRun& run, bool ok, const std::string& problem) {
  if (!ok) {
    run.ok = false;
    if (run.problem.empty()) run.problem = problem.empty() ? "a stretch did not complete" : problem;
  }
}

bool Finish(GameProcess& game, const Options& o, TlsRun& run) {
  const std::string folder = game.folder ? game.folder->Path() : std::string();
  const std::string report = StopGame(game, o.keep);
  if (o.keep) std::printf("   server folder kept: %s\n", folder.c_str());
  Keep(run, report.empty(), "the server's log holds a sanitizer report:\n" + report);
  return report.empty();
}

// Connections greeted and closed at once, kHandshakesAtOnce at a time, for `seconds`.
void GreetRate(pid_t pid, int port, const TlsContext* tls, double seconds, double& perCpuSecond,
               double& perSecond, double& serverCpu, double& clientCpu) {
  AttackGroup g;
  g.kind = Hostility::Welcome;
  g.port = port;
  g.firstSource = 0x7f000001;
  g.perSource = 0;
  g.inFlight = kHandshakesAtOnce;
  g.tls = tls;
  const ProcReading start = ReadProcess(pid);
  const ProcReading self = ReadProcess(::getpid());
  const std::int64_t t0 = NowNs();
  Attack attack;
  attack.Start({g});
  std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)));
  const AttackCounts counts = attack.Stop();
  const double elapsed = static_cast<double>(NowNs() - t0) / 1e9;
  const ProcReading end = ReadProcess(pid);
  const ProcReading selfEnd = ReadProcess(::getpid());
  if (!start.ok || !end.ok || !self.ok || !selfEnd.ok) return;
  const double cpu = end.cpuSeconds - start.cpuSeconds;
  perCpuSecond = cpu > 0 ? static_cast<double>(counts.welcomes) / cpu : -1;
  perSecond = static_cast<double>(counts.welcomes) / elapsed;
  serverCpu = 100 * cpu / elapsed;
  clientCpu = 100 * (selfEnd.cpuSeconds - self.cpuSeconds) / elapsed;
}

// TLS and TCP players of one server asked in turn; then the rate of greetings through
// each door, on the same server once the players have gone.
void RoundTrips(const Options& o, const TlsCertificates& c, const std::string& prefix, TlsRun& run) {
  GameProcess game;
  std::string problem;
  if (!StartGame(o.server, game, problem, false, false, false, TlsDoor(c))) {
    Keep(run, false, problem);
    return;
  }
  Fleet tls;
  Fleet tcp;
  MakeFleet(tls, false, game.tlsPort, o.tlsPlayers, prefix + "s", o.seed);
  tls.door = Door::Tls;
  tls.tls = &c.client;
  MakeFleet(tcp, false, game.Port(), o.tlsPlayers, prefix + "t", o.seed + 1);
  const bool ok = ConnectAll(tls, o.inflight, 60 * kSecond) >= 0 && ConnectAll(tcp, o.inflight, 60 * kSecond) >= 0 &&
                  SetUpAll(tls, o.inflight, 120 * kSecond) && SetUpAll(tcp, o.inflight, 120 * kSecond);
  if (ok) {
    AskInTurn({&tls, &tcp}, static_cast<std::int64_t>(o.tlsSeconds * 1e9), 5 * kSecond);
    run.tlsTrip = Summarise(tls.tally.all);
    run.tcpTrip = Summarise(tcp.tally.all);
  }
  Keep(run, ok && tls.tally.unanswered + tcp.tally.unanswered == 0,
       !tls.problem.empty() ? "TLS: " + tls.problem : "TCP: " + tcp.problem);
  CloseFleet(tls);
  CloseFleet(tcp);
  GreetRate(game.Pid(), game.tlsPort, &c.client, o.tlsSeconds, run.tlsPerCpuSecond, run.tlsPerSecond,
            run.tlsServerCpu, run.tlsClientCpu);
  GreetRate(game.Pid(), game.Port(), nullptr, o.tlsSeconds, run.tcpPerCpuSecond, run.tcpPerSecond,
            run.tcpServerCpu, run.tcpClientCpu);
  Finish(game, o, run);
}

// `o.tlsIdle` connections greeted through `door` of a fresh server (both doors open).
void IdleConnections(const Options& o, const TlsCertificates& c, Door door, const std::string& prefix, TlsRun& run) {
  GameProcess game;
  std::string problem;
  if (!StartGame(o.server, game, problem, false, false, false, TlsDoor(c))) {
    Keep(run, false, problem);
    return;
  }
  Fleet fleet;
  MakeFleet(fleet, false, door == Door::Tls ? game.tlsPort : game.Port(), o.tlsIdle, prefix, o.seed);
  fleet.door = door;
  fleet.tls = &c.client;
  const ProcReading before = ReadProcess(game.Pid());
  const std::int64_t greet = ConnectAll(fleet, o.inflight, 120 * kSecond);
  const ProcReading greeted = ReadProcess(game.Pid());
  Keep(run, greet >= 0, fleet.problem);
  if (greet >= 0 && before.ok && greeted.ok) {
    const auto n = static_cast<double>(o.tlsIdle);
    const double kib = static_cast<double>(greeted.rssKiB - before.rssKiB) / n;
    const double fds = static_cast<double>(greeted.fds - before.fds) / n;
    (door == Door::Tls ? run.tlsKiB : run.tcpKiB) = kib;
    (door == Door::Tls ? run.tlsFds : run.tcpFds) = fds;
    (door == Door::Tls ? run.tlsGreet : run.tcpGreet) = static_cast<double>(greet) / 1e9;
  }
  CloseFleet(fleet);
  Finish(game, o, run);
}

// Players chatting over TCP, without a storm of TLS handshakes from untrusted addresses
// and with it, in an order that changes from run to run. The addresses' handshake rate
// is lifted: every handshake is made, as when a storm comes from more addresses than
// the rate holds back, so what is measured is what the handshakes cost the players.
void Storm(const Options& o, const TlsCertificates& c, const std::string& prefix, int runIndex, TlsRun& run) {
  GameProcess game;
  std::string problem;
  auto env = TlsDoor(c);
  env["PELTHOLLOW_TRUSTED"] = "127.0.0.1";
  env["PELTHOLLOW_MAX_HANDSHAKES_PER_SECOND"] = "0";
  if (!StartGame(o.server, game, problem, false, false, false, env)) {
    Keep(run, false, problem);
    return;
  }
  Fleet players;
  MakeFleet(players, false, game.Port(), o.stormPlayers, prefix + "c", o.seed);
  bool ok = ConnectAll(players, o.inflight, 60 * kSecond) >= 0 && SetUpAll(players, o.inflight, 120 * kSecond);
  auto chat = [&](bool storm) {
    AttackGroup g;
    g.kind = Hostility::Welcome;
    g.port = game.tlsPort;
    g.firstSource = kStormFirstSource;
    g.sources = o.stormAddresses;
    g.perSource = 0;
    g.perSecond = o.stormPerSecond;
    g.tls = &c.client;
    Attack attack;
    if (storm) attack.Start({g});
    DrivePlan plan;
    plan.drive = Drive::Paced;
    plan.active = players.players.size();
    plan.durationNs = static_cast<std::int64_t>(o.tlsSeconds * 1e9);
    const ProcReading start = ReadProcess(game.Pid());
    const std::int64_t t0 = NowNs();
    RunDrive(players, plan);
    const double elapsed = static_cast<double>(NowNs() - t0) / 1e9;
    const ProcReading end = ReadProcess(game.Pid());
    const AttackCounts counts = attack.Stop();
    const double cpu = start.ok && end.ok ? 100 * (end.cpuSeconds - start.cpuSeconds) / elapsed : -1;
    ok = ok && players.tally.unanswered == 0;
    if (storm) {
      run.stormChat = Summarise(players.tally.all);
      run.stormCpu = cpu;
      run.stormPerSecond = static_cast<double>(counts.welcomes) / elapsed;
      run.stormFailed = static_cast<double>(counts.tlsFailed);
    } else {
      run.quietChat = Summarise(players.tally.all);
      run.quietCpu = cpu;
    }
  };
  if (ok) {
    const bool stormFirst = runIndex % 2 == 1;
    chat(stormFirst);
    chat(!stormFirst);
  }
  Keep(run, ok, players.problem);
  CloseFleet(players);
  Finish(game, o, run);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return -1;
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

std::vector<Report> RunTls(const Options& o, bool& allRan) {
  const TlsCertificates certificates;
  if (!certificates.Ok()) {
    std::fprintf(stderr, "tls: the test authority or the client's context could not be made\n");
    allRan = false;
    return {};
  }
  std::vector<TlsRun> runs;
  for (int i = 0; i < o.runs; ++i) {
    const std::string prefix = "L" + std::to_string(::getpid() % 100000) + "x" + std::to_string(i);
    TlsRun run;
    RoundTrips(o, certificates, prefix + "r", run);
    IdleConnections(o, certificates, Door::Tls, prefix + "i", run);
    IdleConnections(o, certificates, Door::Tcp, prefix + "j", run);
    Storm(o, certificates, prefix + "m", i, run);
    std::printf("   tls run %d: round trip %.3f / %.3f ms (TLS / TCP), %.2f KiB per idle TLS connection, "
                "chat p99 %.3f ms, %.3f ms in the storm%s\n",
                i + 1, run.tlsTrip.median / 1e6, run.tcpTrip.median / 1e6, run.tlsKiB, run.quietChat.p99 / 1e6,
                run.stormChat.p99 / 1e6, run.ok ? "" : " (incomplete)");
    std::fflush(stdout);
    allRan = allRan && run.ok;
    runs.push_back(std::move(run));
  }
  auto of = [&](const std::function<double(const TlsRun&)>& field) {
    std::vector<double> v;
    for (const TlsRun& r : runs) v.push_back(field(r));
    return Median(v);
  };
  std::string problem;
  bool ok = true;
  std::vector<double> ratios;
  std::vector<double> rises;
  for (const TlsRun& r : runs) {
    if (problem.empty()) problem = r.problem;
    ok = ok && r.ok;
    ratios.push_back(r.tcpTrip.median > 0 ? r.tlsTrip.median / r.tcpTrip.median : -1);
    rises.push_back(r.stormChat.p99 - r.quietChat.p99);
  }
  const std::string runsText = o.runs > 1 ? " (median of " + std::to_string(o.runs) + " runs)" : "";
  auto report = [&](const std::string& setting, const std::string& gameSide, const std::string& baseSide) {
    Report r = NewReport(Scenario::Tls, setting, Door::Tls);
    r.gameSide = gameSide;
    r.baseSide = baseSide;
    r.game.ok = r.echo.ok = ok;
    r.game.problem = problem;
    return r;
  };
  // `key`: the name the figure is recorded under (Kept), none when empty.
  auto row = [](Report& r, const std::string& figure, double game, double base,
                const std::function<std::string(double)>& show, const std::string& key = {},
                Better better = Better::Lower) {
    Row made{figure, game < 0 ? "n/a" : show(game), base < 0 ? "n/a" : show(base), Ratio(game, base)};
    r.rows.push_back(key.empty() ? made : Kept(made, key, game, base, better));
  };
  auto ms = [](double ns) { return Ms(ns); };
  auto fixed = [](int decimals, const std::string& unit) {
    return [decimals, unit](double v) { return Fixed(v, decimals) + unit; };
  };
  std::vector<Report> reports;

  Report trip = report("tls: " + std::to_string(o.tlsPlayers) + " players over TLS and " +
                           std::to_string(o.tlsPlayers) +
                           " over TCP on one server, one command of the chat mix at a time, a TLS player's and a "
                           "TCP player's in turn, " + Fixed(o.tlsSeconds, 0) + " s",
                       "TLS", "TCP");
  row(trip, "round trip, median", of([](const TlsRun& r) { return r.tlsTrip.median; }),
      of([](const TlsRun& r) { return r.tcpTrip.median; }), ms, "tls.round_trip_median.ratio");
  row(trip, "round trip, p99", of([](const TlsRun& r) { return r.tlsTrip.p99; }),
      of([](const TlsRun& r) { return r.tcpTrip.p99; }), ms, "tls.round_trip_p99.ratio");
  row(trip, "round trip, max", of([](const TlsRun& r) { return r.tlsTrip.max; }),
      of([](const TlsRun& r) { return r.tcpTrip.max; }), ms);
  trip.medianRatios = ratios;
  const double ratio = Median(ratios);
  trip.targets.push_back({"tls round trip median at most 1.2x TCP's", ok && ratio > 0 && ratio <= 1.2,
                          Fixed(ratio, 2) + "x" + runsText});
  reports.push_back(std::move(trip));

  Report idle = report("tls: " + std::to_string(o.tlsIdle) +
                           " idle connections greeted through the door, each door on a fresh server with both open",
                       "TLS", "TCP");
  row(idle, "time until all are greeted", of([](const TlsRun& r) { return r.tlsGreet; }),
      of([](const TlsRun& r) { return r.tcpGreet; }), fixed(3, " s"));
  row(idle, "RSS per greeted connection", of([](const TlsRun& r) { return r.tlsKiB; }),
      of([](const TlsRun& r) { return r.tcpKiB; }), fixed(2, " KiB"), "tls.rss_per_idle.kib");
  row(idle, "server descriptors per connection", of([](const TlsRun& r) { return r.tlsFds; }),
      of([](const TlsRun& r) { return r.tcpFds; }), fixed(2, ""));
  const double kib = of([](const TlsRun& r) { return r.tlsKiB; });
  idle.targets.push_back({"tls under 16 KiB RSS per idle connection", ok && kib >= 0 && kib < 16,
                          Fixed(kib, 2) + " KiB" + runsText});
  reports.push_back(std::move(idle));

  Report rate = report("tls: connections made, greeted and reset as fast as they go, " +
                           std::to_string(kHandshakesAtOnce) + " at a time from 127.0.0.1, " +
                           Fixed(o.tlsSeconds, 0) + " s through each door of one server",
                       "TLS", "TCP");
  row(rate, "greeted per second of server CPU (one core)", of([](const TlsRun& r) { return r.tlsPerCpuSecond; }),
      of([](const TlsRun& r) { return r.tcpPerCpuSecond; }), fixed(0, ""), "tls.greeted_per_cpu_second.ratio",
      Better::Higher);
  row(rate, "greeted per second", of([](const TlsRun& r) { return r.tlsPerSecond; }),
      of([](const TlsRun& r) { return r.tcpPerSecond; }), fixed(0, ""));
  row(rate, "server CPU, % of one core", of([](const TlsRun& r) { return r.tlsServerCpu; }),
      of([](const TlsRun& r) { return r.tcpServerCpu; }), fixed(1, " %"));
  row(rate, "load generator CPU, % of one core", of([](const TlsRun& r) { return r.tlsClientCpu; }),
      of([](const TlsRun& r) { return r.tcpClientCpu; }), fixed(1, " %"));
  reports.push_back(std::move(rate));

  Report storm = report("tls: " + std::to_string(o.stormPlayers) +
                            " players over TCP each typing one command of the chat mix a second, " +
                            Fixed(o.tlsSeconds, 0) + " s, beside " + Fixed(o.stormPerSecond, 0) +
                            " TLS handshakes a second from " + std::to_string(o.stormAddresses) +
                            " untrusted addresses whose handshake rate is lifted (each closed once greeted), and "
                            "without them, in turn",
                        "handshake storm", "no storm");
  row(storm, "chat round trip, median", of([](const TlsRun& r) { return r.stormChat.median; }),
      of([](const TlsRun& r) { return r.quietChat.median; }), ms);
  row(storm, "chat round trip, p99", of([](const TlsRun& r) { return r.stormChat.p99; }),
      of([](const TlsRun& r) { return r.quietChat.p99; }), ms, "tls.storm_chat_p99.ms");
  row(storm, "chat round trip, max", of([](const TlsRun& r) { return r.stormChat.max; }),
      of([](const TlsRun& r) { return r.quietChat.max; }), ms);
  row(storm, "server CPU, % of one core", of([](const TlsRun& r) { return r.stormCpu; }),
      of([](const TlsRun& r) { return r.quietCpu; }), fixed(1, " %"));
  row(storm, "handshakes done a second", of([](const TlsRun& r) { return r.stormPerSecond; }), -1, fixed(0, ""));
  row(storm, "handshakes that failed or were cut", of([](const TlsRun& r) { return r.stormFailed; }), -1,
      fixed(0, ""));
  const double rise = Median(rises);
  storm.targets.push_back({"tls storm: chat p99 rises by at most 2 ms", ok && rise <= 2e6, Ms(rise) + runsText});
  const double stormP99 = of([](const TlsRun& r) { return r.stormChat.p99; });
  storm.targets.push_back({"tls storm: chat p99 under 5 ms", ok && stormP99 >= 0 && stormP99 < 5e6, Ms(stormP99) + runsText});
  reports.push_back(std::move(storm));
  return reports;
}

}  // namespace bench
