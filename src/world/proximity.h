// Proximity: the two kinds of closeness on the TerritoryMap (the same cell, and the
// cells next to it) and TellArea, the one way a line reaches everybody on a cell. Reads
// the character tables and only queues messages; the caller flushes. Callers hold
// ConnectionLock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/outbox.h"
#include "world/character.h"
#include "world/world.h"

namespace world {

// True when both characters stand on the same cell (a character is in its own area).
inline bool SameArea(const Character& a, const Character& b) {
  return a.x == b.x && a.y == b.y;
}

// The nearby cells of a cell: the cell itself, then west, east, north and south where
// they lie on the map; three to five cells, never a diagonal.
struct NearbyCells {
  std::array<Cell, 5> cells{};
  std::size_t count = 0;

  const Cell* begin() const { return cells.data(); }
  const Cell* end() const { return cells.data() + count; }
};

// REQUIRES: OnMap(x, y).
NearbyCells NearbyCellsOf(std::int32_t x, std::int32_t y);

// Queues `text` for every character in play on (x, y), in ascending handle order, the
// caller's own character included when it stands there. Costs the number of characters
// on the cell, whatever the number in play. Stored characters and kits hear nothing.
// REQUIRES: OnMap(x, y); ConnectionLock held.
void TellArea(const World& world, core::Outbox& outbox, std::string_view text, std::int32_t x,
              std::int32_t y);
// As above, but a listener in screen-reader mode (world/screen_reader.h) is told
// `spoken` instead.
void TellArea(const World& world, core::Outbox& outbox, std::string_view text,
              std::string_view spoken, std::int32_t x, std::int32_t y);

}  // namespace world
