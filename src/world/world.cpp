#include "world/world.h"

namespace world {

CarriedWorld World::Carry() const {
  CarriedWorld carried;
  carried.clock = clock;
  characters.Carry(carried);
  return carried;
}

std::string World::Adopt(const CarriedWorld& carried) {
  std::string fault = characters.Adopt(carried);
  if (fault.empty()) clock = carried.clock;
  return fault;
}

}  // namespace world
