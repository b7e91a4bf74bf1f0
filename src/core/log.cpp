#include "core/log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <mutex>
#include <unordered_map>

#include "base/utf8.h"

namespace core {

namespace {

using Clock = std::chrono::steady_clock;

// Lines held while standard output is full, at most; more are counted, not kept.
constexpr std::size_t kMaxHeldBytes = 1024 * 1024;
constexpr auto kBudgetWindow = std::chrono::seconds(1);
// The input thread writes its lines once they have waited this long or fill a batch:
// under load one write carries many lines.
constexpr auto kBatchDelay = std::chrono::milliseconds(20);
constexpr std::size_t kBatchBytes = 16 * 1024;

std::uint64_t LinesIn(std::string_view text) {
  const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  return std::max<std::uint64_t>(lines, 1);
}

// The lines on their way to standard output, and what each limited source has logged
// in its current second.
class LogWriter {
 public:
  void Take(std::string_view text, const base::Address* source);
  void Flush(bool wait);
  int FlushWhenDue();
  bool WorkWaiting() const { return workWaiting_.load(std::memory_order_relaxed); }
  std::uint64_t LeftOut() const { return leftOut_.load(std::memory_order_relaxed); }

 private:
  // What one limited source has logged in its current second.
  struct Budget {
    Clock::time_point windowStart{};
    std::size_t bytes = 0;
    std::uint64_t leftOut = 0;  // lines not written in this window
  };

  ssize_t WriteOut(const char* bytes, std::size_t size, bool wait);
  void Hold(std::string_view text);
  void ReportLeftOut(const base::Address& key, std::uint64_t lines);
  bool WithinBudget(std::string_view text, const base::Address& key, Clock::time_point now);
  void ScanBudgets(Clock::time_point now);
  void WriteHeld(bool wait);

  // State below is guarded by mutex_.
  std::mutex mutex_;
  std::string held_;                // lines not written yet, in order
  Clock::time_point heldSince_{};   // when the oldest of held_ came, or the last try to write it
  std::uint64_t linesNotHeld_ = 0;  // lines that did not fit in held_
  std::unordered_map<base::Address, Budget, base::AddressHash> budgets_;
  Clock::time_point lastBudgetScan_{};
  // A pipe on standard output opened anew without blocking, so a full pipe cannot
  // stop the writer, without changing the descriptor the process shares with whoever
  // started it. Reopened when standard output is another pipe.
  int pipeFd_ = -1;
  ino_t pipeInode_ = 0;

  std::atomic<bool> workWaiting_{false};  // held_ or budgets_ is not empty
  std::atomic<std::uint64_t> leftOut_{0};  // lines left out since start, for the metrics
};

// One per process: standard output is the process's own.
LogWriter Writer;

// The source of the lines the current thread makes, while a LogSource lives on it.
thread_local const base::Address* Source = nullptr;
// Whether the current thread's lines wait for FlushLog (HoldLogLines).
thread_local bool Holding = false;

// Writes some of `bytes` to standard output, without waiting unless `wait`: a pipe
// through pipeFd_, a socket (the journal's) with MSG_DONTWAIT. Returns what was taken;
// -1 with errno set on a failure.
ssize_t LogWriter::WriteOut(const char* bytes, std::size_t size, bool wait) {
  struct stat about {};
  if (!wait && ::fstat(STDOUT_FILENO, &about) == 0) {
    if (S_ISFIFO(about.st_mode)) {
      if (pipeFd_ < 0 || pipeInode_ != about.st_ino) {
        if (pipeFd_ >= 0) ::close(pipeFd_);
        pipeFd_ = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        pipeInode_ = about.st_ino;
      }
      if (pipeFd_ >= 0) return ::write(pipeFd_, bytes, size);
    } else if (S_ISSOCK(about.st_mode)) {
      return ::send(STDOUT_FILENO, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  return ::write(STDOUT_FILENO, bytes, size);
}

void LogWriter::Hold(std::string_view text) {
  if (held_.size() + text.size() > kMaxHeldBytes) {
    linesNotHeld_ += LinesIn(text);
    leftOut_.fetch_add(LinesIn(text), std::memory_order_relaxed);
    return;
  }
  if (held_.empty()) heldSince_ = Clock::now();
  held_.append(text);
}

void LogWriter::ReportLeftOut(const base::Address& key, std::uint64_t lines) {
  Hold("Log lines from " + base::LimitKeyText(key) + " left out: " + GroupedNumber(lines) + ".\n");
}

// True when `key` may log `text` now; counts it either way.
bool LogWriter::WithinBudget(std::string_view text, const base::Address& key, Clock::time_point now) {
  Budget& budget = budgets_[key];
  if (now - budget.windowStart >= kBudgetWindow) {
    if (budget.leftOut > 0) ReportLeftOut(key, budget.leftOut);
    budget = Budget{now, 0, 0};
  }
  if (budget.bytes + text.size() > kLogBytesPerSecond) {
    budget.leftOut += LinesIn(text);
    leftOut_.fetch_add(LinesIn(text), std::memory_order_relaxed);
    return false;
  }
  budget.bytes += text.size();
  return true;
}

// Reports the windows that closed with lines left out, and forgets closed windows.
void LogWriter::ScanBudgets(Clock::time_point now) {
  if (now - lastBudgetScan_ < kBudgetWindow) return;
  lastBudgetScan_ = now;
  for (auto it = budgets_.begin(); it != budgets_.end();) {
    if (now - it->second.windowStart < kBudgetWindow) {
      ++it;
      continue;
    }
    if (it->second.leftOut > 0) ReportLeftOut(it->first, it->second.leftOut);
    it = budgets_.erase(it);
  }
}

// Writes held_ as far as the output takes it; waits for room when `wait`.
void LogWriter::WriteHeld(bool wait) {
  std::size_t done = 0;
  while (done < held_.size()) {
    const ssize_t n = WriteOut(held_.data() + done, held_.size() - done, wait);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait) break;
      pollfd room{STDOUT_FILENO, POLLOUT, 0};
      ::poll(&room, 1, 1000);
    } else {
      done = held_.size();  // a log that cannot be written must not stop the game
    }
  }
  held_.erase(0, done);
  if (held_.empty() && linesNotHeld_ > 0) {
    held_ = "Log lines left out while standard output was full: " + GroupedNumber(linesNotHeld_) +
            ".\n";
    linesNotHeld_ = 0;
  }
  heldSince_ = Clock::now();  // what is left is tried again a batch's delay from now
}

void LogWriter::Take(std::string_view text, const base::Address* source) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (source == nullptr || WithinBudget(text, *source, Clock::now())) Hold(text);
  workWaiting_.store(true, std::memory_order_relaxed);
}

void LogWriter::Flush(bool wait) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!budgets_.empty()) ScanBudgets(Clock::now());
  WriteHeld(wait);
  if (wait && !held_.empty()) WriteHeld(wait);  // the count of what was left out
  workWaiting_.store(!held_.empty() || !budgets_.empty(), std::memory_order_relaxed);
}

int LogWriter::FlushWhenDue() {
  std::lock_guard<std::mutex> guard(mutex_);
  const Clock::time_point now = Clock::now();
  if (!budgets_.empty()) ScanBudgets(now);
  if (!held_.empty() && (held_.size() >= kBatchBytes || now - heldSince_ >= kBatchDelay)) WriteHeld(false);
  workWaiting_.store(!held_.empty() || !budgets_.empty(), std::memory_order_relaxed);
  if (held_.empty()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(heldSince_ + kBatchDelay - now);
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}


// True when standard output is the journal's stream (systemd sets JOURNAL_STREAM to
// the device and inode of the socket it gave the process). Read once.
bool ToJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat about {};
    if (stream == nullptr || ::fstat(STDOUT_FILENO, &about) != 0) return false;
    return std::string(stream) ==
           std::to_string(about.st_dev) + ":" + std::to_string(about.st_ino);
  }();
  return journal;
}

// `text` with each of its lines led by the priority, as journald reads it.
std::string WithPriority(std::string_view text, LogPriority priority) {
  std::string lead = "<";
  lead += std::to_string(static_cast<int>(priority));
  lead += '>';
  std::string out;
  out.reserve(text.size() + lead.size());
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    out += lead;
    out += text.substr(0, length);
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace

void Log(std::string_view text, LogPriority priority) {
  if (ToJournal()) {
    Writer.Take(WithPriority(text, priority), Source);
  } else {
    Writer.Take(text, Source);
  }
  if (!Holding) FlushLog();
}

void HoldLogLines(bool hold) { Holding = hold; }

std::string LogLine(std::string_view text, LogPriority priority) {
  return ToJournal() ? WithPriority(text, priority) : std::string(text);
}

void FlushLog() {
  if (Writer.WorkWaiting()) Writer.Flush(false);
}

int FlushLogWhenDue() { return Writer.WorkWaiting() ? Writer.FlushWhenDue() : -1; }

void FlushLogBeforeExit() { Writer.Flush(true); }

LogSource::LogSource(const base::Address& key, bool limited) : key_(key), set_(limited && Source == nullptr) {
  if (set_) Source = &key_;
}

LogSource::~LogSource() {
  if (set_) Source = nullptr;
}

std::uint64_t LogLinesLeftOut() { return Writer.LeftOut(); }

namespace {

// Appends the characters of `line` that begin in [from, to) to `out`, escaped.
void AppendEscaped(std::string& out, std::string_view line, const std::vector<base::utf8::Character>& characters,
                   std::size_t from, std::size_t to) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const base::utf8::Character& ch : characters) {
    if (ch.at < from || ch.at >= to) continue;
    const auto byte = static_cast<unsigned char>(line[ch.at]);
    if (byte >= 0x20 && byte != 0x7F && ch.c1 == 0) {
      out.append(line, ch.at, ch.length);
      continue;
    }
    for (std::size_t i = ch.at; i < ch.at + ch.length; ++i) {
      const auto b = static_cast<unsigned char>(line[i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
}

}  // namespace

std::string EscapeForLog(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  AppendEscaped(out, line, base::utf8::Characters(line), 0, line.size());
  return out;
}

namespace {

// Appends what `shown` keeps of `line` to `out`, escaped.
void AppendShown(std::string& out, std::string_view line, const std::vector<base::utf8::Character>& characters,
                 const Shown& shown) {
  AppendEscaped(out, line, characters, shown.from, shown.hideFrom);
  out += shown.instead;
  if (shown.hideTo != std::string_view::npos) AppendEscaped(out, line, characters, shown.hideTo, line.size());
}

}  // namespace

std::string ShownText(std::string_view line, const std::vector<base::utf8::Character>& characters,
                      const Shown& shown) {
  std::string out;
  out.reserve(line.size());
  AppendShown(out, line, characters, shown);
  return out;
}

void LogTyped(std::string_view before, std::string_view line, const std::vector<base::utf8::Character>& characters,
              const Shown& shown) {
  // Every typed line is logged: it is made in one buffer.
  std::string text;
  text.reserve(before.size() + line.size() + shown.instead.size() + 1);
  text += before;
  AppendShown(text, line, characters, shown);
  text += '\n';
  Log(text);
}

std::string GroupedNumber(std::uint64_t count) {
  const std::string digits = std::to_string(count);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

}  // namespace core
