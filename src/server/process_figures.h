// What the kernel tells of this process, for the metrics: its start, CPU time and
// resident memory, and its open descriptors. Any thread.
#pragma once

#include <optional>

namespace server {

struct ProcessFigures {
  double startTime = 0;  // Unix seconds
  double cpuSeconds = 0;
  double residentBytes = 0;
};

// From /proc/self/stat and /proc/stat; nothing when they cannot be read.
std::optional<ProcessFigures> ReadProcessFigures();

// The descriptors open in this process, the one that lists them left out.
std::optional<double> OpenDescriptors();

}  // namespace server
