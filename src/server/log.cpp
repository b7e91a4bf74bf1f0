#include "server/log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "server/address_limits.h"
#include "server/connection_lock.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Lines held while standard output is full, at most; more are counted, not kept.
constexpr std::size_t kMaxHeldBytes = 1024 * 1024;
constexpr auto kBudgetWindow = std::chrono::seconds(1);

// What one limited address has logged in its current second.
struct Budget {
  Clock::time_point windowStart{};
  std::size_t bytes = 0;
  std::uint64_t leftOut = 0;  // lines not written in this window
};

// --- Guarded by LogLock, like PipeFd and PipeInode below. ------------------------------
std::mutex LogLock;
std::string Held;                  // lines not written yet, in order
std::uint64_t LinesNotHeld = 0;    // lines that did not fit in Held
std::unordered_map<std::uint32_t, Budget> Budgets;
Clock::time_point LastBudgetScan{};
// ---------------------------------------------------------------------------------------
std::atomic<bool> WorkWaiting{false};  // Held or Budgets is not empty

thread_local bool SourceSet = false;
thread_local std::uint32_t SourceAddress = 0;

std::uint64_t LinesIn(std::string_view text) {
  const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  return std::max<std::uint64_t>(lines, 1);
}

// A pipe on standard output opened anew without blocking, so a full pipe cannot stop
// the writer, without changing the descriptor the process shares with whoever
// started it. Reopened when standard output is another pipe.
int PipeFd = -1;
ino_t PipeInode = 0;

// Writes some of `bytes` to standard output, without waiting unless `wait`: a pipe
// through PipeFd, a socket (the journal's) with MSG_DONTWAIT. Returns what was taken;
// -1 with errno set on a failure.
ssize_t WriteOut(const char* bytes, std::size_t size, bool wait) {
  struct stat about {};
  if (!wait && ::fstat(STDOUT_FILENO, &about) == 0) {
    if (S_ISFIFO(about.st_mode)) {
      if (PipeFd < 0 || PipeInode != about.st_ino) {
        if (PipeFd >= 0) ::close(PipeFd);
        PipeFd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        PipeInode = about.st_ino;
      }
      if (PipeFd >= 0) return ::write(PipeFd, bytes, size);
    } else if (S_ISSOCK(about.st_mode)) {
      return ::send(STDOUT_FILENO, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  return ::write(STDOUT_FILENO, bytes, size);
}

void Hold(std::string_view text) {
  if (Held.size() + text.size() > kMaxHeldBytes) {
    LinesNotHeld += LinesIn(text);
    return;
  }
  Held.append(text);
}

void ReportLeftOut(std::uint32_t address, std::uint64_t lines) {
  Hold("Log lines from " + AddressText(address) + " left out: " + GroupedNumber(lines) + ".\n");
}

// True when the current source may log `text` now; counts it either way.
bool WithinBudget(std::string_view text, Clock::time_point now) {
  Budget& budget = Budgets[SourceAddress];
  if (now - budget.windowStart >= kBudgetWindow) {
    if (budget.leftOut > 0) ReportLeftOut(SourceAddress, budget.leftOut);
    budget = Budget{now, 0, 0};
  }
  if (budget.bytes + text.size() > kLogBytesPerSecond) {
    budget.leftOut += LinesIn(text);
    return false;
  }
  budget.bytes += text.size();
  return true;
}

// Reports the windows that closed with lines left out, and forgets closed windows.
void ScanBudgets(Clock::time_point now) {
  if (now - LastBudgetScan < kBudgetWindow) return;
  LastBudgetScan = now;
  for (auto it = Budgets.begin(); it != Budgets.end();) {
    if (now - it->second.windowStart < kBudgetWindow) {
      ++it;
      continue;
    }
    if (it->second.leftOut > 0) ReportLeftOut(it->first, it->second.leftOut);
    it = Budgets.erase(it);
  }
}

// Writes Held as far as the output takes it; waits for room when `wait`.
void WriteHeld(bool wait) {
  std::size_t done = 0;
  while (done < Held.size()) {
    const ssize_t n = WriteOut(Held.data() + done, Held.size() - done, wait);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait) break;
      pollfd room{STDOUT_FILENO, POLLOUT, 0};
      ::poll(&room, 1, 1000);
    } else {
      done = Held.size();  // a log that cannot be written must not stop the game
    }
  }
  Held.erase(0, done);
  if (Held.empty() && LinesNotHeld > 0) {
    Held = "Log lines left out while standard output was full: " + GroupedNumber(LinesNotHeld) +
           ".\n";
    LinesNotHeld = 0;
  }
}

void Flush(bool wait) {
  std::lock_guard<std::mutex> guard(LogLock);
  if (!Budgets.empty()) ScanBudgets(Clock::now());
  WriteHeld(wait);
  if (wait && !Held.empty()) WriteHeld(wait);  // the count of what was left out
  WorkWaiting.store(!Held.empty() || !Budgets.empty(), std::memory_order_relaxed);
}

}  // namespace

void Log(std::string_view text) {
  {
    std::lock_guard<std::mutex> guard(LogLock);
    if (!SourceSet || WithinBudget(text, Clock::now())) Hold(text);
    WorkWaiting.store(true, std::memory_order_relaxed);
  }
  if (!ConnectionLock.HeldByCaller()) FlushLog();
}

void FlushLog() {
  if (!WorkWaiting.load(std::memory_order_relaxed)) return;
  Flush(false);
}

void FlushLogBeforeExit() { Flush(true); }

LogSource::LogSource(std::uint32_t address, bool limited) : set_(limited && !SourceSet) {
  if (!set_) return;
  SourceSet = true;
  SourceAddress = address;
}

LogSource::~LogSource() {
  if (set_) SourceSet = false;
}

std::string EscapeForLog(std::string_view line) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(line.size());
  for (const char ch : line) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string GroupedNumber(std::uint64_t count) {
  std::string digits = std::to_string(count);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

}  // namespace server
