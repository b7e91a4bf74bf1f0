#include "world/proximity.h"

#include <cassert>

#include "core/connection_lock.h"

namespace world {

NearbyCells NearbyCellsOf(std::int32_t x, std::int32_t y) {
  assert(OnMap(x, y));
  NearbyCells nearby;
  const auto add = [&](std::int32_t cx, std::int32_t cy) {
    nearby.cells[nearby.count++] = Cell{cx, cy};
  };
  add(x, y);
  if (x > 0) add(x - 1, y);
  if (x < kMapSize - 1) add(x + 1, y);
  if (y > 0) add(x, y - 1);
  if (y < kMapSize - 1) add(x, y + 1);
  return nearby;
}

void TellArea(const World& world, core::Outbox& outbox, std::string_view text, std::int32_t x,
              std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const core::Socket listener : world.characters.OccupantsOf(x, y))
    outbox.Queue(listener, text);
}

void TellArea(const World& world, core::Outbox& outbox, std::string_view text,
              std::string_view spoken, std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const core::Socket listener : world.characters.OccupantsOf(x, y)) {
    outbox.Queue(listener, world.screenReaders.On(listener) ? spoken : text);
  }
}

}  // namespace world
