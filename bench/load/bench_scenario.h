// One scenario run against one peer (the game server or the echo baseline): the
// players connected, set up, spread and driven, and the figures of that run; and the
// median of several runs. Called on the load generator's only thread.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bench_client.h"
#include "bench_options.h"
#include "bench_stats.h"
#include "bench_world.h"

namespace bench {

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
  double anonPerPlayerKiB = -1;  // as rssPerPlayerKiB, of the anonymous part alone
  double fdsPerGreeted = -1;     // the server's descriptors (after greeting - before) / connections
  double threadsBefore = -1;     // the server's threads before the players connected
  double threadsGreeted = -1;    // and with all of them greeted
  std::uint64_t unanswered = 0;
  std::string placement;
  Summary openLatency;        // crowd: say from speakers who walked out of the dens
  Summary loginLatency;       // chat with --logins: from the login line to its answer
  std::string openPlacement;  // crowd: where those speakers stood
};

// One peer to drive: the game server or the echo baseline.
struct Peer {
  bool echo = false;
  int port = 0;
  pid_t pid = 0;
  Door door = Door::Tcp;  // which of the game's doors `port` is
};

// Runs one scenario against one peer; players are named `prefix` and a number.
Figures RunOnce(Scenario scenario, const Peer& peer, const Options& o, const std::string& prefix);

// The figure-by-figure median of several runs; ok only when every run was.
Figures MedianOf(const std::vector<Figures>& runs);

}  // namespace bench
