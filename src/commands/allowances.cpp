#include "commands/allowances.h"

#include "commands/interpreter.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace commands {

namespace {

// One per process, guarded by ConnectionLock: every connection's logins and setups
// count in it.
connection::AddressBook Book;

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

void SetAllowanceLimits(const connection::AddressLimits& limits) { Book.SetLimits(limits); }

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

void PruneAllowances() {
  ASSERT_CONNECTION_LOCK_HELD();
  Book.Prune(connection::LimitClock::now());
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
