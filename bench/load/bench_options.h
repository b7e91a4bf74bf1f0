// The load generator's command line: which scenarios to run and with how many
// players for how long. Read once on the main thread at start.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Web: the chat mix from players on the game's web client (WebSocket), against the same
// players over TCP to the same server instead of the echo; telnet likewise from
// players on the telnet port. Idle-doors: what idle connections cost the server through
// each door (memory, descriptors, threads), each door on a server of its own. Siege: a
// victim's round trip beside each attack in turn (bench_siege.h); tls: the game port's
// TLS twin against plain TCP, and a storm of handshakes beside players (bench_tls.h);
// upgrade: the chat's players through the console's upgrade (bench_upgrade.h). These
// run by name only: "all" is the other four.
enum class Scenario { Idle, Chat, Flood, Crowd, Web, Telnet, IdleDoors, Siege, Tls, Upgrade };
inline constexpr std::array<Scenario, 4> kScenarios{Scenario::Idle, Scenario::Chat, Scenario::Flood, Scenario::Crowd};

std::string_view ScenarioName(Scenario s);

// The start of every character name a run of `s` makes ("C1a2b3-"): its scenario's
// letter, then this process and the run in base 36, unique per run, also against a
// server that keeps its characters.
std::string NamePrefix(Scenario s, int run);

struct Options {
  std::vector<Scenario> scenarios;
  std::string server;  // the pelthollow binary
  int port = 0;        // a running server, instead of starting one
  pid_t pid = 0;       // that server's process, for /proc figures
  int runs = 1;
  bool keep = false;      // keep the server folders (logs)
  bool sharedCpus = false;  // crowd: the load generator and the servers share the CPUs (CpuSplit)
  bool markdown = false;  // print the summary as a Markdown table
  bool quick = false;     // short durations and small counts
  std::string recorded;   // the recorded figures to print beside the run's (bench_recorded.h)
  std::string record;     // where to write the run's figures; empty: nowhere
  std::uint64_t seed = 1;
  std::size_t inflight = 512;
  std::size_t idlePlayers = 100;
  double idleSeconds = 30;
  std::size_t chatPlayers = 1000;
  double chatSeconds = 20;
  double logins = 0;  // chat: logins a second beside the players, each a password check
  int spreadTicks = 6;
  std::size_t floodClients = 64;
  double floodSeconds = 10;
  std::size_t crowdConnections = 10000;
  double crowdSeconds = 10;
  std::size_t speakers = 20;
  int walkTicks = 2;  // crowd: ticks the speakers walk out of the dens (0: they stay)
  std::size_t webPlayers = 100;
  bool webGmcp = false;  // web players ask for GMCP (game text binary, data beside it)
  double webSeconds = 20;
  std::size_t telnetPlayers = 100;
  double telnetSeconds = 20;
  std::size_t doorConnections = 2000;  // idle-doors: connections through each door
  double siegeSeconds = 10;   // siege: the measured stretch of each attack, and of no attack
  double settleSeconds = 60;  // siege: from the end of an attack to the figures after it
  std::vector<std::string> siegeAttacks;  // siege: the tags of the attacks to run ("a", "b'"); empty: all
  std::size_t tlsPlayers = 100;      // tls: players on each side of the round trip
  double tlsSeconds = 10;            // tls: each measured stretch
  std::size_t tlsIdle = 2000;        // tls: idle connections for the memory figure
  std::size_t stormPlayers = 100;    // tls: players chatting beside the handshake storm
  double stormPerSecond = 710;       // tls: new TLS connections a second in the storm
  std::size_t stormAddresses = 32;   // tls: the addresses they come from
};

// Prints the usage text to standard output.
void Usage();

// Fills `o` from the arguments; the scenarios default to all of them and the server to
// the pelthollow binary beside this program, made absolute. False after printing what
// was wrong to standard error.
bool ParseOptions(int argc, char** argv, Options& o);

}  // namespace bench
