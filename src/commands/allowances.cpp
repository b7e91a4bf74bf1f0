#include "commands/allowances.h"

#include <array>
#include <atomic>
#include <string>
#include <unordered_map>

#include "commands/mutes.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace commands {

namespace {

// A ByteBudget holds two seconds of its rate.
constexpr auto kSpeechBurst = std::chrono::seconds(2);

bool InDebt(const connection::ByteBudget& budget, std::size_t rate,
            connection::ByteClock::time_point now) {
  return budget.ReadyAt(rate, now) > now;
}

bool Full(const connection::ByteBudget& budget, connection::ByteClock::time_point now) {
  return budget.Full() <= now - kSpeechBurst;
}

// Answers a speaker whose line is not said, and logs the first refusal of `logged`.
bool RefuseSpeech(core::Outbox& outbox, core::Socket connection, bool& logged,
                  const std::string& logLine) {
  outbox.Queue(connection, kMuted);
  if (!logged) {
    logged = true;
    core::Log(logLine, core::LogPriority::Warning);
  }
  return true;
}

}  // namespace

Allowances::SpeechBudget& Allowances::CellBudget(const world::Cell& cell) {
  return cellSpeech_[static_cast<std::size_t>(cell.y) * world::kMapSize +
                     static_cast<std::size_t>(cell.x)];
}

// The session of a connection held to the limits, or nullptr.
const Session* Allowances::Limited(core::Socket connection) const {
  const Session* session = sessions_.Find(connection);
  return session != nullptr && session->limited ? session : nullptr;
}

void Allowances::LogRefusal(const Session& session, connection::LimitKind kind) {
  const std::string line = book_.NoteRefusal(session.key, kind);
  if (line.empty()) return;
  core::LogSource source(session.key, true);
  core::Log(line);
}

void Allowances::SetLimits(const connection::AddressLimits& limits, const connection::Caps& caps) {
  book_.SetLimits(limits);
  cellSpeechRate_ = caps.cellSpeechBytesPerSecond;
  addressSpeech_.clear();
  connectionSpeech_.clear();
  cellSpeech_.fill({});
}

bool Allowances::LoginRefused(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Session* session = Limited(connection);
  if (session == nullptr || book_.LoginAllowed(session->key, connection::LimitClock::now()))
    return false;
  LogRefusal(*session, connection::LimitKind::FailedLogins);
  return true;
}

void Allowances::NoteFailedLogin(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (const Session* session = Limited(connection)) {
    book_.NoteFailedLogin(session->key, connection::LimitClock::now());
  }
}

bool Allowances::NewCharacterRefused(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Session* session = Limited(connection);
  if (session == nullptr || book_.NewCharacterAllowed(session->key, connection::LimitClock::now()))
    return false;
  LogRefusal(*session, connection::LimitKind::NewCharacters);
  return true;
}

void Allowances::NoteNewCharacter(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (const Session* session = Limited(connection)) {
    book_.NoteNewCharacter(session->key, connection::LimitClock::now());
  }
}

bool Allowances::SpeechRefused(core::Outbox& outbox, core::Socket connection, std::size_t bytes,
                               std::span<const world::Cell> cells, std::size_t hearers) {
  ASSERT_CONNECTION_LOCK_HELD();
  const connection::ByteClock::time_point now = connection::ByteClock::now();
  for (const world::Cell& cell : cells) {
    SpeechBudget& budget = CellBudget(cell);
    if (!InDebt(budget.budget, cellSpeechRate_, now)) continue;
    cellRefused_.fetch_add(1, std::memory_order_relaxed);
    return RefuseSpeech(
        outbox, connection, budget.logged,
        "Limit reached on the cell at " + std::to_string(cell.x) + "," + std::to_string(cell.y) +
            ": PELTHOLLOW_MAX_CELL_SPEECH=" + std::to_string(cellSpeechRate_ / 1024) + "\n");
  }
  const unsigned heardKiB = book_.Limits().maxSpeechHeard;
  const std::size_t addressRate = std::size_t{heardKiB} * 1024;
  const std::size_t connectionRate = addressRate / 4;
  const Session* speaker = heardKiB != 0 ? Limited(connection) : nullptr;
  connection::ByteBudget* own = speaker != nullptr ? &connectionSpeech_[connection] : nullptr;
  SpeechBudget* address = speaker != nullptr ? &addressSpeech_[speaker->key] : nullptr;
  if (speaker != nullptr &&
      (InDebt(*own, connectionRate, now) || InDebt(address->budget, addressRate, now))) {
    heardRefused_.fetch_add(1, std::memory_order_relaxed);
    return RefuseSpeech(
        outbox, connection, address->logged,
        connection::LimitReachedText(speaker->key, "PELTHOLLOW_MAX_SPEECH_HEARD", heardKiB));
  }
  for (const world::Cell& cell : cells) CellBudget(cell).budget.Spend(cellSpeechRate_, bytes, now);
  if (speaker != nullptr) {
    own->Spend(connectionRate, bytes * hearers, now);
    address->budget.Spend(addressRate, bytes * hearers, now);
  }
  return false;
}

void Allowances::ForgetSpeech(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  connectionSpeech_.erase(connection);
}

void Allowances::Prune() {
  ASSERT_CONNECTION_LOCK_HELD();
  book_.Prune(connection::LimitClock::now());
  const connection::ByteClock::time_point now = connection::ByteClock::now();
  std::erase_if(addressSpeech_, [&](const auto& entry) { return Full(entry.second.budget, now); });
  std::erase_if(connectionSpeech_, [&](const auto& entry) { return Full(entry.second, now); });
  for (SpeechBudget& cell : cellSpeech_) {
    if (cell.logged && Full(cell.budget, now)) cell.logged = false;
  }
}

connection::CarriedBook Allowances::Carry() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return book_.Carry();
}

void Allowances::Adopt(const connection::CarriedBook& book) {
  ASSERT_CONNECTION_LOCK_HELD();
  book_.Adopt(book);
}

}  // namespace commands
