#include "server/address_limits.h"

#include <atomic>
#include <charconv>
#include <chrono>

#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/log.h"

namespace server {

namespace {

constexpr auto kFailedLoginWindow = std::chrono::minutes(10);
constexpr auto kNewCharacterWindow = std::chrono::hours(1);

std::atomic<std::uint64_t> Refusals[4];  // by LimitKind
AddressBook Book;  // guarded by ConnectionLock; its limits are set before the threads start

// Reads a number from 0 to `max` that takes the whole of `text`.
bool ReadSmallNumber(std::string_view text, unsigned max, unsigned& value) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

bool ParseAddress(std::string_view text, std::uint32_t& address) {
  std::uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    unsigned byte = 0;
    if (!ReadSmallNumber(text.substr(0, dot), 255, byte)) return false;
    result = (result << 8) | byte;
    text.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  address = result;
  return true;
}

bool ParseBlock(std::string_view item, AddressBlock& block) {
  unsigned bits = 32;
  const std::size_t slash = item.find('/');
  if (slash != std::string_view::npos) {
    if (!ReadSmallNumber(item.substr(slash + 1), 32, bits)) return false;
    item = item.substr(0, slash);
  }
  std::uint32_t address = 0;
  if (!ParseAddress(item, address)) return false;
  block.mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  block.network = address & block.mask;
  return true;
}

const char* LimitName(LimitKind kind) {
  switch (kind) {
    case LimitKind::Connections: return "PELTHOLLOW_MAX_CONNECTIONS";
    case LimitKind::FailedLogins: return "PELTHOLLOW_MAX_FAILED_LOGINS";
    case LimitKind::NewCharacters: return "PELTHOLLOW_MAX_NEW_CHARACTERS";
    case LimitKind::LinesPerSecond: return "PELTHOLLOW_MAX_LINES_PER_SECOND";
  }
  return "";
}

unsigned LimitValue(const AddressLimits& limits, LimitKind kind) {
  switch (kind) {
    case LimitKind::Connections: return limits.maxConnections;
    case LimitKind::FailedLogins: return limits.maxFailedLogins;
    case LimitKind::NewCharacters: return limits.maxNewCharacters;
    case LimitKind::LinesPerSecond: return limits.maxLinesPerSecond;
  }
  return 0;
}

}  // namespace

bool ParseAddressBlocks(std::string_view text, std::vector<AddressBlock>& blocks) {
  if (text == "none") {
    blocks.clear();
    return true;
  }
  std::vector<AddressBlock> parsed;
  for (;;) {
    const std::size_t comma = text.find(',');
    AddressBlock block;
    if (!ParseBlock(text.substr(0, comma), block)) return false;
    parsed.push_back(block);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  blocks = std::move(parsed);
  return true;
}

bool AddressBook::Trusted(std::uint32_t address) const {
  for (const AddressBlock& block : limits_.trusted) {
    if ((address & block.mask) == block.network) return true;
  }
  return false;
}

bool AddressBook::Connect(std::uint32_t address) {
  if (Trusted(address)) return true;
  Record& record = records_[address];
  if (limits_.maxConnections != 0 && record.live >= limits_.maxConnections) return false;
  ++record.live;
  return true;
}

void AddressBook::Disconnect(std::uint32_t address) {
  const auto it = records_.find(address);
  if (it == records_.end() || it->second.live == 0) return;
  --it->second.live;
  ForgetIfIdle(address);
}

bool AddressBook::Allowed(std::uint32_t address, std::deque<LimitClock::time_point> Record::*times,
                          unsigned limit, LimitClock::duration window, LimitClock::time_point now) {
  if (limit == 0 || Trusted(address)) return true;
  const auto it = records_.find(address);
  if (it == records_.end()) return true;
  auto& list = it->second.*times;
  while (!list.empty() && now - list.front() >= window) list.pop_front();
  const bool allowed = list.size() < limit;
  ForgetIfIdle(address);
  return allowed;
}

void AddressBook::Note(std::uint32_t address, std::deque<LimitClock::time_point> Record::*times,
                       unsigned limit, LimitClock::duration window, LimitClock::time_point now) {
  if (limit == 0 || Trusted(address)) return;
  auto& list = records_[address].*times;
  while (!list.empty() && now - list.front() >= window) list.pop_front();
  if (list.size() < limit) list.push_back(now);  // never more than the limit is kept
}

bool AddressBook::LoginAllowed(std::uint32_t address, LimitClock::time_point now) {
  return Allowed(address, &Record::failedLogins, limits_.maxFailedLogins, kFailedLoginWindow, now);
}

void AddressBook::NoteFailedLogin(std::uint32_t address, LimitClock::time_point now) {
  Note(address, &Record::failedLogins, limits_.maxFailedLogins, kFailedLoginWindow, now);
}

bool AddressBook::NewCharacterAllowed(std::uint32_t address, LimitClock::time_point now) {
  return Allowed(address, &Record::created, limits_.maxNewCharacters, kNewCharacterWindow, now);
}

void AddressBook::NoteNewCharacter(std::uint32_t address, LimitClock::time_point now) {
  Note(address, &Record::created, limits_.maxNewCharacters, kNewCharacterWindow, now);
}

void AddressBook::Prune(LimitClock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    Record& r = it->second;
    while (!r.failedLogins.empty() && now - r.failedLogins.front() >= kFailedLoginWindow)
      r.failedLogins.pop_front();
    while (!r.created.empty() && now - r.created.front() >= kNewCharacterWindow) r.created.pop_front();
    if (r.live == 0 && r.failedLogins.empty() && r.created.empty()) {
      it = records_.erase(it);
    } else {
      ++it;
    }
  }
}

bool AddressBook::FirstRefusal(std::uint32_t address, LimitKind kind) {
  const auto bit = static_cast<std::uint8_t>(1u << static_cast<unsigned>(kind));
  std::uint8_t& refused = records_[address].refused;
  const bool first = (refused & bit) == 0;
  refused |= bit;
  return first;
}

void AddressBook::ForgetIfIdle(std::uint32_t address) {
  const auto it = records_.find(address);
  if (it == records_.end()) return;
  const Record& r = it->second;
  // A record that has logged a refusal stays while anything else keeps it, so the
  // log line is not repeated at every burst.
  if (r.live == 0 && r.failedLogins.empty() && r.created.empty()) records_.erase(it);
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

void SetAddressLimits(AddressLimits limits) { Book = AddressBook(std::move(limits)); }

AddressBook& Addresses() { return Book; }

std::string AddressText(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::uint64_t RefusalCount(LimitKind kind) {
  return Refusals[static_cast<std::size_t>(kind)].load(std::memory_order_relaxed);
}

void LogFirstRefusal(std::uint32_t address, LimitKind kind) {
  Refusals[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  if (!Book.FirstRefusal(address, kind)) return;
  Log("Limit reached by " + AddressText(address) + ": " + LimitName(kind) + "=" +
      std::to_string(LimitValue(Book.Limits(), kind)) + "\n");
}

bool LoginRefused(net::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::uint32_t address = 0;
  if (!LimitedAddressOf(connection, address)) return false;
  if (Book.LoginAllowed(address, LimitClock::now())) return false;
  LogFirstRefusal(address, LimitKind::FailedLogins);
  return true;
}

void NoteFailedLogin(net::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::uint32_t address = 0;
  if (LimitedAddressOf(connection, address)) Book.NoteFailedLogin(address, LimitClock::now());
}

bool NewCharacterRefused(net::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::uint32_t address = 0;
  if (!LimitedAddressOf(connection, address)) return false;
  if (Book.NewCharacterAllowed(address, LimitClock::now())) return false;
  LogFirstRefusal(address, LimitKind::NewCharacters);
  return true;
}

void NoteNewCharacter(net::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::uint32_t address = 0;
  if (LimitedAddressOf(connection, address)) Book.NoteNewCharacter(address, LimitClock::now());
}

}  // namespace server
