// The game's limits per client address: failed logins and new characters for each
// address outside the trusted blocks, counted under its limit key, and what speech may
// cost its listeners. The connection layer tells the game each admitted connection's
// address (Sessions::Begin); these ask by connection. The interpreter
// (commands/interpreter.h) holds the server's.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

#include "commands/sessions.h"
#include "connection/address_limits.h"
#include "connection/caps.h"
#include "core/outbox.h"
#include "core/socket_handle.h"
#include "world/cell.h"

namespace commands {

class Allowances {
 public:
  // The sessions tell each connection's address; they must outlive the allowances.
  explicit Allowances(const Sessions& sessions) : sessions_(sessions) {}
  Allowances(const Allowances&) = delete;
  Allowances& operator=(const Allowances&) = delete;

  // Sets what the limits are, once at start before any connection (and in tests, where
  // it also forgets what speech has cost): the address limits, and the caps' bound on
  // what one cell is told.
  void SetLimits(const connection::AddressLimits& limits, const connection::Caps& caps = {});

  // True (after logging the first refusal of its address) when `connection`'s address
  // has had its failed logins. A connection with no session (a test's world) or a
  // trusted address is never refused. REQUIRES: ConnectionLock held.
  bool LoginRefused(core::Socket connection);
  void NoteFailedLogin(core::Socket connection);
  // True (after logging the first refusal) when `connection`'s address has made its
  // characters for the hour. REQUIRES: ConnectionLock held.
  bool NewCharacterRefused(core::Socket connection);
  void NoteNewCharacter(core::Socket connection);

  // Speech is slowed where it comes from, so that everyone who hears it can keep up.
  // A line of `bytes` told to `cells` and heard by `hearers` characters (the speaker's
  // own echo included) may be said when none of what it is charged to is in debt:
  //   - each of the cells, its bytes: what one cell is told a second is bounded
  //     (Caps::cellSpeechBytesPerSecond), whoever speaks, trusted or not;
  //   - for a speaker held to the limits, its connection and its address, its bytes
  //     times its hearers (AddressLimits::maxSpeechHeard; a connection a quarter of it).
  // Returns false and charges it all; or true, charging nothing, after queueing kMuted
  // for the speaker in `outbox` and logging the first refusal of the address ("Limit
  // reached by ...") or of the cell while it stays busy. A line may go into debt: each
  // budget holds two seconds of its rate, and a long line heard by many pays for itself
  // with silence. REQUIRES: ConnectionLock held; every cell on the map.
  bool SpeechRefused(core::Outbox& outbox, core::Socket connection, std::size_t bytes,
                     std::span<const world::Cell> cells, std::size_t hearers);

  // Forgets what `connection`'s speech cost, as it ends. REQUIRES: ConnectionLock held.
  void ForgetSpeech(core::Socket connection);

  // Speech refused since start: for the speaker's or its address's budget, and for a
  // cell's. Any thread.
  std::uint64_t SpeechHeardRefusals() const {
    return heardRefused_.load(std::memory_order_relaxed);
  }
  std::uint64_t CellSpeechRefusals() const { return cellRefused_.load(std::memory_order_relaxed); }

  // Forgets what has left its window, and the speech budgets that are full again (each
  // world tick). REQUIRES: ConnectionLock held.
  void Prune();

  // The refusals of `kind` (FailedLogins, NewCharacters) since start. Any thread.
  std::uint64_t Refusals(connection::LimitKind kind) const { return book_.RefusalCount(kind); }

  // The book of the game's limits, for an upgrade, and the book made again from it in
  // the new process. REQUIRES: ConnectionLock held.
  connection::CarriedBook Carry() const;
  void Adopt(const connection::CarriedBook& book);

 private:
  // A speech budget, and whether its first refusal is in the log; it is forgotten (and
  // the next refusal logged again) once it is full.
  struct SpeechBudget {
    connection::ByteBudget budget;
    bool logged = false;
  };

  const Session* Limited(core::Socket connection) const;
  void LogRefusal(const Session& session, connection::LimitKind kind);
  SpeechBudget& CellBudget(const world::Cell& cell);

  const Sessions& sessions_;
  // State below is guarded by ConnectionLock; the counts of refusals are read by any
  // thread.
  connection::AddressBook book_;  // every connection's logins and setups count in it
  std::size_t cellSpeechRate_ = connection::Caps{}.cellSpeechBytesPerSecond;  // bytes a second
  std::unordered_map<base::Address, SpeechBudget, base::AddressHash> addressSpeech_;
  std::unordered_map<core::Socket, connection::ByteBudget>
      connectionSpeech_;  // those held to the limits
  std::array<SpeechBudget, world::kMapSize * world::kMapSize> cellSpeech_;
  std::atomic<std::uint64_t> heardRefused_{0};
  std::atomic<std::uint64_t> cellRefused_{0};
};

}  // namespace commands
