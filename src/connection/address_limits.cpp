#include "connection/address_limits.h"

#include <chrono>

namespace connection {

namespace {

constexpr auto kFailedLoginWindow = std::chrono::minutes(10);
constexpr auto kNewCharacterWindow = std::chrono::hours(1);

const char* LimitName(LimitKind kind) {
  switch (kind) {
    case LimitKind::Connections: return "PELTHOLLOW_MAX_CONNECTIONS";
    case LimitKind::FailedLogins: return "PELTHOLLOW_MAX_FAILED_LOGINS";
    case LimitKind::NewCharacters: return "PELTHOLLOW_MAX_NEW_CHARACTERS";
    case LimitKind::LinesPerSecond: return "PELTHOLLOW_MAX_LINES_PER_SECOND";
    case LimitKind::Handshakes: return "PELTHOLLOW_MAX_HANDSHAKES_PER_SECOND";
  }
  return "";
}

unsigned LimitValue(const AddressLimits& limits, LimitKind kind) {
  switch (kind) {
    case LimitKind::Connections: return limits.maxConnections;
    case LimitKind::FailedLogins: return limits.maxFailedLogins;
    case LimitKind::NewCharacters: return limits.maxNewCharacters;
    case LimitKind::LinesPerSecond: return limits.maxLinesPerSecond;
    case LimitKind::Handshakes: return limits.maxHandshakesPerSecond;
  }
  return 0;
}

}  // namespace

std::vector<base::AddressBlock> AddressLimits::DefaultTrusted() {
  std::vector<base::AddressBlock> blocks;
  base::ParseBlocks("127.0.0.0/8,::1", blocks);
  return blocks;
}

bool AddressLimits::Trusted(const base::Address& address) const {
  for (const base::AddressBlock& block : trusted) {
    if (block.Contains(address)) return true;
  }
  return false;
}

bool AddressLimits::Proxy(const base::Address& address) const {
  for (const base::AddressBlock& block : proxies) {
    if (block.Contains(address)) return true;
  }
  return false;
}

std::string LimitReachedText(const base::Address& key, LimitKind kind, const AddressLimits& limits) {
  return LimitReachedText(key, LimitName(kind), LimitValue(limits, kind));
}

std::string LimitReachedText(const base::Address& key, std::string_view variable, unsigned value) {
  return "Limit reached by " + base::LimitKeyText(key) + ": " + std::string(variable) + "=" +
         std::to_string(value) + "\n";
}

bool AddressBook::Connect(const base::Address& key) {
  Record& record = records_[key];
  if (limits_.maxConnections != 0 && record.live >= limits_.maxConnections) {
    ForgetIfIdle(key);
    return false;
  }
  ++record.live;
  return true;
}

void AddressBook::Disconnect(const base::Address& key) {
  const auto it = records_.find(key);
  if (it == records_.end() || it->second.live == 0) return;
  --it->second.live;
  ForgetIfIdle(key);
}

bool AddressBook::Allowed(const base::Address& key, std::deque<LimitClock::time_point> Record::*times,
                          unsigned limit, LimitClock::duration window, LimitClock::time_point now) {
  if (limit == 0) return true;
  const auto it = records_.find(key);
  if (it == records_.end()) return true;
  auto& list = it->second.*times;
  while (!list.empty() && now - list.front() >= window) list.pop_front();
  const bool allowed = list.size() < limit;
  ForgetIfIdle(key);
  return allowed;
}

void AddressBook::Note(const base::Address& key, std::deque<LimitClock::time_point> Record::*times,
                       unsigned limit, LimitClock::duration window, LimitClock::time_point now) {
  if (limit == 0) return;
  auto& list = records_[key].*times;
  while (!list.empty() && now - list.front() >= window) list.pop_front();
  if (list.size() < limit) list.push_back(now);  // never more than the limit is kept
}

bool AddressBook::LoginAllowed(const base::Address& key, LimitClock::time_point now) {
  return Allowed(key, &Record::failedLogins, limits_.maxFailedLogins, kFailedLoginWindow, now);
}

void AddressBook::NoteFailedLogin(const base::Address& key, LimitClock::time_point now) {
  Note(key, &Record::failedLogins, limits_.maxFailedLogins, kFailedLoginWindow, now);
}

bool AddressBook::NewCharacterAllowed(const base::Address& key, LimitClock::time_point now) {
  return Allowed(key, &Record::created, limits_.maxNewCharacters, kNewCharacterWindow, now);
}

void AddressBook::NoteNewCharacter(const base::Address& key, LimitClock::time_point now) {
  Note(key, &Record::created, limits_.maxNewCharacters, kNewCharacterWindow, now);
}

bool AddressBook::HandshakeAllowed(const base::Address& key, LimitClock::time_point now) {
  if (limits_.maxHandshakesPerSecond == 0) return true;
  Record& r = records_[key];
  LinePace pace;
  pace.SetDue(r.handshakesDue);
  LimitClock::time_point readyAt;
  const bool allowed = pace.Take(limits_.maxHandshakesPerSecond, now, readyAt);
  r.handshakesDue = pace.Due();
  return allowed;
}

bool AddressBook::LogHandshakeRefusal(const base::Address& key, LimitClock::time_point now,
                                      std::uint64_t& unlogged) {
  Record& r = records_[key];
  if (r.handshakeLogged != LimitClock::time_point{} && now - r.handshakeLogged < kHandshakeLogPeriod) {
    ++r.handshakesUnlogged;
    return false;
  }
  unlogged = r.handshakesUnlogged;
  r.handshakesUnlogged = 0;
  r.handshakeLogged = now;
  return true;
}

void AddressBook::Prune(LimitClock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    Record& r = it->second;
    while (!r.failedLogins.empty() && now - r.failedLogins.front() >= kFailedLoginWindow)
      r.failedLogins.pop_front();
    while (!r.created.empty() && now - r.created.front() >= kNewCharacterWindow) r.created.pop_front();
    if (r.handshakesDue <= now) r.handshakesDue = {};  // its whole burst is back
    if (r.handshakeLogged != LimitClock::time_point{} && now - r.handshakeLogged >= kHandshakeLogPeriod) {
      r.handshakeLogged = {};
      r.handshakesUnlogged = 0;
    }
    if (Idle(r)) {
      it = records_.erase(it);
    } else {
      ++it;
    }
  }
}

std::string AddressBook::NoteRefusal(const base::Address& key, LimitKind kind) {
  refusals_[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  const auto bit = static_cast<std::uint8_t>(1u << static_cast<unsigned>(kind));
  Record& record = records_[key];
  const bool first = (record.refused & bit) == 0;
  record.refused |= bit;
  return first ? LimitReachedText(key, kind, limits_) : std::string();
}

void AddressBook::ForgetIfIdle(const base::Address& key) {
  const auto it = records_.find(key);
  if (it == records_.end()) return;
  // A record that has logged a refusal stays while anything else keeps it, so the
  // log line is not repeated at every burst.
  if (Idle(it->second)) records_.erase(it);
}

// Nothing left to count: no live connection, nothing in a window, and no handshake
// state that Prune has not yet found spent.
bool AddressBook::Idle(const Record& r) {
  return r.live == 0 && r.failedLogins.empty() && r.created.empty() &&
         r.handshakesDue == LimitClock::time_point{} && r.handshakeLogged == LimitClock::time_point{};
}

bool LinePace::Take(unsigned linesPerSecond, LimitClock::time_point now,
                    LimitClock::time_point& readyAt) {
  if (linesPerSecond == 0) return true;
  const LimitClock::duration interval = LimitClock::duration(std::chrono::seconds(1)) / linesPerSecond;
  const LimitClock::duration burst = interval * (2 * linesPerSecond);
  if (due_ < now) due_ = now;
  if (due_ + interval - now > burst) {
    readyAt = due_ + interval - burst;
    return false;
  }
  due_ += interval;
  return true;
}

bool LinePace::Charge(unsigned linesPerSecond, std::size_t units, LimitClock::time_point now,
                      LimitClock::time_point& readyAt) {
  if (linesPerSecond == 0 || units == 0) return true;
  const LimitClock::duration interval = LimitClock::duration(std::chrono::seconds(1)) / linesPerSecond;
  const LimitClock::duration burst = interval * (2 * linesPerSecond);
  if (due_ < now) due_ = now;
  due_ += interval * static_cast<LimitClock::rep>(units);
  if (due_ - now <= burst) return true;
  readyAt = due_ - burst;
  return false;
}

CarriedBook AddressBook::Carry() const {
  CarriedBook carried;
  carried.records.reserve(records_.size());
  for (const auto& [key, counts] : records_) carried.records.push_back({key, counts});
  for (std::size_t kind = 0; kind < kLimitKinds; ++kind) {
    carried.refusals[kind] = refusals_[kind].load(std::memory_order_relaxed);
  }
  return carried;
}

void AddressBook::Adopt(const CarriedBook& carried) {
  records_.clear();
  for (const CarriedBook::Record& in : carried.records) records_[in.key] = in.value;
  for (std::size_t kind = 0; kind < kLimitKinds; ++kind) {
    refusals_[kind].store(carried.refusals[kind], std::memory_order_relaxed);
  }
}

}  // namespace connection
