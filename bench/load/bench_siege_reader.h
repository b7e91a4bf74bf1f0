// The siege's crowd attack measures an honest player in the den the crowd fills: it
// reads at a steady rate and asks `time` once a second, on a thread of its own, and
// says whether the server ended it. Start and Stop are called from one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "bench_stats.h"
#include "bench_world.h"
#include "harness/frame_client.h"

namespace bench {

// What it reads a second, at most: a client whose link is that slow.
inline constexpr double kSteadyReadBytesPerSecond = 32 * 1024;

struct SteadyReading {
  bool ran = false;
  bool ended = false;             // the server ended it before it was stopped
  double endedAfterSeconds = -1;  // from Mark
  Summary trips;                  // its `time` round trips (one still unanswered counts as long as it waited)
  double readKiBps = -1;          // what it read from Mark on
};

class SteadyReader {
 public:
  SteadyReader() = default;
  ~SteadyReader() { Stop(); }
  SteadyReader(const SteadyReader&) = delete;
  SteadyReader& operator=(const SteadyReader&) = delete;

  // Sets its character up in the den of `origin` and starts reading; false (with
  // `problem` set) when the setup failed.
  bool Start(int port, const Origin& origin, std::string& problem);
  // The crowd begins now: the figures are counted from here.
  void Mark() { markNs_.store(NowNs()); }
  // Ends the thread and the connection; the figures (empty when it never started).
  SteadyReading Stop();

 private:
  void Run();

  std::unique_ptr<harness::FrameClient> client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> markNs_{0};
  SteadyReading figures_;  // written by its thread, read after the join
};

}  // namespace bench
