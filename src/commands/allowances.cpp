#include "commands/allowances.h"

#include <array>
#include <atomic>
#include <string>
#include <unordered_map>

#include "commands/interpreter.h"
#include "commands/mutes.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace commands {

namespace {

// One per process, guarded by ConnectionLock: every connection's logins and setups
// count in it.
connection::AddressBook Book;

// What speech has cost lately, guarded by ConnectionLock too (the counts of refusals
// are read by any thread), and the bound on what one cell is told a second.
std::size_t CellSpeechRate = connection::Caps{}.cellSpeechBytesPerSecond;
// A speech budget, and whether its first refusal is in the log; it is forgotten (and
// the next refusal logged again) once it is full.
struct SpeechBudget {
  connection::ByteBudget budget;
  bool logged = false;
};
std::unordered_map<base::Address, SpeechBudget, base::AddressHash> AddressSpeech;
std::unordered_map<Socket, connection::ByteBudget> ConnectionSpeech;  // those held to the limits
std::array<SpeechBudget, world::kMapSize * world::kMapSize> CellSpeech;
std::atomic<std::uint64_t> HeardRefused{0};
std::atomic<std::uint64_t> CellRefused{0};

// A ByteBudget holds two seconds of its rate.
constexpr auto kSpeechBurst = std::chrono::seconds(2);

bool InDebt(const connection::ByteBudget& budget, std::size_t rate,
            connection::ByteClock::time_point now) {
  return budget.ReadyAt(rate, now) > now;
}

bool Full(const connection::ByteBudget& budget, connection::ByteClock::time_point now) {
  return budget.Full() <= now - kSpeechBurst;
}

SpeechBudget& CellBudget(const world::Cell& cell) {
  return CellSpeech[static_cast<std::size_t>(cell.y) * world::kMapSize +
                    static_cast<std::size_t>(cell.x)];
}

// Answers a speaker whose line is not said, and logs the first refusal of `budget`.
bool RefuseSpeech(core::Outbox& outbox, Socket connection, SpeechBudget& budget, const std::string& logLine) {
  outbox.Queue(connection, kMuted);
  if (!budget.logged) {
    budget.logged = true;
    core::Log(logLine, core::LogPriority::Warning);
  }
  return true;
}

// The session of a connection held to the limits, or nullptr.
const Session* Limited(Socket connection) {
  const Session* session = FindSession(connection);
  return session != nullptr && session->limited ? session : nullptr;
}

void LogRefusal(const Session& session, connection::LimitKind kind) {
  const std::string line = Book.NoteRefusal(session.key, kind);
  if (line.empty()) return;
  core::LogSource source(session.key, true);
  core::Log(line);
}

}  // namespace

void SetAllowanceLimits(const connection::AddressLimits& limits, const connection::Caps& caps) {
  Book.SetLimits(limits);
  CellSpeechRate = caps.cellSpeechBytesPerSecond;
  AddressSpeech.clear();
  ConnectionSpeech.clear();
  CellSpeech.fill({});
}

bool LoginRefused(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Session* session = Limited(connection);
  if (session == nullptr || Book.LoginAllowed(session->key, connection::LimitClock::now())) return false;
  LogRefusal(*session, connection::LimitKind::FailedLogins);
  return true;
}

void NoteFailedLogin(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (const Session* session = Limited(connection)) {
    Book.NoteFailedLogin(session->key, connection::LimitClock::now());
  }
}

bool NewCharacterRefused(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Session* session = Limited(connection);
  if (session == nullptr || Book.NewCharacterAllowed(session->key, connection::LimitClock::now()))
    return false;
  LogRefusal(*session, connection::LimitKind::NewCharacters);
  return true;
}

void NoteNewCharacter(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (const Session* session = Limited(connection)) {
    Book.NoteNewCharacter(session->key, connection::LimitClock::now());
  }
}

bool SpeechRefused(core::Outbox& outbox, Socket connection, std::size_t bytes, std::span<const world::Cell> cells,
                   std::size_t hearers) {
  ASSERT_CONNECTION_LOCK_HELD();
  const connection::ByteClock::time_point now = connection::ByteClock::now();
  for (const world::Cell& cell : cells) {
    SpeechBudget& budget = CellBudget(cell);
    if (!InDebt(budget.budget, CellSpeechRate, now)) continue;
    CellRefused.fetch_add(1, std::memory_order_relaxed);
    return RefuseSpeech(
        outbox, connection, budget,
        "Limit reached on the cell at " + std::to_string(cell.x) + "," + std::to_string(cell.y) +
            ": PELTHOLLOW_MAX_CELL_SPEECH=" + std::to_string(CellSpeechRate / 1024) + "\n");
  }
  const unsigned heardKiB = Book.Limits().maxSpeechHeard;
  const std::size_t addressRate = std::size_t{heardKiB} * 1024;
  const std::size_t connectionRate = addressRate / 4;
  const Session* speaker = heardKiB != 0 ? Limited(connection) : nullptr;
  connection::ByteBudget* own = speaker != nullptr ? &ConnectionSpeech[connection] : nullptr;
  SpeechBudget* address = speaker != nullptr ? &AddressSpeech[speaker->key] : nullptr;
  if (speaker != nullptr &&
      (InDebt(*own, connectionRate, now) || InDebt(address->budget, addressRate, now))) {
    HeardRefused.fetch_add(1, std::memory_order_relaxed);
    return RefuseSpeech(
        outbox, connection, *address,
        connection::LimitReachedText(speaker->key, "PELTHOLLOW_MAX_SPEECH_HEARD", heardKiB));
  }
  for (const world::Cell& cell : cells) CellBudget(cell).budget.Spend(CellSpeechRate, bytes, now);
  if (speaker != nullptr) {
    own->Spend(connectionRate, bytes * hearers, now);
    address->budget.Spend(addressRate, bytes * hearers, now);
  }
  return false;
}

void ForgetSpeech(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  ConnectionSpeech.erase(connection);
}

std::uint64_t SpeechHeardRefusals() {
  return HeardRefused.load(std::memory_order_relaxed);
}
std::uint64_t CellSpeechRefusals() {
  return CellRefused.load(std::memory_order_relaxed);
}

void PruneAllowances() {
  ASSERT_CONNECTION_LOCK_HELD();
  Book.Prune(connection::LimitClock::now());
  const connection::ByteClock::time_point now = connection::ByteClock::now();
  std::erase_if(AddressSpeech, [&](const auto& entry) { return Full(entry.second.budget, now); });
  std::erase_if(ConnectionSpeech, [&](const auto& entry) { return Full(entry.second, now); });
  for (SpeechBudget& cell : CellSpeech) {
    if (cell.logged && Full(cell.budget, now)) cell.logged = false;
  }
}

std::uint64_t AllowanceRefusals(connection::LimitKind kind) { return Book.RefusalCount(kind); }

connection::CarriedBook CarryAllowances() {
  ASSERT_CONNECTION_LOCK_HELD();
  return Book.Carry();
}

void AdoptAllowances(const connection::CarriedBook& book) {
  ASSERT_CONNECTION_LOCK_HELD();
  Book.Adopt(book);
}

}  // namespace commands
