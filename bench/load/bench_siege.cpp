#include "bench_siege.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "bench_server.h"
#include "bench_siege_reader.h"
#include "bench_tls.h"
#include "bench_world.h"
#include "commands/handlers.h"
#include "connection/caps.h"
#include "harness/frame_client.h"
#include "harness/process.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr auto kVictimPeriod = 10ms;  // the victim asks 100 times a second
constexpr auto kLoginPeriod = 500ms;  // the real player logs in twice a second
constexpr auto kAnswerWait = 5s;      // an ask not answered by then is lost
constexpr std::int64_t kAfterNs = 5 * kSecond;  // "after the attack": its first 5 s
constexpr std::int64_t kReadyWithinNs = 180 * kSecond;
constexpr int kWorkerNice = 10;  // the server's password worker runs at nice 10
// The server's cap on buffered bytes by default (PELTHOLLOW_MAX_MEMORY).
constexpr double kMemoryCapKiB = static_cast<double>(connection::Caps{}.maxBufferedBytes) / 1024;
constexpr double kSettledWithinKiB = kMemoryCapKiB / 8;

constexpr std::uint32_t Loopback(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return 0x7f000000u | (b << 16) | (c << 8) | d;
}
constexpr const char* kRealPlayerAddress = "127.0.3.1";

// The attacks, in the order they run: the non-readers last, since the memory they make
// the server take is what its RSS a minute after shows.
struct SiegeAttack {
  const char* tag;
  const char* what;
};
constexpr SiegeAttack kSiegeAttacks[] = {
    {"(a)", "GMCP over telnet: 8 connections from 8 addresses send Core.Supports.Set with arrays nested 2,000 "
            "deep, as fast as the server takes them"},
    {"(b)", "GMCP over WebSocket text frames (GMCP subprotocol): the same from 8 connections from 8 addresses"},
    {"(b')", "GMCP over WebSocket text frames: the same from 64 connections from one address"},
    {"(c)", "pipelined HTTP: 16 addresses each pipeline GET /mudlet/pelthollow.mpackage, 1,260 requests a "
            "64 KiB send, reading the answers"},
    {"(e)", "login storm: 8 addresses x 64 connections sending wrong passwords, and 63 connections from one "
            "address sending setup of the same new name at once, round after round"},
    {"(g)", "a crowd: 16 talkers from 8 addresses say 3,990-byte lines without end in a den where a player "
            "reads 32 KiB a second"},
    {"(h)", "TLS handshake storm: 710 new connections a second from 32 addresses to the game port's TLS twin, "
            "each closed once greeted, beside 16 addresses x 32 connections that send a ClientHello and nothing "
            "more (back when ended)"},
    {"(d)", "non-readers: 32 addresses x 8 players set up in a den, then never read (back when ended), "
            "beside 4 talkers from 4 addresses saying 3,990-byte lines there"},
};
constexpr std::size_t kAttacks = std::size(kSiegeAttacks);
constexpr std::size_t kLoginStorm = 4;
constexpr std::size_t kCrowd = 5;
constexpr std::size_t kHandshakeStorm = 6;
constexpr std::size_t kNonReaders = 7;

// (h): full handshakes at the rate of the storm that once held up every player, and
// handshakes left half done, which the server must hold until their time is up.
std::vector<AttackGroup> HandshakeStorm(const GameProcess& game, const TlsContext& tls) {
  AttackGroup storm;
  storm.kind = Hostility::Welcome;
  storm.port = game.tlsPort;
  storm.firstSource = Loopback(7, 0, 1);
  storm.sources = 32;
  storm.perSource = 0;
  storm.perSecond = 710;
  storm.tls = &tls;
  AttackGroup half;
  half.kind = Hostility::HalfHandshake;
  half.port = game.tlsPort;
  half.firstSource = Loopback(7, 1, 1);
  half.sources = 16;
  half.perSource = 32;
  half.tls = &tls;
  return {storm, half};
}

std::vector<AttackGroup> GroupsOf(std::size_t attack, const GameProcess& game, const TlsContext& tls) {
  auto group = [](Hostility kind, int port, std::uint32_t first, std::size_t sources, std::size_t perSource) {
    AttackGroup g;
    g.kind = kind;
    g.port = port;
    g.firstSource = first;
    g.sources = sources;
    g.perSource = perSource;
    return g;
  };
  switch (attack) {
    case 0: return {group(Hostility::TelnetGmcp, game.telnetPort, Loopback(1, 0, 1), 8, 1)};
    case 1: return {group(Hostility::WebSocketGmcp, game.webPort, Loopback(2, 0, 1), 8, 1)};
    case 2: return {group(Hostility::WebSocketGmcp, game.webPort, Loopback(2, 1, 1), 1, 64)};
    case 3: return {group(Hostility::PipelinedHttp, game.webPort, Loopback(3, 0, 1), 16, 1)};
    case kCrowd: {
      AttackGroup talkers = group(Hostility::Talker, game.Port(), Loopback(6, 0, 1), 8, 2);
      talkers.name = "Crowd";
      return {talkers};  // in the den of Origins()[0], beside the SteadyReader
    }
    case kHandshakeStorm: return HandshakeStorm(game, tls);
    case kNonReaders: {
      AttackGroup silent = group(Hostility::NonReader, game.Port(), Loopback(4, 0, 1), 32, 8);
      silent.name = "Quiet";
      AttackGroup talkers = group(Hostility::Talker, game.Port(), Loopback(4, 1, 1), 4, 1);
      talkers.name = "Loud";
      return {silent, talkers};  // both in the den of Origins()[0]
    }
    default: {  // kLoginStorm
      AttackGroup guesses = group(Hostility::WrongPassword, game.Port(), Loopback(5, 0, 1), 8, 64);
      guesses.name = "Target";
      AttackGroup rush = group(Hostility::SameSetup, game.Port(), Loopback(5, 1, 1), 1, 63);
      rush.name = "Rush";
      rush.origin = 2;
      return {guesses, rush};
    }
  }
}

// Round trips kept by the thread that measures them, read by the main thread.
class Samples {
 public:
  enum Outcome : std::uint8_t { kAnswered, kBusy, kLost };
  struct Sample {
    std::int64_t sentNs = 0;
    std::int64_t tookNs = 0;
    Outcome outcome = kAnswered;
  };
  void Add(const Sample& s) {
    std::lock_guard<std::mutex> guard(mutex_);
    samples_.push_back(s);
  }
  // The samples sent in [fromNs, toNs).
  std::vector<Sample> Between(std::int64_t fromNs, std::int64_t toNs) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Sample> out;
    for (const Sample& s : samples_) {
      if (s.sentNs >= fromNs && s.sentNs < toNs) out.push_back(s);
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<Sample> samples_;  // guarded by mutex_
};

// The victim: asks `time` every kVictimPeriod (or as soon as the last answer came, when
// that took longer) until `stop`. A lost ask counts kAnswerWait.
void VictimLoop(harness::FrameClient& victim, const std::atomic<bool>& stop, Samples& out) {
  auto next = std::chrono::steady_clock::now();
  while (!stop.load()) {
    const std::int64_t sent = NowNs();
    const bool answered = victim.Send("time") && victim.WaitForFrame("It is ", kAnswerWait).has_value();
    const std::int64_t took = answered ? NowNs() - sent : std::chrono::nanoseconds(kAnswerWait).count();
    out.Add({sent, took, answered ? Samples::kAnswered : Samples::kLost});
    next = std::max(next + kVictimPeriod, std::chrono::steady_clock::now());
    std::this_thread::sleep_until(next);
  }
}

// The real player: a new connection from its own untrusted address logs in every
// kLoginPeriod and leaves. The time is from the login line to its answer.
void LoginLoop(int port, const std::string& name, const std::atomic<bool>& stop, Samples& out) {
  auto next = std::chrono::steady_clock::now();
  while (!stop.load()) {
    harness::FrameClient player(port, kRealPlayerAddress);
    std::int64_t sent = NowNs();
    Samples::Outcome outcome = Samples::kLost;
    if (player.Connected() && player.NextFrame(kAnswerWait)) {
      sent = NowNs();
      const auto answer = player.Ask("login " + name + " pw", 2 * kAnswerWait);
      if (answer && answer->starts_with("Login successful.")) outcome = Samples::kAnswered;
      if (answer && answer->starts_with(kBusyAnswer)) outcome = Samples::kBusy;
    }
    out.Add({sent, NowNs() - sent, outcome});
    player.Close();
    next = std::max(next + kLoginPeriod, std::chrono::steady_clock::now());
    std::this_thread::sleep_until(next);
  }
}

// The most and the least the server held while it was watched. (One password hash holds
// 19 MiB while it runs: the least is the figure at rest.)
struct Peak {
  double rssKiB = -1;
  double fds = -1;
  double leastRssKiB = -1;
  double leastFds = -1;
  void Note(const ProcReading& r) {
    if (!r.ok) return;
    const auto rss = static_cast<double>(r.rssKiB);
    const auto open = static_cast<double>(r.fds);
    rssKiB = std::max(rssKiB, rss);
    fds = std::max(fds, open);
    leastRssKiB = leastRssKiB < 0 ? rss : std::min(leastRssKiB, rss);
    leastFds = leastFds < 0 ? open : std::min(leastFds, open);
  }
};

// Reads the server's /proc every 100 ms until `untilNs`, keeping the peak.
void WatchUntil(pid_t pid, std::int64_t untilNs, Peak& peak) {
  for (std::int64_t now = NowNs(); now < untilNs; now = NowNs()) {
    peak.Note(ReadProcess(pid));
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<std::int64_t>(untilNs - now, 100'000'000)));
  }
}

Summary RoundTrips(const std::vector<Samples::Sample>& samples, std::uint64_t* lost = nullptr) {
  std::vector<std::int64_t> took;
  for (const Samples::Sample& s : samples) {
    took.push_back(s.tookNs);
    if (lost != nullptr && s.outcome == Samples::kLost) ++*lost;
  }
  return Summarise(took);
}

// The stretch [fromNs, toNs): the server's CPU over it, the probes' samples.
struct Stretch {
  std::int64_t fromNs = 0;
  ProcReading start;
  double workerStart = -1;
};

Stretch BeginStretch(pid_t pid) { return {NowNs(), ReadProcess(pid), harness::NicedThreadsCpuSeconds(pid, kWorkerNice)}; }

void EndStretch(const Stretch& s, pid_t pid, Samples& victim, Samples& logins, SiegeFigures& f) {
  const std::int64_t toNs = NowNs();
  const ProcReading end = ReadProcess(pid);
  const double worker = harness::NicedThreadsCpuSeconds(pid, kWorkerNice);
  const double elapsed = static_cast<double>(toNs - s.fromNs) / 1e9;
  if (s.start.ok && end.ok) f.cpuPercent = 100.0 * (end.cpuSeconds - s.start.cpuSeconds) / elapsed;
  if (s.workerStart >= 0 && worker >= 0) f.workerCpuSeconds = worker - s.workerStart;
  f.victim = RoundTrips(victim.Between(s.fromNs, toNs), &f.victimLost);
  std::vector<std::int64_t> answered;
  for (const Samples::Sample& l : logins.Between(s.fromNs, toNs)) {
    ++f.loginTries;
    if (l.outcome == Samples::kAnswered) answered.push_back(l.tookNs);
    if (l.outcome == Samples::kBusy) ++f.loginBusy;
    if (l.outcome == Samples::kLost) ++f.loginRefused;
  }
  f.login = Summarise(answered);
}

// True when attack `a` is to run: --attacks names its tag without the brackets, or
// names none.
bool Chosen(const Options& o, std::size_t a) {
  if (o.siegeAttacks.empty()) return true;
  const std::string_view tag = kSiegeAttacks[a].tag;
  return std::find(o.siegeAttacks.begin(), o.siegeAttacks.end(), tag.substr(1, tag.size() - 2)) !=
         o.siegeAttacks.end();
}

// Makes a character from `from` and leaves; false (with `problem` set) when it was not made.
bool MakeCharacter(int port, const std::string& from, const std::string& name, std::size_t origin,
                   std::string& problem) {
  harness::FrameClient maker(port, from);
  const auto answer = maker.NextFrame() ? maker.Ask(SetupLine(name, Origins()[origin])) : std::nullopt;
  if (answer && answer->starts_with(commands::kCharacterCreated)) return true;
  problem = name + " was not created: " + answer.value_or("no answer");
  return false;
}

}  // namespace

SiegeRun RunSiege(const Options& o) {
  SiegeRun run;
  const TlsCertificates certificates;
  if (!certificates.Ok()) {
    run.problem = "the test authority or the client's TLS context could not be made";
    return run;
  }
  GameProcess game;
  auto env = TlsDoor(certificates);
  env["PELTHOLLOW_TRUSTED"] = "127.0.0.1";
  if (!StartGame(o.server, game, run.problem, true, true, true, env)) return run;
  const pid_t pid = game.Pid();
  const int port = game.Port();
  harness::FrameClient victim(port, "127.0.0.1");
  const auto created =
      victim.NextFrame() ? victim.Ask(SetupLine("Victim", Origins()[1])) : std::optional<std::string>();
  if (!created || !created->starts_with(commands::kCharacterCreated)) {
    run.problem = "the victim was not created: " + created.value_or("no answer");
  } else if (MakeCharacter(port, "127.0.0.1", "Target", 3, run.problem) &&
             MakeCharacter(port, kRealPlayerAddress, "Real", 3, run.problem)) {
    Samples victimSamples;
    Samples loginSamples;
    std::atomic<bool> stop{false};
    std::thread victimThread(VictimLoop, std::ref(victim), std::cref(stop), std::ref(victimSamples));
    std::thread loginThread(LoginLoop, port, "Real", std::cref(stop), std::ref(loginSamples));
    const auto stretchNs = static_cast<std::int64_t>(o.siegeSeconds * 1e9);
    const auto settleNs = static_cast<std::int64_t>(o.settleSeconds * 1e9);

    Peak rest;
    const Stretch quiet = BeginStretch(pid);
    WatchUntil(pid, quiet.fromNs + stretchNs, rest);
    EndStretch(quiet, pid, victimSamples, loginSamples, run.rest);
    run.rest.peakRssKiB = run.rest.settledRssKiB = rest.leastRssKiB;
    run.rest.peakFds = run.rest.settledFds = rest.leastFds;
    run.rest.ok = rest.rssKiB >= 0;
    std::printf("   siege: no attack: victim median %.3f ms, p99 %.3f ms\n", run.rest.victim.median / 1e6,
                run.rest.victim.p99 / 1e6);
    std::fflush(stdout);
    run.ok = run.rest.ok;

    for (std::size_t a = 0; a < kAttacks; ++a) {
      if (!Chosen(o, a)) {
        run.attacks.emplace_back();
        continue;
      }
      // The attack's stretch runs from its first connection (its setups and logins are
      // part of it) until `stretchNs` after all its connections began.
      SiegeFigures f;
      Peak peak;
      Attack attack;
      SteadyReader reader;
      const bool readerReady = a != kCrowd || reader.Start(port, Origins()[0], run.problem);
      const Stretch s = BeginStretch(pid);
      attack.Start(GroupsOf(a, game, certificates.client));
      bool ready = false;
      while (!(ready = attack.WaitReady(100'000'000)) && NowNs() < s.fromNs + kReadyWithinNs) {
        peak.Note(ReadProcess(pid));
      }
      reader.Mark();
      WatchUntil(pid, NowNs() + stretchNs, peak);
      EndStretch(s, pid, victimSamples, loginSamples, f);
      f.reader = reader.Stop();
      f.counts = attack.Stop();
      const std::int64_t ended = NowNs();
      peak.Note(ReadProcess(pid));
      Peak after;
      WatchUntil(pid, ended + settleNs - kAfterNs, after);
      Peak settled;  // the last 5 s of the wait
      WatchUntil(pid, ended + settleNs, settled);
      f.victimAfter = RoundTrips(victimSamples.Between(ended, ended + kAfterNs));
      f.peakRssKiB = peak.rssKiB;
      f.peakFds = peak.fds;
      f.settledRssKiB = settled.leastRssKiB;
      f.settledFds = settled.leastFds;
      const bool alive = settled.rssKiB >= 0;
      f.ran = true;
      f.ok = ready && alive && readerReady;
      if (!ready && run.problem.empty()) {
        run.problem = std::string(kSiegeAttacks[a].tag) + " did not get going within 180 s";
      }
      if (!alive && run.problem.empty()) {
        const std::optional<int> status = game.server->Proc().Wait(std::chrono::milliseconds(1000));
        run.problem = std::string("the server ended during ") + kSiegeAttacks[a].tag +
                      (!status                ? ""
                       : WIFSIGNALED(*status) ? ", killed by signal " + std::to_string(WTERMSIG(*status))
                                              : ", exit code " + std::to_string(harness::Process::ExitCode(status))) +
                      "; its log:\n" + harness::Tail(game.LogPath(), 3000);
        if (game.folder) {
          game.folder->Keep();  // for its log and any core file
          run.problem += "\n(its folder is kept: " + game.folder->Path() + ")";
        }
      }
      run.ok = run.ok && f.ok;
      std::printf("   siege %s: victim median %.3f ms, p99 %.3f ms; RSS %.1f MiB at the peak, %.1f MiB after; "
                  "%.0f descriptors at the peak, %.0f after\n",
                  kSiegeAttacks[a].tag, f.victim.median / 1e6, f.victim.p99 / 1e6, f.peakRssKiB / 1024,
                  f.settledRssKiB / 1024, f.peakFds, f.settledFds);
      if (f.reader.ran) {
        std::printf("   siege %s: the steady reader %s; its `time` median %.1f ms, p99 %.1f ms; it read %.1f KiB/s\n",
                    kSiegeAttacks[a].tag,
                    f.reader.ended ? ("was ended after " + Fixed(f.reader.endedAfterSeconds, 1) + " s").c_str()
                                   : "stayed",
                    f.reader.trips.median / 1e6, f.reader.trips.p99 / 1e6, f.reader.readKiBps);
      }
      std::fflush(stdout);
      run.attacks.push_back(f);
      if (!alive) break;
    }
    stop = true;
    victimThread.join();
    loginThread.join();
  }
  victim.Close();
  const std::string folder = game.folder ? game.folder->Path() : std::string();
  const std::string report = StopGame(game, o.keep);
  if (!report.empty()) {
    run.ok = false;
    run.problem = "the server's log holds a sanitizer report:\n" + report;
  }
  if (o.keep) std::printf("   server folder kept: %s\n", folder.c_str());
  return run;
}

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return -1;
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The figure-by-figure median of the runs' figures; the counts of refusals summed.
SiegeFigures MedianFigures(const std::vector<const SiegeFigures*>& runs) {
  SiegeFigures m;
  auto of = [&](const std::function<double(const SiegeFigures&)>& field) {
    std::vector<double> v;
    for (const SiegeFigures* f : runs) v.push_back(field(*f));
    return Median(v);
  };
  m.ok = !runs.empty() && std::all_of(runs.begin(), runs.end(), [](const SiegeFigures* f) { return f->ok; });
  m.victim.median = of([](const SiegeFigures& f) { return f.victim.median; });
  m.victim.p99 = of([](const SiegeFigures& f) { return f.victim.p99; });
  m.victim.max = of([](const SiegeFigures& f) { return f.victim.max; });
  m.victimAfter.p99 = of([](const SiegeFigures& f) { return f.victimAfter.p99; });
  m.cpuPercent = of([](const SiegeFigures& f) { return f.cpuPercent; });
  m.workerCpuSeconds = of([](const SiegeFigures& f) { return f.workerCpuSeconds; });
  m.peakRssKiB = of([](const SiegeFigures& f) { return f.peakRssKiB; });
  m.peakFds = of([](const SiegeFigures& f) { return f.peakFds; });
  m.settledRssKiB = of([](const SiegeFigures& f) { return f.settledRssKiB; });
  m.settledFds = of([](const SiegeFigures& f) { return f.settledFds; });
  m.login.median = of([](const SiegeFigures& f) { return f.login.median; });
  m.login.p99 = of([](const SiegeFigures& f) { return f.login.p99; });
  m.login.max = of([](const SiegeFigures& f) { return f.login.max; });
  m.reader.trips.median = of([](const SiegeFigures& f) { return f.reader.trips.median; });
  m.reader.trips.p99 = of([](const SiegeFigures& f) { return f.reader.trips.p99; });
  m.reader.readKiBps = of([](const SiegeFigures& f) { return f.reader.readKiBps; });
  auto count = [&](const std::function<double(const AttackCounts&)>& field) {
    return static_cast<std::uint64_t>(of([&](const SiegeFigures& f) { return field(f.counts); }));
  };
  m.counts.connections = count([](const AttackCounts& c) { return static_cast<double>(c.connections); });
  m.counts.endedByServer = count([](const AttackCounts& c) { return static_cast<double>(c.endedByServer); });
  m.counts.bytesSent = count([](const AttackCounts& c) { return static_cast<double>(c.bytesSent); });
  m.counts.bytesRead = count([](const AttackCounts& c) { return static_cast<double>(c.bytesRead); });
  m.counts.created = count([](const AttackCounts& c) { return static_cast<double>(c.created); });
  m.counts.loggedIn = count([](const AttackCounts& c) { return static_cast<double>(c.loggedIn); });
  m.counts.busy = count([](const AttackCounts& c) { return static_cast<double>(c.busy); });
  m.counts.rounds = count([](const AttackCounts& c) { return static_cast<double>(c.rounds); });
  m.counts.welcomes = count([](const AttackCounts& c) { return static_cast<double>(c.welcomes); });
  m.counts.tlsFailed = count([](const AttackCounts& c) { return static_cast<double>(c.tlsFailed); });
  m.counts.halfDone = count([](const AttackCounts& c) { return static_cast<double>(c.halfDone); });
  for (const SiegeFigures* f : runs) {
    m.victimLost += f->victimLost;
    m.loginTries += f->loginTries;
    m.loginBusy += f->loginBusy;
    m.loginRefused += f->loginRefused;
  }
  return m;
}

std::string MiB(double kib) { return kib < 0 ? "n/a" : Fixed(kib / 1024, 1) + " MiB"; }
std::string MiBMore(double kib) {
  std::string text(kib < 0 ? "" : "+");
  text.append(Fixed(kib / 1024, 1)).append(" MiB");
  return text;
}
std::string Whole(double v) { return v < 0 ? "n/a" : Fixed(v, 0); }
std::string Count(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::vector<Report> SiegeReports(const std::vector<SiegeRun>& runs, const Options& o) {
  std::vector<const SiegeFigures*> rests;
  for (const SiegeRun& r : runs) {
    if (r.rest.ok) rests.push_back(&r.rest);
  }
  const SiegeFigures rest = MedianFigures(rests);
  const std::string settle = Fixed(o.settleSeconds, 0) + " s after the attack";
  const std::string runsText = runs.size() > 1 ? " (all " + std::to_string(runs.size()) + " runs)" : "";
  std::vector<Report> reports;
  for (std::size_t a = 0; a < kAttacks; ++a) {
    std::vector<const SiegeFigures*> these;
    for (const SiegeRun& r : runs) {
      if (a < r.attacks.size() && r.attacks[a].ran) these.push_back(&r.attacks[a]);
    }
    if (these.empty() && !runs.empty() && runs.front().ok) continue;  // left out
    const SiegeFigures f = MedianFigures(these);
    Report r = NewReport(Scenario::Siege, std::string("siege ") + kSiegeAttacks[a].tag + ": " + kSiegeAttacks[a].what,
                         Door::Tcp);
    r.gameSide = "under attack";
    r.baseSide = "no attack";
    r.game.ok = f.ok;
    r.echo.ok = rest.ok;
    for (const SiegeRun& run : runs) {
      if (!run.problem.empty() && r.game.problem.empty()) r.game.problem = run.problem;
    }
    auto row = [&](const std::string& figure, const std::string& game, const std::string& base, double g, double b) {
      r.rows.push_back({figure, game, base, Ratio(g, b)});
    };
    row("victim's `time` round trip, median", Ms(f.victim.median), Ms(rest.victim.median), f.victim.median,
        rest.victim.median);
    row("victim's round trip, p99", Ms(f.victim.p99), Ms(rest.victim.p99), f.victim.p99, rest.victim.p99);
    // Recorded as it stands, not over the stretch with no attack: its target is a time.
    const std::string_view bracketed = kSiegeAttacks[a].tag;  // "(b')"
    const std::string key = "siege." + std::string(bracketed.substr(1, bracketed.size() - 2)) + ".victim_p99.ms";
    if (f.ok) r.rows.back() = Kept(r.rows.back(), key, f.victim.p99, -1);
    row("victim's round trip, max", Ms(f.victim.max), Ms(rest.victim.max), f.victim.max, rest.victim.max);
    row("victim's p99 in the 5 s after the attack", Ms(f.victimAfter.p99), Ms(rest.victim.p99), f.victimAfter.p99,
        rest.victim.p99);
    row("victim's asks lost (no answer in 5 s)" + runsText, Count(f.victimLost), Count(rest.victimLost), -1, -1);
    row("server CPU, % of one core", Fixed(f.cpuPercent, 1) + " %", Fixed(rest.cpuPercent, 1) + " %", f.cpuPercent,
        rest.cpuPercent);
    row("password worker CPU (about 20 ms a hash)", Fixed(f.workerCpuSeconds, 2) + " s",
        Fixed(rest.workerCpuSeconds, 2) + " s", f.workerCpuSeconds, rest.workerCpuSeconds);
    row("server RSS at the peak (no attack: at rest)", MiB(f.peakRssKiB), MiB(rest.peakRssKiB), f.peakRssKiB,
        rest.peakRssKiB);
    row("server RSS " + settle, MiB(f.settledRssKiB), MiB(rest.settledRssKiB), f.settledRssKiB, rest.settledRssKiB);
    row("server descriptors at the peak", Whole(f.peakFds), Whole(rest.peakFds), f.peakFds, rest.peakFds);
    row("server descriptors " + settle, Whole(f.settledFds), Whole(rest.settledFds), f.settledFds, rest.settledFds);
    row("real player's login answer, median / p99", Ms(f.login.median) + " / " + Ms(f.login.p99),
        Ms(rest.login.median) + " / " + Ms(rest.login.p99), f.login.median, rest.login.median);
    row("real player's logins: busy / not logged in / tries" + runsText,
        Count(f.loginBusy) + " / " + Count(f.loginRefused) + " / " + Count(f.loginTries),
        Count(rest.loginBusy) + " / " + Count(rest.loginRefused) + " / " + Count(rest.loginTries), -1, -1);
    row("attackers' connections opened / ended by the server",
        Count(f.counts.connections) + " / " + Count(f.counts.endedByServer), "-", -1, -1);
    row("attackers' MiB sent / read",
        Fixed(static_cast<double>(f.counts.bytesSent) / 1048576, 1) + " / " +
            Fixed(static_cast<double>(f.counts.bytesRead) / 1048576, 1),
        "-", -1, -1);
    if (a == kLoginStorm || a == kNonReaders) {
      row("attackers' characters made / logins / busy answers",
          Count(f.counts.created) + " / " + Count(f.counts.loggedIn) + " / " + Count(f.counts.busy), "-", -1, -1);
    }
    if (a == kLoginStorm) row("same-name setup rounds answered", Count(f.counts.rounds), "-", -1, -1);
    std::size_t readersEnded = 0;
    std::vector<double> endedAfter;
    for (const SiegeFigures* run : these) {
      if (!run->reader.ended) continue;
      ++readersEnded;
      endedAfter.push_back(run->reader.endedAfterSeconds);
    }
    if (a == kCrowd) {
      row("steady reader (32 KiB/s) in the den, ended by the server",
          Count(readersEnded) + " of " + Count(these.size()) +
              (readersEnded == 0 ? "" : ", after " + Fixed(Median(endedAfter), 1) + " s"),
          "-", -1, -1);
      row("steady reader's `time` round trip, median / p99",
          Ms(f.reader.trips.median) + " / " + Ms(f.reader.trips.p99), "-", -1, -1);
      row("steady reader read, KiB/s", Fixed(f.reader.readKiBps, 1), "-", -1, -1);
    }
    if (a == kHandshakeStorm) {
      row("TLS connections greeted / closed before their welcome / answered and left half done",
          Count(f.counts.welcomes) + " / " + Count(f.counts.tlsFailed) + " / " + Count(f.counts.halfDone), "-", -1,
          -1);
    }

    const std::string tag = std::string("siege ") + kSiegeAttacks[a].tag;
    auto target = [&](const std::string& what, bool met, const std::string& measured) {
      r.targets.push_back({what, met && f.ok, measured});
    };
    target(tag + ": victim's p99 under 5 ms", f.victim.p99 < 5e6, Ms(f.victim.p99));
    if (a == kHandshakeStorm) {
      target(tag + ": RSS back within 4 MiB of its start " + settle,
             f.settledRssKiB >= 0 && f.settledRssKiB - rest.peakRssKiB <= 4096,
             MiBMore(f.settledRssKiB - rest.peakRssKiB));
    }
    if (a == kNonReaders) {
      target(tag + ": peak RSS within the memory cap over the RSS at rest",
             f.peakRssKiB >= 0 && f.peakRssKiB - rest.peakRssKiB <= kMemoryCapKiB,
             MiBMore(f.peakRssKiB - rest.peakRssKiB));
      target(tag + ": RSS back within 32 MiB of its start " + settle,
             f.settledRssKiB >= 0 && f.settledRssKiB - rest.peakRssKiB <= kSettledWithinKiB,
             MiBMore(f.settledRssKiB - rest.peakRssKiB));
    }
    if (a == kCrowd) {
      target(tag + ": a player who reads 32 KiB/s is never ended", readersEnded == 0,
             Count(readersEnded) + " of " + Count(these.size()) + " ended");
    }
    if (a == kLoginStorm) {
      target(tag + ": the real player never told the server is busy", f.loginBusy == 0,
             Count(f.loginBusy) + " of " + Count(f.loginTries));
    }
    reports.push_back(std::move(r));
  }
  return reports;
}

}  // namespace bench
