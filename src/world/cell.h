// The cells of the territory: where a cell is, what kind it is, and which positions lie
// on the map. Plain values; any thread.
#pragma once

#include <cstdint>

namespace world {

inline constexpr std::int32_t kMapSize = 30;  // cells along each side of the territory

struct Cell {
  std::int32_t x = 0;  // column, 0 at the west edge
  std::int32_t y = 0;  // row, 0 at the north edge
  friend bool operator==(const Cell&, const Cell&) = default;
};

inline bool OnMap(std::int32_t x, std::int32_t y) {
  return x >= 0 && x < kMapSize && y >= 0 && y < kMapSize;
}

// What stands on a cell: open territory, the landmark, or a part of a clan's camp.
enum class CellKind : std::int32_t {
  Territory,
  Landmark,
  Camp,
  WarriorsDen,
  MedicineCatDen,
  ApprenticesDen,
  Nursery,
  LeadersDen,
};

}  // namespace world
