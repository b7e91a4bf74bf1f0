// The direction commands, which queue a movement word for the world tick, stop, which
// forgets them, and follow, which makes a character copy another's movements.
#include <cstdint>
#include <string>

#include "commands/handlers.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "world/character.h"
#include "world/client_data.h"

namespace commands {

namespace {

// Queues `word` for the connection's character unless its present cell already lies
// on the edge the word points past (queued words are not taken into account) or its
// queue is full.
void QueueMovement(Socket connection, char word) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character* c = &Actor(connection);
  constexpr std::int32_t kLast = world::kMapSize - 1;
  const bool atEdge = (word == 'n' && c->y <= 0) || (word == 's' && c->y >= kLast) ||
                      (word == 'e' && c->x >= kLast) || (word == 'w' && c->x <= 0);
  if (atEdge) return core::QueueMessage(connection, kNotValidNow);
  world::MoveQueue* queue = world::MoveQueueOf(*c);  // every character in play has one
  if (!queue->Push(word)) return core::QueueMessage(connection, kTooManyMovements);
  core::QueueMessage(connection, kMovementQueued);
  world::TellQueue(connection);
}

}  // namespace

void North(Socket connection, const CommandLine&) {
  QueueMovement(connection, 'n');
}
void South(Socket connection, const CommandLine&) {
  QueueMovement(connection, 's');
}
void East(Socket connection, const CommandLine&) {
  QueueMovement(connection, 'e');
}
void West(Socket connection, const CommandLine&) {
  QueueMovement(connection, 'w');
}

void Stop(Socket connection, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::MoveQueueOf(Actor(connection))->Clear();  // every character in play has one
  core::QueueMessage(connection, "Movement queue cleared.");
  world::TellQueue(connection);
}

void Follow(Socket connection, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::Character* c = &Actor(connection);
  if (line.ArgCount() == 0)
    return core::QueueMessage(connection, "format: follow character(or off)");
  const std::string_view name = line.Arg(0);
  if (name == "off") {
    c->following = nullptr;
    return core::QueueMessage(connection, "Follow cancelled.");
  }
  // The first character on this cell with the name, in ascending handle order, the
  // player itself among them.
  for (const Socket here : world::OccupantsOf(c->x, c->y)) {
    const world::Character* candidate = world::CharacterOf(here);
    if (candidate->name != name) continue;
    c->following = candidate;
    return core::QueueMessage(connection, "Now following " + std::string(name) + ".");
  }
  core::QueueMessage(connection, "Invalid character or character is not nearby.");
}

}  // namespace commands
