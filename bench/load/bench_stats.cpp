#include "bench_stats.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace bench {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Skips blanks and reads one decimal number; false when there is none.
template <class Number>
bool ReadNumber(std::string_view& text, Number& out) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (error != std::errc()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

// The entries of a /proc folder; -1 when it cannot be listed.
long CountEntries(const std::string& path) {
  std::error_code error;
  std::filesystem::directory_iterator it(path, error);
  if (error) return -1;
  long n = 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return -1;
    ++n;
  }
  return n;
}

}  // namespace

Summary Summarise(std::vector<std::int64_t>& samples) {
  Summary s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  s.median = n % 2 == 1 ? static_cast<double>(samples[n / 2])
                        : (static_cast<double>(samples[n / 2 - 1]) + static_cast<double>(samples[n / 2])) / 2;
  // Nearest rank: the smallest sample with at least 99% of the samples at or below it.
  const std::size_t rank = (99 * n + 99) / 100;
  s.p99 = static_cast<double>(samples[std::max<std::size_t>(rank, 1) - 1]);
  s.max = static_cast<double>(samples.back());
  return s;
}

bool ParseStatTicks(const std::string& stat, long long& ticks) {
  // The command name (field 2) is in parentheses and may hold blanks: count from the
  // last ')'. Field 3 follows it; utime and stime are fields 14 and 15.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::string_view rest = std::string_view(stat).substr(close + 1);
  for (int field = 3; field < 14; ++field) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) return false;
    rest.remove_prefix(blank);
  }
  long long utime = 0;
  long long stime = 0;
  if (!ReadNumber(rest, utime) || !ReadNumber(rest, stime)) return false;
  ticks = utime + stime;
  return true;
}

bool ParseStatusKiB(const std::string& status, std::string_view field, long& kib) {
  std::string line = "\n";
  line.append(field).push_back(':');
  const std::size_t at = status.find(line);
  if (at == std::string::npos) return false;
  std::string_view rest = std::string_view(status).substr(at + line.size());
  long value = 0;
  if (!ReadNumber(rest, value)) return false;
  kib = value;
  return true;
}

ProcReading ReadProcess(pid_t pid) {
  ProcReading r;
  if (pid <= 0) return r;
  const std::string base = "/proc/" + std::to_string(pid);
  long long ticks = 0;
  long kib = 0;
  const std::string status = ReadFile(base + "/status");
  if (!ParseStatTicks(ReadFile(base + "/stat"), ticks) || !ParseStatusKiB(status, "VmRSS", kib)) {
    return r;
  }
  ParseStatusKiB(status, "RssAnon", r.anonKiB);
  r.ok = true;
  r.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  r.rssKiB = kib;
  r.fds = CountEntries(base + "/fd");
  r.threads = CountEntries(base + "/task");
  return r;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace bench
