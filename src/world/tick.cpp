#include "world/tick.h"

#include <cassert>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/connection_lock.h"
#include "world/client_data.h"
#include "world/looking.h"
#include "world/proximity.h"
#include "world/telling.h"

namespace world {

namespace {

// The character whose movements `c` copies; following oneself is following nobody.
const Character* LeaderOf(const Character& c) {
  return c.following == &c ? nullptr : c.following;
}

// Applies a movement word to a position. False, leaving the position unchanged, when
// the word is not one of "n", "s", "e", "w" or the step would leave the map.
bool Step(char word, std::int32_t& x, std::int32_t& y) {
  std::int32_t nx = x;
  std::int32_t ny = y;
  switch (word) {
    case 'n':
      --ny;
      break;
    case 's':
      ++ny;
      break;
    case 'e':
      ++nx;
      break;
    case 'w':
      --nx;
      break;
    default:
      return false;
  }
  if (!OnMap(nx, ny)) return false;
  x = nx;
  y = ny;
  return true;
}

// Finds, for followers, the queue they copy this tick: the queue of the first character
// along the following chain that follows nobody. Each character's answer is worked out
// once per tick, so long chains cost their length once rather than once per follower.
class ChainResolver {
 public:
  explicit ChainResolver(const CharacterTable& characters) : characters_(characters) {}

  // The queue `follower` copies, or nullptr when its chain reaches a character that is
  // not in play or comes round to a character already on it.
  // REQUIRES: `follower` is in play and LeaderOf(follower) is set.
  const MoveQueue* SourceFor(const Character& follower) {
    path_.clear();
    const MoveQueue* source = nullptr;
    const Character* at = &follower;
    for (;;) {
      const auto known = answers_.find(at);
      if (known != answers_.end()) {
        // Still being worked out means the chain came back to itself.
        source = known->second.done ? known->second.source : nullptr;
        break;
      }
      // Only characters in play are looked into: a stored record is never read.
      const MoveQueue* queue = characters_.MoveQueueOf(*at);
      if (queue == nullptr) break;
      const Character* next = LeaderOf(*at);
      if (next == nullptr) {
        source = queue;
        break;
      }
      answers_[at] = Answer{false, nullptr};
      path_.push_back(at);
      at = next;
    }
    for (const Character* c : path_) answers_[c] = Answer{true, source};
    return source;
  }

 private:
  struct Answer {
    bool done;                // false while the chain through it is being followed
    const MoveQueue* source;  // when done: the queue to copy, or nullptr
  };
  const CharacterTable& characters_;
  std::unordered_map<const Character*, Answer> answers_;
  std::vector<const Character*> path_;  // characters of the chain being followed
};

}  // namespace

void WorldTick(World& world, core::Outbox& outbox) {
  ASSERT_CONNECTION_LOCK_HELD();
  AdvanceGameClock(world.clock);
  CharacterTable& characters = world.characters;

  // Movement pass: at most one word for each character, told at once.
  ChainResolver chains(characters);
  std::string notice;
  for (const auto& [connection, c] : characters.InPlay()) {
    const Character* leader = LeaderOf(*c);
    const MoveQueue* source = nullptr;
    if (leader == nullptr) {
      source = characters.MoveQueueOf(*c);
      assert(source != nullptr);
    } else {
      source = chains.SourceFor(*c);
    }
    if (source == nullptr || source->Empty()) continue;

    const std::int32_t oldX = c->x;
    const std::int32_t oldY = c->y;
    std::int32_t newX = oldX;
    std::int32_t newY = oldY;
    if (!Step(source->Front(), newX, newY)) continue;
    TellChange(world, outbox, characters.MoveCharacter(connection, newX, newY));
    notice.assign(c->name).append(" has left the area.");
    TellArea(world, outbox, notice, oldX, oldY);
    notice.assign(c->name).append(kEnteredArea);
    TellArea(world, outbox, notice, newX, newY);
    if (world.screenReaders.On(connection)) outbox.Queue(connection, PlaceLine(newX, newY));
  }

  // Removal pass: a word is used up by the character whose own queue held it, moved or
  // not; followers' own words wait.
  for (const auto& [connection, c] : characters.InPlay()) {
    if (LeaderOf(*c) != nullptr) continue;
    MoveQueue* own = characters.MoveQueueOf(*c);
    if (own != nullptr && !own->Empty()) {
      own->Pop();
      TellQueue(characters, outbox, connection);
    }
  }

  outbox.Flush();
}

}  // namespace world
