// The server's console log: one line per connection, per received command and per
// ended connection, and the start-up lines. Any thread may call Log.
//
// A line is never written while its thread holds ConnectionLock: the lock holder's
// lines wait, in order, and go out as the lock is given back (FairLock::unlock calls
// FlushLog; the input thread's go out within 20 ms, FlushLogWhenDue), so a slow
// standard output never holds up the game. Standard output is written without
// blocking where it can be (a pipe, a socket such as the journal's): while it is full
// the lines wait in a bounded buffer, and what did not fit is counted and reported
// once there is room again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "base/address.h"

namespace core {

// How much a line matters, as syslog ranks it. Under journald (JOURNAL_STREAM set)
// every line starts with its priority ("<3>", "<4>", "<6>"), so `journalctl -p err`
// finds the failures; elsewhere the lines are written as they are.
enum class LogPriority : int {
  Error = 3,    // something failed: a save, a start-up step
  Warning = 4,  // something was refused: a banned address, a limit reached
  Info = 6,     // everything else
};

// Queues `text` (whole lines) for standard output, and writes it now unless the
// calling thread holds ConnectionLock.
void Log(std::string_view text, LogPriority priority = LogPriority::Info);

// Whether the calling thread's lines wait, from now on, for the next FlushLog rather
// than being written as they are made: ConnectionLock says so as its holder takes it
// and gives it back.
void HoldLogLines(bool hold);

// The bytes Log writes for `text` (whole lines), for a process that must write its
// own (an upgrade's guard, which may not allocate once it runs).
std::string LogLine(std::string_view text, LogPriority priority);

// Writes what the log holds, as far as standard output takes it now.
void FlushLog();

// As FlushLog, but only once the oldest line held has waited a batch's delay (20 ms) or
// the lines fill a batch (16 KiB); returns the milliseconds until they are due, -1 when
// none wait. The input thread calls it after each turn and waits no longer than that:
// under load, one write carries the lines of many turns.
int FlushLogWhenDue();

// Writes everything the log holds, waiting for standard output if it must. For the
// last lines before the process ends.
void FlushLogBeforeExit();

// While one lives on a thread, that thread's lines are made on behalf of a client
// counted under `key` (base::LimitKey of its address) and held to the address limits:
// each such key may write at most kLogBytesPerSecond of log a second, and what it
// makes beyond that is left out and counted in one line ("Log lines from 203.0.113.9
// left out: 1,234.").
class LogSource {
 public:
  LogSource(const base::Address& key, bool limited);
  ~LogSource();
  LogSource(const LogSource&) = delete;
  LogSource& operator=(const LogSource&) = delete;

 private:
  base::Address key_;
  bool set_;  // this one set the thread's source (an outer one may have)
};

inline constexpr std::size_t kLogBytesPerSecond = 64 * 1024;

// The lines left out since start, over an address's budget or while standard output
// was full. Any thread.
std::uint64_t LogLinesLeftOut();

// `line` as it may appear in the log: every byte below 0x20, the byte 0x7F and every
// C1 control (U+0080 to U+009F, or a byte 0x80 to 0x9F that is no part of a
// well-formed UTF-8 character) becomes \x and two lower-case hex digits a byte
// ("\xc2\x9b", "\x9b"), so a player cannot drive the operator's terminal, 8-bit ones
// included. Every other byte is left as it is.
std::string EscapeForLog(std::string_view line);

// How much of a line a client typed the log shows: its bytes [from, hideFrom) and
// [hideTo, end), with `instead` between them (a password's "***"). Each bound falls
// between characters.
struct Shown {
  std::size_t from = 0;
  std::size_t hideFrom = std::string_view::npos;
  std::size_t hideTo = std::string_view::npos;
  std::string_view instead;
};

// What `shown` keeps of `line`, escaped as EscapeForLog escapes it; `characters` is
// base::utf8::Characters(line).
std::string ShownText(std::string_view line, const std::vector<base::utf8::Character>& characters,
                      const Shown& shown);

// Logs `before`, ShownText and a line feed.
void LogTyped(std::string_view before, std::string_view line, const std::vector<base::utf8::Character>& characters,
              const Shown& shown);

// `count` in decimal with a comma between groups of three digits ("1,234").
std::string GroupedNumber(std::uint64_t count);

}  // namespace core
