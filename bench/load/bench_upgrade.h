// The upgrade scenario: players chatting while the server runs `admin upgrade`, the
// longest pause any of them sees, how long the new process takes to serve, and whether
// anyone lost an answer or the connection. The players are driven on the load
// generator's main thread; the console and the server's log are watched on one thread
// of the scenario's own.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "bench_options.h"
#include "bench_report.h"
#include "bench_stats.h"

namespace bench {

// The round trips of the commands sent in [fromNs, toNs), and the longest stretch in
// which no command at all was answered, between two answers that arrived in it.
struct WindowFigures {
  Summary roundTrip;
  double longestGapNs = 0;
};

// `sentNs[i]` is when command i was sent and `tookNs[i]` its round trip, in any order.
WindowFigures MeasureWindow(std::span<const std::int64_t> sentNs, std::span<const std::int64_t> tookNs,
                            std::int64_t fromNs, std::int64_t toNs);

// What the scenario runs, in words.
std::string DescribeUpgrade(const Options& o);

// Runs the scenario o.runs times, each on a server of its own with o.chatPlayers
// players, and returns the report of the medians with its rows and targets filled.
// Prints nothing but the folders it keeps (--keep).
Report RunUpgrade(const Options& o);

}  // namespace bench
