// The game's limits per client address: failed logins and new characters for each
// address outside the trusted blocks, counted under its limit key. The connection
// layer tells the game each admitted connection's address (BeginSession); these ask
// by connection. Guarded by ConnectionLock.
#pragma once

#include "connection/address_limits.h"
#include "core/socket_handle.h"

namespace commands {

using core::Socket;

// Sets what the limits are, once at start before any connection (and in tests).
void SetAllowanceLimits(const connection::AddressLimits& limits);

// True (after logging the first refusal of its address) when `connection`'s address
// has had its failed logins. A connection with no session (a test's world) or a
// trusted address is never refused. REQUIRES: ConnectionLock held.
bool LoginRefused(Socket connection);
void NoteFailedLogin(Socket connection);
// True (after logging the first refusal) when `connection`'s address has made its
// characters for the hour. REQUIRES: ConnectionLock held.
bool NewCharacterRefused(Socket connection);
void NoteNewCharacter(Socket connection);

// Forgets what has left its window (each world tick). REQUIRES: ConnectionLock held.
void PruneAllowances();

// The refusals of `kind` (FailedLogins, NewCharacters) since start. Any thread.
std::uint64_t AllowanceRefusals(connection::LimitKind kind);

// The book of the game's limits, for an upgrade, and the book made again from it in
// the new process. REQUIRES: ConnectionLock held.
connection::CarriedBook CarryAllowances();
void AdoptAllowances(const connection::CarriedBook& book);

}  // namespace commands
