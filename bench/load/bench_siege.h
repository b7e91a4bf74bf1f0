// The siege: one server with 127.0.0.1 alone trusted, a victim player on 127.0.0.1 whose
// `time` round trip is measured all along, a real player who logs in from an untrusted
// address twice a second, and the attacks one after another from addresses of their
// own, each measured beside the same victim with no attack before them, in the same
// run. Called on the load generator's main thread; the victim, the real player and the
// attackers (bench_attack.h) run on threads of their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench_attack.h"
#include "bench_options.h"
#include "bench_report.h"
#include "bench_siege_reader.h"
#include "bench_stats.h"

namespace bench {

// The figures of one stretch: an attack, or the stretch with no attack.
// An attack's stretch runs from its first connection until Options::siegeSeconds after
// every one of its connections began; the stretch with no attack is siegeSeconds long.
struct SiegeFigures {
  Summary victim;       // the victim's round trips of the asks sent during the stretch
  Summary victimAfter;  // and in the 5 s after the attack ended
  std::uint64_t victimLost = 0;  // asks not answered within 5 s (counted at 5 s above)
  double cpuPercent = -1;        // the server's, of one core, over the stretch
  double workerCpuSeconds = -1;  // the password worker's over the stretch (about 20 ms a hash)
  double peakRssKiB = -1;        // the most from the attack's start to its end; no attack: the least
  double peakFds = -1;
  double settledRssKiB = -1;  // the least in the last 5 s of Options::settleSeconds after the attack
  double settledFds = -1;
  Summary login;  // the real player's login answers during the stretch
  std::uint64_t loginTries = 0;
  std::uint64_t loginBusy = 0;     // answered "The server is busy. Try again in a moment."
  std::uint64_t loginRefused = 0;  // answered anything else but a login, or not at all
  AttackCounts counts;
  SteadyReading reader;  // the crowd attack's: a player in the den who reads at a steady rate
  bool ran = false;  // false for an attack left out (--attacks)
  bool ok = false;
};

// One run: the stretch with no attack, then each attack in kSiegeAttacks order.
struct SiegeRun {
  bool ok = false;
  std::string problem;
  SiegeFigures rest;
  std::vector<SiegeFigures> attacks;
};

// Runs the whole siege once on a fresh server of `o.server`.
SiegeRun RunSiege(const Options& o);

// One report per attack, of the medians of `runs`, with its targets.
std::vector<Report> SiegeReports(const std::vector<SiegeRun>& runs, const Options& o);

}  // namespace bench
