#include "bench_options.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>

namespace bench {

namespace {

template <class Number>
bool ParseNumber(std::string_view text, Number& out) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

}  // namespace

std::string_view ScenarioName(Scenario s) {
  switch (s) {
    case Scenario::Idle: return "idle";
    case Scenario::Chat: return "chat";
    case Scenario::Flood: return "flood";
    case Scenario::Crowd: return "crowd";
    case Scenario::Web: return "web";
    case Scenario::Telnet: return "telnet";
    case Scenario::IdleDoors: return "idle-doors";
    case Scenario::Siege: return "siege";
    case Scenario::Tls: return "tls";
    case Scenario::Upgrade: return "upgrade";
  }
  return "?";
}

std::string NamePrefix(Scenario s, int run) {
  std::uint64_t v = (static_cast<std::uint64_t>(::getpid()) << 8) + static_cast<std::uint64_t>(run);
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36]);
    v /= 36;
  } while (v != 0);
  return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(ScenarioName(s)[0])))) + digits + "-";
}

void Usage() {
  std::puts(
      "usage: pelthollow-bench [idle|chat|flood|crowd|web|telnet|idle-doors|siege|tls|upgrade|all ...] [options]\n"
      "  --server PATH       pelthollow binary (default: pelthollow beside this program)\n"
      "  --port N            use a server already running on 127.0.0.1:N\n"
      "  --pid N             that server's process id, for its CPU and memory figures\n"
      "  --runs N            run each scenario N times and print the medians (default 1)\n"
      "  --quick             short durations and small counts, for a smoke run\n"
      "  --idle-players N    (100)    --idle-seconds S  (30)\n"
      "  --chat-players N    (1000)   --chat-seconds S  (20)   --spread-ticks T (6)\n"
      "  --logins N          chat: N logins a second from a loopback address beside the players (0)\n"
      "  --flood-clients N   (64)     --flood-seconds S (10)\n"
      "  --crowd N           (10000)  --crowd-seconds S (10)   --speakers N (20)\n"
      "  --walk-ticks T      crowd: ticks the speakers walk out of the dens to speak again (2)\n"
      "  --web-players N     (100)    --web-seconds S   (20)   web: WebSocket against TCP,\n"
      "  --web-gmcp          web players ask for GMCP: game text binary, data beside it\n"
      "                      on a server of its own (not run by all, ignores --port)\n"
      "  --telnet-players N  (100)    --telnet-seconds S (20)  telnet: as web, on the telnet port\n"
      "  --connections N     idle-doors: idle connections through each door, greeted and set up,\n"
      "                      each door on a server of its own (2000; not run by all)\n"
      "  upgrade             the chat's players (--chat-players) through the console's upgrade,\n"
      "                      on a server of its own (not run by all, ignores --port)\n"
      "  --siege-seconds S   siege: each attack measured S s beside a victim asking `time`, and\n"
      "                      as long with no attack first (10); every attack on one server\n"
      "                      with 127.0.0.1 alone trusted (not run by all, ignores --port)\n"
      "  --settle-seconds S  siege: the figures after an attack are read S s after it ends (60)\n"
      "  --attacks LIST      siege: only these attacks, by letter: a,b,b',c,d,e,g,h (all)\n"
      "  --tls-players N     tls: players over TLS and as many over TCP, asked in turn (100)\n"
      "  --tls-seconds S     tls: each measured stretch (10)\n"
      "  --tls-idle N        tls: idle TLS connections for the memory figure, and as many TCP (2000)\n"
      "  --storm-players N   tls: players chatting beside the handshake storm (100)\n"
      "  --storm-rate N      tls: new TLS connections a second in the storm (710)\n"
      "  --storm-addresses N tls: the untrusted addresses the storm comes from (32); their\n"
      "                      handshake rate is lifted, so that every handshake is made\n"
      "                      (tls is not run by all and ignores --port)\n"
      "  --inflight N        connections or setups outstanding at once (512)\n"
      "  --seed N            random seed (1)\n"
      "  --keep              keep the servers' temporary folders and logs\n"
      "  --shared-cpus       crowd: the load generator runs on the servers' CPUs too (by default,\n"
      "                      with two CPUs or more, it keeps the last for itself)\n"
      "  --markdown          end with the figures as a Markdown table\n"
      "  --recorded FILE     the recorded figures to print beside the run's, marking any more than a\n"
      "                      quarter worse (default: bench/recorded_figures.txt of the source tree)\n"
      "  --record FILE       write the run's figures (medians with --runs N) to FILE as recorded\n"
      "                      figures, keeping FILE's lines of the figures the run did not measure");
}

bool ParseOptions(int argc, char** argv, Options& o) {
#ifdef PELTHOLLOW_RECORDED_FIGURES
  o.recorded = PELTHOLLOW_RECORDED_FIGURES;
#endif
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
    } else if (a == "telnet") {
      o.scenarios.push_back(Scenario::Telnet);
    } else if (a == "idle-doors") {
      o.scenarios.push_back(Scenario::IdleDoors);
    } else if (a == "siege") {
      o.scenarios.push_back(Scenario::Siege);
    } else if (a == "tls") {
      o.scenarios.push_back(Scenario::Tls);
    } else if (a == "upgrade") {
      o.scenarios.push_back(Scenario::Upgrade);
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
    } else if (a == "--logins") {
      if (!value(o.logins)) return false;
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
    } else if (a == "--web-players") {
      if (!value(o.webPlayers)) return false;
    } else if (a == "--web-gmcp") {
      o.webGmcp = true;
    } else if (a == "--web-seconds") {
      if (!value(o.webSeconds)) return false;
    } else if (a == "--telnet-players") {
      if (!value(o.telnetPlayers)) return false;
    } else if (a == "--telnet-seconds") {
      if (!value(o.telnetSeconds)) return false;
    } else if (a == "--connections") {
      if (!value(o.doorConnections) || o.doorConnections == 0) return false;
    } else if (a == "--siege-seconds") {
      if (!value(o.siegeSeconds) || o.siegeSeconds <= 0) return false;
    } else if (a == "--attacks" && i + 1 < argc) {
      std::string_view list = argv[++i];
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        o.siegeAttacks.emplace_back(list.substr(0, comma));
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
      }
    } else if (a == "--settle-seconds") {
      if (!value(o.settleSeconds) || o.settleSeconds < 5) return false;
    } else if (a == "--tls-players") {
      if (!value(o.tlsPlayers) || o.tlsPlayers == 0) return false;
    } else if (a == "--tls-seconds") {
      if (!value(o.tlsSeconds) || o.tlsSeconds <= 0) return false;
    } else if (a == "--tls-idle") {
      if (!value(o.tlsIdle) || o.tlsIdle == 0) return false;
    } else if (a == "--storm-players") {
      if (!value(o.stormPlayers) || o.stormPlayers == 0) return false;
    } else if (a == "--storm-rate") {
      if (!value(o.stormPerSecond) || o.stormPerSecond <= 0) return false;
    } else if (a == "--storm-addresses") {
      if (!value(o.stormAddresses) || o.stormAddresses == 0 || o.stormAddresses > 250) return false;
    } else if (a == "--recorded" && i + 1 < argc) {
      o.recorded = argv[++i];
    } else if (a == "--record" && i + 1 < argc) {
      o.record = argv[++i];
    } else if (a == "--quick") {
      o.quick = true;
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
      o.telnetPlayers = 50;
      o.telnetSeconds = 5;
      o.doorConnections = 500;
      o.siegeSeconds = 3;
      o.settleSeconds = 5;
      o.tlsPlayers = 20;
      o.tlsSeconds = 3;
      o.tlsIdle = 300;
      o.stormPlayers = 20;
    } else if (a == "--shared-cpus") {
      o.sharedCpus = true;
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

}  // namespace bench
