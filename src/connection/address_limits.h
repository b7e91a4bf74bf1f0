// Limits per client address: live connections, failed logins, new characters and TLS
// handshakes for each address outside the trusted blocks, and the pace of lines per
// connection. An address is counted under its limit key (base::LimitKey: an IPv6
// client by its /64).
// Plain records; their owner guards them (the connection layer's and the game's books
// are both guarded by ConnectionLock).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/address.h"
#include "base/field_list.h"

namespace connection {

using LimitClock = std::chrono::steady_clock;

// A time on the monotonic clock as an upgrade carries it to the next process (the clock
// goes on across an exec): nanoseconds since its epoch; the epoch itself is "none".
inline std::int64_t CarriedTime(LimitClock::time_point t) { return base::TimeField(t); }
inline LimitClock::time_point FromCarriedTime(std::int64_t nanoseconds) {
  return base::FromTimeField<LimitClock::time_point>(nanoseconds);
}

// What untrusted addresses are held to. A limit of 0 means no limit.
struct AddressLimits {
  // 127.0.0.0/8 and ::1: the machine's own loopback.
  std::vector<base::AddressBlock> trusted = DefaultTrusted();
  unsigned maxConnections = 64;     // live connections per address
  unsigned maxFailedLogins = 20;    // failed logins per address in any 10 minutes
  unsigned maxNewCharacters = 30;   // characters created per address in any hour
  unsigned maxLinesPerSecond = 20;  // lines handled per connection, bursts of twice that
  // TLS handshakes begun per address a second, bursts of twice that: each costs the
  // server a key exchange and a signature before it knows anything of the client.
  unsigned maxHandshakesPerSecond = 5;
  // Trusted proxies (PELTHOLLOW_PROXIES): their connections name the client they
  // carry (a PROXY header, a forwarded header). Empty by default.
  std::vector<base::AddressBlock> proxies;
  // KiB a second of speech heard that one address's lines may cost (PELTHOLLOW_MAX_SPEECH_HEARD):
  // each line's bytes times the characters that hear it; each connection a quarter of it.
  unsigned maxSpeechHeard = 256;

  static std::vector<base::AddressBlock> DefaultTrusted();
  bool Trusted(const base::Address& address) const;
  bool Proxy(const base::Address& address) const;
};

// The limit kinds, for the one log line written at the first refusal of each.
enum class LimitKind : std::uint8_t { Connections, FailedLogins, NewCharacters, LinesPerSecond, Handshakes };
inline constexpr std::size_t kLimitKinds = 5;

// A connection refused for its address's handshake rate is logged at most once per
// address in this time; the refusals between are counted, and the next line says how
// many there were.
inline constexpr auto kHandshakeLogPeriod = std::chrono::minutes(1);

// "Limit reached by 203.0.113.9: PELTHOLLOW_MAX_CONNECTIONS=64" and a line feed.
std::string LimitReachedText(const base::Address& key, LimitKind kind, const AddressLimits& limits);
// The same line for a limit that is not a LimitKind, by its variable's name and value.
std::string LimitReachedText(const base::Address& key, std::string_view variable, unsigned value);

// Descriptors above this are no descriptors a process of ours held.
inline constexpr std::uint64_t kMaxDescriptor = 1u << 24;

// What an AddressBook counts for one limit key.
struct AddressCounts {
  unsigned live = 0;
  std::deque<LimitClock::time_point> failedLogins;  // inside the window, oldest first
  std::deque<LimitClock::time_point> created;       // inside the window, oldest first
  std::uint8_t refused = 0;                         // bit per LimitKind already logged
  // TLS handshakes: their pace, when a refusal was last logged and the refusals since
  // (the epoch and 0 once nothing needs them: Prune clears them).
  LimitClock::time_point handshakesDue{};  // LinePace's state
  LimitClock::time_point handshakeLogged{};
  std::uint64_t handshakesUnlogged = 0;

  // Its fields in the record of its key (base/field_list.h), whose tag 1 is the key.
  template <class Io, class Self>
  static void Fields(Io& io, Self& r) {
    io.Unsigned(2, r.live, kMaxDescriptor);
    io.Each(3, r.failedLogins);
    io.Each(4, r.created);
    io.Unsigned(5, r.refused);
    io.Time(6, r.handshakesDue);
    io.Time(7, r.handshakeLogged);
    io.Unsigned(8, r.handshakesUnlogged);
  }
};

// What is kept for one limit key, as an upgrade carries it: the key, then the fields of
// what is kept (from tag 2 on).
template <class Value>
struct KeyedRecord {
  base::Address key;
  Value value;

  template <class Io, class Self>
  static void Fields(Io& io, Self& r) {
    io.Address(1, r.key);
    Value::Fields(io, r.value);
  }
};

// An AddressBook as an upgrade carries it: every key's counts, and the refusals counted.
struct CarriedBook {
  using Record = KeyedRecord<AddressCounts>;
  std::vector<Record> records;
  std::array<std::uint64_t, kLimitKinds> refusals{};

  // Its record (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& b) {
    io.Each(1, b.records);
    io.Each(2, b.refusals);
  }
};

// The counts kept per limit key; `now` comes from the caller so tests can move time. A
// record lives while its key has a live connection or a failure or creation inside its
// window, so memory follows what the clients hold, never what they did long ago.
class AddressBook {
 public:
  explicit AddressBook(AddressLimits limits = {}) : limits_(std::move(limits)) {}

  const AddressLimits& Limits() const { return limits_; }
  // Replaces the limits (at start, before any count is kept).
  void SetLimits(AddressLimits limits) { limits_ = std::move(limits); }

  // Counts a new live connection; false (counting nothing) when the key is at its
  // limit.
  bool Connect(const base::Address& key);
  // The connection counted by Connect ended.
  void Disconnect(const base::Address& key);

  // False once the key has had its failed logins in the last 10 minutes.
  bool LoginAllowed(const base::Address& key, LimitClock::time_point now);
  void NoteFailedLogin(const base::Address& key, LimitClock::time_point now);
  // False once the key has made its characters in the last hour.
  bool NewCharacterAllowed(const base::Address& key, LimitClock::time_point now);
  void NoteNewCharacter(const base::Address& key, LimitClock::time_point now);
  // Counts a TLS handshake about to begin; false (counting nothing) when the key has
  // begun its rate of them (LinePace: bursts of twice the rate).
  bool HandshakeAllowed(const base::Address& key, LimitClock::time_point now);
  // A connection of the key was refused for its handshake rate: true when its refusal
  // is to be logged (the first in kHandshakeLogPeriod), with `unlogged` set to the
  // refusals left out of the log since the last logged one; false when it is only
  // counted.
  bool LogHandshakeRefusal(const base::Address& key, LimitClock::time_point now, std::uint64_t& unlogged);

  // Counts a refusal of `kind` and returns the log line for the first one of the key
  // and kind while its record lives ("Limit reached by ..."); empty for later ones.
  std::string NoteRefusal(const base::Address& key, LimitKind kind);
  // Refusals of `kind` since the book was made, every one counted. Any thread.
  std::uint64_t RefusalCount(LimitKind kind) const {
    return refusals_[static_cast<std::size_t>(kind)].load(std::memory_order_relaxed);
  }

  // Forgets the failures and creations that have left their windows, and every key
  // that has nothing left. Called now and then (each world tick).
  void Prune(LimitClock::time_point now);

  std::size_t Records() const { return records_.size(); }

  // For an upgrade: everything the book holds, and a book made again from it (in a new
  // one, before any count is kept).
  CarriedBook Carry() const;
  void Adopt(const CarriedBook& carried);

 private:
  using Record = AddressCounts;
  bool Allowed(const base::Address& key, std::deque<LimitClock::time_point> Record::*times,
               unsigned limit, LimitClock::duration window, LimitClock::time_point now);
  void Note(const base::Address& key, std::deque<LimitClock::time_point> Record::*times,
            unsigned limit, LimitClock::duration window, LimitClock::time_point now);
  void ForgetIfIdle(const base::Address& key);
  static bool Idle(const Record& r);

  AddressLimits limits_;
  std::unordered_map<base::Address, Record, base::AddressHash> records_;
  std::array<std::atomic<std::uint64_t>, kLimitKinds> refusals_{};
};

// The pace of one connection's lines: a token bucket of twice the rate, as a
// theoretical arrival time. 0 lines per second means no limit.
class LinePace {
 public:
  // True when a line may be handled at `now` (and counts it); otherwise false and sets
  // `readyAt` to when the next one may.
  bool Take(unsigned linesPerSecond, LimitClock::time_point now, LimitClock::time_point& readyAt);
  // Counts `units` of work done at `now` whatever the pace; false, with `readyAt` set to
  // when the next may be, when they took it past its burst.
  bool Charge(unsigned linesPerSecond, std::size_t units, LimitClock::time_point now,
              LimitClock::time_point& readyAt);

  // Its whole state, for an upgrade.
  LimitClock::time_point Due() const { return due_; }
  void SetDue(LimitClock::time_point due) { due_ = due; }

 private:
  LimitClock::time_point due_{};  // when the bucket would be full again
};

}  // namespace connection
