// The direction commands, which queue a movement word for the world tick, stop, which
// forgets them, and follow, which makes a character copy another's movements.
#include <cstdint>
#include <string>

#include "commands/handlers.h"
#include "core/connection_lock.h"
#include "world/client_data.h"

namespace commands {

namespace {

// Queues `word` for the connection's character unless its present cell already lies
// on the edge the word points past (queued words are not taken into account) or its
// queue is full.
void QueueMovement(const Context& context, char word) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character* c = &Actor(context);
  constexpr std::int32_t kLast = world::kMapSize - 1;
  const bool atEdge = (word == 'n' && c->y <= 0) || (word == 's' && c->y >= kLast) ||
                      (word == 'e' && c->x >= kLast) || (word == 'w' && c->x <= 0);
  if (atEdge) return context.Answer(kNotValidNow);
  world::MoveQueue* queue =
      context.world.characters.MoveQueueOf(*c);  // every character in play has one
  if (!queue->Push(word)) return context.Answer(kTooManyMovements);
  context.Answer(kMovementQueued);
  world::TellQueue(context.world.characters, context.outbox, context.connection);
}

}  // namespace

void North(const Context& context, const CommandLine&) {
  QueueMovement(context, 'n');
}
void South(const Context& context, const CommandLine&) {
  QueueMovement(context, 's');
}
void East(const Context& context, const CommandLine&) {
  QueueMovement(context, 'e');
}
void West(const Context& context, const CommandLine&) {
  QueueMovement(context, 'w');
}

void Stop(const Context& context, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  context.world.characters.MoveQueueOf(Actor(context))->Clear();  // every character in play has one
  context.Answer("Movement queue cleared.");
  world::TellQueue(context.world.characters, context.outbox, context.connection);
}

void Follow(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::Character* c = &Actor(context);
  if (line.ArgCount() == 0) return context.Answer("format: follow character(or off)");
  const std::string_view name = line.Arg(0);
  if (name == "off") {
    c->following = nullptr;
    return context.Answer("Follow cancelled.");
  }
  // The first character on this cell with the name, in ascending handle order, the
  // player itself among them.
  const world::CharacterTable& characters = context.world.characters;
  for (const core::Socket here : characters.OccupantsOf(c->x, c->y)) {
    const world::Character* candidate = characters.CharacterOf(here);
    if (candidate->name != name) continue;
    c->following = candidate;
    return context.Answer("Now following " + std::string(name) + ".");
  }
  context.Answer("Invalid character or character is not nearby.");
}

}  // namespace commands
