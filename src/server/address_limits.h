// Limits per client address: live connections, failed logins and new characters for
// each address outside the trusted blocks, and the pace of lines per connection. The
// settings are made once before the threads start; the counts are guarded by
// ConnectionLock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/socket.h"

namespace server {

using LimitClock = std::chrono::steady_clock;

// An IPv4 block, both fields in host byte order: an address is in it when
// (address & mask) == network.
struct AddressBlock {
  std::uint32_t network = 0;
  std::uint32_t mask = 0;
};

// Reads a comma-separated list of addresses ("10.0.0.7") and CIDR blocks
// ("192.168.0.0/16"), or "none" for no block at all. On success fills `blocks` and
// returns true; on any malformed item returns false and leaves `blocks` untouched.
bool ParseAddressBlocks(std::string_view text, std::vector<AddressBlock>& blocks);

// What untrusted addresses are held to. A limit of 0 means no limit.
struct AddressLimits {
  std::vector<AddressBlock> trusted{{0x7F000000u, 0xFF000000u}};  // 127.0.0.0/8
  unsigned maxConnections = 64;     // live connections per address
  unsigned maxFailedLogins = 20;    // failed logins per address in any 10 minutes
  unsigned maxNewCharacters = 30;   // characters created per address in any hour
  unsigned maxLinesPerSecond = 20;  // lines handled per connection, bursts of twice that
};

// The limit kinds, for the one log line written at the first refusal of each.
enum class LimitKind : std::uint8_t { Connections, FailedLogins, NewCharacters, LinesPerSecond };

// The counts kept per address. Addresses are IPv4 in host byte order; `now` comes from
// the caller so tests can move time. A record lives while its address has a live
// connection or a failure or creation inside its window, so memory follows what the
// clients hold, never what they did long ago.
class AddressBook {
 public:
  explicit AddressBook(AddressLimits limits = {}) : limits_(std::move(limits)) {}

  const AddressLimits& Limits() const { return limits_; }
  bool Trusted(std::uint32_t address) const;

  // Counts a new live connection; false (counting nothing) when the address is at its
  // limit. Trusted addresses always get true.
  bool Connect(std::uint32_t address);
  // The connection counted by Connect ended.
  void Disconnect(std::uint32_t address);

  // False once the address has had its failed logins in the last 10 minutes.
  bool LoginAllowed(std::uint32_t address, LimitClock::time_point now);
  void NoteFailedLogin(std::uint32_t address, LimitClock::time_point now);
  // False once the address has made its characters in the last hour.
  bool NewCharacterAllowed(std::uint32_t address, LimitClock::time_point now);
  void NoteNewCharacter(std::uint32_t address, LimitClock::time_point now);

  // True the first time it is asked for this address and kind (while its record lives).
  bool FirstRefusal(std::uint32_t address, LimitKind kind);

  // Forgets the failures and creations that have left their windows, and every
  // address that has nothing left. Called now and then (each world tick).
  void Prune(LimitClock::time_point now);

  std::size_t Records() const { return records_.size(); }

 private:
  struct Record {
    unsigned live = 0;
    std::deque<LimitClock::time_point> failedLogins;  // inside the window, oldest first
    std::deque<LimitClock::time_point> created;       // inside the window, oldest first
    std::uint8_t refused = 0;                         // bit per LimitKind already logged
  };
  bool Allowed(std::uint32_t address, std::deque<LimitClock::time_point> Record::*times,
               unsigned limit, LimitClock::duration window, LimitClock::time_point now);
  void Note(std::uint32_t address, std::deque<LimitClock::time_point> Record::*times,
            unsigned limit, LimitClock::duration window, LimitClock::time_point now);
  void ForgetIfIdle(std::uint32_t address);

  AddressLimits limits_;
  std::unordered_map<std::uint32_t, Record> records_;
};

// The pace of one connection's lines: a token bucket of twice the rate, as a
// theoretical arrival time. 0 lines per second means no limit.
class LinePace {
 public:
  // True when a line may be handled at `now` (and counts it); otherwise false and sets
  // `readyAt` to when the next one may.
  bool Take(unsigned linesPerSecond, LimitClock::time_point now, LimitClock::time_point& readyAt);

 private:
  LimitClock::time_point due_{};  // when the bucket would be full again
};

// The process's book, set up once before the threads start. REQUIRES for the address
// functions below: ConnectionLock held.
void SetAddressLimits(AddressLimits limits);
AddressBook& Addresses();

// The dotted form of an address in host byte order.
std::string AddressText(std::uint32_t address);

// Counts a refusal of `kind` from `address`, and writes the one log line for the first.
void LogFirstRefusal(std::uint32_t address, LimitKind kind);
// Refusals of `kind` since start, every one counted. Any thread may call.
std::uint64_t RefusalCount(LimitKind kind);

// For the interpreter: the limits of a connection's address. A handle that is not a
// registered connection (a test's world) or whose address is trusted is never limited.
// The refusals log their first line. REQUIRES: ConnectionLock held.
bool LoginRefused(net::Socket connection);
void NoteFailedLogin(net::Socket connection);
bool NewCharacterRefused(net::Socket connection);
void NoteNewCharacter(net::Socket connection);

}  // namespace server
