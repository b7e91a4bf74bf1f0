// Figures of a load run: round-trip samples and their summary, and what /proc tells
// of a process (CPU time, resident memory, descriptors, threads). Plain functions; any thread may call them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// The summary of a set of round trips, in nanoseconds; all 0 for an empty set.
struct Summary {
  std::size_t count = 0;
  double median = 0;
  double p99 = 0;
  double max = 0;
};

// Sorts `samples` (nanoseconds) and summarises them. p99 is the sample below which 99%
// of the samples lie (nearest rank).
Summary Summarise(std::vector<std::int64_t>& samples);

// One reading of a process from /proc.
struct ProcReading {
  bool ok = false;         // false when the process could not be read (gone, no pid)
  double cpuSeconds = 0;   // utime + stime of every thread, from /proc/<pid>/stat
  long rssKiB = 0;         // VmRSS from /proc/<pid>/status
  long anonKiB = -1;       // its anonymous part (RssAnon): the heaps, not the libraries' pages
  long fds = -1;           // entries of /proc/<pid>/fd; -1 when it cannot be listed
  long threads = -1;       // entries of /proc/<pid>/task; -1 when it cannot be listed
};

// Reads /proc/<pid>/stat and /proc/<pid>/status and counts the process's descriptors
// and threads. A pid of 0 or less gives ok false.
ProcReading ReadProcess(pid_t pid);

// Parses the text of /proc/<pid>/stat: utime + stime (fields 14 and 15) in clock ticks.
// Returns false when the text has not that shape, leaving `ticks` untouched.
bool ParseStatTicks(const std::string& stat, long long& ticks);

// Parses the text of /proc/<pid>/status for the line of `field` ("VmRSS", "RssAnon"),
// in KiB. Returns false when the line is missing, leaving `kib` untouched.
bool ParseStatusKiB(const std::string& status, std::string_view field, long& kib);

// The monotonic clock in nanoseconds.
std::int64_t NowNs();

}  // namespace bench
